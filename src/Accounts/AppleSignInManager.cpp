#include "Accounts/AppleSignInManager.h"

#include "Accounts/SignInReply.h"
#include "Accounts/WebSignInSupport.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Http/UrlBuilding.h"

namespace quillmere {

namespace {
using Error = AppleSignInManager::AppleSignInError;
const QString deviceName = QStringLiteral("Quillmere");
} // namespace

AppleSignInManager::AppleSignInError::AppleSignInError(Code code, QString text, int statusCode)
    : m_code(code), m_text(std::move(text)), m_statusCode(statusCode), m_what(message().toUtf8())
{
}

QString AppleSignInManager::AppleSignInError::message() const
{
    switch (m_code) {
    case Code::authorizationFailed:
        return QStringLiteral("Apple Sign-In failed: ") + m_text;
    case Code::serverReported:
        return QStringLiteral("Sign in failed (") + m_text + QStringLiteral(").");
    case Code::exchangeFailed:
        return QStringLiteral("Code exchange failed (%1).").arg(m_statusCode);
    case Code::serverError:
        return QStringLiteral("Server error (%1).").arg(m_statusCode);
    case Code::invalidURL:
        return QStringLiteral("Failed to construct Apple Sign-In URL.");
    case Code::userCancelled:
        return QStringLiteral("Sign in was cancelled.");
    case Code::noAuthorizationCode:
        return QStringLiteral("Apple did not return an authorization code.");
    case Code::stateMismatch:
        return QStringLiteral("OAuth state mismatch — possible security issue.");
    case Code::sessionStartFailed:
        return QStringLiteral("Failed to start authentication session.");
    case Code::invalidResponse:
        break;
    }
    return QStringLiteral("Invalid response from server.");
}

AppleSignInManager::AppleSignInManager(std::shared_ptr<WebAuthSession> session, BaseURLSource redirectBase,
                                       BaseURLSource exchangeBase)
    : m_session(std::move(session)), m_redirectBase(std::move(redirectBase)), m_exchangeBase(std::move(exchangeBase))
{
}

std::pair<QString, QString> AppleSignInManager::readCallback(const WebAuthOutcome &outcome, const QString &state)
{
    switch (outcome.kind) {
    case WebAuthOutcome::Kind::notStarted:
        throw Error(Error::Code::sessionStartFailed);
    case WebAuthOutcome::Kind::cancelled:
        throw Error(Error::Code::userCancelled);
    case WebAuthOutcome::Kind::failed:
        throw Error(Error::Code::authorizationFailed, outcome.errorMessage);
    case WebAuthOutcome::Kind::completed:
        break;
    }
    if (!outcome.callbackURL || !outcome.callbackURL->isValid())
        throw Error(Error::Code::noAuthorizationCode);
    const QUrl &url = *outcome.callbackURL;
    if (const auto reported = websignin::firstQueryValue(url, QStringLiteral("error")))
        throw Error(Error::Code::serverReported, *reported);
    const auto code = websignin::firstQueryValue(url, QStringLiteral("code"));
    if (!code)
        throw Error(Error::Code::noAuthorizationCode);
    if (websignin::firstQueryValue(url, QStringLiteral("state")) != state)
        throw Error(Error::Code::stateMismatch);
    return {*code, state};
}

QCoro::Task<std::pair<QString, QString>> AppleSignInManager::performOAuthFlow(std::stop_token stop)
{
    const QString state = websignin::newStateValue();
    const QUrl page = withQueryItems(appendingPath(m_redirectBase(), QStringLiteral("/auth/apple/app-redirect")),
                                     {{QStringLiteral("callback"), callbackURL},
                                      {QStringLiteral("state"), state},
                                      {QStringLiteral("device_name"), deviceName}});
    // The page is where the user types Apple credentials: never anything but https, or http
    // to a service on this machine.
    if (!page.isValid() || !isPermittedUrl(page))
        throw Error(Error::Code::invalidURL);

    const std::shared_ptr<WebAuthSession> session = m_session;
    auto running = session->authenticate(page, callbackScheme, std::move(stop));
    const WebAuthOutcome outcome = co_await std::move(running);
    co_return readCallback(outcome, state);
}

QCoro::Task<AuthResponse> AppleSignInManager::exchangeCode(QString code, std::stop_token stop)
{
    HttpRequest request;
    request.url = appendingPath(m_exchangeBase(), QStringLiteral("/api/v1/auth/apple/exchange"));
    request.method = "POST";
    request.headers.set("Accept", "application/json");
    request.setJsonBody(QJsonObject{{QStringLiteral("code"), code}, {QStringLiteral("device_name"), deviceName}});
    auto sending = HttpClient::send(std::move(request), std::move(stop));
    const HttpResponse response = co_await std::move(sending);
    switch (response.status) {
    case 200:
    case 201:
        break;
    case 401:
    case 410:
    case 422:
        throw Error(Error::Code::exchangeFailed, {}, response.status);
    default:
        throw Error(Error::Code::serverError, {}, response.status);
    }
    auto reply = readSignInReply(response.body);
    if (!reply)
        throw Error(Error::Code::invalidResponse);
    co_return std::move(*reply);
}

} // namespace quillmere
