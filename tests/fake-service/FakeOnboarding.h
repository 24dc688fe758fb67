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
};

} // namespace quillmere::test
