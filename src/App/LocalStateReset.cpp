#include "App/LocalStateReset.h"

#include "Accounts/KeychainVault.h"
#include "Model/StoreFiles.h"
#include "Platform/Settings/UserDefaults.h"

namespace quillmere {

namespace {
const QString resetRequestKey = QStringLiteral("ResetLocalState");
} // namespace

QCoro::Task<std::optional<QString>> resetLocalState(KeychainVault &vault, UserDefaults standardDefaults,
                                                    QString storePath)
{
    QString whyNot;
    if (!deleteLocalStore(storePath, &whyNot))
        co_return whyNot;
    co_await vault.replaceWithEmptyAsync();
    for (const char *key : {"quillmere.device.id", "quillmere.device.name", "quillmere.daw.liveness.optOut"})
        standardDefaults.remove(QString::fromLatin1(key));
    co_return std::nullopt;
}

QCoro::Task<LocalStateResetOutcome> performRequestedLocalStateReset(KeychainVault &vault,
                                                                    UserDefaults standardDefaults,
                                                                    QString storePath)
{
    if (standardDefaults.boolean(resetRequestKey) != true)
        co_return LocalStateResetOutcome{};
    const std::optional<QString> failure = co_await resetLocalState(vault, standardDefaults, storePath);
    if (failure)
        co_return LocalStateResetOutcome{LocalStateResetOutcome::Status::failed, *failure};
    standardDefaults.remove(resetRequestKey);
    co_return LocalStateResetOutcome{LocalStateResetOutcome::Status::wiped, QString()};
}

} // namespace quillmere
