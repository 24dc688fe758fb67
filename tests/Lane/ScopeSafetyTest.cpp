// What a folder syncs is one rule, and nothing the scan cannot see is ever taken for deleted:
// full syncs run again and again over service files and records the scan does not list,
// and the service keeps every file.

#include "Lane/LaneTestSupport.h"

#include <gmock/gmock.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/mount.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

class ScopeSafetyTest : public LaneTest
{
protected:

    // A file on disk that was synced once: its record carries the service's id and checksum.
    void syncedFile(const SyncFolder &folder, const QString &relative, const QByteArray &bytes)
    {
        const QString directory = relative.contains(u'/') ? relative.section(u'/', 0, -2) : QString();
        const qint64 id = h.serve(folder, relative.section(u'/', -1), bytes,
                                directory.isEmpty() ? std::nullopt : std::optional<QString>(directory));
        writeFile(*folder.folderPath() + u'/' + relative, bytes);
        auto record = h.addRecord(folder, relative);
        record->setRemoteId(id);
        record->setLocalChecksum(sha256(bytes));
        h.context->save();
    }

    // Activates the lane `times` times, each running one full sync and its queue to the end.
    void fullSyncs(const std::shared_ptr<SyncFolder> &folder, int times = 3)
    {
        auto lane = h.makeLane(folder);
        for (int i = 0; i < times; ++i) {
            lane->start();
            h.runUntilIdle(*lane);
            lane->stop();
        }
    }
};

TEST_F(ScopeSafetyTest, FilesOutsideAFlatFolderAreNeitherFetchedNorDeleted)
{
    auto folder = h.addFolder(SyncFolderType::unorganisedAudio);
    folder->setFileExtensions({QStringLiteral(".wav")});
    h.context->save();
    const QString root = *folder->folderPath();
    h.serve(*folder, QStringLiteral("take.flac"), "flac");
    h.serve(*folder, QStringLiteral("loop.wav"), "loop", QStringLiteral("Sub"));
    h.serve(*folder, QStringLiteral("kick.wav"), "kick", QStringLiteral("."));
    // Tracked by an earlier version that placed a file the scan never lists.
    syncedFile(*folder, QStringLiteral("old.flac"), "old");
    const auto before = h.serviceFiles();

    fullSyncs(folder);

    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), before);
    EXPECT_EQ(LaneHarness::folderFiles(root), (std::map<QString, QString>{{QStringLiteral("kick.wav"), sha256("kick")},
                                                                          {QStringLiteral("old.flac"), sha256("old")}}));
    EXPECT_EQ(h.records(folder->stableID()), (std::map<QString, LaneHarness::RecordState>{
                                                 {root + QStringLiteral("/kick.wav"), synced},
                                                 {root + QStringLiteral("/old.flac"), synced}}));
    // Each entry the folder does not take is logged once, not at every full sync.
    EXPECT_THAT(logDetails().filter(QStringLiteral("Not downloading take.flac")), SizeIs(1));
    EXPECT_THAT(logDetails().filter(QStringLiteral("Not downloading Sub/loop.wav")), SizeIs(1));
}

TEST_F(ScopeSafetyTest, NamesTheScanSkipsAreNeitherFetchedNorDeleted)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    const QString root = *folder->folderPath();
    h.serve(*folder, QStringLiteral(".Loop.wav"), "a");
    h.serve(*folder, QStringLiteral("Take (conflict).wav"), "b");
    h.serve(*folder, QStringLiteral("x.quillmere-tmp.wav"), "c");
    h.serve(*folder, QStringLiteral("plain.wav"), "d", QStringLiteral(".hidden dir"));
    h.serve(*folder, QStringLiteral("plain2.wav"), "e", QStringLiteral("Web/.cache"));
    // Records an earlier version made for such names, their files still on disk.
    syncedFile(*folder, QStringLiteral(".Old.wav"), "f");
    syncedFile(*folder, QStringLiteral("Old (conflict).wav"), "g");
    const auto before = h.serviceFiles();

    fullSyncs(folder);

    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    EXPECT_EQ(h.serviceFiles(), before);
    EXPECT_EQ(LaneHarness::folderFiles(root).size(), 2u);
    EXPECT_THAT(h.records(folder->stableID()), SizeIs(2));
    EXPECT_THAT(logDetails().filter(QStringLiteral("Not downloading ")), SizeIs(5));
}

TEST_F(ScopeSafetyTest, AFolderReplacedByALinkOrOnAnotherDriveIsNoDeletion)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    const QString root = *folder->folderPath();
    syncedFile(*folder, QStringLiteral("Samples/kick.wav"), "kick");
    syncedFile(*folder, QStringLiteral("Drive/Sub/pad.wav"), "pad");
    syncedFile(*folder, QStringLiteral("gone.wav"), "gone");
    QFile::remove(root + QStringLiteral("/gone.wav"));

    // The user moved Samples to another disk and left a link in its place.
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QDir().rename(root + QStringLiteral("/Samples"), elsewhere.path() + QStringLiteral("/Samples")));
    ASSERT_TRUE(QFile::link(elsewhere.path() + QStringLiteral("/Samples"), root + QStringLiteral("/Samples")));

    // A drive mounted at Drive hides what was there: Drive/Sub cannot be seen, which proves
    // nothing, and the drive's own files are not the folder's.
    const QString mountPoint = root + QStringLiteral("/Drive");
    const bool mounted = ::mount("none", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, nullptr) == 0;
    if (mounted)
        writeFile(mountPoint + QStringLiteral("/new.wav"), "new");

    fullSyncs(folder);
    const auto records = h.records(folder->stableID());
    if (mounted) {
        EXPECT_EQ(::umount(QFile::encodeName(mountPoint).constData()), 0);
    }

    // The one file deleted on this disk is the one deleted at the service, and nothing of
    // the other drive was sent.
    EXPECT_THAT(h.destructiveRequests(), SizeIs(1));
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("Samples/kick.wav"), sha256("kick")},
                                                            {QStringLiteral("Drive/Sub/pad.wav"), sha256("pad")}}));
    EXPECT_EQ(records, (std::map<QString, LaneHarness::RecordState>{{root + QStringLiteral("/Samples/kick.wav"), synced},
                                                                    {root + QStringLiteral("/Drive/Sub/pad.wav"), synced}}));
    EXPECT_TRUE(QFile::exists(elsewhere.path() + QStringLiteral("/Samples/kick.wav")));
    if (!mounted)
        GTEST_SKIP() << "no tmpfs mount here: the other-drive half was not run";
}

TEST_F(ScopeSafetyTest, AMarkedDeletionIsProvenAgainWhenItIsSent)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    const QString root = *folder->folderPath();
    syncedFile(*folder, QStringLiteral("back.wav"), "back");
    syncedFile(*folder, QStringLiteral("Linked/hat.wav"), "hat");
    syncedFile(*folder, QStringLiteral("gone.wav"), "gone");
    QFile::remove(root + QStringLiteral("/gone.wav"));
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QDir().rename(root + QStringLiteral("/Linked"), elsewhere.path() + QStringLiteral("/Linked")));
    ASSERT_TRUE(QFile::link(elsewhere.path() + QStringLiteral("/Linked"), root + QStringLiteral("/Linked")));
    // Marked by an earlier pass; the file came back since, or lies behind a link now.
    for (const auto &record : h.context->fetch(SyncFile::inFolder(folder->stableID()))) {
        record->setDesiredState(SyncFileDesiredState::deletedRemote);
        record->setSyncStatus(SyncFileStatus::pending);
    }
    h.context->save();
    auto lane = h.makeLane(folder);

    await(lane->processQueue({}));

    ASSERT_THAT(h.destructiveRequests(), SizeIs(1));
    EXPECT_EQ(h.destructiveRequests()[0].path.find("/api/v1/files/library/"), 0u);
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("back.wav"), sha256("back")},
                                                            {QStringLiteral("Linked/hat.wav"), sha256("hat")}}));
    // The file that came back is sent again (the service holds it: nothing to upload); the
    // one behind the link keeps its synced state.
    EXPECT_EQ(h.records(folder->stableID()), (std::map<QString, LaneHarness::RecordState>{
                                                 {root + QStringLiteral("/back.wav"), synced},
                                                 {root + QStringLiteral("/Linked/hat.wav"), synced}}));
}

// A file owed an upload that a link replaced (sample managers do this), and a folder of such
// files that a link to another folder replaced: what the links lead to is no file of the folder.
// Nothing of it, small or large (multipart), is read for the service, its hash included;
// nothing is deleted; the records stay owed as they were, logged once however many passes.
TEST_F(ScopeSafetyTest, AnUploadNeverReadsThroughALink)
{
    h.client->setMultipartThresholdForTesting(2 * 1024 * 1024);
    h.fake.setMultipartPartSize(1024 * 1024);
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    const QString root = *folder->folderPath();
    QTemporaryDir elsewhere;
    QByteArray large(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < large.size(); ++i)
        large[i] = char((i * 2654435761u) >> 11);
    const std::map<QString, QByteArray> outside{{QStringLiteral("take.wav"), "outside take"},
                                                {QStringLiteral("stem.wav"), large},
                                                {QStringLiteral("Kit/hat.wav"), "outside hat"},
                                                {QStringLiteral("Kit/bass.wav"), large + "bass"}};
    for (const auto &[relative, bytes] : outside) {
        writeFile(elsewhere.path() + u'/' + relative, bytes);
        writeFile(root + u'/' + relative, "mine " + relative.toUtf8());
        h.addRecord(*folder, relative, SyncFileStatus::pending, SyncFileDesiredState::uploadPending);
    }
    for (const QString &name : {QStringLiteral("take.wav"), QStringLiteral("stem.wav")}) {
        ASSERT_TRUE(QFile::remove(root + u'/' + name));
        ASSERT_TRUE(QFile::link(elsewhere.path() + u'/' + name, root + u'/' + name));
    }
    ASSERT_TRUE(QDir(root + QStringLiteral("/Kit")).removeRecursively());
    ASSERT_TRUE(QFile::link(elsewhere.path() + QStringLiteral("/Kit"), root + QStringLiteral("/Kit")));
    writeFile(root + QStringLiteral("/real.wav"), "real");
    h.addRecord(*folder, QStringLiteral("real.wav"), SyncFileStatus::pending, SyncFileDesiredState::uploadPending);
    auto lane = h.makeLane(folder);

    await(lane->processQueue({}));
    await(lane->processQueue({}));

    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("real.wav"), sha256("real")}}));
    EXPECT_THAT(h.fake.multipartUploads(), IsEmpty());
    for (const auto &[relative, bytes] : outside) {
        const QString hash = sha256(bytes);
        EXPECT_FALSE(h.fake.uploadedObject(hash)) << relative.toStdString();
        for (const auto &request : h.fake.requestLog()) {
            EXPECT_EQ(request.body.find(hash.toStdString()), std::string::npos) << request.path;
            EXPECT_EQ(request.body.find(bytes.left(11).toStdString()), std::string::npos) << request.path;
        }
    }
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    const LaneHarness::RecordState owed{SyncFileStatus::pending, SyncFileDesiredState::uploadPending};
    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, LaneHarness::RecordState>{{root + QStringLiteral("/Kit/bass.wav"), owed},
                                                           {root + QStringLiteral("/Kit/hat.wav"), owed},
                                                           {root + QStringLiteral("/real.wav"), synced},
                                                           {root + QStringLiteral("/stem.wav"), owed},
                                                           {root + QStringLiteral("/take.wav"), owed}}));
    EXPECT_THAT(logDetails().filter(QStringLiteral("Not sent: not a regular file")), SizeIs(4));
    // The links and what they lead to are as they were.
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("/take.wav")).isSymLink());
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("/Kit")).isSymLink());
    for (const auto &[relative, bytes] : outside) {
        QFile file(elsewhere.path() + u'/' + relative);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_TRUE(file.readAll() == bytes) << relative.toStdString();
    }
}

} // namespace
