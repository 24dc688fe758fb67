#include "Accounts/DeviceAuthClient.h"

#include "Platform/Http/HttpClient.h"
#include "Platform/Http/InternetDate.h"
#include "Platform/Http/Json.h"
#include "Platform/Http/UrlBuilding.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace quillmere {

namespace {

HttpRequest jsonRequest(const QUrl &baseURL, const QString &path, const QByteArray &method)
{
    HttpRequest request;
    request.url = appendingPath(baseURL, path);
    request.method = method;
    request.headers.set("Accept", "application/json");
    return request;
}


} // namespace

DeviceAuthClient::DeviceAuthError::DeviceAuthError(Code code, int statusCode, QUrl elsewhere)
    : m_code(code), m_statusCode(statusCode), m_elsewhere(std::move(elsewhere)), m_what(message().toUtf8())
{
}

DeviceAuthClient::DeviceAuthError DeviceAuthClient::DeviceAuthError::answeredElsewhere(int statusCode, const QUrl &where)
{
    // The path and query may carry what the host put there for itself (a signed address).
    return DeviceAuthError(Code::serverError, statusCode,
                           where.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery
                                          | QUrl::RemoveFragment));
}

QString DeviceAuthClient::DeviceAuthError::message() const
{
    switch (m_code) {
    case Code::serverError:
        if (!m_elsewhere.isEmpty())
            return QStringLiteral("The request was redirected to %1, which answered (%2).")
                .arg(m_elsewhere.authority(), QString::number(m_statusCode));
        return QStringLiteral("Server returned error (%1).").arg(m_statusCode);
    case Code::invalidResponse:
        return QStringLiteral("Invalid response from server.");
    case Code::unexpectedResponse:
        break;
    }
    return QStringLiteral("Unexpected response format from server.");
}

DeviceAuthClient::TokenReply DeviceAuthClient::readTokenReply(const QByteArray &body)
{
    const QJsonObject object = json::parseObject(body);
    const auto token = json::optionalString(object, QStringLiteral("token"));
    const auto expiresAtText = json::optionalString(object, QStringLiteral("expires_at"));
    const auto expiresAt = expiresAtText ? parseInternetDate(*expiresAtText) : std::nullopt;
    if (!token || !expiresAt)
        throw DeviceAuthError::unexpectedResponse();
    return TokenReply{TokenData{*token, *expiresAt}, ServiceHome::fromReply(object)};
}

DeviceAuthClient::DeviceCodeResponse DeviceAuthClient::readDeviceCodeReply(const QByteArray &body)
{
    const QJsonObject object = json::parseObject(body);
    const auto deviceCode = json::optionalString(object, QStringLiteral("device_code"));
    const auto userCode = json::optionalString(object, QStringLiteral("user_code"));
    const auto verificationUrl = json::optionalString(object, QStringLiteral("verification_url"));
    const auto expiresIn = json::optionalInteger(object, QStringLiteral("expires_in"));
    if (!deviceCode || !userCode || !verificationUrl || !expiresIn)
        throw DeviceAuthError::unexpectedResponse();
    return DeviceCodeResponse{*deviceCode, *userCode, *verificationUrl, *expiresIn,
                              json::optionalInteger(object, QStringLiteral("interval")).value_or(5)};
}

QCoro::Task<DeviceAuthClient::DeviceCodeResponse> DeviceAuthClient::requestDeviceCode(QUrl baseURL,
                                                                                      std::stop_token stop)
{
    HttpRequest request = jsonRequest(baseURL, QStringLiteral("/api/v1/auth/device"), "POST");
    request.setJsonBody(QJsonObject{{QStringLiteral("device_type"), QStringLiteral("quillmere")}});
    auto sending = HttpClient::send(std::move(request), std::move(stop));
    const HttpResponse response = co_await std::move(sending);
    if (response.status != 200)
        throw DeviceAuthError::serverError(response.status);

    co_return readDeviceCodeReply(response.body);
}

QCoro::Task<DeviceAuthClient::PollResult> DeviceAuthClient::pollForToken(QString deviceCode, QUrl baseURL,
                                                                         std::stop_token stop)
{
    HttpRequest request = jsonRequest(baseURL, QStringLiteral("/api/v1/auth/device/token"), "POST");
    request.setJsonBody(QJsonObject{{QStringLiteral("device_code"), deviceCode}});
    auto sending = HttpClient::send(std::move(request), std::move(stop));
    const HttpResponse response = co_await std::move(sending);
    switch (response.status) {
    case 200: {
        TokenReply reply = readTokenReply(response.body);
        co_return PollResult{PollResult::Kind::approved, std::move(reply.token), std::move(reply.home)};
    }
    case 428:
        co_return PollResult{PollResult::Kind::pending, std::nullopt, {}};
    case 410:
        co_return PollResult{PollResult::Kind::expired, std::nullopt, {}};
    case 404:
        co_return PollResult{PollResult::Kind::invalidCode, std::nullopt, {}};
    default:
        throw DeviceAuthError::serverError(response.status);
    }
}

QCoro::Task<DeviceAuthClient::TokenReply> DeviceAuthClient::refresh(QString token, QUrl baseURL, std::stop_token stop)
{
    HttpRequest request = jsonRequest(baseURL, QStringLiteral("/api/v1/auth/refresh"), "POST");
    request.headers.set("Content-Type", "application/json");
    request.headers.set("Authorization", "Bearer " + token.toUtf8());
    auto sending = HttpClient::send(std::move(request), std::move(stop));
    const HttpResponse response = co_await std::move(sending);
    // The token was dropped where the redirect led: that host neither took nor refused it.
    if (response.leftOrigin)
        throw DeviceAuthError::answeredElsewhere(response.status, response.url);
    if (response.status != 200)
        throw DeviceAuthError::serverError(response.status);
    co_return readTokenReply(response.body);
}

QCoro::Task<bool> DeviceAuthClient::revokeToken(QString token, QUrl baseURL, std::stop_token stop)
{
    HttpRequest request = jsonRequest(baseURL, QStringLiteral("/api/v1/auth/token"), "DELETE");
    request.headers.set("Authorization", "Bearer " + token.toUtf8());
    try {
        auto sending = HttpClient::send(std::move(request), std::move(stop));
        const HttpResponse response = co_await std::move(sending);
        co_return response.status == 204;
    } catch (...) {
        co_return false;
    }
}

} // namespace quillmere
