#include "Lane/LaneTestSupport.h"

#include <gmock/gmock.h>

using namespace quillmere;
using namespace quillmere::test;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

class TimersTest : public LaneTest
{
protected:
    TimersTest() { h.deltaLoops = true; }

    static QString apoptosisLine(const QString &name)
    {
        return QStringLiteral("Lane %1 detected no vital signs — requesting restart (apoptosis)").arg(name);
    }

    static long linesStartingWith(const QString &prefix)
    {
        const auto details = logDetails();
        return std::count_if(details.begin(), details.end(), [&](const QString &line) { return line.startsWith(prefix); });
    }

    // Moves the folder out of its parent and puts another folder at its path: its bookmark
    // then resolves to "access lost". Returns where the folder waits.
    QString putAside(const QString &path)
    {
        const QString aside = h.rootPath + QStringLiteral("/aside");
        EXPECT_TRUE(QDir().mkpath(aside));
        EXPECT_TRUE(QDir().rename(path, aside + QStringLiteral("/folder")));
        EXPECT_TRUE(QDir().mkpath(path));
        return aside + QStringLiteral("/folder");
    }
    static void putBack(const QString &aside, const QString &path)
    {
        ASSERT_TRUE(QDir(path).removeRecursively());
        ASSERT_TRUE(QDir().rename(aside, path));
    }
};

TEST_F(TimersTest, TheDeltaLoopWaitsByTheFailuresEachPassLeaves)
{
    auto lane = h.makeLane(h.addFolder(SyncFolderType::projectsFolder));
    // Each wait follows what the pass before it left: a completed pass 60 s, n failed passes
    // in a row 60·2^n s, at most 300 s. Passes 2 to 5 fail; the sixth completes.
    const std::vector<int> waits{60, 60, 120, 240, 300, 300, 60};
    lane->startDeltaSyncTask();
    for (std::size_t i = 0; i < waits.size(); ++i) {
        if (i == 1)
            h.fake.answerNext("/api/v1/files/library/changes", 500, R"({"message":"down"})", 4);
        h.clock.advance(std::chrono::seconds(waits[i]) - 1s);
        drainEvents();
        EXPECT_EQ(lane->deltaPassesRun(), int(i)) << "too early before pass " << i + 1;
        h.clock.advance(1s);
        ASSERT_TRUE(runUntil([&] { return lane->deltaPassesRun() == int(i) + 1 && !lane->isDeltaPassRunning(); }))
            << "late before pass " << i + 1;
    }
    EXPECT_EQ(lane->consecutiveDeltaFailures(), 0);
}

TEST_F(TimersTest, TheDeltaLoopEndsOnAPausedLaneAndBothLoopsWithTheLane)
{
    auto paused = h.makeLane(h.addFolder(SyncFolderType::projectsFolder));
    paused->startDeltaSyncTask();
    paused->setIsPaused(true);
    h.clock.advance(60s);
    EXPECT_FALSE(paused->deltaSyncTask().isRunning());
    paused->setIsPaused(false);
    h.clock.advance(10min);
    EXPECT_EQ(paused->deltaPassesRun(), 0);

    // Neither loop keeps its lane: both end when it goes.
    auto lane = h.makeLane(h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional,
                                       QStringLiteral("Gone")));
    lane->startDeltaSyncTask();
    lane->startLivenessTask();
    std::weak_ptr<SyncLane> weak = lane;
    lane.reset();
    EXPECT_TRUE(weak.expired());
    drainEvents();
    EXPECT_EQ(h.clock.pendingSleepers(), 0u);
}

TEST_F(TimersTest, TheWatchdogChecksEvery180sAndReportsALaneWithoutVitalSignsOnce)
{
    auto dead = h.makeLane(h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional,
                                       QStringLiteral("Dead")));
    auto resting = h.makeLane(h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional,
                                          QStringLiteral("Resting")));
    resting->setIsPaused(true);
    dead->startLivenessTask();
    resting->startLivenessTask();

    h.clock.advance(179s);
    EXPECT_THAT(h.calls(*dead).died, IsEmpty());
    h.clock.advance(1s);
    EXPECT_THAT(h.calls(*dead).died, ElementsAre(dead->laneID()));
    resting->setIsPaused(false); // alive at the first check only

    h.clock.advance(179s);
    EXPECT_THAT(h.calls(*resting).died, IsEmpty());
    h.clock.advance(1s);
    EXPECT_THAT(h.calls(*resting).died, ElementsAre(resting->laneID()));

    h.clock.advance(10min);
    drainEvents();
    EXPECT_THAT(h.calls(*dead).died, SizeIs(1));
    EXPECT_THAT(h.calls(*resting).died, SizeIs(1));
    EXPECT_EQ(logDetails(), (QStringList{apoptosisLine(QStringLiteral("Dead")), apoptosisLine(QStringLiteral("Resting"))}));
    for (const auto &entry : SyncLogger::shared().entries()) {
        EXPECT_EQ(entry.event, SyncLogger::Event::syncStarted);
        EXPECT_EQ(entry.direction, SyncLogger::Direction::none);
        EXPECT_TRUE(entry.filename.isEmpty());
    }
}

TEST_F(TimersTest, TheWatchdogLeavesHealthyLanesAlone)
{
    const auto folder = [&](SyncFolderType kind, const QString &name) {
        return h.addFolder(kind, SyncFolderSyncMode::bidirectional, name);
    };
    // Running as the activation left it.
    auto running = h.makeLane(folder(SyncFolderType::projectsFolder, QStringLiteral("Running")));
    running->start();
    h.runUntilIdle(*running);
    ASSERT_TRUE(running->hasFileWatcher());
    const int passesBefore = running->deltaPassesRun();
    // Each of the others has one vital sign only.
    auto planMirror = h.makeLane(folder(SyncFolderType::harborly, QStringLiteral("Plans")));
    planMirror->startLivenessTask();
    auto missing = folder(SyncFolderType::projectsFolder, QStringLiteral("Missing"));
    ASSERT_TRUE(QDir(*missing->folderPath()).removeRecursively());
    auto finished = h.makeLane(missing);
    finished->start();
    h.runUntilIdle(*finished);
    ASSERT_FALSE(finished->syncTask().isRunning());
    finished->startLivenessTask();
    auto loopEnded = h.makeLane(folder(SyncFolderType::projectsFolder, QStringLiteral("Ended")));
    loopEnded->startDeltaSyncTask();
    loopEnded->startLivenessTask();
    loopEnded->setIsPaused(true);
    h.clock.advance(60s);
    ASSERT_TRUE(runUntil([&] { return !running->isDeltaPassRunning(); }));
    ASSERT_FALSE(loopEnded->deltaSyncTask().isRunning());
    loopEnded->setIsPaused(false);

    // Ten minutes, a minute at a time: the running lane's passes end between its ticks.
    for (int minute = 0; minute < 10; ++minute) {
        h.clock.advance(1min);
        ASSERT_TRUE(runUntil([&] { return !running->isDeltaPassRunning(); }));
    }
    drainEvents();
    for (const auto *lane : {running.get(), planMirror.get(), finished.get(), loopEnded.get()}) {
        EXPECT_THAT(h.calls(*lane).died, IsEmpty()) << lane->syncFolder()->name().toStdString();
        EXPECT_TRUE(lane->livenessTask().isRunning());
    }
    EXPECT_EQ(running->deltaPassesRun(), passesBefore + 11);
}

TEST_F(TimersTest, AnUnreachableFolderIsTriedEveryPeriodUntilItIsBack)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    const QString path = *folder->folderPath();
    const QString aside = putAside(path);
    auto lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    ASSERT_EQ(lane->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));

    h.clock.advance(SyncLane::livenessPeriod);
    h.runUntilIdle(*lane);
    EXPECT_EQ(lane->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));
    EXPECT_EQ(linesStartingWith(QStringLiteral("Folder access lost for ")), 1);

    // Back, and the first attempt is slow: the next period leaves it to finish.
    putBack(aside, path);
    h.fake.delayNext("/api/v1/sync-folders", 1500ms);
    h.clock.advance(SyncLane::livenessPeriod);
    ASSERT_TRUE(runUntil([&] { return logDetails().contains(path); }));
    h.clock.advance(SyncLane::livenessPeriod);
    h.runUntilIdle(*lane);

    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
    EXPECT_TRUE(lane->hasFileWatcher());
    EXPECT_EQ(logDetails().count(path), 1); // one activation got past the checks
    EXPECT_EQ(linesStartingWith(QStringLiteral("Folder access lost for ")), 1);
    EXPECT_THAT(h.calls(*lane).died, IsEmpty());
}

TEST_F(TimersTest, ALaneWhoseDriveWentAwayComesBackWithIt)
{
    // A mount table without the folder's drive: the folder gone from its path is unplugged.
    const QString mounts = h.rootPath + QStringLiteral("/mountinfo");
    writeFile(mounts, "");
    h.bookmarks = std::make_shared<BookmarkManager>(h.vault, mounts);
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    const QString path = *folder->folderPath();
    auto lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);

    const QString away = h.rootPath + QStringLiteral("/drive");
    ASSERT_TRUE(QDir().mkpath(away));
    ASSERT_TRUE(QDir().rename(path, away + QStringLiteral("/Loops")));
    lane->handleFileEvents({path + QStringLiteral("/a.wav")});
    ASSERT_TRUE(runUntil([&] { return lane->syncState().isError(); }));
    h.runUntilIdle(*lane);
    ASSERT_EQ(lane->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));

    ASSERT_TRUE(QDir().rename(away + QStringLiteral("/Loops"), path));
    h.clock.advance(SyncLane::livenessPeriod);
    h.runUntilIdle(*lane);
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
    EXPECT_TRUE(lane->hasFileWatcher());
    EXPECT_THAT(registrations(), SizeIs(2));
    EXPECT_THAT(h.calls(*lane).died, IsEmpty());
}

// A lane is held by its delta pass until the pass ends, so a test that lets its lane go while
// a pass waits for the service leaves the lane to the harness. The pass's request must not
// outlive the clock and the service: once they are gone its failure would read a freed clock.
TEST(LaneHarnessTest, ALaneLetGoDuringAPassIsStoppedBeforeTheClockAndTheServiceGo)
{
    std::weak_ptr<SyncLane> weak;
    {
        LaneHarness h;
        h.deltaLoops = true;
        auto lane = h.makeLane(h.addFolder(SyncFolderType::projectsFolder));
        lane->start();
        h.runUntilIdle(*lane);
        h.fake.delayNext("/api/v1/files/library/changes", 60s);
        h.fake.takeMostDelayedAtOnce();
        h.clock.advance(SyncLane::deltaSyncTick);
        ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; })) << "the pass's read is held";
        weak = lane;
    }
    EXPECT_TRUE(weak.expired()) << "the lane's pass still runs";
    // Whatever was left would run here, in this test, not in the next one.
    runFor(300ms);
}

} // namespace
