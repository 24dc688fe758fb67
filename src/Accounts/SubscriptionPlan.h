#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace quillmere {

// One plan the service offers the signed-in account, as the plan chooser shows it. The texts
// are the service's own (no number or currency formatting is applied).
struct SubscriptionPlan
{
    QString name; // the machine name; the free tier is "silver"
    QString label;
    QString storage;
    QString feeMonthly;
    QString feeAnnual;
    bool mostPopular = false;

    // "name", "label" and "storage" must be strings, else there is no plan; a fee that is not
    // a string reads as "—", "most_popular" that is not a Boolean as false.
    static std::optional<SubscriptionPlan> fromJson(const QJsonObject &object);

    bool operator==(const SubscriptionPlan &other) const = default;
};

} // namespace quillmere
