// The token reply of a device-link poll or a refresh: a token with a strict expiry, or
// unexpectedResponse / an unreadable-body error. Reading stores nothing; the home address and
// shard it carries are stored only when acceptable (the shard goes out in a header).
#include "AccountChecks.h"
#include "ReplyChecks.h"

#include "Accounts/DeviceAuthClient.h"

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
    forgetHome();
    std::optional<ServiceHome> home;
    try {
        const DeviceAuthClient::TokenReply reply = DeviceAuthClient::readTokenReply(body);
        const TokenData &token = reply.token;
        home = reply.home;
        checkDate(token.expiresAt);
        check(objectOf(body).value(QStringLiteral("token")).toString() == token.token, "the token is the reply's");
        // What the vault keeps reads back.
        const auto stored = TokenData::decode(token.encoded());
        check(stored && stored->token == token.token && stored->expiresAt == token.expiresAt,
              "a stored token reads back as it was");
    } catch (const DeviceAuthClient::DeviceAuthError &error) {
        check(isJson(body) && error.code() == DeviceAuthClient::DeviceAuthError::Code::unexpectedResponse,
              "a readable reply without a token and a strict expiry is unexpectedResponse");
    } catch (const json::JsonError &) {
        check(!isJson(body), "JSON that Qt reads is never refused as unreadable");
    } catch (...) {
        unexpected(std::current_exception());
    }
    checkNothingStored();
    if (home)
        checkCarriedHome(*home, objectOf(body));
    return 0;
}
