// Service files that change place: a rename the change feed reports as one change, a page of
// the feed that replaces one file by another at a path, and a store where two records came to
// hold one service file. Whatever the order, the renamed content survives on every side.

#include "Lane/LaneTestSupport.h"
#include "Lane/SecondDevice.h"

#include <gmock/gmock.h>

#include <QDir>
#include <QFile>

#include <set>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;

namespace {

using State = LaneHarness::RecordState;
using Files = std::map<QString, QString>;

class RemoteMoveTest : public OneLaneTest
{
protected:
    void rename(qint64 id, const QString &name, std::optional<QString> drivePath = std::nullopt)
    {
        h.fake.updateFile(id, [&](FakeLibraryFile &file) {
            file.filename = name;
            file.drivePath = drivePath;
        });
    }

    std::vector<LoggedRequest> downloadsOf(qint64 id) const
    {
        return h.fake.requestsTo("GET", "/api/v1/files/library/" + std::to_string(id));
    }

    // The service file the record at the path holds (none without a record).
    std::optional<qint64> idAt(const QString &relative)
    {
        const auto record = lane->fetchRecord(at(relative));
        return record ? record->remoteId() : std::nullopt;
    }

};

TEST_F(RemoteMoveTest, ARenameAtTheServiceReachesBothDevicesAndDeletingTheOldNameLosesNothing)
{
    folder = h.addFolder(SyncFolderType::projectsFolder);
    root = *folder->folderPath();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "the take");
    lane = h.makeLane(folder);
    SecondDevice other(h, *folder);
    const QString otherRoot = *other.folder->folderPath();
    lane->start();
    other.lane->start();
    h.runUntilIdle(*lane);
    other.d.runUntilIdle(*other.lane);
    // Both replay the feed once, so the rename below is the only change either sees next.
    pass();
    await(other.lane->runDeltaPass({}));
    other.d.runUntilIdle(*other.lane);
    const Files before{{QStringLiteral("take.wav"), sha256("the take")}};
    ASSERT_EQ(files(), before);
    ASSERT_EQ(LaneHarness::folderFiles(otherRoot), before);

    rename(id, QStringLiteral("final.wav"), QStringLiteral("Mix"));
    h.fake.clearRequestLog();
    pass();
    await(other.lane->runDeltaPass({}));
    other.d.runUntilIdle(*other.lane);
    const Files renamed{{QStringLiteral("Mix/final.wav"), sha256("the take")}};
    EXPECT_EQ(files(), renamed);
    EXPECT_EQ(LaneHarness::folderFiles(otherRoot), renamed);
    // The file moved on disk: its content was not fetched again.
    EXPECT_THAT(downloadsOf(id), IsEmpty());

    // The user of the second device deletes the old name wherever it is still there.
    QFile::remove(otherRoot + QStringLiteral("/take.wav"));
    other.lane->stop();
    other.lane->start();
    other.d.runUntilIdle(*other.lane);
    await(other.lane->runDeltaPass({}));
    other.d.runUntilIdle(*other.lane);
    pass();

    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("Mix/final.wav"), sha256("the take")}}));
    EXPECT_EQ(files(), renamed);
    EXPECT_EQ(LaneHarness::folderFiles(otherRoot), renamed);
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("Mix/final.wav")), synced}}));
    EXPECT_EQ(idAt(QStringLiteral("Mix/final.wav")), id);
}

TEST_F(RemoteMoveTest, AnOldNameDeletedOrEditedHereBeforeTheRenameArrivedLosesNothing)
{
    open();
    const qint64 deleted = h.serve(*folder, QStringLiteral("deleted.wav"), "one");
    const qint64 edited = h.serve(*folder, QStringLiteral("edited.wav"), "two");
    pass();
    // The user deletes one file and edits the other; before either reaches the service, the
    // service renames both.
    QFile::remove(at(QStringLiteral("deleted.wav")));
    lane->trackLocalDeletion(at(QStringLiteral("deleted.wav")));
    writeFile(at(QStringLiteral("edited.wav")), "edited here");
    rename(deleted, QStringLiteral("one.wav"));
    rename(edited, QStringLiteral("two.wav"));
    pass();

    // The delete reaches no file; the edit stays beside the renamed file, as a file of its own.
    const Files expected{{QStringLiteral("edited.wav"), sha256("edited here")},
                         {QStringLiteral("one.wav"), sha256("one")},
                         {QStringLiteral("two.wav"), sha256("two")}};
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), expected);
    EXPECT_EQ(files(), expected);
    for (const auto &[path, state] : records())
        EXPECT_EQ(state, synced) << path.toStdString();
    EXPECT_EQ(idAt(QStringLiteral("one.wav")), deleted);
    EXPECT_EQ(idAt(QStringLiteral("two.wav")), edited);
    EXPECT_NE(idAt(QStringLiteral("edited.wav")), edited);
}

TEST_F(RemoteMoveTest, ANewFileAtTheNameOfAFileDeletedHereAndRenamedThereIsFetched)
{
    open();
    const qint64 take = h.serve(*folder, QStringLiteral("take.wav"), "one");
    const qint64 loop = h.serve(*folder, QStringLiteral("loop.wav"), "two");
    pass();
    // Both deleted here; before the deletes reach the service, the service renames the files
    // and another device makes new files at their old names. The feed names the new file at
    // take.wav after the rename, the one at loop.wav before it (the renamed file was edited).
    for (const QString &name : {QStringLiteral("take.wav"), QStringLiteral("loop.wav")}) {
        QFile::remove(at(name));
        lane->trackLocalDeletion(at(name));
    }
    rename(take, QStringLiteral("one.wav"));
    rename(loop, QStringLiteral("two.wav"));
    h.serve(*folder, QStringLiteral("take.wav"), "theirs");
    h.serve(*folder, QStringLiteral("loop.wav"), "theirs too");
    h.fake.updateFile(loop, [](FakeLibraryFile &file) {
        file.content = "two, edited there";
        file.checksum.clear();
        file.fileSize = -1;
    });
    pass();
    pass();

    // The deletes reach no file, and the new files come down like any other.
    const Files expected{{QStringLiteral("loop.wav"), sha256("theirs too")},
                         {QStringLiteral("one.wav"), sha256("one")},
                         {QStringLiteral("take.wav"), sha256("theirs")},
                         {QStringLiteral("two.wav"), sha256("two, edited there")}};
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), expected);
    EXPECT_EQ(files(), expected);
    for (const auto &[path, state] : records())
        EXPECT_EQ(state, synced) << path.toStdString();
    EXPECT_EQ(records().size(), 4U);
}

TEST_F(RemoteMoveTest, AFileMovedHereBeforeTheServiceRenamedItIsKeptAndTheRenamedFileIsFetched)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "the take");
    pass();
    // The user moves the file; before the watcher tells the lane, the service renames it.
    ASSERT_TRUE(QFile::rename(at(QStringLiteral("take.wav")), at(QStringLiteral("mine.wav"))));
    rename(id, QStringLiteral("final.wav"));
    pass();
    lane->handleFileEvents({at(QStringLiteral("take.wav")), at(QStringLiteral("mine.wav"))});
    h.runUntilIdle(*lane);
    pass();

    const Files expected{{QStringLiteral("final.wav"), sha256("the take")}, {QStringLiteral("mine.wav"), sha256("the take")}};
    EXPECT_EQ(files(), expected);
    EXPECT_EQ(h.serviceFiles(), expected);
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("final.wav")), synced},
                                                   {at(QStringLiteral("mine.wav")), synced}}));
    EXPECT_EQ(idAt(QStringLiteral("final.wav")), id);
}

TEST_F(RemoteMoveTest, AFileRenamedAndThenDeletedAtTheServiceLeavesItsOldNameHereToo)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "the take");
    h.serve(*folder, QStringLiteral("other.wav"), "other");
    pass();
    // Both in one page: the feed names the file at its new place only.
    rename(id, QStringLiteral("final.wav"));
    h.fake.removeFile(id);
    pass();

    const Files expected{{QStringLiteral("other.wav"), sha256("other")}};
    EXPECT_EQ(files(), expected);
    EXPECT_EQ(h.serviceFiles(), expected);
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("other.wav")), synced}}));
}

// As above, and another file takes the new name in the same page: that place belongs to the
// newcomer, but the delete still reaches the old name, which holds the deleted file here.
TEST_F(RemoteMoveTest, AFileRenamedAndDeletedWhileAnotherTakesItsNewNameLeavesItsOldNameHereToo)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "the take");
    pass();
    rename(id, QStringLiteral("final.wav"), QStringLiteral("Mix"));
    h.fake.removeFile(id);
    const qint64 newcomer = h.serve(*folder, QStringLiteral("final.wav"), "the newcomer", QStringLiteral("Mix"));
    pass();

    const Files expected{{QStringLiteral("Mix/final.wav"), sha256("the newcomer")}};
    EXPECT_EQ(files(), expected);
    EXPECT_EQ(h.serviceFiles(), expected);
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("Mix/final.wav")), synced}}));
    EXPECT_EQ(idAt(QStringLiteral("Mix/final.wav")), newcomer);
}

TEST_F(RemoteMoveTest, AFileMadeHereWhereTheServiceMovedAnotherIsAConflictAndNothingIsLost)
{
    open();
    const qint64 take = h.serve(*folder, QStringLiteral("take.wav"), "the take");
    const qint64 loop = h.serve(*folder, QStringLiteral("loop.wav"), "the loop");
    pass();
    // The service renames both; before its feed says so, the user saves files of their own
    // at the new names (and edits the old name of one). Those files meet the moved ones.
    rename(take, QStringLiteral("f.wav"), QStringLiteral("Mix"));
    rename(loop, QStringLiteral("g.wav"), QStringLiteral("Mix"));
    writeFile(at(QStringLiteral("loop.wav")), "the loop, edited here");
    writeFile(at(QStringLiteral("Mix/f.wav")), "mine");
    writeFile(at(QStringLiteral("Mix/g.wav")), "mine too");
    lane->handleFileEvents({at(QStringLiteral("Mix/f.wav")), at(QStringLiteral("Mix/g.wav"))});
    h.runUntilIdle(*lane);
    const Files atService{{QStringLiteral("Mix/f.wav"), sha256("the take")}, {QStringLiteral("Mix/g.wav"), sha256("the loop")}};
    EXPECT_EQ(h.serviceFiles(), atService);
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/confirm-upload"), IsEmpty());
    constexpr State held{SyncFileStatus::conflict, SyncFileDesiredState::uploadPending};
    EXPECT_EQ(records().at(at(QStringLiteral("Mix/f.wav"))), held);
    EXPECT_EQ(idAt(QStringLiteral("take.wav")), take); // one service file, one record
    pass();

    // The old names let go: the one still as synced is gone here (its content is the
    // service's moved file), the edited one is a file of its own; the files made here wait
    // beside the moved ones for the user.
    EXPECT_EQ(files(), (Files{{QStringLiteral("Mix/f.wav"), sha256("mine")},
                              {QStringLiteral("Mix/g.wav"), sha256("mine too")},
                              {QStringLiteral("loop.wav"), sha256("the loop, edited here")}}));
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("Mix/f.wav"), sha256("the take")},
                                       {QStringLiteral("Mix/g.wav"), sha256("the loop")},
                                       {QStringLiteral("loop.wav"), sha256("the loop, edited here")}}));
    EXPECT_NE(idAt(QStringLiteral("loop.wav")), loop);
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("Mix/f.wav")), held},
                                                   {at(QStringLiteral("Mix/g.wav")), held},
                                                   {at(QStringLiteral("loop.wav")), synced}}));
}

TEST_F(RemoteMoveTest, ADownloadOnlyFolderKeepsOnlyTheRenamedFile)
{
    folder = h.addFolder(SyncFolderType::references, SyncFolderSyncMode::downloadOnly);
    root = *folder->folderPath();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "the take");
    lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    pass();
    writeFile(at(QStringLiteral("take.wav")), "edited here");
    rename(id, QStringLiteral("final.wav"));
    pass();
    EXPECT_EQ(files(), (Files{{QStringLiteral("final.wav"), sha256("the take")}}));
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("final.wav"), sha256("the take")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("final.wav")), synced}}));
}

TEST_F(RemoteMoveTest, ARecordThatSharesItsServiceFileWithAnotherNeverDeletesItAndAFullSyncRepairsTheStore)
{
    folder = h.addFolder(SyncFolderType::projectsFolder);
    root = *folder->folderPath();
    const qint64 id = h.serve(*folder, QStringLiteral("final.wav"), "the take");
    // A store of the old fault: the renamed file and the old name both hold the service file,
    // and the user has deleted a third copy that held it too.
    for (const QString &name : {QStringLiteral("final.wav"), QStringLiteral("take.wav"), QStringLiteral("gone.wav")}) {
        if (name != QStringLiteral("gone.wav"))
            writeFile(at(name), "the take");
        const bool gone = name == QStringLiteral("gone.wav");
        auto record = h.addRecord(*folder, name, SyncFileStatus::pending,
                                  gone ? SyncFileDesiredState::deletedRemote : SyncFileDesiredState::syncedLocal);
        record->setRemoteId(id);
        record->setLocalChecksum(sha256("the take"));
        record->setRemoteChecksum(sha256("the take"));
        if (!gone)
            record->setSyncStatus(SyncFileStatus::synced);
    }
    h.context->save();
    lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);

    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("final.wav"), sha256("the take")}}));
    EXPECT_EQ(files(), (Files{{QStringLiteral("final.wav"), sha256("the take")}}));
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("final.wav")), synced}}));
}

TEST_F(RemoteMoveTest, APageThatPutsANewFileWhereAnOldOneWasLandsTheNewOne)
{
    open();
    const qint64 old = h.serve(*folder, QStringLiteral("take.wav"), "old");
    pass();
    // The feed names the new file at the path before the old one's delete.
    const qint64 fresh = h.serve(*folder, QStringLiteral("take.wav"), "new");
    h.fake.removeFile(old);
    pass();
    EXPECT_EQ(files(), (Files{{QStringLiteral("take.wav"), sha256("new")}}));
    EXPECT_EQ(idAt(QStringLiteral("take.wav")), fresh);
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), synced}}));
}

TEST_F(RemoteMoveTest, TheReplayAfterAFullSyncFetchesNothingAndFailsNothing)
{
    folder = h.addFolder(SyncFolderType::projectsFolder);
    root = *folder->folderPath();
    const qint64 id = h.serve(*folder, QStringLiteral("song.wav"), "v1");
    h.fake.updateFile(id, [](FakeLibraryFile &file) {
        file.content = "v2";
        file.checksum.clear();
        file.fileSize = -1;
    });
    h.fake.removeFile(h.serve(*folder, QStringLiteral("gone.wav"), "gone"));
    writeFile(at(QStringLiteral("mine.wav")), "mine");
    lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    ASSERT_EQ(files(), (Files{{QStringLiteral("mine.wav"), sha256("mine")}, {QStringLiteral("song.wav"), sha256("v2")}}));

    // No cursor yet: the whole history comes, this device's own upload included.
    h.fake.clearRequestLog();
    SyncLogger::shared().clear();
    pass();
    // Only the feed was asked for: no download, no upload, no check.
    for (const auto &request : h.fake.requestLog())
        EXPECT_EQ(request.path, "/api/v1/files/library/changes") << request.method << ' ' << request.path;
    for (const auto &entry : SyncLogger::shared().entries())
        EXPECT_NE(entry.event, SyncLogger::Event::syncFailed) << entry.detail.value_or(QString()).toStdString();
    EXPECT_EQ(lane->lastError(), std::nullopt);
    for (const auto &[path, state] : records())
        EXPECT_EQ(state, synced) << path.toStdString();
    EXPECT_EQ(folder->deltaCursor(), h.fake.currentCursor(h.account));
}

} // namespace

namespace {

// The contents the service holds, whatever their names.
std::multiset<QString> contents(const Files &files)
{
    std::multiset<QString> found;
    for (const auto &[path, checksum] : files)
        found.insert(checksum);
    return found;
}

TEST_F(RemoteMoveTest, AFileMovedHereIsNeverReplacedByAnotherDevicesFileAtItsNewPlace)
{
    folder = h.addFolder(SyncFolderType::projectsFolder);
    root = *folder->folderPath();
    writeFile(at(QStringLiteral("A/x.wav")), "mine");
    lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    pass();
    ASSERT_EQ(h.serviceFiles(), (Files{{QStringLiteral("A/x.wav"), sha256("mine")}}));
    // The user renames the folder; before the move reaches the service, another device
    // makes a file at the new place.
    ASSERT_TRUE(QDir().rename(at(QStringLiteral("A")), at(QStringLiteral("B"))));
    ASSERT_TRUE(lane->applyLocalRename(at(QStringLiteral("A/x.wav")), at(QStringLiteral("B/x.wav")),
                                       SyncLane::fileStamp(at(QStringLiteral("B/x.wav")))));
    h.serve(*folder, QStringLiteral("x.wav"), "theirs", QStringLiteral("B"));
    pass();

    EXPECT_EQ(files(), (Files{{QStringLiteral("B/x.wav"), sha256("mine")}}));
    // The moved content reached the service, and the other device's version is not lost
    // without a word: still there, or reported as the conflict the upload met.
    EXPECT_TRUE(contents(h.serviceFiles()).count(sha256("mine")));
    const auto moved = lane->fetchRecord(at(QStringLiteral("B/x.wav")));
    ASSERT_TRUE(moved);
    EXPECT_TRUE(contents(h.serviceFiles()).count(sha256("theirs"))
                || moved->conflictServerOid().value_or(QString()).contains(sha256("theirs").left(32)));
}

} // namespace

