// The watcher intake on real folders: real inotify through the lane's own watcher, the fake
// service, the manual clock.

#include "Lane/LaneTestSupport.h"

#include <gmock/gmock.h>

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

using namespace std::chrono_literals;

class IntakeTest : public LaneTest
{
protected:
    std::shared_ptr<SyncFolder> folder = h.addFolder(SyncFolderType::projectsFolder);
    QString root = *folder->folderPath();
    std::shared_ptr<SyncLane> lane;

    // The lane on the folder as it is, its first sync done, with the request log cleared.
    // Birth times tell moves from new files: what the test made is older than the next burst.
    void startSynced()
    {
        lane = h.makeLane(folder);
        lane->start();
        h.runUntilIdle(*lane);
        runFor(700ms);
        h.runUntilIdle(*lane);
        h.fake.clearRequestLog();
    }

    static int intakes() { return int(logDetails().filter(QStringLiteral("FileWatcher reported")).size()); }

    // Until the watcher has reported what the test just did (within its 0.5 s window). The
    // debounce waits on the manual clock, so every batch of the burst joins one intake; then
    // the intake and the queue run.
    // `ceiling`: how long the lane may take to settle before the test counts it as stuck.
    void settleChanges(std::chrono::milliseconds ceiling = std::chrono::seconds(20))
    {
        const int before = intakes();
        ASSERT_TRUE(runUntil([&] { return !lane->isSettled(); }, 10s)) << "the watcher reported nothing";
        for (int seen = -1; seen != h.calls(*lane).stateChanged;) {
            seen = h.calls(*lane).stateChanged;
            runFor(700ms);
        }
        h.runUntilIdle(*lane, ceiling);
        EXPECT_EQ(intakes(), before + 1);
    }

    std::shared_ptr<SyncFile> record(const QString &relative)
    {
        return h.context->fetchFirst(SyncFile::withLocalPath(root + u'/' + relative));
    }

    size_t sent(const char *path) const { return h.fake.requestsTo("POST", path).size(); }
    size_t bytesSent() const { return sent("/api/v1/files/upload-blob") + sent("/api/v1/files/confirm-upload"); }

    static void rename(const QString &from, const QString &to)
    {
        ASSERT_EQ(::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()), 0)
            << from.toStdString();
    }
};

TEST_F(IntakeTest, ABurstOfNewFilesIsTrackedAndSentInOnePass)
{
    startSynced();
    // The service holds every content already (elsewhere): the pass confirms them in batches.
    for (int i = 0; i < 5000; ++i) {
        const QByteArray bytes = "take " + QByteArray::number(i);
        FakeLibraryFile elsewhere;
        elsewhere.accountId = h.account;
        elsewhere.filename = QStringLiteral("take-%1.wav").arg(i);
        elsewhere.folderType = QStringLiteral("drive");
        elsewhere.drivePath = QStringLiteral("Archive");
        elsewhere.content = bytes;
        h.fake.addFile(elsewhere);
        writeFile(root + QStringLiteral("/Set%1/take-%2.wav").arg(i % 10).arg(i), bytes);
    }
    settleChanges(std::chrono::minutes(2)); // 5,000 files: seconds under the sanitizers

    const auto records = h.records(folder->stableID());
    ASSERT_THAT(records, SizeIs(5000));
    for (const auto &[path, state] : records)
        ASSERT_EQ(state, synced) << path.toStdString();
    EXPECT_EQ(logDetails().filter(QStringLiteral("Batch pre-pass: 5000 pending uploads for Loops")).size(), 1);
    EXPECT_EQ(bytesSent(), 0u);
    EXPECT_EQ(sent("/api/v1/files/batch-dedup-confirm"), 50u);
}

TEST_F(IntakeTest, RenamedFilesAndFoldersKeepTheirRecordsAndSendNoBytes)
{
    for (const char *relative : {"a.wav", "Song/x.wav", "Song/Audio/y.wav"})
        writeFile(root + u'/' + QLatin1String(relative), QByteArray("content of ") + relative);
    startSynced();
    const qint64 fileRow = record(QStringLiteral("a.wav"))->persistentID();
    const qint64 childRow = record(QStringLiteral("Song/Audio/y.wav"))->persistentID();

    rename(root + QStringLiteral("/a.wav"), root + QStringLiteral("/b.wav"));
    rename(root + QStringLiteral("/Song"), root + QStringLiteral("/Song 2"));
    settleChanges();

    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, LaneHarness::RecordState>{{root + QStringLiteral("/Song 2/Audio/y.wav"), synced},
                                                           {root + QStringLiteral("/Song 2/x.wav"), synced},
                                                           {root + QStringLiteral("/b.wav"), synced}}));
    EXPECT_EQ(record(QStringLiteral("b.wav"))->persistentID(), fileRow);
    EXPECT_EQ(record(QStringLiteral("Song 2/Audio/y.wav"))->persistentID(), childRow);
    EXPECT_EQ(bytesSent(), 0u);
    // The old names are deleted at the service once the new ones are there.
    EXPECT_THAT(h.destructiveRequests(), SizeIs(3));
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{"Song 2/Audio/y.wav", sha256("content of Song/Audio/y.wav")},
                                                            {"Song 2/x.wav", sha256("content of Song/x.wav")},
                                                            {"b.wav", sha256("content of a.wav")}}));
}

TEST_F(IntakeTest, FilesAndFoldersMovedOutOfTheFolderAreDeletedAtTheService)
{
    for (const char *relative : {"a.wav", "kept.wav", "Song/x.wav", "Song/y.wav"})
        writeFile(root + u'/' + QLatin1String(relative), relative);
    startSynced();

    rename(root + QStringLiteral("/a.wav"), h.rootPath + QStringLiteral("/a.wav"));
    rename(root + QStringLiteral("/Song"), h.rootPath + QStringLiteral("/Song"));
    settleChanges();

    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, LaneHarness::RecordState>{{root + QStringLiteral("/kept.wav"), synced}}));
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{"kept.wav", sha256("kept.wav")}}));
    EXPECT_EQ(bytesSent(), 0u);
}

TEST_F(IntakeTest, ASaveByRenameIsOneRecordAndOneUpload)
{
    writeFile(root + QStringLiteral("/Song/mix.wav"), "first take");
    startSynced();
    const qint64 row = record(QStringLiteral("Song/mix.wav"))->persistentID();

    // As editors save: the new version beside it, the old one renamed to a backup, the new
    // one put in its place, the backup removed.
    writeFile(root + QStringLiteral("/Song/.mix.wav.new"), "second take");
    rename(root + QStringLiteral("/Song/mix.wav"), root + QStringLiteral("/Song/mix.wav.bak"));
    rename(root + QStringLiteral("/Song/.mix.wav.new"), root + QStringLiteral("/Song/mix.wav"));
    ASSERT_TRUE(QFile::remove(root + QStringLiteral("/Song/mix.wav.bak")));
    settleChanges();

    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, LaneHarness::RecordState>{{root + QStringLiteral("/Song/mix.wav"), synced}}));
    EXPECT_EQ(record(QStringLiteral("Song/mix.wav"))->persistentID(), row);
    EXPECT_EQ(sent("/api/v1/files/confirm-upload"), 1u);
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{"Song/mix.wav", sha256("second take")}}));
}

TEST_F(IntakeTest, LinksFifosAndPathsBehindLinksAreNeitherSentNorDeleted)
{
    writeFile(h.rootPath + QStringLiteral("/outside/x.wav"), "not ours");
    writeFile(root + QStringLiteral("/Sub/x.wav"), "ours");
    startSynced();

    // A link to a file outside, a FIFO, a file that became a FIFO after the watcher saw it,
    // and a tracked file whose folder became a link to a folder without it.
    const auto native = [&](const char *relative) { return QFile::encodeName(root + u'/' + QLatin1String(relative)); };
    ASSERT_EQ(::symlink(QFile::encodeName(h.rootPath + QStringLiteral("/outside/x.wav")).constData(),
                        native("link.wav").constData()),
              0);
    ASSERT_EQ(::mkfifo(native("pipe.wav").constData(), 0600), 0);
    writeFile(root + QStringLiteral("/late.wav"), "a file for now");
    ASSERT_TRUE(runUntil([&] { return !lane->isSettled(); }, 10s));
    ASSERT_TRUE(QFile::remove(root + QStringLiteral("/late.wav")));
    ASSERT_EQ(::mkfifo(native("late.wav").constData(), 0600), 0);
    rename(root + QStringLiteral("/Sub"), h.rootPath + QStringLiteral("/Sub"));
    ASSERT_EQ(::symlink(QFile::encodeName(h.rootPath + QStringLiteral("/outside")).constData(), native("Sub").constData()),
              0);
    QSet<QString> paths;
    for (const char *relative : {"link.wav", "pipe.wav", "late.wav", "Sub/x.wav"})
        paths.insert(root + u'/' + QLatin1String(relative));
    lane->handleFileEvents(paths);
    h.runUntilIdle(*lane);

    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, LaneHarness::RecordState>{{root + QStringLiteral("/Sub/x.wav"), synced}}));
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    EXPECT_THAT(logDetails().filter(QStringLiteral("→ deletedRemote")), IsEmpty()) << "not even marked";
    EXPECT_EQ(bytesSent(), 0u);
    QStringList skipped;
    for (const auto &entry : SyncLogger::shared().entries())
        if (entry.event == SyncLogger::Event::fileSkipped)
            skipped.append(entry.filename);
    skipped.sort();
    EXPECT_EQ(skipped, (QStringList{"late.wav", "link.wav", "pipe.wav", "x.wav"}));
}

TEST_F(IntakeTest, SwapsAndMovesOntoTrackedFilesEndWithEveryRecordRight)
{
    for (const char *name : {"a.wav", "b.wav", "c.wav", "d.wav"})
        writeFile(root + u'/' + QLatin1String(name), name);
    startSynced();
    const qint64 dRow = record(QStringLiteral("d.wav"))->persistentID();
    const qint64 cId = *record(QStringLiteral("c.wav"))->remoteId();

    rename(root + QStringLiteral("/a.wav"), root + QStringLiteral("/swap.tmp"));
    rename(root + QStringLiteral("/b.wav"), root + QStringLiteral("/a.wav"));
    rename(root + QStringLiteral("/swap.tmp"), root + QStringLiteral("/b.wav"));
    rename(root + QStringLiteral("/c.wav"), root + QStringLiteral("/d.wav"));
    settleChanges();

    std::map<QString, QString> contents;
    for (const auto &file : h.context->fetch(SyncFile::inFolder(folder->stableID()))) {
        EXPECT_EQ(file->syncStatus(), SyncFileStatus::synced) << file->filename().toStdString();
        const auto remote = h.fake.file(file->remoteId().value_or(0));
        ASSERT_TRUE(remote) << file->filename().toStdString();
        EXPECT_EQ(remote->filename, file->filename());
        EXPECT_EQ(remote->checksum, file->localChecksum());
        contents[file->filename()] = *file->localChecksum();
    }
    EXPECT_EQ(contents, (std::map<QString, QString>{{"a.wav", sha256("b.wav")},
                                                    {"b.wav", sha256("a.wav")},
                                                    {"d.wav", sha256("c.wav")}}));
    // d.wav keeps its record; c.wav is gone at the service.
    EXPECT_EQ(record(QStringLiteral("d.wav"))->persistentID(), dRow);
    EXPECT_FALSE(h.fake.file(cId));
}

TEST_F(IntakeTest, TheLanesOwnDownloadIsNotSentBack)
{
    FakeLibraryFile file;
    file.accountId = h.account;
    file.filename = QStringLiteral("from-service.wav");
    file.folderType = QStringLiteral("drive");
    file.syncFolderUUID = folder->stableID().toString(QUuid::WithoutBraces).toUpper();
    file.content = "made elsewhere";
    h.fake.addFile(file);

    lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    // The download's rename into place reaches the watcher.
    ASSERT_TRUE(runUntil([&] { return !lane->isSettled() || intakes() > 0; }, 10s));
    h.runUntilIdle(*lane);
    runFor(700ms);
    h.runUntilIdle(*lane);
    EXPECT_EQ(intakes(), 1);

    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, LaneHarness::RecordState>{{root + QStringLiteral("/from-service.wav"), synced}}));
    EXPECT_EQ(sent("/api/v1/files/batch-check-hash") + sent("/api/v1/files/check-hash") + bytesSent(), 0u);
}

TEST_F(IntakeTest, ANewFileOnADeletedFilesInodeIsNoMove)
{
    writeFile(root + QStringLiteral("/old.wav"), "old");
    writeFile(root + QStringLiteral("/moved.wav"), "moved");
    startSynced();
    const auto inodeOf = [&](const char *name) {
        struct stat status{};
        ::lstat(QFile::encodeName(root + u'/' + QLatin1String(name)).constData(), &status);
        return qint64(status.st_ino);
    };
    const qint64 oldRow = record(QStringLiteral("old.wav"))->persistentID();
    const qint64 movedRow = record(QStringLiteral("moved.wav"))->persistentID();

    // As the file system does when it gives a freed inode to the next file: the new file and
    // the renamed one carry the inodes their vanished paths' records name.
    ASSERT_TRUE(QFile::remove(root + QStringLiteral("/old.wav")));
    writeFile(root + QStringLiteral("/new.wav"), "new");
    rename(root + QStringLiteral("/moved.wav"), root + QStringLiteral("/renamed.wav"));
    record(QStringLiteral("old.wav"))->setInode(inodeOf("new.wav"));
    h.context->save();
    settleChanges();

    EXPECT_EQ(record(QStringLiteral("renamed.wav"))->persistentID(), movedRow);
    EXPECT_NE(record(QStringLiteral("new.wav"))->persistentID(), oldRow);
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{"new.wav", sha256("new")},
                                                            {"renamed.wav", sha256("moved")}}));
}

TEST_F(IntakeTest, TheRootReportedForLostEventsIsScannedAgain)
{
    startSynced();
    const auto scans = [] { return logDetails().filter(QStringLiteral("Scanning: ")).size(); };
    ASSERT_EQ(scans(), 1);

    lane->handleFileEvents({root});
    h.runUntilIdle(*lane);

    EXPECT_TRUE(logDetails().contains(QStringLiteral("  skip dir: Loops")));
    EXPECT_EQ(scans(), 2);
}

} // namespace

namespace {

TEST_F(IntakeTest, AChangeMadeWhileAGuardSaysNoneIsRecordedAndSentWhenItQuits)
{
    startSynced();
    h.context->insert(std::make_shared<SyncRule>(QStringLiteral("hold"), true, 1, SyncRuleConditionType::appRunning,
                                                 QStringLiteral("Studio"), QStringLiteral("*"), SyncRulePriority::none));
    h.context->save();
    h.dawProvider->result = {QStringLiteral("Studio")};
    writeFile(root + QStringLiteral("/take.wav"), "take");
    settleChanges();
    const auto owed = record(QStringLiteral("take.wav"));
    ASSERT_TRUE(owed);
    EXPECT_EQ(owed->desiredState(), SyncFileDesiredState::uploadPending);
    EXPECT_THAT(h.serviceFiles(), ::testing::IsEmpty());

    h.dawProvider->result.clear();
    lane->refreshPriority();
    h.runUntilIdle(*lane);
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("take")}}));
}

} // namespace
