#include "Lane/LaneTestSupport.h"

#include <gmock/gmock.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

using State = LaneHarness::RecordState;
const State pendingUpload{SyncFileStatus::pending, SyncFileDesiredState::uploadPending};
const State synced{SyncFileStatus::synced, SyncFileDesiredState::syncedLocal};

const std::string hashCheckPath = "/api/v1/files/batch-check-hash";
const std::string confirmPath = "/api/v1/files/batch-dedup-confirm";

class PrePassTest : public LaneTest
{
protected:
    void SetUp() override
    {
        LaneTest::SetUp();
        folder = h.addFolder(SyncFolderType::projectsFolder);
        lane = h.makeLane(folder);
    }

    QString pathOf(const QString &relative) const { return *folder->folderPath() + u'/' + relative; }

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    // A file waiting for its upload, as the watcher intake leaves it.
    std::shared_ptr<SyncFile> pendingFile(const QString &relative, const QByteArray &bytes, qint64 generation = 0)
    {
        writeFile(pathOf(relative), bytes);
        auto record = h.addRecord(*folder, relative, SyncFileStatus::pending, SyncFileDesiredState::uploadPending);
        record->setGeneration(generation);
        h.context->save();
        return record;
    }

    // A library file of this folder at the service, and its entry in the lane's listing.
    qint64 serviceHolds(const QString &drivePath, const QString &name, const QByteArray &bytes)
    {
        FakeLibraryFile file;
        file.accountId = h.account;
        file.filename = name;
        file.folderType = QStringLiteral("drive");
        file.drivePath = drivePath;
        file.content = bytes;
        FileSyncAPI::RemoteFile remote;
        remote.id = h.fake.addFile(file);
        remote.filename = name;
        remote.fileChecksum = sha256(bytes);
        remote.drivePath = drivePath;
        listing.append(remote);
        lane->setLastRemoteFilesForTesting(listing);
        return remote.id;
    }

    std::shared_ptr<SyncFile> stored(const QString &relative)
    {
        reader = std::make_unique<ModelContext>(h.container);
        return reader->fetchFirst(SyncFile::withLocalPath(pathOf(relative)));
    }

    State stateOf(const QString &relative) { return h.records(folder->stableID()).at(pathOf(relative)); }
    void expectStates(const QStringList &relatives, const State &state)
    {
        for (const QString &relative : relatives)
            EXPECT_EQ(stateOf(relative), state) << relative.toStdString();
    }

    // Runs `task` while `during` acts once the fake holds the first request to `path` (the
    // fake logs a request only once it has answered it).
    void runWhileWaiting(const std::string &path, std::function<QCoro::Task<>(std::stop_token)> task,
                         const std::function<void()> &during)
    {
        h.fake.delayNext(path, std::chrono::milliseconds(400));
        h.fake.takeMostDelayedAtOnce();
        auto handle = TaskHandle::start(std::move(task));
        ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; }));
        during();
        ASSERT_TRUE(runUntil([&] { return !handle.isRunning(); }));
    }

    static QJsonArray filesSent(const LoggedRequest &request) { return bodyOf(request)[u"files"].toArray(); }

    std::shared_ptr<SyncFolder> folder;
    std::shared_ptr<SyncLane> lane;
    QList<FileSyncAPI::RemoteFile> listing;
};

TEST_F(PrePassTest, SettlesContentByItsPlaceAndHoldsIdenticalNewFilesBehindOne)
{
    const QByteArray kick("kick drum bytes");
    const QByteArray pad("a new pad, three times");
    const qint64 kickID = serviceHolds(QStringLiteral("Drums"), QStringLiteral("kick.wav"), kick);
    pendingFile(QStringLiteral("Drums/kick.wav"), kick);
    pendingFile(QStringLiteral("Drums/kick copy.wav"), kick); // same content, same folder, new name
    pendingFile(QStringLiteral("Bass/sub.wav"), kick);        // same content elsewhere
    pendingFile(QStringLiteral("Pads/c.wav"), pad, 7);
    pendingFile(QStringLiteral("Keys/b.wav"), pad, 3);
    pendingFile(QStringLiteral("Keys/a.wav"), pad);
    pendingFile(QStringLiteral("Keys/unique.wav"), QByteArray("only once"));
    h.addRecord(*folder, QStringLiteral("Keys/gone.wav"), SyncFileStatus::pending, SyncFileDesiredState::uploadPending);
    h.addRecord(*folder, QStringLiteral("Keys/failed.wav"), SyncFileStatus::error, SyncFileDesiredState::uploadPending);
    writeFile(pathOf(QStringLiteral("Keys/failed.wav")), pad);

    await(lane->runBatchPrePass({}));

    // The listed file is synced under its own id; the copies become pointers of their own.
    EXPECT_EQ(stateOf(QStringLiteral("Drums/kick.wav")), synced);
    EXPECT_EQ(stored(QStringLiteral("Drums/kick.wav"))->remoteId(), kickID);
    for (const QString &relative : {QStringLiteral("Drums/kick copy.wav"), QStringLiteral("Bass/sub.wav")}) {
        SCOPED_TRACE(relative.toStdString());
        EXPECT_EQ(stateOf(relative), synced);
        const auto record = stored(relative);
        ASSERT_TRUE(record->remoteId());
        EXPECT_NE(*record->remoteId(), kickID);
        EXPECT_EQ(h.fake.file(*record->remoteId())->filename, QFileInfo(relative).fileName());
        EXPECT_EQ(record->inode(), SyncLane::fileStamp(pathOf(relative))->inode);
    }
    EXPECT_NE(stored(QStringLiteral("Drums/kick copy.wav"))->remoteId(), stored(QStringLiteral("Bass/sub.wav"))->remoteId());
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("Bass/sub.wav"), sha256(kick)},
                                                            {QStringLiteral("Drums/kick copy.wav"), sha256(kick)},
                                                            {QStringLiteral("Drums/kick.wav"), sha256(kick)}}));

    // The first path of the new content is sent; the others wait with their generations.
    expectStates({QStringLiteral("Keys/a.wav"), QStringLiteral("Keys/b.wav"), QStringLiteral("Pads/c.wav"),
                  QStringLiteral("Keys/unique.wav")},
                 pendingUpload);
    const QHash<QString, QList<QPair<QString, qint64>>> held{
        {sha256(pad), {{pathOf(QStringLiteral("Keys/b.wav")), 3}, {pathOf(QStringLiteral("Pads/c.wav")), 7}}}};
    EXPECT_EQ(lane->heldDuplicates(), held);
    EXPECT_EQ(lane->prePassChecksums().value(pathOf(QStringLiteral("Keys/a.wav"))), sha256(pad));
    EXPECT_EQ(lane->prePassChecksums().size(), 7); // neither the missing nor the failed file
    EXPECT_TRUE(logDetails().contains(QStringLiteral("Batch pre-pass resolved: 1 synced, 2 batch-confirmed (Loops)")));
}

TEST_F(PrePassTest, AFileChangedWhileThePassWaitsStaysPending)
{
    const QByteArray kick("kick drum bytes");
    const QByteArray snare("snare bytes");
    serviceHolds(QStringLiteral("Drums"), QStringLiteral("kick.wav"), kick);
    serviceHolds(QStringLiteral("Other"), QStringLiteral("snare.wav"), snare);
    pendingFile(QStringLiteral("Drums/kick.wav"), kick);
    pendingFile(QStringLiteral("Bass/sub.wav"), kick);
    auto edited = pendingFile(QStringLiteral("Keys/snare.wav"), snare);

    auto pass = [lane = lane](std::stop_token stop) { return lane->runBatchPrePass(std::move(stop)); };
    runWhileWaiting(hashCheckPath, pass, [&] {
        // Replaced by a file of the same size (another inode), grown, and reported changed.
        const QString kickPath = pathOf(QStringLiteral("Drums/kick.wav"));
        writeFile(kickPath + QStringLiteral(".new"), QByteArray("kick drum BYTES"));
        ASSERT_TRUE(QFile::remove(kickPath));
        ASSERT_TRUE(QFile::rename(kickPath + QStringLiteral(".new"), kickPath));
        QFile sub(pathOf(QStringLiteral("Bass/sub.wav")));
        ASSERT_TRUE(sub.open(QIODevice::Append));
        sub.write("!");
        sub.close();
        edited->setGeneration(edited->generation() + 1);
        h.context->save();
    });

    expectStates({QStringLiteral("Drums/kick.wav"), QStringLiteral("Bass/sub.wav"), QStringLiteral("Keys/snare.wav")},
                 pendingUpload);
    EXPECT_THAT(h.fake.requestsTo("POST", confirmPath), IsEmpty());
    EXPECT_FALSE(logDetails().join(u'\n').contains(QStringLiteral("Batch pre-pass resolved")));
}

TEST_F(PrePassTest, ChecksGoInHundredsAndAFailedCheckLeavesEverythingToTheQueue)
{
    for (int i = 0; i < 250; ++i)
        pendingFile(QStringLiteral("Loop %1.wav").arg(i, 3, 10, QChar(u'0')), QByteArray::number(i < 2 ? 0 : i));

    await(lane->runBatchPrePass({}));
    auto checks = h.fake.requestsTo("POST", hashCheckPath);
    ASSERT_THAT(checks, SizeIs(3));
    EXPECT_THAT(filesSent(checks[0]), SizeIs(100));
    EXPECT_THAT(filesSent(checks[1]), SizeIs(100));
    EXPECT_THAT(filesSent(checks[2]), SizeIs(50));
    // The check's cursor postdates the listing the pass relies on: taking it would skip
    // whatever changed at the service in between.
    EXPECT_EQ(folder->deltaCursor(), std::nullopt);
    EXPECT_THAT(lane->heldDuplicates(), SizeIs(1));

    folder->setDeltaCursor(QStringLiteral("cur-mine"));
    h.fake.clearRequestLog();
    auto pass = [lane = lane](std::stop_token stop) { return lane->runBatchPrePass(std::move(stop)); };
    runWhileWaiting(hashCheckPath, pass, [&] { h.fake.answerNext(hashCheckPath, 503); });

    EXPECT_THAT(h.fake.requestsTo("POST", hashCheckPath), SizeIs(2));
    EXPECT_EQ(folder->deltaCursor(), QStringLiteral("cur-mine"));
    EXPECT_THAT(lane->heldDuplicates(), IsEmpty());
    EXPECT_THAT(lane->prePassChecksums(), SizeIs(250));
    EXPECT_EQ(logDetails().filter(QStringLiteral("Batch pre-pass check unavailable — falling back to per-file (")).size(), 1);
    EXPECT_EQ(stateOf(QStringLiteral("Loop 000.wav")), pendingUpload);

    // A plan mirror has no pre-pass: the batch state of the pass before is dropped all the same.
    folder->setFolderType(SyncFolderType::harborly);
    h.fake.clearRequestLog();
    await(lane->runBatchPrePass({}));
    EXPECT_THAT(lane->prePassChecksums(), IsEmpty());
    EXPECT_THAT(h.fake.requestLog(), IsEmpty());
}

TEST_F(PrePassTest, AFileTheServiceHasAtItsPlaceGoesAsItsOwnChangeNeverAsAPointer)
{
    // The listing is the full sync's, taken before the file was first sent.
    lane->setLastRemoteFilesForTesting({});
    const QByteArray kick("kick drum bytes");
    const QString path = pathOf(QStringLiteral("Drums/kick.wav"));
    pendingFile(QStringLiteral("Drums/kick.wav"), kick);
    const auto runQueue = [&] {
        TaskHandle pass = TaskHandle::start([l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); });
        h.runUntilIdle(*lane);
    };
    runQueue();
    const auto first = stored(QStringLiteral("Drums/kick.wav"))->remoteId();
    ASSERT_TRUE(first);

    // Reported again, unchanged (the watcher's late word on that very write), and once more
    // while the service also holds the bytes under another name.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        if (round == 1)
            serviceHolds(QStringLiteral("Other"), QStringLiteral("copy.wav"), kick);
        lane->trackLocalChange(path, SyncLane::fileStamp(path));
        h.context->save();
        h.fake.clearRequestLog();
        runQueue();
        EXPECT_THAT(h.fake.requestsTo("POST", confirmPath), IsEmpty());
        EXPECT_EQ(stateOf(QStringLiteral("Drums/kick.wav")), synced);
        EXPECT_EQ(stored(QStringLiteral("Drums/kick.wav"))->remoteId(), first);
    }
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("Drums/kick.wav"), sha256(kick)},
                                                            {QStringLiteral("Other/copy.wav"), sha256(kick)}}));
}

TEST_F(PrePassTest, AFileSettledWhileWaitingOnItsBackOffIsSentWhenEditedAgain)
{
    // Both uploads failed once (the service stored them, the reply was lost) and wait on their
    // back-off: one is listed at its place, the other's content is at the service elsewhere.
    const QByteArray kick("kick drum bytes");
    serviceHolds(QStringLiteral("Drums"), QStringLiteral("kick.wav"), kick);
    const QStringList relatives{QStringLiteral("Drums/kick.wav"), QStringLiteral("Bass/sub.wav")};
    for (const QString &relative : relatives) {
        const auto record = pendingFile(relative, kick);
        record->setRetryCount(1);
        record->setNextRetryAt(h.clock.currentDateTime().addSecs(5));
    }
    h.context->save();

    await(lane->runBatchPrePass({}));
    for (const QString &relative : relatives) {
        SCOPED_TRACE(relative.toStdString());
        EXPECT_EQ(stateOf(relative), synced);
        EXPECT_EQ(stored(relative)->retryCount(), 0);
        EXPECT_FALSE(stored(relative)->nextRetryAt());
    }

    // A later edit of each is owed to the queue, and the queue sends it.
    for (const QString &relative : relatives) {
        const QString path = pathOf(relative);
        writeFile(path, "edited " + relative.toUtf8());
        lane->trackLocalChange(path, SyncLane::fileStamp(path));
        EXPECT_EQ(stateOf(relative), pendingUpload) << relative.toStdString();
    }
    TaskHandle pass = TaskHandle::start([l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); });
    h.runUntilIdle(*lane);
    expectStates(relatives, synced);
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{
                                    {QStringLiteral("Bass/sub.wav"), sha256("edited Bass/sub.wav")},
                                    {QStringLiteral("Drums/kick.wav"), sha256("edited Drums/kick.wav")}}));
}

TEST_F(PrePassTest, ARecordSettledElsewhereDropsItsStaleRetryTimeOnTheNextEdit)
{
    // A retry time left on a record settled by some other road: its edit is owed all the same.
    const QString path = pathOf(QStringLiteral("loop.wav"));
    writeFile(path, "loop");
    auto record = h.addRecord(*folder, QStringLiteral("loop.wav"), SyncFileStatus::synced,
                              SyncFileDesiredState::syncedLocal);
    record->setRetryCount(2);
    record->setNextRetryAt(h.clock.currentDateTime().addSecs(30));
    h.context->save();

    writeFile(path, "loop, edited");
    lane->trackLocalChange(path, SyncLane::fileStamp(path));
    EXPECT_EQ(stateOf(QStringLiteral("loop.wav")), pendingUpload);
    EXPECT_EQ(stored(QStringLiteral("loop.wav"))->retryCount(), 0);
}

TEST(ConfirmationMatchTest, EachReplyEntryServesOneFileByPlaceThenByFolder)
{
    const QString hash = QStringLiteral("h");
    const QString drums = QStringLiteral("Drums");
    using Confirmed = FileSyncAPI::BatchDedupConfirmed;
    const QList<Confirmed> reply{
        {hash, drums, std::nullopt, 11, {}},
        {hash, drums, QStringLiteral("b.wav"), 12, {}},
        {hash, std::nullopt, std::nullopt, 13, {}},
        {QStringLiteral("other"), drums, QStringLiteral("a.wav"), 14, {}},
    };
    const QList<SyncLane::ConfirmationTarget> targets{
        {hash, drums, QStringLiteral("a.wav")}, {hash, drums, QStringLiteral("b.wav")},
        {hash, drums, QStringLiteral("c.wav")}, {hash, QString(), QStringLiteral("x.wav")},
        {hash, QString(), QStringLiteral("y.wav")},
    };
    EXPECT_THAT(SyncLane::matchConfirmations(reply, targets),
                ElementsAre(11, 12, std::nullopt, 13, std::nullopt));
    // Named entries go to their own file even when a file before it could take them by folder.
    const QList<Confirmed> named{{hash, drums, QStringLiteral("b.wav"), 21, {}},
                                 {hash, drums, QStringLiteral("a.wav"), 22, {}}};
    EXPECT_THAT(SyncLane::matchConfirmations(named, targets), ElementsAre(22, 21, std::nullopt, std::nullopt, std::nullopt));
}

class HeldDuplicatesTest : public PrePassTest
{
protected:
    // Four files of one new content held behind the first; its upload then stored at the service.
    void holdBehindRepresentative()
    {
        pendingFile(QStringLiteral("Keys/a.wav"), pad);
        pendingFile(QStringLiteral("Keys/b.wav"), pad, 2);
        pendingFile(QStringLiteral("Pads/c.wav"), pad);
        pendingFile(QStringLiteral("e.wav"), pad);
        await(lane->runBatchPrePass({}));
        ASSERT_THAT(lane->heldDuplicates().value(sha256(pad)), SizeIs(3));
        serviceHolds(QStringLiteral("Keys"), QStringLiteral("a.wav"), pad);
        h.fake.clearRequestLog();
    }

    std::function<QCoro::Task<>(std::stop_token)> confirmation()
    {
        return [lane = lane, hash = sha256(pad)](std::stop_token stop) {
            return lane->confirmHeldDuplicates(hash, std::move(stop));
        };
    }

    const QByteArray pad{"one pad in four places"};
};

TEST_F(HeldDuplicatesTest, HeldFilesBecomePointersAtTheirOwnPlaces)
{
    holdBehindRepresentative();
    // Edited after it was held: it goes to the queue with its new content.
    pendingFile(QStringLiteral("Pads/c.wav"), QByteArray("rewritten pad"), 0);

    await(lane->confirmHeldDuplicates(sha256(pad), {}));

    const auto requests = h.fake.requestsTo("POST", confirmPath);
    ASSERT_THAT(requests, SizeIs(1));
    const QJsonArray sent = filesSent(requests[0]);
    ASSERT_THAT(sent, SizeIs(2));
    EXPECT_EQ(sent[0][u"drive_path"].toString(), QStringLiteral("Keys"));
    EXPECT_EQ(sent[0][u"file_size"].toInteger(), pad.size());
    EXPECT_FALSE(sent[1].toObject().contains(u"drive_path")); // the folder root
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("Keys/a.wav"), sha256(pad)},
                                                            {QStringLiteral("Keys/b.wav"), sha256(pad)},
                                                            {QStringLiteral("e.wav"), sha256(pad)}}));
    for (const QString &relative : {QStringLiteral("Keys/b.wav"), QStringLiteral("e.wav")}) {
        SCOPED_TRACE(relative.toStdString());
        EXPECT_EQ(stateOf(relative), synced);
        const auto record = stored(relative);
        ASSERT_TRUE(record->remoteId());
        EXPECT_EQ(h.fake.file(*record->remoteId())->filename, QFileInfo(relative).fileName());
        EXPECT_EQ(record->lfsOid(), sha256(pad));
        EXPECT_EQ(record->inode(), SyncLane::fileStamp(pathOf(relative))->inode);
    }
    EXPECT_EQ(stateOf(QStringLiteral("Pads/c.wav")), pendingUpload);
    EXPECT_THAT(lane->heldDuplicates(), IsEmpty());
    EXPECT_TRUE(logDetails().contains(
        QStringLiteral("Intra-batch dedup: 2 duplicate(s) confirmed as pointer writes (Loops)")));
}

TEST_F(HeldDuplicatesTest, TheGroupStaysHeldUntilTheReplyAndAFailureReleasesIt)
{
    holdBehindRepresentative();
    bool heldWhileAsked = false;
    h.fake.answerNext(confirmPath, 503);
    runWhileWaiting(confirmPath, confirmation(),
                    [&] { heldWhileAsked = lane->heldDuplicates().contains(sha256(pad)); });
    EXPECT_TRUE(heldWhileAsked);
    EXPECT_THAT(lane->heldDuplicates(), IsEmpty());
    EXPECT_EQ(stateOf(QStringLiteral("Keys/b.wav")), pendingUpload);
    EXPECT_EQ(logDetails().filter(QStringLiteral("Intra-batch dedup confirm unavailable — releasing 3 for per-file dispatch (")).size(), 1);
}

TEST_F(HeldDuplicatesTest, AStopDuringTheConfirmationWritesNothing)
{
    holdBehindRepresentative();
    runWhileWaiting(confirmPath, confirmation(), [&] { lane->stop(); });
    runFor(std::chrono::milliseconds(500)); // the reply arrives for a stopped lane
    expectStates({QStringLiteral("Keys/b.wav"), QStringLiteral("e.wav")}, pendingUpload);
    EXPECT_TRUE(logDetails().filter(QStringLiteral("Intra-batch dedup")).isEmpty());
}

} // namespace
