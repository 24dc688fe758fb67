#include "Accounts/RegistrationAPIClient.h"

#include "Accounts/SignInReply.h"

#include "Platform/Http/HttpClient.h"
#include "Platform/Http/InternetDate.h"
#include "Platform/Http/Json.h"
#include "Platform/Http/UrlBuilding.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace quillmere {

namespace {

HttpRequest accountRequest(const QUrl &baseURL, const QString &path, const QByteArray &method)
{
    HttpRequest request;
    request.url = appendingPath(baseURL, path);
    request.method = method;
    request.headers.set("Accept", "application/json");
    return request;
}

QByteArray bearer(const QString &token)
{
    return "Bearer " + token.toUtf8();
}

} // namespace

RegistrationAPIClient::RegistrationError::RegistrationError(Code code, int statusCode, FieldErrors fields)
    : m_code(code), m_statusCode(statusCode), m_fields(std::move(fields)), m_what(message().toUtf8())
{
}

RegistrationAPIClient::RegistrationError RegistrationAPIClient::RegistrationError::validationFailed(FieldErrors fields)
{
    return RegistrationError(Code::validationFailed, 0, std::move(fields));
}

RegistrationAPIClient::RegistrationError RegistrationAPIClient::RegistrationError::serverError(int statusCode)
{
    return RegistrationError(Code::serverError, statusCode);
}

QString RegistrationAPIClient::RegistrationError::message() const
{
    switch (m_code) {
    case Code::validationFailed:
        for (const auto &[field, messages] : m_fields) {
            for (const QString &message : messages) {
                if (!message.trimmed().isEmpty())
                    return message;
            }
        }
        return QStringLiteral("Validation failed.");
    case Code::serverError:
        return QStringLiteral("Server error (%1). Please try again later.").arg(m_statusCode);
    case Code::invalidResponse:
        return QStringLiteral("Invalid response from server.");
    case Code::tokenVerificationFailed:
        return QStringLiteral("Sign-in verification failed. Please try again.");
    case Code::emailAlreadyExists:
        return QStringLiteral("An account with this email already exists. Please use the device link flow to connect.");
    case Code::rateLimited:
        break;
    }
    return QStringLiteral("Too many attempts. Please wait a moment and try again.");
}

AuthResponse RegistrationAPIClient::parseAuthResponse(const QByteArray &body)
{
    if (auto response = readSignInReply(body))
        return std::move(*response);
    throw RegistrationError::invalidResponse();
}

RegistrationAPIClient::FieldErrors RegistrationAPIClient::parseValidationErrors(const QByteArray &body)
{
    const QJsonObject object = json::parseObject(body);
    const auto errors = json::optionalObject(object, QStringLiteral("errors"));
    if (!errors)
        return {};
    FieldErrors fields;
    for (auto it = errors->begin(); it != errors->end(); ++it) {
        if (!it.value().isArray())
            return {};
        QStringList messages;
        for (const QJsonValue &message : it.value().toArray()) {
            if (!message.isString())
                return {};
            messages.append(message.toString());
        }
        fields.emplace(it.key(), std::move(messages));
    }
    return fields;
}

AuthResponse RegistrationAPIClient::readRegistrationReply(int status, const QByteArray &body)
{
    switch (status) {
    case 201:
        return parseAuthResponse(body);
    case 422:
        throw RegistrationError::validationFailed(parseValidationErrors(body));
    case 429:
        throw RegistrationError::rateLimited();
    default:
        throw RegistrationError::serverError(status);
    }
}

QCoro::Task<AuthResponse> RegistrationAPIClient::registerAccount(Registration registration, QUrl baseURL,
                                                                 std::stop_token stop)
{
    HttpRequest request = accountRequest(baseURL, QStringLiteral("/api/v1/auth/register"), "POST");
    request.setJsonBody(QJsonObject{
        {QStringLiteral("name"), registration.name},
        {QStringLiteral("email"), registration.email},
        {QStringLiteral("password"), registration.password},
        {QStringLiteral("password_confirmation"), registration.passwordConfirmation},
        {QStringLiteral("device_name"), QStringLiteral("Quillmere")},
    });
    auto sending = HttpClient::send(std::move(request), std::move(stop));
    const HttpResponse response = co_await std::move(sending);
    co_return readRegistrationReply(response.status, response.body);
}

QCoro::Task<UserProfile> RegistrationAPIClient::fetchAccount(QString token, QUrl baseURL, std::stop_token stop)
{
    HttpRequest request = accountRequest(baseURL, QStringLiteral("/api/v1/account"), "GET");
    request.headers.set("Authorization", bearer(token));
    auto sending = HttpClient::send(std::move(request), std::move(stop));
    const HttpResponse response = co_await std::move(sending);
    co_return readAccountReply(response.status, response.body);
}

UserProfile RegistrationAPIClient::readAccountReply(int status, const QByteArray &body)
{
    if (status != 200)
        throw RegistrationError::serverError(status);
    return UserProfile::fromJson(json::parseObject(body));
}

QCoro::Task<std::optional<QString>> RegistrationAPIClient::createCheckoutSession(QString token, QString plan,
                                                                                 QString interval, QUrl baseURL,
                                                                                 std::stop_token stop)
{
    HttpRequest request = accountRequest(baseURL, QStringLiteral("/api/v1/account/checkout"), "POST");
    request.headers.set("Authorization", bearer(token));
    request.setJsonBody(QJsonObject{{QStringLiteral("plan"), plan}, {QStringLiteral("interval"), interval}});
    auto sending = HttpClient::send(std::move(request), std::move(stop));
    const HttpResponse response = co_await std::move(sending);
    co_return readCheckoutReply(response.status, response.body);
}

std::optional<QString> RegistrationAPIClient::readCheckoutReply(int status, const QByteArray &body)
{
    if (status != 200)
        return std::nullopt;
    return json::optionalString(json::parseObject(body), QStringLiteral("checkout_url"));
}

std::optional<std::vector<SubscriptionPlan>> RegistrationAPIClient::readSubscriptionPlansReply(int status,
                                                                                            const QByteArray &body)
{
    if (status != 200)
        throw RegistrationError::serverError(status);
    const auto entries = json::optionalArray(json::parseObject(body), QStringLiteral("plans"));
    if (!entries)
        return std::nullopt;
    std::vector<SubscriptionPlan> plans;
    for (const QJsonValue &entry : *entries) {
        if (!entry.isObject())
            continue;
        if (auto plan = SubscriptionPlan::fromJson(entry.toObject()))
            plans.push_back(std::move(*plan));
    }
    return plans;
}

QCoro::Task<std::optional<std::vector<SubscriptionPlan>>>
RegistrationAPIClient::fetchSubscriptionPlans(QString token, QUrl baseURL, std::stop_token stop)
{
    HttpRequest request = accountRequest(baseURL, QStringLiteral("/api/v1/account/subscription-portal"), "POST");
    request.headers.set("Authorization", bearer(token));
    auto sending = HttpClient::send(std::move(request), std::move(stop));
    const HttpResponse response = co_await std::move(sending);
    co_return readSubscriptionPlansReply(response.status, response.body);
}

} // namespace quillmere
