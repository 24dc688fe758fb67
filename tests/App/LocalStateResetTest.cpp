#include "Accounts/KeychainVault.h"
#include "support/TemporaryConfigHome.h"
#include "App/LocalStateReset.h"
#include "Model/ModelContainer.h"
#include "Model/ModelContainerFactory.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "Platform/Settings/UserDefaults.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

using namespace quillmere;

namespace {

class LocalStateResetTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        storePath = dir.filePath(QStringLiteral("Quillmere.sqlite"));
        // A store that has been used: it exists on disk and is closed again.
        ModelContainerFactory::makeContainer(storePath).reset();
        ASSERT_TRUE(QFile::exists(storePath));

        vault.setValue("token-bytes", KeychainVault::bearerTokenKey());
        vault.setValue("bookmark", KeychainVault::folderBookmarkKey(QUuid::createUuid()));
        vault.setValue("bookmark", KeychainVault::folderBookmarkKey());

        defaults.setString(QStringLiteral("quillmere.device.id"), QStringLiteral("A-DEVICE"));
        defaults.setString(QStringLiteral("quillmere.device.name"), QStringLiteral("studio"));
        defaults.setBool(QStringLiteral("quillmere.daw.liveness.optOut"), true);
        suite.setString(QStringLiteral("homeAPIURL"), QStringLiteral("https://eu.example.test"));
        suite.setString(QStringLiteral("homeShardID"), QStringLiteral("eu-2"));
    }

    std::optional<QByteArray> storedVaultItem() const
    {
        return backend.item(bundleIdentifier(), KeychainVault::vaultAccount());
    }

    test::TemporaryConfigHome home;
    QTemporaryDir dir;
    QString storePath;
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    UserDefaults defaults = UserDefaults::standard();
    UserDefaults suite = UserDefaults::suite(bundleIdentifier());
};

} // namespace

TEST_F(LocalStateResetTest, RequestedResetWipesStoreSecretsAndDeviceIdentityOnce)
{
    defaults.setBool(QStringLiteral("ResetLocalState"), true);

    EXPECT_EQ(test::await(performRequestedLocalStateReset(vault, defaults, storePath)).status,
              LocalStateResetOutcome::Status::wiped);

    for (const char *suffix : {"", "-wal", "-shm"})
        EXPECT_FALSE(QFile::exists(storePath + QLatin1String(suffix))) << suffix;
    EXPECT_EQ(storedVaultItem(), QByteArray("{}"));
    EXPECT_FALSE(vault.data(KeychainVault::bearerTokenKey()).has_value());
    for (const char *key : {"quillmere.device.id", "quillmere.device.name", "quillmere.daw.liveness.optOut",
                            "ResetLocalState"})
        EXPECT_FALSE(defaults.contains(QString::fromLatin1(key))) << key;
    // Where the account lives is not local state.
    EXPECT_EQ(suite.string(QStringLiteral("homeAPIURL")), QStringLiteral("https://eu.example.test"));
    EXPECT_EQ(suite.string(QStringLiteral("homeShardID")), QStringLiteral("eu-2"));

    // The request is consumed: the next launch keeps what it finds.
    vault.setValue("new-token", KeychainVault::bearerTokenKey());
    EXPECT_EQ(test::await(performRequestedLocalStateReset(vault, defaults, storePath)).status,
              LocalStateResetOutcome::Status::notRequested);
    EXPECT_EQ(vault.data(KeychainVault::bearerTokenKey()), QByteArray("new-token"));
}

TEST_F(LocalStateResetTest, NoRequestOrFalseWipesNothing)
{
    EXPECT_EQ(test::await(performRequestedLocalStateReset(vault, defaults, storePath)).status,
              LocalStateResetOutcome::Status::notRequested);
    defaults.setBool(QStringLiteral("ResetLocalState"), false);
    EXPECT_EQ(test::await(performRequestedLocalStateReset(vault, defaults, storePath)).status,
              LocalStateResetOutcome::Status::notRequested);

    EXPECT_TRUE(QFile::exists(storePath));
    EXPECT_EQ(vault.data(KeychainVault::bearerTokenKey()), QByteArray("token-bytes"));
    EXPECT_EQ(defaults.string(QStringLiteral("quillmere.device.id")), QStringLiteral("A-DEVICE"));
}

// A store that stays must keep everything else too: its records would otherwise point at
// bookmarks and a token that are gone. The request stays for the next launch.
TEST_F(LocalStateResetTest, AResetThatCannotDeleteTheStoreWipesNothingAndKeepsTheRequest)
{
    const auto expectNothingWiped = [&](const LocalStateResetOutcome &outcome, const char *why) {
        EXPECT_EQ(outcome.status, LocalStateResetOutcome::Status::failed);
        EXPECT_TRUE(outcome.failure.contains(QLatin1String(why))) << outcome.failure.toStdString();
        EXPECT_EQ(vault.data(KeychainVault::bearerTokenKey()), QByteArray("token-bytes"));
        EXPECT_NE(storedVaultItem(), QByteArray("{}"));
        EXPECT_EQ(defaults.string(QStringLiteral("quillmere.device.id")), QStringLiteral("A-DEVICE"));
        EXPECT_EQ(defaults.boolean(QStringLiteral("ResetLocalState")), true);
    };
    defaults.setBool(QStringLiteral("ResetLocalState"), true);
    {
        auto running = ModelContainerFactory::makeContainer(storePath);
        expectNothingWiped(test::await(performRequestedLocalStateReset(vault, defaults, storePath)),
                           "another running instance");
        EXPECT_TRUE(QFile::exists(storePath));
    }

    // A file that cannot be unlinked (a directory stands where the store should be).
    const QString blocked = dir.filePath(QStringLiteral("blocked.sqlite"));
    ASSERT_TRUE(QDir().mkpath(blocked + QStringLiteral("/inside")));
    expectNothingWiped(test::await(performRequestedLocalStateReset(vault, defaults, blocked)),
                       "could not be deleted");

    // Once the store can go, the kept request runs.
    EXPECT_EQ(test::await(performRequestedLocalStateReset(vault, defaults, storePath)).status,
              LocalStateResetOutcome::Status::wiped);
    EXPECT_FALSE(QFile::exists(storePath));
    EXPECT_FALSE(defaults.contains(QStringLiteral("ResetLocalState")));
}
