// A file deleted at the service by another device, after this device last synced it and
// unchanged here since, is deleted here too and never sent back, whatever was on its way when
// the delete was told: a download, a full sync's listing, an earlier run's record.

#include "Lane/LaneTestSupport.h"

#include "Platform/Async/TaskHandle.h"

#include <gmock/gmock.h>

#include <QFile>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;

namespace {

using Files = std::map<QString, QString>;
using State = LaneHarness::RecordState;

class DeleteElsewhereTest : public OneLaneTest
{
protected:
    // Starts the lane again, as a restart does, and lets its full sync and a feed pass run.
    void restart()
    {
        lane->stop();
        h.runUntilIdle(*lane);
        lane = h.makeLane(folder);
        lane->start();
        h.runUntilIdle(*lane);
        pass();
    }

    // Runs `act` once the fake holds back the answer to a request of `path`, made already.
    void whileAnswerHeld(const std::string &path, const std::function<void()> &act)
    {
        h.fake.takeMostDelayedAtOnce();
        h.fake.delayAnswerNext(path, std::chrono::milliseconds(400));
        ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; })) << "no request was held";
        act();
    }
};

TEST_F(DeleteElsewhereTest, ADeleteToldWhileTheFileComesDownIsAppliedOnceItHasCome)
{
    for (const auto mode : {SyncFolderSyncMode::bidirectional, SyncFolderSyncMode::downloadOnly}) {
        SCOPED_TRACE(rawValue(mode).toStdString());
        h.fake.clearRequestLog();
        folder = h.addFolder(SyncFolderType::projectsFolder, mode, QStringLiteral("Folder ") + rawValue(mode));
        root = *folder->folderPath();
        lane = h.makeLane(folder);
        lane->start();
        h.runUntilIdle(*lane);
        const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "v1");
        auto record = h.addRecord(*folder, QStringLiteral("take.wav"), SyncFileStatus::pending,
                                  SyncFileDesiredState::downloadPending);
        record->setRemoteId(id);
        record->setRemoteChecksum(sha256("v1"));
        h.context->save();

        // The queue fetches it; another device deletes it and the feed's pass reads that.
        TaskHandle queuePass;
        h.fake.takeMostDelayedAtOnce();
        h.fake.delayAnswerNext("/api/v1/files/library/" + std::to_string(id), std::chrono::milliseconds(400));
        queuePass = TaskHandle::start([l = lane](std::stop_token stop) { return l->processQueue(std::move(stop)); });
        ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; }));
        ASSERT_TRUE(h.fake.removeFile(id));
        await(lane->runDeltaPass({}));
        ASSERT_TRUE(runUntil([&] { return !queuePass.isRunning(); }));
        h.runUntilIdle(*lane);

        EXPECT_EQ(files(), Files{});
        EXPECT_TRUE(records().empty());
        restart();
        EXPECT_EQ(h.serviceFiles(), Files{});
        EXPECT_EQ(files(), Files{});
        lane->stop();
        h.runUntilIdle(*lane);
    }
}

TEST_F(DeleteElsewhereTest, AFileDeletedWhileTheListingWasOnItsWayIsDeletedHereNotAdopted)
{
    folder = h.addFolder(SyncFolderType::projectsFolder);
    root = *folder->folderPath();
    // A re-linked folder: its files are here with no record, and the service lists them.
    const qint64 take = h.serve(*folder, QStringLiteral("take.wav"), "take");
    const qint64 edited = h.serve(*folder, QStringLiteral("edited.wav"), "edited v1");
    h.serve(*folder, QStringLiteral("kept.wav"), "kept");
    writeFile(at(QStringLiteral("take.wav")), "take");
    writeFile(at(QStringLiteral("edited.wav")), "edited here");
    writeFile(at(QStringLiteral("kept.wav")), "kept");
    lane = h.makeLane(folder);
    // While the full sync's listing is on its way, another device deletes two of them and
    // the feed's pass reads those deletes.
    lane->start();
    whileAnswerHeld("/api/v1/files/library", [&] {
        ASSERT_TRUE(h.fake.removeFile(take));
        ASSERT_TRUE(h.fake.removeFile(edited));
        await(lane->runDeltaPass({}));
    });
    h.runUntilIdle(*lane);

    // The unchanged copy goes; the one edited here stays and is sent as a file of its own.
    EXPECT_EQ(files(), (Files{{QStringLiteral("edited.wav"), sha256("edited here")},
                              {QStringLiteral("kept.wav"), sha256("kept")}}));
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("edited.wav"), sha256("edited here")},
                                       {QStringLiteral("kept.wav"), sha256("kept")}}));
    restart();
    EXPECT_EQ(h.serviceFiles(), (Files{{QStringLiteral("edited.wav"), sha256("edited here")},
                                       {QStringLiteral("kept.wav"), sha256("kept")}}));
    EXPECT_EQ(files(), h.serviceFiles());
}

// Another device deletes the file while this device's upload of an edit of it is on its way.
// The delete is not applied while the upload runs: its page stays unstored, and the next pass
// reads it again once the upload has ended. The edit lives on at the service as a file of its
// own, and nothing is deleted.
TEST_F(DeleteElsewhereTest, ADeleteToldWhileAnEditGoesUpIsReadAgainOnceTheUploadHasEnded)
{
    open();
    const qint64 id = h.serve(*folder, QStringLiteral("take.wav"), "v1");
    pass();
    const std::optional<QString> cursorBefore = storedFolder(folder->stableID())->deltaCursor();
    ASSERT_TRUE(cursorBefore);

    writeFile(at(QStringLiteral("take.wav")), "mine");
    h.fake.takeMostDelayedAtOnce();
    h.fake.delayNext("/api/v1/files/library/changes", std::chrono::milliseconds(1000));
    lane->handleFileEvents({at(QStringLiteral("take.wav"))});
    // The upload's read of the service is held: the lane does not settle, the clock is moved by hand.
    ASSERT_TRUE(runUntil([&] {
        h.clock.advance(std::chrono::milliseconds(100));
        return h.fake.takeMostDelayedAtOnce() > 0;
    }));
    ASSERT_EQ(lane->fetchRecord(at(QStringLiteral("take.wav")))->syncStatus(), SyncFileStatus::syncing);
    ASSERT_TRUE(h.fake.removeFile(id));
    await(lane->runDeltaPass({}));
    EXPECT_EQ(storedFolder(folder->stableID())->deltaCursor(), cursorBefore) << "the delete is read again";
    h.runUntilIdle(*lane);

    pass();
    EXPECT_NE(storedFolder(folder->stableID())->deltaCursor(), cursorBefore);
    EXPECT_EQ(files(), (Files{{QStringLiteral("take.wav"), sha256("mine")}}));
    EXPECT_EQ(h.serviceFiles(), files());
    EXPECT_EQ(records(), (std::map<QString, State>{{at(QStringLiteral("take.wav")), synced}}));
    EXPECT_THAT(h.fake.requestsTo("DELETE", "/api/v1/files/library/" + std::to_string(id)), IsEmpty());
}

// A file deleted at the service long ago, while this device was away: nothing of the feed
// from the stored cursor tells it any more. The unchanged copy is deleted here whatever the
// feed still holds, and nothing of it is sent back.
class DeletedLongAgoTest : public DeleteElsewhereTest
{
protected:
    // Uploads each file (name and bytes) through the lane, then stops it.
    void uploadAndStop(const std::map<QString, QByteArray> &contents)
    {
        for (const auto &[name, bytes] : contents) {
            writeFile(at(name), bytes);
            lane->handleFileEvents({at(name)});
        }
        h.runUntilIdle(*lane);
        ASSERT_EQ(h.serviceFiles().size(), contents.size());
        lane->stop();
        h.runUntilIdle(*lane);
    }
    qint64 idOf(const QString &name) { return *lane->fetchRecord(at(name))->remoteId(); }
    // The stored cursor stands past what the service did while the lane was stopped (read by
    // an earlier version that did not apply it).
    void cursorPastIt()
    {
        folder->setDeltaCursor(h.fake.currentCursor(h.account));
        h.context->save();
    }
};

TEST_F(DeletedLongAgoTest, AnUnchangedCopyGoesWhenTheFeedNoLongerHoldsItsDeleteAndAnEditedOneGoesUpAsNew)
{
    open();
    uploadAndStop({{QStringLiteral("take.wav"), "take"},
                   {QStringLiteral("edited.wav"), "edited v1"},
                   {QStringLiteral("kept.wav"), "kept"}});
    // Another device deletes two; one of them is edited here meanwhile. The service then lets
    // go of its history: the stored cursor is refused, and the feed from its start names
    // neither file.
    ASSERT_TRUE(h.fake.removeFile(idOf(QStringLiteral("take.wav"))));
    ASSERT_TRUE(h.fake.removeFile(idOf(QStringLiteral("edited.wav"))));
    writeFile(at(QStringLiteral("edited.wav")), "edited here");
    h.fake.compactChanges(h.account);

    restart();
    h.runUntilIdle(*lane);
    const Files expected{{QStringLiteral("edited.wav"), sha256("edited here")},
                         {QStringLiteral("kept.wav"), sha256("kept")}};
    EXPECT_EQ(files(), expected);
    EXPECT_EQ(h.serviceFiles(), expected);
    restart();
    EXPECT_EQ(files(), expected);
    EXPECT_EQ(h.serviceFiles(), expected);
}

TEST_F(DeletedLongAgoTest, ACopySettledWithoutADeviceTimeGoesWhenItsServiceFileWasDeleted)
{
    // A re-linked folder: the file here is the service's, adopted from the listing, a settle
    // that records no time of this device's.
    folder = h.addFolder(SyncFolderType::projectsFolder);
    root = *folder->folderPath();
    const qint64 take = h.serve(*folder, QStringLiteral("take.wav"), "take");
    h.serve(*folder, QStringLiteral("kept.wav"), "kept");
    writeFile(at(QStringLiteral("take.wav")), "take");
    writeFile(at(QStringLiteral("kept.wav")), "kept");
    lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    ASSERT_EQ(records().size(), 2u);
    lane->stop();
    h.runUntilIdle(*lane);
    ASSERT_TRUE(h.fake.removeFile(take));
    cursorPastIt();

    restart();
    const Files expected{{QStringLiteral("kept.wav"), sha256("kept")}};
    EXPECT_EQ(files(), expected);
    EXPECT_EQ(h.serviceFiles(), expected);
}

TEST_F(DeletedLongAgoTest, AClockAheadOfTheServicesDoesNotMakeALaterDeleteLookEarlier)
{
    open();
    // This device's clock runs ten minutes ahead of the service's (the fake's is real time).
    h.clock.advance(std::chrono::milliseconds(h.clock.currentDateTime().msecsTo(QDateTime::currentDateTimeUtc()))
                    + std::chrono::minutes(10));
    uploadAndStop({{QStringLiteral("take.wav"), "take"}, {QStringLiteral("kept.wav"), "kept"}});
    // Deleted elsewhere after it was synced here: a few minutes later on the service's clock,
    // still earlier than this device's time of the sync.
    ASSERT_TRUE(h.fake.removeFile(idOf(QStringLiteral("take.wav"))));
    cursorPastIt();

    restart();
    const Files expected{{QStringLiteral("kept.wav"), sha256("kept")}};
    EXPECT_EQ(files(), expected);
    EXPECT_EQ(h.serviceFiles(), expected);
}

// A re-linked folder: take.wav and edited.wav are deleted at the service by another device
// (edited.wav changed here before), kept.wav stays. The copies are here with no record.
class RelinkedFolderTest : public DeleteElsewhereTest
{
protected:
    void relink(const QString &name)
    {
        folder = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, name);
        root = *folder->folderPath();
        take = h.serve(*folder, QStringLiteral("take.wav"), "take");
        edited = h.serve(*folder, QStringLiteral("edited.wav"), "edited v1");
        h.serve(*folder, QStringLiteral("kept.wav"), "kept");
        writeFile(at(QStringLiteral("take.wav")), "take");
        writeFile(at(QStringLiteral("edited.wav")), "edited here");
        writeFile(at(QStringLiteral("kept.wav")), "kept");
        lane = h.makeLane(folder);
    }

    void deleteElsewhere()
    {
        ASSERT_TRUE(h.fake.removeFile(take));
        ASSERT_TRUE(h.fake.removeFile(edited));
    }

    // The unchanged copy went; the edited one stays and went up as a file of its own.
    void expectDeletedHereNotSent()
    {
        const Files left{{QStringLiteral("edited.wav"), sha256("edited here")}, {QStringLiteral("kept.wav"), sha256("kept")}};
        EXPECT_EQ(files(), left);
        EXPECT_EQ(h.serviceFiles(), left);
        restart();
        EXPECT_EQ(h.serviceFiles(), left);
        EXPECT_EQ(files(), left);
    }

    qint64 take = 0;
    qint64 edited = 0;
};

TEST_F(RelinkedFolderTest, WhatTheFeedToldWhileAListingFailedHoldsForTheListingAskedAgain)
{
    const std::string listing = "/api/v1/files/library";
    struct Failure
    {
        const char *name;
        std::function<void(FakeHarborly &)> arm;
        bool toldBeforeItFails; // else between the failed listing and the one asked again
        bool deletesNameIdOnly = false;
    };
    const std::vector<Failure> failures{
        {"server error", [&](FakeHarborly &fake) { fake.answerNext(listing, 500); }, true},
        // The connection closed again when the listing is sent anew on another one.
        {"connection closed", [&](FakeHarborly &fake) { fake.dropNext(listing, 2, true); }, true},
        {"body cut short", [&](FakeHarborly &fake) { fake.cutBodyNext(listing, 20); }, true},
        {"told after the failure", [&](FakeHarborly &fake) { fake.answerNext(listing, 500); }, false},
        // Where the files lived and what they held is known from the feed's earlier entries.
        {"deletes told by id alone", [&](FakeHarborly &fake) { fake.answerNext(listing, 500); }, true, true},
    };
    for (const auto &failure : failures) {
        SCOPED_TRACE(failure.name);
        SyncLogger::shared().clear();
        relink(QStringLiteral("Relinked ") + QString::fromLatin1(failure.name));
        h.fake.setDeletesNameIdOnly(failure.deletesNameIdOnly);
        failure.arm(h.fake);
        h.fake.takeMostDelayedAtOnce();
        h.fake.delayAnswerNext(listing, std::chrono::milliseconds(400));
        lane->start();
        ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; })) << "no request was held";
        if (failure.toldBeforeItFails) {
            deleteElsewhere();
            await(lane->runDeltaPass({}));
        } else {
            // The full sync ends on the failure; its retry waits on the clock.
            ASSERT_TRUE(runUntil([&] { return lane->syncState() != SyncEngineState::syncing(); }));
            deleteElsewhere();
            await(lane->runDeltaPass({}));
        }
        h.runUntilIdle(*lane);

        // The listing asked again no longer names the deleted files.
        EXPECT_GE(h.fake.requestsTo("GET", listing).size(), 2u);
        expectDeletedHereNotSent();
        const QString said = QStringLiteral("The listing of %1 failed: ").arg(folder->name());
        const QStringList lines = logDetails();
        EXPECT_TRUE(std::any_of(lines.cbegin(), lines.cend(), [&](const QString &line) { return line.startsWith(said); }))
            << lines.join(u'\n').toStdString();
        lane->stop();
        h.runUntilIdle(*lane);
        h.fake.clearRequestLog();
    }
}

TEST_F(RelinkedFolderTest, AListingMadeAfterTheDeletesItWasAskedBeforeSendsNoneOfThem)
{
    // The service makes the listing only once the deletes are done and the feed has told
    // them: it no longer names the files, though they were here when it was asked.
    relink(QStringLiteral("Relinked"));
    h.fake.takeMostDelayedAtOnce();
    h.fake.delayNext("/api/v1/files/library", std::chrono::milliseconds(400));
    lane->start();
    ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; })) << "no request was held";
    deleteElsewhere();
    await(lane->runDeltaPass({}));
    h.runUntilIdle(*lane);

    expectDeletedHereNotSent();
}

} // namespace
