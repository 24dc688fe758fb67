// What this device knows of the service before an upload with no base of the file's own, a
// new file's first upload or a DELETE: judged at the file's id and at its place, again right
// before the confirmation, and never set back by an older read. Another device's version this
// device never saw is never replaced or removed unseen.

#include "Lane/LaneTestSupport.h"

#include "Platform/Async/TaskHandle.h"

#include <gmock/gmock.h>

#include <QFile>

#include <algorithm>
#include <string>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

using State = LaneHarness::RecordState;
using Files = std::map<QString, QString>;

constexpr State inConflict{SyncFileStatus::conflict, SyncFileDesiredState::uploadPending};

class SendJudgementTest : public OneLaneTest
{
protected:
    std::vector<LoggedRequest> deletes() const
    {
        std::vector<LoggedRequest> found;
        for (const auto &request : h.fake.requestLog())
            if (request.method == "DELETE")
                found.push_back(request);
        return found;
    }
    std::vector<LoggedRequest> confirms() const { return h.fake.requestsTo("POST", "/api/v1/files/confirm-upload"); }

    // A file of the service that came down here: its version synced, no commit of its own.
    qint64 cameDown(const QString &name, const QByteArray &bytes)
    {
        const qint64 id = h.serve(*folder, name, bytes);
        pass();
        return id;
    }
    void editHere(const QString &name, const QByteArray &bytes)
    {
        writeFile(at(name), bytes);
        lane->handleFileEvents({at(name)});
    }
    // A queue pass of its own, running until the first request the fake holds back.
    void startPassUntilHeld()
    {
        h.fake.takeMostDelayedAtOnce();
        auto body = [l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); };
        queuePass = TaskHandle::start(std::move(body));
        ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; })) << "no request was held";
    }
    // The file that came down, edited here and owed its upload, due now.
    void oweUpload(const QString &name, const QByteArray &bytes)
    {
        writeFile(at(name), bytes);
        auto record = lane->fetchRecord(at(name));
        record->setDesiredState(SyncFileDesiredState::uploadPending);
        record->setSyncStatus(SyncFileStatus::pending);
        h.context->save();
    }
    // A file made here, owed its first upload and due now.
    void oweNewFile(const QString &name, const QByteArray &bytes)
    {
        writeFile(at(name), bytes);
        auto record = std::make_shared<SyncFile>(at(name), name);
        record->setFolderID(folder->stableID());
        record->setDesiredState(SyncFileDesiredState::uploadPending);
        record->setSyncStatus(SyncFileStatus::pending);
        h.context->insert(std::move(record));
        h.context->save();
    }
    // The feed names a newer version of the file but not its content.
    void feedNamesNoContent(qint64 id, const QString &name)
    {
        h.fake.answerNext("/api/v1/files/library/changes", 200,
                          QStringLiteral(R"({"changes":[{"id":%1,"action":"updated","filename":"%2"}],"cursor":"cur-9999"})")
                              .arg(id)
                              .arg(name)
                              .toStdString());
    }

    TaskHandle queuePass;
};

TEST_F(SendJudgementTest, AnEditMeetsTheVersionAnotherDeviceSavedWhileItsBytesWereOnTheWay)
{
    open();
    const qint64 id = cameDown(QStringLiteral("take.wav"), "v1");
    // Edited here: its bytes take 8 s to go, and another device saves its version meanwhile.
    oweUpload(QStringLiteral("take.wav"), "edited here");
    h.fake.delayNext("/api/v1/files/check-hash", std::chrono::milliseconds(300));
    startPassUntilHeld();
    replace(id, "saved elsewhere");
    h.clock.advance(std::chrono::seconds(8));
    h.runUntilIdle(*lane);

    EXPECT_THAT(confirms(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("take.wav"), sha256("saved elsewhere")}}));
    EXPECT_EQ(files(), (Files{{QStringLiteral("take.wav"), sha256("edited here")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), inConflict}}));
    EXPECT_EQ(lane->fetchRecord(at(QStringLiteral("take.wav")))->conflictServerOid(), sha256("saved elsewhere"));

    // The ordinary case goes through: an edit nobody else made is confirmed after its transfer.
    const qint64 other = cameDown(QStringLiteral("loop.wav"), "l1");
    Q_UNUSED(other);
    oweUpload(QStringLiteral("loop.wav"), "loop edited here");
    h.fake.delayNext("/api/v1/files/check-hash", std::chrono::milliseconds(300));
    startPassUntilHeld();
    h.clock.advance(std::chrono::seconds(8));
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("loop.wav")), sha256("loop edited here"));
    EXPECT_EQ(records().at(at(QStringLiteral("loop.wav"))), synced);
}

TEST_F(SendJudgementTest, TheConfirmationIsJudgedOnAReadAskedAfterTheBytesHoweverShortTheTransfer)
{
    open();
    const qint64 id = cameDown(QStringLiteral("take.wav"), "v1");
    ASSERT_FALSE(folder->headCommitSha());
    // A second into the transfer of the edit, another device saves its version: the read the
    // dispatch took is still fresh when the bytes are in.
    oweUpload(QStringLiteral("take.wav"), "edited here");
    h.fake.delayNext("/api/v1/files/check-hash", std::chrono::milliseconds(300));
    startPassUntilHeld();
    replace(id, "saved elsewhere");
    h.clock.advance(std::chrono::seconds(1));
    ASSERT_TRUE(runUntil([&] { return !queuePass.isRunning(); }));
    h.runUntilIdle(*lane);
    EXPECT_THAT(confirms(), IsEmpty());
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("saved elsewhere"));
    EXPECT_EQ(files().at(QStringLiteral("take.wav")), sha256("edited here"));
    EXPECT_EQ(records().at(at(QStringLiteral("take.wav"))), inConflict);

    // A new file made here while another device makes its own of that name: the same.
    oweNewFile(QStringLiteral("new.wav"), "mine");
    h.fake.delayNext("/api/v1/files/check-hash", std::chrono::milliseconds(300));
    startPassUntilHeld();
    h.serve(*folder, QStringLiteral("new.wav"), "theirs");
    ASSERT_TRUE(runUntil([&] { return !queuePass.isRunning(); }));
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("new.wav")), sha256("theirs"));
    EXPECT_EQ(files().at(QStringLiteral("new.wav")), sha256("mine"));
    EXPECT_EQ(records().at(at(QStringLiteral("new.wav"))), inConflict);
    EXPECT_THAT(confirms(), IsEmpty());

    // An edit to content the service knows: judged after the check that found it.
    cameDown(QStringLiteral("shared.wav"), "shared");
    const qint64 loop = cameDown(QStringLiteral("loop.wav"), "l1");
    oweUpload(QStringLiteral("loop.wav"), "shared");
    h.fake.delayNext("/api/v1/files/check-hash", std::chrono::milliseconds(300));
    startPassUntilHeld();
    replace(loop, "loop saved elsewhere");
    ASSERT_TRUE(runUntil([&] { return !queuePass.isRunning(); }));
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("loop.wav")), sha256("loop saved elsewhere"));
    EXPECT_EQ(records().at(at(QStringLiteral("loop.wav"))), inConflict);
    EXPECT_THAT(confirms(), IsEmpty());
}

TEST_F(SendJudgementTest, AReadReusedByTheNextFilesOfThePassNeverSetsBackANewerVersionLearnedSince)
{
    open();
    const QStringList first{QStringLiteral("a.wav"), QStringLiteral("b.wav"), QStringLiteral("c.wav"),
                            QStringLiteral("d.wav")};
    for (const auto &name : first)
        cameDown(name, name.toUtf8());
    const qint64 later = cameDown(QStringLiteral("later.wav"), "l1");
    // The feed is read from its start (a cursor the service refused): the read names the
    // versions last synced here.
    folder->setDeltaCursor(std::nullopt);
    h.context->save();
    // All edited here; the last waits for a free slot of the pass.
    for (const auto &name : first)
        oweUpload(name, name.toUtf8() + " edited here");
    oweUpload(QStringLiteral("later.wav"), "later edited here");
    lane->fetchRecord(at(QStringLiteral("later.wav")))->setLocalModifiedAt(h.clock.currentDateTime().addSecs(-1));
    h.context->save();
    // The first ones' read is taken and their transfers held; meanwhile another device saves
    // v3 of the last, and the feed's pass teaches its record.
    h.fake.delayNext("/api/v1/files/check-hash", std::chrono::milliseconds(300), 4);
    startPassUntilHeld();
    replace(later, "l3 from elsewhere");
    await(lane->runDeltaPass({}));
    h.clock.advance(std::chrono::seconds(1)); // the last is due, the read still fresh
    ASSERT_TRUE(runUntil([&] { return !queuePass.isRunning(); }));
    h.runUntilIdle(*lane);

    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("a.wav")), sha256("a.wav edited here"));
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("later.wav")), sha256("l3 from elsewhere"));
    EXPECT_EQ(files().at(QStringLiteral("later.wav")), sha256("later edited here"));
    EXPECT_EQ(records().at(at(QStringLiteral("later.wav"))), inConflict);
}

TEST_F(SendJudgementTest, APageAskedBeforeAReadTellsLessThanTheReadHoweverLateItIsApplied)
{
    open();
    const qint64 take = cameDown(QStringLiteral("take.wav"), "v1");
    cameDown(QStringLiteral("other.wav"), "o1");
    // The feed's pass asks for its page while take.wav is at v1 (the page comes back late).
    const QString cursor = h.fake.currentCursor(h.account);
    h.fake.answerNext("/api/v1/files/library/changes", 200,
                      QStringLiteral(R"({"changes":[{"id":%1,"action":"updated","filename":"take.wav","file_checksum":"%2"}],"cursor":"%3"})")
                          .arg(take)
                          .arg(sha256("v1"), cursor)
                          .toStdString());
    h.fake.delayNext("/api/v1/files/library/changes", std::chrono::milliseconds(400));
    TaskHandle feedPass = TaskHandle::start([l = lane](std::stop_token) { return l->runDeltaPass({}); });
    ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; }));
    // Meanwhile another device saves v3, and an upload of another file reads the feed.
    replace(take, "v3 from elsewhere");
    oweUpload(QStringLiteral("other.wav"), "o2 here");
    // take.wav is deleted here, due only after the page is applied.
    ASSERT_TRUE(QFile::remove(at(QStringLiteral("take.wav"))));
    auto record = lane->fetchRecord(at(QStringLiteral("take.wav")));
    record->oweRemoteDelete();
    record->setSyncStatus(SyncFileStatus::pending);
    record->setLocalModifiedAt(h.clock.currentDateTime());
    h.context->save();
    h.fake.delayNext("/api/v1/files/check-hash", std::chrono::milliseconds(1500));
    startPassUntilHeld();
    ASSERT_TRUE(runUntil([&] { return !feedPass.isRunning(); }));
    h.clock.advance(std::chrono::seconds(1)); // the delete is due, the read still fresh
    ASSERT_TRUE(runUntil([&] { return !queuePass.isRunning(); }));
    h.runUntilIdle(*lane);

    EXPECT_THAT(deletes(), IsEmpty());
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("v3 from elsewhere"));
    EXPECT_EQ(files().at(QStringLiteral("take.wav")), sha256("v3 from elsewhere"));
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("other.wav")), sha256("o2 here"));
}

TEST_F(SendJudgementTest, AnEditMeetsANewFileAnotherDeviceMadeAtItsPlace)
{
    open();
    const qint64 id = cameDown(QStringLiteral("take.wav"), "v1");
    // At the service the file is deleted and a new one (another id) made at its place.
    h.fake.removeFile(id);
    h.serve(*folder, QStringLiteral("take.wav"), "new file elsewhere");
    editHere(QStringLiteral("take.wav"), "edited here");
    h.runUntilIdle(*lane);

    EXPECT_THAT(confirms(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("take.wav"), sha256("new file elsewhere")}}));
    EXPECT_EQ(files(), (Files{{QStringLiteral("take.wav"), sha256("edited here")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), inConflict}}));
}

TEST_F(SendJudgementTest, ANewFileMeetsAnotherDevicesNewFileOfTheSameNameWhicheverIsToldFirst)
{
    open();
    cameDown(QStringLiteral("first.wav"), "only downloaded so far");
    ASSERT_FALSE(folder->headCommitSha());

    // The watcher tells first: the upload asks the service, which another device's file
    // already holds the place at. A new file nobody else made goes up in the same batch.
    h.serve(*folder, QStringLiteral("watched.wav"), "theirs");
    writeFile(at(QStringLiteral("watched.wav")), "mine");
    writeFile(at(QStringLiteral("alone.wav")), "only mine");
    lane->handleFileEvents({at(QStringLiteral("watched.wav")), at(QStringLiteral("alone.wav"))});
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("watched.wav")), sha256("theirs"));
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("alone.wav")), sha256("only mine"));
    EXPECT_EQ(records().at(at(QStringLiteral("watched.wav"))), inConflict);
    EXPECT_EQ(records().at(at(QStringLiteral("alone.wav"))), synced);

    // The feed tells first: the record made for the file on disk learns the version there.
    lane->stop();
    lane = h.makeLane(folder); // no activation: nothing but the feed's pass looks at the disk
    h.serve(*folder, QStringLiteral("fed.wav"), "theirs too");
    writeFile(at(QStringLiteral("fed.wav")), "mine too");
    folder->setHeadCommitSha(std::nullopt);
    h.context->save();
    pass();
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("fed.wav")), sha256("theirs too"));
    EXPECT_EQ(files().at(QStringLiteral("fed.wav")), sha256("mine too"));
    EXPECT_EQ(records().at(at(QStringLiteral("fed.wav"))), inConflict);
}

TEST_F(SendJudgementTest, AVersionWhoseContentTheServiceDidNotNameIsNeitherDeletedNorReplaced)
{
    open();
    const qint64 deleted = cameDown(QStringLiteral("deleted.wav"), "d1");
    const qint64 edited = cameDown(QStringLiteral("edited.wav"), "e1");

    // The delete's read is told of a newer version without its content: it comes down.
    replace(deleted, "d2");
    feedNamesNoContent(deleted, QStringLiteral("deleted.wav"));
    ASSERT_TRUE(QFile::remove(at(QStringLiteral("deleted.wav"))));
    lane->handleFileEvents({at(QStringLiteral("deleted.wav"))});
    h.runUntilIdle(*lane);
    EXPECT_THAT(deletes(), IsEmpty());
    EXPECT_EQ(files().at(QStringLiteral("deleted.wav")), sha256("d2"));

    // The edit's read is: it waits as a conflict, nothing sent.
    replace(edited, "e2");
    feedNamesNoContent(edited, QStringLiteral("edited.wav"));
    editHere(QStringLiteral("edited.wav"), "e1 edited here");
    h.runUntilIdle(*lane);
    EXPECT_THAT(confirms(), IsEmpty());
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("edited.wav")), sha256("e2"));
    EXPECT_EQ(records().at(at(QStringLiteral("edited.wav"))), inConflict);

    // The feed's own pass tells it to a delete owed from before: dropped, the version comes down.
    const qint64 owed = cameDown(QStringLiteral("owed.wav"), "o1");
    lane->stop();
    ASSERT_TRUE(QFile::remove(at(QStringLiteral("owed.wav"))));
    auto record = lane->fetchRecord(at(QStringLiteral("owed.wav")));
    record->oweRemoteDelete();
    record->setSyncStatus(SyncFileStatus::pending);
    h.context->save();
    replace(owed, "o2");
    lane = h.makeLane(folder);
    feedNamesNoContent(owed, QStringLiteral("owed.wav"));
    pass();
    EXPECT_THAT(deletes(), IsEmpty());
    EXPECT_EQ(files().at(QStringLiteral("owed.wav")), sha256("o2"));
}

} // namespace

namespace {

TEST_F(SendJudgementTest, ANewFileWhoseContentTheServiceKnowsIsNotLinkedOverAnotherDevicesFileAtItsPlace)
{
    open();
    cameDown(QStringLiteral("elsewhere.wav"), "shared take");
    ASSERT_FALSE(folder->headCommitSha());
    // A copy of a take the service holds, made here at a name another device just used.
    h.serve(*folder, QStringLiteral("copy.wav"), "theirs");
    writeFile(at(QStringLiteral("copy.wav")), "shared take");
    lane->handleFileEvents({at(QStringLiteral("copy.wav"))});
    h.runUntilIdle(*lane);

    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("copy.wav")), sha256("theirs"));
    EXPECT_EQ(files().at(QStringLiteral("copy.wav")), sha256("shared take"));
    EXPECT_EQ(records().at(at(QStringLiteral("copy.wav"))), inConflict);

    // A copy at a free place is still linked to the content the service holds, nothing sent.
    writeFile(at(QStringLiteral("free.wav")), "shared take");
    lane->handleFileEvents({at(QStringLiteral("free.wav"))});
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("free.wav")), sha256("shared take"));
    EXPECT_EQ(records().at(at(QStringLiteral("free.wav"))), synced);
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/upload-url"), IsEmpty());
}

} // namespace

namespace {

TEST_F(SendJudgementTest, APointerIsJudgedAtItsPlaceInAFolderWithACommit)
{
    open();
    // A folder with a commit: a take was sent from here.
    writeFile(at(QStringLiteral("sent.wav")), "shared take");
    lane->handleFileEvents({at(QStringLiteral("sent.wav"))});
    h.runUntilIdle(*lane);
    ASSERT_TRUE(folder->headCommitSha());

    // Another device makes copy.wav; a copy of the take is made here under that name.
    h.serve(*folder, QStringLiteral("copy.wav"), "theirs");
    writeFile(at(QStringLiteral("copy.wav")), "shared take");
    lane->handleFileEvents({at(QStringLiteral("copy.wav"))});
    h.runUntilIdle(*lane);
    // It goes the single upload's way, which names the folder's commit: the service judges
    // it and reports the conflict, which the panel lists.
    for (const auto &request : h.fake.requestsTo("POST", "/api/v1/files/batch-dedup-confirm"))
        EXPECT_FALSE(request.body.find("copy.wav") != std::string::npos) << request.body;
    const auto confirmed = confirms();
    ASSERT_FALSE(confirmed.empty());
    EXPECT_EQ(bodyOf(confirmed.back())[QStringLiteral("filename")].toString(), QStringLiteral("copy.wav"));
    EXPECT_FALSE(bodyOf(confirmed.back())[QStringLiteral("base_commit_sha")].toString().isEmpty());
    EXPECT_EQ(lane->fetchRecord(at(QStringLiteral("copy.wav")))->syncStatus(), SyncFileStatus::conflict);
    EXPECT_EQ(files().at(QStringLiteral("copy.wav")), sha256("shared take"));
}

TEST_F(SendJudgementTest, APointerStandsOnlyOnAReadAskedAfterItsCheckWasAnswered)
{
    open();
    cameDown(QStringLiteral("elsewhere.wav"), "shared take");
    ASSERT_FALSE(folder->headCommitSha());
    // Another device makes late.wav while the check of a copy made here is on its way.
    oweNewFile(QStringLiteral("late.wav"), "shared take");
    oweNewFile(QStringLiteral("free.wav"), "shared take");
    h.fake.delayNext("/api/v1/files/batch-check-hash", std::chrono::milliseconds(300));
    startPassUntilHeld();
    h.serve(*folder, QStringLiteral("late.wav"), "theirs too");
    ASSERT_TRUE(runUntil([&] { return !queuePass.isRunning(); }));
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("late.wav")), sha256("theirs too"));
    EXPECT_EQ(records().at(at(QStringLiteral("late.wav"))), inConflict);
    // A copy at a free place is linked with no bytes sent.
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("free.wav")), sha256("shared take"));
    EXPECT_EQ(records().at(at(QStringLiteral("free.wav"))), synced);
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/upload-url"), IsEmpty());
}

} // namespace

namespace {

TEST_F(SendJudgementTest, AVersionToldWithoutContentWhileItCameDownIsNoConflictForTheNextEdit)
{
    open();
    const qint64 id = cameDown(QStringLiteral("take.wav"), "v1");
    replace(id, "v2");
    auto record = lane->fetchRecord(at(QStringLiteral("take.wav")));
    record->setRemoteChecksum(sha256("v2"));
    record->oweDownload();
    record->setSyncStatus(SyncFileStatus::pending);
    h.context->save();
    // While v2 comes down, the feed tells of an update of it without its content.
    h.fake.delayNext("/api/v1/files/library/" + std::to_string(id), std::chrono::milliseconds(300));
    startPassUntilHeld();
    feedNamesNoContent(id, QStringLiteral("take.wav"));
    await(lane->runDeltaPass({}));
    ASSERT_TRUE(runUntil([&] { return !queuePass.isRunning(); }));
    h.runUntilIdle(*lane);
    ASSERT_EQ(files().at(QStringLiteral("take.wav")), sha256("v2"));
    ASSERT_EQ(records().at(at(QStringLiteral("take.wav"))), synced);

    // Edited here, changed nowhere else: it goes up.
    editHere(QStringLiteral("take.wav"), "v2 edited here");
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("v2 edited here"));
    EXPECT_EQ(records().at(at(QStringLiteral("take.wav"))), synced);
}

TEST_F(SendJudgementTest, AVersionToldWithoutContentOverATransferIsToldAgainAfterARestart)
{
    open();
    const qint64 id = cameDown(QStringLiteral("take.wav"), "v1");
    oweUpload(QStringLiteral("take.wav"), "edited here");
    const std::optional<QString> cursorBefore = folder->deltaCursor();
    // The upload's transfer is on its way when the feed tells of a version without content.
    h.fake.delayNext("/api/v1/files/check-hash", std::chrono::milliseconds(300));
    startPassUntilHeld();
    replace(id, "saved elsewhere");
    feedNamesNoContent(id, QStringLiteral("take.wav"));
    await(lane->runDeltaPass({}));
    // The page waits for the transfer: its cursor is not stored over the change.
    EXPECT_EQ(folder->deltaCursor(), cursorBefore);
    ASSERT_TRUE(runUntil([&] { return !queuePass.isRunning(); }));
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("saved elsewhere"));
    EXPECT_EQ(files().at(QStringLiteral("take.wav")), sha256("edited here"));
}

} // namespace

namespace {

TEST_F(SendJudgementTest, AFileMovedAwayAndBackIsSentAgainNotSettledOnTheOldListing)
{
    open();
    writeFile(at(QStringLiteral("a.wav")), "take");
    lane->handleFileEvents({at(QStringLiteral("a.wav"))});
    h.runUntilIdle(*lane);
    // The full sync's listing names a.wav at its place.
    lane->stop();
    lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    ASSERT_TRUE(lane->listedFiles() && lane->listedFiles()->size() > 0);

    // Moved away (its service file at the old place deleted), then back.
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("sub")));
    ASSERT_TRUE(QFile::rename(at(QStringLiteral("a.wav")), at(QStringLiteral("sub/a.wav"))));
    lane->handleFileEvents({at(QStringLiteral("a.wav")), at(QStringLiteral("sub/a.wav"))});
    h.runUntilIdle(*lane);
    ASSERT_EQ(h.serviceFiles(), (Files{{QStringLiteral("sub/a.wav"), sha256("take")}}));
    ASSERT_TRUE(QFile::rename(at(QStringLiteral("sub/a.wav")), at(QStringLiteral("a.wav"))));
    lane->handleFileEvents({at(QStringLiteral("a.wav")), at(QStringLiteral("sub/a.wav"))});
    h.runUntilIdle(*lane);

    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("a.wav"), sha256("take")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("a.wav")), synced}}));
}

} // namespace

namespace {

TEST_F(SendJudgementTest, AFileRecordedAsSyncedWhoseServiceFileIsGoneIsSentAgainOnlyIfSettledAfterItsDelete)
{
    open();
    for (const char *name : {"kept.wav", "gone.wav", "deleted.wav"}) {
        writeFile(at(QLatin1String(name)), QByteArray("take of ") + name);
        lane->handleFileEvents({at(QLatin1String(name))});
    }
    h.runUntilIdle(*lane);
    lane->stop();
    // An earlier run recorded kept.wav as synced with a service file already gone (settled
    // after the delete, on the service's clock, which the fake keeps in real time), and read
    // that delete long ago; gone.wav was deleted at the service by another device after it
    // was synced here, a delete also read long ago (a race of an earlier version);
    // deleted.wav was deleted at the service since the cursor.
    const auto record = [&](const char *name) { return lane->fetchRecord(at(QLatin1String(name))); };
    ASSERT_TRUE(h.fake.removeFile(*record("kept.wav")->remoteId()));
    record("kept.wav")->setRemoteModifiedAt(QDateTime::currentDateTimeUtc().addSecs(60));
    ASSERT_TRUE(h.fake.removeFile(*record("gone.wav")->remoteId()));
    folder->setDeltaCursor(h.fake.currentCursor(h.account));
    h.context->save();
    ASSERT_TRUE(h.fake.removeFile(*record("deleted.wav")->remoteId()));
    // This device's clock and the service's agree: the restart comes after all of it.
    h.clock.advance(std::chrono::milliseconds(h.clock.currentDateTime().msecsTo(QDateTime::currentDateTimeUtc()))
                    + std::chrono::hours(1));

    lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    pass();
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("kept.wav"), sha256("take of kept.wav")}}));
    EXPECT_EQ(files(), (Files{{QStringLiteral("kept.wav"), sha256("take of kept.wav")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("kept.wav")), synced}}));
}

} // namespace

namespace {

TEST_F(SendJudgementTest, ACopyHeldBehindItsTwinIsJudgedAtItsPlaceBeforeItIsConfirmed)
{
    open();
    cameDown(QStringLiteral("first.wav"), "only downloaded so far");
    // Two copies of new content: one goes up, the other waits to be confirmed as a pointer;
    // another device makes a file at the second's name meanwhile.
    oweNewFile(QStringLiteral("one.wav"), "fresh");
    oweNewFile(QStringLiteral("two.wav"), "fresh");
    h.fake.delayNext("/api/v1/files/check-hash", std::chrono::milliseconds(300));
    startPassUntilHeld();
    h.serve(*folder, QStringLiteral("two.wav"), "theirs");
    ASSERT_TRUE(runUntil([&] { return !queuePass.isRunning(); }));
    h.runUntilIdle(*lane);
    // The copy went its own upload's way, which names the commit the first left: the service
    // judges it and reports the conflict.
    for (const auto &request : h.fake.requestsTo("POST", "/api/v1/files/batch-dedup-confirm"))
        EXPECT_FALSE(request.body.find("two.wav") != std::string::npos) << request.body;
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("one.wav")), sha256("fresh"));
    EXPECT_EQ(files().at(QStringLiteral("two.wav")), sha256("fresh"));
    EXPECT_EQ(lane->fetchRecord(at(QStringLiteral("two.wav")))->syncStatus(), SyncFileStatus::conflict);
    EXPECT_EQ(records().at(at(QStringLiteral("one.wav"))), synced);
}

} // namespace

// A DELETE stands on a read asked after the file was found gone here: a read the pass took for
// an earlier delete, however fresh, may predate another device's save.
TEST_F(SendJudgementTest, ADeleteStandsOnAReadAskedAfterItsProof)
{
    open();
    const qint64 a = cameDown(QStringLiteral("a.wav"), "a1");
    const qint64 b = cameDown(QStringLiteral("b.wav"), "b1");
    for (const QString &name : {QStringLiteral("a.wav"), QStringLiteral("b.wav")}) {
        ASSERT_TRUE(QFile::remove(at(name)));
        auto record = lane->fetchRecord(at(name));
        record->oweRemoteDelete();
        record->setSyncStatus(SyncFileStatus::pending);
        // a.wav is due now, b.wav (deleted a moment later) once it has settled.
        record->setLocalModifiedAt(name == QStringLiteral("a.wav") ? h.clock.currentDateTime().addSecs(-60)
                                                                  : h.clock.currentDateTime());
    }
    h.context->save();
    // a.wav's DELETE, on its read, is on its way; another device saves b.wav meanwhile.
    h.fake.delayNext("/api/v1/files/library/" + std::to_string(a), std::chrono::milliseconds(400));
    startPassUntilHeld();
    replace(b, "b2 from elsewhere");
    h.clock.advance(std::chrono::seconds(1));
    ASSERT_TRUE(runUntil([&] { return !queuePass.isRunning(); }));
    h.runUntilIdle(*lane);

    ASSERT_THAT(deletes(), SizeIs(1));
    EXPECT_EQ(deletes().front().path, "/api/v1/files/library/" + std::to_string(a));
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("b.wav"), sha256("b2 from elsewhere")}}));
    EXPECT_EQ(files(), (Files{{QStringLiteral("b.wav"), sha256("b2 from elsewhere")}}));
}

// A first sync of many files whose content the service holds elsewhere confirms them as
// pointers a chunk at a time: each chunk stands on a read asked after the previous one was
// answered, so a file another device made meanwhile at a later chunk's place is not replaced.
TEST_F(SendJudgementTest, ALaterPointerChunkStandsOnAReadAskedAfterThePreviousChunk)
{
    open();
    const int count = 101;
    const auto nameOf = [](int i) { return QStringLiteral("f%1.wav").arg(i, 3, 10, QLatin1Char('0')); };
    for (int i = 0; i < count; ++i) {
        const QByteArray bytes = "take " + QByteArray::number(i);
        h.serve(*folder, nameOf(i), bytes, QStringLiteral("Other"));
        writeFile(at(nameOf(i)), bytes);
        auto record = std::make_shared<SyncFile>(at(nameOf(i)), nameOf(i));
        record->setFolderID(folder->stableID());
        record->setDesiredState(SyncFileDesiredState::uploadPending);
        record->setSyncStatus(SyncFileStatus::pending);
        h.context->insert(std::move(record));
    }
    h.context->save();
    h.fake.delayNext("/api/v1/files/batch-dedup-confirm", std::chrono::milliseconds(400));
    startPassUntilHeld();
    h.serve(*folder, nameOf(100), "theirs");
    ASSERT_TRUE(runUntil([&] { return !queuePass.isRunning(); }));
    h.runUntilIdle(*lane);

    const auto service = h.serviceFiles();
    EXPECT_EQ(service.at(nameOf(100)), sha256("theirs"));
    EXPECT_EQ(files().at(nameOf(100)), sha256("take 100"));
    EXPECT_NE(records().at(at(nameOf(100))), synced);
    // The ordinary case: the first chunk's files, and the rest of the second, are linked.
    EXPECT_EQ(service.at(nameOf(0)), sha256("take 0"));
    EXPECT_EQ(service.at(nameOf(99)), sha256("take 99"));
    EXPECT_EQ(records().at(at(nameOf(99))), synced);
}

// Every read of the feed a pass makes for its judges asks only what came after the last
// reply it holds: the place it reads from moves on with the pass's own confirmations instead
// of staying at the folder's stored cursor.
TEST_F(SendJudgementTest, EachReadAsksOnlyWhatCameAfterTheLastReply)
{
    open();
    const QStringList names{QStringLiteral("a.wav"), QStringLiteral("b.wav"), QStringLiteral("c.wav"),
                            QStringLiteral("d.wav"), QStringLiteral("e.wav"), QStringLiteral("f.wav")};
    for (const auto &name : names)
        cameDown(name, name.toUtf8());
    h.fake.clearRequestLog();
    // Two passes of edits, with no feed pass between: the second's reads go on from what the
    // first's told (its own confirmations among it), however the first's reads and
    // confirmations crossed.
    for (const auto &batch : {names.mid(0, 3), names.mid(3)}) {
        for (const auto &name : batch)
            oweUpload(name, name.toUtf8() + " edited here");
        auto body = [l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); };
        queuePass = TaskHandle::start(std::move(body));
        h.runUntilIdle(*lane);
    }

    for (const auto &name : names)
        EXPECT_EQ(h.serviceFiles().at(name), sha256(name.toUtf8() + " edited here"));
    // The fake's cursors are "cur-<n>": the changes after the n-th.
    std::vector<long long> asked;
    for (const auto &request : h.fake.requestsTo("GET", "/api/v1/files/library/changes")) {
        const std::string since = request.queryValue("since").value_or(std::string());
        ASSERT_EQ(since.rfind("cur-", 0), 0u) << since;
        asked.push_back(std::stoll(since.substr(4)));
    }
    ASSERT_GE(asked.size(), 2u) << "each confirmation is judged on a read asked after its bytes";
    EXPECT_TRUE(std::is_sorted(asked.begin(), asked.end()));
    EXPECT_GT(asked.back(), asked.front());
}

namespace {

const std::string changesPath = "/api/v1/files/library/changes";

// A feed that comes in pages: the feed's pass reads from the stored cursor and may apply a
// page that ends before what a read already told. What the read told stays until the stored
// cursor reaches it, so another device's version is never replaced unseen.
TEST_F(SendJudgementTest, APageFromFurtherBackInTheFeedKeepsWhatANewerReadTold)
{
    open();
    const qint64 take = cameDown(QStringLiteral("take.wav"), "v1");
    cameDown(QStringLiteral("other.wav"), "o1");
    // No feed pass yet stored where the reads go: the next one is a catch-up from the start.
    folder->setDeltaCursor(std::nullopt);
    h.context->save();
    // Another device's burst of files, then its v3 of take.wav.
    for (int i = 0; i < 6; ++i)
        h.serve(*folder, QStringLiteral("burst%1.wav").arg(i), "burst " + QByteArray::number(i));
    replace(take, "v3 from elsewhere");
    // A new file made here is judged at its place before it goes up: its read tells v3.
    oweNewFile(QStringLiteral("new.wav"), "mine");
    queuePass = TaskHandle::start([l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); });
    h.runUntilIdle(*lane);
    ASSERT_EQ(h.serviceFiles().at(QStringLiteral("new.wav")), sha256("mine"));
    // The service pages its feed: the pass applies and stores the first page, which names
    // take.wav only at v1; the reads after it walk the burst.
    h.fake.setChangesPageSize(2);
    pass();
    ASSERT_EQ(files().count(QStringLiteral("burst0.wav")), 0u) << "the page ends before the burst";
    // take.wav edited here meets v3; it never replaces it.
    oweUpload(QStringLiteral("take.wav"), "edited here");
    queuePass = TaskHandle::start([l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); });
    h.runUntilIdle(*lane);
    EXPECT_THAT(confirms(), SizeIs(1)) << "only new.wav was confirmed";
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("v3 from elsewhere"));
    EXPECT_EQ(files().at(QStringLiteral("take.wav")), sha256("edited here"));
    EXPECT_EQ(records().at(at(QStringLiteral("take.wav"))), inConflict);

    // The ordinary case beside it: other.wav, which the page named as the read did, goes up.
    oweUpload(QStringLiteral("other.wav"), "o2 here");
    queuePass = TaskHandle::start([l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); });
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("other.wav")), sha256("o2 here"));
    EXPECT_EQ(records().at(at(QStringLiteral("other.wav"))), synced);
}

// A refused cursor lets the account go: a read asked before, from the account's newer place,
// that lands after tells only what came after that place, which is not all the records lack.
// It adds nothing; the next read is the whole feed.
TEST_F(SendJudgementTest, AReadAskedBeforeTheCursorWasRefusedAddsNothingAfterIt)
{
    open();
    const qint64 take = cameDown(QStringLiteral("take.wav"), "v1");
    cameDown(QStringLiteral("other.wav"), "o1");
    replace(take, "v3 from elsewhere");
    // A read tells v3; the stored cursor stays before it.
    await(lane->readServiceState(lane->epoch(), {}));
    // The next read goes on from that reply and is answered late.
    h.clock.advance(std::chrono::seconds(10));
    h.fake.takeMostDelayedAtOnce();
    h.fake.delayAnswerNext(changesPath, std::chrono::milliseconds(500));
    TaskHandle late =
        TaskHandle::start([l = lane](std::stop_token) { return l->readServiceState(l->epoch(), {}); });
    ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; })) << "the read was not held";
    // Meanwhile the feed's pass finds its cursor refused; the full sync it asks for cannot
    // list the service yet.
    h.fake.answerNext(changesPath, 410, R"({"message":"cursor expired"})");
    h.fake.answerNext("/api/v1/files/library", 503, "", 20);
    await(lane->runDeltaPass({}));
    ASSERT_FALSE(folder->deltaCursor());
    ASSERT_TRUE(runUntil([&] { return !late.isRunning(); }));

    // take.wav edited here is judged on what the service holds: v3.
    oweUpload(QStringLiteral("take.wav"), "edited here");
    const auto record = lane->fetchRecord(at(QStringLiteral("take.wav")));
    await(lane->hearServiceFirst(record->localPath(), record->generation(), lane->epoch(), {}, true));
    EXPECT_EQ(lane->fetchRecord(at(QStringLiteral("take.wav")))->remoteChecksum(), sha256("v3 from elsewhere"));
    const auto reads = h.fake.requestsTo("GET", changesPath);
    ASSERT_FALSE(reads.empty());
    EXPECT_FALSE(reads.back().queryValue("since")) << "the read after the refusal is the whole feed";
}

} // namespace
