// The change feed applied to a real folder against the fake service: what arrives is
// downloaded, held or deleted, and nothing the user made is overwritten or removed.

#include "Lane/LaneTestSupport.h"
#include "support/lane/ForwardingSyncAPI.h"

#include "Platform/Async/AsyncMutex.h"
#include "Platform/Async/TaskHandle.h"

#include <gmock/gmock.h>

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

using State = LaneHarness::RecordState;

class DeltaSyncTest : public LaneTest
{
protected:
    void open(SyncFolderSyncMode mode)
    {
        folder = h.addFolder(SyncFolderType::projectsFolder, mode);
        root = *folder->folderPath();
        lane = h.makeLane(folder);
        lane->start();
        h.runUntilIdle(*lane);
    }

    qint64 serve(const QString &name, const QByteArray &bytes, std::optional<QString> drivePath = std::nullopt)
    {
        return h.serve(*folder, name, bytes, std::move(drivePath));
    }

    // One pass, then whatever it left owed.
    void pass()
    {
        await(lane->runDeltaPass({}));
        h.runUntilIdle(*lane);
    }

    std::map<QString, QString> files() const { return LaneHarness::folderFiles(root); }
    std::map<QString, State> records() { return h.records(folder->stableID()); }
    QString at(const QString &relative) const { return root + u'/' + relative; }

    std::shared_ptr<SyncFolder> folder;
    QString root;
    std::shared_ptr<SyncLane> lane;
};

TEST_F(DeltaSyncTest, ChangesReachATwoWayFolderAndLocalEditsAreKept)
{
    open(SyncFolderSyncMode::bidirectional);
    const qint64 kept = serve(QStringLiteral("kept.wav"), "v1");
    const qint64 edited = serve(QStringLiteral("edited.wav"), "v1", QStringLiteral("A"));
    const qint64 gone = serve(QStringLiteral("gone.wav"), "gone");
    const qint64 mine = serve(QStringLiteral("mine.wav"), "mine");
    pass();
    ASSERT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("A/edited.wav"), sha256("v1")},
                                                   {QStringLiteral("gone.wav"), sha256("gone")},
                                                   {QStringLiteral("kept.wav"), sha256("v1")},
                                                   {QStringLiteral("mine.wav"), sha256("mine")}}));
    EXPECT_EQ(folder->deltaCursor(), h.fake.currentCursor(h.account));
    for (const auto &[path, state] : records())
        EXPECT_EQ(state, synced) << path.toStdString();

    // The service changes two files and deletes two; the user edited one of each meanwhile.
    writeFile(at(QStringLiteral("A/edited.wav")), "local edit");
    writeFile(at(QStringLiteral("mine.wav")), "mine, edited");
    replace(kept, "v2");
    replace(edited, "v2 from elsewhere");
    h.fake.removeFile(gone);
    h.fake.removeFile(mine);
    h.fake.clearRequestLog();
    pass();

    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("A/edited.wav"), sha256("local edit")},
                                                   {QStringLiteral("kept.wav"), sha256("v2")},
                                                   {QStringLiteral("mine.wav"), sha256("mine, edited")}}));
    // Nothing of the user's was replaced or removed. The file deleted at the service went back
    // up; the one edited on both sides replaced neither version: it waits as a conflict.
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("A/edited.wav")), sha256("v2 from elsewhere"));
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("mine.wav")), sha256("mine, edited"));
    EXPECT_EQ(records(), (std::map<QString, State>{
                             {at(QStringLiteral("A/edited.wav")), {SyncFileStatus::conflict, SyncFileDesiredState::uploadPending}},
                             {at(QStringLiteral("kept.wav")), synced},
                             {at(QStringLiteral("mine.wav")), synced}}));
    EXPECT_THAT(h.fake.requestsTo("GET", QStringLiteral("/api/v1/files/library/%1").arg(edited).toStdString()), IsEmpty());
}

TEST_F(DeltaSyncTest, AGuardHoldsDownloadsUntilItQuitsButNotInADownloadOnlyFolder)
{
    open(SyncFolderSyncMode::bidirectional);
    const qint64 id = serve(QStringLiteral("song.wav"), "v1");
    pass();
    h.dawProvider->result = {QStringLiteral("Studio")};
    replace(id, "v2");
    serve(QStringLiteral("new.wav"), "new");
    pass();
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("song.wav"), sha256("v1")}}));
    const State held{SyncFileStatus::pending, SyncFileDesiredState::downloadHeld};
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("new.wav")), held},
                                                   {at(QStringLiteral("song.wav")), {SyncFileStatus::synced, SyncFileDesiredState::downloadHeld}}}));
    EXPECT_EQ(lane->heldDownloadNotice(),
              QStringLiteral("new.wav can't sync while Studio is open. Close your DAW to get the latest version."));

    // The application quit: the next pass releases both before it asks for changes.
    h.dawProvider->result.clear();
    pass();
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("new.wav"), sha256("new")},
                                                   {QStringLiteral("song.wav"), sha256("v2")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("new.wav")), synced},
                                                   {at(QStringLiteral("song.wav")), synced}}));
    EXPECT_EQ(lane->heldDownloadNotice(), std::nullopt);
}

TEST_F(DeltaSyncTest, ADownloadOnlyFolderTakesTheServicesVersionWhateverRuns)
{
    open(SyncFolderSyncMode::downloadOnly);
    h.dawProvider->result = {QStringLiteral("Studio")};
    const qint64 id = serve(QStringLiteral("song.wav"), "v1");
    pass();
    writeFile(at(QStringLiteral("song.wav")), "local");
    replace(id, "v2");
    pass();
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("song.wav"), sha256("v2")}}));
    h.fake.removeFile(id);
    pass();
    EXPECT_THAT(files(), IsEmpty());
    EXPECT_THAT(records(), IsEmpty());
}

TEST_F(DeltaSyncTest, AHostileFeedWritesNothingOutsideTheFolderAndDeletesNothing)
{
    open(SyncFolderSyncMode::bidirectional);
    writeFile(at(QStringLiteral("keep.wav")), "keep");
    writeFile(h.rootPath + QStringLiteral("/outside.wav"), "outside");
    // Every entry under the harness root (hidden ones included), with its content's hash.
    const auto tree = [&] {
        std::map<QString, QString> all;
        QDirIterator it(h.rootPath, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (it.fileName().startsWith(QStringLiteral("Quillmere.store")))
                continue; // the harness's own store
            QFile file(path);
            all[path] = QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly) ? QStringLiteral("-")
                                                                                   : sha256(file.readAll());
        }
        return all;
    };
    const QString longName = QString(300, u'x') + QStringLiteral(".wav");
    const QString nfd = QStringLiteral("Cafe\u0301.wav");
    const QString nfc = nfd.normalized(QString::NormalizationForm_C);
    writeFile(at(nfc), "the user's");
    const auto before = tree();
    std::vector<qint64> ids;
    for (const auto &[name, drive] : std::vector<std::pair<QString, std::optional<QString>>>{
             {QStringLiteral("../x.wav"), std::nullopt},
             {QStringLiteral("/etc/passwd"), std::nullopt},
             {QString(), std::nullopt},
             {QStringLiteral("."), std::nullopt},
             {QStringLiteral(".."), std::nullopt},
             {QStringLiteral("a/b.wav"), std::nullopt},
             {QString::fromUtf8("nul\0.wav", 8), std::nullopt},
             {QStringLiteral("cr\r\nlf.wav"), std::nullopt},
             {longName, std::nullopt},
             {nfd, std::nullopt},
             {QStringLiteral("y.wav"), QStringLiteral("../..")},
             {QStringLiteral("z.wav"), QStringLiteral("/tmp")}})
        ids.push_back(serve(name, "hostile", drive));
    pass();
    // Then the service "deletes" them all, and a file the user has.
    for (const qint64 id : ids)
        h.fake.removeFile(id);
    pass();

    auto after = tree();
    // Nothing outside the folder changed; inside it, at most the harmless names arrived.
    for (const auto &[path, hash] : before)
        EXPECT_EQ(after[path], hash) << path.toStdString();
    for (const auto &[path, hash] : after)
        EXPECT_TRUE(before.count(path) || path.startsWith(root + u'/')) << path.toStdString();
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    // The decomposed twin of the user's file is not written beside it.
    EXPECT_FALSE(QFileInfo::exists(at(nfd)));
    EXPECT_EQ(after[at(nfc)], sha256("the user's"));
}

TEST_F(DeltaSyncTest, AReplayedDeleteOfAnOldIdSparesTheLiveFileAtItsPath)
{
    open(SyncFolderSyncMode::bidirectional);
    const qint64 old = serve(QStringLiteral("take.wav"), "old");
    h.fake.removeFile(old);
    const qint64 live = serve(QStringLiteral("take.wav"), "live");
    // No cursor: the whole history, the old id's create and delete included.
    pass();
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("live")}}));
    EXPECT_EQ(lane->fetchRecord(at(QStringLiteral("take.wav")))->remoteId(), live);
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), synced}}));
}

TEST_F(DeltaSyncTest, FailuresAndStopsNeverStoreACursorAndOnlyRealFailuresBackOff)
{
    open(SyncFolderSyncMode::bidirectional);
    serve(QStringLiteral("a.wav"), "a");
    h.fake.answerNext("/api/v1/files/library/changes", 500, R"({"message":"down"})");
    pass();
    EXPECT_EQ(lane->consecutiveDeltaFailures(), 1);
    EXPECT_EQ(folder->deltaCursor(), std::nullopt);
    h.fake.rateLimitNext("/api/v1/files/library/changes", 1, 5);
    pass();
    EXPECT_EQ(lane->consecutiveDeltaFailures(), 1);

    // Stopped while the file downloads: the cursor stays where it was.
    h.fake.delayNext("/api/v1/files/library/*", std::chrono::milliseconds(300));
    bool done = false;
    std::exception_ptr error;
    detail::captureVoid(lane->runDeltaPass({}), error, done);
    ASSERT_TRUE(runUntil([&] { return !h.fake.requestsTo("GET", "/api/v1/files/library/changes").empty(); }));
    lane->stop();
    ASSERT_TRUE(runUntil([&] { return done; }));
    EXPECT_EQ(folder->deltaCursor(), std::nullopt);

    // Any answer brings the back-off down again, an empty feed included.
    lane->start();
    h.runUntilIdle(*lane);
    pass();
    EXPECT_EQ(lane->consecutiveDeltaFailures(), 0);
    EXPECT_EQ(folder->deltaCursor(), h.fake.currentCursor(h.account));
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("a.wav"), sha256("a")}}));

    // A cursor the service no longer knows: read again from the start, and a full sync.
    folder->setDeltaCursor(QStringLiteral("cur-gone"));
    h.fake.answerNext("/api/v1/files/library/changes", 410, R"({"message":"expired cursor"})");
    h.fake.clearRequestLog();
    pass();
    EXPECT_EQ(lane->consecutiveDeltaFailures(), 0);
    EXPECT_EQ(folder->deltaCursor(), std::nullopt);
    EXPECT_THAT(h.fake.requestsTo("GET", "/api/v1/files/library"), SizeIs(1));
}

} // namespace

namespace {

// A failed feed request is shown until the feed answers again, with changes or without; a
// record that still fails keeps its own message through it all.
TEST_F(DeltaSyncTest, AFeedFailureIsShownUntilTheFeedAnswersAndARecordsOwnFailureStays)
{
    open(SyncFolderSyncMode::bidirectional);
    h.fake.answerNext("/api/v1/files/library/changes", 503, R"({"message":"busy"})");
    pass();
    ASSERT_TRUE(lane->lastError());
    EXPECT_TRUE(lane->lastError()->contains(QStringLiteral("503"))) << lane->lastError()->toStdString();
    pass();
    EXPECT_EQ(lane->lastError(), std::nullopt);
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());

    writeFile(at(QStringLiteral("odd.wav")), "odd");
    h.addRecord(*folder, QStringLiteral("odd.wav"), SyncFileStatus::pending, SyncFileDesiredState::uploadPending);
    h.fake.answerNext("/api/v1/files/check-hash", 422, R"({"message":"format"})");
    await(lane->processQueue({}));
    h.runUntilIdle(*lane);
    const QString refused = QStringLiteral("Upload rejected — file format issue");
    ASSERT_EQ(lane->lastError(), refused);

    h.fake.answerNext("/api/v1/files/library/changes", 500, R"({"message":"down"})");
    pass();
    ASSERT_TRUE(lane->lastError());
    EXPECT_TRUE(lane->lastError()->contains(QStringLiteral("500"))) << lane->lastError()->toStdString();
    serve(QStringLiteral("new.wav"), "new");
    pass();
    EXPECT_EQ(files().count(QStringLiteral("new.wav")), 1u);
    EXPECT_EQ(lane->lastError(), refused);
    ASSERT_THAT(lane->syncErrors(), SizeIs(1));
    EXPECT_EQ(lane->syncErrors()[0].filename, QStringLiteral("odd.wav"));
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
}

// A refused full sync stays the folder's error: a feed that fails and answers again meanwhile
// leaves its message shown, not nothing.
TEST_F(DeltaSyncTest, AFeedThatAnswersAgainLeavesARefusedFullSyncShown)
{
    folder = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional);
    h.fake.answerNext("/api/v1/files/library", 403, R"({"message":"not yours"})");
    lane = h.makeLane(folder);
    lane->start();
    ASSERT_TRUE(runUntil([&] { return lane->syncState().isError() && !lane->syncTask().isRunning(); }));
    const auto refused = lane->lastError();
    ASSERT_TRUE(refused);

    h.fake.answerNext("/api/v1/files/library/changes", 503, R"({"message":"busy"})");
    await(lane->runDeltaPass({}));
    ASSERT_NE(lane->lastError(), refused);
    await(lane->runDeltaPass({}));
    EXPECT_EQ(lane->lastError(), refused);
    EXPECT_EQ(lane->syncState(), SyncEngineState::error(*refused));
}

TEST_F(DeltaSyncTest, AChangeMadeBetweenTheListingAndTheFirstPassIsNotSkipped)
{
    folder = h.addFolder(SyncFolderType::projectsFolder);
    root = *folder->folderPath();
    writeFile(at(QStringLiteral("mine.wav")), "mine");
    lane = h.makeLane(folder);
    // While the full sync's uploads are checked, after its listing, the service gets a file.
    h.fake.delayNext("/api/v1/files/batch-check-hash", std::chrono::milliseconds(300));
    lane->start();
    ASSERT_TRUE(runUntil([&] { return !h.fake.requestsTo("POST", "/api/v1/files/batch-check-hash").empty(); }));
    serve(QStringLiteral("theirs.wav"), "theirs");
    h.runUntilIdle(*lane);
    EXPECT_EQ(folder->deltaCursor(), std::nullopt);

    pass();
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("mine.wav"), sha256("mine")},
                                                   {QStringLiteral("theirs.wav"), sha256("theirs")}}));
}

} // namespace

namespace {

TEST_F(DeltaSyncTest, AnUploadOnlyFolderStillFetchesWhatItLacksAndATruncatedDownloadLeavesTheOldFile)
{
    open(SyncFolderSyncMode::uploadOnly);
    const qint64 id = serve(QStringLiteral("song.wav"), "v1");
    pass();
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("song.wav"), sha256("v1")}}));

    // The new version arrives cut short: the old file stays, and the record stays owed.
    replace(id, QByteArray(64 * 1024, 'v'));
    h.fake.cutBodyNext("/api/v1/files/library/" + std::to_string(id), 1000);
    await(lane->runDeltaPass({}));
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("song.wav"), sha256("v1")}}));
    const auto owed = lane->fetchRecord(at(QStringLiteral("song.wav")));
    EXPECT_EQ(owed->desiredState(), SyncFileDesiredState::downloadPending);
    EXPECT_EQ(owed->syncStatus(), SyncFileStatus::pending);
    EXPECT_TRUE(owed->nextRetryAt());
    // Its retry fetches it whole.
    h.runUntilIdle(*lane);
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("song.wav"), sha256(QByteArray(64 * 1024, 'v'))}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("song.wav")), synced}}));
}

} // namespace

namespace {

TEST_F(DeltaSyncTest, WithoutTheServicesCursorTheNewestServiceTimeIsKeptNeverThisDevicesClock)
{
    open(SyncFolderSyncMode::bidirectional);
    const qint64 id = serve(QStringLiteral("a.wav"), "a");
    const std::string path = "/api/v1/files/library/changes";
    const auto feed = [&](const char *times) {
        return QStringLiteral(R"({"changes":[{"id":%1,"filename":"a.wav","action":"created","file_checksum":"%2"%3}]})")
            .arg(id)
            .arg(sha256("a"))
            .arg(QLatin1String(times))
            .toStdString();
    };
    h.fake.answerNext(path, 200, feed(R"(,"created_at":"2031-05-01T10:00:00Z","updated_at":"2031-05-02T10:00:00Z")"));
    pass();
    EXPECT_EQ(folder->deltaCursor(), QStringLiteral("2031-05-02T10:00:00Z"));
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("a.wav"), sha256("a")}}));
    // Nothing to go by: the cursor stays where it was.
    h.fake.answerNext(path, 200, feed(""));
    pass();
    EXPECT_EQ(folder->deltaCursor(), QStringLiteral("2031-05-02T10:00:00Z"));
}

} // namespace

namespace {

TEST_F(DeltaSyncTest, TheFeedsEchoOfThisFoldersOwnUploadIsNotHeld)
{
    open(SyncFolderSyncMode::bidirectional);
    writeFile(at(QStringLiteral("mine.wav")), "mine");
    lane->stop();
    lane->start();
    h.runUntilIdle(*lane);
    ASSERT_EQ(h.serviceFiles().at(QStringLiteral("mine.wav")), sha256("mine"));
    h.dawProvider->result = {QStringLiteral("Studio")};
    pass();
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("mine.wav")), synced}}));
    EXPECT_EQ(lane->heldDownloadNotice(), std::nullopt);
}

} // namespace

TEST_F(DeltaSyncTest, ALongFeedLandsAsAShortOneWouldAndGivesTheHeapBackOnce)
{
    open(SyncFolderSyncMode::bidirectional);
    int returns = 0;
    lane->setFreedMemoryReturnForTesting([&returns] { ++returns; });
    // Long enough that its records are looked up a chunk at a time, in three chunks.
    std::vector<qint64> ids;
    std::map<QString, QString> expected;
    for (int i = 0; i < int(SyncLane::largeFeed) + 100; ++i) {
        const QString name = QStringLiteral("take_%1.wav").arg(i);
        const QString folderName = QStringLiteral("S%1").arg(i % 7);
        ids.push_back(serve(name, "v1 " + name.toUtf8(), folderName));
        expected[folderName + u'/' + name] = sha256("v1 " + name.toUtf8());
    }
    // Thousands of files: seconds under the sanitizers, more on a loaded machine.
    await(lane->runDeltaPass({}), std::chrono::minutes(2));
    // Given back a while after the feed, once the pass has let go of what it held.
    EXPECT_EQ(returns, 0);
    h.runUntilIdle(*lane, std::chrono::minutes(2));
    ASSERT_EQ(files(), expected);
    h.clock.advance(SyncLane::freedMemoryDelay);
    drainEvents();
    EXPECT_EQ(returns, 1);

    // Forty updates, a delete, and a delete of a file the user edited meanwhile: still more
    // than a lookup chunk's threshold, far from a long feed.
    for (int i = 0; i < 40; ++i) {
        replace(ids[size_t(i)], "v2");
        expected[QStringLiteral("S%1/take_%2.wav").arg(i % 7).arg(i)] = sha256("v2");
    }
    h.fake.removeFile(ids[100]);
    expected.erase(QStringLiteral("S%1/take_100.wav").arg(100 % 7));
    writeFile(at(QStringLiteral("S%1/take_101.wav").arg(101 % 7)), "edited here");
    expected[QStringLiteral("S%1/take_101.wav").arg(101 % 7)] = sha256("edited here");
    h.fake.removeFile(ids[101]);
    pass();
    EXPECT_EQ(files(), expected);
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("S%1/take_101.wav").arg(101 % 7)), sha256("edited here"));
    for (const auto &[path, state] : records())
        EXPECT_EQ(state, synced) << path.toStdString();
    EXPECT_EQ(records().size(), expected.size());
    h.clock.advance(SyncLane::freedMemoryDelay);
    drainEvents();
    EXPECT_EQ(returns, 1);
}

namespace {

// The harness's client, whose change-feed requests wait while the test holds `hold`.
class HeldFeedAPI : public ForwardingSyncAPI
{
public:
    using ForwardingSyncAPI::ForwardingSyncAPI;
    AsyncMutex hold;
    int waiting = 0;

protected:
    QCoro::Task<ChangeFeed> doFetchChanges(QString cursor, std::optional<SyncFolderType> kind,
                                           std::optional<QString> folderID, std::stop_token stop) override
    {
        ++waiting;
        {
            auto locking = hold.lock();
            auto released = co_await std::move(locking);
        }
        --waiting;
        auto api = inner();
        auto fetching = api->fetchChanges(std::move(cursor), kind, std::move(folderID), std::move(stop));
        co_return co_await std::move(fetching);
    }
};

// The first catch-ups of a link (no cursor yet: each the folder's whole feed, held until it is
// applied) take the turn large reconciliations take: while one folder's is read, another's
// waits and applies nothing; a pass with a cursor never waits.
TEST_F(DeltaSyncTest, FirstCatchUpsWithoutACursorTakeTurnsAndOneWithACursorDoesNot)
{
    auto api = std::make_shared<HeldFeedAPI>(h.client);
    const auto addFolder = [this](const char *name) {
        return h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QLatin1String(name));
    };
    const auto first = addFolder("Loops"), second = addFolder("Stems"), third = addFolder("Takes");
    const auto firstLane = std::dynamic_pointer_cast<SyncLane>(makeSyncLaneFactory()(LaneServices{
        first, api, h.bookmarks, h.rules, h.conflicts, h.context, &h.vault, &h.clock, h.dawProvider}));
    firstLane->setDeltaLoopEnabledForTesting(false);
    const auto secondLane = h.makeLane(second), thirdLane = h.makeLane(third);
    for (const auto &linked : {firstLane, secondLane, thirdLane}) {
        linked->start();
        h.runUntilIdle(*linked);
    }
    const auto filesOf = [](const SyncFolder &linked) { return LaneHarness::folderFiles(*linked.folderPath()); };
    h.serve(*third, QStringLiteral("t1.wav"), "t1");
    await(thirdLane->runDeltaPass({}));
    h.runUntilIdle(*thirdLane);
    ASSERT_TRUE(third->deltaCursor());
    EXPECT_FALSE(first->deltaCursor() || second->deltaCursor());
    h.serve(*first, QStringLiteral("a.wav"), "a");
    h.serve(*second, QStringLiteral("b.wav"), "b");
    h.serve(*third, QStringLiteral("t2.wav"), "t2");

    // The first holds the turn while its whole feed is on its way.
    auto holding = api->hold.tryLock();
    ASSERT_TRUE(holding);
    auto firstPass = firstLane->runDeltaPass({});
    ASSERT_TRUE(runUntil([&] { return api->waiting == 1; }));
    EXPECT_TRUE(SyncLane::largeReconciliationGate().isLocked());
    auto secondPass = secondLane->runDeltaPass({});
    ASSERT_TRUE(runUntil([&] { return secondLane->isWaitingForTurn(); }));

    // Meanwhile a pass with a cursor goes through, and the second still waits with nothing applied.
    await(thirdLane->runDeltaPass({}));
    h.runUntilIdle(*thirdLane);
    EXPECT_EQ(filesOf(*third), (std::map<QString, QString>{{QStringLiteral("t1.wav"), sha256("t1")},
                                                           {QStringLiteral("t2.wav"), sha256("t2")}}));
    EXPECT_TRUE(secondLane->isWaitingForTurn());
    EXPECT_THAT(filesOf(*second), IsEmpty());
    EXPECT_THAT(h.records(second->stableID()), IsEmpty());
    EXPECT_FALSE(second->deltaCursor());

    // Each in its turn, and the turn is let go of.
    holding.reset();
    await(std::move(firstPass));
    await(std::move(secondPass));
    h.runUntilIdle(*firstLane);
    h.runUntilIdle(*secondLane);
    EXPECT_EQ(filesOf(*first), (std::map<QString, QString>{{QStringLiteral("a.wav"), sha256("a")}}));
    EXPECT_EQ(filesOf(*second), (std::map<QString, QString>{{QStringLiteral("b.wav"), sha256("b")}}));
    EXPECT_TRUE(first->deltaCursor() && second->deltaCursor());
    EXPECT_FALSE(secondLane->isWaitingForTurn());
    EXPECT_FALSE(SyncLane::largeReconciliationGate().isLocked());
    for (const auto &linked : {firstLane, secondLane, thirdLane})
        linked->stop();
}

// A folder whose feed has nothing yet still goes on from where the service said: its next
// pass is no first catch-up and waits for nobody's turn.
TEST_F(DeltaSyncTest, AnEmptyFeedStoresItsCursorAndTheNextPassWaitsForNoTurn)
{
    open(SyncFolderSyncMode::bidirectional);
    pass();
    EXPECT_TRUE(folder->deltaCursor());
    EXPECT_TRUE(storedFolder(folder->stableID())->deltaCursor());

    auto holding = SyncLane::largeReconciliationGate().tryLock();
    ASSERT_TRUE(holding);
    serve(QStringLiteral("new.wav"), "new");
    TaskHandle passing = TaskHandle::start([l = lane](std::stop_token) { return l->runDeltaPass({}); });
    EXPECT_TRUE(runUntil([&] { return !passing.isRunning(); }, std::chrono::seconds(5)));
    holding.reset();
    h.runUntilIdle(*lane);
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("new.wav"), sha256("new")}}));
}

// A first catch-up holds the turn while its page is in memory, not while what it owes comes down.
TEST_F(DeltaSyncTest, AFirstCatchUpLetsTheTurnGoBeforeItsDownloads)
{
    open(SyncFolderSyncMode::bidirectional);
    ASSERT_FALSE(folder->deltaCursor());
    const qint64 id = serve(QStringLiteral("take.wav"), "take");
    h.fake.delayNext("/api/v1/files/library/" + std::to_string(id), std::chrono::milliseconds(300));
    TaskHandle passing = TaskHandle::start([l = lane](std::stop_token) { return l->runDeltaPass({}); });
    ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; }));
    EXPECT_FALSE(SyncLane::largeReconciliationGate().isLocked());
    EXPECT_TRUE(folder->deltaCursor());
    ASSERT_TRUE(runUntil([&] { return !passing.isRunning(); }));
    h.runUntilIdle(*lane);
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("take")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), synced}}));
}

} // namespace

namespace {

// The user brings an older take back while the page's check of the file asks the service about
// it, and the edit's upload is dispatched before the check answers: the page passed the file by,
// so its cursor stays before it, and the next pass meets the record as the upload left it. The
// other device's version is held against the edit; neither is replaced.
TEST_F(DeltaSyncTest, AChangeSkippedForAnUploadThatBeganDuringItsCheckIsReadAgainByTheNextPass)
{
    folder = h.addFolder(SyncFolderType::projectsFolder);
    root = *folder->folderPath();
    const qint64 id = serve(QStringLiteral("take.wav"), "v0");
    lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane); // the listing names v0 here
    replace(id, "v1");
    pass();
    ASSERT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("v1")}}));
    const std::optional<QString> cursorBefore = storedFolder(folder->stableID())->deltaCursor();
    ASSERT_TRUE(cursorBefore);

    writeFile(at(QStringLiteral("take.wav")), "v0");
    replace(id, "v2");
    h.fake.takeMostDelayedAtOnce();
    h.fake.delayNext("/api/v1/files/batch-check-hash", std::chrono::milliseconds(1000));
    std::exception_ptr error;
    bool done = false;
    detail::captureVoid(lane->runDeltaPass({}), error, done);
    ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; })) << "the page's check is on its way";
    // The upload's own read of the service is still on its way when the check answers.
    h.fake.delayNext("/api/v1/files/library/changes", std::chrono::milliseconds(2500));
    lane->handleFileEvents({at(QStringLiteral("take.wav"))});
    h.runUntilIdle(*lane);
    ASSERT_TRUE(runUntil([&] { return done; }));
    ASSERT_FALSE(error);
    EXPECT_EQ(storedFolder(folder->stableID())->deltaCursor(), cursorBefore) << "the skipped change is read again";

    pass();
    EXPECT_NE(storedFolder(folder->stableID())->deltaCursor(), cursorBefore);
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("v2")}}));
    EXPECT_EQ(files(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("v0")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")),
                                                    State{SyncFileStatus::conflict, SyncFileDesiredState::uploadPending}}}));
    EXPECT_EQ(lane->fetchRecord(at(QStringLiteral("take.wav")))->conflictServerOid(), sha256("v2"));
}

} // namespace
