// The sign-in reply (registration, web sign-in exchanges) and the registration's refusal
// bodies: a sign-in with a strict expiry, invalidResponse, validationFailed with the fields'
// messages, or an unreadable-body error; the home address and shard as for the token reply.
// A user without a whole-number id names no account.
#include "AccountChecks.h"
#include "ReplyChecks.h"

#include "Accounts/LinkedAccount.h"
#include "Accounts/RegistrationAPIClient.h"
#include "Accounts/SignInReply.h"

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
    forgetHome();
    std::optional<ServiceHome> home;
    try {
        const AuthResponse response = Client::readRegistrationReply(201, body);
        home = response.home;
        const QJsonValue id = objectOf(body).value(QStringLiteral("user")).toObject().value(QStringLiteral("id"));
        if (!isPlainWholeNumber(id) && !isDoubtfulNumber(id))
            check(!LinkedAccount::known(response.user.id), "a user without a whole-number id names no account");
        check(response.expiresAt.isValid() && response.expiresAt.timeSpec() == Qt::UTC, "a strict expiry");
        check(objectOf(body).value(QStringLiteral("user")).isObject(), "a sign-in names its user");
    } catch (const Client::RegistrationError &error) {
        check(isJson(body) && error.code() == Client::RegistrationError::Code::invalidResponse,
              "a readable reply that is no sign-in is invalidResponse");
    } catch (const json::JsonError &) {
        check(!isJson(body), "JSON that Qt reads is never refused as unreadable");
    } catch (...) {
        unexpected(std::current_exception());
    }
    checkNothingStored();
    if (home)
        checkCarriedHome(*home, objectOf(body));

    try {
        Client::readRegistrationReply(422, body);
        fail("a 422 never reads as a sign-in");
    } catch (const Client::RegistrationError &error) {
        check(error.code() == Client::RegistrationError::Code::validationFailed, "a 422 is validationFailed");
        for (const auto &[field, messages] : error.fieldErrors())
            check(objectOf(body).value(QStringLiteral("errors")).toObject().value(field).isArray(),
                  "every field named is one of the reply's");
        check(!error.message().isEmpty(), "a refusal has a message");
    } catch (const json::JsonError &) {
        check(!isJson(body), "JSON that Qt reads is never refused as unreadable");
    } catch (...) {
        unexpected(std::current_exception());
    }
    return 0;
}
