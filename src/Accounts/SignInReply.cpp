#include "Accounts/SignInReply.h"

#include "Accounts/APIConfig.h"
#include "Platform/Http/Json.h"

namespace quillmere {

std::optional<AuthResponse> readSignInReply(const QByteArray &body)
{
    const QJsonObject object = json::parseObject(body);
    const auto user = json::optionalObject(object, QStringLiteral("user"));
    const auto token = json::optionalString(object, QStringLiteral("token"));
    const auto expiresAt = json::optionalDate(object, QStringLiteral("expires_at"));
    if (!user || !token || !expiresAt)
        return std::nullopt;

    AuthResponse response;
    response.user.id = json::optionalInteger(*user, QStringLiteral("id")).value_or(0);
    response.user.name = json::optionalString(*user, QStringLiteral("name")).value_or(QString());
    response.user.email = json::optionalString(*user, QStringLiteral("email")).value_or(QString());
    response.user.plan = json::optionalString(*user, QStringLiteral("plan")).value_or(QStringLiteral("silver"));
    response.token = *token;
    response.expiresAt = *expiresAt;
    response.home = ServiceHome::fromReply(object);
    response.isNewUser = json::optionalBool(object, QStringLiteral("is_new_user")).value_or(true);
    return response;
}

} // namespace quillmere
