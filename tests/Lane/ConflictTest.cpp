// A conflict the service reports on an upload, followed through the queue's completion and the
// change feed's own dispatch to the list the panel shows, and what an edit of such a file does.

#include "Lane/LaneTestSupport.h"

#include "Model/LaneQueries.h"

#include <gmock/gmock.h>
#include <sqlite3.h>

using namespace quillmere;
using namespace quillmere::test;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using State = LaneHarness::RecordState;

class ConflictTest : public OneLaneTest
{
protected:
    // take.wav uploaded from here: its record holds the commit of that upload.
    void uploadedFromHere()
    {
        writeFile(take, "v1");
        h.addRecord(*folder, QStringLiteral("take.wav"), SyncFileStatus::pending,
                    SyncFileDesiredState::uploadPending);
        queuePass();
        ASSERT_EQ(records().at(take), synced);
        id = *lane->fetchRecord(take)->remoteId();
    }

    // Another device's version at the service, on a commit this folder never saw.
    void changedElsewhere(const QByteArray &bytes, QChar commit)
    {
        h.fake.updateFile(id, [&](FakeLibraryFile &file) {
            file.content = bytes;
            file.checksum.clear();
            file.fileSize = -1;
        });
        h.fake.setCommit(id, QString(40, commit));
    }

    // Saved here: owed as the intake makes it owed, and past its settle time.
    void editedHere(const QByteArray &bytes)
    {
        writeFile(take, bytes);
        lane->trackLocalChange(take, SyncLane::fileStamp(take));
        h.clock.advance(1s);
    }

    void queuePass()
    {
        await(lane->processQueue({}));
        h.runUntilIdle(*lane);
    }

    // The file names the panel lists under "Conflicts to review" for this folder.
    QStringList toReview()
    {
        ModelContext panel(h.container);
        QStringList names;
        for (const auto &record : fetchConflictsToReview(panel, folder->stableID(), 50))
            names.append(record->filename());
        return names;
    }

    std::shared_ptr<SyncFile> stored()
    {
        reader = std::make_unique<ModelContext>(h.container);
        return reader->fetchFirst(SyncFile::withLocalPath(take));
    }

    static int conflictLines()
    {
        int count = 0;
        for (const auto &entry : SyncLogger::shared().entries())
            count += entry.event == SyncLogger::Event::fileConflict;
        return count;
    }

    QString take;
    qint64 id = 0;
};

TEST_F(ConflictTest, AConflictOfTheQueuesUploadIsListedThroughAnEditUntilACleanUpload)
{
    open();
    take = at(QStringLiteral("take.wav"));
    ASSERT_NO_FATAL_FAILURE(uploadedFromHere());
    EXPECT_THAT(toReview(), IsEmpty());

    changedElsewhere("theirs", u'e');
    editedHere("mine");
    SyncLogger::shared().clear();
    queuePass();

    // Sent and accepted with a conflict: nothing is owed, and the conflict waits for the user.
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("mine"));
    EXPECT_EQ(records().at(take), (State{SyncFileStatus::conflict, SyncFileDesiredState::syncedLocal}));
    auto record = stored();
    EXPECT_EQ(record->retryCount(), 0);
    EXPECT_EQ(record->nextRetryAt(), std::nullopt);
    EXPECT_EQ(record->syncDirection(), SyncFileDirection::conflict);
    EXPECT_TRUE(record->conflictID());
    EXPECT_THAT(toReview(), ElementsAre(QStringLiteral("take.wav")));
    EXPECT_EQ(conflictLines(), 1);
    ASSERT_FALSE(lane->recentSyncedFiles().isEmpty());
    EXPECT_EQ(lane->recentSyncedFiles().front().direction, SyncFileDirection::conflict)
        << "not shown as a plain upload";

    // Edited again before anyone looked: the edit is owed as any other, the conflict stays listed.
    editedHere("mine, later");
    EXPECT_EQ(records().at(take), (State{SyncFileStatus::pending, SyncFileDesiredState::uploadPending}));
    EXPECT_THAT(toReview(), ElementsAre(QStringLiteral("take.wav")));

    // Its upload names the commit the conflicting one got: accepted cleanly, the conflict is over.
    queuePass();
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("mine, later"));
    EXPECT_EQ(records().at(take), synced);
    record = stored();
    EXPECT_EQ(record->conflictID(), std::nullopt);
    EXPECT_THAT(toReview(), IsEmpty());
    EXPECT_EQ(conflictLines(), 1) << "logged once";
}

TEST_F(ConflictTest, AConflictOutlastsWhatTheFeedBringsDownUntilTheUserSawIt)
{
    open();
    take = at(QStringLiteral("take.wav"));
    ASSERT_NO_FATAL_FAILURE(uploadedFromHere());
    changedElsewhere("theirs", u'e');
    editedHere("mine");
    queuePass();
    ASSERT_EQ(records().at(take), (State{SyncFileStatus::conflict, SyncFileDesiredState::syncedLocal}));

    // The feed tells of this folder's own upload: nothing to do, nothing settled.
    pass();
    EXPECT_EQ(records().at(take), (State{SyncFileStatus::conflict, SyncFileDesiredState::syncedLocal}));

    // A newer version from elsewhere comes down through the feed's own dispatch; the conflict
    // the user has not seen stays listed.
    changedElsewhere("theirs again", u'f');
    pass();
    EXPECT_EQ(files().at(QStringLiteral("take.wav")), sha256("theirs again"));
    EXPECT_EQ(records().at(take), (State{SyncFileStatus::conflict, SyncFileDesiredState::syncedLocal}));
    EXPECT_TRUE(stored()->conflictID());
    EXPECT_THAT(toReview(), ElementsAre(QStringLiteral("take.wav")));
}

TEST_F(ConflictTest, AConflictAnsweredWithoutItsDetailsIsListedAndLoggedAllTheSame)
{
    open();
    take = at(QStringLiteral("take.wav"));
    ASSERT_NO_FATAL_FAILURE(uploadedFromHere());
    editedHere("mine");
    h.fake.answerNext("/api/v1/files/confirm-upload", 200,
                      QStringLiteral(R"({"file_id":%1,"commit_sha":"%2","status":"ok_with_conflict"})")
                          .arg(id)
                          .arg(QString(40, u'c'))
                          .toStdString());
    SyncLogger::shared().clear();
    queuePass();

    EXPECT_EQ(records().at(take), (State{SyncFileStatus::conflict, SyncFileDesiredState::syncedLocal}));
    EXPECT_EQ(stored()->conflictID(), std::nullopt);
    EXPECT_THAT(toReview(), ElementsAre(QStringLiteral("take.wav")));
    ASSERT_EQ(conflictLines(), 1);
}

// An edit of exactly the version this device last synced is no conflict, however the version
// got here: came down and never sent from here (the folder's head names another file), or sent
// from here, replaced elsewhere and come down since (its own commit is the older one).
TEST_F(ConflictTest, AnEditOfTheVersionThatCameDownIsNoConflict)
{
    open();
    take = at(QStringLiteral("take.wav"));
    id = h.serve(*folder, QStringLiteral("take.wav"), "came down");
    const QString other = at(QStringLiteral("other.wav"));
    writeFile(other, "sent from here");
    h.addRecord(*folder, QStringLiteral("other.wav"), SyncFileStatus::pending, SyncFileDesiredState::uploadPending);
    pass();
    ASSERT_EQ(files().at(QStringLiteral("take.wav")), sha256("came down"));
    ASSERT_TRUE(folder->headCommitSha()) << "the folder has a head commit: other.wav's";

    editedHere("edit of what came down");
    queuePass();
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("edit of what came down"));
    EXPECT_EQ(records().at(take), synced);
    EXPECT_EQ(stored()->conflictID(), std::nullopt);
    EXPECT_THAT(toReview(), IsEmpty());

    // Now sent from here; another device saves over it, and its version comes down here.
    changedElsewhere("theirs", u'e');
    pass();
    ASSERT_EQ(files().at(QStringLiteral("take.wav")), sha256("theirs"));
    editedHere("edit of theirs");
    queuePass();
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("edit of theirs"));
    EXPECT_EQ(records().at(take), synced);
    EXPECT_THAT(toReview(), IsEmpty());
    EXPECT_EQ(conflictLines(), 0);
}

// The other side of the same guard: another device saved a version this device has not heard
// of, and the edit here is met with it, whether or not the file has a commit of its own.
TEST_F(ConflictTest, AnEditOverAVersionNotHeardOfYetIsStillAConflict)
{
    open();
    take = at(QStringLiteral("take.wav"));
    id = h.serve(*folder, QStringLiteral("take.wav"), "came down");
    pass();
    ASSERT_FALSE(folder->headCommitSha()) << "nothing gives the service a base to judge by";

    // No feed pass between: only the read before the upload tells of it.
    changedElsewhere("theirs", u'e');
    editedHere("mine");
    queuePass();
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("theirs")) << "not sent over it";
    EXPECT_EQ(records().at(take), (State{SyncFileStatus::conflict, SyncFileDesiredState::uploadPending}));
    EXPECT_THAT(toReview(), ElementsAre(QStringLiteral("take.wav")));
}

// The service judged the upload a conflict by the base it named, but the version it held was
// the one this record last synced: settled, nothing listed. Any other version stays a conflict.
TEST_F(ConflictTest, AReportedConflictOverTheVersionLastSyncedHereIsNone)
{
    open();
    take = at(QStringLiteral("take.wav"));
    ASSERT_NO_FATAL_FAILURE(uploadedFromHere());
    const auto answer = [this](const QString &serverVersion) {
        h.fake.answerNext("/api/v1/files/confirm-upload", 200,
                          QStringLiteral(R"({"file_id":%1,"commit_sha":"%2","status":"ok_with_conflict",)"
                                         R"("conflict":{"id":7,"type":"true_conflict","server_oid":"%3"}})")
                              .arg(id)
                              .arg(QString(40, u'c'), serverVersion)
                              .toStdString());
    };

    editedHere("mine");
    answer(sha256("v1").toUpper());
    queuePass();
    EXPECT_EQ(records().at(take), synced);
    EXPECT_EQ(stored()->conflictID(), std::nullopt);
    EXPECT_THAT(toReview(), IsEmpty());
    EXPECT_EQ(conflictLines(), 0);

    editedHere("mine again");
    answer(sha256("someone else's"));
    queuePass();
    EXPECT_EQ(records().at(take), (State{SyncFileStatus::conflict, SyncFileDesiredState::syncedLocal}));
    EXPECT_EQ(stored()->conflictID(), 7);
    EXPECT_THAT(toReview(), ElementsAre(QStringLiteral("take.wav")));
}

// The lane counts its conflicts again at each failure and acknowledgement, and then judges its
// recent entries in conflict against the list. With a thousand or more waiting it leaves them
// as they are and reads nothing of the list; below, an entry whose file is still listed stays
// a conflict and one whose file is not reads as an upload.
TEST_F(ConflictTest, RecentConflictsAreJudgedAgainstTheListOnlyWhileFewerThanAThousandWait)
{
    open();
    constexpr int many = 1000;
    for (int i = 0; i < many; ++i) {
        auto record = std::make_shared<SyncFile>(at(QStringLiteral("c/%1.wav").arg(i)), QStringLiteral("%1.wav").arg(i));
        record->setFolderID(folder->stableID());
        record->setSyncStatus(SyncFileStatus::conflict);
        record->setDesiredState(SyncFileDesiredState::syncedLocal);
        record->setConflictID(i + 1);
        h.context->insert(std::move(record));
    }
    h.context->save();
    lane->recordRecentFile(QStringLiteral("0.wav"), SyncFileDirection::conflict, RecentFile::Kind::transferred);
    lane->recordRecentFile(QStringLiteral("gone.wav"), SyncFileDirection::conflict, RecentFile::Kind::transferred);
    // Steps of the list's statement of the records in conflict, over the store's connection.
    const auto listSteps = [this] {
        int steps = 0;
        sqlite3 *db = h.container->database();
        for (sqlite3_stmt *s = sqlite3_next_stmt(db, nullptr); s; s = sqlite3_next_stmt(db, s))
            if (QString::fromUtf8(sqlite3_sql(s)).contains(QStringLiteral("WHERE folderID = ? AND syncStatus = ? LIMIT ?")))
                steps += sqlite3_stmt_status(s, SQLITE_STMTSTATUS_VM_STEP, 0);
        return steps;
    };
    const auto directions = [this] {
        std::vector<SyncFileDirection> list;
        for (const auto &entry : lane->recentSyncedFiles())
            list.push_back(entry.direction);
        return list;
    };

    const int stepsBefore = listSteps();
    lane->conflictAcknowledged(QString(), false);
    EXPECT_EQ(lane->conflictsToReview(), many);
    EXPECT_EQ(listSteps(), stepsBefore) << "the list is not read";
    EXPECT_THAT(directions(), ElementsAre(SyncFileDirection::conflict, SyncFileDirection::conflict));

    {
        ModelContext panel(h.container);
        panel.fetchFirst(SyncFile::withLocalPath(at(QStringLiteral("c/999.wav"))))->acknowledgeConflict();
        panel.save();
    }
    lane->conflictAcknowledged(at(QStringLiteral("c/999.wav")), false);
    EXPECT_EQ(lane->conflictsToReview(), many - 1);
    EXPECT_GT(listSteps(), stepsBefore);
    EXPECT_THAT(directions(), ElementsAre(SyncFileDirection::upload, SyncFileDirection::conflict))
        << "gone.wav is listed no more, 0.wav still is";
}

} // namespace

namespace {

// Another device saves a second version of a file sent from here and then the first one again,
// both told in one page of the feed: the commit this folder's upload got no longer describes
// the service's file, though its content is the one here. An edit of it is no conflict; a
// version saved elsewhere after that is still met.
TEST_F(ConflictTest, AFileSavedElsewhereAndSavedBackIsEditedWithoutAConflict)
{
    open();
    take = at(QStringLiteral("take.wav"));
    ASSERT_NO_FATAL_FAILURE(uploadedFromHere());
    changedElsewhere("v2", u'e');
    changedElsewhere("v1", u'f');
    pass();
    ASSERT_EQ(records().at(take), synced);

    editedHere("mine");
    SyncLogger::shared().clear();
    queuePass();
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("mine"));
    EXPECT_EQ(records().at(take), synced);
    EXPECT_EQ(stored()->conflictID(), std::nullopt);
    EXPECT_THAT(toReview(), IsEmpty());
    EXPECT_EQ(conflictLines(), 0);

    // The same again, and then a third device's version the feed has not told of yet.
    changedElsewhere("v2 again", u'a');
    changedElsewhere("mine", u'b');
    pass();
    changedElsewhere("theirs", u'c');
    editedHere("mine, later");
    queuePass();
    EXPECT_EQ(h.serviceFiles().at(QStringLiteral("take.wav")), sha256("theirs")) << "not sent over it";
    EXPECT_THAT(toReview(), ElementsAre(QStringLiteral("take.wav")));
}

} // namespace
