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
