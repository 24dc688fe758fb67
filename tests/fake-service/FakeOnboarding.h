#pragma once

#include <QString>
#include <QStringList>

#include <map>
#include <vector>

namespace quillmere::test {

// A checkout page the fake handed out.
struct FakeCheckout
{
    qint64 accountId = 0;
    QString plan;
    QString interval;
    QString url;
};

// A plan the subscription-plans reply offers.
struct FakeSubscriptionPlan
{
    QString name;
    QString label;
    QString storage;
    QString feeMonthly;
    QString feeAnnual;
    bool mostPopular = false;
};

// What registration and checkout keep: passwords by e-mail (accounts seeded with addAccount
// have none, but their e-mail is still taken) and the checkout pages handed out.
struct FakeOnboarding
{
    std::map<QString, QString> passwords;
    std::vector<FakeCheckout> checkouts;
    // Plans a checkout may be started for.
    QStringList checkoutPlans{QStringLiteral("gold"), QStringLiteral("platinum")};
    // "checkout_url" of every checkout reply when set (e.g. an address the client must refuse).
    QString checkoutURLOverride;
    // What POST /api/v1/account/subscription-portal offers, in order.
    std::vector<FakeSubscriptionPlan> subscriptionPlans{
        {QStringLiteral("gold"), QStringLiteral("Gold"), QStringLiteral("200 GB"), QStringLiteral("$9.99"),
         QStringLiteral("$99.99"), true},
        {QStringLiteral("platinum"), QStringLiteral("Platinum"), QStringLiteral("2 TB"), QStringLiteral("$19.99"),
         QStringLiteral("$199.99"), false},
    };
};

} // namespace quillmere::test
