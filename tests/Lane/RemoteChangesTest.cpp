// The remote-change road's harder cases: records that failed for good, a transfer in flight,
// something other than a file at a change's place, the folder moved under a pass, a refused
// cursor, a download refused for content the service held there, and the plan mirror.

#include "Lane/LaneTestSupport.h"

#include <gmock/gmock.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

using State = LaneHarness::RecordState;
using Files = std::map<QString, QString>;

class RemoteChangesTest : public OneLaneTest
{
protected:
    std::string fileURL(qint64 id) const { return "/api/v1/files/library/" + std::to_string(id); }
};

TEST_F(RemoteChangesTest, ADownloadThatFailedForGoodTakesTheNextVersion)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("song.wav"), "v1");
    pass();
    replace(id, "v2");
    h.fake.answerNext(fileURL(id), 500, R"({"message":"down"})", SyncLane::maxRetries + 1);
    pass();
    const auto failed = lane->fetchRecord(at(QStringLiteral("song.wav")));
    ASSERT_EQ(failed->syncStatus(), SyncFileStatus::error);
    EXPECT_EQ(files(), (Files{{QStringLiteral("song.wav"), sha256("v1")}}));

    replace(id, "v3");
    pass();
    EXPECT_EQ(files(), (Files{{QStringLiteral("song.wav"), sha256("v3")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("song.wav")), synced}}));
}

TEST_F(RemoteChangesTest, AFullSyncJudgesRecordsThatFailedForGoodAgainstTheListing)
{
    folder = h.addFolder(SyncFolderType::projectsFolder);
    root = *folder->folderPath();
    // What a folder that could not be written left: a newer version never fetched, and two
    // files deleted at the service still here, all in error.
    const qint64 changed = h.serve(*folder, QStringLiteral("changed.wav"), "v2");
    const auto failedRecord = [&](const QString &name, qint64 id, SyncFileDesiredState desired) {
        writeFile(at(name), "v1");
        auto record = h.addRecord(*folder, name, SyncFileStatus::error, desired);
        record->setRemoteId(id);
        record->setLocalChecksum(sha256("v1"));
        record->setRemoteChecksum(desired == SyncFileDesiredState::downloadPending ? sha256("v2") : sha256("v1"));
        record->setRetryCount(SyncLane::maxRetries);
        record->setErrorMessage(QStringLiteral("Cannot write"));
    };
    failedRecord(QStringLiteral("changed.wav"), changed, SyncFileDesiredState::downloadPending);
    failedRecord(QStringLiteral("deleted.wav"), 9001, SyncFileDesiredState::deletedLocal);
    failedRecord(QStringLiteral("gone.wav"), 9002, SyncFileDesiredState::syncedLocal);
    h.context->save();

    lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    EXPECT_EQ(files(), (Files{{QStringLiteral("changed.wav"), sha256("v2")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("changed.wav")), synced}}));
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("changed.wav"), sha256("v2")}}));
}

TEST_F(RemoteChangesTest, ARecordInFlightOnlyLearnsOfAChangeOrADelete)
{
    open();
    const qint64 edited = h.serve(*folder, QStringLiteral("edited.wav"), "v1");
    const qint64 deleted = h.serve(*folder, QStringLiteral("deleted.wav"), "v1");
    pass();
    // Both are being sent (a local edit each) when the service's changes arrive.
    for (const QString &name : {QStringLiteral("edited.wav"), QStringLiteral("deleted.wav")}) {
        writeFile(at(name), "local edit");
        auto record = lane->fetchRecord(at(name));
        record->setSyncStatus(SyncFileStatus::syncing);
        record->setDesiredState(SyncFileDesiredState::uploadPending);
    }
    h.context->save();
    const qint64 before = lane->fetchRecord(at(QStringLiteral("edited.wav")))->generation();
    const qint64 beforeDeleted = lane->fetchRecord(at(QStringLiteral("deleted.wav")))->generation();
    replace(edited, "v2");
    h.fake.removeFile(deleted);
    h.fake.clearRequestLog();
    pass();

    EXPECT_THAT(h.fake.requestsTo("GET", fileURL(edited)), IsEmpty());
    EXPECT_EQ(files(), (Files{{QStringLiteral("deleted.wav"), sha256("local edit")},
                              {QStringLiteral("edited.wav"), sha256("local edit")}}));
    const auto changed = lane->fetchRecord(at(QStringLiteral("edited.wav")));
    EXPECT_EQ(changed->generation(), before + 1);
    EXPECT_EQ(changed->remoteChecksum(), sha256("v2"));
    EXPECT_EQ(changed->syncStatus(), SyncFileStatus::syncing);
    const auto kept = lane->fetchRecord(at(QStringLiteral("deleted.wav")));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->generation(), beforeDeleted + 1);
    EXPECT_EQ(kept->desiredState(), SyncFileDesiredState::uploadPending);
}

TEST_F(RemoteChangesTest, APipeOrAFolderAtAChangesPlaceIsNeverDownloadedOver)
{
    open();
    ASSERT_EQ(::mkfifo(QFile::encodeName(at(QStringLiteral("pipe.wav"))).constData(), 0600), 0);
    ASSERT_TRUE(QDir().mkpath(at(QStringLiteral("dir.wav"))));
    const qint64 pipe = h.serve(*folder, QStringLiteral("pipe.wav"), "service");
    const qint64 dir = h.serve(*folder, QStringLiteral("dir.wav"), "service");
    pass();
    EXPECT_THAT(h.fake.requestsTo("GET", fileURL(pipe)), IsEmpty());
    EXPECT_THAT(h.fake.requestsTo("GET", fileURL(dir)), IsEmpty());
    EXPECT_TRUE(QFileInfo(at(QStringLiteral("dir.wav"))).isDir());
    struct stat status{};
    ASSERT_EQ(::lstat(QFile::encodeName(at(QStringLiteral("pipe.wav"))).constData(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_THAT(records(), IsEmpty());
    // Knowingly skipped: the cursor moves on.
    EXPECT_EQ(folder->deltaCursor(), h.fake.currentCursor(h.account));
}

TEST_F(RemoteChangesTest, APassThatFindsTheFolderMovedLeavesItsChangesToTheActivation)
{
    open();
    h.serve(*folder, QStringLiteral("song.wav"), "v1");
    lane->stop();
    const QString moved = h.rootPath + QStringLiteral("/Moved");
    ASSERT_TRUE(QDir().rename(root, moved));
    await(lane->runDeltaPass({}));
    // Nothing was placed by the old paths, and no cursor was kept for changes not applied.
    EXPECT_EQ(folder->deltaCursor(), std::nullopt);
    EXPECT_FALSE(QFileInfo::exists(root));
    h.runUntilIdle(*lane);
    root = moved;
    EXPECT_EQ(folder->folderPath(), moved);
    EXPECT_EQ(files(), (Files{{QStringLiteral("song.wav"), sha256("v1")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("song.wav")), synced}}));
}

TEST_F(RemoteChangesTest, ACursorRefusedWith400IsDroppedAndAFullSyncFollows)
{
    open();
    h.serve(*folder, QStringLiteral("song.wav"), "v1");
    // The service answers a cursor it does not take with 400.
    folder->setDeltaCursor(QStringLiteral("not-a-cursor"));
    h.fake.clearRequestLog();
    pass();
    EXPECT_EQ(lane->consecutiveDeltaFailures(), 0);
    EXPECT_EQ(folder->deltaCursor(), std::nullopt);
    EXPECT_THAT(h.fake.requestsTo("GET", "/api/v1/files/library"), SizeIs(1));
    EXPECT_EQ(files(), (Files{{QStringLiteral("song.wav"), sha256("v1")}}));
}

TEST_F(RemoteChangesTest, ARefusedDownloadOfAVersionTheServiceListedHereReplacesItInsteadOfSendingItBack)
{
    folder = h.addFolder(SyncFolderType::projectsFolder);
    root = *folder->folderPath();
    const qint64 id = h.serve(*folder, QStringLiteral("song.wav"), "v2");
    // The file holds the version the listing showed here; its record never learned it.
    writeFile(at(QStringLiteral("song.wav")), "v1");
    auto record = h.addRecord(*folder, QStringLiteral("song.wav"), SyncFileStatus::pending,
                              SyncFileDesiredState::downloadPending);
    record->setRemoteId(id);
    record->setRemoteChecksum(sha256("v2"));
    h.context->save();
    lane = h.makeLane(folder);
    FileSyncAPI::RemoteFile listed;
    listed.id = id;
    listed.filename = QStringLiteral("song.wav");
    listed.fileSize = 2;
    listed.fileChecksum = sha256("v1");
    listed.drivePath = QStringLiteral(".");
    lane->setLastRemoteFilesForTesting(QList<FileSyncAPI::RemoteFile>{listed});
    await(lane->processQueue({}));

    EXPECT_EQ(files(), (Files{{QStringLiteral("song.wav"), sha256("v2")}}));
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("song.wav"), sha256("v2")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("song.wav")), synced}}));
}

TEST_F(RemoteChangesTest, ThePlanMirrorKeepsAFileItCannotReplaceWithoutOwingAnUpload)
{
    folder = h.addFolder(SyncFolderType::harborly);
    root = *folder->folderPath();
    // One owed, one held while a guard ran; both hold the user's own bytes now.
    for (const auto &[name, desired] : {std::pair(QStringLiteral("stem.wav"), SyncFileDesiredState::downloadPending),
                                        std::pair(QStringLiteral("held.wav"), SyncFileDesiredState::downloadHeld)}) {
        const qint64 id = h.serve(*folder, name, "plan");
        writeFile(at(name), "mine");
        auto record = h.addRecord(*folder, name, SyncFileStatus::pending, desired);
        record->setRemoteId(id);
        record->setRemoteChecksum(sha256("plan"));
    }
    h.context->save();
    lane = h.makeLane(folder);
    await(lane->runDeltaPass({}));

    const Files mine{{QStringLiteral("held.wav"), sha256("mine")}, {QStringLiteral("stem.wav"), sha256("mine")}};
    EXPECT_EQ(files(), mine);
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("held.wav"), sha256("plan")}, {QStringLiteral("stem.wav"), sha256("plan")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("held.wav")), synced},
                                                   {at(QStringLiteral("stem.wav")), synced}}));
    EXPECT_TRUE(logDetails().contains(QStringLiteral("Kept stem.wav: its content differs from the plan's and is not sent back")));
    EXPECT_TRUE(logDetails().contains(QStringLiteral("Kept held.wav: its content differs from the plan's and is not sent back")));
}

TEST_F(RemoteChangesTest, AnUntouchedPlanFileOfATwoWayMirrorTakesTheServicesNewVersion)
{
    folder = h.addFolder(SyncFolderType::harborly);
    root = *folder->folderPath();
    const qint64 id = h.serve(*folder, QStringLiteral("stem.wav"), "v1");
    writeFile(at(QStringLiteral("stem.wav")), "v1");
    auto record = h.addRecord(*folder, QStringLiteral("stem.wav"));
    record->setRemoteId(id);
    record->setLocalChecksum(sha256("v1"));
    record->setRemoteChecksum(sha256("v1"));
    h.context->save();
    lane = h.makeLane(folder);
    replace(id, "v2");
    await(lane->runDeltaPass({}));
    EXPECT_EQ(files(), (Files{{QStringLiteral("stem.wav"), sha256("v2")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("stem.wav")), synced}}));
}

TEST_F(RemoteChangesTest, TheWatchersWordOnAFileBeingDownloadedIsNoLocalChange)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("song.wav"), "v1");
    pass();
    replace(id, "v2");
    h.fake.delayNext(fileURL(id), std::chrono::milliseconds(300));
    h.fake.clearRequestLog();
    bool done = false;
    std::exception_ptr error;
    detail::captureVoid(lane->runDeltaPass({}), error, done);
    ASSERT_TRUE(runUntil([&] { return !h.fake.requestsTo("GET", fileURL(id)).empty(); }));
    // Reported while the download runs: the file still holds the version being replaced.
    await(lane->processDebouncedPaths({at(QStringLiteral("song.wav"))}));
    ASSERT_TRUE(runUntil([&] { return done; }));
    h.runUntilIdle(*lane);
    // However late the word on the file the lane wrote comes, it is no change either.
    h.clock.advance(std::chrono::minutes(10));
    await(lane->processDebouncedPaths({at(QStringLiteral("song.wav"))}));
    h.runUntilIdle(*lane);

    EXPECT_EQ(files(), (Files{{QStringLiteral("song.wav"), sha256("v2")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("song.wav")), synced}}));
    EXPECT_THAT(h.fake.requestsTo("GET", fileURL(id)), SizeIs(1));
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/check-hash"), IsEmpty());
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/batch-check-hash"), IsEmpty());
}

} // namespace

namespace {

// Names the user chose are shown as they are, whatever "%" they hold.
TEST_F(RemoteChangesTest, NamesHoldingPlaceholdersAreLoggedAsTheyAre)
{
    folder = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Mix %2"));
    root = *folder->folderPath();
    writeFile(at(QStringLiteral("Take %2/a.wav")), "a");
    const auto engine = h.makeEngine();
    engine->start();
    h.runUntilIdle(*engine);
    EXPECT_THAT(logDetails(), ::testing::Contains(QStringLiteral("    Take %2/ → 1 items: a.wav")));

    engine->pauseAll();
    writeFile(at(QStringLiteral("new.wav")), "new");
    await(engine->resetAndRedownload(folder));
    EXPECT_THAT(logDetails(), ::testing::Contains(QStringLiteral("Mix %2: kept 1 files the service does not hold")));
}

} // namespace
