#pragma once

#include "Accounts/APIConfig.h"
#include "Accounts/AuthResponse.h"
#include "Accounts/WebSignInSupport.h"
#include "Platform/WebAuth/WebAuthSession.h"

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <stop_token>
#include <utility>

namespace quillmere {

// Sign in with Google: the authorisation-code flow straight against Google's page, which
// calls back on the scheme made from the client id; the service exchanges the code. Stores no
// token; the exchange stores the account's home URL and shard. Main thread.
class GoogleSignInManager
{
public:
    class GoogleSignInError : public websignin::SignInError
    {
    public:
        enum class Code {
            authenticationFailed,
            serverError,
            invalidURL,
            userCancelled,
            noAuthorizationCode,
            stateMismatch,
            sessionStartFailed,
            invalidResponse,
            tokenVerificationFailed,
        };

        GoogleSignInError(Code code, QString text = {}, int statusCode = 0);
        Code code() const { return m_code; }
        QString message() const;

    private:
        Code m_code;
    };

    using BaseURLSource = std::function<QUrl()>;

    static inline const QString authorizationEndpoint = QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth");

    // The public OAuth client id is configuration, not code: the environment variable
    // QUILLMERE_GOOGLE_CLIENT_ID, else the setting "googleClientID" of the standard defaults,
    // else the build option QUILLMERE_GOOGLE_CLIENT_ID. Empty when none is set.
    static QString configuredClientID();
    // The labels of the client id in reverse order: the scheme Google calls back on.
    static QString reversedClientID(const QString &clientID);
    static QString redirectURI(const QString &clientID);

    explicit GoogleSignInManager(std::shared_ptr<WebAuthSession> session, QString clientID = configuredClientID(),
                                 BaseURLSource exchangeBase = &APIConfig::baseURL);

    const QString &clientID() const { return m_clientID; }
    QString callbackScheme() const { return reversedClientID(m_clientID); }

    // The authorization code and the state that went out and came back. Without a client id
    // the flow fails with invalidURL.
    QCoro::Task<std::pair<QString, QString>> performOAuthFlow(std::stop_token stop = {});
    QCoro::Task<AuthResponse> exchangeCode(QString code, std::stop_token stop = {});

    static std::pair<QString, QString> readCallback(const WebAuthOutcome &outcome, const QString &state);

private:
    std::shared_ptr<WebAuthSession> m_session;
    QString m_clientID;
    BaseURLSource m_exchangeBase;
};

} // namespace quillmere
