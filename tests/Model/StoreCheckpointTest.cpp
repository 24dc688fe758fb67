#include "Model/ModelContainer.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/StoreFiles.h"
#include "Model/StoreLock.h"
#include "Model/SyncFile.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

using namespace quillmere;

namespace {

class StoreCheckpoints : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        store = dir.filePath(QStringLiteral("Quillmere.sqlite"));
    }

    qint64 walBytes() const { return QFileInfo(store + QStringLiteral("-wal")).size(); }

    // Descriptors of this process open on the store or its companions.
    int openStoreFiles() const
    {
        int count = 0;
        const QDir fds(QStringLiteral("/proc/self/fd"));
        for (const QString &fd : fds.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
            const QString target = QFileInfo(fds.filePath(fd)).symLinkTarget();
            if (target == store || target == store + QStringLiteral("-wal") || target == store + QStringLiteral("-shm"))
                ++count;
        }
        return count;
    }

    // One small change of one of a few records per save, as dispatches make them.
    void commit(ModelContext &context, int saves, const std::function<void()> &afterEach = {})
    {
        for (int i = int(files.size()); i < 100; ++i)
            files.push_back(context.insert(
                std::make_shared<SyncFile>(QStringLiteral("/m/Take_%1.wav").arg(i), QStringLiteral("Take.wav"))));
        for (int i = 0; i < saves; ++i) {
            const auto &file = files[size_t(i) % files.size()];
            file->setGeneration(file->generation() + 1);
            context.save();
            if (afterEach)
                afterEach();
        }
    }

    std::vector<std::shared_ptr<SyncFile>> files;
    QTemporaryDir dir;
    QString store;
};

} // namespace

// Thousands of commits in a row: the log is copied back by the store's own thread (the main
// connection never checkpoints by itself) and started over, so it stays far below what the
// commits wrote; closing leaves no log behind and nothing open on the files.
TEST_F(StoreCheckpoints, TheLogStaysBoundedAndACloseLeavesNothingOpen)
{
    {
        auto container = ModelContainerFactory::makeContainer(store);
        auto autoCheckpoint = container->prepare(QStringLiteral("PRAGMA wal_autocheckpoint"),
                                                 StoreError::Kind::fetchFailed, false);
        ASSERT_TRUE(autoCheckpoint.step());
        EXPECT_EQ(autoCheckpoint.integer(0), 0) << "SQLite's checkpoint would run on the committing thread";
    }
    CheckpointPolicy small;
    small.pages = 250;
    small.committerPages = 1000;
    auto container = ModelContainer::open(store, StoreLock::acquire(store), small);
    constexpr int saves = 16'000;
    qint64 largest = 0;
    {
        ModelContext context(container);
        commit(context, saves, [&] { largest = std::max(largest, walBytes()); });
    }
    // Each commit adds a page at least: 16,000 pages without a checkpoint. The committing
    // thread copies from 1,000 on, once the checkpoint thread's copy running then is done
    // (which takes a while on a busy disk: thousands of commits).
    EXPECT_LT(largest, 8000 * 4096) << "largest log: " << largest;
    EXPECT_GT(openStoreFiles(), 0);

    container.reset();
    EXPECT_FALSE(QFileInfo::exists(store + QStringLiteral("-wal")) && walBytes() > 0);
    EXPECT_EQ(openStoreFiles(), 0);
    EXPECT_TRUE(deleteLocalStore(store));
}

// After a quiet period the log is cut to nothing while the store stays open, and what was
// written is in the database file itself.
TEST_F(StoreCheckpoints, AQuietStoreHasItsLogCut)
{
    CheckpointPolicy quickly;
    quickly.idle = std::chrono::milliseconds(30);
    auto container = ModelContainer::open(store, StoreLock::acquire(store), quickly);
    ModelContext context(container);
    commit(context, 20);
    ASSERT_GT(walBytes(), 0);
    for (int waited = 0; walBytes() > 0 && waited < 5000; waited += 10)
        QThread::msleep(10);
    EXPECT_EQ(walBytes(), 0);
    EXPECT_TRUE(QFileInfo::exists(store + QStringLiteral("-wal"))) << "cut, not removed, while open";

    // A later commit starts a new log, which is cut again in turn.
    commit(context, 1);
    EXPECT_GT(walBytes(), 0);
    for (int waited = 0; walBytes() > 0 && waited < 5000; waited += 10)
        QThread::msleep(10);
    EXPECT_EQ(walBytes(), 0);
    ModelContext reader(container);
    EXPECT_EQ(reader.fetchFirst(SyncFile::withLocalPath(QStringLiteral("/m/Take_0.wav")))->generation(), 2);
}
