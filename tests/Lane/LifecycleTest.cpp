#include "Lane/LaneTestSupport.h"

#include <gmock/gmock.h>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

using State = LaneHarness::RecordState;

class LifecycleTest : public LaneTest
{
protected:
    void resume(SyncLane &lane)
    {
        lane.setIsPaused(false);
        lane.setSyncState(SyncEngineState::idle());
        lane.start();
    }
};

TEST_F(LifecycleTest, PauseAndResumeKeepOneWatcherAndOneActivation)
{
    auto lane = h.makeLane(h.addFolder(SyncFolderType::projectsFolder));
    lane->start();
    h.runUntilIdle(*lane);
    ASSERT_EQ(LaneHarness::inotifyInstances(), inotifyBefore + 1);

    for (int cycle = 0; cycle < 10; ++cycle) {
        lane->pause();
        EXPECT_TRUE(lane->hasFileWatcher());
        EXPECT_EQ(lane->syncState(), SyncEngineState::paused());
        resume(*lane);
        h.runUntilIdle(*lane);
    }
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore + 1);
    EXPECT_THAT(registrations(), SizeIs(11));

    // A second start while the first activation still waits replaces it: one activation
    // goes on. The first one's registration may already be on its way when it is cancelled.
    lane->start();
    lane->start();
    h.runUntilIdle(*lane);
    EXPECT_THAT(registrations().size(), ::testing::AllOf(::testing::Ge(12u), ::testing::Le(13u)));
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore + 1);
    EXPECT_TRUE(lane->hasFileWatcher());

    lane->stop();
    EXPECT_FALSE(lane->hasFileWatcher());
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore);
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
}

TEST_F(LifecycleTest, AStopDuringASlowRegistrationLeavesNothingRunning)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    auto lane = h.makeLane(folder);
    h.fake.delayNext("/api/v1/sync-folders", std::chrono::milliseconds(600));

    lane->start();
    ASSERT_TRUE(runUntil([&] { return logDetails().contains(*folder->folderPath()); }));
    runFor(std::chrono::milliseconds(100));
    const quint64 epoch = lane->epoch();
    lane->stop();
    EXPECT_GT(lane->epoch(), epoch);
    runFor(std::chrono::milliseconds(900));
    h.runUntilIdle(*lane);

    EXPECT_FALSE(lane->hasFileWatcher());
    EXPECT_FALSE(lane->syncTask().isRunning());
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore);
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
    EXPECT_EQ(h.calls(*lane).stateChanged, 0);
}

TEST_F(LifecycleTest, DroppingTheLaneMidActivationIsClean)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    for (const bool stopFirst : {true, false}) {
        auto lane = h.makeLane(folder);
        h.fake.delayNext("/api/v1/sync-folders", std::chrono::milliseconds(300));
        lane->start();
        ASSERT_TRUE(runUntil([&] { return logDetails().contains(*folder->folderPath()); }));
        std::weak_ptr<SyncLane> weak = lane;
        if (stopFirst)
            lane->stop();
        lane.reset();
        // The activation keeps the lane until it ends; then nothing of it is left.
        EXPECT_TRUE(runUntil([&] { return weak.expired(); }));
        drainEvents();
        EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore);
        SyncLogger::shared().clear();
    }
}

TEST_F(LifecycleTest, InterruptedTransfersGoBackToPendingOnlyAtTheFirstStart)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    const auto first = h.addRecord(*folder, QStringLiteral("a.wav"), SyncFileStatus::syncing, SyncFileDesiredState::uploadPending);
    writeFile(first->localPath(), "a");
    auto lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    // Back in the queue, so the interrupted upload was made again.
    EXPECT_EQ(h.records(folder->stableID())[first->localPath()].status, SyncFileStatus::synced);
    EXPECT_THAT(h.serviceFiles(), Contains(::testing::Key(QStringLiteral("a.wav"))));

    // A transfer of this process is running when the lane restarts: it is left alone.
    const auto second = h.addRecord(*folder, QStringLiteral("b.wav"), SyncFileStatus::syncing, SyncFileDesiredState::uploadPending);
    writeFile(second->localPath(), "b");
    lane->stop();
    lane->start();
    h.runUntilIdle(*lane);
    auto replacement = h.makeLane(folder);
    lane->stop();
    replacement->start();
    h.runUntilIdle(*replacement);
    EXPECT_EQ(h.records(folder->stableID())[second->localPath()].status, SyncFileStatus::syncing);
    replacement->stop();
}

TEST_F(LifecycleTest, ResetForgetsTheFolderAndRestartsUnlessPaused)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    writeFile(h.addRecord(*folder, QStringLiteral("a.wav"))->localPath(), "a");
    writeFile(h.addRecord(*folder, QStringLiteral("b.wav"))->localPath(), "b");
    auto lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    // After the reset, before its queue runs: the files are found again, as the service's.
    std::map<QString, State> refound;
    onLogLine(QStringLiteral("Marked "), [&] { refound = h.records(folder->stableID()); });
    lane->recordRecentFile(QStringLiteral("a.wav"), SyncFileDirection::upload, RecentFile::Kind::transferred);
    lane->appendSyncError(QStringLiteral("b.wav"), SyncFileDirection::upload, QStringLiteral("refused"));
    lane->setLastError(QStringLiteral("refused"));

    await(lane->reset());
    h.runUntilIdle(*lane);
    EXPECT_THAT(refound, SizeIs(2));
    for (const auto &[path, state] : refound)
        EXPECT_EQ(state, synced) << path.toStdString();
    EXPECT_THAT(lane->recentSyncedFiles(), IsEmpty());
    EXPECT_THAT(lane->syncErrors(), IsEmpty());
    EXPECT_FALSE(lane->lastError());
    EXPECT_THAT(logDetails(), Contains(QStringLiteral("Lane reset: cleared 2 tracked files for Loops")));
    EXPECT_THAT(registrations(), SizeIs(2));
    EXPECT_TRUE(lane->hasFileWatcher());

    h.addRecord(*folder, QStringLiteral("c.wav"));
    lane->pause();
    await(lane->reset());
    h.runUntilIdle(*lane);
    EXPECT_THAT(h.records(folder->stableID()), IsEmpty());
    EXPECT_TRUE(lane->isPaused());
    EXPECT_EQ(lane->syncState(), SyncEngineState::paused());
    EXPECT_THAT(registrations(), SizeIs(2));
}

TEST_F(LifecycleTest, FileEventsReachTheIntakeOnlyWhenRunningAndUploading)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    auto lane = h.makeLane(folder);
    const QSet<QString> paths{*folder->folderPath() + QStringLiteral("/a.wav")};

    lane->pause();
    lane->handleFileEvents(paths);
    EXPECT_TRUE(lane->hasLocalChanges());
    EXPECT_EQ(h.calls(*lane).stateChanged, 1);
    EXPECT_TRUE(lane->isSettled());

    lane->setIsPaused(false);
    lane->handleFileEvents(paths);
    EXPECT_FALSE(lane->isSettled());
    // Bursts merge for 0.4 s before the intake runs (it reads the disk off the main thread).
    const QString intake = QStringLiteral("FileWatcher reported 1 paths for Loops");
    h.clock.advance(std::chrono::milliseconds(399));
    drainEvents();
    EXPECT_FALSE(lane->isSettled());
    EXPECT_FALSE(logDetails().contains(intake));
    h.clock.advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(runUntil([&] { return lane->isSettled(); }));
    EXPECT_EQ(logDetails().count(intake), 1);

    folder->setSyncMode(SyncFolderSyncMode::downloadOnly);
    lane->handleFileEvents(paths);
    EXPECT_TRUE(lane->isSettled());
    EXPECT_EQ(h.calls(*lane).stateChanged, 3);
}

class VanishedFolderTest : public LifecycleTest
{
};

TEST_F(VanishedFolderTest, ADeletedRootDropsTheFolderAndStopsTheLane)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    writeFile(h.addRecord(*folder, QStringLiteral("a.wav"))->localPath(), "a");
    auto lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);

    ASSERT_TRUE(QDir(*folder->folderPath()).removeRecursively());
    ASSERT_TRUE(runUntil([&] { return lane->syncState().isError(); }, std::chrono::seconds(5)));
    h.runUntilIdle(*lane);

    EXPECT_EQ(lane->syncState(), SyncEngineState::error(SyncLane::folderMissingMessage()));
    EXPECT_THAT(h.records(folder->stableID()), IsEmpty());
    EXPECT_FALSE(lane->hasFileWatcher());
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore);
    EXPECT_THAT(logDetails(), Contains(QStringLiteral("Folder disappeared at runtime for Loops")));
    EXPECT_GE(h.calls(*lane).stateChanged, 2);
}

TEST_F(VanishedFolderTest, ARootMovedWhileRunningIsFollowed)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    writeFile(h.addRecord(*folder, QStringLiteral("a.wav"))->localPath(), "a");
    auto lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);

    const QString newPath = h.rootPath + QStringLiteral("/Loops moved");
    ASSERT_TRUE(QDir().rename(*folder->folderPath(), newPath));
    ASSERT_TRUE(runUntil([&] { return lane->watchedPath() == newPath; }, std::chrono::seconds(5)));
    h.runUntilIdle(*lane);

    EXPECT_EQ(storedFolder(folder->stableID())->folderPath(), newPath);
    EXPECT_THAT(h.records(folder->stableID()), SizeIs(1));
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore + 1);
    lane->stop();
}

// Moved after the activation checked it, before its watch was set: the watcher says so.
TEST_F(VanishedFolderTest, ARootMovedBeforeItIsWatchedIsFollowed)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    const QString oldPath = *folder->folderPath();
    const QString newPath = h.rootPath + QStringLiteral("/Loops moved");
    auto lane = h.makeLane(folder);
    h.fake.delayNext("/api/v1/sync-folders", std::chrono::milliseconds(600));

    lane->start();
    ASSERT_TRUE(runUntil([&] { return logDetails().contains(oldPath); }));
    ASSERT_TRUE(QDir().rename(oldPath, newPath));
    ASSERT_TRUE(runUntil([&] { return lane->watchedPath() == newPath; }, std::chrono::seconds(5)));
    h.runUntilIdle(*lane);

    EXPECT_EQ(storedFolder(folder->stableID())->folderPath(), newPath);
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore + 1);
    lane->stop();
}

TEST_F(VanishedFolderTest, ARootGoneWithItsDriveKeepsEverything)
{
    // The lane reads a mount table without the folder's drive: gone from its path now means
    // unplugged, not deleted.
    const QString mounts = h.rootPath + QStringLiteral("/mountinfo");
    writeFile(mounts, "");
    h.bookmarks = std::make_shared<BookmarkManager>(h.vault, mounts);
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    writeFile(h.addRecord(*folder, QStringLiteral("a.wav"))->localPath(), "a");
    folder->setDeltaCursor(QStringLiteral("cur-7"));
    h.context->save();
    auto lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    ASSERT_TRUE(lane->hasFileWatcher());

    ASSERT_TRUE(QDir(*folder->folderPath()).removeRecursively());
    ASSERT_TRUE(runUntil([&] { return lane->syncState().isError(); }, std::chrono::seconds(5)));
    h.runUntilIdle(*lane);

    EXPECT_EQ(lane->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));
    EXPECT_THAT(h.records(folder->stableID()), SizeIs(1));
    EXPECT_EQ(storedFolder(folder->stableID())->deltaCursor(), QStringLiteral("cur-7"));
    EXPECT_FALSE(lane->hasFileWatcher());
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
}

TEST(LaneLists, KeepTheNewestAndClearErrorsByCanonicalName)
{
    LaneHarness h;
    auto lane = h.makeLane(h.addFolder(SyncFolderType::projectsFolder));
    for (int i = 1; i <= 6; ++i)
        lane->recordRecentFile(QStringLiteral("r%1.wav").arg(i), SyncFileDirection::download, RecentFile::Kind::verified);
    ASSERT_THAT(lane->recentSyncedFiles(), SizeIs(5));
    EXPECT_EQ(lane->recentSyncedFiles().front().filename, QStringLiteral("r6.wav"));
    EXPECT_EQ(lane->recentSyncedFiles().back().filename, QStringLiteral("r2.wav"));
    EXPECT_FALSE(lane->recentSyncedFiles().front().errorMessage);

    for (int i = 1; i <= 51; ++i)
        lane->appendSyncError(QStringLiteral("e%1.wav").arg(i), SyncFileDirection::upload, QStringLiteral("m%1").arg(i));
    ASSERT_THAT(lane->syncErrors(), SizeIs(50));
    EXPECT_EQ(lane->syncErrors().front().errorMessage, QStringLiteral("m51"));
    EXPECT_EQ(lane->syncErrors().back().filename, QStringLiteral("e2.wav"));

    // "Café" composed in the list, decomposed from the file system.
    const QString composed = QStringLiteral("Caf\u00e9.wav");
    const QString decomposed = QStringLiteral("Cafe\u0301.wav");
    lane->setSyncErrors({});
    lane->appendSyncError(QStringLiteral("x.wav"), SyncFileDirection::upload, QStringLiteral("1"));
    lane->appendSyncError(composed, SyncFileDirection::upload, QStringLiteral("2"));
    lane->appendSyncError(QStringLiteral("y.wav"), SyncFileDirection::download, QStringLiteral("3"));
    lane->appendSyncError(composed, SyncFileDirection::upload, QStringLiteral("4"));
    lane->setLastError(QStringLiteral("4"));
    lane->clearErrors(decomposed);
    ASSERT_THAT(lane->syncErrors(), SizeIs(2));
    EXPECT_EQ(lane->syncErrors()[0].filename, QStringLiteral("y.wav"));
    EXPECT_EQ(lane->syncErrors()[1].filename, QStringLiteral("x.wav"));
    EXPECT_EQ(lane->lastError(), QStringLiteral("4"));
    lane->clearErrors(QStringLiteral("x.wav"));
    lane->clearErrors(QStringLiteral("y.wav"));
    EXPECT_FALSE(lane->lastError());
}

} // namespace
