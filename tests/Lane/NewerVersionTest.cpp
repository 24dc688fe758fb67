// Versions this device never saw: a delete or an edit made here meets a newer version another
// device put at the service, and files already on disk meet the service's listing after a link.
// Nothing goes over the other version unseen.

#include "Lane/LaneTestSupport.h"
#include "Lane/SecondDevice.h"

#include <gmock/gmock.h>

#include "fake-service/FakeJson.h"

#include <QTimer>
#include <QCoreApplication>
#include <QScopeGuard>
#include <QFile>
#include <QJsonArray>

#include <atomic>
#include <condition_variable>
#include <mutex>


using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::SizeIs;

namespace {

using State = LaneHarness::RecordState;
using Files = std::map<QString, QString>;

constexpr State inConflict{SyncFileStatus::conflict, SyncFileDesiredState::uploadPending};

class NewerVersionTest : public OneLaneTest
{
protected:
    // The lane as after a restart: a new one over the same store, with its full sync.
    void restart()
    {
        lane->stop();
        lane = h.makeLane(folder);
        lane->start();
        h.runUntilIdle(*lane);
    }

    std::vector<LoggedRequest> deletes() const { return requestsUnder(h, "DELETE", "/api/v1/files/library/"); }
    std::vector<LoggedRequest> uploads() const { return h.fake.requestsTo("POST", "/api/v1/files/confirm-upload"); }

    static std::vector<LoggedRequest> requestsUnder(const LaneHarness &harness, const std::string &method,
                                                    const std::string &prefix)
    {
        std::vector<LoggedRequest> found;
        for (const auto &request : harness.fake.requestLog())
            if (request.method == method && request.path.rfind(prefix, 0) == 0)
                found.push_back(request);
        return found;
    }

    // What the panel does when the user acknowledges a conflict (a context of its own).
    void acknowledge(const QString &path)
    {
        ModelContext panel(h.container);
        const auto record = panel.fetchFirst(SyncFile::withLocalPath(path));
        ASSERT_TRUE(record);
        record->acknowledgeConflict();
        panel.save();
        // As the engine does when told.
        lane->conflictAcknowledged(path, record->syncStatus() == SyncFileStatus::pending);
        lane->refreshPriority();
    }
};

TEST_F(NewerVersionTest, ADeleteMadeWhileClosedNeverRemovesTheNewerVersionAnotherDeviceSaved)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "v1");
    const qint64 other = h.serve(*folder, QStringLiteral("other.wav"), "o1");
    pass();
    lane->stop();
    // While this device is closed: the user deletes both here, another device saves a new
    // version of one of them.
    ASSERT_TRUE(QFile::remove(at(QStringLiteral("take.wav"))));
    ASSERT_TRUE(QFile::remove(at(QStringLiteral("other.wav"))));
    replace(id, "v2 from elsewhere");
    h.fake.clearRequestLog();

    restart();
    pass();

    // The edit beat the delete: it came down. The untouched one was deleted at the service.
    EXPECT_EQ(files(), (Files{{QStringLiteral("take.wav"), sha256("v2 from elsewhere")}}));
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("take.wav"), sha256("v2 from elsewhere")}}));
    ASSERT_THAT(deletes(), SizeIs(1));
    EXPECT_EQ(deletes()[0].path, "/api/v1/files/library/" + std::to_string(other));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), synced}}));
}

TEST_F(NewerVersionTest, ADeleteThatFailedIsDroppedOnceTheFeedTellsOfANewerVersion)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "v1");
    pass();
    // The service refuses every delete for now: the record keeps its owed delete, failed.
    const std::string fileURL = "/api/v1/files/library/" + std::to_string(id);
    h.fake.answerNext(fileURL, 500, R"({"message":"down"})", 1000);
    ASSERT_TRUE(QFile::remove(at(QStringLiteral("take.wav"))));
    lane->handleFileEvents({at(QStringLiteral("take.wav"))});
    h.runUntilIdle(*lane);
    const auto tried = deletes().size();
    ASSERT_GE(tried, 2u);
    ASSERT_EQ(lane->fetchRecord(at(QStringLiteral("take.wav")))->desiredState(), SyncFileDesiredState::deletedRemote);

    // Another device saves a new version; the service answers again.
    replace(id, "v2 from elsewhere");
    h.fake.clearFaults();
    pass();
    h.clock.advance(std::chrono::hours(1)); // any retry of the delete falls due
    pass();

    EXPECT_EQ(deletes().size(), tried) << "no delete went out after the newer version was known";
    EXPECT_EQ(files(), (Files{{QStringLiteral("take.wav"), sha256("v2 from elsewhere")}}));
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("take.wav"), sha256("v2 from elsewhere")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), synced}}));
}

TEST_F(NewerVersionTest, ANewFileAtThePlaceOfOneBeingDeletedComesDownOnceTheDeleteIsDone)
{
    open();
    const qint64 old = h.serve(*folder, QStringLiteral("take.wav"), "old take");
    pass();
    // Deleted here while the service refuses deletes; there, the file is replaced by a new one
    // of another id at the same place.
    h.fake.answerNext("/api/v1/files/library/" + std::to_string(old), 500, R"({"message":"down"})", 1000);
    ASSERT_TRUE(QFile::remove(at(QStringLiteral("take.wav"))));
    lane->handleFileEvents({at(QStringLiteral("take.wav"))});
    h.runUntilIdle(*lane);
    h.fake.removeFile(old);
    pass();
    const qint64 fresh = h.serve(*folder, QStringLiteral("take.wav"), "new take");
    pass();
    // The service answers again; Sync Now tries the delete that failed for good.
    h.fake.clearFaults();
    lane->retryFailedFiles();
    h.runUntilIdle(*lane);
    pass();

    EXPECT_EQ(files(), (Files{{QStringLiteral("take.wav"), sha256("new take")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), synced}}));
    const auto record = lane->fetchRecord(at(QStringLiteral("take.wav")));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->remoteId(), fresh);
}

TEST_F(NewerVersionTest, AnEditKeptWhenTheServiceDeletedItsFileGoesUpAsAFileOfItsOwn)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "v1");
    pass();
    // Edited on both sides (held back as a conflict), then deleted at the service.
    writeFile(at(QStringLiteral("take.wav")), "mine");
    lane->handleFileEvents({at(QStringLiteral("take.wav"))});
    replace(id, "theirs");
    pass();
    ASSERT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), inConflict}}));
    h.fake.removeFile(id);
    pass();

    // Nothing is left to be in conflict with: the edit is the only version, and it goes up.
    EXPECT_EQ(files(), (Files{{QStringLiteral("take.wav"), sha256("mine")}}));
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("take.wav"), sha256("mine")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), synced}}));
}

TEST_F(NewerVersionTest, AnOwedDeleteIsCheckedAgainstTheServicesVersionWhenItIsSent)
{
    // Owed from an earlier run, its record already knowing the service holds another version.
    folder = h.addFolder(SyncFolderType::projectsFolder);
    root = *folder->folderPath();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "v2");
    auto record = h.addRecord(*folder, QStringLiteral("take.wav"), SyncFileStatus::pending,
                              SyncFileDesiredState::deletedRemote);
    record->setRemoteId(id);
    record->setLocalChecksum(sha256("v1"));
    record->setRemoteChecksum(sha256("v2"));
    h.context->save();
    lane = h.makeLane(folder);
    await(lane->processQueue({}));
    h.runUntilIdle(*lane);

    EXPECT_THAT(deletes(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("take.wav"), sha256("v2")}}));
    EXPECT_EQ(files(), (Files{{QStringLiteral("take.wav"), sha256("v2")}}));
}

TEST_F(NewerVersionTest, AnEditOverAVersionNeverSeenHereWaitsAsAConflictUntilAcknowledged)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "v1");
    pass();
    lane->stop();
    // Edited on both sides while this device was closed; nothing gives the service a base
    // commit of this file to judge an upload by (it came down, it was never sent from here).
    writeFile(at(QStringLiteral("take.wav")), "edited here");
    replace(id, "edited elsewhere");
    h.fake.clearRequestLog();

    restart();
    pass();

    EXPECT_THAT(uploads(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("take.wav"), sha256("edited elsewhere")}}));
    EXPECT_EQ(files(), (Files{{QStringLiteral("take.wav"), sha256("edited here")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), inConflict}}));
    const auto conflict = lane->fetchRecord(at(QStringLiteral("take.wav")));
    EXPECT_EQ(conflict->syncDirection(), SyncFileDirection::conflict);
    EXPECT_EQ(conflict->conflictServerOid(), sha256("edited elsewhere"));
    ASSERT_TRUE(conflict->conflictMessage());
    // Told once, as a conflict.
    int told = 0;
    for (const auto &entry : SyncLogger::shared().entries())
        told += entry.event == SyncLogger::Event::fileConflict ? 1 : 0;
    EXPECT_EQ(told, 1);

    // Another pass changes nothing: the conflict waits for the user.
    pass();
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), inConflict}}));

    // Acknowledged: the edit here goes up over the version the user has now seen, and says so.
    acknowledge(at(QStringLiteral("take.wav")));
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("take.wav"), sha256("edited here")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), synced}}));
    ASSERT_FALSE(lane->recentSyncedFiles().isEmpty());
    EXPECT_EQ(lane->recentSyncedFiles().front().kind, RecentFile::Kind::replaced);
    EXPECT_EQ(lane->recentSyncedFiles().front().direction, SyncFileDirection::upload);
}

TEST_F(NewerVersionTest, TheSameEditOnBothSidesIsSettledWithoutAConflictOrAnUpload)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "v1");
    pass();
    lane->stop();
    writeFile(at(QStringLiteral("take.wav")), "same edit");
    replace(id, "same edit");
    h.fake.clearRequestLog();

    restart();
    pass();

    EXPECT_THAT(uploads(), IsEmpty());
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/check-hash"), IsEmpty()) << "nothing was offered";
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), synced}}));
}

TEST_F(NewerVersionTest, ADedupConfirmedFileKeepsItsCommitSoALaterEditMeetsTheOtherDevicesVersion)
{
    // Device A sends a take; device B links with the same take at another place, which the
    // service confirms there as a pointer to the content it holds.
    open();
    writeFile(at(QStringLiteral("Song/take.wav")), "take");
    lane->handleFileEvents({at(QStringLiteral("Song/take.wav"))});
    h.runUntilIdle(*lane);
    ASSERT_THAT(h.serviceFiles(), SizeIs(1));

    SecondDevice b(h, *folder);
    const QString bRoot = *b.folder->folderPath();
    const QString bTake = bRoot + QStringLiteral("/Other/take.wav");
    writeFile(bTake, "take");
    b.lane->start();
    b.d.runUntilIdle(*b.lane);
    ASSERT_THAT(h.fake.requestsTo("POST", "/api/v1/files/batch-dedup-confirm"), SizeIs(1));
    const auto confirmed = b.lane->fetchRecord(bTake);
    ASSERT_TRUE(confirmed && confirmed->remoteId());
    ASSERT_EQ(confirmed->syncStatus(), SyncFileStatus::synced);
    const auto base = confirmed->baseCommitSha();
    ASSERT_TRUE(base) << "the confirmation's commit is the file's base";

    // A hears of it and edits it; B edits it before it hears of A's edit.
    pass();
    writeFile(at(QStringLiteral("Other/take.wav")), "A's edit");
    lane->handleFileEvents({at(QStringLiteral("Other/take.wav"))});
    h.runUntilIdle(*lane);
    h.fake.clearRequestLog();
    writeFile(bTake, "B's edit");
    b.lane->handleFileEvents({bTake});
    b.d.runUntilIdle(*b.lane);

    // B's upload named the confirmed commit, so the service told of the conflict.
    const auto sent = uploads();
    ASSERT_THAT(sent, SizeIs(1));
    EXPECT_EQ(bodyOf(sent[0]).value(QStringLiteral("base_commit_sha")).toString(), *base);
    EXPECT_EQ(b.lane->fetchRecord(bTake)->syncDirection(), SyncFileDirection::conflict);
    b.lane->stop();
}

TEST_F(NewerVersionTest, AfterALinkFilesAlreadyHereAreRecordedInEveryModeAndNothingIdenticalComesDownAgain)
{
    for (const auto mode : {SyncFolderSyncMode::downloadOnly, SyncFolderSyncMode::uploadOnly,
                            SyncFolderSyncMode::bidirectional}) {
        SCOPED_TRACE(rawValue(mode).toStdString());
        LaneHarness local;
        auto reference = local.addFolder(SyncFolderType::projectsFolder, mode, rawValue(mode));
        const QString base = *reference->folderPath();
        const qint64 same = local.serve(*reference, QStringLiteral("same.wav"), "same");
        const qint64 gone = local.serve(*reference, QStringLiteral("gone.wav"), "gone");
        local.serve(*reference, QStringLiteral("differs.wav"), "service version");
        writeFile(base + QStringLiteral("/same.wav"), "same");
        writeFile(base + QStringLiteral("/gone.wav"), "gone");
        writeFile(base + QStringLiteral("/differs.wav"), "local version");
        auto laneHere = local.makeLane(reference);
        laneHere->start();
        local.runUntilIdle(*laneHere);

        const auto records = local.records(reference->stableID());
        EXPECT_EQ(records.at(base + QStringLiteral("/same.wav")), synced);
        EXPECT_EQ(records.at(base + QStringLiteral("/gone.wav")), synced);
        EXPECT_EQ(laneHere->fetchRecord(base + QStringLiteral("/same.wav"))->remoteId(), same);

        // The first feed read replays everything: nothing identical is fetched again, and the
        // service's delete reaches the file here.
        local.fake.clearRequestLog();
        local.fake.removeFile(gone);
        await(laneHere->runDeltaPass({}));
        local.runUntilIdle(*laneHere);
        EXPECT_THAT(requestsUnder(local, "GET", "/api/v1/files/library/" + std::to_string(same)), IsEmpty());
        const Files after = LaneHarness::folderFiles(base);
        EXPECT_FALSE(after.contains(QStringLiteral("gone.wav")));
        EXPECT_EQ(after.at(QStringLiteral("same.wav")), sha256("same"));

        // A file that differs: the service's version in a download-only folder, the local
        // version in an upload-only one, a conflict in a two-way one.
        const Files service = local.serviceFiles();
        switch (mode) {
        case SyncFolderSyncMode::downloadOnly:
            EXPECT_EQ(after.at(QStringLiteral("differs.wav")), sha256("service version"));
            break;
        case SyncFolderSyncMode::uploadOnly:
            EXPECT_EQ(service.at(QStringLiteral("differs.wav")), sha256("local version"));
            break;
        case SyncFolderSyncMode::bidirectional:
            EXPECT_EQ(after.at(QStringLiteral("differs.wav")), sha256("local version"));
            EXPECT_EQ(service.at(QStringLiteral("differs.wav")), sha256("service version"));
            EXPECT_EQ(local.records(reference->stableID()).at(base + QStringLiteral("/differs.wav")), inConflict);
            break;
        }
        laneHere->stop();
    }
}

// The newer version was saved at the service moments before the delete here, and no feed pass
// came between: the delete reads the feed first (one read for the whole batch), and while the
// feed cannot be read, nothing is deleted.
TEST_F(NewerVersionTest, ADeleteReadsTheFeedFirstAndWaitsWhileItCannotBeRead)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "v1");
    for (const char *name : {"a.wav", "b.wav", "c.wav"})
        h.serve(*folder, QLatin1String(name), name);
    pass();
    replace(id, "v2 from elsewhere");
    h.fake.clearRequestLog();

    QSet<QString> gone;
    for (const char *name : {"take.wav", "a.wav", "b.wav", "c.wav"}) {
        ASSERT_TRUE(QFile::remove(at(QLatin1String(name))));
        gone.insert(at(QLatin1String(name)));
    }
    h.fake.answerNext("/api/v1/files/library/changes", 503, R"({"message":"down"})", 2);
    // Each file is held back a moment after the one before, as on a busy machine: the batch the
    // refused read held back is due again together all the same.
    for (const char *name : {"take.wav", "a.wav", "b.wav", "c.wav"})
        onLogLine(QLatin1String(name) + QStringLiteral(" waits"), [&] { h.clock.advance(std::chrono::milliseconds(1)); });
    lane->handleFileEvents(gone);
    h.runUntilIdle(*lane);

    // In the order the service saw them: the deletes went only after a read that was answered,
    // and that one read served them all.
    std::vector<std::pair<std::string, int>> seen;
    for (const auto &request : h.fake.requestLog())
        if (request.path == "/api/v1/files/library/changes" || request.method == "DELETE")
            seen.emplace_back(request.method, request.status);
    const auto firstDelete = std::find_if(seen.begin(), seen.end(), [](const auto &r) { return r.first == "DELETE"; });
    ASSERT_NE(firstDelete, seen.end());
    EXPECT_EQ(std::count(seen.begin(), firstDelete, std::pair<std::string, int>("GET", 503)), 2);
    EXPECT_EQ(std::prev(firstDelete)->second, 200) << "a read answered right before";
    EXPECT_EQ(std::count(firstDelete, seen.end(), std::pair<std::string, int>("DELETE", 200)), 3);
    EXPECT_EQ(std::count_if(firstDelete, firstDelete + 3, [](const auto &r) { return r.first == "GET"; }), 0)
        << "no read per file";
    EXPECT_THAT(logDetails().filter(QStringLiteral("changes could not be read first")), Not(IsEmpty()));
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("take.wav"), sha256("v2 from elsewhere")}}));
    EXPECT_EQ(files(), (Files{{QStringLiteral("take.wav"), sha256("v2 from elsewhere")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), synced}}));
}

// Two files deleted here together; proving one of them gone hangs (a folder on a dead mount).
// The other delete, its proof ended, rests while it waits for the hanging one instead of turning
// the event loop over and over, and goes once the wait is over; the hanging proof holds only its
// own file, whose delete goes when it ends.
TEST_F(NewerVersionTest, ADeleteWaitingForAnotherProofRestsAndAProofThatHangsHoldsOnlyItsOwnDelete)
{
    open();
    const qint64 kept = h.serve(*folder, QStringLiteral("a.wav"), "a");
    const qint64 hanging = h.serve(*folder, QStringLiteral("hang.wav"), "hang");
    pass();
    h.fake.clearRequestLog();

    std::mutex mutex;
    std::condition_variable changed;
    bool hangEntered = false;
    bool released = false;
    std::atomic<bool> otherProved{false};
    lane->setDeletionProofHookForTesting([&](const QString &path) {
        std::unique_lock lock(mutex);
        if (path.endsWith(QStringLiteral("hang.wav"))) {
            hangEntered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
        } else {
            // Ends only once the other proof is under way, so that this delete has one to wait for.
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return hangEntered; });
            otherProved = true;
        }
    });
    const auto releaseHang = [&] {
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        changed.notify_all();
    };
    const auto release = qScopeGuard(releaseHang);

    ASSERT_TRUE(QFile::remove(at(QStringLiteral("a.wav"))));
    ASSERT_TRUE(QFile::remove(at(QStringLiteral("hang.wav"))));
    lane->handleFileEvents({at(QStringLiteral("a.wav")), at(QStringLiteral("hang.wav"))});
    // The lane never settles while a proof hangs: the clock is moved by hand to the deletes.
    ASSERT_TRUE(runUntil(
        [&] {
            if (!otherProved)
                h.clock.advance(std::chrono::milliseconds(100));
            return otherProved.load();
        },
        std::chrono::seconds(10)));
    runFor(std::chrono::milliseconds(50));

    struct EventCount : QObject
    {
        int events = 0;
        bool eventFilter(QObject *, QEvent *) override
        {
            ++events;
            return false;
        }
    } count;
    QCoreApplication::instance()->installEventFilter(&count);
    runFor(std::chrono::milliseconds(300));
    QCoreApplication::instance()->removeEventFilter(&count);
    EXPECT_LT(count.events, 20) << "the waiting delete turns the event loop";
    EXPECT_THAT(deletes(), IsEmpty());

    const std::string keptPath = "/api/v1/files/library/" + std::to_string(kept);
    EXPECT_TRUE(runUntil(
        [&] {
            h.clock.advance(SyncLane::otherProofsWait);
            return !h.fake.requestsTo("DELETE", keptPath).empty();
        },
        std::chrono::seconds(5)))
        << "the delete whose proof ended waits no longer";
    runFor(std::chrono::milliseconds(100));
    EXPECT_THAT(deletes(), SizeIs(1)) << "the hanging proof holds its own delete";

    releaseHang();
    h.runUntilIdle(*lane);
    EXPECT_THAT(h.fake.requestsTo("DELETE", "/api/v1/files/library/" + std::to_string(hanging)), SizeIs(1));
    EXPECT_EQ(h.serviceFiles(), Files{});
    EXPECT_EQ(records(), (std::map<QString, State>{}));
}

// A full sync asked for its listing; before it landed, the feed told of another device's newer
// version. The older listing does not set that back, so the edit here meets the newer version.
TEST_F(NewerVersionTest, AnOlderListingDoesNotHideAVersionTheFeedToldOfSince)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "v1");
    pass();
    lane->stop();
    writeFile(at(QStringLiteral("take.wav")), "edited here");
    const FakeLibraryFile asListed = *h.fake.file(id);
    replace(id, "edited elsewhere");
    // The listing as it was asked for, answered late.
    const QJsonObject listing{{QStringLiteral("files"), QJsonArray{libraryFileJson(asListed)}}};
    h.fake.answerNext("/api/v1/files/library", 200, QJsonDocument(listing).toJson().toStdString());
    h.fake.delayNext("/api/v1/files/library", std::chrono::milliseconds(1500));

    bool asked = false;
    onLogLine(QStringLiteral("Scanning: "), [&] { asked = true; });
    std::optional<QString> judged;
    onLogLine(QStringLiteral("Marked "), [&] { judged = lane->fetchRecord(at(QStringLiteral("take.wav")))->remoteChecksum(); });
    lane = h.makeLane(folder);
    lane->start();
    ASSERT_TRUE(runUntil([&] { return asked; }));
    await(lane->runDeltaPass({}));
    h.runUntilIdle(*lane);

    EXPECT_EQ(judged, sha256("edited elsewhere")) << "the listing did not set back what the feed said";
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("take.wav"), sha256("edited elsewhere")}}));
    EXPECT_EQ(files(), (Files{{QStringLiteral("take.wav"), sha256("edited here")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), inConflict}}));
}

// Acknowledged while the lane was stopped: the full sync at the next start lists the version the
// user saw again, and the edit goes up all the same, once, with no second conflict. Only a still
// newer version holds it back again.
TEST_F(NewerVersionTest, AnAcknowledgementHoldsThroughARestartUntilAStillNewerVersion)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "v1");
    const qint64 loop = h.serve(*folder, QStringLiteral("loop.wav"), "l1");
    writeFile(at(QStringLiteral("sent.wav")), "sent from here");
    lane->handleFileEvents({at(QStringLiteral("sent.wav"))});
    pass();
    ASSERT_TRUE(folder->headCommitSha());
    lane->stop();
    writeFile(at(QStringLiteral("take.wav")), "edited here");
    writeFile(at(QStringLiteral("loop.wav")), "loop edited here");
    replace(id, "edited elsewhere");
    replace(loop, "loop edited elsewhere");
    restart();
    pass();
    ASSERT_EQ(records().at(at(QStringLiteral("take.wav"))), inConflict);
    ASSERT_EQ(records().at(at(QStringLiteral("loop.wav"))), inConflict);

    lane->stop();
    acknowledge(at(QStringLiteral("take.wav")));
    acknowledge(at(QStringLiteral("loop.wav")));
    replace(loop, "loop edited a third time"); // newer than what the user saw
    h.fake.clearRequestLog();
    restart();
    pass();

    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("edited here"));
    EXPECT_EQ(records().at(at(QStringLiteral("take.wav"))), synced);
    EXPECT_EQ(lane->fetchRecord(at(QStringLiteral("take.wav")))->conflictID(), std::nullopt) << "no second conflict";
    EXPECT_THAT(uploads(), SizeIs(1));
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("loop.wav")), sha256("loop edited a third time"));
    EXPECT_EQ(records().at(at(QStringLiteral("loop.wav"))), inConflict);
    EXPECT_EQ(lane->fetchRecord(at(QStringLiteral("loop.wav")))->conflictServerOid(),
              sha256("loop edited a third time"));
}

// A conflict holding an edit back is told once and left as it is by each later start: its file
// is not read again, nor judged again, until the user acknowledges it. Found at a link, where
// this device never synced the file, it says only what is known: the two versions differ.
TEST_F(NewerVersionTest, AHeldConflictIsToldOnceAndLeftAloneByLaterStarts)
{
    folder = h.addFolder(SyncFolderType::projectsFolder);
    root = *folder->folderPath();
    h.serve(*folder, QStringLiteral("take.wav"), "service version");
    writeFile(at(QStringLiteral("take.wav")), "version here");
    lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    ASSERT_EQ(records().at(at(QStringLiteral("take.wav"))), inConflict);
    EXPECT_EQ(lane->fetchRecord(at(QStringLiteral("take.wav")))->conflictMessage(),
              QStringLiteral("This file differs from the version at Harborly: this version was not uploaded"));

    ChecksumReads reads;
    for (int start = 0; start < 2; ++start) {
        lane->stop();
        lane = h.makeLane(folder);
        reads.install(*lane);
        lane->start();
        h.runUntilIdle(*lane);
    }

    EXPECT_EQ(reads.of(at(QStringLiteral("take.wav"))), 0);
    EXPECT_EQ(records().at(at(QStringLiteral("take.wav"))), inConflict);
    int told = 0;
    for (const auto &entry : SyncLogger::shared().entries())
        told += entry.event == SyncLogger::Event::fileConflict ? 1 : 0;
    EXPECT_EQ(told, 1);
    EXPECT_THAT(uploads(), IsEmpty());
}

} // namespace

// B's edit met A's at the service, which kept both and reported the conflict. A report of the
// file B sent (the watcher's, late) leaves the conflict listed; an edit made afterwards goes up.
TEST_F(NewerVersionTest, AReportOfTheContentSentInAConflictLeavesItListedAndAnEditStillGoesUp)
{
    open();
    writeFile(at(QStringLiteral("Song/take.wav")), "take");
    lane->handleFileEvents({at(QStringLiteral("Song/take.wav"))});
    h.runUntilIdle(*lane);
    SecondDevice b(h, *folder);
    const QString bTake = *b.folder->folderPath() + QStringLiteral("/Other/take.wav");
    writeFile(bTake, "take");
    b.lane->start();
    b.d.runUntilIdle(*b.lane);
    pass();
    writeFile(at(QStringLiteral("Other/take.wav")), "A's edit");
    lane->handleFileEvents({at(QStringLiteral("Other/take.wav"))});
    h.runUntilIdle(*lane);
    h.fake.clearRequestLog();

    // The second report arrives while B's upload is on its way.
    writeFile(bTake, "B's edit");
    bool reported = false;
    onLogLine(QStringLiteral("Batch pre-pass: 1 pending"), [&] {
        if (!std::exchange(reported, true))
            QTimer::singleShot(0, [&] { b.lane->handleFileEvents({bTake}); });
    });
    b.lane->handleFileEvents({bTake});
    b.d.runUntilIdle(*b.lane);
    ASSERT_TRUE(reported);
    EXPECT_THAT(uploads(), SizeIs(1));
    EXPECT_EQ(b.lane->fetchRecord(bTake)->syncStatus(), SyncFileStatus::conflict);

    writeFile(bTake, "B's second edit");
    b.lane->handleFileEvents({bTake});
    b.d.runUntilIdle(*b.lane);
    EXPECT_THAT(uploads(), SizeIs(2));
    EXPECT_EQ(h.serviceFiles()[QStringLiteral("Other/take.wav")], sha256("B's second edit"));
    b.lane->stop();
}

namespace {

// A file made here meets another device's new file at its place, told by the feed before the
// upload: held as a conflict. Once the user acknowledged that version, the edit goes up over it
// as over a version that came down, with no second conflict; a version newer than the one the
// user saw still holds it back.
TEST_F(NewerVersionTest, AnAcknowledgedConflictOfAFileMadeHereGoesUpOnceWithoutASecondConflict)
{
    open();
    writeFile(at(QStringLiteral("sent.wav")), "sent from here");
    lane->handleFileEvents({at(QStringLiteral("sent.wav"))});
    h.runUntilIdle(*lane);
    ASSERT_TRUE(folder->headCommitSha()) << "the folder's head commit is another file's";

    const auto madeOnBothSides = [&](const QString &name) {
        writeFile(at(name), "made here");
        lane->trackLocalChange(at(name), SyncLane::fileStamp(at(name)));
        const qint64 id = h.serve(*folder, name, "made elsewhere");
        pass();
        h.clock.advance(std::chrono::seconds(5));
        h.runUntilIdle(*lane);
        EXPECT_EQ(records().at(at(name)), inConflict);
        EXPECT_EQ(lane->fetchRecord(at(name))->conflictServerOid(), sha256("made elsewhere"));
        return id;
    };
    madeOnBothSides(QStringLiteral("take.wav"));
    const qint64 loop = madeOnBothSides(QStringLiteral("loop.wav"));
    EXPECT_THAT(uploads(), SizeIs(1)) << "only sent.wav went up";

    acknowledge(at(QStringLiteral("take.wav")));
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("made here"));
    EXPECT_EQ(records().at(at(QStringLiteral("take.wav"))), synced);
    EXPECT_EQ(lane->fetchRecord(at(QStringLiteral("take.wav")))->conflictID(), std::nullopt) << "no second conflict";

    // Saved again elsewhere after the user looked: that version was never seen here.
    lane->stop();
    acknowledge(at(QStringLiteral("loop.wav")));
    replace(loop, "made elsewhere, saved again");
    lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    pass();
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("loop.wav")), sha256("made elsewhere, saved again"));
    EXPECT_EQ(records().at(at(QStringLiteral("loop.wav"))), inConflict);
    EXPECT_EQ(lane->fetchRecord(at(QStringLiteral("loop.wav")))->conflictServerOid(),
              sha256("made elsewhere, saved again"));
}

} // namespace

namespace {

// An edit the user chose over the service's version replaced it, whatever the program learned
// of the choice: acknowledged before a restart, and sent as content the service already held.
TEST_F(NewerVersionTest, AnAcknowledgedEditSentAfterARestartIsShownAsAnUploadNotAsVerified)
{
    open();
    h.serve(*folder, QStringLiteral("shared.wav"), "shared take");
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "v1");
    pass();
    lane->stop();
    writeFile(at(QStringLiteral("take.wav")), "shared take");
    replace(id, "edited elsewhere");
    restart();
    pass();
    ASSERT_EQ(records().at(at(QStringLiteral("take.wav"))), inConflict);
    {
        ModelContext panel(h.container);
        const auto record = panel.fetchFirst(SyncFile::withLocalPath(at(QStringLiteral("take.wav"))));
        record->acknowledgeConflict();
        panel.save();
    }
    restart();
    h.runUntilIdle(*lane);

    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("shared take"));
    EXPECT_EQ(records().at(at(QStringLiteral("take.wav"))), synced);
    const auto recent = lane->recentSyncedFiles();
    ASSERT_FALSE(recent.isEmpty());
    EXPECT_EQ(recent.front().filename, QStringLiteral("take.wav"));
    EXPECT_EQ(recent.front().kind, RecentFile::Kind::transferred);
}

} // namespace
