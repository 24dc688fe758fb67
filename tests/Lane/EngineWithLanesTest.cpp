#include "Lane/LaneTestSupport.h"

#include "Engine/SyncEngine.h"
#include "Model/DAWConfiguration.h"

#include <gmock/gmock.h>

#include <QDir>
#include <QFile>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

// The engine as the application runs it, over the real lanes of the lane layer.
class EngineWithLanesTest : public LaneTest
{
protected:
    void SetUp() override
    {
        LaneTest::SetUp();
        QObject::connect(engine.get(), &SyncEngine::syncStateChanged, &logWatch,
                         [this] { announced.push_back(engine->syncState().kind); });
    }
    // The storage check of a start must not outlive the harness's service and clock.
    void TearDown() override
    {
        engine->stop();
        EXPECT_TRUE(runUntil([&] { return !engine->isStorageMonitorRunning(); }));
    }

    std::vector<std::shared_ptr<SyncLane>> realLanes() const
    {
        std::vector<std::shared_ptr<SyncLane>> lanes;
        for (const auto &lane : engine->lanes())
            lanes.push_back(std::dynamic_pointer_cast<SyncLane>(lane));
        return lanes;
    }

    // The directions of the engine's recent files, newest first.
    QList<SyncFileDirection> recentDirections() const
    {
        QList<SyncFileDirection> shown;
        for (const auto &file : engine->recentSyncedFiles())
            shown.append(file.direction);
        return shown;
    }

    std::unique_ptr<SyncEngine> engine = h.makeEngine();
    // The engine's state at each change it announced.
    std::vector<SyncEngineState::Kind> announced;
};

TEST_F(EngineWithLanesTest, StartMakesALanePerFolderWithALocationWhichSyncsAndStopEndsThemAll)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    auto stems = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Stems"));
    auto nowhere = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Nowhere"));
    nowhere->setFolderPath(std::nullopt);
    h.context->save();
    writeFile(*loops->folderPath() + QStringLiteral("/take.wav"), "RIFF take");

    engine->start();
    const auto lanes = realLanes();
    ASSERT_EQ(lanes.size(), 2u);
    ASSERT_TRUE(lanes[0] && lanes[1]);
    EXPECT_EQ(lanes[0]->laneID(), loops->stableID());
    EXPECT_EQ(lanes[1]->laneID(), stems->stableID());
    h.runUntilIdle(*engine);

    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("RIFF take")}}));
    EXPECT_THAT(announced, Contains(SyncEngineState::Kind::syncing));
    EXPECT_EQ(engine->syncState(), SyncEngineState::idle());
    EXPECT_TRUE(lanes[0]->hasFileWatcher() && lanes[1]->hasFileWatcher());
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore + 2);

    engine->stop();
    EXPECT_THAT(engine->lanes(), IsEmpty());
    for (const auto &lane : lanes) {
        EXPECT_FALSE(lane->hasFileWatcher());
        EXPECT_TRUE(lane->isSettled());
    }
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore);
    // Nothing of the stopped lanes acts on a change any more.
    writeFile(*stems->folderPath() + QStringLiteral("/late.wav"), "RIFF late");
    runFor(std::chrono::milliseconds(300));
    EXPECT_FALSE(lanes[1]->hasLocalChanges());
    EXPECT_EQ(h.serviceFiles().size(), 1u);
    EXPECT_EQ(engine->syncState(), SyncEngineState::idle());
}

// An unplugged drive or another folder at the path shows in the tray from the start.
TEST_F(EngineWithLanesTest, AFolderThatLostItsAccessBeforeTheStartIsTheEnginesError)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    const QString path = *folder->folderPath();
    // Another folder at its path: made before the first goes, so it is another inode.
    ASSERT_TRUE(QDir().mkpath(path + QStringLiteral(".other")));
    ASSERT_TRUE(QDir(path).removeRecursively());
    ASSERT_TRUE(QDir().rename(path + QStringLiteral(".other"), path));

    engine->start();
    h.runUntilIdle(*engine);

    ASSERT_EQ(realLanes().size(), 1u);
    EXPECT_EQ(realLanes()[0]->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));
    EXPECT_EQ(engine->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));
    EXPECT_THAT(announced, ElementsAre(SyncEngineState::Kind::error));
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
}

// A 507 stops the uploads of the lane that met it; bytes the service takes show there is room
// again, before any storage check says so.
TEST_F(EngineWithLanesTest, AnUploadThatGoesThroughEndsStorageFull)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    writeFile(*loops->folderPath() + QStringLiteral("/take.wav"), "RIFF take");
    h.fake.answerNext("/api/v1/storage", 500, R"({"message":"busy"})", -1);
    engine->handleStorageFull();

    engine->start();
    h.runUntilIdle(*engine);
    ASSERT_EQ(h.serviceFiles().size(), 1u);
    EXPECT_FALSE(engine->isStorageFull());
}

// An upload refused for storage is not lost: the first storage check that finds room (the
// monitor's, every 300 s) owes it again and the lane sends it.
TEST_F(EngineWithLanesTest, UploadsRefusedForStorageGoOnceACheckFindsRoom)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    writeFile(*loops->folderPath() + QStringLiteral("/take.wav"), "RIFF take");
    h.fake.storageFullNext("/api/v1/files/check-hash");

    engine->start();
    h.runUntilIdle(*engine);
    ASSERT_TRUE(engine->isStorageFull());
    ASSERT_TRUE(h.serviceFiles().empty());
    ASSERT_FALSE(engine->syncErrors().isEmpty());

    h.clock.advance(SyncEngine::storageCheckInterval);
    ASSERT_TRUE(runUntil([&] { return !engine->isStorageFull(); }));
    h.runUntilIdle(*engine);
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("RIFF take")}}));
    EXPECT_THAT(engine->syncErrors(), IsEmpty());
    EXPECT_FALSE(engine->lastError());
}

// A first sync the service failed (503) is the engine's error until a try goes through: a
// network change already tries again, and the pass that goes through clears the error.
TEST_F(EngineWithLanesTest, AFullSyncTheServiceFailedIsShownUntilATryGoesThrough)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    writeFile(*loops->folderPath() + QStringLiteral("/take.wav"), "RIFF take");
    h.fake.answerNext("/api/v1/files/library", 503, R"({"message":"busy"})");

    engine->start();
    ASSERT_TRUE(runUntil([&] { return engine->syncState().isError(); }));
    const auto lane = realLanes().at(0);
    ASSERT_TRUE(runUntil([&] { return lane->fullSyncRetryTask().isRunning() && !lane->syncTask().isRunning(); }));
    EXPECT_TRUE(engine->syncState().isError());
    EXPECT_TRUE(engine->lastError());
    EXPECT_TRUE(h.serviceFiles().empty());

    const auto before = h.clock.now();
    engine->handleNetworkChange();
    h.runUntilIdle(*engine);
    EXPECT_LT(h.clock.now() - before, Clock::Duration(std::chrono::seconds(60)));
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("RIFF take")}}));
    EXPECT_EQ(engine->syncState(), SyncEngineState::idle());
    EXPECT_FALSE(engine->lastError());
}

// A file the service refused for good waits in error without a try of its own, is counted for
// the tray, and Sync Now owes it again: an upload goes up, a download comes down.
TEST_F(EngineWithLanesTest, FilesRefusedForGoodAreCountedAndOnlySyncNowTriesThemAgain)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    const QString root = *loops->folderPath();
    writeFile(root + QStringLiteral("/take.wav"), "RIFF take");
    const qint64 beat = h.serve(*loops, QStringLiteral("beat.wav"), "RIFF beat");
    h.fake.answerNext("/api/v1/files/check-hash", 403, R"({"message":"not yours"})");
    h.fake.answerNext("/api/v1/files/library/" + std::to_string(beat), 403, R"({"message":"not yours"})");

    engine->start();
    h.runUntilIdle(*engine);
    const auto inError = [&](SyncFileDesiredState owed) { return LaneHarness::RecordState{SyncFileStatus::error, owed}; };
    ASSERT_EQ(h.records(loops->stableID()),
              (std::map<QString, LaneHarness::RecordState>{
                  {root + QStringLiteral("/beat.wav"), inError(SyncFileDesiredState::downloadPending)},
                  {root + QStringLiteral("/take.wav"), inError(SyncFileDesiredState::uploadPending)}}));
    EXPECT_EQ(engine->filesInError(), 2);
    EXPECT_EQ(engine->syncState(), SyncEngineState::idle());

    // The refusals were answered once: a try of the lane's own would go through now.
    h.clock.advance(std::chrono::hours(1));
    h.runUntilIdle(*engine);
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("beat.wav"), sha256("RIFF beat")}}));
    EXPECT_FALSE(QFile::exists(root + QStringLiteral("/beat.wav")));
    EXPECT_EQ(engine->filesInError(), 2);

    engine->requestManualSync();
    ASSERT_TRUE(runUntil([&] { return !engine->isSyncingNow(); }));
    h.runUntilIdle(*engine);
    EXPECT_EQ(h.records(loops->stableID()),
              (std::map<QString, LaneHarness::RecordState>{{root + QStringLiteral("/beat.wav"), synced},
                                                           {root + QStringLiteral("/take.wav"), synced}}));
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("beat.wav"), sha256("RIFF beat")},
                                                            {QStringLiteral("take.wav"), sha256("RIFF take")}}));
    EXPECT_EQ(LaneHarness::folderFiles(root),
              (std::map<QString, QString>{{QStringLiteral("beat.wav"), sha256("RIFF beat")},
                                          {QStringLiteral("take.wav"), sha256("RIFF take")}}));
    EXPECT_EQ(engine->filesInError(), 0);
    EXPECT_THAT(engine->syncErrors(), IsEmpty());
}

// A conflict waiting for the user is counted for the tray as a file in error is, and its recent
// upload points to the list; once the user acknowledged it (the panel saves, then tells the
// engine), or its file went up again without one, neither is left pointing to an empty list.
TEST_F(EngineWithLanesTest, AConflictIsCountedUntilItIsOverAndItsRecentUploadThenReadsAsOne)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    const QString take = *loops->folderPath() + QStringLiteral("/take.wav");
    writeFile(take, "v1");
    engine->start();
    h.runUntilIdle(*engine);
    const auto lane = realLanes().at(0);
    ASSERT_EQ(h.records(loops->stableID()).at(take), synced);
    // The ordinary upload is no conflict.
    EXPECT_EQ(engine->conflictsToReview(), 0);
    ASSERT_FALSE(engine->recentSyncedFiles().isEmpty());
    EXPECT_EQ(engine->recentSyncedFiles().front().direction, SyncFileDirection::upload);

    const qint64 id = *lane->fetchRecord(take)->remoteId();
    const auto conflictOnTheNextEdit = [&](const QByteArray &theirs, QChar commit, const QByteArray &mine) {
        // Another device's version on a commit this folder never saw, then an edit here.
        replace(id, theirs);
        h.fake.setCommit(id, QString(40, commit));
        writeFile(take, mine);
        lane->trackLocalChange(take, SyncLane::fileStamp(take));
        h.clock.advance(std::chrono::seconds(1));
        await(lane->processQueue({}));
        h.runUntilIdle(*engine);
    };
    const LaneHarness::RecordState inConflict{SyncFileStatus::conflict, SyncFileDesiredState::syncedLocal};

    conflictOnTheNextEdit("theirs", u'e', "mine");
    ASSERT_EQ(h.records(loops->stableID()).at(take), inConflict);
    EXPECT_EQ(engine->conflictsToReview(), 1);
    EXPECT_EQ(engine->filesInError(), 0);
    EXPECT_EQ(engine->syncState(), SyncEngineState::idle());
    EXPECT_THAT(recentDirections(), ElementsAre(SyncFileDirection::conflict, SyncFileDirection::upload));

    // Acknowledged as the panel does it: through its own context, saved, then the engine told.
    {
        ModelContext panel(h.container);
        panel.fetchFirst(SyncFile::withLocalPath(take))->acknowledgeConflict();
        panel.save();
    }
    engine->conflictAcknowledged(loops->stableID(), QString(), false);
    EXPECT_EQ(engine->conflictsToReview(), 0);
    EXPECT_THAT(recentDirections(), ElementsAre(SyncFileDirection::upload, SyncFileDirection::upload));

    // In conflict again, then edited and sent cleanly before anyone looked.
    conflictOnTheNextEdit("theirs again", u'f', "mine again");
    ASSERT_EQ(h.records(loops->stableID()).at(take), inConflict);
    EXPECT_EQ(engine->conflictsToReview(), 1);
    EXPECT_EQ(recentDirections().front(), SyncFileDirection::conflict);
    writeFile(take, "mine, later");
    lane->trackLocalChange(take, SyncLane::fileStamp(take));
    h.clock.advance(std::chrono::seconds(1));
    await(lane->processQueue({}));
    h.runUntilIdle(*engine);
    ASSERT_EQ(h.records(loops->stableID()).at(take), synced);
    EXPECT_EQ(engine->conflictsToReview(), 0);
    EXPECT_THAT(recentDirections(), Not(Contains(SyncFileDirection::conflict)));
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("mine, later"));
}

// Recent entries carry only a file's name: one in conflict keeps pointing to the list while a file
// of that name is still listed there, and reads as a plain upload once none is.
TEST_F(EngineWithLanesTest, ARecentConflictStaysWhileAFileOfItsNameIsStillToReview)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    engine->start();
    h.runUntilIdle(*engine);
    const auto lane = realLanes().at(0);
    for (const char *path : {"a/Verse.wav", "b/Verse.wav"}) {
        h.addRecord(*loops, QString::fromLatin1(path), SyncFileStatus::conflict)->setConflictID(7);
        lane->recordRecentFile(QStringLiteral("Verse.wav"), SyncFileDirection::conflict, RecentFile::Kind::transferred);
        h.clock.advance(std::chrono::seconds(1));
    }
    h.context->save();
    lane->recordRecentFile(QStringLiteral("Intro.wav"), SyncFileDirection::upload, RecentFile::Kind::transferred);
    const auto acknowledge = [&](const char *path) {
        ModelContext panel(h.container);
        panel.fetchFirst(SyncFile::withLocalPath(*loops->folderPath() + u'/' + QString::fromLatin1(path)))
            ->acknowledgeConflict();
        panel.save();
        engine->conflictAcknowledged(loops->stableID(), QString(), false);
    };

    acknowledge("a/Verse.wav");
    EXPECT_EQ(engine->conflictsToReview(), 1);
    EXPECT_THAT(recentDirections(),
                ElementsAre(SyncFileDirection::upload, SyncFileDirection::conflict, SyncFileDirection::conflict));
    acknowledge("b/Verse.wav");
    EXPECT_EQ(engine->conflictsToReview(), 0);
    EXPECT_THAT(recentDirections(),
                ElementsAre(SyncFileDirection::upload, SyncFileDirection::upload, SyncFileDirection::upload));
    EXPECT_EQ(engine->recentSyncedFiles().front().filename, QStringLiteral("Intro.wav"));
}

// A held download's notice names the application as its profile does, not by its program file.
TEST_F(EngineWithLanesTest, AHeldDownloadIsExplainedWithTheProfilesName)
{
    const QString program = h.rootPath + QStringLiteral("/bin/MixerPro");
    writeFile(program, "#!/bin/sh\n");
    ASSERT_TRUE(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const auto identifier = ApplicationEvents::bundleIdentifierOf(program);
    ASSERT_TRUE(identifier);
    h.applicationEvents.running[*identifier] = {RunningApplication{*identifier, QStringLiteral("MixerPro"), program}};
    h.context->insert(std::make_shared<DAWConfiguration>(QStringLiteral("Mixer Pro"), program,
                                                         SyncRulePriority::balanced, SyncRulePriority::high, true, 0));
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    loops->setAllDAWs(true);
    h.context->save();
    h.serve(*loops, QStringLiteral("new.wav"), "RIFF new");

    engine->start();
    h.runUntilIdle(*engine);
    EXPECT_EQ(engine->heldDownloadNotice(),
              QStringLiteral("new.wav can't sync while Mixer Pro is open. Close your DAW to get the latest version."));
    EXPECT_FALSE(QFile::exists(*loops->folderPath() + QStringLiteral("/new.wav")));
}

} // namespace

namespace {

// A delete at the service waits while the service's changes cannot be read first: the engine
// idles meanwhile and counts the delete as waiting (what the status line shows rather than "up
// to date"), until a read is answered and the delete goes.
TEST_F(EngineWithLanesTest, ADeleteWaitingForTheFeedIsCountedAsWaitingUntilItGoes)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    h.serve(*loops, QStringLiteral("take.wav"), "v1");
    engine->start();
    h.runUntilIdle(*engine);
    const auto lane = realLanes().at(0);
    const QString take = *loops->folderPath() + QStringLiteral("/take.wav");
    ASSERT_EQ(h.records(loops->stableID()).at(take), synced);
    ASSERT_EQ(engine->filesPending(), 0);

    // What the engine shows each time it settles between two refused reads.
    bool refused = false;
    onLogLine(QStringLiteral("take.wav waits"), [&] { refused = true; });
    std::vector<std::pair<SyncEngineState::Kind, qint64>> whileRefused;
    QObject::connect(engine.get(), &SyncEngine::filesPendingChanged, &logWatch, [&] {
        if (refused)
            whileRefused.emplace_back(engine->syncState().kind, engine->filesPending());
    });
    QObject::connect(engine.get(), &SyncEngine::syncStateChanged, &logWatch, [&] {
        if (refused && engine->syncState() == SyncEngineState::idle())
            whileRefused.emplace_back(SyncEngineState::Kind::idle, engine->filesPending());
    });
    h.fake.answerNext("/api/v1/files/library/changes", 503, R"({"message":"down"})", 3);
    ASSERT_TRUE(QFile::remove(take));
    lane->handleFileEvents({take});
    h.runUntilIdle(*engine);

    ASSERT_TRUE(refused);
    EXPECT_THAT(h.serviceFiles(), IsEmpty()) << "deleted once a read was answered";
    EXPECT_EQ(engine->filesPending(), 0);
    EXPECT_EQ(engine->filesInError(), 0);
    const auto idleWaiting = std::pair(SyncEngineState::Kind::idle, qint64(1));
    EXPECT_THAT(whileRefused, Contains(idleWaiting));
}

} // namespace
