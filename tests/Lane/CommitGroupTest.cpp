// The queue's outcomes committed in groups: what the store and the lane's view hold while a
// group waits, when it fails, and when the lane stops or pauses inside its window.

#include "Lane/LaneTestSupport.h"

#include "Model/LaneQueries.h"
#include "Model/OperationResolution.h"
#include "Model/StoreError.h"

#include <gmock/gmock.h>

#include <QFile>
#include <QScopeGuard>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::Each;
using ::testing::SizeIs;

namespace {

using State = LaneHarness::RecordState;
using namespace std::chrono_literals;

const State owedUpload{SyncFileStatus::pending, SyncFileDesiredState::uploadPending};

class CommitGroupTest : public LaneTest
{
protected:
    void SetUp() override
    {
        LaneTest::SetUp();
        folder = h.addFolder(SyncFolderType::projectsFolder);
        lane = h.makeLane(folder);
    }

    void addUpload(const QString &name)
    {
        QFile file(*folder->folderPath() + u'/' + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contentOf(name));
        file.close();
        h.addRecord(*folder, name, SyncFileStatus::pending, SyncFileDesiredState::uploadPending);
        h.context->save();
    }

    static QByteArray contentOf(const QString &name) { return "take of " + name.toUtf8(); }

    void startPass()
    {
        auto body = [l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); };
        pass = TaskHandle::start(std::move(body));
    }

    // Requests that carried the file's bytes to the service (a form upload or a presigned PUT).
    int bytesSent(const QString &name) const
    {
        const std::string content = contentOf(name).toStdString();
        int sent = 0;
        for (const auto &request : h.fake.requestLog())
            if ((request.path == "/api/v1/files/upload-blob" || request.path.rfind("/storage/", 0) == 0)
                && request.body.find(content) != std::string::npos)
                ++sent;
        return sent;
    }

    // The lane's own view: its context, unsaved changes included.
    std::map<QString, State> inMemory()
    {
        std::map<QString, State> states;
        for (const auto &record : h.context->fetch(SyncFile::inFolder(folder->stableID())))
            states[record->localPath()] = {record->syncStatus(), record->desiredState()};
        return states;
    }

    int uploadsDoneInMemory()
    {
        int count = 0;
        for (const auto &[path, state] : inMemory())
            count += state == synced && path.endsWith(QStringLiteral(".wav")) && !path.contains(QStringLiteral("elsewhere"));
        return count;
    }

    QStringList journaledPaths()
    {
        reader = std::make_unique<ModelContext>(h.container);
        QStringList paths;
        for (const auto &row : reader->fetch(FetchDescriptor<OperationResolution>()))
            paths.append(row->afterPath().value_or(row->beforePath().value_or(QString())).section(u'/', -1));
        paths.sort();
        return paths;
    }

    QString at(const QString &name) const { return *folder->folderPath() + u'/' + name; }

    // A file of the service owed a download here whose transfer is held for a while: the
    // pass stays open, with the outcomes of the others waiting in the group.
    qint64 addHeldDownload(const QString &name)
    {
        const qint64 id = h.serve(*folder, name, contentOf(name));
        auto record = h.addRecord(*folder, name, SyncFileStatus::pending, SyncFileDesiredState::downloadPending);
        record->setRemoteId(id);
        record->setRemoteChecksum(sha256(contentOf(name)));
        h.context->save();
        h.fake.delayNext("/api/v1/files/library/" + std::to_string(id), 1500ms);
        return id;
    }

    // The store refuses the journal row of this file's upload, and so every commit that carries it.
    void refuseUploadRowOf(const QString &name)
    {
        const std::string sql = "CREATE TEMP TRIGGER refuse_row BEFORE INSERT ON OperationResolution WHEN "
                                "NEW.operationType = 'upload' AND NEW.afterPath LIKE '%/"
                                + name.toStdString() + "' BEGIN SELECT RAISE(ABORT, 'disk full'); END";
        h.container->execute(sql.c_str(), StoreError::Kind::saveFailed);
    }

    // No write of any record reaches the store until the disk has room again.
    void fillDisk(bool full)
    {
        for (const char *table : {"SyncFile", "SyncFolder", "OperationResolution"}) {
            for (const char *change : {"INSERT", "UPDATE", "DELETE"}) {
                const std::string name = std::string("full_") + table + '_' + change;
                const std::string sql = full ? "CREATE TEMP TRIGGER " + name + " BEFORE " + change + " ON " + table
                                                   + " BEGIN SELECT RAISE(ABORT, 'disk full'); END"
                                             : "DROP TRIGGER " + name;
                h.container->execute(sql.c_str(), StoreError::Kind::saveFailed);
            }
        }
    }

    std::shared_ptr<SyncFolder> folder;
    std::shared_ptr<SyncLane> lane;
    TaskHandle pass;
};

// One refused journal row fails the whole group: no record of it says synced, in the store or
// in the lane's view, and the pass after the back-off settles each by the hash check: no byte
// is sent twice.
TEST_F(CommitGroupTest, AFailedGroupCommitLeavesEveryOutcomeOwedAndTheNextPassSendsNoBytesAgain)
{
    const QStringList names{QStringLiteral("a.wav"), QStringLiteral("b.wav"), QStringLiteral("c.wav")};
    for (const auto &name : names)
        addUpload(name);
    h.container->execute("CREATE TEMP TRIGGER refuse_c BEFORE INSERT ON OperationResolution "
                         "WHEN NEW.afterPath LIKE '%/c.wav' BEGIN SELECT RAISE(ABORT, 'disk full'); END",
                         StoreError::Kind::saveFailed);
    startPass();
    ASSERT_TRUE(runUntil([&] { return !pass.isRunning(); }));

    EXPECT_THAT(h.serviceFiles(), SizeIs(3));
    EXPECT_THAT(h.records(folder->stableID()), Each(::testing::Pair(::testing::_, owedUpload)));
    EXPECT_THAT(inMemory(), Each(::testing::Pair(::testing::_, owedUpload)));
    EXPECT_TRUE(journaledPaths().isEmpty());
    EXPECT_EQ(lane->filesPending(), 3);
    ASSERT_TRUE(lane->queueRetryTask().isRunning()) << "a pass at the retry time";

    h.container->execute("DROP TRIGGER refuse_c", StoreError::Kind::saveFailed);
    h.runUntilIdle(*lane);
    for (const auto &[path, state] : h.records(folder->stableID()))
        EXPECT_EQ(state, synced) << path.toStdString();
    for (const auto &name : names)
        EXPECT_EQ(bytesSent(name), 1) << name.toStdString();
    EXPECT_THAT(h.serviceFiles(), SizeIs(3));
}

// While outcomes wait in the group (the manual clock holds the window open), filesPending
// counts them as done, and an unsaved change made elsewhere in the lane's context still counts.
TEST_F(CommitGroupTest, PendingCountsOutcomesWaitingInTheGroupAndUnsavedChangesOfOthers)
{
    for (const auto &name : {QStringLiteral("a.wav"), QStringLiteral("b.wav"), QStringLiteral("c.wav")})
        addUpload(name);
    auto other = h.addRecord(*folder, QStringLiteral("elsewhere.wav"), SyncFileStatus::synced,
                             SyncFileDesiredState::syncedLocal);
    h.context->save();
    // One upload's check is held, so the pass stays open with the other two done.
    h.fake.delayNext("/api/v1/files/check-hash", 1500ms);
    QList<QPair<qint64, qint64>> seen; // filesPending, the lane's view counted afresh
    auto &calls = h.calls(*lane);
    lane->setCallbacks({[&, l = lane.get()] {
                            ++calls.stateChanged;
                            // From the first dispatch on (the pass's opening notice comes before its count).
                            if (l->filesSyncing() > 0 || l->filesCompletedThisPass() > 0)
                                seen.append({l->filesPending(), fetchOutstandingRecordCount(*h.context, folder->stableID())});
                        },
                        {},
                        {}});
    startPass();
    ASSERT_TRUE(runUntil([&] { return uploadsDoneInMemory() == 2; }));
    // Inside the window: done in the lane's view, not in the store yet.
    ASSERT_GT(lane->commitGroupSize(), 0);
    for (const auto &name : {QStringLiteral("a.wav"), QStringLiteral("b.wav"), QStringLiteral("c.wav")})
        ASSERT_EQ(h.records(folder->stableID()).at(*folder->folderPath() + u'/' + name), owedUpload);
    EXPECT_EQ(lane->filesPending(), 1);

    // Owed from now on, not saved: counted at the next dispatch or finish all the same.
    other->setDesiredState(SyncFileDesiredState::downloadHeld);
    other->setSyncStatus(SyncFileStatus::pending);
    h.runUntilIdle(*lane);

    ASSERT_FALSE(seen.isEmpty());
    for (const auto &[shown, counted] : seen)
        EXPECT_EQ(shown, counted);
    EXPECT_EQ(lane->filesPending(), 1);
    EXPECT_EQ(fetchOutstandingRecordCount(*h.context, folder->stableID()), 1);
}

// Outcomes inside the window reach the store at the stop or the pause itself, before any other
// turn of the event loop: a quit right after loses none of them.
TEST_F(CommitGroupTest, StopAndPauseCommitTheOutcomesWaitingInTheGroup)
{
    for (const bool pausing : {false, true}) {
        SCOPED_TRACE(pausing ? "pause" : "stop");
        const QString prefix = pausing ? QStringLiteral("p-") : QStringLiteral("s-");
        for (const auto &name : {QStringLiteral("a.wav"), QStringLiteral("b.wav"), QStringLiteral("c.wav")})
            addUpload(prefix + name);
        h.fake.delayNext("/api/v1/files/check-hash", 30s);
        startPass();
        const auto storedSynced = [&] {
            int count = 0;
            for (const auto &[path, state] : h.records(folder->stableID()))
                count += path.section(u'/', -1).startsWith(prefix) && state == synced;
            return count;
        };
        const auto doneHere = [&] {
            int count = 0;
            for (const auto &[path, state] : inMemory())
                count += path.section(u'/', -1).startsWith(prefix) && state == synced;
            return count;
        };
        // The held check may be this round's or the one the stop left owed.
        ASSERT_TRUE(runUntil([&] { return doneHere() >= 2; }));
        const int done = doneHere();
        ASSERT_EQ(storedSynced(), 0) << "the outcomes wait in the group";

        if (pausing)
            lane->pause();
        else
            lane->stop();
        EXPECT_EQ(storedSynced(), done);
        EXPECT_EQ(lane->commitGroupSize(), 0);

        pass.cancel();
        h.fake.clearFaults();
        h.runUntilIdle(*lane);
        EXPECT_EQ(storedSynced(), done);
    }
}

// A delete at the service cannot be taken back: the group (here the delete's own dispatch
// mark, which would otherwise wait for the window) is in the store before the request goes.
TEST_F(CommitGroupTest, ADeleteAtTheServiceGoesOutOnlyOnceTheGroupIsStored)
{
    FakeLibraryFile file;
    file.accountId = h.account;
    file.filename = QStringLiteral("gone.wav");
    file.content = "old take";
    auto gone = h.addRecord(*folder, QStringLiteral("gone.wav"), SyncFileStatus::pending,
                            SyncFileDesiredState::deletedRemote);
    const qint64 id = h.fake.addFile(file);
    gone->setRemoteId(id);
    h.context->save();
    h.fake.delayNext("/api/v1/files/library/" + std::to_string(id), 300ms);
    h.fake.takeMostDelayedAtOnce();
    startPass();
    ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; })) << "the delete was held";

    EXPECT_EQ(h.records(folder->stableID()).at(*folder->folderPath() + QStringLiteral("/gone.wav")),
              (State{SyncFileStatus::syncing, SyncFileDesiredState::deletedRemote}));
    EXPECT_EQ(lane->commitGroupSize(), 0);
    h.runUntilIdle(*lane);
    EXPECT_TRUE(h.records(folder->stableID()).empty());
    EXPECT_TRUE(h.serviceFiles().empty());
}

// While two uploads' outcomes wait in the group, another device replaces one file and deletes
// the other, and the feed applies both; the commit that carries the outcomes is refused. What
// the feed wrote stands: the newer version comes down (never the older take sent over it) and
// the deleted file goes here too (never sent back).
TEST_F(CommitGroupTest, AFailedCommitKeepsWhatTheFeedChangedSince)
{
    addUpload(QStringLiteral("a.wav"));
    addUpload(QStringLiteral("c.wav"));
    addHeldDownload(QStringLiteral("b.wav"));
    refuseUploadRowOf(QStringLiteral("a.wav"));
    startPass();
    const auto doneHere = [&](const QString &name) { return inMemory()[at(name)] == synced; };
    ASSERT_TRUE(runUntil([&] { return doneHere(QStringLiteral("a.wav")) && doneHere(QStringLiteral("c.wav")); }));
    ASSERT_GT(lane->commitGroupSize(), 0);

    const qint64 aID = *lane->fetchRecord(at(QStringLiteral("a.wav")))->remoteId();
    const qint64 cID = *lane->fetchRecord(at(QStringLiteral("c.wav")))->remoteId();
    h.fake.updateFile(aID, [](FakeLibraryFile &file) {
        file.content = "newer take from elsewhere";
        file.checksum.clear();
        file.fileSize = -1;
    });
    h.fake.removeFile(cID);
    await(lane->runDeltaPass({}));
    h.runUntilIdle(*lane);

    const std::map<QString, QString> expected{{QStringLiteral("a.wav"), sha256("newer take from elsewhere")},
                                              {QStringLiteral("b.wav"), sha256(contentOf(QStringLiteral("b.wav")))}};
    EXPECT_EQ(h.serviceFiles(), expected);
    EXPECT_EQ(LaneHarness::folderFiles(*folder->folderPath()), expected);
    EXPECT_EQ(h.records(folder->stableID()), (std::map<QString, State>{{at(QStringLiteral("a.wav")), synced},
                                                                       {at(QStringLiteral("b.wav")), synced}}));
    EXPECT_EQ(bytesSent(QStringLiteral("a.wav")), 1);
}

// The user renames a file whose upload's outcome waits in the group, and the commit that
// carries it is refused: the record stays at its new name, and the file's old name goes at
// the service once the new one is there.
TEST_F(CommitGroupTest, AFailedCommitKeepsALocalRenameMadeSince)
{
    addUpload(QStringLiteral("a.wav"));
    addHeldDownload(QStringLiteral("b.wav"));
    refuseUploadRowOf(QStringLiteral("a.wav"));
    startPass();
    ASSERT_TRUE(runUntil([&] { return inMemory()[at(QStringLiteral("a.wav"))] == synced; }));
    ASSERT_GT(lane->commitGroupSize(), 0);

    ASSERT_TRUE(QFile::rename(at(QStringLiteral("a.wav")), at(QStringLiteral("moved.wav"))));
    await(lane->processDebouncedPaths({at(QStringLiteral("a.wav")), at(QStringLiteral("moved.wav"))}));
    h.runUntilIdle(*lane);

    const QString content = sha256(contentOf(QStringLiteral("a.wav")));
    const std::map<QString, QString> expected{{QStringLiteral("b.wav"), sha256(contentOf(QStringLiteral("b.wav")))},
                                              {QStringLiteral("moved.wav"), content}};
    EXPECT_EQ(h.serviceFiles(), expected);
    EXPECT_EQ(LaneHarness::folderFiles(*folder->folderPath()), expected);
    EXPECT_EQ(h.records(folder->stableID()), (std::map<QString, State>{{at(QStringLiteral("b.wav")), synced},
                                                                       {at(QStringLiteral("moved.wav")), synced}}));
}

// An outcome committed inside its own run (here every outcome commits at once) whose commit is
// refused: the record is owed again on the back-off, not left "syncing" for good, and the next
// pass settles it without sending the bytes again.
TEST_F(CommitGroupTest, AnOutcomeRefusedWhileItsRunStillGoesIsOwedAgain)
{
    SyncLane::setCommitGroupForTesting(SyncLane::commitGroupWindow, 1);
    const auto restore = qScopeGuard(
        [] { SyncLane::setCommitGroupForTesting(SyncLane::commitGroupWindow, SyncLane::commitGroupOutcomes); });
    addUpload(QStringLiteral("a.wav"));
    refuseUploadRowOf(QStringLiteral("a.wav"));
    startPass();
    ASSERT_TRUE(runUntil([&] { return !pass.isRunning(); }));

    EXPECT_EQ(h.records(folder->stableID()), (std::map<QString, State>{{at(QStringLiteral("a.wav")), owedUpload}}));
    EXPECT_EQ(inMemory(), (std::map<QString, State>{{at(QStringLiteral("a.wav")), owedUpload}}));
    EXPECT_TRUE(lane->queueRetryTask().isRunning()) << "a pass at the retry time";

    h.container->execute("DROP TRIGGER refuse_row", StoreError::Kind::saveFailed);
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.records(folder->stableID()), (std::map<QString, State>{{at(QStringLiteral("a.wav")), synced}}));
    EXPECT_EQ(bytesSent(QStringLiteral("a.wav")), 1);
}

// The disk is full when a delete at the service is about to go: what the pass stored so far
// cannot be committed, so no delete goes out; it waits for the back-off and goes once the
// store takes writes again.
TEST_F(CommitGroupTest, NoDeleteGoesOutWhileTheGroupCannotBeStored)
{
    FakeLibraryFile file;
    file.accountId = h.account;
    file.filename = QStringLiteral("gone.wav");
    file.content = "old take";
    auto gone = h.addRecord(*folder, QStringLiteral("gone.wav"), SyncFileStatus::pending,
                            SyncFileDesiredState::deletedRemote);
    gone->setRemoteId(h.fake.addFile(file));
    h.context->save();
    fillDisk(true);
    startPass();
    ASSERT_TRUE(runUntil([&] { return !pass.isRunning(); }));

    EXPECT_THAT(h.destructiveRequests(), ::testing::IsEmpty());
    EXPECT_THAT(h.serviceFiles(), SizeIs(1));
    const State owedDelete{SyncFileStatus::pending, SyncFileDesiredState::deletedRemote};
    EXPECT_EQ(inMemory(), (std::map<QString, State>{{at(QStringLiteral("gone.wav")), owedDelete}}));
    EXPECT_TRUE(lane->queueRetryTask().isRunning()) << "a pass at the retry time";

    fillDisk(false);
    h.runUntilIdle(*lane);
    EXPECT_TRUE(h.records(folder->stableID()).empty());
    EXPECT_TRUE(h.serviceFiles().empty());
}

// A feed pass through a full disk: its change (a newer version, whose download is refused
// meanwhile) never reached the store, so the cursor stays before it and a later pass takes it.
TEST_F(CommitGroupTest, AFeedPageTheStoreDidNotTakeLeavesTheCursorWhereItWas)
{
    const qint64 id = h.serve(*folder, QStringLiteral("song.wav"), "v1");
    await(lane->runDeltaPass({}));
    h.runUntilIdle(*lane);
    ASSERT_EQ(LaneHarness::folderFiles(*folder->folderPath()),
              (std::map<QString, QString>{{QStringLiteral("song.wav"), sha256("v1")}}));
    const auto cursorBefore = storedFolder(folder->stableID())->deltaCursor();
    ASSERT_TRUE(cursorBefore);

    h.fake.updateFile(id, [](FakeLibraryFile &file) {
        file.content = "v2";
        file.checksum.clear();
        file.fileSize = -1;
    });
    h.fake.answerNext("/api/v1/files/library/" + std::to_string(id), 403, R"({"message":"refused"})");
    fillDisk(true);
    await(lane->runDeltaPass({}));
    fillDisk(false);
    h.runUntilIdle(*lane);
    EXPECT_EQ(folder->deltaCursor(), cursorBefore);

    await(lane->runDeltaPass({}));
    h.runUntilIdle(*lane);
    EXPECT_EQ(LaneHarness::folderFiles(*folder->folderPath()),
              (std::map<QString, QString>{{QStringLiteral("song.wav"), sha256("v2")}}));
    EXPECT_EQ(h.records(folder->stableID()), (std::map<QString, State>{{at(QStringLiteral("song.wav")), synced}}));
    EXPECT_EQ(storedFolder(folder->stableID())->deltaCursor(), h.fake.currentCursor(h.account));
}

} // namespace

namespace {

// The store keeps refusing the outcome of an upload: each refusal is one more failed attempt in
// a row, and the wait before the next pass grows with them instead of starting again each time.
TEST_F(CommitGroupTest, OutcomesTheStoreKeepsRefusingWaitLongerEachTime)
{
    SyncLane::setCommitGroupForTesting(SyncLane::commitGroupWindow, 1);
    const auto restore = qScopeGuard(
        [] { SyncLane::setCommitGroupForTesting(SyncLane::commitGroupWindow, SyncLane::commitGroupOutcomes); });
    addUpload(QStringLiteral("a.wav"));
    refuseUploadRowOf(QStringLiteral("a.wav"));
    const auto record = lane->fetchRecord(at(QStringLiteral("a.wav")));
    const auto refusals = [] { return logDetails().filter(QStringLiteral("The store refused")).size(); };

    startPass();
    ASSERT_TRUE(runUntil([&] { return !pass.isRunning(); }));
    std::vector<qint64> waits;
    for (int refused = 1; refused <= 4; ++refused) {
        ASSERT_EQ(refusals(), refused);
        ASSERT_TRUE(record->nextRetryAt());
        waits.push_back(h.clock.currentDateTime().secsTo(*record->nextRetryAt()));
        EXPECT_EQ(record->retryCount(), refused);
        EXPECT_EQ(inMemory().at(at(QStringLiteral("a.wav"))), owedUpload);
        // The pass at the retry time sends it again, and the store refuses again.
        h.clock.advance(std::chrono::seconds(waits.back()));
        ASSERT_TRUE(runUntil([&] { return refusals() == refused + 1 && !lane->isProcessingQueue(); }));
    }
    for (size_t i = 1; i < waits.size(); ++i)
        EXPECT_GT(waits[i], waits[i - 1]) << "after refusal " << i + 1;

    h.container->execute("DROP TRIGGER refuse_row", StoreError::Kind::saveFailed);
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.records(folder->stableID()), (std::map<QString, State>{{at(QStringLiteral("a.wav")), synced}}));
}

} // namespace
