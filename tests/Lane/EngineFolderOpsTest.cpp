#include "Lane/LaneTestSupport.h"

#include "Engine/SyncEngine.h"
#include "Model/SyncSettings.h"

#include <gmock/gmock.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;

namespace {

// The engine's folder operations over real lanes, real folders and the fake service.
class EngineFolderOpsTest : public LaneTest
{
protected:
    std::shared_ptr<SyncLane> realLane(const QUuid &id) const
    {
        return std::dynamic_pointer_cast<SyncLane>(engine->lane(id));
    }
    void addServiceFile(const SyncFolder &folder, const QString &name, const QByteArray &content)
    {
        FakeLibraryFile file;
        file.accountId = account();
        file.filename = name;
        file.folderType = QStringLiteral("drive");
        file.syncFolderUUID = folder.stableID().toString(QUuid::WithoutBraces).toUpper();
        file.content = content;
        h.fake.addFile(file);
    }
    qint64 account() const { return h.account; }
    // Waits until the fake holds `count` delayed requests at once.
    void waitForDelayedRequests(int count)
    {
        int most = 0;
        EXPECT_TRUE(runUntil([&] { return (most = std::max(most, h.fake.takeMostDelayedAtOnce())) >= count; }));
    }
    std::map<QString, QString> files(const SyncFolder &folder) const { return LaneHarness::folderFiles(*folder.folderPath()); }
    // The user chose another place for the folder, as the settings window saves it.
    void relocate(const std::shared_ptr<SyncFolder> &folder, const QString &path)
    {
        ASSERT_TRUE(QDir().mkpath(path));
        await(h.bookmarks->saveBookmark(FolderBookmark::make(path), folder->stableID()));
        folder->setFolderPath(path);
        folder->setDeltaCursor(h.fake.currentCursor(h.account));
        h.context->save();
        await(engine->folderLocationChanged(folder));
    }
    std::vector<LoggedRequest> resets() const { return h.fake.requestsTo("POST", "/api/v1/files/reset-folder"); }

    std::unique_ptr<SyncEngine> engine = h.makeEngine();
};

TEST_F(EngineFolderOpsTest, PauseAndResumeKeepOneWatcherAndOneActivationPerLaneAndSyncNowFetchesNews)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    auto stems = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Stems"));
    engine->start();
    h.runUntilIdle(*engine);
    engine->pauseAll();
    engine->resumeAll();
    h.runUntilIdle(*engine);
    engine->resumeAll(); // running lanes start again too
    h.runUntilIdle(*engine);
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore + 2);
    EXPECT_EQ(registrations().size(), 6u); // one activation per lane and start
    for (const auto &lane : engine->lanes())
        EXPECT_TRUE(realLane(lane->laneID())->hasFileWatcher());

    addServiceFile(*loops, QStringLiteral("news.wav"), "RIFF news");
    engine->requestManualSync();
    h.runUntilIdle(*engine);
    runUntil([&] { return !engine->isSyncingNow(); });
    EXPECT_EQ(files(*loops), (std::map<QString, QString>{{QStringLiteral("news.wav"), sha256("RIFF news")}}));
    EXPECT_THAT(logDetails(), ::testing::Contains(QStringLiteral("Manual sync complete")));

    // A folder switched off while its pass waits for the feed: the pass ends with its lane.
    addServiceFile(*stems, QStringLiteral("late.wav"), "RIFF late");
    h.fake.delayNext("/api/v1/files/library/changes", std::chrono::milliseconds(300), 2);
    engine->requestManualSync();
    waitForDelayedRequests(2);
    engine->folderDisabled(stems);
    runUntil([&] { return !engine->isSyncingNow(); });
    h.runUntilIdle(*engine);
    EXPECT_EQ(engine->lane(stems->stableID()), nullptr);
    EXPECT_THAT(files(*stems), IsEmpty());
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore + 1);

    stems->setIsEnabled(true);
    h.context->save();
    await(engine->folderEnabled(stems));
    h.runUntilIdle(*engine);
    EXPECT_EQ(files(*stems), (std::map<QString, QString>{{QStringLiteral("late.wav"), sha256("RIFF late")}}));
}

TEST_F(EngineFolderOpsTest, AFolderMovedElsewhereForgetsItsFilesAtTheServiceAndLeavesTheOldPlaceAlone)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    const QString oldPath = *loops->folderPath();
    writeFile(oldPath + QStringLiteral("/old.wav"), "RIFF old");
    engine->start();
    h.runUntilIdle(*engine);
    ASSERT_EQ(h.serviceFiles().size(), 1u);
    loops->setDeltaCursor(h.fake.currentCursor(h.account));

    const QString newPath = h.rootPath + QStringLiteral("/Moved");
    writeFile(newPath + QStringLiteral("/new.wav"), "RIFF new");
    await(h.bookmarks->saveBookmark(FolderBookmark::make(newPath), loops->stableID()));
    loops->setFolderPath(newPath);
    h.context->save();
    await(engine->folderLocationChanged(loops));
    h.runUntilIdle(*engine);

    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("new.wav"), sha256("RIFF new")}}));
    EXPECT_EQ(LaneHarness::folderFiles(oldPath), (std::map<QString, QString>{{QStringLiteral("old.wav"), sha256("RIFF old")}}));
    EXPECT_EQ(files(*loops), (std::map<QString, QString>{{QStringLiteral("new.wav"), sha256("RIFF new")}}));
    EXPECT_EQ(h.records(loops->stableID()), (std::map<QString, LaneHarness::RecordState>{{newPath + QStringLiteral("/new.wav"), synced}}));
}

// Two lanes over the same files would each send the other's changes and deletions.
TEST_F(EngineFolderOpsTest, ARelocationIntoAnotherLanesFolderIsRefusedAndShownUntilItMovesOut)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    auto stems = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Stems"));
    const QString stemsPath = *stems->folderPath();
    writeFile(*loops->folderPath() + QStringLiteral("/a.wav"), "RIFF a");
    writeFile(*loops->folderPath() + QStringLiteral("/Inner/in.wav"), "RIFF in");
    writeFile(stemsPath + QStringLiteral("/s.wav"), "RIFF s");
    engine->start();
    h.runUntilIdle(*engine);
    const auto synced = h.serviceFiles();
    ASSERT_EQ(synced.size(), 3u);

    relocate(stems, *loops->folderPath() + QStringLiteral("/Inner"));
    h.runUntilIdle(*engine);
    EXPECT_EQ(engine->lane(stems->stableID()), nullptr);
    EXPECT_TRUE(engine->syncState().isError());
    EXPECT_TRUE(engine->syncState().message.contains(QStringLiteral("overlaps")));
    EXPECT_THAT(h.records(stems->stableID()), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), synced);
    EXPECT_THAT(resets(), IsEmpty());
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    EXPECT_EQ(LaneHarness::folderFiles(stemsPath), (std::map<QString, QString>{{QStringLiteral("s.wav"), sha256("RIFF s")}}));

    // Moved out again, it syncs from its new place: the service's copy comes down beside it.
    writeFile(h.rootPath + QStringLiteral("/Elsewhere/e.wav"), "RIFF e");
    relocate(stems, h.rootPath + QStringLiteral("/Elsewhere"));
    h.runUntilIdle(*engine);
    ASSERT_NE(engine->lane(stems->stableID()), nullptr);
    EXPECT_FALSE(engine->syncState().isError());
    EXPECT_EQ(files(*stems), (std::map<QString, QString>{{QStringLiteral("e.wav"), sha256("RIFF e")},
                                                          {QStringLiteral("s.wav"), sha256("RIFF s")}}));
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("e.wav")), sha256("RIFF e"));
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
}

// The reset names the kind alone; a service that keeps to that would clear the laptop's folder.
TEST_F(EngineFolderOpsTest, AMovedFolderIsNotResetWhileAnotherDeviceHasAFolderOfItsKindAndSyncsFromTheListing)
{
    h.fake.setResetFolderByKindOnly(true);
    const QString laptop = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    h.fake.addSyncFolder({h.account, laptop, QStringLiteral("Laptop"), QStringLiteral("drive"), QStringLiteral("bidirectional"), 5});
    FakeLibraryFile theirs;
    theirs.accountId = h.account;
    theirs.filename = QStringLiteral("theirs.wav");
    theirs.folderType = QStringLiteral("drive");
    theirs.syncFolderUUID = laptop;
    theirs.content = "RIFF theirs";
    h.fake.addFile(theirs);
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    const QString oldPath = *loops->folderPath();
    writeFile(oldPath + QStringLiteral("/old.wav"), "RIFF old");
    engine->start();
    h.runUntilIdle(*engine);
    ASSERT_EQ(h.serviceFiles().size(), 2u);

    const QString newPath = h.rootPath + QStringLiteral("/Moved");
    writeFile(newPath + QStringLiteral("/new.wav"), "RIFF new");
    relocate(loops, newPath);
    h.runUntilIdle(*engine);

    EXPECT_THAT(resets(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("new.wav"), sha256("RIFF new")},
                                                             {QStringLiteral("old.wav"), sha256("RIFF old")},
                                                             {QStringLiteral("theirs.wav"), sha256("RIFF theirs")}}));
    EXPECT_EQ(files(*loops), (std::map<QString, QString>{{QStringLiteral("new.wav"), sha256("RIFF new")},
                                                          {QStringLiteral("old.wav"), sha256("RIFF old")}}));
    EXPECT_EQ(LaneHarness::folderFiles(oldPath), (std::map<QString, QString>{{QStringLiteral("old.wav"), sha256("RIFF old")}}));
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
}

// The old lane's upload ends with it: nothing it started writes a record or a file afterwards.
TEST_F(EngineFolderOpsTest, AFolderMovedWhileAnUploadIsInFlightSyncsOnlyItsNewPlace)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    const QString oldPath = *loops->folderPath();
    writeFile(oldPath + QStringLiteral("/old.wav"), "RIFF old");
    h.fake.delayNext("/api/v1/files/check-hash", std::chrono::milliseconds(400));
    engine->start();
    waitForDelayedRequests(1);

    const QString newPath = h.rootPath + QStringLiteral("/Moved");
    writeFile(newPath + QStringLiteral("/new.wav"), "RIFF new");
    relocate(loops, newPath);
    runFor(std::chrono::milliseconds(600)); // the held answer arrives for a lane that is gone
    h.runUntilIdle(*engine);

    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("new.wav"), sha256("RIFF new")}}));
    EXPECT_EQ(h.records(loops->stableID()), (std::map<QString, LaneHarness::RecordState>{{newPath + QStringLiteral("/new.wav"), synced}}));
    EXPECT_EQ(files(*loops), (std::map<QString, QString>{{QStringLiteral("new.wav"), sha256("RIFF new")}}));
    EXPECT_EQ(LaneHarness::folderFiles(oldPath), (std::map<QString, QString>{{QStringLiteral("old.wav"), sha256("RIFF old")}}));
}

TEST_F(EngineFolderOpsTest, ResetRemovesOnlyWhatTheServiceHoldsAndDownloadsItAgain)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    const QString root = *loops->folderPath();
    const QString outside = h.rootPath + QStringLiteral("/Outside");
    writeFile(root + QStringLiteral("/.keep"), "keep");
    writeFile(root + QStringLiteral("/a.wav"), "RIFF a");
    writeFile(root + QStringLiteral("/sub/b.wav"), "RIFF b");
    writeFile(root + QStringLiteral("/edited.wav"), "RIFF edited");
    writeFile(outside + QStringLiteral("/x.wav"), "RIFF x");
    ASSERT_TRUE(QFile::link(outside, root + QStringLiteral("/link")));
    engine->start();
    h.runUntilIdle(*engine);
    ASSERT_EQ(h.serviceFiles().size(), 3u);

    // Changes the service has not seen yet: made while paused.
    engine->pauseAll();
    writeFile(root + QStringLiteral("/edited.wav"), "RIFF edited again");
    writeFile(root + QStringLiteral("/new.wav"), "RIFF new");
    loops->setDeltaCursor(QStringLiteral("cur-1"));
    h.context->save();
    // While the reset works on the folder no lane is made for it: asked for at a step the
    // reset surely takes inside its hold, however fast or slow the machine.
    std::optional<bool> heldMidway;
    bool laneMadeMidway = true;
    onLogLine(QStringLiteral("Loops: kept"), [&] {
        heldMidway = engine->isFolderHeld(loops->stableID());
        engine->folderSettingsChanged(loops);
        laneMadeMidway = engine->lane(loops->stableID()) != nullptr;
    });
    await(engine->resetAndRedownload(loops));
    EXPECT_EQ(heldMidway, true);
    EXPECT_FALSE(laneMadeMidway);
    EXPECT_FALSE(engine->isFolderHeld(loops->stableID()));

    EXPECT_EQ(files(*loops), (std::map<QString, QString>{{QStringLiteral(".keep"), sha256("keep")},
                                                          {QStringLiteral("edited.wav"), sha256("RIFF edited again")},
                                                          {QStringLiteral("new.wav"), sha256("RIFF new")}}));
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/sub")));
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("/link")).isSymLink());
    EXPECT_EQ(LaneHarness::folderFiles(outside), (std::map<QString, QString>{{QStringLiteral("x.wav"), sha256("RIFF x")}}));
    EXPECT_THAT(logDetails(), ::testing::Contains(QStringLiteral("Loops: kept 2 files the service does not hold")));
    EXPECT_THAT(h.records(loops->stableID()), IsEmpty());
    EXPECT_EQ(storedFolder(loops->stableID())->deltaCursor(), std::nullopt);
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());

    engine->resumeAll();
    h.runUntilIdle(*engine);
    EXPECT_EQ(files(*loops).at(QStringLiteral("a.wav")), sha256("RIFF a"));
    EXPECT_EQ(files(*loops).at(QStringLiteral("sub/b.wav")), sha256("RIFF b"));
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("new.wav")), sha256("RIFF new"));
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
}

TEST_F(EngineFolderOpsTest, ResetIsRefusedOnTheHomeFolderAndOnAFolderHoldingAnotherAndOnlyForgetsInAnUploadOnlyFolder)
{
    auto home = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Home"));
    auto outer = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Outer"));
    h.addFolder(SyncFolderType::references, SyncFolderSyncMode::bidirectional, QStringLiteral("Outer/Inner"));
    auto sent = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::uploadOnly, QStringLiteral("Sent"));
    for (const auto &folder : {home, outer, sent})
        writeFile(*folder->folderPath() + QStringLiteral("/a.wav"), "RIFF a");
    engine->start();
    h.runUntilIdle(*engine);
    const auto homeLane = engine->lane(home->stableID());

    const QByteArray realHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(*home->folderPath()));
    await(engine->resetAndRedownload(home));
    qputenv("HOME", realHome);
    await(engine->resetAndRedownload(outer));
    await(engine->resetAndRedownload(sent));
    h.runUntilIdle(*engine);

    for (const auto &folder : {home, outer, sent})
        EXPECT_EQ(files(*folder).count(QStringLiteral("a.wav")), 1u) << folder->name().toStdString();
    EXPECT_THAT(logDetails(), ::testing::Contains(QStringLiteral("Reset refused for Home: it is the home folder")));
    EXPECT_THAT(logDetails(), ::testing::Contains(
                                  QStringLiteral("Reset refused for Outer: it holds the sync folder at %1/Outer/Inner").arg(h.rootPath)));
    EXPECT_EQ(h.records(home->stableID()).size(), 1u);
    EXPECT_EQ(engine->lane(home->stableID()), homeLane);
    EXPECT_THAT(logDetails(), ::testing::Contains(QStringLiteral("Sent: reset complete, restarting lane")));
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
}

// The folder is not there as recorded (another folder at its path, an unplugged drive).
TEST_F(EngineFolderOpsTest, AResetThatCannotOpenItsFolderChangesNothingAndTheLaneShowsTheLostAccess)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    const QString path = *loops->folderPath();
    writeFile(path + QStringLiteral("/a.wav"), "RIFF a");
    engine->start();
    h.runUntilIdle(*engine);
    ASSERT_EQ(h.records(loops->stableID()).size(), 1u);
    loops->setDeltaCursor(QStringLiteral("cur-1"));
    h.context->save();
    engine->pauseAll();
    // Another folder at its path: made before the first goes, so it is another inode.
    ASSERT_TRUE(QDir().mkpath(path + QStringLiteral(".other")));
    ASSERT_TRUE(QDir(path).removeRecursively());
    ASSERT_TRUE(QDir().rename(path + QStringLiteral(".other"), path));
    engine->resumeAll();

    await(engine->resetAndRedownload(loops));
    h.runUntilIdle(*engine);
    EXPECT_THAT(logDetails(), ::testing::Contains(QStringLiteral("Reset failed for Loops: could not access folder")));
    ASSERT_NE(engine->lane(loops->stableID()), nullptr);
    EXPECT_EQ(engine->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));
    EXPECT_EQ(h.records(loops->stableID()).size(), 1u);
    EXPECT_EQ(storedFolder(loops->stableID())->deltaCursor(), QStringLiteral("cur-1"));
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
}

// A pass that cannot reach the feed synced nothing.
TEST_F(EngineFolderOpsTest, SyncNowWhoseFeedCannotBeReachedLogsAFailure)
{
    h.addFolder(SyncFolderType::projectsFolder);
    engine->start();
    h.runUntilIdle(*engine);

    h.fake.dropNext("/api/v1/files/library/changes", -1);
    engine->requestManualSync();
    ASSERT_TRUE(runUntil([&] { return !engine->isSyncingNow(); }));
    const QStringList details = logDetails();
    EXPECT_TRUE(std::any_of(details.begin(), details.end(),
                            [](const QString &detail) { return detail.startsWith(QStringLiteral("Manual sync failed: ")); }));
    EXPECT_FALSE(details.contains(QStringLiteral("Manual sync complete")));

    h.fake.clearFaults();
    engine->requestManualSync();
    ASSERT_TRUE(runUntil([&] { return !engine->isSyncingNow(); }));
    EXPECT_TRUE(logDetails().contains(QStringLiteral("Manual sync complete")));
}

TEST_F(EngineFolderOpsTest, AWipeEndsEveryLaneAndTheirLateRepliesRecreateNothing)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    writeFile(*loops->folderPath() + QStringLiteral("/a.wav"), "RIFF a");
    engine->start();
    h.runUntilIdle(*engine);
    addServiceFile(*loops, QStringLiteral("news.wav"), "RIFF news");
    h.fake.delayNext("/api/v1/files/library/changes", std::chrono::milliseconds(300));
    engine->requestManualSync();
    waitForDelayedRequests(1);

    engine->wipeLocalState();
    EXPECT_THAT(engine->lanes(), IsEmpty());
    runFor(std::chrono::milliseconds(500));
    runUntil([&] { return !engine->isSyncingNow(); });

    ModelContext reader(h.container);
    EXPECT_THAT(reader.fetch(FetchDescriptor<SyncFile>()), IsEmpty());
    EXPECT_THAT(reader.fetch(FetchDescriptor<SyncFolder>()), IsEmpty());
    EXPECT_EQ(reader.fetch(FetchDescriptor<SyncSettings>()).size(), 1u);
    EXPECT_FALSE(QFileInfo::exists(*loops->folderPath() + QStringLiteral("/news.wav")));
    EXPECT_EQ(h.vault.data(KeychainVault::folderBookmarkKey(loops->stableID())), std::nullopt);
    EXPECT_TRUE(h.vault.data(KeychainVault::bearerTokenKey()).has_value());
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore);
    // The pass the wipe ended reports nothing.
    EXPECT_THAT(logDetails(), ::testing::Not(::testing::Contains(QStringLiteral("Manual sync complete"))));
}

} // namespace
