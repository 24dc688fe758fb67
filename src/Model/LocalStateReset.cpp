#include "Model/LocalStateReset.h"

#include "Accounts/KeychainVault.h"
#include "Model/StoreFiles.h"
#include "Platform/Settings/UserDefaults.h"

namespace quillmere {

namespace {
const QString resetRequestKey = QStringLiteral("ResetLocalState");
} // namespace

QCoro::Task<> resetLocalState(KeychainVault &vault, UserDefaults standardDefaults, QString storePath)
{
    // deleteLocalStore logs each file it cannot remove; the wipe still empties the vault.
    deleteLocalStore(storePath);
    co_await vault.replaceWithEmptyAsync();
    for (const char *key : {"quillmere.device.id", "quillmere.device.name", "quillmere.daw.liveness.optOut"})
        standardDefaults.remove(QString::fromLatin1(key));
}

QCoro::Task<bool> performRequestedLocalStateReset(KeychainVault &vault, UserDefaults standardDefaults,
                                                  QString storePath)
{
    if (standardDefaults.boolean(resetRequestKey) != true)
        co_return false;
    co_await resetLocalState(vault, standardDefaults, storePath);
    standardDefaults.remove(resetRequestKey);
    co_return true;
}

} // namespace quillmere
