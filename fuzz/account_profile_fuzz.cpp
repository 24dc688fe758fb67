// The account window's profile reader (GET /api/v1/account with a token just received): a
// profile or a clear error. Its id decides whether another account's sync state is wiped, so
// only a whole-number id may name an account; anything else reads as none.
#include "ReplyChecks.h"

#include "Accounts/LinkedAccount.h"
#include "Accounts/RegistrationAPIClient.h"

using namespace quillmere;
using namespace quillmere::fuzz;
using Client = RegistrationAPIClient;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body = bytesOf(data, size);
    UserProfile profile;
    if (readsOrRefusesNonJson(body, [&] { profile = Client::readAccountReply(200, body); })) {
        const QJsonObject object = objectOf(body);
        const QJsonValue id = object.value(QStringLiteral("id"));
        if (isPlainWholeNumber(id))
            check(profile.id == qint64(id.toDouble()), "a whole id is read exactly");
        else if (!isDoubtfulNumber(id))
            check(!LinkedAccount::known(profile.id), "an id that is not a whole number names no account");
        for (const char *key : {"name", "email", "plan"}) {
            const QJsonValue value = object.value(QLatin1String(key));
            const QString read = key[0] == 'n' ? profile.name : key[0] == 'e' ? profile.email : profile.plan;
            if (value.isString())
                check(read == value.toString(), "a string member is read as given", QLatin1String(key));
        }
        if (!object.value(QStringLiteral("plan")).isString())
            check(profile.plan == UserProfile().plan, "a profile without a plan keeps the default plan");
    }
    for (const int status : {201, 401, 404, 500}) {
        try {
            Client::readAccountReply(status, body);
            fail("only a 200 is a profile", QString::number(status));
        } catch (const Client::RegistrationError &error) {
            check(error.code() == Client::RegistrationError::Code::serverError && error.statusCode() == status,
                  "a refusal is a serverError with its status");
        } catch (...) {
            unexpected(std::current_exception());
        }
    }
    return 0;
}
