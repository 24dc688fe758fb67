#pragma once

#include <QCoroTask>
#include <QString>

#include <optional>

namespace quillmere {

class KeychainVault;
class UserDefaults;

// The full wipe of local state that start-up performs on request: the store files, every
// secret (the vault is left holding an empty dictionary) and the device identity with the
// DAW-liveness opt-out. The service base URL and shard id are kept. Runs before the store is
// opened, so its files are never deleted while open.
//
// The store goes first. When it cannot be deleted (another instance holds it, or a file
// cannot be unlinked) nothing else is touched: a wipe that kept the old records but dropped
// the token and the bookmarks would leave records that point at nothing. Returns why the
// store stayed, or nothing when the wipe ran.
QCoro::Task<std::optional<QString>> resetLocalState(KeychainVault &vault, UserDefaults standardDefaults,
                                                    QString storePath);

struct LocalStateResetOutcome
{
    enum class Status {
        notRequested,
        wiped,
        // Nothing was wiped and the request stays for the next launch; `failure` says why.
        failed,
    };
    Status status = Status::notRequested;
    QString failure;
};

// Runs resetLocalState once when the standard defaults hold "ResetLocalState" = true, then
// removes the key; a reset that failed keeps the key. The application never sets the key
// itself; it is set from outside.
QCoro::Task<LocalStateResetOutcome> performRequestedLocalStateReset(KeychainVault &vault,
                                                                    UserDefaults standardDefaults,
                                                                    QString storePath);

} // namespace quillmere
