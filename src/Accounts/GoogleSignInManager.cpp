#include "Accounts/GoogleSignInManager.h"

#include "Accounts/SignInReply.h"
#include "Accounts/WebSignInSupport.h"
#include "Platform/Http/HttpClient.h"
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
const QString deviceName = QStringLiteral("Quillmere");
} // namespace

GoogleSignInManager::GoogleSignInError::GoogleSignInError(Code code, QString text, int statusCode)
    : m_code(code), m_text(std::move(text)), m_statusCode(statusCode), m_what(message().toUtf8())
{
}

QString GoogleSignInManager::GoogleSignInError::message() const
{
    switch (m_code) {
    case Code::authenticationFailed:
        return QStringLiteral("Google Sign-In failed: ") + m_text;
    case Code::serverError:
        return QStringLiteral("Server error (%1).").arg(m_statusCode);
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
    switch (outcome.kind) {
    case WebAuthOutcome::Kind::notStarted:
        throw Error(Error::Code::sessionStartFailed);
    case WebAuthOutcome::Kind::cancelled:
        throw Error(Error::Code::userCancelled);
    case WebAuthOutcome::Kind::failed:
        throw Error(Error::Code::authenticationFailed, outcome.errorMessage);
    case WebAuthOutcome::Kind::completed:
        break;
    }
    if (!outcome.callbackURL || !outcome.callbackURL->isValid())
        throw Error(Error::Code::noAuthorizationCode);
    const QUrl &url = *outcome.callbackURL;
    // Google's "error" item is not read: without a code the flow fails below anyway.
    const auto code = websignin::firstQueryValue(url, QStringLiteral("code"));
    if (!code)
        throw Error(Error::Code::noAuthorizationCode);
    if (websignin::firstQueryValue(url, QStringLiteral("state")) != state)
        throw Error(Error::Code::stateMismatch);
    return {*code, state};
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
    HttpRequest request;
    request.url = appendingPath(m_exchangeBase(), QStringLiteral("/api/v1/auth/social"));
    request.method = "POST";
    request.headers.set("Accept", "application/json");
    // The service takes Google's authorization code in "id_token".
    request.setJsonBody(QJsonObject{{QStringLiteral("provider"), QStringLiteral("google")},
                                    {QStringLiteral("id_token"), code},
                                    {QStringLiteral("device_name"), deviceName}});
    auto sending = HttpClient::send(std::move(request), std::move(stop));
    const HttpResponse response = co_await std::move(sending);
    if (response.status == 401)
        throw Error(Error::Code::tokenVerificationFailed);
    if (response.status != 200 && response.status != 201)
        throw Error(Error::Code::serverError, {}, response.status);
    auto reply = readSignInReply(response.body);
    if (!reply)
        throw Error(Error::Code::invalidResponse);
    co_return std::move(*reply);
}

} // namespace quillmere
