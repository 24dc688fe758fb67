// The callback URL of the Google sign-in: the code goes on only with the state sent; a missing
// code or another state is its own failure, never a code.
#include "WebCallbackChecks.h"

#include "Accounts/GoogleSignInManager.h"

using namespace quillmere;
using namespace quillmere::fuzz;
using Error = GoogleSignInManager::GoogleSignInError;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QUrl url(QString::fromUtf8(bytesOf(data, size)));
    try {
        checkTakenCode(url, GoogleSignInManager::readCallback(WebAuthOutcome::completed(url), sentState));
    } catch (const Error &error) {
        switch (error.code()) {
        case Error::Code::noAuthorizationCode:
            check(!url.isValid() || !firstItem(url, QStringLiteral("code")), "a code is never overlooked",
                  url.toString());
            break;
        case Error::Code::stateMismatch:
            check(firstItem(url, QStringLiteral("state")) != sentState, "a matching state is never refused",
                  url.toString());
            break;
        default:
            fail("a completed flow fails only by its callback", error.message());
        }
        check(!error.message().isEmpty(), "a failure has a message");
    } catch (...) {
        unexpected(std::current_exception());
    }
    return 0;
}
