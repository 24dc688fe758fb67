#include "Lane/LaneTestSupport.h"

#include "Accounts/KeychainHelper.h"
#include "Accounts/KeychainVault.h"
#include "Model/MultipartUploadState.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "Platform/Files/FolderBookmark.h"
#include "Platform/Http/TemporaryDownloadFile.h"

#include <gmock/gmock.h>

#include <QCryptographicHash>

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

using State = LaneHarness::RecordState;

class ActivationTest : public LaneTest
{
protected:
    // A folder with two tracked files, a cursor and a head commit.
    std::shared_ptr<SyncFolder> trackedFolder(SyncFolderType kind = SyncFolderType::projectsFolder)
    {
        auto folder = h.addFolder(kind);
        // On disk and at the service too: a full sync owes nothing for them.
        const auto track = [&](const QString &relative, const QByteArray &bytes) {
            writeFile(*folder->folderPath() + u'/' + relative, bytes);
            FakeLibraryFile file;
            file.accountId = h.account;
            file.filename = relative.section(u'/', -1);
            file.folderType = QStringLiteral("drive");
            file.syncFolderUUID = folder->stableID().toString(QUuid::WithoutBraces).toUpper();
            if (relative.contains(u'/'))
                file.drivePath = relative.section(u'/', 0, -2);
            file.content = bytes;
            auto record = h.addRecord(*folder, relative);
            record->setRemoteId(h.fake.addFile(file));
            record->setLocalChecksum(
                QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
        };
        track(QStringLiteral("a.wav"), "a");
        track(QStringLiteral("sub/b.wav"), "b");
        folder->setDeltaCursor(QStringLiteral("cur-7"));
        folder->setHeadCommitSha(QStringLiteral("c0ffee"));
        h.context->save();
        return folder;
    }

    // Another directory takes the folder's path: the same name, another inode.
    static void replaceWithOtherFolder(const QString &path)
    {
        const QString other = path + QStringLiteral(".other");
        ASSERT_TRUE(QDir().mkpath(other));
        ASSERT_TRUE(QDir(path).removeRecursively());
        ASSERT_TRUE(QDir().rename(other, path));
    }

    void expectRecordsKept(const SyncFolder &folder)
    {
        EXPECT_EQ(h.records(folder.stableID()).size(), 2u);
        const auto stored = storedFolder(folder.stableID());
        EXPECT_EQ(stored->deltaCursor(), QStringLiteral("cur-7"));
        EXPECT_EQ(stored->headCommitSha(), QStringLiteral("c0ffee"));
        EXPECT_THAT(h.destructiveRequests(), IsEmpty());
    }
};

TEST_F(ActivationTest, FollowsAMovedFolderAndWatchesItsNewPath)
{
    auto folder = trackedFolder();
    const QString oldPath = *folder->folderPath();
    const QString newPath = h.rootPath + QStringLiteral("/Loops moved");
    ASSERT_TRUE(QDir().rename(oldPath, newPath));
    auto lane = h.makeLane(folder);

    lane->start();
    h.runUntilIdle(*lane);

    EXPECT_EQ(storedFolder(folder->stableID())->folderPath(), newPath);
    const auto details = logDetails();
    const auto moved = details.indexOf(QStringLiteral("Loops moved: updated path to ") + newPath);
    ASSERT_GE(moved, 0) << details.join(u'\n').toStdString();
    EXPECT_EQ(details.indexOf(newPath), moved + 1);
    EXPECT_EQ(lane->watchedPath(), newPath);
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
    expectRecordsKept(*folder);
    EXPECT_EQ(h.records(folder->stableID()), (std::map<QString, State>{{newPath + QStringLiteral("/a.wav"), synced},
                                                                       {newPath + QStringLiteral("/sub/b.wav"), synced}}));

    // The watcher really reports from the new place.
    const int notifiedBefore = h.calls(*lane).stateChanged;
    writeFile(newPath + QStringLiteral("/new.wav"), "RIFF");
    EXPECT_TRUE(runUntil([&] { return lane->hasLocalChanges(); }, std::chrono::seconds(5)));
    EXPECT_EQ(h.calls(*lane).stateChanged, notifiedBefore + 1);
}

TEST_F(ActivationTest, DropsTheStateOfADeletedFolder)
{
    auto folder = trackedFolder();
    ASSERT_TRUE(QDir(*folder->folderPath()).removeRecursively());
    auto lane = h.makeLane(folder);

    lane->start();
    h.runUntilIdle(*lane);

    EXPECT_EQ(lane->syncState(), SyncEngineState::error(SyncLane::folderMissingMessage()));
    EXPECT_THAT(h.records(folder->stableID()), IsEmpty());
    const auto stored = storedFolder(folder->stableID());
    EXPECT_EQ(stored->deltaCursor(), std::nullopt);
    EXPECT_EQ(stored->headCommitSha(), std::nullopt);
    EXPECT_EQ(h.calls(*lane).stateChanged, 1);
    EXPECT_THAT(logDetails(), Contains(QStringLiteral("Folder deleted for Loops: ") + *folder->folderPath()));
    EXPECT_FALSE(lane->hasFileWatcher());
    EXPECT_THAT(registrations(), IsEmpty());
    EXPECT_FALSE(lane->lastError());
}

TEST_F(ActivationTest, AnotherFolderAtThePathIsAccessLostAndDeletesNothing)
{
    auto folder = trackedFolder();
    replaceWithOtherFolder(*folder->folderPath());
    auto lane = h.makeLane(folder);

    lane->start();
    h.runUntilIdle(*lane);

    EXPECT_EQ(lane->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));
    EXPECT_THAT(logDetails(), Contains(QStringLiteral("Folder access lost for ") + *folder->folderPath()));
    expectRecordsKept(*folder);
    EXPECT_EQ(h.calls(*lane).stateChanged, 1);
    EXPECT_FALSE(lane->hasFileWatcher());
    EXPECT_THAT(registrations(), IsEmpty());
}

TEST_F(ActivationTest, AnUnreadableFolderIsAccessLost)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    auto folder = trackedFolder();
    ASSERT_TRUE(QFile::setPermissions(*folder->folderPath(), QFileDevice::Permissions()));
    auto lane = h.makeLane(folder);

    lane->start();
    h.runUntilIdle(*lane);
    QFile::setPermissions(*folder->folderPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    EXPECT_EQ(lane->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));
    expectRecordsKept(*folder);
}

TEST_F(ActivationTest, TheHomeFolderIsRefused)
{
    auto folder = trackedFolder();
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", folder->folderPath()->toUtf8());
    auto lane = h.makeLane(folder);

    lane->start();
    h.runUntilIdle(*lane);
    qputenv("HOME", home);

    EXPECT_EQ(lane->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));
    EXPECT_FALSE(lane->hasFileWatcher());
    expectRecordsKept(*folder);
}

TEST_F(ActivationTest, AMissingBookmarkStopsAtStart)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional,
                              QStringLiteral("Loops"), false);
    auto lane = h.makeLane(folder);
    lane->setLastError(QStringLiteral("earlier"));

    lane->start();
    h.runUntilIdle(*lane);

    EXPECT_EQ(lane->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));
    EXPECT_EQ(h.calls(*lane).stateChanged, 1);
    EXPECT_EQ(lane->lastError(), QStringLiteral("earlier"));
    EXPECT_THAT(logDetails(), Contains(QStringLiteral("Bookmark missing for Loops (%1)").arg(*folder->folderPath())));
    EXPECT_THAT(h.fake.requestLog(), IsEmpty());
}

TEST_F(ActivationTest, ALockedKeyringIsNotAMissingBookmark)
{
    auto folder = trackedFolder();
    // A vault whose keyring is locked from the start: it has never read the item.
    InMemorySecretBackend lockedBackend;
    lockedBackend.setReadFailure(2);
    KeychainVault lockedVault{KeychainHelper(lockedBackend), [](const QString &) {}};
    LaneServices services{folder, h.client, h.bookmarks, h.rules, h.conflicts, h.context, &lockedVault, &h.clock};
    auto lane = std::dynamic_pointer_cast<SyncLane>(makeSyncLaneFactory()(services));

    lane->start();
    h.runUntilIdle(*lane);

    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
    EXPECT_FALSE(lane->hasFileWatcher());
    EXPECT_THAT(logDetails(), Contains(QStringLiteral("Bookmark unreadable for %1: the keyring could not be read").arg(folder->name())));
    EXPECT_THAT(h.fake.requestLog(), IsEmpty());
    expectRecordsKept(*folder);
}

TEST_F(ActivationTest, RegistersTheFolderAndGoesOnWhenRefused)
{
    auto refs = h.addFolder(SyncFolderType::references, SyncFolderSyncMode::uploadOnly, QStringLiteral("Refs"));
    auto drive = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::downloadOnly, QStringLiteral("Drive"));
    h.addRecord(*drive, QStringLiteral("a.wav"));
    writeFile(*drive->folderPath() + QStringLiteral("/a.wav"), "a");
    auto refsLane = h.makeLane(refs);
    auto driveLane = h.makeLane(drive);

    refsLane->start();
    h.runUntilIdle(*refsLane);
    ASSERT_THAT(registrations(), SizeIs(1));
    const auto body = bodyOf(registrations()[0]);
    EXPECT_EQ(body.value(u"uuid").toString(), refs->stableID().toString(QUuid::WithoutBraces).toUpper());
    EXPECT_EQ(body.value(u"name").toString(), QStringLiteral("Refs"));
    EXPECT_EQ(body.value(u"folder_type").toString(), QStringLiteral("reference"));
    EXPECT_EQ(body.value(u"direction").toString(), QStringLiteral("upload_only"));
    EXPECT_TRUE(refsLane->hasFileWatcher());

    h.fake.answerNext("/api/v1/sync-folders", 500, R"({"message":"down"})");
    driveLane->start();
    h.runUntilIdle(*driveLane);
    ASSERT_THAT(registrations(), SizeIs(2));
    EXPECT_EQ(bodyOf(registrations()[1]).value(u"direction").toString(), QStringLiteral("download_only"));
    EXPECT_EQ(bodyOf(registrations()[1]).value(u"folder_type").toString(), QStringLiteral("drive"));
    EXPECT_EQ(driveLane->syncState(), SyncEngineState::idle());
    EXPECT_FALSE(driveLane->lastError());
    EXPECT_TRUE(driveLane->hasFileWatcher());
    EXPECT_EQ(h.records(drive->stableID()).size(), 1u);
    EXPECT_EQ(logDetails().filter(QStringLiteral("regist"), Qt::CaseInsensitive).size(), 0);
}

TEST_F(ActivationTest, ThePlanMirrorIsNeitherRegisteredNorWatched)
{
    auto folder = h.addFolder(SyncFolderType::harborly);
    auto lane = h.makeLane(folder);

    lane->start();
    h.runUntilIdle(*lane);

    EXPECT_THAT(registrations(), IsEmpty());
    EXPECT_FALSE(lane->hasFileWatcher());
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore);
    EXPECT_THAT(logDetails(), Contains(*folder->folderPath()));
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
}

class MultipartCleanUpTest : public ActivationTest
{
protected:
    std::shared_ptr<MultipartUploadState> addState(const QUuid &folderID, const QString &uploadId,
                                                   const QString &oid, const QString &localPath,
                                                   const QString &stagedPath)
    {
        MultipartUploadState::Data data;
        data.uploadId = uploadId;
        data.oid = oid;
        data.localPath = localPath;
        data.stagedPath = stagedPath;
        data.folderID = folderID;
        data.createdAt = QDateTime::currentDateTimeUtc();
        auto state = h.context->insert(std::make_shared<MultipartUploadState>(data));
        h.context->save();
        return state;
    }

    QString staged(const QString &name)
    {
        const QString folder = LibraryAPIClient::stagingFolder();
        QDir().mkpath(folder);
        writeFile(folder + u'/' + name, "part bytes");
        return folder + u'/' + name;
    }

    std::vector<std::shared_ptr<MultipartUploadState>> storedStates()
    {
        reader = std::make_unique<ModelContext>(h.container);
        return reader->fetch(FetchDescriptor<MultipartUploadState>());
    }
};

TEST_F(MultipartCleanUpTest, AbortsRemovesStagedCopiesAndQueuesTheFilesAgain)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    auto other = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Other"));
    const QString path = *folder->folderPath();
    h.addRecord(*folder, QStringLiteral("a.wav"));
    h.addRecord(*folder, QStringLiteral("b.wav"));
    h.addRecord(*other, QStringLiteral("c.wav"));
    writeFile(path + QStringLiteral("/a.wav"), "a");
    writeFile(path + QStringLiteral("/b.wav"), "the user's own file");
    const QString stagedA = staged(QStringLiteral("A"));
    const QString stagedC = staged(QStringLiteral("C"));
    addState(folder->stableID(), QStringLiteral("up-1"), QStringLiteral("oid-a"), path + QStringLiteral("/a.wav"), stagedA);
    // No upload id, and a staged path that names a file outside the staging folder.
    addState(folder->stableID(), QString(), QStringLiteral("oid-b"), path + QStringLiteral("/b.wav"),
             path + QStringLiteral("/b.wav"));
    addState(other->stableID(), QStringLiteral("up-3"), QStringLiteral("oid-c"),
             *other->folderPath() + QStringLiteral("/c.wav"), stagedC);
    auto lane = h.makeLane(folder);
    // The clean-up's work, seen when the full sync begins (its queue then sends the files).
    std::map<QString, State> cleanedUp;
    onLogLine(QStringLiteral("Scanning: "), [&] { cleanedUp = h.records(folder->stableID()); });

    lane->start();
    h.runUntilIdle(*lane);

    const auto aborts = h.fake.requestsTo("POST", "/api/v1/files/multipart/abort");
    ASSERT_THAT(aborts, SizeIs(1));
    EXPECT_EQ(bodyOf(aborts[0]).value(u"upload_id").toString(), QStringLiteral("up-1"));
    EXPECT_EQ(bodyOf(aborts[0]).value(u"oid").toString(), QStringLiteral("oid-a"));
    EXPECT_FALSE(QFile::exists(stagedA));
    EXPECT_TRUE(QFile::exists(path + QStringLiteral("/b.wav")));
    EXPECT_TRUE(QFile::exists(stagedC));
    const State requeued{SyncFileStatus::pending, SyncFileDesiredState::uploadPending};
    EXPECT_EQ(cleanedUp, (std::map<QString, State>{{path + QStringLiteral("/a.wav"), requeued},
                                                   {path + QStringLiteral("/b.wav"), requeued}}));
    EXPECT_EQ(h.records(folder->stableID()), (std::map<QString, State>{{path + QStringLiteral("/a.wav"), synced},
                                                                       {path + QStringLiteral("/b.wav"), synced}}));
    EXPECT_THAT(h.serviceFiles(), SizeIs(2));
    EXPECT_EQ(h.records(other->stableID()).begin()->second, synced);
    const auto states = storedStates();
    ASSERT_THAT(states, SizeIs(1));
    EXPECT_EQ(states[0]->oid(), QStringLiteral("oid-c"));
    EXPECT_THAT(logDetails(), Contains(QStringLiteral("Cleaning up interrupted multipart upload for oid-b")));
}

TEST_F(MultipartCleanUpTest, AStopDuringTheAbortWritesNothing)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    const QString path = *folder->folderPath();
    h.addRecord(*folder, QStringLiteral("a.wav"));
    const QString stagedA = staged(QStringLiteral("A"));
    addState(folder->stableID(), QStringLiteral("up-1"), QStringLiteral("oid-a"), path + QStringLiteral("/a.wav"), stagedA);
    h.fake.delayNext("/api/v1/files/multipart/abort", std::chrono::milliseconds(600));
    auto lane = h.makeLane(folder);

    lane->start();
    ASSERT_TRUE(runUntil([&] { return logDetails().contains(QStringLiteral("Cleaning up interrupted multipart upload for oid-a")); }));
    lane->stop();
    runFor(std::chrono::milliseconds(900));
    h.runUntilIdle(*lane);

    EXPECT_TRUE(QFile::exists(stagedA));
    EXPECT_EQ(h.records(folder->stableID()).begin()->second, synced);
    EXPECT_THAT(storedStates(), SizeIs(1));
    EXPECT_THAT(registrations(), IsEmpty());
    EXPECT_FALSE(lane->hasFileWatcher());
}

class DownloadLeftoversTest : public LaneTest
{
protected:
    // Last changed an hour ago: before this process began.
    static void backdate(const QString &path)
    {
        const timespec hourAgo{::time(nullptr) - 3600, 0};
        const timespec times[2] = {hourAgo, hourAgo};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
    }
    // The partial file a download of an earlier run left beside its destination.
    static QString leftover(const QString &folder, const QByteArray &name)
    {
        const QString path = folder + u'/' + QFile::decodeName(TemporaryDownloadFile::temporaryName(name, "k3j9z"));
        writeFile(path, QByteArray(4096, 'p'));
        backdate(path);
        return path;
    }
};

TEST_F(DownloadLeftoversTest, TheActivationRemovesThoseOfEarlierRunsButNoDownloadInFlight)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    const QString path = *folder->folderPath();
    ASSERT_TRUE(QDir().mkpath(path + QStringLiteral("/Stems/Drums")));
    ASSERT_TRUE(QDir().mkpath(path + QStringLiteral("/.git")));
    const QStringList gone = {leftover(path, "take.wav"), leftover(path + QStringLiteral("/Stems/Drums"), "kick.wav")};
    // Not the sync's: a hidden folder, and what a link leads to.
    const QString hidden = leftover(path + QStringLiteral("/.git"), "pack.wav");
    QTemporaryDir outside;
    const QString behindLink = leftover(outside.path(), "elsewhere.wav");
    ASSERT_EQ(::symlink(QFile::encodeName(outside.path()).constData(), QFile::encodeName(path + QStringLiteral("/Linked")).constData()), 0);
    // A download of this process, its file's time an hour back as a drive with a lagging clock
    // or coarse timestamps may show it.
    TemporaryDownloadFile inFlight(QFile::encodeName(path + QStringLiteral("/Stems/new.wav")));
    inFlight.create();
    inFlight.write("first half, ");
    backdate(QFile::decodeName(inFlight.path()));
    auto lane = h.makeLane(folder);

    lane->start();
    h.runUntilIdle(*lane);

    for (const QString &file : gone)
        EXPECT_FALSE(QFileInfo::exists(file)) << file.toStdString();
    EXPECT_TRUE(QFileInfo::exists(hidden));
    EXPECT_TRUE(QFileInfo::exists(behindLink));
    EXPECT_THAT(logDetails(), Contains(QStringLiteral("Removed 2 partial download(s) left by an earlier run in %1").arg(path)));
    // The download goes on to its end.
    EXPECT_TRUE(QFileInfo::exists(QFile::decodeName(inFlight.path())));
    inFlight.write("second half");
    inFlight.commit();
    EXPECT_EQ(readFile(path + QStringLiteral("/Stems/new.wav")), QByteArray("first half, second half"));
    lane->stop();
}

} // namespace
