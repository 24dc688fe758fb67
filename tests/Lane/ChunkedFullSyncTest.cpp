#include "Lane/LaneTestSupport.h"

#include <gmock/gmock.h>

#include <QDir>
#include <QFile>

#include <algorithm>
#include <map>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;

namespace {

const std::string hashCheckPath = "/api/v1/files/batch-check-hash";

// A first sync of more files than one chunk (7 here): the tracked records, the listing and the
// scan must still be judged as one folder, and the queue may already send the first chunks.
class ChunkedFullSyncTest : public LaneTest
{
protected:
    static constexpr int chunk = 7;
    int laneChunk = chunk;

    // `count` new files in sub-folders of five, each with its own content but for those whose
    // index is a multiple of 9: one content, so copies of it meet across chunks.
    void writeNewFiles(int count)
    {
        for (int i = 0; i < count; ++i) {
            const QByteArray bytes = i % 9 == 0 ? QByteArray("one content, several places") : "take " + QByteArray::number(i);
            writeFile(root + QStringLiteral("/Session %1/Take_%2.wav").arg(i / 5).arg(i), bytes);
        }
    }

    std::shared_ptr<SyncLane> makeChunkedLane()
    {
        auto lane = h.makeLane(folder);
        lane->setFullSyncChunkSizeForTesting(laneChunk);
        return lane;
    }

    // The folder, the service and the records tell the same story: every file on disk is at
    // the service under its place with its content, and its record has nothing owed.
    void expectConverged(const std::map<QString, QString> &expected)
    {
        EXPECT_EQ(LaneHarness::folderFiles(root), expected);
        EXPECT_EQ(h.serviceFiles(), expected);
        std::map<QString, LaneHarness::RecordState> records;
        for (const auto &[relative, checksum] : expected)
            records[root + u'/' + relative] = synced;
        EXPECT_EQ(h.records(folder->stableID()), records);
    }

    std::shared_ptr<SyncFolder> folder = h.addFolder(SyncFolderType::projectsFolder);
    QString root = *folder->folderPath();
};

TEST_F(ChunkedFullSyncTest, AFolderOfManyChunksEndsAsOneFolderWithTheServiceAndTheRecords)
{
    writeNewFiles(40);
    // At the service already, at this very place: linked, not sent.
    writeFile(root + QStringLiteral("/Session 3/Take_17.wav"), "take 17");
    const qint64 listedID = h.serve(*folder, QStringLiteral("Take_17.wav"), "take 17", QStringLiteral("Session 3"));
    // Moved while the application was closed: the old place's record has no file any more and
    // the new place is a new file, read in some chunk.
    const qint64 movedID = h.serve(*folder, QStringLiteral("old.wav"), "moved bytes", QStringLiteral("Before"));
    auto moved = h.addRecord(*folder, QStringLiteral("Before/old.wav"));
    moved->setRemoteId(movedID);
    moved->setLocalChecksum(sha256("moved bytes"));
    writeFile(root + QStringLiteral("/Later/new.wav"), "moved bytes");
    // Deleted while closed: its record proves it was here, so the service's copy goes.
    const qint64 goneID = h.serve(*folder, QStringLiteral("gone.wav"), "gone bytes");
    auto gone = h.addRecord(*folder, QStringLiteral("gone.wav"));
    gone->setRemoteId(goneID);
    gone->setLocalChecksum(sha256("gone bytes"));
    // Edited while closed.
    const qint64 editedID = h.serve(*folder, QStringLiteral("edited.wav"), "v1");
    auto edited = h.addRecord(*folder, QStringLiteral("edited.wav"));
    edited->setRemoteId(editedID);
    edited->setLocalChecksum(sha256("v1"));
    writeFile(root + QStringLiteral("/edited.wav"), "v2");
    // Tracked, not listed by the scan (a link in its place), yet not gone: kept as it is.
    const QString outside = h.rootPath + QStringLiteral("/outside.wav");
    writeFile(outside, "linked bytes");
    QDir().mkpath(root + QStringLiteral("/Linked"));
    ASSERT_TRUE(QFile::link(outside, root + QStringLiteral("/Linked/take.wav")));
    const qint64 linkedID = h.serve(*folder, QStringLiteral("take.wav"), "linked bytes", QStringLiteral("Linked"));
    auto linked = h.addRecord(*folder, QStringLiteral("Linked/take.wav"));
    linked->setRemoteId(linkedID);
    linked->setLocalChecksum(sha256("linked bytes"));
    // Only at the service: comes down.
    h.serve(*folder, QStringLiteral("only.wav"), "only there", QStringLiteral("Remote"));
    h.context->save();

    auto lane = makeChunkedLane();
    lane->start();
    h.runUntilIdle(*lane);

    // Several chunks each asked the service about their own files.
    EXPECT_GE(h.fake.requestsTo("POST", hashCheckPath).size(), 40u / chunk);
    EXPECT_EQ(lane->fetchRecord(root + QStringLiteral("/Session 3/Take_17.wav"))->remoteId(), listedID);
    // Of the tracked records the scan did not list, only the link's is kept: every file of the
    // scan counted as on disk, whichever chunk read it.
    EXPECT_TRUE(logDetails().contains(QStringLiteral("Kept 1 records of Loops whose files the scan did not list but "
                                                     "are not gone (a link, another drive or an unreadable path on "
                                                     "the way)")));
    EXPECT_EQ(h.destructiveRequests().size(), 2u); // the moved file's old place and the deleted one
    EXPECT_FALSE(h.fake.file(goneID));
    EXPECT_FALSE(h.fake.file(movedID));
    ASSERT_TRUE(h.fake.file(linkedID));
    EXPECT_EQ(lane->fetchRecord(root + QStringLiteral("/Linked/take.wav"))->remoteId(), linkedID);
    QFile::remove(root + QStringLiteral("/Linked/take.wav"));
    h.fake.removeFile(linkedID);
    h.context->remove(lane->fetchRecord(root + QStringLiteral("/Linked/take.wav")));
    h.context->save();

    std::map<QString, QString> expected;
    for (int i = 0; i < 40; ++i)
        expected[QStringLiteral("Session %1/Take_%2.wav").arg(i / 5).arg(i)] =
            sha256(i % 9 == 0 ? QByteArray("one content, several places") : "take " + QByteArray::number(i));
    expected[QStringLiteral("Later/new.wav")] = sha256("moved bytes");
    expected[QStringLiteral("edited.wav")] = sha256("v2");
    expected[QStringLiteral("Remote/only.wav")] = sha256("only there");
    expectConverged(expected);
    EXPECT_FALSE(lane->isProcessingQueue());
}

TEST_F(ChunkedFullSyncTest, UploadsBeginBeforeTheLastChunkIsRead)
{
    writeNewFiles(5 * chunk);
    auto lane = makeChunkedLane();
    lane->start();
    h.runUntilIdle(*lane);

    // The fake logs in the order it answered: some file's upload came before the batch check
    // of the last chunk.
    const auto log = h.fake.requestLog();
    const auto isUpload = [](const LoggedRequest &request) {
        return request.path.rfind("/api/v1/files/upload", 0) == 0 || request.path.rfind("/storage/objects/", 0) == 0;
    };
    const auto isCheck = [](const LoggedRequest &request) { return request.path == hashCheckPath; };
    const auto firstUpload = std::find_if(log.begin(), log.end(), isUpload);
    const auto lastCheck = std::find_if(log.rbegin(), log.rend(), isCheck);
    ASSERT_NE(firstUpload, log.end());
    ASSERT_NE(lastCheck, log.rend());
    EXPECT_LT(firstUpload - log.begin(), log.rend() - lastCheck - 1);
    EXPECT_EQ(h.serviceFiles().size(), size_t(5 * chunk));
    // One pass sent them all and counted each once, whichever chunk it came in; only copies of
    // the one shared content (three) may have been linked by a later chunk's check instead.
    EXPECT_LE(lane->filesTotalThisPass(), 5 * chunk);
    EXPECT_GE(lane->filesTotalThisPass(), 5 * chunk - 3);
    EXPECT_LE(lane->filesCompletedThisPass(), lane->filesTotalThisPass());
}

TEST_F(ChunkedFullSyncTest, AStopBetweenChunksLeavesNothingStuckAndTheNextStartFinishes)
{
    writeNewFiles(6 * chunk);
    auto lane = makeChunkedLane();
    lane->start();
    // Stopped once two chunks were checked and the queue runs beside the next.
    ASSERT_TRUE(runUntil([&] { return h.fake.requestsTo("POST", hashCheckPath).size() >= 2; }));
    lane->stop();
    ASSERT_TRUE(runUntil([&] { return lane->isSettled(); }));
    EXPECT_FALSE(lane->isProcessingQueue());
    const auto records = h.records(folder->stableID());
    EXPECT_TRUE(std::none_of(records.begin(), records.end(),
                             [](const auto &entry) { return entry.second.status == SyncFileStatus::syncing; }));

    lane->start();
    h.runUntilIdle(*lane);
    std::map<QString, QString> expected;
    for (int i = 0; i < 6 * chunk; ++i)
        expected[QStringLiteral("Session %1/Take_%2.wav").arg(i / 5).arg(i)] =
            sha256(i % 9 == 0 ? QByteArray("one content, several places") : "take " + QByteArray::number(i));
    expectConverged(expected);
}

} // namespace
