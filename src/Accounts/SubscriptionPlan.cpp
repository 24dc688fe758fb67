#include "Accounts/SubscriptionPlan.h"

#include "Platform/Http/Json.h"

namespace quillmere {

std::optional<SubscriptionPlan> SubscriptionPlan::fromJson(const QJsonObject &object)
{
    const auto name = json::optionalString(object, QStringLiteral("name"));
    const auto label = json::optionalString(object, QStringLiteral("label"));
    const auto storage = json::optionalString(object, QStringLiteral("storage"));
    if (!name || !label || !storage)
        return std::nullopt;
    const QString missingFee = QStringLiteral("\u2014");
    SubscriptionPlan plan;
    plan.name = *name;
    plan.label = *label;
    plan.storage = *storage;
    plan.feeMonthly = json::optionalString(object, QStringLiteral("fee_monthly")).value_or(missingFee);
    plan.feeAnnual = json::optionalString(object, QStringLiteral("fee_annual")).value_or(missingFee);
    plan.mostPopular = json::optionalBool(object, QStringLiteral("most_popular")).value_or(false);
    return plan;
}

} // namespace quillmere
