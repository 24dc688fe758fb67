#include "Accounts/UserProfile.h"

#include "Platform/Http/Json.h"

namespace quillmere {

UserProfile UserProfile::fromJson(const QJsonObject &object)
{
    UserProfile profile;
    profile.id = json::optionalInteger(object, QStringLiteral("id")).value_or(0);
    profile.name = json::optionalString(object, QStringLiteral("name")).value_or(QString());
    profile.email = json::optionalString(object, QStringLiteral("email")).value_or(QString());
    if (const auto plan = json::optionalString(object, QStringLiteral("plan")))
        profile.plan = *plan;
    return profile;
}

} // namespace quillmere
