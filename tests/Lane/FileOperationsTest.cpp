#include "Lane/LaneTestSupport.h"
#include "support/lane/ForwardingSyncAPI.h"

#include "Model/OperationResolution.h"
#include "Model/StoreError.h"
#include "Platform/Async/CancelledError.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <gmock/gmock.h>

#include <QCryptographicHash>
#include <QFile>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

// The harness's client, with a hook that runs once the wrapped upload has returned.
class HookedAPI : public ForwardingSyncAPI
{
public:
    using ForwardingSyncAPI::ForwardingSyncAPI;
    std::function<void()> afterUpload;

protected:
    QCoro::Task<UploadResult> doUploadFile(UploadRequest request, std::stop_token stop) override
    {
        auto api = inner();
        auto uploading = api->uploadFile(std::move(request), std::move(stop));
        UploadResult result = co_await std::move(uploading);
        if (afterUpload)
            afterUpload();
        co_return result;
    }
};

class FileOperationsTest : public LaneTest
{
protected:
    void SetUp() override
    {
        LaneTest::SetUp();
        folder = h.addFolder(SyncFolderType::projectsFolder);
        root = *folder->folderPath();
    }

    void useMode(SyncFolderSyncMode mode)
    {
        folder->setSyncMode(mode);
        h.context->save();
    }

    std::shared_ptr<SyncLane> lane()
    {
        if (!m_lane)
            m_lane = h.makeLane(folder);
        return m_lane;
    }

    // A service file in this folder and its record, owed a download.
    qint64 remoteFile(const QString &relative, const QByteArray &bytes)
    {
        FakeLibraryFile file;
        file.accountId = h.account;
        file.filename = QFileInfo(relative).fileName();
        file.content = bytes;
        const qint64 id = h.fake.addFile(file);
        auto record = h.addRecord(*folder, relative, SyncFileStatus::syncing, SyncFileDesiredState::downloadPending);
        record->setRemoteId(id);
        record->setRemoteChecksum(sha256(bytes));
        h.context->save();
        return id;
    }

    std::vector<std::shared_ptr<OperationResolution>> journal()
    {
        ModelContext reader(h.container);
        return reader.fetch<OperationResolution>();
    }

    std::shared_ptr<SyncFile> stored(const QString &relative)
    {
        m_reader = std::make_unique<ModelContext>(h.container);
        return m_reader->fetchFirst(SyncFile::withLocalPath(root + u'/' + relative));
    }

    std::shared_ptr<SyncFolder> folder;
    QString root;

private:
    std::shared_ptr<SyncLane> m_lane;
    std::unique_ptr<ModelContext> m_reader;
};

TEST_F(FileOperationsTest, UploadCreatesTheRecordThenDeduplicatesThenRecordsAConflict)
{
    const QString path = root + QStringLiteral("/a.wav");
    writeFile(path, "first");
    await(lane()->uploadRecord(path, std::nullopt, {}));

    auto record = stored(QStringLiteral("a.wav"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->folderID(), folder->stableID());
    EXPECT_EQ(record->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(record->localChecksum(), sha256("first"));
    const auto commit = record->baseCommitSha();
    ASSERT_TRUE(commit);
    EXPECT_EQ(storedFolder(folder->stableID())->headCommitSha(), commit);
    auto rows = journal();
    ASSERT_THAT(rows, SizeIs(1));
    EXPECT_EQ(rows[0]->fileUUID(), record->fileUUID());
    EXPECT_EQ(rows[0]->beforePath(), std::nullopt);
    EXPECT_EQ(rows[0]->serverCommitSha(), commit);
    EXPECT_EQ(lane()->recentSyncedFiles().front().kind, RecentFile::Kind::transferred);

    // The same bytes at the same place: the service links them, no commit moves.
    await(lane()->uploadRecord(path, std::nullopt, {}));
    EXPECT_EQ(stored(QStringLiteral("a.wav"))->baseCommitSha(), commit);
    EXPECT_EQ(journal().back()->serverCommitSha(), std::nullopt);
    EXPECT_EQ(journal().back()->afterBaseCommitSha(), commit);
    // Nothing changed anywhere: the panel keeps the one line of its upload.
    EXPECT_EQ(lane()->recentSyncedFiles().size(), 1);
    EXPECT_EQ(lane()->recentSyncedFiles().front().kind, RecentFile::Kind::transferred);
    EXPECT_EQ(SyncLogger::shared().entries().back().event, SyncLogger::Event::fileDeduplicated);

    // Edited on a base the service has moved past: a conflict, recorded as a success.
    lane()->fetchRecord(path)->setBaseCommitSha(QString(40, u'a'));
    h.context->save();
    writeFile(path, "second");
    await(lane()->uploadRecord(path, std::nullopt, {}));
    record = stored(QStringLiteral("a.wav"));
    EXPECT_EQ(record->syncStatus(), SyncFileStatus::conflict);
    EXPECT_EQ(record->syncDirection(), SyncFileDirection::conflict);
    EXPECT_EQ(record->conflictCommonAncestor(), QString(40, u'a'));
    EXPECT_TRUE(record->conflictID());
    EXPECT_EQ(journal().back()->conflictType(), QStringLiteral("true_conflict"));
    EXPECT_EQ(journal().back()->outcome(), QStringLiteral("succeeded"));

    // A clean upload clears what the conflict left.
    writeFile(path, "third");
    await(lane()->uploadRecord(path, std::nullopt, {}));
    EXPECT_EQ(stored(QStringLiteral("a.wav"))->conflictID(), std::nullopt);
    EXPECT_EQ(stored(QStringLiteral("a.wav"))->conflictMessage(), std::nullopt);
}

TEST_F(FileOperationsTest, TheUploadProgressIsClearedWhenTheUploadEndsEitherWay)
{
    const QString path = root + QStringLiteral("/long.wav");
    writeFile(path, "long take");
    const MultipartProgress shown{QStringLiteral("long.wav"), 1, 4, 10, 40};

    lane()->setMultipartProgress(shown);
    await(lane()->uploadRecord(path, std::nullopt, {}));
    EXPECT_EQ(lane()->multipartProgress(), std::nullopt);

    lane()->setMultipartProgress(shown);
    h.fake.answerNext("/api/v1/files/check-hash", 500, R"({"message":"down"})");
    EXPECT_THROW(await(lane()->uploadRecord(path, std::nullopt, {})), HarborlyAPIError);
    EXPECT_EQ(lane()->multipartProgress(), std::nullopt);
}

TEST_F(FileOperationsTest, UploadRecordsTheHashOfTheBytesSentNotOfTheFileAfterwards)
{
    const QString path = root + QStringLiteral("/take.wav");
    writeFile(path, "sent bytes");
    auto api = std::make_shared<HookedAPI>(h.client);
    api->afterUpload = [path] { writeFile(path, "saved while the reply travelled"); };
    auto hooked = std::dynamic_pointer_cast<SyncLane>(makeSyncLaneFactory()(
        LaneServices{folder, api, h.bookmarks, h.rules, h.conflicts, h.context, &h.vault, &h.clock}));

    await(hooked->uploadRecord(path, std::nullopt, {}));
    EXPECT_EQ(stored(QStringLiteral("take.wav"))->localChecksum(), sha256("sent bytes"));
    EXPECT_EQ(journal().back()->afterChecksum(), sha256("sent bytes"));
}

TEST_F(FileOperationsTest, DownloadMakesFoldersAndRecordsTheJournalAndKeepsWhatItDoesNotOwn)
{
    const qint64 id = remoteFile(QStringLiteral("deep/er/loop.wav"), "remote");
    auto record = lane()->fetchRecord(root + QStringLiteral("/deep/er/loop.wav"));
    record->setBaseCommitSha(QStringLiteral("base"));
    record->setConflictMessage(QStringLiteral("earlier"));
    h.context->save();

    await(lane()->downloadRecord(id, root + QStringLiteral("/deep/er/loop.wav"), {}));
    EXPECT_EQ(readFile(root + QStringLiteral("/deep/er/loop.wav")), "remote");
    record = stored(QStringLiteral("deep/er/loop.wav"));
    EXPECT_EQ(record->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(record->syncDirection(), SyncFileDirection::download);
    EXPECT_EQ(record->localChecksum(), sha256("remote"));
    // The commit was given for a version this folder sent, not for the one that came down.
    EXPECT_EQ(record->baseCommitSha(), std::nullopt);
    EXPECT_EQ(record->conflictMessage(), QStringLiteral("earlier"));
    ASSERT_THAT(journal(), SizeIs(1));
    EXPECT_EQ(journal()[0]->beforeChecksum(), std::nullopt);
    EXPECT_EQ(journal()[0]->afterChecksum(), sha256("remote"));
    EXPECT_EQ(SyncLogger::shared().entries().back().detail, QStringLiteral("id:%1").arg(id));
}

TEST_F(FileOperationsTest, DownloadKeepsUnsyncedLocalBytesInTwoWayFoldersOnly)
{
    const QString path = root + QStringLiteral("/mix.wav");
    const qint64 id = remoteFile(QStringLiteral("mix.wav"), "service version");
    lane()->fetchRecord(path)->setLocalChecksum(sha256("last synced"));
    h.context->save();
    writeFile(path, "saved a moment ago");

    await(lane()->downloadRecord(id, path, {}));
    EXPECT_EQ(readFile(path), "saved a moment ago");
    auto record = stored(QStringLiteral("mix.wav"));
    EXPECT_EQ(record->desiredState(), SyncFileDesiredState::uploadPending);
    EXPECT_EQ(record->syncStatus(), SyncFileStatus::pending);
    EXPECT_EQ(record->generation(), 1);
    EXPECT_THAT(h.fake.requestsTo("GET", QStringLiteral("/api/v1/files/library/%1").arg(id).toStdString()), IsEmpty());

    // The last synced bytes are the service's to replace.
    writeFile(path, "last synced");
    await(lane()->downloadRecord(id, path, {}));
    EXPECT_EQ(readFile(path), "service version");

    useMode(SyncFolderSyncMode::downloadOnly);
    writeFile(path, "edited in a download-only folder");
    await(lane()->downloadRecord(id, path, {}));
    EXPECT_EQ(readFile(path), "service version");
}

TEST_F(FileOperationsTest, DownloadWhoseBytesDifferFromTheListingLeavesTheOldFile)
{
    const QString path = root + QStringLiteral("/kick.wav");
    const qint64 id = remoteFile(QStringLiteral("kick.wav"), "complete body");
    lane()->fetchRecord(path)->setRemoteChecksum(sha256("what the listing promised"));
    lane()->fetchRecord(path)->setLocalChecksum(sha256("old"));
    h.context->save();
    writeFile(path, "old");

    EXPECT_EQ(transportFailure(lane()->downloadRecord(id, path, {})), TransportError::Code::contentMismatch);
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(stored(QStringLiteral("kick.wav"))->syncStatus(), SyncFileStatus::syncing);
    EXPECT_THAT(journal(), IsEmpty());
}

TEST_F(FileOperationsTest, NothingIsWrittenOrRemovedThroughALinkLeadingOutOfTheFolder)
{
    QTemporaryDir outside;
    ASSERT_TRUE(QFile::link(outside.path(), root + QStringLiteral("/out")));
    writeFile(outside.path() + QStringLiteral("/victim.wav"), "keep");
    const qint64 id = remoteFile(QStringLiteral("out/new.wav"), "x");
    auto victim = h.addRecord(*folder, QStringLiteral("out/victim.wav"), SyncFileStatus::syncing,
                              SyncFileDesiredState::deletedLocal);
    victim->setLocalChecksum(sha256("keep"));
    h.context->save();
    useMode(SyncFolderSyncMode::downloadOnly);

    EXPECT_ANY_THROW(await(lane()->downloadRecord(id, root + QStringLiteral("/out/new.wav"), {})));
    EXPECT_ANY_THROW(await(lane()->deleteLocalRecord(victim, {})));
    EXPECT_EQ(LaneHarness::folderFiles(outside.path()).size(), 1u);
    EXPECT_EQ(readFile(outside.path() + QStringLiteral("/victim.wav")), "keep");
}

TEST_F(FileOperationsTest, RemoteDeleteCountsGoneAsDoneAndSparesARecordMadeAgain)
{
    auto gone = h.addRecord(*folder, QStringLiteral("gone.wav"), SyncFileStatus::syncing,
                            SyncFileDesiredState::deletedRemote);
    gone->setRemoteId(999999);
    auto refused = h.addRecord(*folder, QStringLiteral("refused.wav"), SyncFileStatus::syncing,
                               SyncFileDesiredState::deletedRemote);
    refused->setRemoteId(999998);
    h.context->save();

    await(lane()->deleteRemoteRecord(gone, {})); // the service answers 404
    EXPECT_FALSE(stored(QStringLiteral("gone.wav")));
    ASSERT_THAT(journal(), SizeIs(1));
    EXPECT_EQ(journal()[0]->serverFileID(), 999999);
    // Among the recent files as a deletion at the service, not as a transfer.
    ASSERT_THAT(lane()->recentSyncedFiles(), SizeIs(1));
    EXPECT_EQ(lane()->recentSyncedFiles().front().filename, QStringLiteral("gone.wav"));
    EXPECT_EQ(lane()->recentSyncedFiles().front().kind, RecentFile::Kind::deleted);
    EXPECT_EQ(lane()->recentSyncedFiles().front().direction, SyncFileDirection::upload);

    h.fake.answerNext("/api/v1/files/library/999998", 500, R"({"message":"no"})");
    EXPECT_ANY_THROW(await(lane()->deleteRemoteRecord(refused, {})));
    EXPECT_TRUE(stored(QStringLiteral("refused.wav")));
    EXPECT_THAT(journal(), SizeIs(1));

    // Re-created by the user while the request was out: the record stays, owed an upload.
    FakeLibraryFile file;
    file.accountId = h.account;
    file.filename = QStringLiteral("again.wav");
    file.content = "x";
    auto again = h.addRecord(*folder, QStringLiteral("again.wav"), SyncFileStatus::syncing,
                             SyncFileDesiredState::deletedRemote);
    again->setRemoteId(h.fake.addFile(file));
    h.context->save();
    h.fake.delayNext("/api/v1/files/library/" + std::to_string(*again->remoteId()), std::chrono::milliseconds(300));
    h.fake.takeMostDelayedAtOnce();
    bool done = false;
    std::exception_ptr error;
    detail::captureVoid(lane()->deleteRemoteRecord(again, {}), error, done);
    ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; }));
    again->setDesiredState(SyncFileDesiredState::uploadPending);
    again->setGeneration(again->generation() + 1);
    h.context->save();
    ASSERT_TRUE(runUntil([&] { return done; }));
    EXPECT_FALSE(error);
    const auto kept = stored(QStringLiteral("again.wav"));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->desiredState(), SyncFileDesiredState::uploadPending);
    EXPECT_THAT(lane()->recentSyncedFiles(), SizeIs(1)) << "a file made again was not deleted";
}

TEST_F(FileOperationsTest, LocalDeleteRemovesOnlyTheSyncedContentOfARegularFile)
{
    const auto tracked = [&](const QString &relative, const QByteArray &synced) {
        auto record = h.addRecord(*folder, relative, SyncFileStatus::syncing, SyncFileDesiredState::deletedLocal);
        record->setLocalChecksum(sha256(synced));
        h.context->save();
        return record;
    };
    writeFile(root + QStringLiteral("/same.wav"), "synced");
    writeFile(root + QStringLiteral("/edited.wav"), "edited");
    ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/folder.wav/inner")));
    writeFile(root + QStringLiteral("/folder.wav/inner/x.wav"), "x");

    await(lane()->deleteLocalRecord(tracked(QStringLiteral("same.wav"), "synced"), {}));
    await(lane()->deleteLocalRecord(tracked(QStringLiteral("edited.wav"), "synced"), {}));
    await(lane()->deleteLocalRecord(tracked(QStringLiteral("folder.wav"), "synced"), {}));
    await(lane()->deleteLocalRecord(tracked(QStringLiteral("never.wav"), "synced"), {}));

    EXPECT_FALSE(QFile::exists(root + QStringLiteral("/same.wav")));
    EXPECT_FALSE(stored(QStringLiteral("same.wav")));
    EXPECT_EQ(readFile(root + QStringLiteral("/edited.wav")), "edited");
    const auto kept = stored(QStringLiteral("edited.wav"));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->desiredState(), SyncFileDesiredState::uploadPending);
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/folder.wav/inner/x.wav")));
    EXPECT_FALSE(stored(QStringLiteral("never.wav")));
    EXPECT_THAT(journal(), SizeIs(3));
    // Only the file really removed here is among the recent files, as a deletion from the service.
    ASSERT_THAT(lane()->recentSyncedFiles(), SizeIs(1));
    EXPECT_EQ(lane()->recentSyncedFiles().front().filename, QStringLiteral("same.wav"));
    EXPECT_EQ(lane()->recentSyncedFiles().front().kind, RecentFile::Kind::deleted);
    EXPECT_EQ(lane()->recentSyncedFiles().front().direction, SyncFileDirection::download);

    useMode(SyncFolderSyncMode::downloadOnly);
    await(lane()->deleteLocalRecord(tracked(QStringLiteral("edited.wav"), "synced"), {}));
    EXPECT_FALSE(QFile::exists(root + QStringLiteral("/edited.wav")));
}

TEST_F(FileOperationsTest, AFailedJournalSaveUndoesThisRecordOnly)
{
    const qint64 id = remoteFile(QStringLiteral("mine.wav"), "bytes");
    auto other = h.addRecord(*folder, QStringLiteral("other.wav"), SyncFileStatus::syncing,
                             SyncFileDesiredState::uploadPending);
    h.container->execute("CREATE TEMP TRIGGER refuse BEFORE INSERT ON main.OperationResolution "
                         "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                         StoreError::Kind::saveFailed);
    // Another slot's and the delta pass's unsaved work.
    other->setSyncStatus(SyncFileStatus::synced);
    folder->setDeltaCursor(QStringLiteral("cur-9"));

    EXPECT_THROW(await(lane()->downloadRecord(id, root + QStringLiteral("/mine.wav"), {})), StoreError);
    EXPECT_EQ(lane()->fetchRecord(root + QStringLiteral("/mine.wav"))->syncStatus(), SyncFileStatus::syncing);
    EXPECT_EQ(other->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(folder->deltaCursor(), QStringLiteral("cur-9"));

    h.container->execute("DROP TRIGGER temp.refuse", StoreError::Kind::saveFailed);
    h.context->save();
    EXPECT_EQ(stored(QStringLiteral("other.wav"))->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(stored(QStringLiteral("mine.wav"))->syncStatus(), SyncFileStatus::syncing);
    EXPECT_THAT(journal(), IsEmpty());
}

TEST_F(FileOperationsTest, AStopDuringATransferIsACancellationThatWritesNothing)
{
    const qint64 id = remoteFile(QStringLiteral("slow.wav"), "slow");
    h.fake.delayNext("/api/v1/files/library/*", std::chrono::milliseconds(500), -1);
    bool done = false;
    std::exception_ptr error;
    std::stop_source pause;
    detail::captureVoid(lane()->downloadRecord(id, root + QStringLiteral("/slow.wav"), pause.get_token()), error, done);
    runFor(std::chrono::milliseconds(50));
    pause.request_stop();
    ASSERT_TRUE(runUntil([&] { return done; }));
    h.fake.clearFaults();
    EXPECT_TRUE(failureOf<CancelledError>([&] { std::rethrow_exception(error); }));
    EXPECT_FALSE(QFile::exists(root + QStringLiteral("/slow.wav")));
    EXPECT_EQ(stored(QStringLiteral("slow.wav"))->syncStatus(), SyncFileStatus::syncing);
    EXPECT_THAT(journal(), IsEmpty());
}

} // namespace
