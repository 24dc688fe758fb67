// The account window's replies: the offered plans, the account profile and the checkout page.
// A value or a clear error; plans that read keep the reply's order.
#include "ReplyChecks.h"

#include "Accounts/RegistrationAPIClient.h"
#include "Accounts/UserProfile.h"

using namespace quillmere;
using namespace quillmere::fuzz;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body = bytesOf(data, size);
    std::optional<std::vector<SubscriptionPlan>> plans;
    if (!readsOrRefusesNonJson(body, [&] { plans = RegistrationAPIClient::readSubscriptionPlansReply(200, body); }))
        return 0;
    const QJsonObject object = objectOf(body);
    check(plans.has_value() == object.value(QStringLiteral("plans")).isArray(),
          "plans exactly when the reply has a \"plans\" array");
    if (plans) {
        std::size_t complete = 0;
        for (const QJsonObject &entry : entriesOf(object, QStringLiteral("plans"))) {
            bool all = true;
            for (const char *key : {"name", "label", "storage"})
                all = all && entry.value(QLatin1String(key)).isString();
            complete += all ? 1 : 0;
        }
        check(plans->size() == complete, "every entry with a name, a label and a storage text is a plan");
    }
    const UserProfile profile = UserProfile::fromJson(object);
    if (!object.value(QStringLiteral("plan")).isString())
        check(profile.plan == UserProfile().plan, "a profile without a plan keeps the default plan");
    try {
        RegistrationAPIClient::readSubscriptionPlansReply(500, body);
        fail("a refused status never reads as plans");
    } catch (const RegistrationAPIClient::RegistrationError &error) {
        check(error.statusCode() == 500, "a refusal carries its status");
    } catch (...) {
        unexpected(std::current_exception());
    }
    return 0;
}
