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

// Sign in with Apple, brokered by the service: its redirect page runs the Apple step and
// calls back on "quillmere://apple-callback" with a code, which the service exchanges for a
// bearer token. Stores no token (the caller saves AuthResponse::token through its
// TokenManager); the exchange stores the account's home URL and shard. Main thread.
class AppleSignInManager
{
public:
    class AppleSignInError : public websignin::SignInError
    {
    public:
        enum class Code {
            authorizationFailed,
            serverReported,
            exchangeFailed,
            serverError,
            invalidURL,
            userCancelled,
            noAuthorizationCode,
            stateMismatch,
            sessionStartFailed,
            invalidResponse,
        };

        AppleSignInError(Code code, QString text = {}, int statusCode = 0);
        Code code() const { return m_code; }
        QString message() const;

    private:
        Code m_code;
    };

    using BaseURLSource = std::function<QUrl()>;

    static inline const QString callbackURL = QStringLiteral("quillmere://apple-callback");
    static inline const QString callbackScheme = QStringLiteral("quillmere");

    // The redirect page always lies under the fixed default base URL; the exchange goes to the
    // account's base URL.
    explicit AppleSignInManager(std::shared_ptr<WebAuthSession> session,
                                BaseURLSource redirectBase = &APIConfig::defaultBaseURL,
                                BaseURLSource exchangeBase = &APIConfig::baseURL);

    // The authorization code and the state that went out and came back.
    QCoro::Task<std::pair<QString, QString>> performOAuthFlow(std::stop_token stop = {});
    // Transport failures (TransportError) and unreadable bodies (json::JsonError) pass through.
    QCoro::Task<AuthResponse> exchangeCode(QString code, std::stop_token stop = {});

    // Reads the URL the session handed back for a flow that sent `state`.
    static std::pair<QString, QString> readCallback(const WebAuthOutcome &outcome, const QString &state);

private:
    std::shared_ptr<WebAuthSession> m_session;
    BaseURLSource m_redirectBase;
    BaseURLSource m_exchangeBase;
};

} // namespace quillmere
