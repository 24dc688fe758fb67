#include "Engine/BookmarkManager.h"

#include "Accounts/KeychainVault.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace quillmere;
using quillmere::test::await;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Code = FolderBookmark::Error::Code;

namespace {

class BookmarkManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(base.isValid());
        parent = QFileInfo(base.path()).canonicalFilePath();
        folder = parent + QStringLiteral("/Loops");
        ASSERT_TRUE(QDir().mkpath(folder));
        data = FolderBookmark::make(folder);
    }

    std::optional<Code> startFailure(const QByteArray &bookmark)
    {
        return test::failureCode<FolderBookmark::Error>([&] { await(manager->startAccessing(bookmark)); });
    }

    void expectCheck(const QByteArray &bookmark, bool accessible, bool stale)
    {
        const auto check = await(manager->checkBookmark(bookmark));
        EXPECT_EQ(check.accessible, accessible);
        EXPECT_EQ(check.stale, stale);
    }

    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    std::unique_ptr<BookmarkManager> manager = std::make_unique<BookmarkManager>(vault);
    QTemporaryDir base;
    QString parent;
    QString folder;
    QByteArray data;
};

TEST_F(BookmarkManagerTest, OpensAndChecksTheFolderWhereverItNowIs)
{
    EXPECT_EQ(await(manager->startAccessing(data)), folder);
    expectCheck(data, true, false);

    const auto renamed = parent + QStringLiteral("/Loops (old)");
    ASSERT_TRUE(QDir().rename(folder, renamed));
    EXPECT_EQ(await(manager->startAccessing(data)), renamed);
    expectCheck(data, true, true);
    EXPECT_THAT(manager->activeAccesses(), ElementsAre(folder, renamed));

    // Deleted: the old path comes back and the caller finds nothing there.
    ASSERT_TRUE(QDir(renamed).removeRecursively());
    EXPECT_EQ(await(manager->startAccessing(data)), folder);
    expectCheck(data, false, false);
}

TEST_F(BookmarkManagerTest, UnresolvableBookmarksOpenNothing)
{
    // The old folder stays (moved away) so the new one cannot reuse its inode.
    ASSERT_TRUE(QDir().mkpath(parent + QStringLiteral("/Elsewhere")));
    ASSERT_TRUE(QDir().rename(folder, parent + QStringLiteral("/Elsewhere/Loops")));
    ASSERT_TRUE(QDir().mkpath(folder));
    EXPECT_EQ(startFailure(data), Code::accessLost);
    expectCheck(data, false, false);

    EXPECT_EQ(startFailure(QByteArrayLiteral("{\"path\":1}")), Code::corrupt);
    expectCheck(QByteArrayLiteral("{\"path\":1}"), false, false);
    EXPECT_THAT(manager->activeAccesses(), IsEmpty());
}

TEST_F(BookmarkManagerTest, EachStopEndsOneAccess)
{
    EXPECT_EQ(await(manager->startAccessing(data)), folder);
    EXPECT_EQ(await(manager->startAccessing(data)), folder);
    manager->stopAccessing(parent);
    EXPECT_THAT(manager->activeAccesses(), ElementsAre(folder, folder));
    manager->stopAccessing(folder);
    EXPECT_THAT(manager->activeAccesses(), ElementsAre(folder));
}

TEST_F(BookmarkManagerTest, ACallOutlivesItsManager)
{
    auto task = manager->startAccessing(data);
    manager.reset();
    EXPECT_EQ(await(std::move(task)), folder);
}

TEST_F(BookmarkManagerTest, SavesUnderTheUpperCaseKeyAndDeletes)
{
    const auto id = QUuid::fromString(QStringLiteral("{0000abcd-0000-0000-0000-00000000000f}"));
    const auto key = QStringLiteral("folder-bookmark-0000ABCD-0000-0000-0000-00000000000F");
    const auto other = QUuid::createUuid();
    await(manager->saveBookmark(QByteArrayLiteral("first"), id));
    await(manager->saveBookmark(data, id));
    await(manager->saveBookmark(QByteArrayLiteral("other"), other));
    EXPECT_EQ(vault.data(key), data);

    await(manager->deleteBookmark(id));
    EXPECT_EQ(vault.data(key), std::nullopt);
    EXPECT_EQ(vault.data(KeychainVault::folderBookmarkKey(other)), QByteArrayLiteral("other"));
}

} // namespace
