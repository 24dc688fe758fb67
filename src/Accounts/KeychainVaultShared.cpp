#include "Accounts/KeychainVault.h"

#include "Engine/SyncLogger.h"

namespace quillmere {

// Kept apart from KeychainVault.cpp so that the vault itself does not pull in the activity log.
KeychainVault &KeychainVault::shared()
{
    static KeychainVault vault(KeychainHelper(), [](const QString &detail) {
        SyncLogger::shared().log(SyncLogger::Event::syncFailed, SyncLogger::Direction::none, QString(), detail);
    });
    return vault;
}

} // namespace quillmere
