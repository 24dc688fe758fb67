// When a lane runs its queue: one delay after the last change, by the folder's priority, and
// not at all while the rules say `none` for a running guarding application; downloads into a
// folder such an application has open wait until it quits.

#include "Lane/LaneTestSupport.h"

#include "Model/SyncRule.h"
#include "Platform/Files/FolderBookmark.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <gmock/gmock.h>

#include <QDir>
#include <QFile>
#include <QTimer>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

using namespace std::chrono_literals;
using State = LaneHarness::RecordState;

const QString studio = QStringLiteral("Studio");

class PriorityTest : public LaneTest
{
protected:
    void SetUp() override
    {
        LaneTest::SetUp();
        folder = h.addFolder(SyncFolderType::projectsFolder);
        root = *folder->folderPath();
        bookmark = FolderBookmark::make(root);
        lane = h.makeLane(folder);
        lane->start();
        h.runUntilIdle(*lane);
    }

    // Queue passes that got as far as counting their work.
    static int passes()
    {
        int count = 0;
        for (const QString &line : logDetails())
            if (line.startsWith(QLatin1String("Derived queue empty for ")) || line.startsWith(QLatin1String("Processing ")))
                ++count;
        return count;
    }

    // Moves the clock without letting runUntilIdle walk it on to the next deadline.
    void advance(Clock::Duration by)
    {
        h.clock.advance(by);
        runFor(30ms);
    }

    // The clock has reached the wait's end: the pass runs now, not at some later deadline
    // that runUntilIdle would move the clock to.
    void expectPassNow(int expected)
    {
        EXPECT_TRUE(runUntil([&] { return passes() == expected; }, 5s)) << "no pass yet";
        h.runUntilIdle(*lane);
        EXPECT_EQ(passes(), expected);
    }

    void addRule(qint64 order, SyncRuleConditionType condition, const QString &application, const QString &location,
                 SyncRulePriority priority)
    {
        h.context->insert(std::make_shared<SyncRule>(QStringLiteral("rule %1").arg(order), true, order, condition,
                                                     application, location, priority));
        h.context->save();
    }

    std::shared_ptr<SyncFile> addUpload(const QString &name)
    {
        writeFile(root + u'/' + name, name.toUtf8());
        return h.addRecord(*folder, name, SyncFileStatus::pending, SyncFileDesiredState::uploadPending);
    }

    qint64 serve(const QString &name, const QByteArray &bytes) { return h.serve(*folder, name, bytes); }

    // A record the service holds a newer version of, held while an application runs.
    std::shared_ptr<SyncFile> addHeld(const QString &name, qint64 id, const QByteArray &bytes)
    {
        auto record = h.addRecord(*folder, name, SyncFileStatus::pending, SyncFileDesiredState::downloadHeld);
        record->setRemoteId(id);
        record->setRemoteChecksum(sha256(bytes));
        h.context->save();
        return record;
    }

    void runPass()
    {
        auto body = [l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); };
        pass = TaskHandle::start(std::move(body));
        h.runUntilIdle(*lane);
    }

    std::map<QString, State> records() { return h.records(folder->stableID()); }
    QString at(const QString &name) const { return root + u'/' + name; }

    std::shared_ptr<SyncFolder> folder;
    QString root;
    QByteArray bookmark;
    std::shared_ptr<SyncLane> lane;
    TaskHandle pass;
};

TEST_F(PriorityTest, APassWaitsItsPrioritysDelayAndNoneRunsNone)
{
    const std::pair<SyncPriority, Clock::Duration> delays[] = {
        {SyncPriority::high, 3s}, {SyncPriority::balanced, 300s}, {SyncPriority::low, 1800s}};
    for (const auto &[priority, delay] : delays) {
        const int before = passes();
        lane->schedulePrioritySync(priority, bookmark);
        advance(delay - 1ms);
        EXPECT_EQ(passes(), before) << rawValue(priority);
        EXPECT_TRUE(lane->prioritySleepTask().isRunning());
        h.clock.advance(1ms);
        expectPassNow(before + 1);
    }

    // `none` drops the pending wait and sets none of its own, however long nothing happens.
    const int before = passes();
    lane->schedulePrioritySync(SyncPriority::high, bookmark);
    lane->schedulePrioritySync(SyncPriority::none, bookmark);
    EXPECT_FALSE(lane->prioritySleepTask().isRunning());
    EXPECT_EQ(SyncLane::priorityDelay(SyncPriority::none), std::nullopt);
    advance(24h);
    EXPECT_EQ(passes(), before);

    // Any other priority schedules again.
    lane->schedulePrioritySync(SyncPriority::high, bookmark);
    h.clock.advance(3s);
    expectPassNow(before + 1);
}

TEST_F(PriorityTest, EveryCallRestartsTheWaitButNotAPassUnderWay)
{
    const int before = passes();
    lane->schedulePrioritySync(SyncPriority::high, bookmark);
    advance(2s);
    lane->schedulePrioritySync(SyncPriority::high, bookmark);
    advance(3s - 1ms);
    EXPECT_EQ(passes(), before);
    h.clock.advance(1ms);
    expectPassNow(before + 1);

    // A change while the pass sends: a new wait begins, and the transfers under way go on.
    for (int i = 0; i < 2; ++i)
        addUpload(QStringLiteral("take-%1.wav").arg(i));
    // The watcher's report of those writes is in before the pass: one that came while they
    // were sent would rightly send them again.
    ASSERT_TRUE(runUntil([&] { return !lane->isSettled(); }, 5s));
    h.fake.delayNext("/api/v1/files/check-hash", 300ms, -1);
    onLogLine(QStringLiteral("→ uploadPending take-0.wav"),
              [&] { lane->schedulePrioritySync(SyncPriority::high, bookmark); });
    lane->schedulePrioritySync(SyncPriority::high, bookmark);
    h.runUntilIdle(*lane);
    EXPECT_THAT(h.serviceFiles(), SizeIs(2));
    EXPECT_EQ(logDetails().filter(QStringLiteral("→ uploadPending")).size(), 2);
}

TEST_F(PriorityTest, TheRulesDecideOnlyWhileAGuardRuns)
{
    addRule(3, SyncRuleConditionType::appRunning, studio, QStringLiteral("*"), SyncRulePriority::low);
    addRule(2, SyncRuleConditionType::appNotRunning, QStringLiteral("Mixer"), QStringLiteral("*"), SyncRulePriority::none);
    addRule(1, SyncRuleConditionType::appRunning, studio, h.rootPath + QStringLiteral("/Other"), SyncRulePriority::none);
    const auto rules = lane->fetchSyncRules();
    ASSERT_THAT(rules, SizeIs(2));
    EXPECT_EQ(rules[0].sortOrder, 1);
    EXPECT_EQ(rules[1].sortOrder, 3);

    EXPECT_EQ(lane->resolvePriority({}), SyncPriority::high);
    EXPECT_EQ(lane->resolvePriority({studio}), SyncPriority::low);
    EXPECT_EQ(lane->resolvePriority({QStringLiteral("Unruled")}), SyncPriority::high);
    folder->setDefaultSyncPriority(SyncRulePriority::balanced);
    EXPECT_EQ(lane->resolvePriority({}), SyncPriority::balanced);
    EXPECT_EQ(lane->resolvePriority({studio}), SyncPriority::low);
    // A default of none would keep the folder from the service for good: none only while a guard runs.
    folder->setDefaultSyncPriority(SyncRulePriority::none);
    EXPECT_EQ(lane->resolvePriority({}), SyncPriority::high);
    h.context->save();

    // The re-evaluation asks what runs: the rule's 1800 s while the application does.
    h.dawProvider->result = {studio};
    const int before = passes();
    lane->refreshPriority();
    ASSERT_TRUE(runUntil([&] { return lane->prioritySleepTask().isRunning(); }));
    advance(1800s - 1ms);
    EXPECT_EQ(passes(), before);
    h.clock.advance(1ms);
    expectPassNow(before + 1);
}

TEST_F(PriorityTest, NoneWhileAGuardRunsStopsThePassUntilItQuits)
{
    addRule(1, SyncRuleConditionType::appRunning, studio, QStringLiteral("*"), SyncRulePriority::none);
    for (int i = 0; i < 6; ++i)
        addUpload(QStringLiteral("take-%1.wav").arg(i));
    h.dawProvider->result = {studio};
    // The application's rule is decided while the first four are in flight.
    h.fake.delayNext("/api/v1/files/check-hash", 300ms, -1);
    QTimer::singleShot(100ms, [&] { lane->schedulePrioritySync(lane->resolvePriority(lane->runningGuardDAWs()), bookmark); });
    runPass();
    EXPECT_THAT(h.serviceFiles(), SizeIs(SyncLane::queueSlots));
    EXPECT_FALSE(lane->prioritySleepTask().isRunning());

    // Any other pass waits too; the records stay owed.
    runPass();
    EXPECT_THAT(h.serviceFiles(), SizeIs(SyncLane::queueSlots));
    EXPECT_TRUE(logDetails().contains(QStringLiteral("Sync of Loops waits: priority none while a guarding application runs")));

    h.dawProvider->result.clear();
    lane->refreshPriority();
    h.runUntilIdle(*lane);
    EXPECT_THAT(h.serviceFiles(), SizeIs(6));
    for (const auto &[path, state] : records())
        EXPECT_EQ(state, synced) << path.toStdString();
}

TEST_F(PriorityTest, WhenTheLastGuardQuitsHeldDownloadsAreReleasedBeforeThePass)
{
    const qint64 id = serve(QStringLiteral("song.wav"), "v2");
    addHeld(QStringLiteral("song.wav"), id, "v2");
    addUpload(QStringLiteral("take.wav"));
    const std::string download = QStringLiteral("/api/v1/files/library/%1").arg(id).toStdString();

    // Still running: the pass sends the upload, the download stays held.
    h.dawProvider->result = {studio};
    lane->refreshPriority();
    h.runUntilIdle(*lane);
    EXPECT_EQ(records(), (std::map<QString, State>{
                             {at(QStringLiteral("song.wav")), {SyncFileStatus::pending, SyncFileDesiredState::downloadHeld}},
                             {at(QStringLiteral("take.wav")), synced}}));
    EXPECT_THAT(h.fake.requestsTo("GET", download), IsEmpty());

    h.dawProvider->result.clear();
    h.fake.delayNext(download, 200ms);
    std::optional<bool> passWaitingDuringRelease;
    onLogLine(QStringLiteral("→ downloadPending song.wav"),
              [&] { passWaitingDuringRelease = lane->prioritySleepTask().isRunning(); });
    const int before = passes();
    lane->refreshPriority();
    h.runUntilIdle(*lane);
    EXPECT_EQ(passWaitingDuringRelease, false);
    EXPECT_EQ(passes(), before + 1);
    EXPECT_EQ(LaneHarness::folderFiles(root).at(QStringLiteral("song.wav")), sha256("v2"));
    EXPECT_EQ(records().at(at(QStringLiteral("song.wav"))), synced);
    EXPECT_EQ(lane->heldDownloadNotice(), std::nullopt);
}

TEST_F(PriorityTest, APausedLaneStaysPausedThroughReevaluations)
{
    const qint64 id = serve(QStringLiteral("song.wav"), "v2");
    addHeld(QStringLiteral("song.wav"), id, "v2");
    addUpload(QStringLiteral("take.wav"));
    lane->pause();
    lane->refreshPriority();
    h.runUntilIdle(*lane);
    lane->schedulePrioritySync(SyncPriority::high, bookmark);
    EXPECT_FALSE(lane->prioritySleepTask().isRunning());
    advance(1h);

    EXPECT_TRUE(lane->isPaused());
    EXPECT_EQ(lane->syncState(), SyncEngineState::paused());
    EXPECT_EQ(records(), (std::map<QString, State>{
                             {at(QStringLiteral("song.wav")), {SyncFileStatus::pending, SyncFileDesiredState::downloadHeld}},
                             {at(QStringLiteral("take.wav")), {SyncFileStatus::pending, SyncFileDesiredState::uploadPending}}}));
    EXPECT_THAT(h.serviceFiles(), SizeIs(1)); // only the service's own song.wav
}

TEST_F(PriorityTest, TheQueueHoldsAnOwedDownloadWhileAGuardRunsExceptInADownloadOnlyFolder)
{
    const qint64 id = serve(QStringLiteral("song.wav"), "v2");
    auto record = h.addRecord(*folder, QStringLiteral("song.wav"), SyncFileStatus::pending,
                              SyncFileDesiredState::downloadPending);
    record->setRemoteId(id);
    h.context->save();
    addUpload(QStringLiteral("take.wav"));
    h.dawProvider->result = {studio};
    runPass();
    EXPECT_EQ(records(), (std::map<QString, State>{
                             {at(QStringLiteral("song.wav")), {SyncFileStatus::pending, SyncFileDesiredState::downloadHeld}},
                             {at(QStringLiteral("take.wav")), synced}}));
    EXPECT_THAT(h.fake.requestsTo("GET", QStringLiteral("/api/v1/files/library/%1").arg(id).toStdString()), IsEmpty());
    EXPECT_EQ(lane->heldDownloadNotice(),
              QStringLiteral("song.wav can't sync while Studio is open. Close your DAW to get the latest version."));

    auto readOnly = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::downloadOnly, QStringLiteral("Stems"));
    auto other = h.makeLane(readOnly);
    auto owed = h.addRecord(*readOnly, QStringLiteral("song.wav"), SyncFileStatus::pending,
                            SyncFileDesiredState::downloadPending);
    owed->setRemoteId(id);
    h.context->save();
    auto body = [other](std::stop_token stop) { return other->processQueue(std::move(stop)); };
    pass = TaskHandle::start(std::move(body));
    h.runUntilIdle(*other);
    EXPECT_EQ(LaneHarness::folderFiles(*readOnly->folderPath()).at(QStringLiteral("song.wav")), sha256("v2"));
}

TEST_F(PriorityTest, AFailedStartOfAccessIsTriedAgainOnTheBackOff)
{
    // A folder that cannot be reached for a while: another folder stands at its path.
    const QString elsewhere = h.rootPath + QStringLiteral("/Elsewhere");
    ASSERT_TRUE(QDir().mkpath(elsewhere + QStringLiteral("/Away")));
    ASSERT_TRUE(QDir().mkpath(h.rootPath + QStringLiteral("/Away")));
    const QByteArray away = FolderBookmark::make(h.rootPath + QStringLiteral("/Away"));
    ASSERT_TRUE(QDir().rename(h.rootPath + QStringLiteral("/Away"), elsewhere + QStringLiteral("/Moved")));
    ASSERT_TRUE(QDir().rename(elsewhere + QStringLiteral("/Away"), h.rootPath + QStringLiteral("/Away")));

    ASSERT_EQ(lane->lastError(), std::nullopt);
    const int before = passes();
    lane->schedulePrioritySync(SyncPriority::high, away);
    h.clock.advance(3s);
    ASSERT_TRUE(runUntil([&] { return lane->lastError().has_value(); }));
    EXPECT_EQ(passes(), before);
    EXPECT_TRUE(lane->prioritySleepTask().isRunning());

    // Back in place before the retry, 60 s later.
    ASSERT_TRUE(QDir(h.rootPath + QStringLiteral("/Away")).removeRecursively());
    ASSERT_TRUE(QDir().rename(elsewhere + QStringLiteral("/Moved"), h.rootPath + QStringLiteral("/Away")));
    advance(60s - 1ms);
    EXPECT_EQ(passes(), before);
    h.clock.advance(1ms);
    expectPassNow(before + 1);
    // The start that went through takes its failure away, though the pass found nothing owed.
    EXPECT_EQ(lane->lastError(), std::nullopt);

    // How a failure shows: the network says nothing, a rate limit one log line.
    lane->notePriorityStartFailure(std::make_exception_ptr(HarborlyAPIError::networkError(
        std::make_exception_ptr(TransportError(TransportError::Code::notConnected)), QStringLiteral("offline"))));
    lane->notePriorityStartFailure(std::make_exception_ptr(HarborlyAPIError::serverError(429, QStringLiteral("slow"))));
    drainEvents();
    const auto &entries = SyncLogger::shared().entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().event, SyncLogger::Event::pendingRetry);
    EXPECT_EQ(entries.back().filename, QStringLiteral("Loops"));
    EXPECT_EQ(entries.back().detail, QStringLiteral("Priority sync rate limited — will retry"));
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](const auto &entry) { return entry.event == SyncLogger::Event::pendingRetry; }),
              1);
}

TEST_F(PriorityTest, AHeldFileEditedHereIsSentAgainstItsLastSyncedVersion)
{
    const QString path = at(QStringLiteral("song.wav"));
    writeFile(path, "v1");
    lane->trackLocalChange(path, SyncLane::fileStamp(path));
    lane->schedulePrioritySync(SyncPriority::high, bookmark);
    h.runUntilIdle(*lane);
    await(lane->runDeltaPass({})); // the service's echo of that upload
    h.runUntilIdle(*lane);
    const auto uploaded = h.fake.files(h.account);
    ASSERT_THAT(uploaded, SizeIs(1));
    const qint64 id = uploaded.front().id;
    const QString lastSynced = h.fake.commitOf(id);
    ASSERT_FALSE(lastSynced.isEmpty());

    // Another device sends v2 while the application has the project open here.
    h.fake.updateFile(id, [](FakeLibraryFile &file) {
        file.content = "v2";
        file.checksum.clear();
        file.fileSize = -1;
    });
    h.fake.setCommit(id, QString(40, u'b'));
    h.dawProvider->result = {studio};
    await(lane->runDeltaPass({}));
    h.runUntilIdle(*lane);
    ASSERT_EQ(records().at(path), (State{SyncFileStatus::synced, SyncFileDesiredState::downloadHeld}));

    // Saved here before v2 could come down: sent as a change of v1, which the service reports,
    // also when the service holds the same bytes elsewhere (a pointer names no base).
    FakeLibraryFile copy;
    copy.accountId = h.account;
    copy.filename = QStringLiteral("bounce.wav");
    copy.folderType = QStringLiteral("reference");
    copy.content = "mine";
    h.fake.addFile(copy);
    writeFile(path, "mine");
    lane->trackLocalChange(path, SyncLane::fileStamp(path));
    auto record = lane->fetchRecord(path);
    EXPECT_EQ(record->remoteId(), id);
    EXPECT_EQ(record->remoteChecksum(), sha256("v2"));
    h.fake.clearRequestLog();
    lane->schedulePrioritySync(SyncPriority::high, bookmark);
    h.runUntilIdle(*lane);
    const auto confirms = h.fake.requestsTo("POST", "/api/v1/files/confirm-upload");
    ASSERT_THAT(confirms, SizeIs(1));
    EXPECT_EQ(bodyOf(confirms.front()).value(QStringLiteral("base_commit_sha")).toString(), lastSynced);
    record = lane->fetchRecord(path);
    // The service's conflict stays on the record for the user to look at.
    EXPECT_EQ(record->syncDirection(), SyncFileDirection::conflict);
    EXPECT_TRUE(record->conflictID().has_value());
    EXPECT_EQ(record->conflictCommonAncestor(), lastSynced);
    EXPECT_EQ(record->remoteId(), id);
}

} // namespace
