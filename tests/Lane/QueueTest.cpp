#include "Lane/LaneTestSupport.h"

#include "Model/LaneQueries.h"
#include "Model/MultipartUploadState.h"
#include "Model/OperationResolution.h"
#include "Platform/Http/LocalFileError.h"
#include "Platform/Http/TransportError.h"
#include "ServiceAPI/HarborlyAPIError.h"
#include "ServiceAPI/LibraryAPIClient.h"

#include <gmock/gmock.h>

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <string>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

using State = LaneHarness::RecordState;
using namespace std::chrono_literals;

class QueueTest : public LaneTest
{
protected:
    void SetUp() override
    {
        LaneTest::SetUp();
        folder = h.addFolder(SyncFolderType::projectsFolder);
        lane = h.makeLane(folder);
    }

    std::shared_ptr<SyncFile> addUpload(const QString &name, const QByteArray &bytes = "bytes")
    {
        QFile file(*folder->folderPath() + u'/' + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes + name.toUtf8());
        file.close();
        auto record = h.addRecord(*folder, name, SyncFileStatus::pending, SyncFileDesiredState::uploadPending);
        record->setFileUUID(QUuid::createUuid().toString(QUuid::WithoutBraces));
        h.context->save();
        return record;
    }

    // One queue pass, run to its end (the rate-limit wait moves the manual clock).
    void runPass()
    {
        auto body = [l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); };
        pass = TaskHandle::start(std::move(body));
        h.runUntilIdle(*lane);
    }

    // Starts a queue pass and acts once one of its requests is held by a delay of the fake:
    // the transfer is then surely under way, however slowly the pass got there.
    void startPassActingMidTransfer(const std::function<void()> &act)
    {
        h.fake.takeMostDelayedAtOnce();
        auto body = [l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); };
        pass = TaskHandle::start(std::move(body));
        ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; })) << "no request was held";
        act();
    }

    std::shared_ptr<SyncFile> stored(const QString &name)
    {
        reader = std::make_unique<ModelContext>(h.container);
        return reader->fetchFirst(SyncFile::withLocalPath(*folder->folderPath() + u'/' + name));
    }

    std::vector<std::shared_ptr<OperationResolution>> journal()
    {
        reader = std::make_unique<ModelContext>(h.container);
        return reader->fetch(FetchDescriptor<OperationResolution>());
    }

    // The outcomes of the journal's rows, oldest first (a success is journaled too).
    QStringList outcomes()
    {
        QStringList list;
        for (const auto &row : journal())
            list.append(row->outcome());
        return list;
    }

    std::shared_ptr<SyncFolder> folder;
    std::shared_ptr<SyncLane> lane;
    TaskHandle pass;
};

TEST_F(QueueTest, FourSlotsAtMostAndEveryFileReachesTheService)
{
    for (int i = 0; i < 6; ++i)
        addUpload(QStringLiteral("take-%1.wav").arg(i));
    // Four are held at the service until all four are in (and no fifth came), so the count
    // does not hang on how fast each slot got there.
    const int slots = 4;
    h.fake.gatherNext("/api/v1/files/check-hash", slots);
    h.fake.takeMostDelayedAtOnce();
    runPass();

    EXPECT_EQ(h.fake.takeMostDelayedAtOnce(), slots);
    for (const auto &[path, state] : h.records(folder->stableID()))
        EXPECT_EQ(state, (State{SyncFileStatus::synced, SyncFileDesiredState::syncedLocal})) << path.toStdString();
    EXPECT_THAT(h.serviceFiles(), SizeIs(6));
    EXPECT_EQ(lane->filesCompletedThisPass(), 6);
    EXPECT_EQ(lane->filesSyncing(), 0);
    const QStringList lines = logDetails();
    const auto start = lines.indexOf(QStringLiteral("→ uploadPending take-3.wav"));
    ASSERT_GE(start, 0);
    EXPECT_GT(lines.indexOf(QStringLiteral("✓ take-3.wav")), start);
}

TEST_F(QueueTest, PendingCountFollowsChangesMadeElsewhereDuringThePass)
{
    addUpload(QStringLiteral("a.wav"));
    addUpload(QStringLiteral("b.wav"));
    h.fake.delayNext("/api/v1/files/check-hash", 300ms, -1);
    QList<qint64> pendingWhenIdle;
    auto &calls = h.calls(*lane);
    lane->setCallbacks({[&, l = lane.get()] {
                            ++calls.stateChanged;
                            if (l->filesSyncing() == 0)
                                pendingWhenIdle.append(l->filesPending());
                        },
                        {}, {}});
    // While the uploads are in flight another context makes a third record owe work (held, so
    // the queue does not take it).
    startPassActingMidTransfer([this] {
        ModelContext other(h.container);
        auto record = other.insert(std::make_shared<SyncFile>(*folder->folderPath() + QStringLiteral("/held.wav"), QStringLiteral("held.wav")));
        record->setFolderID(folder->stableID());
        record->setDesiredState(SyncFileDesiredState::downloadHeld);
        other.save();
    });
    h.runUntilIdle(*lane);

    // Both finishes were counted exactly: the one left owing work is the held record.
    ASSERT_FALSE(pendingWhenIdle.isEmpty());
    EXPECT_EQ(pendingWhenIdle.last(), 1);
    EXPECT_EQ(fetchOutstandingRecordCount(*h.context, folder->stableID()), 1);
}

TEST_F(QueueTest, TransientFailuresFollowTheBackOffThenGiveUp)
{
    addUpload(QStringLiteral("loop.wav"));
    h.fake.answerNext("/api/v1/files/check-hash", 503, R"({"message":"busy"})", -1);
    const QDateTime start = h.clock.currentDateTime();

    // Each retry comes from the pass the previous one scheduled at its retry time: the
    // clock moves only to those times, so the moments of dispatch are the back-off.
    QList<qint64> dispatchedAt;
    QList<qint64> retriesBefore;
    auto &calls = h.calls(*lane);
    qint64 syncing = 0;
    lane->setCallbacks({[&, l = lane.get()] {
                            ++calls.stateChanged;
                            if (l->filesSyncing() > syncing) {
                                dispatchedAt.append(start.secsTo(h.clock.currentDateTime()));
                                retriesBefore.append(stored(QStringLiteral("loop.wav"))->retryCount());
                            }
                            syncing = l->filesSyncing();
                        },
                        {}, {}});
    runPass();

    EXPECT_THAT(dispatchedAt, ElementsAre(0, 5, 20, 65, 200));
    EXPECT_THAT(retriesBefore, ElementsAre(0, 1, 2, 3, 4));
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/check-hash"), SizeIs(5));
    EXPECT_EQ(lane->lastError(), QStringLiteral("Server error (503): busy"));

    const auto record = stored(QStringLiteral("loop.wav"));
    EXPECT_EQ(record->syncStatus(), SyncFileStatus::error);
    EXPECT_EQ(record->retryCount(), 5);
    EXPECT_EQ(record->errorMessage(), QStringLiteral("Service temporarily unavailable"));
    EXPECT_FALSE(record->nextRetryAt());
    EXPECT_EQ(start.secsTo(h.clock.currentDateTime()), 5 + 15 + 45 + 135);
    EXPECT_THAT(logDetails().filter(QStringLiteral("Exhausted retries for loop.wav: Server error (503)")), SizeIs(1));
    const auto rows = journal();
    ASSERT_THAT(rows, SizeIs(1));
    EXPECT_EQ(rows[0]->outcome(), QStringLiteral("failedTransient"));
    EXPECT_EQ(rows[0]->operationType(), QStringLiteral("upload"));
    ASSERT_THAT(lane->syncErrors(), SizeIs(1));
    EXPECT_EQ(lane->syncErrors()[0].errorMessage, QStringLiteral("Service temporarily unavailable"));

    // An errored record is not taken again.
    const auto requests = h.fake.requestsTo("POST", "/api/v1/files/check-hash").size();
    h.clock.advance(600s);
    runPass();
    EXPECT_EQ(h.fake.requestsTo("POST", "/api/v1/files/check-hash").size(), requests);
}

TEST_F(QueueTest, ARateLimitHoldsTheSlotFiveSecondsAndKeepsTheRetryCount)
{
    addUpload(QStringLiteral("kick.wav"));
    h.fake.rateLimitNext("/api/v1/files/check-hash");
    const auto before = h.clock.now();
    runPass();

    // In whole seconds: a loaded machine lets the harness move the clock for the group commit's
    // few milliseconds while a request is under way.
    EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(h.clock.now() - before), SyncLane::rateLimitWait);
    const auto record = stored(QStringLiteral("kick.wav"));
    EXPECT_EQ(record->syncStatus(), SyncFileStatus::synced); // taken again at once, then sent
    EXPECT_EQ(record->retryCount(), 0);
    EXPECT_THAT(outcomes(), ElementsAre(QStringLiteral("succeeded")));
    EXPECT_FALSE(lane->lastError());
    const auto &entries = SyncLogger::shared().entries();
    const auto line = std::find_if(entries.begin(), entries.end(), [](const auto &entry) {
        return entry.event == SyncLogger::Event::pendingRetry;
    });
    ASSERT_NE(line, entries.end());
    EXPECT_EQ(line->filename, QStringLiteral("kick.wav"));
    EXPECT_EQ(line->detail, QStringLiteral("Rate limited — retrying in 5s"));
}

TEST_F(QueueTest, StorageFullAndPermanentRefusalsAreRecordedWithTheirMessages)
{
    addUpload(QStringLiteral("full.wav"));
    h.fake.storageFullNext("/api/v1/files/check-hash");
    runPass();
    auto record = stored(QStringLiteral("full.wav"));
    EXPECT_EQ(record->syncStatus(), SyncFileStatus::error);
    EXPECT_EQ(record->errorMessage(), QStringLiteral("Storage limit reached"));
    EXPECT_EQ(h.calls(*lane).storageFull, 1);
    EXPECT_EQ(lane->lastError(), QStringLiteral("Storage limit reached"));
    EXPECT_THAT(logDetails(), Contains(QStringLiteral("Storage full [507] full.wav")));

    addUpload(QStringLiteral("odd.wav"));
    h.fake.answerNext("/api/v1/files/check-hash", 418, R"({"message":"teapot"})");
    runPass();
    record = stored(QStringLiteral("odd.wav"));
    EXPECT_EQ(record->syncStatus(), SyncFileStatus::error);
    EXPECT_EQ(record->errorMessage(), QStringLiteral("Upload rejected (error 418)"));
    EXPECT_EQ(record->retryCount(), 0);
    const auto rows = journal();
    ASSERT_THAT(rows, SizeIs(2));
    for (const auto &row : rows) {
        EXPECT_EQ(row->outcome(), QStringLiteral("failedPermanent"));
        EXPECT_EQ(row->operationType(), QStringLiteral("upload"));
    }
    EXPECT_EQ(lane->syncErrors()[0].filename, QStringLiteral("odd.wav"));
    EXPECT_EQ(h.calls(*lane).storageFull, 1);
}

TEST_F(QueueTest, ADownloadRefusedForItsTokenIsRetriedNotRejected)
{
    auto download = h.addRecord(*folder, QStringLiteral("remote.wav"), SyncFileStatus::pending,
                                SyncFileDesiredState::downloadPending);
    download->setRemoteId(4242); // not at the service: once let through, the download is refused for good
    h.context->save();
    h.fake.answerNext("/api/v1/files/library/*", 401, R"({"message":"expired"})");
    h.fake.answerNext("/api/v1/files/library/*", 421, R"({"message":"elsewhere"})");
    const auto before = h.clock.now();
    runPass();

    // Both refusals were retried on the back-off (5 s, then 15 s); the 404 that followed
    // says the file is gone at the service: nothing was here, so the record goes, with no
    // error left behind by the refusals either.
    EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(h.clock.now() - before), 20s);
    EXPECT_FALSE(stored(QStringLiteral("remote.wav")));
    const auto rows = journal();
    ASSERT_THAT(rows, SizeIs(1));
    EXPECT_EQ(rows[0]->operationType(), QStringLiteral("deleteLocal"));
    EXPECT_EQ(rows[0]->outcome(), QStringLiteral("succeeded"));
    EXPECT_FALSE(lane->lastError());
    EXPECT_THAT(lane->syncErrors(), IsEmpty());
}

TEST_F(QueueTest, AFileChangedDuringItsTransferGoesAgain)
{
    auto edited = addUpload(QStringLiteral("edit.wav"));
    h.fake.delayNext("/api/v1/files/check-hash", 200ms);
    startPassActingMidTransfer([&] {
        edited->setGeneration(edited->generation() + 1);
        h.context->save();
    });
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.fake.requestsTo("POST", "/api/v1/files/check-hash").size(), 2u);
    EXPECT_EQ(stored(QStringLiteral("edit.wav"))->syncStatus(), SyncFileStatus::synced);

    // A failure of the version that changed is no failure of the file.
    auto refused = addUpload(QStringLiteral("refused.wav"));
    h.fake.delayNext("/api/v1/files/check-hash", 200ms);
    h.fake.answerNext("/api/v1/files/check-hash", 422, R"({"message":"format"})");
    startPassActingMidTransfer([&] {
        refused->setGeneration(refused->generation() + 1);
        h.context->save();
    });
    h.runUntilIdle(*lane);
    const auto record = stored(QStringLiteral("refused.wav"));
    EXPECT_EQ(record->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(record->retryCount(), 0);
    // Two uploads of edit.wav, the second of refused.wav; no failure.
    EXPECT_THAT(outcomes(), ElementsAre(QStringLiteral("succeeded"), QStringLiteral("succeeded"),
                                        QStringLiteral("succeeded")));
}

TEST_F(QueueTest, AStoppedPassLeavesNothingSyncingAndCountsNoFailure)
{
    for (int i = 0; i < 3; ++i)
        addUpload(QStringLiteral("stem-%1.wav").arg(i));
    // Held long enough that none is answered before the pause, however slowly the three start.
    h.fake.delayNext("/api/v1/files/check-hash", 30s, -1);
    auto body = [l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); };
    pass = TaskHandle::start(std::move(body));
    int heldAtOnce = 0;
    ASSERT_TRUE(runUntil([&] {
        heldAtOnce = std::max(heldAtOnce, h.fake.takeMostDelayedAtOnce());
        return heldAtOnce == 3;
    }));
    lane->pause();
    pass.cancel(); // the lane's pass task, as pause cancels it
    h.runUntilIdle(*lane);

    for (const auto &[path, state] : h.records(folder->stableID()))
        EXPECT_EQ(state, (State{SyncFileStatus::pending, SyncFileDesiredState::uploadPending})) << path.toStdString();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(stored(QStringLiteral("stem-%1.wav").arg(i))->retryCount(), 0);
    EXPECT_THAT(lane->syncErrors(), IsEmpty());
    EXPECT_FALSE(lane->lastError());
    EXPECT_THAT(journal(), IsEmpty());
}

TEST_F(QueueTest, AFailedJournalSaveUndoesOnlyThatRecordWhichGoesAgainLater)
{
    addUpload(QStringLiteral("bad.wav"));
    h.container->execute("CREATE TEMP TRIGGER refuse_journal BEFORE INSERT ON OperationResolution "
                         "BEGIN SELECT RAISE(ABORT, 'disk full'); END",
                         StoreError::Kind::saveFailed);
    h.fake.answerNext("/api/v1/files/check-hash", 400, R"({"message":"nope"})");
    h.fake.delayNext("/api/v1/files/check-hash", 200ms);
    // Unsaved work of someone else in the same context, made while the upload runs. The pass
    // alone: what it schedules stays on the clock until the store takes rows again.
    startPassActingMidTransfer([&] { folder->setDeltaCursor(QStringLiteral("cursor-7")); });
    ASSERT_TRUE(runUntil([&] { return !pass.isRunning(); }));

    EXPECT_EQ(folder->deltaCursor(), QStringLiteral("cursor-7"));
    h.container->execute("DROP TRIGGER refuse_journal", StoreError::Kind::saveFailed);
    h.context->save();
    EXPECT_EQ(storedFolder(folder->stableID())->deltaCursor(), QStringLiteral("cursor-7"));
    EXPECT_THAT(journal(), IsEmpty());
    EXPECT_EQ(lane->lastError(), QStringLiteral("Upload rejected — invalid request"));
    // Not left "syncing" (only the next process would set it back): queued on the back-off.
    const auto record = stored(QStringLiteral("bad.wav"));
    EXPECT_EQ(record->syncStatus(), SyncFileStatus::pending);
    EXPECT_EQ(record->retryCount(), 1);
    EXPECT_EQ(record->nextRetryAt(), h.clock.currentDateTime().addSecs(5));
    ASSERT_TRUE(lane->queueRetryTask().isRunning());

    // The pass at its retry time sends it, and that outcome is journaled.
    h.runUntilIdle(*lane);
    EXPECT_EQ(stored(QStringLiteral("bad.wav"))->syncStatus(), SyncFileStatus::synced);
    EXPECT_THAT(h.serviceFiles(), Contains(::testing::Key(QStringLiteral("bad.wav"))));
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/check-hash"), SizeIs(2));
    EXPECT_THAT(outcomes(), ElementsAre(QStringLiteral("succeeded")));
}

TEST_F(QueueTest, APassAskedForWhileAStoppedPassDrainsRunsAfterIt)
{
    // The running upload goes multipart, so a stop leaves it aborting at the service, which
    // is sent without the stop and held here: the old pass drains that long.
    h.client->setMultipartThresholdForTesting(1);
    const QString root = *folder->folderPath();
    writeFile(root + QStringLiteral("/first.wav"), "first take");
    h.fake.delayNext("/api/v1/files/multipart/presign-parts", 10s);
    h.fake.delayNext("/api/v1/files/multipart/abort", 1500ms);
    lane->start();
    // Held once the part's address is asked for.
    ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; }));

    lane->stop();
    writeFile(root + QStringLiteral("/second.wav"), "second take");
    lane->start();
    // The new activation asks for its pass while the old one still runs.
    ASSERT_TRUE(runUntil([&] {
        return !logDetails().filter(QStringLiteral("Queue already processing for Loops")).isEmpty();
    }));
    ASSERT_TRUE(lane->isProcessingQueue());
    EXPECT_FALSE(lane->isSettled());

    // Nothing else asks again: the pass that was asked for sends both files.
    h.runUntilIdle(*lane);
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/multipart/abort"), SizeIs(1));
    EXPECT_EQ(h.serviceFiles(),
              (std::map<QString, QString>{{QStringLiteral("first.wav"), sha256("first take")},
                                          {QStringLiteral("second.wav"), sha256("second take")}}));
    for (const auto &[path, state] : h.records(folder->stableID()))
        EXPECT_EQ(state, synced) << path.toStdString();
    EXPECT_FALSE(lane->isProcessingQueue());
}

TEST_F(QueueTest, AMultipartUploadIsInTheStoreOnlyWhileTheServiceHoldsItOpen)
{
    h.client->setMultipartThresholdForTesting(1);
    addUpload(QStringLiteral("stem.wav"));
    const QString path = *folder->folderPath() + QStringLiteral("/stem.wav");
    auto storedStates = [&] {
        reader = std::make_unique<ModelContext>(h.container);
        return reader->fetch(FetchDescriptor<MultipartUploadState>());
    };
    // The first upload's part fails every time it is sent, so that upload is aborted; the
    // retry on the back-off completes another.
    h.fake.failPart(1, LibraryAPIClient::attemptsPerPart, 500);
    h.fake.delayNext("/storage/uploads/*", 300ms);
    std::vector<std::shared_ptr<MultipartUploadState>> whileOpen;
    std::vector<FakeMultipartUpload> opened;
    startPassActingMidTransfer([&] {
        whileOpen = storedStates();
        opened = h.fake.multipartUploads();
    });
    h.runUntilIdle(*lane);

    ASSERT_THAT(opened, SizeIs(1));
    ASSERT_THAT(whileOpen, SizeIs(1));
    EXPECT_EQ(whileOpen[0]->uploadId(), opened[0].uploadId);
    EXPECT_EQ(whileOpen[0]->oid(), opened[0].oid);
    EXPECT_EQ(whileOpen[0]->localPath(), path);
    EXPECT_EQ(QFileInfo(whileOpen[0]->stagedPath()).path(), LibraryAPIClient::stagingFolder());
    EXPECT_EQ(whileOpen[0]->folderID(), folder->stableID());
    const auto uploads = h.fake.multipartUploads();
    ASSERT_THAT(uploads, SizeIs(2));
    EXPECT_EQ(uploads[0].state, FakeMultipartUpload::State::aborted);
    EXPECT_EQ(uploads[1].state, FakeMultipartUpload::State::completed);
    EXPECT_THAT(storedStates(), IsEmpty());
    EXPECT_EQ(stored(QStringLiteral("stem.wav"))->syncStatus(), SyncFileStatus::synced);
}

TEST_F(QueueTest, ALocalNameClashIsAnErrorOfItsOwnNotANetworkRetry)
{
    const auto serve = [this](const SyncFolder &in, const QString &drivePath, const QString &name) {
        FakeLibraryFile file;
        file.accountId = h.account;
        file.filename = name;
        file.folderType = QStringLiteral("drive");
        file.syncFolderUUID = in.stableID().toString(QUuid::WithoutBraces).toUpper();
        file.drivePath = drivePath;
        file.content = name.toUtf8();
        return h.fake.addFile(file);
    };
    const auto downloads = [this](qint64 id) {
        return h.fake.requestsTo("GET", "/api/v1/files/library/" + std::to_string(id)).size();
    };

    // A folder of the user's where the service has a file of that name.
    const QString root = *folder->folderPath();
    writeFile(root + QStringLiteral("/Drums/kick.wav/x.wav"), "the user's take");
    const qint64 kick = serve(*folder, QStringLiteral("Drums"), QStringLiteral("kick.wav"));
    lane->start();
    h.runUntilIdle(*lane);

    const QString message =
        QStringLiteral("Cannot write kick.wav: a folder or link of that name is in the way");
    const auto record = stored(QStringLiteral("Drums/kick.wav"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->syncStatus(), SyncFileStatus::error);
    EXPECT_EQ(record->errorMessage(), message);
    EXPECT_EQ(record->retryCount(), 0);
    // Not retried: no pass waits for a retry time, and the file was not fetched again.
    EXPECT_FALSE(lane->queueRetryTask().isRunning());
    EXPECT_LE(downloads(kick), 1u);
    ASSERT_THAT(lane->syncErrors(), SizeIs(1));
    EXPECT_EQ(lane->syncErrors()[0].filename, QStringLiteral("kick.wav"));
    EXPECT_EQ(lane->syncErrors()[0].errorMessage, message);
    EXPECT_EQ(lane->lastError(), message);
    EXPECT_THAT(outcomes(), Contains(QStringLiteral("failedPermanent")));
    EXPECT_EQ(
        LaneHarness::folderFiles(root),
        (std::map<QString, QString>{{QStringLiteral("Drums/kick.wav/x.wav"), sha256("the user's take")}}));

    // The service itself holding a file and a folder of one name: whichever comes second
    // finds the first in its way.
    auto other = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional,
                             QStringLiteral("Beats"));
    auto second = h.makeLane(other);
    const qint64 pad = serve(*other, QStringLiteral("Pads"), QStringLiteral("pad.wav"));
    const qint64 air = serve(*other, QStringLiteral("Pads/pad.wav"), QStringLiteral("air.wav"));
    second->start();
    h.runUntilIdle(*second);
    EXPECT_FALSE(second->queueRetryTask().isRunning());
    EXPECT_LE(downloads(pad) + downloads(air), 2u);
    ModelContext reader(h.container);
    int clashes = 0;
    for (const auto &file : reader.fetch(SyncFile::inFolder(other->stableID()))) {
        SCOPED_TRACE(file->localPath().toStdString());
        if (file->syncStatus() == SyncFileStatus::synced)
            continue;
        ++clashes;
        EXPECT_EQ(file->syncStatus(), SyncFileStatus::error);
        EXPECT_EQ(file->retryCount(), 0);
        EXPECT_TRUE(
            file->errorMessage()->startsWith(QStringLiteral("Cannot write %1: ").arg(file->filename())));
        EXPECT_TRUE(file->errorMessage()->contains(QStringLiteral(" is in the way")));
    }
    EXPECT_EQ(clashes, 1);
}

TEST_F(QueueTest, ConflictResolutionsGoFirstAndRecordsWaitToSettle)
{
    auto upload = addUpload(QStringLiteral("old.wav"));
    upload->setLocalModifiedAt(h.clock.currentDateTime().addSecs(-60));
    auto resolve = h.addRecord(*folder, QStringLiteral("resolve.wav"), SyncFileStatus::pending,
                               SyncFileDesiredState::conflictResolutionPending);
    resolve->setLocalModifiedAt(h.clock.currentDateTime().addSecs(-1));
    auto fresh = addUpload(QStringLiteral("fresh.wav"));
    fresh->setLocalModifiedAt(h.clock.currentDateTime().addMSecs(-200));
    h.context->save();
    const auto start = h.clock.now();
    // The first pass leaves the file that has not settled; the pass it schedules sends it
    // once it has, with nothing else asking.
    std::optional<SyncFileStatus> freshAfterFirstPass;
    onLogLine(QStringLiteral("→ uploadPending old.wav"), [&] {
        freshAfterFirstPass = stored(QStringLiteral("fresh.wav"))->syncStatus();
    });
    std::optional<Clock::Duration> freshSentAt;
    onLogLine(QStringLiteral("→ uploadPending fresh.wav"), [&] { freshSentAt = h.clock.now() - start; });
    runPass();

    const QStringList lines = logDetails().filter(QStringLiteral("→ "));
    EXPECT_THAT(lines, ElementsAre(QStringLiteral("→ conflictResolutionPending resolve.wav"),
                                   QStringLiteral("→ uploadPending old.wav"), QStringLiteral("→ uploadPending fresh.wav")));
    EXPECT_EQ(h.records(folder->stableID())[resolve->localPath()],
              (State{SyncFileStatus::conflict, SyncFileDesiredState::syncedLocal}));
    EXPECT_EQ(freshAfterFirstPass, SyncFileStatus::pending);
    EXPECT_EQ(stored(QStringLiteral("fresh.wav"))->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(freshSentAt, Clock::Duration(200ms));
}

// An edit whose settle window ends while the pass that found it unsettled is ending (a busy
// machine) is sent by a pass of its own, with nothing else asking; and a pass asked for while
// a change settles waits for it once: no pre-pass, no hash check until it is due.
TEST_F(QueueTest, AChangeThatSettlesWhileThePassEndsIsStillSentAndIsWaitedForOnce)
{
    auto old = addUpload(QStringLiteral("old.wav"));
    old->setLocalModifiedAt(h.clock.currentDateTime().addSecs(-60));
    auto edited = addUpload(QStringLiteral("edited.wav"));
    edited->setLocalModifiedAt(h.clock.currentDateTime().addMSecs(-100));
    h.context->save();

    // The clock moves past the edit's window after the pass took its last look, as the pass
    // stores what it did.
    bool sentOld = false;
    bool moved = false;
    onLogLine(QStringLiteral("✓ old.wav"), [&] { sentOld = true; });
    QObject::connect(h.container.get(), &ModelContainer::saved, &logWatch, [&] {
        if (sentOld && !std::exchange(moved, true))
            h.clock.advance(SyncLane::settleWindow);
    });
    auto body = [l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); };
    pass = TaskHandle::start(std::move(body));
    ASSERT_TRUE(runUntil([&] { return !pass.isRunning(); }));
    ASSERT_TRUE(moved);
    EXPECT_EQ(stored(QStringLiteral("edited.wav"))->syncStatus(), SyncFileStatus::pending);
    // Due at once: a pass is owed now, not at some later change.
    ASSERT_TRUE(lane->queueRetryTask().isRunning());
    EXPECT_TRUE(runUntil([&] { return stored(QStringLiteral("edited.wav"))->syncStatus() == SyncFileStatus::synced; }));

    // A change still settling: the passes asked for meanwhile check nothing and send nothing.
    h.runUntilIdle(*lane);
    SyncLogger::shared().clear();
    auto fresh = addUpload(QStringLiteral("fresh.wav"));
    fresh->setLocalModifiedAt(h.clock.currentDateTime());
    h.context->save();
    const auto checksBefore = h.fake.requestLog().size();
    for (int i = 0; i < 3; ++i) {
        pass = TaskHandle::start([l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); });
        ASSERT_TRUE(runUntil([&] { return !pass.isRunning(); }));
    }
    EXPECT_THAT(logDetails().filter(QStringLiteral("Batch pre-pass")), IsEmpty());
    EXPECT_EQ(h.fake.requestLog().size(), checksBefore);
    ASSERT_TRUE(lane->queueRetryTask().isRunning());
    EXPECT_EQ(*h.clock.nextDeadline() - h.clock.now(), Clock::Duration(SyncLane::settleWindow));
    h.runUntilIdle(*lane);
    EXPECT_EQ(stored(QStringLiteral("fresh.wav"))->syncStatus(), SyncFileStatus::synced);
    EXPECT_THAT(logDetails().filter(QStringLiteral("Batch pre-pass: 1 pending")), SizeIs(1));
}

// Copies of one new content wait behind the first while it is on its way, and the next
// dispatches take them as soon as their group is released (here by a failed confirmation).
TEST_F(QueueTest, HeldCopiesAreLeftOutOnlyWhileTheirGroupIsHeld)
{
    const QByteArray pad("one pad in three places");
    for (const QString &name : {QStringLiteral("a.wav"), QStringLiteral("b.wav"), QStringLiteral("c.wav")}) {
        QFile file(*folder->folderPath() + u'/' + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(pad);
        file.close();
        h.addRecord(*folder, name, SyncFileStatus::pending, SyncFileDesiredState::uploadPending);
    }
    addUpload(QStringLiteral("other.wav"));
    await(lane->runBatchPrePass({}));
    const QString hash = sha256(pad);
    QStringList held;
    for (const auto &entry : lane->heldDuplicates().value(hash))
        held.append(QFileInfo(entry.first).fileName());
    ASSERT_THAT(held, SizeIs(2));

    auto dispatchAll = [&] {
        QStringList names;
        while (const auto record = lane->dequeueDueRecords())
            names.append(record->filename());
        names.sort();
        return names;
    };
    const QStringList first = dispatchAll();
    ASSERT_THAT(first, SizeIs(2));
    EXPECT_TRUE(first.contains(QStringLiteral("other.wav")));
    for (const QString &name : held)
        EXPECT_FALSE(first.contains(name)) << name.toStdString();

    h.fake.answerNext("/api/v1/files/batch-dedup-confirm", 503);
    await(lane->confirmHeldDuplicates(hash, {}));
    ASSERT_THAT(lane->heldDuplicates(), IsEmpty());
    held.sort();
    EXPECT_EQ(dispatchAll(), held);
}

TEST(QueueRules, ErrorClassification)
{
    const auto server = [](int status, const QString &message) {
        return std::make_exception_ptr(HarborlyAPIError::serverError(status, message));
    };
    const auto network = [](TransportError::Code code) {
        return std::make_exception_ptr(
            HarborlyAPIError::networkError(std::make_exception_ptr(TransportError(code)), QStringLiteral("x")));
    };
    EXPECT_TRUE(SyncLane::isRateLimited(server(429, QString())));
    EXPECT_TRUE(SyncLane::isRateLimited(server(400, QStringLiteral("quota 429 reached"))));
    EXPECT_FALSE(SyncLane::isRateLimited(server(428, QStringLiteral("slow"))));
    // Digits in a local or transport text are not the service speaking.
    EXPECT_FALSE(SyncLane::isRateLimited(std::make_exception_ptr(std::runtime_error("take-429.wav unreadable"))));
    EXPECT_FALSE(SyncLane::isRateLimited(network(TransportError::Code::timedOut)));
    EXPECT_FALSE(SyncLane::isRateLimited(nullptr));

    EXPECT_TRUE(SyncLane::isNetworkError(network(TransportError::Code::timedOut)));
    EXPECT_TRUE(SyncLane::isNetworkError(network(TransportError::Code::notConnected)));
    EXPECT_TRUE(SyncLane::isNetworkError(std::make_exception_ptr(TransportError(TransportError::Code::cannotFindHost))));
    EXPECT_FALSE(SyncLane::isNetworkError(network(TransportError::Code::badServerResponse)));
    EXPECT_FALSE(SyncLane::isNetworkError(server(503, QString())));
    EXPECT_FALSE(SyncLane::isNetworkError(std::make_exception_ptr(LocalFileError(28))));

    EXPECT_EQ(SyncLane::localErrorNumber(std::make_exception_ptr(LocalFileError(ENOSPC))), ENOSPC);
    const auto wrapped = HarborlyAPIError::networkError(std::make_exception_ptr(LocalFileError(EISDIR)),
                                                        QStringLiteral("x"));
    EXPECT_EQ(SyncLane::localErrorNumber(std::make_exception_ptr(wrapped)), EISDIR);
    EXPECT_EQ(SyncLane::localErrorNumber(network(TransportError::Code::timedOut)), std::nullopt);
    // A clash, a refusal or a read-only disk answers the same every time; a full disk may pass.
    for (const int clash : {EEXIST, EISDIR, ENOTDIR, EACCES, EPERM, EROFS})
        EXPECT_FALSE(SyncLane::isTransientLocalError(clash)) << clash;
    for (const int passing : {ENOSPC, EIO})
        EXPECT_TRUE(SyncLane::isTransientLocalError(passing)) << passing;
}

TEST(QueueRules, UserMessagesAndBackOff)
{
    EXPECT_EQ(SyncLane::userMessage(std::nullopt), QStringLiteral("Network error — please check your connection"));
    EXPECT_EQ(SyncLane::userMessage(404), QStringLiteral("Upload target not found"));
    EXPECT_EQ(SyncLane::userMessage(413), QStringLiteral("File too large to upload"));
    EXPECT_EQ(SyncLane::userMessage(418), QStringLiteral("Upload rejected (error 418)"));
    EXPECT_EQ(SyncLane::userMessage(499), QStringLiteral("Upload rejected (error 499)"));
    EXPECT_EQ(SyncLane::userMessage(501), QStringLiteral("Server error — try again later"));
    EXPECT_EQ(SyncLane::userMessage(503), QStringLiteral("Service temporarily unavailable"));
    EXPECT_EQ(SyncLane::userMessage(507), QStringLiteral("Storage limit reached"));
    EXPECT_EQ(SyncLane::userMessage(302), QStringLiteral("Sync error (code 302)"));
    EXPECT_EQ(SyncLane::userMessage(399), QStringLiteral("Sync error (code 399)"));
    using D = SyncFileDesiredState;
    EXPECT_EQ(SyncLane::localFileMessage(ENOSPC, QStringLiteral("a.wav"), D::uploadPending),
              QStringLiteral("Cannot prepare a.wav for upload: the disk is full"));
    EXPECT_EQ(SyncLane::localFileMessage(EACCES, QStringLiteral("a.wav"), D::deletedLocal),
              QStringLiteral("Cannot remove a.wav: permission denied"));
    EXPECT_EQ(SyncLane::retryDelay(1), 5s);
    EXPECT_EQ(SyncLane::retryDelay(4), 135s);
}

} // namespace
