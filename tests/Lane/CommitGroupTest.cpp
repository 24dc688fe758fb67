// The queue's outcomes committed in groups: what the store and the lane's view hold while a
// group waits, when it fails, and when the lane stops or pauses inside its window.

#include "Lane/LaneTestSupport.h"

#include "Model/LaneQueries.h"
#include "Model/OperationResolution.h"
#include "Model/StoreError.h"

#include <gmock/gmock.h>

#include <QFile>

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
    gone->setRemoteId(h.fake.addFile(file));
    h.context->save();
    h.fake.delayNext("/api/v1/files/library/*", 300ms);
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

} // namespace
