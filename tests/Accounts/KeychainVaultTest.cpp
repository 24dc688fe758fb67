#include "Accounts/KeychainVault.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "support/TestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gmock/gmock.h>

#include <thread>
#include <vector>

using namespace quillmere;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

class KeychainVaultTest : public ::testing::Test
{
protected:
    std::unique_ptr<KeychainVault> vault = std::make_unique<KeychainVault>(
        KeychainHelper(backend), [this](const QString &detail) {
            std::lock_guard guard(reportsMutex);
            reports.push_back(detail);
        });

    // A vault as the next launch of the process would see it.
    std::unique_ptr<KeychainVault> relaunch()
    {
        return std::make_unique<KeychainVault>(KeychainHelper(backend), [](const QString &) {});
    }

    std::optional<QByteArray> storedItem() const
    {
        return backend.item(bundleIdentifier(), KeychainVault::vaultAccount());
    }

    void storeItem(const QByteArray &bytes) { backend.putItem(bundleIdentifier(), KeychainVault::vaultAccount(), bytes); }

    QJsonObject storedObject() const
    {
        const auto bytes = storedItem();
        EXPECT_TRUE(bytes.has_value());
        return QJsonDocument::fromJson(bytes.value_or(QByteArray())).object();
    }

    std::vector<QString> reportsSoFar()
    {
        std::lock_guard guard(reportsMutex);
        return reports;
    }

    InMemorySecretBackend backend;
    std::mutex reportsMutex;
    std::vector<QString> reports;
};

constexpr int lockedKeyring = 2;

} // namespace

TEST_F(KeychainVaultTest, OneItemIsReadOncePerProcessAndRewrittenOnEveryChange)
{
    EXPECT_EQ(vault->data(KeychainVault::bearerTokenKey()), std::nullopt);
    EXPECT_EQ(backend.itemCount(), 0);
    const QByteArray binary("\x00\xff token", 8);
    vault->setValue(binary, KeychainVault::bearerTokenKey());
    EXPECT_EQ(storedObject(), (QJsonObject{{QStringLiteral("bearer-token"), QString::fromLatin1(binary.toBase64())}}));
    EXPECT_EQ(relaunch()->data(KeychainVault::bearerTokenKey()), binary);

    vault->setValue("b", QStringLiteral("two"));
    vault->removeValue(KeychainVault::bearerTokenKey());
    EXPECT_EQ(storedObject().keys(), QStringList{QStringLiteral("two")});
    const int storesBefore = backend.storeCount();
    vault->removeValue(QStringLiteral("never-there"));
    EXPECT_EQ(backend.storeCount(), storesBefore + 1);

    // Another process's later change is not seen until the next launch.
    const int reads = backend.readCount();
    storeItem(KeychainVault::encode({{QStringLiteral("two"), "other"}}));
    EXPECT_EQ(vault->data(QStringLiteral("two")), QByteArray("b"));
    EXPECT_EQ(backend.readCount(), reads);

    // Bookmark keys name the folder by its upper-case UUID text.
    const QUuid id = QUuid::fromString(QStringLiteral("{6f1c2a3b-4d5e-4f60-8a9b-0c1d2e3f4a5b}"));
    EXPECT_EQ(KeychainVault::folderBookmarkKey(id), QStringLiteral("folder-bookmark-6F1C2A3B-4D5E-4F60-8A9B-0C1D2E3F4A5B"));
}

TEST_F(KeychainVaultTest, UndecodableContentsCountAsEmptyAndAreReplacedByTheFirstWrite)
{
    for (const QByteArray &contents : {QByteArray("not json"), QByteArray("[\"dGVzdA==\"]"),
                                       QByteArray(R"({"bearer-token":"dGVzdA==","n":5})"),
                                       QByteArray(R"({"bearer-token":"%%%not base64"})"), QByteArray()}) {
        SCOPED_TRACE(contents.toStdString());
        storeItem(contents);
        auto fresh = relaunch();
        EXPECT_EQ(fresh->data(KeychainVault::bearerTokenKey()), std::nullopt);
        fresh->setValue("new", QStringLiteral("k"));
        EXPECT_EQ(storedItem(), KeychainVault::encode({{QStringLiteral("k"), "new"}}));
    }
    EXPECT_THAT(reportsSoFar(), IsEmpty());
}

TEST_F(KeychainVaultTest, AFailedWriteIsLoggedAndKeptInMemory)
{
    backend.setWriteFailure(-25);
    vault->setValue("t", KeychainVault::bearerTokenKey());

    EXPECT_THAT(reportsSoFar(), ElementsAre(QStringLiteral("KeychainVault persist failed: Keychain error: -25")));
    EXPECT_EQ(vault->data(KeychainVault::bearerTokenKey()), QByteArray("t"));
    EXPECT_EQ(storedItem(), std::nullopt);

    // The next successful write carries the earlier change too.
    backend.setWriteFailure(std::nullopt);
    vault->setValue("b", QStringLiteral("bookmark"));
    EXPECT_EQ(storedObject().keys(), (QStringList{QStringLiteral("bearer-token"), QStringLiteral("bookmark")}));
}

TEST_F(KeychainVaultTest, ALockedKeyringIsNotAnEmptyVault)
{
    const QString oldBookmark = KeychainVault::folderBookmarkKey(QUuid::createUuid());
    const QString newBookmark = KeychainVault::folderBookmarkKey(QUuid::createUuid());
    const QByteArray before = KeychainVault::encode(
        {{KeychainVault::bearerTokenKey(), "token"}, {oldBookmark, "old"}, {QStringLiteral("stale"), "x"}});
    storeItem(before);
    backend.setReadFailure(lockedKeyring);

    vault->setValue("new", newBookmark);
    vault->removeValue(QStringLiteral("stale"));
    EXPECT_EQ(vault->data(newBookmark), QByteArray("new"));
    EXPECT_EQ(vault->data(QStringLiteral("stale")), std::nullopt);
    // Unknown while the item cannot be read (not "absent"); the item itself is left alone.
    EXPECT_EQ(vault->data(KeychainVault::bearerTokenKey()), std::nullopt);
    EXPECT_TRUE(vault->entry(KeychainVault::bearerTokenKey()).unreadable);
    EXPECT_FALSE(vault->entry(newBookmark).unreadable) << "this process's own write is known";
    EXPECT_FALSE(vault->replaceValue("x", KeychainVault::bearerTokenKey(), std::nullopt));
    EXPECT_EQ(storedItem(), before);
    EXPECT_EQ(backend.storeCount(), 0);

    // Every access tries the read again, but the failure is logged once.
    EXPECT_EQ(backend.readCount(), 8);
    ASSERT_EQ(reportsSoFar().size(), 1u);
    EXPECT_THAT(reportsSoFar().front().toStdString(), StartsWith("KeychainVault read failed: Keychain error: 2 ("));

    backend.setReadFailure(std::nullopt);
    EXPECT_EQ(vault->data(KeychainVault::bearerTokenKey()), QByteArray("token"));
    EXPECT_FALSE(vault->entry(QStringLiteral("stale")).unreadable);
    EXPECT_EQ(vault->data(oldBookmark), QByteArray("old"));
    EXPECT_EQ(vault->data(newBookmark), QByteArray("new"));
    EXPECT_EQ(storedItem(),
              KeychainVault::encode({{KeychainVault::bearerTokenKey(), "token"}, {oldBookmark, "old"}, {newBookmark, "new"}}));
}

TEST_F(KeychainVaultTest, ReplaceWritesOnlyOverTheExpectedValueAndReplaceWithEmptyReadsNothing)
{
    const QString key = KeychainVault::bearerTokenKey();
    EXPECT_FALSE(vault->replaceValue("new", key, QByteArray("old"))) << "nothing stored is not \"old\"";
    EXPECT_TRUE(vault->replaceValue("old", key, std::nullopt));
    EXPECT_FALSE(vault->replaceValue("newer", key, std::nullopt));
    EXPECT_TRUE(vault->replaceValue("new", key, QByteArray("old")));
    EXPECT_EQ(relaunch()->data(key), QByteArray("new"));

    auto locked = relaunch();
    backend.setReadFailure(lockedKeyring);
    locked->setValue("pending", QStringLiteral("k"));
    const int readsBefore = backend.readCount();
    locked->replaceWithEmpty();
    EXPECT_EQ(storedItem(), QByteArray("{}"));
    EXPECT_EQ(locked->data(QStringLiteral("k")), std::nullopt);
    EXPECT_EQ(locked->data(key), std::nullopt);
    EXPECT_EQ(backend.readCount(), readsBefore) << "the reset reads nothing, nor does anything after it";
}

TEST_F(KeychainVaultTest, WritersOnManyThreadsLoseNothing)
{
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < 25; ++i)
                vault->setValue(QByteArray::number(i), QStringLiteral("k%1-%2").arg(t).arg(i));
        });
    }
    for (auto &writer : writers)
        writer.join();
    EXPECT_EQ(storedObject().size(), 200);
    EXPECT_EQ(backend.readCount(), 1);
}

TEST_F(KeychainVaultTest, AsyncCallsRunInCallOrderOffTheMainThread)
{
    auto body = [this]() -> QCoro::Task<std::optional<QByteArray>> {
        // Started without awaiting: the later call must still see the earlier one.
        auto first = vault->setValueAsync("1", QStringLiteral("k"));
        auto second = vault->setValueAsync("2", QStringLiteral("k"));
        auto removal = vault->removeValueAsync(QStringLiteral("gone"));
        co_await std::move(first);
        co_await std::move(second);
        co_await std::move(removal);
        co_return co_await vault->dataAsync(QStringLiteral("k"));
    };
    EXPECT_EQ(test::await(body()), QByteArray("2"));
    test::await(vault->replaceWithEmptyAsync());
    EXPECT_EQ(storedItem(), QByteArray("{}"));
}

TEST_F(KeychainVaultTest, AReadOfTheLoadedItemIsAnsweredAtOnceButNeverAheadOfAQueuedCall)
{
    // Nothing read yet: the first read goes to the worker, which reads the item.
    auto first = vault->entryAsync(QStringLiteral("k"));
    EXPECT_FALSE(first.isReady());
    EXPECT_FALSE(test::await(std::move(first)).value);

    // Loaded and nothing queued: answered from memory, before the event loop turns.
    ASSERT_TRUE(vault->setValue("1", QStringLiteral("k")));
    auto cached = vault->dataAsync(QStringLiteral("k"));
    ASSERT_TRUE(cached.isReady());
    EXPECT_EQ(test::await(std::move(cached)), QByteArray("1"));

    // A write still queued comes first, for every read after it.
    auto writing = vault->setValueAsync("2", QStringLiteral("k"));
    auto reading = vault->entryAsync(QStringLiteral("k"));
    auto readingData = vault->dataAsync(QStringLiteral("k"));
    EXPECT_EQ(test::await(std::move(reading)).value, QByteArray("2"));
    EXPECT_EQ(test::await(std::move(readingData)), QByteArray("2"));
    test::await(std::move(writing));
    EXPECT_EQ(backend.readCount(), 1);
}
