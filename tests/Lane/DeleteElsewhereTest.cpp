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

} // namespace
