#include "Lane/LaneTestSupport.h"

#include "FileServices/FileChecksum.h"
#include "Platform/Files/FolderBookmark.h"

#include <gmock/gmock.h>

#include <QCryptographicHash>
#include <QFileInfo>

#include <map>
#include <mutex>

#include <sys/stat.h>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

using State = LaneHarness::RecordState;
constexpr State owedUpload{SyncFileStatus::pending, SyncFileDesiredState::uploadPending};
constexpr State owedDownload{SyncFileStatus::pending, SyncFileDesiredState::downloadPending};
constexpr State owedRemoteDelete{SyncFileStatus::pending, SyncFileDesiredState::deletedRemote};

class FullSyncTest : public LaneTest
{
protected:
    // A file at the service in this folder.
    qint64 serve(const SyncFolder &folder, const QString &name, const QByteArray &bytes,
                 std::optional<QString> drivePath = std::nullopt)
    {
        return h.serve(folder, name, bytes, std::move(drivePath));
    }

    // A tracked file that was uploaded or downloaded once: id and checksum known.
    std::shared_ptr<SyncFile> tracked(const SyncFolder &folder, const QString &name, qint64 remoteId,
                                      const QByteArray &bytes)
    {
        auto record = h.addRecord(folder, name);
        record->setRemoteId(remoteId);
        record->setLocalChecksum(sha256(bytes));
        h.context->save();
        return record;
    }

    static int countOf(SyncLogger::Event event)
    {
        const auto entries = SyncLogger::shared().entries();
        return int(std::count_if(entries.begin(), entries.end(), [event](const auto &entry) { return entry.event == event; }));
    }

    std::shared_ptr<SyncFolder> folder = h.addFolder(SyncFolderType::projectsFolder);
    QString root = *folder->folderPath();
};

TEST_F(FullSyncTest, ReconcilesDiskServiceAndRecords)
{
    writeFile(root + QStringLiteral("/new.wav"), "new");
    writeFile(root + QStringLiteral("/same.wav"), "same");
    tracked(*folder, QStringLiteral("same.wav"), serve(*folder, QStringLiteral("same.wav"), "same"), "same");
    writeFile(root + QStringLiteral("/changed.wav"), "edited");
    tracked(*folder, QStringLiteral("changed.wav"), serve(*folder, QStringLiteral("changed.wav"), "v1"), "v1");
    // Deleted while the application was closed.
    tracked(*folder, QStringLiteral("gone.wav"), serve(*folder, QStringLiteral("gone.wav"), "gone"), "gone");
    // Its download failed: never on this disk, so its absence deletes nothing.
    auto never = h.addRecord(*folder, QStringLiteral("never.wav"), SyncFileStatus::error);
    never->setRemoteId(serve(*folder, QStringLiteral("never.wav"), "never"));
    never->setSyncDirection(SyncFileDirection::download);
    auto held = h.addRecord(*folder, QStringLiteral("held.wav"), SyncFileStatus::pending,
                            SyncFileDesiredState::downloadHeld);
    held->setRemoteId(serve(*folder, QStringLiteral("held.wav"), "held"));
    h.context->save();
    // Neither here nor there: forgotten.
    tracked(*folder, QStringLiteral("forgotten.wav"), 999, "old");
    const qint64 deep = serve(*folder, QStringLiteral("remote.wav"), "remote", QStringLiteral("A/B"));
    serve(*folder, QStringLiteral("root.wav"), "root", QStringLiteral("."));
    serve(*folder, QStringLiteral("escape.wav"), "evil", QStringLiteral("../outside"));
    auto lane = h.makeLane(folder);

    // What reconciliation decided, seen before the queue that follows it acts on it.
    std::map<QString, State> reconciled;
    std::optional<QString> changedChecksum;
    std::optional<qint64> newInode;
    std::optional<qint64> deepID;
    onLogLine(QStringLiteral("Marked "), [&] {
        reconciled = h.records(folder->stableID());
        changedChecksum = lane->fetchRecord(root + QStringLiteral("/changed.wav"))->localChecksum();
        newInode = lane->fetchRecord(root + QStringLiteral("/new.wav"))->inode();
        deepID = lane->fetchRecord(root + QStringLiteral("/A/B/remote.wav"))->remoteId();
        EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    });
    const qint64 goneID = *lane->fetchRecord(root + QStringLiteral("/gone.wav"))->remoteId();

    lane->start();
    h.runUntilIdle(*lane);

    EXPECT_EQ(reconciled, (std::map<QString, State>{
                              {root + QStringLiteral("/new.wav"), owedUpload},
                              {root + QStringLiteral("/same.wav"), synced},
                              {root + QStringLiteral("/changed.wav"), owedUpload},
                              {root + QStringLiteral("/gone.wav"), owedRemoteDelete},
                              {root + QStringLiteral("/never.wav"), owedDownload},
                              {root + QStringLiteral("/held.wav"), {SyncFileStatus::pending, SyncFileDesiredState::downloadHeld}},
                              {root + QStringLiteral("/A/B/remote.wav"), owedDownload},
                              {root + QStringLiteral("/root.wav"), owedDownload},
                          }));
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("/A/B")).isDir());
    EXPECT_FALSE(QFileInfo::exists(h.rootPath + QStringLiteral("/outside")));
    EXPECT_EQ(deepID, deep);
    struct stat status{};
    ASSERT_EQ(::stat(QFile::encodeName(root + QStringLiteral("/new.wav")).constData(), &status), 0);
    EXPECT_EQ(newInode, qint64(status.st_ino));
    EXPECT_EQ(changedChecksum, sha256("v1"));

    const auto details = logDetails();
    EXPECT_THAT(details, Contains(QStringLiteral("Found 3 local, 8 remote, 6 tracked for Loops")));
    EXPECT_THAT(details, Contains(QStringLiteral("Phase 1 complete: 2 candidates, 1 already matched, 0 in-progress (Loops)")));
    EXPECT_THAT(details, Contains(QStringLiteral("Upload diff: 1 to-upload, 1 already-synced, 0 in-progress, 1 new")));
    EXPECT_THAT(details, Contains(QStringLiteral("Marked 7 records with work owed for Loops")));
    EXPECT_THAT(details.filter(QStringLiteral("escape.wav")), SizeIs(1));
    EXPECT_THAT(details, Contains(QStringLiteral("Loops")));
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
    EXPECT_TRUE(lane->lastSyncAt());

    // Then the queue carried it out: the one delete at the service is the file deleted while
    // the application was closed, and disk and service agree but for the held file.
    EXPECT_EQ(h.records(folder->stableID()), (std::map<QString, State>{
                                                 {root + QStringLiteral("/new.wav"), synced},
                                                 {root + QStringLiteral("/same.wav"), synced},
                                                 {root + QStringLiteral("/changed.wav"), synced},
                                                 {root + QStringLiteral("/never.wav"), synced},
                                                 {root + QStringLiteral("/held.wav"), {SyncFileStatus::pending, SyncFileDesiredState::downloadHeld}},
                                                 {root + QStringLiteral("/A/B/remote.wav"), synced},
                                                 {root + QStringLiteral("/root.wav"), synced},
                                             }));
    const auto deletes = h.destructiveRequests();
    ASSERT_THAT(deletes, SizeIs(1));
    EXPECT_NE(deletes[0].path.find(std::to_string(goneID)), std::string::npos);
    EXPECT_EQ(LaneHarness::folderFiles(root), (std::map<QString, QString>{
                                                  {QStringLiteral("new.wav"), sha256("new")},
                                                  {QStringLiteral("same.wav"), sha256("same")},
                                                  {QStringLiteral("changed.wav"), sha256("edited")},
                                                  {QStringLiteral("never.wav"), sha256("never")},
                                                  {QStringLiteral("A/B/remote.wav"), sha256("remote")},
                                                  {QStringLiteral("root.wav"), sha256("root")},
                                              }));
    const auto service = h.serviceFiles();
    EXPECT_EQ(service.count(QStringLiteral("gone.wav")), 0u);
    EXPECT_EQ(service.at(QStringLiteral("changed.wav")), sha256("edited"));
    EXPECT_EQ(service.at(QStringLiteral("new.wav")), sha256("new"));
}

TEST_F(FullSyncTest, IdenticalFilesKeepTheirOwnIdsAndUnreadableFoldersKeepTheirRecords)
{
    writeFile(root + QStringLiteral("/a.wav"), "same bytes");
    writeFile(root + QStringLiteral("/b.wav"), "same bytes");
    const qint64 a = serve(*folder, QStringLiteral("a.wav"), "same bytes");
    const qint64 b = serve(*folder, QStringLiteral("b.wav"), "same bytes");
    tracked(*folder, QStringLiteral("a.wav"), a, "same bytes");
    tracked(*folder, QStringLiteral("b.wav"), b, "same bytes");
    tracked(*folder, QStringLiteral("locked/kept.wav"), serve(*folder, QStringLiteral("kept.wav"), "k",
                                                              QStringLiteral("locked")), "k");
    auto lane = h.makeLane(folder);
    const auto remote = await(h.client->listLibraryFiles(SyncFolderType::projectsFolder,
                                                         folder->stableID().toString(QUuid::WithoutBraces).toUpper()));

    // The scan could not open "locked": what it holds is unknown, so nothing under it is
    // deleted and nothing is downloaded into it.
    SyncLane::LocalScan scan{{root + QStringLiteral("/a.wav"), root + QStringLiteral("/b.wav")},
                             {root + QStringLiteral("/locked")}};
    await(lane->reconcile(remote, scan, lane->fetchFolderRecords(), root, {}));

    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, State>{{root + QStringLiteral("/a.wav"), synced},
                                        {root + QStringLiteral("/b.wav"), synced},
                                        {root + QStringLiteral("/locked/kept.wav"), synced}}));
    EXPECT_EQ(lane->fetchRecord(root + QStringLiteral("/a.wav"))->remoteId(), a);
    EXPECT_EQ(lane->fetchRecord(root + QStringLiteral("/b.wav"))->remoteId(), b);

    // Once readable and empty, the folder's file is owed a delete at the service.
    scan.unreadableFolders.clear();
    await(lane->reconcile(remote, scan, lane->fetchFolderRecords(), root, {}));
    EXPECT_EQ(h.records(folder->stableID())[root + QStringLiteral("/locked/kept.wav")], owedRemoteDelete);
}

TEST_F(FullSyncTest, NetworkFailuresAndRateLimitsRunItAgainOnTheBackOff)
{
    const std::string listing = "/api/v1/files/library";
    h.fake.dropNext(listing, -1);
    auto lane = h.makeLane(folder);
    writeFile(root + QStringLiteral("/late.wav"), "made while closed");
    lane->start();
    ASSERT_TRUE(runUntil([&] { return lane->fullSyncRetryTask().isRunning() && !lane->syncTask().isRunning(); }));
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
    EXPECT_FALSE(lane->lastError());
    // Not shown as the folder's error; the activity log alone says what failed.
    EXPECT_EQ(countOf(SyncLogger::Event::syncFailed), 1);
    EXPECT_EQ(logDetails().filter(QStringLiteral("The listing of Loops failed: ")).size(), 1);

    // The delta loop and the watchdog sleep on the same clock: a retry is seen by its request.
    const auto listings = [&] { return h.fake.requestsTo("GET", listing).size(); };
    const auto expectRetryAfter = [&](std::chrono::seconds wait) {
        const auto before = listings();
        h.clock.advance(wait - std::chrono::seconds(1));
        runFor(std::chrono::milliseconds(300));
        EXPECT_EQ(listings(), before) << "ran before " << wait.count() << " s";
        h.clock.advance(std::chrono::seconds(1));
        EXPECT_TRUE(runUntil([&] { return listings() > before; })) << "not run after " << wait.count() << " s";
    };

    // Still down: the next try waits twice as long.
    expectRetryAfter(std::chrono::seconds(60));
    ASSERT_TRUE(runUntil([&] { return lane->syncState() == SyncEngineState::idle(); }));

    h.fake.clearFaults();
    h.fake.rateLimitNext(listing);
    expectRetryAfter(std::chrono::seconds(120));
    ASSERT_TRUE(runUntil([&] { return countOf(SyncLogger::Event::pendingRetry) == 1; }));
    const auto entries = SyncLogger::shared().entries();
    const auto entry = *std::find_if(entries.begin(), entries.end(),
                                     [](const auto &e) { return e.event == SyncLogger::Event::pendingRetry; });
    EXPECT_EQ(entry.filename, QStringLiteral("Loops"));
    EXPECT_EQ(entry.detail, QStringLiteral("Rate limited during full sync — will retry"));
    EXPECT_FALSE(lane->lastError());
    ASSERT_TRUE(runUntil([&] { return lane->syncState() == SyncEngineState::idle(); }));

    // The full sync that finally ran found the file and its queue sent it.
    expectRetryAfter(std::chrono::seconds(240));
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.records(folder->stableID())[root + QStringLiteral("/late.wav")], synced);
    EXPECT_EQ(h.serviceFiles()[QStringLiteral("late.wav")], sha256("made while closed"));
    EXPECT_EQ(SyncLane::deltaSyncInterval(0), std::chrono::seconds(60));
    EXPECT_EQ(SyncLane::deltaSyncInterval(3), std::chrono::seconds(300));
}

// A server error is shown and tried again on the back-off, and the pass that goes through
// clears it. A refusal of the request itself is not tried again by itself, but the next pass
// that goes through (another start) clears it too. A pause drops a scheduled retry.
TEST_F(FullSyncTest, OtherFailuresAreShownAndPauseDropsAScheduledRetry)
{
    const std::string listing = "/api/v1/files/library";
    h.fake.answerNext(listing, 500, R"({"message":"broken"})");
    auto lane = h.makeLane(folder);
    lane->start();
    ASSERT_TRUE(runUntil([&] { return lane->fullSyncRetryTask().isRunning() && !lane->syncTask().isRunning(); }));
    EXPECT_TRUE(lane->syncState().isError());
    EXPECT_TRUE(lane->lastError());
    EXPECT_EQ(SyncLogger::shared().entries().back().event, SyncLogger::Event::syncFailed);
    EXPECT_FALSE(lane->lastSyncAt());

    h.clock.advance(std::chrono::seconds(60));
    ASSERT_TRUE(runUntil([&] { return lane->lastSyncAt() && !lane->fullSyncRetryTask().isRunning(); }));
    EXPECT_EQ(h.fake.requestsTo("GET", listing).size(), 2u);
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
    EXPECT_FALSE(lane->lastError());

    h.fake.answerNext(listing, 403, R"({"message":"not yours"})");
    lane->start();
    ASSERT_TRUE(runUntil([&] { return lane->syncState().isError() && !lane->syncTask().isRunning(); }));
    EXPECT_TRUE(lane->lastError());
    EXPECT_FALSE(lane->fullSyncRetryTask().isRunning());
    lane->start();
    h.runUntilIdle(*lane);
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
    EXPECT_FALSE(lane->lastError());

    h.fake.rateLimitNext(listing);
    lane->start();
    ASSERT_TRUE(runUntil([&] { return lane->fullSyncRetryTask().isRunning() && !lane->syncTask().isRunning(); }));
    lane->pause();
    EXPECT_FALSE(lane->fullSyncRetryTask().isRunning());
    // Only the watchdog sleeps on: a pause leaves it running.
    runUntil([&] { return h.clock.pendingSleepers() == 1; });
    EXPECT_EQ(h.clock.pendingSleepers(), 1u);
    EXPECT_TRUE(lane->livenessTask().isRunning());
}

TEST_F(FullSyncTest, AStaleBookmarkIsRenewedUnderBothKeys)
{
    const QString moved = h.rootPath + QStringLiteral("/Loops moved");
    ASSERT_TRUE(QDir().rename(root, moved));
    auto lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);

    for (const QString &key : {KeychainVault::folderBookmarkKey(folder->stableID()), KeychainVault::folderBookmarkKey()}) {
        const auto data = h.vault.data(key);
        ASSERT_TRUE(data) << key.toStdString();
        const auto resolved = FolderBookmark::resolve(*data);
        EXPECT_EQ(resolved.path, moved);
        EXPECT_FALSE(resolved.stale);
    }
    EXPECT_EQ(countOf(SyncLogger::Event::bookmarkRefreshed), 1);
    EXPECT_TRUE(h.bookmarks->activeAccesses().isEmpty());
}

TEST_F(FullSyncTest, APassSchedulesTheNextAtTheEarliestRetryTime)
{
    auto lane = h.makeLane(folder);
    const QDateTime now = h.clock.currentDateTime();
    writeFile(root + QStringLiteral("/soon.wav"), "soon");
    auto soon = h.addRecord(*folder, QStringLiteral("soon.wav"), SyncFileStatus::pending, SyncFileDesiredState::uploadPending);
    soon->setNextRetryAt(now.addSecs(45));
    auto later = h.addRecord(*folder, QStringLiteral("later.wav"), SyncFileStatus::pending,
                             SyncFileDesiredState::downloadPending);
    later->setNextRetryAt(now.addSecs(135));
    // Failed for good, or held: no retry time of these starts a pass.
    auto failed = h.addRecord(*folder, QStringLiteral("failed.wav"), SyncFileStatus::error,
                              SyncFileDesiredState::uploadPending);
    failed->setNextRetryAt(now.addSecs(5));
    auto held = h.addRecord(*folder, QStringLiteral("held.wav"), SyncFileStatus::pending,
                            SyncFileDesiredState::downloadHeld);
    held->setNextRetryAt(now.addSecs(15));
    h.context->save();
    lane->setHasLocalChanges(true);
    const auto passes = [] { return logDetails().filter(QStringLiteral("Processing ")); };

    await(lane->processQueue({}));
    EXPECT_THAT(passes(), ElementsAre(QStringLiteral("Processing 4 records with work owed for Loops (slots: 4)")));
    EXPECT_EQ(lane->filesTotalThisPass(), 4);
    EXPECT_EQ(lane->filesPending(), 4);
    EXPECT_TRUE(lane->hasLocalChanges());
    EXPECT_EQ(lane->lastSyncAt(), now);
    EXPECT_EQ(h.records(folder->stableID())[soon->localPath()], owedUpload);
    ASSERT_TRUE(lane->queueRetryTask().isRunning());
    EXPECT_EQ(*h.clock.nextDeadline() - h.clock.now(), std::chrono::seconds(45));

    // The scheduled pass sends the file that was due, then waits for the next retry time.
    h.clock.advance(std::chrono::seconds(45));
    ASSERT_TRUE(runUntil([&] { return passes().size() == 2 && !lane->isProcessingQueue(); }));
    EXPECT_EQ(h.records(folder->stableID())[soon->localPath()], synced);
    EXPECT_EQ(h.serviceFiles()[QStringLiteral("soon.wav")], sha256("soon"));
    ASSERT_TRUE(lane->queueRetryTask().isRunning());
    drainEvents(); // the group commit's stopped timer leaves the clock on a later turn
    EXPECT_EQ(*h.clock.nextDeadline() - h.clock.now(), std::chrono::seconds(135 - 45));
    later->setDesiredState(SyncFileDesiredState::syncedLocal);
    failed->setDesiredState(SyncFileDesiredState::syncedLocal);
    held->setDesiredState(SyncFileDesiredState::syncedLocal);
    h.context->save();

    // Pausing drops the scheduled pass; with nothing owed no other is scheduled.
    lane->pause();
    EXPECT_FALSE(lane->queueRetryTask().isRunning());
    await(lane->processQueue({}));
    EXPECT_EQ(logDetails().back(), QStringLiteral("Derived queue empty for Loops"));
    EXPECT_FALSE(lane->queueRetryTask().isRunning());
}

} // namespace

TEST_F(FullSyncTest, AFolderRenamedAfterItsActivationTakesItsRecordsAlong)
{
    writeFile(root + QStringLiteral("/a.wav"), "a");
    tracked(*folder, QStringLiteral("a.wav"), serve(*folder, QStringLiteral("a.wav"), "a"), "a");
    writeFile(root + QStringLiteral("/Sub/b.wav"), "b");
    tracked(*folder, QStringLiteral("Sub/b.wav"), serve(*folder, QStringLiteral("b.wav"), "b", QStringLiteral("Sub")),
            "b");
    const auto before = h.serviceFiles();
    auto lane = h.makeLane(folder);
    // The activation has resolved the folder; the user renames it while it registers.
    h.fake.delayNext("/api/v1/sync-folders", std::chrono::milliseconds(500));
    lane->start();
    ASSERT_TRUE(runUntil([&] { return !registrations().empty(); }));
    const QString renamed = root + QStringLiteral(" renamed");
    ASSERT_TRUE(QDir().rename(root, renamed));
    h.runUntilIdle(*lane);

    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), before);
    EXPECT_EQ(h.fake.files(h.account).size(), 2u); // nothing sent again at the service's root
    EXPECT_EQ(h.records(folder->stableID()), (std::map<QString, State>{{renamed + QStringLiteral("/a.wav"), synced},
                                                                       {renamed + QStringLiteral("/Sub/b.wav"), synced}}));
    EXPECT_EQ(folder->folderPath(), renamed);
}

TEST_F(FullSyncTest, OneWayFoldersReconcileOnlyTheirOwnDirection)
{
    // Upload only: a service-only file is not fetched; a tracked file deleted here is owed a
    // delete at the service; a new local file is owed an upload.
    auto up = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::uploadOnly, QStringLiteral("Up"));
    const QString upRoot = *up->folderPath();
    serve(*up, QStringLiteral("theirs.wav"), "theirs");
    tracked(*up, QStringLiteral("deleted.wav"), serve(*up, QStringLiteral("deleted.wav"), "d"), "d");
    writeFile(upRoot + QStringLiteral("/mine.wav"), "mine");
    auto upLane = h.makeLane(up);
    std::map<QString, State> upDecided;
    onLogLine(QStringLiteral("Marked "), [&] {
        if (upDecided.empty())
            upDecided = h.records(up->stableID());
    });
    upLane->start();
    h.runUntilIdle(*upLane);
    EXPECT_EQ(upDecided, (std::map<QString, State>{{upRoot + QStringLiteral("/deleted.wav"), owedRemoteDelete},
                                                   {upRoot + QStringLiteral("/mine.wav"), owedUpload}}));

    // Download only: no hashing and no upload lines; a tracked file deleted here is forgotten
    // (and fetched again), never deleted at the service; a local-only file stays untracked.
    SyncLogger::shared().clear();
    auto down = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::downloadOnly, QStringLiteral("Down"));
    const QString downRoot = *down->folderPath();
    const qint64 lost = serve(*down, QStringLiteral("lost.wav"), "lost");
    tracked(*down, QStringLiteral("lost.wav"), lost, "lost");
    serve(*down, QStringLiteral("new.wav"), "new");
    writeFile(downRoot + QStringLiteral("/local.wav"), "local");
    auto downLane = h.makeLane(down);
    h.fake.clearRequestLog();
    downLane->start();
    h.runUntilIdle(*downLane);
    downLane->stop();
    downLane->start();
    h.runUntilIdle(*downLane);
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    EXPECT_EQ(LaneHarness::folderFiles(downRoot), (std::map<QString, QString>{{QStringLiteral("local.wav"), sha256("local")},
                                                                              {QStringLiteral("lost.wav"), sha256("lost")},
                                                                              {QStringLiteral("new.wav"), sha256("new")}}));
    EXPECT_EQ(h.records(down->stableID()), (std::map<QString, State>{{downRoot + QStringLiteral("/lost.wav"), synced},
                                                                     {downRoot + QStringLiteral("/new.wav"), synced}}));
    EXPECT_THAT(logDetails().filter(QStringLiteral("Upload diff")), IsEmpty());
}

// A first sync reads each file once for its checksum: reconciliation hashes it, and the batch
// check and the upload take that checksum while the file is unchanged. The results are those
// of reading every time.
TEST_F(FullSyncTest, AFirstSyncReadsEachFileOnceForItsChecksum)
{
    std::map<QString, QByteArray> contents;
    for (int i = 0; i < 6; ++i)
        contents[root + QStringLiteral("/take%1.wav").arg(i)] = QByteArray("take ") + QByteArray::number(i);
    // Larger than what goes from memory: its upload stages a copy and takes the known checksum.
    contents[root + QStringLiteral("/long.wav")] = QByteArray(1536 * 1024, 'l');
    for (const auto &[path, bytes] : contents)
        writeFile(path, bytes);

    auto lane = h.makeLane(folder);
    ChecksumReads reads;
    reads.install(*lane);
    lane->start();
    h.runUntilIdle(*lane);

    for (const auto &[path, bytes] : contents) {
        const auto record = lane->fetchRecord(path);
        ASSERT_TRUE(record) << path.toStdString();
        EXPECT_EQ(record->syncStatus(), SyncFileStatus::synced) << path.toStdString();
        EXPECT_EQ(record->localChecksum(), sha256(bytes)) << path.toStdString();
        EXPECT_EQ(reads.of(path), 1) << path.toStdString();
    }
}

// What a first sync fetched, hashed and listed is let go once the lane is idle: no record
// object outlives the pass, nor a path or checksum the pre-pass took; of the listing the
// lane keeps only what later passes ask of it.
TEST_F(FullSyncTest, AFirstSyncKeepsNoRecordOrChecksumOnceIdle)
{
    constexpr int fileCount = 40;
    for (int i = 0; i < fileCount; ++i) {
        const QByteArray bytes = QByteArray("take ") + QByteArray::number(i);
        const QString name = QStringLiteral("take%1.wav").arg(i);
        const QString dir = i % 2 ? QStringLiteral("Drums") : QString();
        writeFile(root + u'/' + (dir.isEmpty() ? name : dir + u'/' + name), bytes);
        serve(*folder, name, bytes, dir.isEmpty() ? std::nullopt : std::optional(dir));
    }
    auto lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);

    const auto states = h.records(folder->stableID());
    ASSERT_EQ(states.size(), size_t(fileCount));
    for (const auto &[path, state] : states)
        EXPECT_EQ(state.status, SyncFileStatus::synced) << path.toStdString();
    EXPECT_EQ(h.context->liveObjectCount<SyncFile>(), 0);
    EXPECT_THAT(lane->prePassChecksums(), IsEmpty());
    ASSERT_TRUE(lane->listedFiles());
    EXPECT_EQ(lane->listedFiles()->size(), fileCount);
    EXPECT_TRUE(lane->listedFiles()->holds(sha256("take 3"), QStringLiteral("Drums"), QStringLiteral("take3.wav")));
}

namespace {

// A reconciliation of a folder whose files are all listed and already here, with the lane's
// chunk size at one file (large from largeReconciliationChunks files on).
struct Linking
{
    std::shared_ptr<SyncLane> lane;
    QList<FileSyncAPI::RemoteFile> remote;
    SyncLane::LocalScan scan;
};

} // namespace

TEST_F(FullSyncTest, LargeReconciliationsTakeTurnsAndASmallOneDoesNotWait)
{
    auto link = [&](const std::shared_ptr<SyncFolder> &linked, int files) {
        const QString base = *linked->folderPath();
        Linking made{h.makeLane(linked), {}, {}};
        made.lane->setFullSyncChunkSizeForTesting(1);
        for (int i = 0; i < files; ++i) {
            const QString name = QStringLiteral("take%1.wav").arg(i);
            writeFile(base + u'/' + name, "take " + QByteArray::number(i));
            serve(*linked, name, "take " + QByteArray::number(i));
            made.scan.files.append(base + u'/' + name);
        }
        made.remote = await(h.client->listLibraryFiles(SyncFolderType::projectsFolder,
                                                       linked->stableID().toString(QUuid::WithoutBraces).toUpper()));
        return made;
    };
    auto syncedCount = [&](const SyncFolder &linked) {
        const auto records = h.records(linked.stableID());
        return std::count_if(records.begin(), records.end(), [](const auto &entry) { return entry.second == synced; });
    };
    const int large = int(SyncLane::largeReconciliationChunks) + 2;
    Linking first = link(folder, large);
    auto otherFolder =
        h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Other"));
    Linking second = link(otherFolder, large);
    auto smallFolder =
        h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Small"));
    Linking small = link(smallFolder, int(SyncLane::largeReconciliationChunks) - 1);

    // The first takes the gate at once; the second waits for it.
    bool firstDone = false;
    bool secondDone = false;
    auto run = [](Linking &linking, QString base, bool &done) -> QCoro::Task<> {
        co_await linking.lane->reconcile(linking.remote, linking.scan, {}, std::move(base), {});
        done = true;
    };
    auto firstRun = run(first, root, firstDone);
    EXPECT_TRUE(SyncLane::largeReconciliationGate().isLocked());
    auto secondRun = run(second, *otherFolder->folderPath(), secondDone);

    // A small one runs beside them, whatever holds the gate.
    await(small.lane->reconcile(small.remote, small.scan, {}, *smallFolder->folderPath(), {}));
    EXPECT_EQ(syncedCount(*smallFolder), SyncLane::largeReconciliationChunks - 1);

    // The second records nothing before the first has recorded everything. The first lets go
    // of its turn before its last steps, so the second may be under way when the first is done:
    // the order is watched at every turn of the loop, not only at the end.
    int firstWhenSecondBegan = -1;
    ASSERT_TRUE(runUntil([&] {
        if (firstWhenSecondBegan < 0 && syncedCount(*otherFolder) > 0)
            firstWhenSecondBegan = int(syncedCount(*folder));
        return firstDone && secondDone;
    }));
    EXPECT_EQ(firstWhenSecondBegan, large);
    EXPECT_EQ(syncedCount(*folder), large);
    EXPECT_EQ(syncedCount(*otherFolder), large);
    EXPECT_FALSE(SyncLane::largeReconciliationGate().isLocked());
}

TEST_F(FullSyncTest, ALinkThatWaitsForItsTurnLetsGoOfItsListingAndAsksAgain)
{
    auto lane = h.makeLane(folder);
    lane->setFullSyncChunkSizeForTesting(1);
    const int files = int(SyncLane::largeReconciliationChunks) + 1;
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("take%1.wav").arg(i);
        writeFile(root + u'/' + name, "take " + QByteArray::number(i));
        serve(*folder, name, "take " + QByteArray::number(i));
    }
    auto listings = [&] { return h.fake.requestsTo("GET", "/api/v1/files/library").size(); };

    // Another large folder's turn runs: the listing shows this one large, and it waits.
    auto other = SyncLane::largeReconciliationGate().tryLock();
    ASSERT_TRUE(other);
    lane->start();
    ASSERT_TRUE(runUntil([&] { return lane->isWaitingForTurn(); }));
    EXPECT_EQ(listings(), 1u);
    EXPECT_TRUE(h.records(folder->stableID()).empty());

    // Its turn: a listing of now, then every file here recorded.
    other.reset();
    h.runUntilIdle(*lane);
    EXPECT_FALSE(lane->isWaitingForTurn());
    EXPECT_EQ(listings(), 2u);
    const auto records = h.records(folder->stableID());
    EXPECT_EQ(records.size(), size_t(files));
    EXPECT_TRUE(std::all_of(records.begin(), records.end(), [](const auto &entry) { return entry.second == synced; }));
    EXPECT_FALSE(SyncLane::largeReconciliationGate().isLocked());
    lane->stop();
}
