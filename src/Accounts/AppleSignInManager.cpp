#include "Accounts/AppleSignInManager.h"

#include "Platform/Http/HttpResponse.h"
#include "Platform/Http/UrlBuilding.h"

namespace quillmere {

namespace {

using Error = AppleSignInManager::AppleSignInError;

Error errorFor(websignin::Fault fault, const QString &text)
{
    switch (fault) {
    case websignin::Fault::sessionStartFailed:
        return Error(Error::Code::sessionStartFailed);
    case websignin::Fault::userCancelled:
        return Error(Error::Code::userCancelled);
    case websignin::Fault::sessionFailed:
        return Error(Error::Code::authorizationFailed, text);
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

AppleSignInManager::AppleSignInError::AppleSignInError(Code code, QString text, int statusCode)
    : SignInError(std::move(text), statusCode), m_code(code)
{
    keepMessage(message());
}

QString AppleSignInManager::AppleSignInError::message() const
{
    switch (m_code) {
    case Code::authorizationFailed:
        return QStringLiteral("Apple Sign-In failed: ") + text();
    case Code::serverReported:
        return QStringLiteral("Sign in failed (") + text() + QStringLiteral(").");
    case Code::exchangeFailed:
        return QStringLiteral("Code exchange failed (%1).").arg(statusCode());
    case Code::serverError:
        return QStringLiteral("Server error (%1).").arg(statusCode());
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
    const QUrl url = websignin::callbackURL(outcome, &errorFor);
    // The service's page reports its own failures in an "error" item, before any code is read.
    if (const auto reported = websignin::firstQueryValue(url, QStringLiteral("error")))
        throw Error(Error::Code::serverReported, *reported);
    return websignin::codeAndState(url, state, &errorFor);
}

QCoro::Task<std::pair<QString, QString>> AppleSignInManager::performOAuthFlow(std::stop_token stop)
{
    const QString state = websignin::newStateValue();
    const QUrl page = withQueryItems(appendingPath(m_redirectBase(), QStringLiteral("/auth/apple/app-redirect")),
                                     {{QStringLiteral("callback"), callbackURL},
                                      {QStringLiteral("state"), state},
                                      {QStringLiteral("device_name"), websignin::deviceName}});
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
    auto sending = websignin::postExchange(appendingPath(m_exchangeBase(), QStringLiteral("/api/v1/auth/apple/exchange")),
                                           QJsonObject{{QStringLiteral("code"), code}}, std::move(stop));
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
    co_return websignin::acceptedReply(response.body, &errorFor);
}

} // namespace quillmere
