// The checkout reply: the payment page's address is the reply's string "checkout_url" of a 200
// and nothing else; any other status or shape is no address, never an exception but the
// unreadable-body one. (The address is opened only through the external URL opener's checks.)
#include "ReplyChecks.h"

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
    std::optional<QString> address;
    if (readsOrRefusesNonJson(body, [&] { address = Client::readCheckoutReply(200, body); })) {
        const QJsonValue member = objectOf(body).value(QStringLiteral("checkout_url"));
        check(address.has_value() == member.isString(), "an address exactly when the reply has a string one");
        if (address)
            check(*address == member.toString(), "the address is the reply's, as given");
    }
    for (const int status : {201, 302, 400, 402, 500}) {
        try {
            check(!Client::readCheckoutReply(status, body), "only a 200 names a page", QString::number(status));
        } catch (...) {
            unexpected(std::current_exception());
        }
    }
    return 0;
}
