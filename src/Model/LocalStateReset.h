#pragma once

#include <QCoroTask>
#include <QString>

namespace quillmere {

class KeychainVault;
class UserDefaults;

// The full wipe of local state that start-up performs on request: the store files, every
// secret (the vault is left holding an empty dictionary) and the device identity with the
// DAW-liveness opt-out. The service base URL and shard id are kept. Runs before the store is
// opened, so its files are never deleted while open.
QCoro::Task<> resetLocalState(KeychainVault &vault, UserDefaults standardDefaults,
                              QString storePath);

// Runs resetLocalState once when the standard defaults hold "ResetLocalState" = true, then
// removes the key. The application never sets the key itself; it is set from outside.
// Returns whether a wipe ran.
QCoro::Task<bool> performRequestedLocalStateReset(KeychainVault &vault, UserDefaults standardDefaults,
                                                  QString storePath);

} // namespace quillmere
