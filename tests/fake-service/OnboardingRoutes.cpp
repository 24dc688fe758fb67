#include "fake-service/FakeJson.h"
#include "fake-service/FakeRoutes.h"

#include <QJsonArray>

namespace quillmere::test {

namespace {

bool emailTakenLocked(const FakeServiceState &state, const QString &email)
{
    for (const auto &[id, account] : state.accounts) {
        if (account.email.compare(email, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

FakeReply registerAccount(FakeServiceState &state, const FakeRequest &request)
{
    if (auto refused = requireAcceptJson(request))
        return *refused;
    auto body = jsonObjectBody(request);
    if (auto *refused = std::get_if<FakeReply>(&body))
        return *refused;
    const QJsonObject object = std::get<QJsonObject>(body);
    for (const char *key : {"name", "email", "password", "password_confirmation", "device_name"}) {
        if (auto refused = requireString(object, QString::fromLatin1(key)))
            return *refused;
    }
    const QString name = object.value(QStringLiteral("name")).toString().trimmed();
    const QString email = object.value(QStringLiteral("email")).toString().trimmed();
    const QString password = object.value(QStringLiteral("password")).toString();

    std::lock_guard lock(state.mutex);
    QJsonObject errors;
    const auto add = [&errors](const QString &field, const QString &message) {
        QJsonArray messages = errors.value(field).toArray();
        messages.append(message);
        errors.insert(field, messages);
    };
    if (name.isEmpty())
        add(QStringLiteral("name"), QStringLiteral("The name field is required."));
    if (email.isEmpty() || !email.contains(QLatin1Char('@')))
        add(QStringLiteral("email"), QStringLiteral("The email must be a valid email address."));
    else if (emailTakenLocked(state, email))
        add(QStringLiteral("email"), QStringLiteral("The email has already been taken."));
    if (password.size() < 8)
        add(QStringLiteral("password"), QStringLiteral("The password must be at least 8 characters."));
    if (password != object.value(QStringLiteral("password_confirmation")).toString())
        add(QStringLiteral("password"), QStringLiteral("The password confirmation does not match."));
    if (!errors.isEmpty())
        return FakeReply::json(422, QJsonObject{{QStringLiteral("message"), QStringLiteral("The given data was invalid.")},
                                                {QStringLiteral("errors"), errors}});

    FakeAccount account;
    account.id = state.nextAccountId++;
    account.name = name;
    account.email = email;
    state.accounts[account.id] = account;
    state.onboarding.passwords[email] = password;
    const QString token = state.issueTokenLocked(account.id);
    QJsonObject reply = state.tokenReplyLocked(state.tokens.at(token));
    reply.insert(QStringLiteral("user"), QJsonObject{
                                             {QStringLiteral("id"), account.id},
                                             {QStringLiteral("name"), account.name},
                                             {QStringLiteral("email"), account.email},
                                             {QStringLiteral("plan"), account.plan},
                                         });
    reply.insert(QStringLiteral("is_new_user"), true);
    return FakeReply::json(201, reply);
}

FakeReply checkout(FakeServiceState &state, const FakeRequest &request)
{
    auto body = jsonObjectBody(request);
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    if (auto *refused = std::get_if<FakeReply>(&body))
        return *refused;
    const QJsonObject object = std::get<QJsonObject>(body);
    for (const char *key : {"plan", "interval"}) {
        if (auto refused = requireString(object, QString::fromLatin1(key)))
            return *refused;
    }
    const QString plan = object.value(QStringLiteral("plan")).toString();
    const QString interval = object.value(QStringLiteral("interval")).toString();
    if (!state.onboarding.checkoutPlans.contains(plan))
        return FakeReply::failure(422, QStringLiteral("Unknown plan"), QStringLiteral("invalid_plan"));
    if (interval != QLatin1String("monthly") && interval != QLatin1String("yearly"))
        return FakeReply::failure(422, QStringLiteral("Unknown billing interval"), QStringLiteral("invalid_interval"));

    FakeCheckout made;
    made.accountId = std::get<qint64>(who);
    made.plan = plan;
    made.interval = interval;
    made.url = state.onboarding.checkoutURLOverride.isEmpty()
                   ? state.baseURL + QStringLiteral("/checkout/cs_%1").arg(state.onboarding.checkouts.size() + 1)
                   : state.onboarding.checkoutURLOverride;
    state.onboarding.checkouts.push_back(made);
    return FakeReply::json(200, QJsonObject{{QStringLiteral("checkout_url"), made.url}});
}

FakeReply subscriptionPlans(FakeServiceState &state, const FakeRequest &request)
{
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    QJsonArray plans;
    for (const FakeSubscriptionPlan &plan : state.onboarding.subscriptionPlans) {
        plans.append(QJsonObject{
            {QStringLiteral("name"), plan.name},
            {QStringLiteral("label"), plan.label},
            {QStringLiteral("storage"), plan.storage},
            {QStringLiteral("fee_monthly"), plan.feeMonthly},
            {QStringLiteral("fee_annual"), plan.feeAnnual},
            {QStringLiteral("most_popular"), plan.mostPopular},
        });
    }
    return FakeReply::json(200, QJsonObject{{QStringLiteral("plans"), plans}});
}

} // namespace

void addOnboardingRoutes(FakeRouter &router, FakeServiceState &state)
{
    router.add("POST", "/api/v1/auth/register", [&state](const FakeRequest &r) { return registerAccount(state, r); });
    router.add("POST", "/api/v1/account/checkout", [&state](const FakeRequest &r) { return checkout(state, r); });
    router.add("POST", "/api/v1/account/subscription-portal",
               [&state](const FakeRequest &r) { return subscriptionPlans(state, r); });
}

} // namespace quillmere::test
