#pragma once

#include <QString>

#include <map>
#include <optional>

namespace quillmere::test {

// Codes the Apple redirect page and Google would hand out, and what the exchanges accept.
struct FakeWebSignIn
{
    struct Grant
    {
        qint64 accountId = 0;
        bool isNewUser = false;
        bool spent = false;
    };

    // The account the Apple redirect page signs in; unset: the page reports "access_denied".
    std::optional<qint64> appleAccount;
    bool appleNewUser = false;
    std::map<QString, Grant> appleCodes;
    std::map<QString, Grant> googleCodes;
    qint64 nextCodeNumber = 1;
};

} // namespace quillmere::test
