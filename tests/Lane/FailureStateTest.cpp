// What a failure leaves behind: which failures hold a record, how long a failure stays shown,
// and what settles a record that cannot be done as asked.

#include "Lane/LaneTestSupport.h"
#include "support/lane/ForwardingSyncAPI.h"

#include "Engine/SyncEngine.h"
#include "Model/OperationResolution.h"
#include "Platform/Http/TransportError.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <gmock/gmock.h>

#include <QDir>
#include <QFile>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

using namespace std::chrono_literals;

// The harness's client, whose listings fail on a refused certificate the first times.
class RefusingAPI : public ForwardingSyncAPI
{
public:
    using ForwardingSyncAPI::ForwardingSyncAPI;
    int refusals = 0;
    int listings = 0;
    bool refuseFeed = false;

protected:
    QCoro::Task<QList<RemoteFile>> doListLibraryFiles(std::optional<SyncFolderType> k, std::optional<QString> id,
                                                      std::stop_token s) override
    {
        if (listings++ < refusals)
            refuse();
        auto api = inner();
        co_return co_await api->listLibraryFiles(k, std::move(id), std::move(s));
    }
    QCoro::Task<ChangeFeed> doFetchChanges(QString c, std::optional<SyncFolderType> k, std::optional<QString> id,
                                           std::stop_token s) override
    {
        if (refuseFeed)
            refuse();
        auto api = inner();
        co_return co_await api->fetchChanges(std::move(c), k, std::move(id), std::move(s));
    }

private:
    static void refuse()
    {
        const TransportError refused(TransportError::Code::certificateExpired);
        throw HarborlyAPIError::networkError(std::make_exception_ptr(refused), QString::fromUtf8(refused.what()));
    }
};

class FailureStateTest : public LaneTest
{
protected:
    void SetUp() override
    {
        LaneTest::SetUp();
        folder = h.addFolder(SyncFolderType::projectsFolder);
        root = *folder->folderPath();
        lane = h.makeLane(folder);
    }

    QString pathOf(const QString &relative) const { return root + u'/' + relative; }

    std::shared_ptr<SyncFile> upload(const QString &relative, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(pathOf(relative)).path());
        writeFile(pathOf(relative), bytes);
        return h.addRecord(*folder, relative, SyncFileStatus::pending, SyncFileDesiredState::uploadPending);
    }

    // A file of the service in this folder, owed a download.
    std::shared_ptr<SyncFile> download(const QString &relative, const QByteArray &bytes)
    {
        const qint64 id = h.serve(*folder, QFileInfo(relative).fileName(), bytes);
        auto record = h.addRecord(*folder, relative, SyncFileStatus::pending, SyncFileDesiredState::downloadPending);
        record->setRemoteId(id);
        record->setRemoteChecksum(sha256(bytes));
        h.context->save();
        return record;
    }

    // One queue pass to its end; the passes it schedules wait for the clock.
    void runOnePass()
    {
        auto body = [l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); };
        pass = TaskHandle::start(std::move(body));
        ASSERT_TRUE(runUntil([&] { return !pass.isRunning(); }));
        // A timer stopped at the pass's end leaves the clock on a later turn of the loop.
        drainEvents();
    }

    // The pass and every retry it schedules, moving the clock.
    void runPasses()
    {
        auto body = [l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); };
        pass = TaskHandle::start(std::move(body));
        h.runUntilIdle(*lane);
    }

    std::shared_ptr<SyncFile> stored(const QString &relative)
    {
        reader = std::make_unique<ModelContext>(h.container);
        return reader->fetchFirst(SyncFile::withLocalPath(pathOf(relative)));
    }

    QStringList outcomes()
    {
        reader = std::make_unique<ModelContext>(h.container);
        QStringList list;
        for (const auto &row : reader->fetch(FetchDescriptor<OperationResolution>()))
            list.append(row->operationType() + u':' + row->outcome());
        return list;
    }

    std::shared_ptr<SyncFolder> folder;
    QString root;
    std::shared_ptr<SyncLane> lane;
    TaskHandle pass;
};

// Only an upload asks the service for room. A 507 on a delete or a download is that request's
// failure, retried; an upload refused for storage waits until the storage clears, then goes.
TEST_F(FailureStateTest, StorageFullHoldsOnlyUploadsAndThoseGoAgainWhenItClears)
{
    const qint64 gone = h.serve(*folder, QStringLiteral("gone.wav"), "old");
    auto deleted = h.addRecord(*folder, QStringLiteral("gone.wav"), SyncFileStatus::pending,
                               SyncFileDesiredState::deletedRemote);
    deleted->setRemoteId(gone);
    deleted->setLocalChecksum(sha256("old"));
    h.context->save();
    download(QStringLiteral("fresh.wav"), "fresh");
    h.fake.storageFullNext("/api/v1/files/library/*", 2);
    runPasses();

    EXPECT_EQ(h.calls(*lane).storageFull, 0);
    EXPECT_FALSE(stored(QStringLiteral("gone.wav")));
    EXPECT_EQ(readFile(pathOf(QStringLiteral("fresh.wav"))), "fresh");
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("fresh.wav"), sha256("fresh")}}));
    EXPECT_THAT(lane->syncErrors(), IsEmpty());
    EXPECT_FALSE(lane->lastError());
    EXPECT_FALSE(outcomes().contains(QStringLiteral("deleteRemote:failedPermanent")));
    EXPECT_FALSE(outcomes().contains(QStringLiteral("download:failedPermanent")));

    upload(QStringLiteral("take.wav"), "take");
    h.fake.storageFullNext("/api/v1/files/check-hash");
    runPasses();
    ASSERT_EQ(h.calls(*lane).storageFull, 1);
    EXPECT_EQ(stored(QStringLiteral("take.wav"))->syncStatus(), SyncFileStatus::error);
    EXPECT_EQ(lane->lastError(), QStringLiteral("Storage limit reached"));

    // The storage monitor found room: owed again at once, no longer shown as failing.
    lane->storageAvailable();
    EXPECT_EQ(stored(QStringLiteral("take.wav"))->syncStatus(), SyncFileStatus::pending);
    EXPECT_THAT(lane->syncErrors(), IsEmpty());
    runPasses();
    EXPECT_EQ(stored(QStringLiteral("take.wav"))->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("take"));
    EXPECT_THAT(lane->syncErrors(), IsEmpty());
    EXPECT_FALSE(lane->lastError());
}

// An entry of the error list belongs to its record: another file of the same name that goes
// through leaves it, and the record forgotten takes it (and the last error) away.
TEST_F(FailureStateTest, AnErrorStaysWhileItsOwnRecordFailsAndGoesWithIt)
{
    upload(QStringLiteral("a/kick.wav"), "first kick");
    h.fake.answerNext("/api/v1/files/check-hash", 422, R"({"message":"format"})");
    runOnePass();
    ASSERT_EQ(stored(QStringLiteral("a/kick.wav"))->syncStatus(), SyncFileStatus::error);

    upload(QStringLiteral("b/kick.wav"), "second kick");
    runOnePass();
    ASSERT_EQ(stored(QStringLiteral("b/kick.wav"))->syncStatus(), SyncFileStatus::synced);
    ASSERT_THAT(lane->syncErrors(), SizeIs(1));
    EXPECT_EQ(lane->syncErrors()[0].filename, QStringLiteral("kick.wav"));
    EXPECT_EQ(lane->lastError(), QStringLiteral("Upload rejected — file format issue"));

    // The user deletes the refused file; never at the service, its record is forgotten.
    ASSERT_TRUE(QFile::remove(pathOf(QStringLiteral("a/kick.wav"))));
    lane->handleFileEvents({pathOf(QStringLiteral("a/kick.wav"))});
    h.runUntilIdle(*lane);
    ASSERT_FALSE(stored(QStringLiteral("a/kick.wav")));
    EXPECT_THAT(lane->syncErrors(), IsEmpty());
    EXPECT_FALSE(lane->lastError());
}

// A transient failure (a full disk, a busy service) is shown from the first failure, through
// the ends of the passes that follow, until the record goes through.
TEST_F(FailureStateTest, AFailingRecordIsShownFromItsFirstFailureUntilItSucceeds)
{
    const auto loop = download(QStringLiteral("loop.wav"), "loop");
    h.fake.answerNext("/api/v1/files/library/" + std::to_string(*loop->remoteId()), 503, R"({"message":"busy"})", 2);
    runOnePass();
    ASSERT_EQ(stored(QStringLiteral("loop.wav"))->retryCount(), 1);
    const auto shown = lane->lastError();
    ASSERT_TRUE(shown);
    EXPECT_TRUE(shown->contains(QStringLiteral("503"))) << shown->toStdString();

    // Another record's pass ends meanwhile, the failing one still waiting for its retry.
    upload(QStringLiteral("other.wav"), "other");
    runOnePass();
    ASSERT_EQ(stored(QStringLiteral("other.wav"))->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(lane->lastError(), shown);

    runPasses();
    EXPECT_EQ(readFile(pathOf(QStringLiteral("loop.wav"))), "loop");
    EXPECT_FALSE(lane->lastError());
    EXPECT_THAT(lane->syncErrors(), IsEmpty());
}

// A 404 for a download: the service file was deleted meanwhile. Settled as the feed's delete:
// the last synced copy goes (any copy in a download-only folder), and no error stays.
TEST_F(FailureStateTest, ADownloadOfAFileDeletedAtTheServiceSettlesAsItsDelete)
{
    auto stale = download(QStringLiteral("stale.wav"), "version two");
    writeFile(pathOf(QStringLiteral("stale.wav")), "version one");
    stale->setLocalChecksum(sha256("version one"));
    h.context->save();
    ASSERT_TRUE(h.fake.removeFile(*stale->remoteId()));
    runPasses();

    EXPECT_FALSE(QFile::exists(pathOf(QStringLiteral("stale.wav"))));
    EXPECT_FALSE(stored(QStringLiteral("stale.wav")));
    EXPECT_THAT(lane->syncErrors(), IsEmpty());
    EXPECT_FALSE(lane->lastError());
    EXPECT_EQ(outcomes(), QStringList{QStringLiteral("deleteLocal:succeeded")});

    folder->setSyncMode(SyncFolderSyncMode::downloadOnly);
    h.context->save();
    auto edited = download(QStringLiteral("edited.wav"), "service copy");
    writeFile(pathOf(QStringLiteral("edited.wav")), "changed here");
    edited->setLocalChecksum(sha256("synced before the change"));
    h.context->save();
    ASSERT_TRUE(h.fake.removeFile(*edited->remoteId()));
    runPasses();
    EXPECT_FALSE(QFile::exists(pathOf(QStringLiteral("edited.wav"))));
    EXPECT_FALSE(stored(QStringLiteral("edited.wav")));
    EXPECT_THAT(lane->syncErrors(), IsEmpty());
}

// A retry time set while the clock ran a year ahead holds nothing once the clock is right:
// every kind of work goes at once, while a retry time within the back-off still waits.
TEST_F(FailureStateTest, ARetryTimeBeyondTheLongestBackOffIsDue)
{
    const QDateTime yearAhead = h.clock.currentDateTime().addDays(365);
    auto sent = upload(QStringLiteral("sent.wav"), "sent");
    auto fetched = download(QStringLiteral("fetched.wav"), "fetched");
    const qint64 gone = h.serve(*folder, QStringLiteral("gone.wav"), "gone");
    auto deleted = h.addRecord(*folder, QStringLiteral("gone.wav"), SyncFileStatus::pending,
                               SyncFileDesiredState::deletedRemote);
    deleted->setRemoteId(gone);
    deleted->setLocalChecksum(sha256("gone"));
    for (const auto &record : {sent, fetched, deleted}) {
        record->setRetryCount(2);
        record->setNextRetryAt(yearAhead);
    }
    auto waiting = upload(QStringLiteral("waiting.wav"), "waiting");
    waiting->setRetryCount(4);
    waiting->setNextRetryAt(h.clock.currentDateTime().addSecs(SyncLane::retryDelay(4).count()));
    h.context->save();
    runOnePass();

    EXPECT_EQ(stored(QStringLiteral("sent.wav"))->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(readFile(pathOf(QStringLiteral("fetched.wav"))), "fetched");
    EXPECT_FALSE(stored(QStringLiteral("gone.wav")));
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("sent.wav"), sha256("sent")},
                                                            {QStringLiteral("fetched.wav"), sha256("fetched")}}));
    EXPECT_EQ(stored(QStringLiteral("waiting.wav"))->syncStatus(), SyncFileStatus::pending);
    // The one within the back-off goes at its time, by the pass the end of this one scheduled.
    EXPECT_TRUE(lane->queueRetryTask().isRunning());
}

// A change seen while the clock ran ahead (corrected since) is settled: it holds neither its
// own upload nor the pass that sends a change still settling.
TEST_F(FailureStateTest, AChangeTimeAheadOfTheSettleWindowHoldsNothing)
{
    const QDateTime now = h.clock.currentDateTime();
    upload(QStringLiteral("year.wav"), "year")->setLocalModifiedAt(now.addDays(365));
    upload(QStringLiteral("minutes.wav"), "minutes")->setLocalModifiedAt(now.addSecs(200));
    auto retried = upload(QStringLiteral("retried.wav"), "retried");
    retried->setLocalModifiedAt(now.addSecs(200));
    retried->setRetryCount(3);
    retried->setNextRetryAt(now.addSecs(60));
    upload(QStringLiteral("fresh.wav"), "fresh")->setLocalModifiedAt(now);
    h.context->save();
    runOnePass();

    EXPECT_EQ(stored(QStringLiteral("year.wav"))->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(stored(QStringLiteral("minutes.wav"))->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(stored(QStringLiteral("fresh.wav"))->syncStatus(), SyncFileStatus::pending);
    // The change still settling goes when it has settled, not at the other's retry time.
    ASSERT_TRUE(lane->queueRetryTask().isRunning());
    EXPECT_EQ(*h.clock.nextDeadline() - h.clock.now(), Clock::Duration(SyncLane::settleWindow));
    h.clock.advance(SyncLane::settleWindow);
    ASSERT_TRUE(runUntil([&] { return stored(QStringLiteral("fresh.wav"))->syncStatus() == SyncFileStatus::synced; }));
    EXPECT_EQ(stored(QStringLiteral("retried.wav"))->syncStatus(), SyncFileStatus::pending);
}

// A lane whose first sync meets a refused certificate is the engine's error, saying why; it
// tries again on the back-off (60 s, then 120 s) and at once when the network changes.
TEST_F(FailureStateTest, ARefusedCertificateIsShownAndTriedAgainOnTheBackOffAndANetworkChange)
{
    writeFile(pathOf(QStringLiteral("take.wav")), "RIFF take");
    auto api = std::make_shared<RefusingAPI>(h.client);
    api->refusals = 2;
    LaneFactory factory = [api](const LaneServices &services) {
        LaneServices refusing = services;
        refusing.apiClient = api;
        auto made = std::dynamic_pointer_cast<SyncLane>(makeSyncLaneFactory()(refusing));
        made->setDeltaLoopEnabledForTesting(false);
        return std::shared_ptr<SyncLaneInterface>(made);
    };
    SyncEngine engine(h.client, h.vault, h.clock, h.applicationEvents, factory);
    engine.setStoredModelContext(h.context);
    engine.start();
    const auto started = std::dynamic_pointer_cast<SyncLane>(engine.lanes().at(0));

    ASSERT_TRUE(runUntil([&] { return engine.syncState().isError(); }));
    EXPECT_TRUE(engine.syncState().message.contains(QStringLiteral("certificate has expired")))
        << engine.syncState().message.toStdString();
    EXPECT_TRUE(engine.lastError() && engine.lastError()->contains(QStringLiteral("certificate has expired")));
    ASSERT_TRUE(runUntil([&] { return started->fullSyncRetryTask().isRunning() && !started->syncTask().isRunning(); }));

    h.clock.advance(59s);
    runFor(50ms);
    EXPECT_EQ(api->listings, 1);
    h.clock.advance(1s);
    ASSERT_TRUE(runUntil([&] { return api->listings == 2 && started->fullSyncRetryTask().isRunning(); }));
    EXPECT_TRUE(engine.syncState().isError());

    // The next try would be 120 s away; another network may already let it through.
    const auto before = h.clock.now();
    engine.handleNetworkChange();
    h.runUntilIdle(engine);
    EXPECT_EQ(api->listings, 3);
    EXPECT_LT(h.clock.now() - before, Clock::Duration(120s));
    EXPECT_EQ(engine.syncState(), SyncEngineState::idle());
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("RIFF take")}}));
    ASSERT_FALSE(engine.lastError());

    // Later the change feed meets one: the engine shows it at once.
    api->refuseFeed = true;
    await(started->performDeltaSync());
    EXPECT_TRUE(engine.lastError() && engine.lastError()->contains(QStringLiteral("certificate has expired")));

    engine.stop();
    EXPECT_TRUE(runUntil([&] { return !engine.isStorageMonitorRunning(); }));
}

} // namespace
