#include "Accounts/GoogleSignInManager.h"

#include "Platform/Http/HttpResponse.h"
#include "Platform/Http/UrlBuilding.h"
#include "Platform/Settings/UserDefaults.h"

#include <QRegularExpression>

#include <algorithm>

#ifndef QUILLMERE_GOOGLE_CLIENT_ID
#define QUILLMERE_GOOGLE_CLIENT_ID ""
#endif

namespace quillmere {

namespace {

using Error = GoogleSignInManager::GoogleSignInError;

Error errorFor(websignin::Fault fault, const QString &text)
{
    switch (fault) {
    case websignin::Fault::sessionStartFailed:
        return Error(Error::Code::sessionStartFailed);
    case websignin::Fault::userCancelled:
        return Error(Error::Code::userCancelled);
    case websignin::Fault::sessionFailed:
        return Error(Error::Code::authenticationFailed, text);
    case websignin::Fault::noAuthorizationCode:
        return Error(Error::Code::noAuthorizationCode);
    case websignin::Fault::stateMismatch:
        return Error(Error::Code::stateMismatch);
    case websignin::Fault::invalidResponse:
        break;
    }
    return Error(Error::Code::invalidResponse);
}

} // namespace

GoogleSignInManager::GoogleSignInError::GoogleSignInError(Code code, QString text, int statusCode)
    : SignInError(std::move(text), statusCode), m_code(code)
{
    keepMessage(message());
}

QString GoogleSignInManager::GoogleSignInError::message() const
{
    switch (m_code) {
    case Code::authenticationFailed:
        return QStringLiteral("Google Sign-In failed: ") + text();
    case Code::serverError:
        return QStringLiteral("Server error (%1).").arg(statusCode());
    case Code::invalidURL:
        return QStringLiteral("Failed to construct Google OAuth URL.");
    case Code::userCancelled:
        return QStringLiteral("Sign in was cancelled.");
    case Code::noAuthorizationCode:
        return QStringLiteral("Google did not return an authorization code.");
    case Code::stateMismatch:
        return QStringLiteral("OAuth state mismatch — possible security issue.");
    case Code::sessionStartFailed:
        return QStringLiteral("Failed to start authentication session.");
    case Code::invalidResponse:
        return QStringLiteral("Invalid response from server.");
    case Code::tokenVerificationFailed:
        break;
    }
    return QStringLiteral("Google token verification failed.");
}

QString GoogleSignInManager::configuredClientID()
{
    const QString fromEnvironment = qEnvironmentVariable("QUILLMERE_GOOGLE_CLIENT_ID").trimmed();
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString fromSettings = UserDefaults::standard().string(QStringLiteral("googleClientID")).value_or(QString()).trimmed();
    if (!fromSettings.isEmpty())
        return fromSettings;
    return QStringLiteral(QUILLMERE_GOOGLE_CLIENT_ID);
}

QString GoogleSignInManager::reversedClientID(const QString &clientID)
{
    QStringList labels = clientID.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    std::reverse(labels.begin(), labels.end());
    return labels.join(QLatin1Char('.'));
}

QString GoogleSignInManager::redirectURI(const QString &clientID)
{
    return reversedClientID(clientID) + QStringLiteral(":/oauth2callback");
}

GoogleSignInManager::GoogleSignInManager(std::shared_ptr<WebAuthSession> session, QString clientID,
                                         BaseURLSource exchangeBase)
    : m_session(std::move(session)), m_clientID(std::move(clientID)), m_exchangeBase(std::move(exchangeBase))
{
}

std::pair<QString, QString> GoogleSignInManager::readCallback(const WebAuthOutcome &outcome, const QString &state)
{
    // Google's "error" item is not read: without a code the flow fails anyway.
    return websignin::codeAndState(websignin::callbackURL(outcome, &errorFor), state, &errorFor);
}

QCoro::Task<std::pair<QString, QString>> GoogleSignInManager::performOAuthFlow(std::stop_token stop)
{
    const QString state = websignin::newStateValue();
    const QString nonce = websignin::newStateValue();
    const QString scheme = callbackScheme();
    // A scheme must start with a letter and hold only letters, digits, "+", "-" and ".".
    static const QRegularExpression schemePattern(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*$"));
    if (!schemePattern.match(scheme).hasMatch())
        throw Error(Error::Code::invalidURL);
    const QUrl page = withQueryItems(QUrl(authorizationEndpoint),
                                     {{QStringLiteral("client_id"), m_clientID},
                                      {QStringLiteral("redirect_uri"), redirectURI(m_clientID)},
                                      {QStringLiteral("response_type"), QStringLiteral("code")},
                                      {QStringLiteral("scope"), QStringLiteral("openid email profile")},
                                      {QStringLiteral("state"), state},
                                      {QStringLiteral("nonce"), nonce},
                                      {QStringLiteral("access_type"), QStringLiteral("offline")}});
    if (!page.isValid())
        throw Error(Error::Code::invalidURL);

    const std::shared_ptr<WebAuthSession> session = m_session;
    auto running = session->authenticate(page, scheme, std::move(stop));
    const WebAuthOutcome outcome = co_await std::move(running);
    co_return readCallback(outcome, state);
}

QCoro::Task<AuthResponse> GoogleSignInManager::exchangeCode(QString code, std::stop_token stop)
{
    // The service takes Google's authorization code in "id_token".
    auto sending = websignin::postExchange(
        appendingPath(m_exchangeBase(), QStringLiteral("/api/v1/auth/social")),
        QJsonObject{{QStringLiteral("provider"), QStringLiteral("google")}, {QStringLiteral("id_token"), code}},
        std::move(stop));
    const HttpResponse response = co_await std::move(sending);
    if (response.status == 401)
        throw Error(Error::Code::tokenVerificationFailed);
    if (response.status != 200 && response.status != 201)
        throw Error(Error::Code::serverError, {}, response.status);
    co_return websignin::acceptedReply(response.body, &errorFor);
}

} // namespace quillmere
