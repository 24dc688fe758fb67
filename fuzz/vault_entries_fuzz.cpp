// What the keyring hands back: the vault's JSON of base64 entries and the stored token.
// Anything reads as a dictionary or as nothing (an empty vault); what reads re-encodes to
// the same entries.
#include "FuzzSupport.h"

#include "Accounts/KeychainVault.h"
#include "Accounts/TokenData.h"

using namespace quillmere;
using namespace quillmere::fuzz;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    if (const auto dictionary = KeychainVault::decode(bytes)) {
        const auto again = KeychainVault::decode(KeychainVault::encode(*dictionary));
        check(again && *again == *dictionary, "a vault that reads re-encodes to the same entries");
        for (const auto &[key, value] : *dictionary) {
            // Each entry is what a stored token reads from.
            if (const auto token = TokenData::decode(value))
                check(token->expiresAt.isValid(), "a stored token's expiry is a valid time");
        }
    }
    if (const auto token = TokenData::decode(bytes)) {
        check(token->expiresAt.isValid(), "a stored token's expiry is a valid time");
        const auto again = TokenData::decode(token->encoded());
        check(again && again->token == token->token, "a stored token re-encodes to the same token");
    }
    return 0;
}
