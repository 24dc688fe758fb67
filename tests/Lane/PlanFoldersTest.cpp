#include "Lane/LaneTestSupport.h"

#include <gmock/gmock.h>

#include <QDirIterator>
#include <QFileInfo>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

using State = LaneHarness::RecordState;

class PlanFoldersTest : public LaneTest
{
protected:
    void plan(qint64 id, const QString &folderName)
    {
        h.fake.addPlan({id, h.account, QStringLiteral("Plan"), QStringLiteral("plan"), folderName});
    }
    qint64 serve(qint64 planID, const QString &name, std::optional<QString> drivePath = std::nullopt)
    {
        FakeLibraryFile file;
        file.accountId = h.account;
        file.filename = name;
        file.userPlanId = planID;
        file.drivePath = std::move(drivePath);
        file.content = name.toUtf8();
        return h.fake.addFile(file);
    }
    // A file on disk and its synced record.
    void present(const QString &relative, qint64 remoteID = 0)
    {
        writeFile(root + u'/' + relative, relative.toUtf8());
        auto record = h.addRecord(*folder, relative);
        record->setRemoteId(remoteID);
        h.context->save();
    }
    std::shared_ptr<SyncLane> sync()
    {
        auto lane = h.makeLane(folder);
        lane->start();
        h.runUntilIdle(*lane);
        return lane;
    }
    std::vector<LoggedRequest> downloads() const
    {
        std::vector<LoggedRequest> found;
        for (const auto &request : h.fake.requestLog())
            if (request.method == "GET" && request.path.starts_with("/api/v1/files/library/")
                && request.path != "/api/v1/files/library/changes")
                found.push_back(request);
        return found;
    }
    bool isDir(const QString &relative) const { return QFileInfo(root + u'/' + relative).isDir(); }
    QStringList renames() const { return logDetails().filter(QStringLiteral("Renamed ")); }

    std::shared_ptr<SyncFolder> folder =
        h.addFolder(SyncFolderType::harborly, SyncFolderSyncMode::downloadOnly, QStringLiteral("Mirror"));
    QString root = *folder->folderPath();
};

TEST_F(PlanFoldersTest, LaysOutPlansTracksAndDriveDirectories)
{
    plan(5, QStringLiteral("plan-5-empty"));
    plan(7, QStringLiteral("plan-7-song"));
    serve(7, QStringLiteral("a.wav"));
    serve(7, QStringLiteral("b.wav"), QStringLiteral("Stems"));
    serve(7, QStringLiteral("c.wav"), QStringLiteral("track-3-Guitar/takes"));
    // A second name for track 3 in the same reply: it joins the first, nothing moves back.
    serve(7, QStringLiteral("d.wav"), QStringLiteral("track-3-Gtr"));
    present(QStringLiteral("plan-7-song/track-3-Old Guitar/old.wav"));
    std::optional<bool> stemsBeforeItsDownload;
    onLogLine(QStringLiteral("→ downloadPending b.wav"),
              [&] { stemsBeforeItsDownload = isDir(QStringLiteral("plan-7-song/Stems")); });

    const auto lane = sync();

    EXPECT_TRUE(isDir(QStringLiteral("plan-5-empty")));
    EXPECT_EQ(stemsBeforeItsDownload, false);
    EXPECT_FALSE(isDir(QStringLiteral("plan-7-song/track-3-Old Guitar")));
    EXPECT_FALSE(isDir(QStringLiteral("plan-7-song/track-3-Gtr")));
    const QString song = root + QStringLiteral("/plan-7-song");
    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, State>{{song + QStringLiteral("/a.wav"), synced},
                                        {song + QStringLiteral("/Stems/b.wav"), synced},
                                        {song + QStringLiteral("/track-3-Guitar/takes/c.wav"), synced},
                                        {song + QStringLiteral("/track-3-Guitar/d.wav"), synced},
                                        {song + QStringLiteral("/track-3-Guitar/old.wav"), synced}}));
    EXPECT_EQ(readFile(song + QStringLiteral("/track-3-Guitar/takes/c.wav")), "c.wav");
    EXPECT_THAT(renames(), ::testing::ElementsAre(QStringLiteral(
                               "Renamed track-3-Old Guitar → track-3-Guitar (id-prefix rename detection)")));
    EXPECT_EQ(lane->planDirectories(),
              (QHash<qint64, QString>{{5, root + QStringLiteral("/plan-5-empty")}, {7, song}}));
    EXPECT_THAT(logDetails().filter(QStringLiteral("Marked ")), IsEmpty());
    EXPECT_EQ(lane->syncState(), SyncEngineState::idle());
}

TEST_F(PlanFoldersTest, RenamedPlanMovesItsDirectoryInsteadOfDownloadingAgain)
{
    plan(12, QStringLiteral("plan-12-drums"));
    plan(13, QStringLiteral("plan-13-gone"));
    const qint64 kick = serve(12, QStringLiteral("kick.wav"), QStringLiteral("track-1-Kick"));
    serve(12, QStringLiteral("loop.wav"));
    const auto lane = sync();
    ASSERT_THAT(downloads(), SizeIs(2));
    {
        std::lock_guard lock(h.fake.state().mutex);
        h.fake.state().plans.front().folderName = QStringLiteral("plan-12-beats");
        h.fake.state().plans.pop_back();
    }
    h.fake.clearRequestLog();
    SyncLogger::shared().clear();

    lane->start();
    h.runUntilIdle(*lane);

    EXPECT_THAT(downloads(), IsEmpty());
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/plan-12-drums")));
    EXPECT_THAT(renames(), ::testing::ElementsAre(QStringLiteral(
                               "Renamed plan-12-drums → plan-12-beats (id-prefix rename detection)")));
    const QString kickPath = root + QStringLiteral("/plan-12-beats/track-1-Kick/kick.wav");
    EXPECT_EQ(readFile(kickPath), "kick.wav");
    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, State>{{kickPath, synced},
                                        {root + QStringLiteral("/plan-12-beats/loop.wav"), synced}}));
    EXPECT_EQ(lane->fetchRecord(kickPath)->remoteId(), kick);
    EXPECT_EQ(lane->planDirectories(),
              (QHash<qint64, QString>{{12, root + QStringLiteral("/plan-12-beats")}}));
}

TEST_F(PlanFoldersTest, OnlyATrackedRealDirectoryWithThePrefixMoves)
{
    plan(1, QStringLiteral("plan-1-new")); // plan-12-beats does not begin with plan-1-
    present(QStringLiteral("plan-12-beats/x.wav"));
    plan(2, QStringLiteral("plan-2-new")); // a plain file, an untracked directory: never moved
    writeFile(root + QStringLiteral("/plan-2-file"));
    h.addRecord(*folder, QStringLiteral("plan-2-file/x.wav"));
    QDir(root).mkpath(QStringLiteral("plan-2-untracked"));
    plan(4, QStringLiteral("plan-4-b")); // both names present
    present(QStringLiteral("plan-4-a/x.wav"));
    QDir(root).mkpath(QStringLiteral("plan-4-b"));
    plan(6, QStringLiteral("plan-6-new")); // the one with the most records
    present(QStringLiteral("plan-6-few/x.wav"));
    present(QStringLiteral("plan-6-many/x.wav"));
    present(QStringLiteral("plan-6-many/y.wav"));
    plan(8, QStringLiteral("plan-8-new")); // a link is never moved
    present(QStringLiteral("elsewhere/x.wav"));
    ASSERT_TRUE(QFile::link(root + QStringLiteral("/elsewhere"), root + QStringLiteral("/plan-8-link")));
    present(QStringLiteral("plan-8-link/y.wav"));

    sync();

    EXPECT_THAT(renames(), ::testing::ElementsAre(QStringLiteral(
                               "Renamed plan-6-many → plan-6-new (id-prefix rename detection)")));
    for (const char *kept :
         {"plan-12-beats", "plan-2-untracked", "plan-4-a", "plan-4-b", "plan-6-few", "plan-1-new",
          "plan-2-new", "plan-6-new/x.wav", "plan-8-new", "plan-8-link/y.wav"})
        EXPECT_TRUE(QFileInfo::exists(root + u'/' + QLatin1String(kept))) << kept;
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("/plan-2-file")).isFile());
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("/plan-8-link")).isSymLink());
    EXPECT_THAT(logDetails().filter(QStringLiteral("Failed to rename")), IsEmpty());
}

TEST_F(PlanFoldersTest, RewriteOntoTrackedPathsKeepsTheRecordWhoseFileIsThere)
{
    plan(12, QStringLiteral("plan-12-beats"));
    present(QStringLiteral("plan-12-drums/on-disk.wav"), 1);
    h.addRecord(*folder, QStringLiteral("plan-12-drums/missing.wav"))->setRemoteId(2);
    for (const auto &[name, id] : {std::pair{"on-disk.wav", 91}, std::pair{"missing.wav", 92}})
        h.addRecord(*folder, QStringLiteral("plan-12-beats/") + QLatin1String(name), SyncFileStatus::error,
                    SyncFileDesiredState::downloadPending)
            ->setRemoteId(id);
    h.context->save();

    const auto lane = sync();

    const QString beats = root + QStringLiteral("/plan-12-beats/");
    EXPECT_THAT(h.records(folder->stableID()), SizeIs(2));
    EXPECT_EQ(lane->fetchRecord(beats + QStringLiteral("on-disk.wav"))->remoteId(), 1);
    EXPECT_EQ(lane->fetchRecord(beats + QStringLiteral("missing.wav"))->remoteId(), 92);
}

TEST_F(PlanFoldersTest, HostileNamesWriteNothingOutsideTheFolder)
{
    const QStringList hostile{QStringLiteral("../x"), QStringLiteral("/etc"), QStringLiteral("a/../../b"),
                              QStringLiteral(".."), QString()};
    qint64 id = 20;
    for (const QString &name : hostile) {
        plan(id, name);
        serve(id++, QStringLiteral("f.wav"));
    }
    plan(30, QStringLiteral("plan-30-ok"));
    for (const QString &name : hostile) {
        serve(30, name);
        serve(30, QStringLiteral("d%1.wav").arg(id++), name);
    }
    // A plan directory that is a link out of the folder is not written through.
    QDir(h.rootPath).mkpath(QStringLiteral("outside"));
    plan(31, QStringLiteral("plan-31-link"));
    serve(31, QStringLiteral("g.wav"));
    ASSERT_TRUE(QFile::link(h.rootPath + QStringLiteral("/outside"), root + QStringLiteral("/plan-31-link")));
    // Nor one that leads elsewhere inside it.
    QDir(root).mkpath(QStringLiteral("real"));
    plan(32, QStringLiteral("plan-32-link"));
    serve(32, QStringLiteral("h.wav"));
    ASSERT_TRUE(QFile::link(root + QStringLiteral("/real"), root + QStringLiteral("/plan-32-link")));
    auto tree = [this] {
        QStringList entries;
        QDirIterator it(h.rootPath, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            if (const QString path = it.next();
                !path.startsWith(root + u'/') && !path.contains(QLatin1String(".store")))
                entries.append(path);
        entries.sort();
        return entries;
    };
    const QStringList before = tree();

    sync();

    EXPECT_EQ(tree(), before);
    // "/etc" as a drive path is a folder inside the plan; "" is the plan directory itself.
    EXPECT_EQ(LaneHarness::folderFiles(root),
              (std::map<QString, QString>{{QStringLiteral("plan-30-ok/etc/d26.wav"), sha256("d26.wav")},
                                          {QStringLiteral("plan-30-ok/d29.wav"), sha256("d29.wav")}}));
}

TEST_F(PlanFoldersTest, FailedDownloadsStayOwedAndALaterPassFetchesThem)
{
    plan(3, QStringLiteral("plan-3-x"));
    h.fake.answerNext("/api/v1/files/library/" + std::to_string(serve(3, QStringLiteral("a.wav"))), 500);
    h.fake.rateLimitNext("/api/v1/files/library/" + std::to_string(serve(3, QStringLiteral("b.wav"))));
    const QStringList paths{root + QStringLiteral("/plan-3-x/a.wav"),
                            root + QStringLiteral("/plan-3-x/b.wav")};
    std::map<QString, State> afterFullSync;
    int dueForRetry = 0;
    std::shared_ptr<SyncLane> lane = h.makeLane(folder);
    onLogLine(QStringLiteral("Mirror"), [&] { // the full sync's last line
        afterFullSync = h.records(folder->stableID());
        for (const QString &path : paths)
            dueForRetry += lane->fetchRecord(path)->nextRetryAt() && lane->queueRetryTask().isRunning();
    });

    lane->start();
    h.runUntilIdle(*lane);

    const State owed{SyncFileStatus::pending, SyncFileDesiredState::downloadPending};
    EXPECT_EQ(afterFullSync, (std::map<QString, State>{{paths[0], owed}, {paths[1], owed}}));
    EXPECT_EQ(dueForRetry, 2);
    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, State>{{paths[0], synced}, {paths[1], synced}}));
    EXPECT_EQ(readFile(paths[1]), "b.wav");
    EXPECT_THAT(downloads(), SizeIs(4));
}

TEST_F(PlanFoldersTest, DirectoryWithATransferInFlightKeepsItsNameForNow)
{
    plan(12, QStringLiteral("plan-12-beats"));
    serve(12, QStringLiteral("x.wav"));
    present(QStringLiteral("plan-12-drums/x.wav"));
    h.addRecord(*folder, QStringLiteral("plan-12-drums/y.wav"), SyncFileStatus::syncing,
                SyncFileDesiredState::downloadPending);
    // Owed from an earlier run, its retry time still ahead: left to the queue, which must run then.
    auto waiting = h.addRecord(*folder, QStringLiteral("plan-12-drums/z.wav"), SyncFileStatus::pending,
                               SyncFileDesiredState::downloadPending);
    waiting->setRemoteId(serve(12, QStringLiteral("z.wav")));
    waiting->setNextRetryAt(h.clock.currentDateTime().addSecs(30));
    h.context->save();
    const auto lane = h.makeLane(folder);

    await(lane->hydratePlans(root, {}));

    EXPECT_TRUE(isDir(QStringLiteral("plan-12-drums")));
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/plan-12-beats")));
    EXPECT_EQ(lane->planDirectories().value(12), root + QStringLiteral("/plan-12-drums"));
    EXPECT_THAT(downloads(), IsEmpty());
    EXPECT_TRUE(lane->queueRetryTask().isRunning());
}

TEST_F(PlanFoldersTest, FailedPlansRequestTouchesNothing)
{
    plan(3, QStringLiteral("plan-3-x"));
    h.fake.answerNext("/api/v1/plans", 403);

    const auto lane = sync();

    EXPECT_TRUE(QDir(root).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    EXPECT_TRUE(lane->syncState().isError());
    EXPECT_FALSE(lane->lastSyncAt());
}

} // namespace

namespace {

TEST_F(PlanFoldersTest, TheFeedPlacesPlanFilesOnlyWhereTheLayoutDoes)
{
    plan(7, QStringLiteral("plan-7-drums"));
    const auto inFolder = [&](qint64 id) {
        h.fake.updateFile(id, [&](FakeLibraryFile &file) {
            file.syncFolderUUID = folder->stableID().toString(QUuid::WithoutBraces).toUpper();
        });
    };
    const qint64 kick = serve(7, QStringLiteral("kick.wav"), QStringLiteral("Stems"));
    inFolder(kick);
    auto lane = sync();
    ASSERT_TRUE(QFile::exists(root + QStringLiteral("/plan-7-drums/Stems/kick.wav")));

    // A new version of a placed file goes to its place; a new file goes where the layout puts
    // it, never to the feed's drive path under the root.
    h.fake.updateFile(kick, [](FakeLibraryFile &file) {
        file.content = "kick v2";
        file.checksum.clear();
        file.fileSize = -1;
    });
    const qint64 snare = serve(7, QStringLiteral("snare.wav"), QStringLiteral("Stems"));
    inFolder(snare);
    await(lane->runDeltaPass({}));
    h.runUntilIdle(*lane);

    EXPECT_EQ(LaneHarness::folderFiles(root),
              (std::map<QString, QString>{{QStringLiteral("plan-7-drums/Stems/kick.wav"), sha256("kick v2")},
                                          {QStringLiteral("plan-7-drums/Stems/snare.wav"), sha256("snare.wav")}}));
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/Stems")));
    for (const auto &[path, state] : h.records(folder->stableID()))
        EXPECT_EQ(state, synced) << path.toStdString();
}

} // namespace

namespace {

// A two-way mirror: an application open on a plan guards it.
class GuardedPlanFoldersTest : public PlanFoldersTest
{
protected:
    void SetUp() override
    {
        PlanFoldersTest::SetUp();
        folder->setSyncMode(SyncFolderSyncMode::bidirectional);
        h.context->save();
    }
    void pass(SyncLane &lane)
    {
        await(lane.runDeltaPass({}));
        h.runUntilIdle(lane);
    }
    static constexpr State held{SyncFileStatus::pending, SyncFileDesiredState::downloadHeld};
};

TEST_F(GuardedPlanFoldersTest, WhileAGuardRunsNoDirectoryMovesAndPlanFilesAreHeld)
{
    plan(12, QStringLiteral("plan-12-beats"));
    present(QStringLiteral("plan-12-drums/kick.wav"), serve(12, QStringLiteral("kick.wav")));
    serve(12, QStringLiteral("snare.wav"));
    serve(12, QStringLiteral("hat.wav"));
    h.dawProvider->result = {QStringLiteral("Studio")};

    const auto lane = sync();

    const QString drums = root + QStringLiteral("/plan-12-drums/");
    EXPECT_TRUE(isDir(QStringLiteral("plan-12-drums")));
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/plan-12-beats")));
    EXPECT_THAT(renames(), IsEmpty());
    EXPECT_EQ(logDetails().filter(QStringLiteral("Kept plan-12-drums")),
              QStringList{QStringLiteral("Kept plan-12-drums for now: Studio is open (to be renamed plan-12-beats)")});
    EXPECT_EQ(lane->planDirectories().value(12), root + QStringLiteral("/plan-12-drums"));
    EXPECT_THAT(downloads(), IsEmpty());
    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, State>{{drums + QStringLiteral("kick.wav"), synced},
                                        {drums + QStringLiteral("snare.wav"), held},
                                        {drums + QStringLiteral("hat.wav"), held}}));
    EXPECT_TRUE(lane->heldDownloadNotice().has_value());

    // Meanwhile the user saved a file of their own where one of them goes.
    writeFile(drums + QStringLiteral("hat.wav"), "the user's hat");
    h.dawProvider->result.clear();
    pass(*lane);

    EXPECT_EQ(readFile(drums + QStringLiteral("snare.wav")), "snare.wav");
    EXPECT_EQ(readFile(drums + QStringLiteral("hat.wav")), "the user's hat");
    EXPECT_THAT(logDetails(), ::testing::Contains(QStringLiteral(
                                  "Kept hat.wav: its content differs from the plan's and is not sent back")));
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/check-hash"), IsEmpty());
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/confirm-upload"), IsEmpty());
    EXPECT_EQ(lane->heldDownloadNotice(), std::nullopt);
    for (const auto &[path, state] : h.records(folder->stableID()))
        EXPECT_EQ(state, synced) << path.toStdString();

    // With nothing open the next full sync moves the directory, files and all.
    lane->start();
    h.runUntilIdle(*lane);
    EXPECT_THAT(renames(), ::testing::ElementsAre(QStringLiteral(
                               "Renamed plan-12-drums → plan-12-beats (id-prefix rename detection)")));
    EXPECT_EQ(LaneHarness::folderFiles(root),
              (std::map<QString, QString>{{QStringLiteral("plan-12-beats/hat.wav"), sha256("the user's hat")},
                                          {QStringLiteral("plan-12-beats/kick.wav"), sha256("plan-12-drums/kick.wav")},
                                          {QStringLiteral("plan-12-beats/snare.wav"), sha256("snare.wav")}}));
    EXPECT_THAT(downloads(), SizeIs(1));
}

TEST_F(GuardedPlanFoldersTest, TheReleaseOutlivesAFailedDownloadAndStopsWhenAGuardStarts)
{
    plan(3, QStringLiteral("plan-3-x"));
    serve(3, QStringLiteral("a.wav"));
    const qint64 b = serve(3, QStringLiteral("b.wav"));
    serve(3, QStringLiteral("c.wav"));
    serve(3, QStringLiteral("d.wav"));
    h.dawProvider->result = {QStringLiteral("Studio")};
    const auto lane = sync();
    const QString x = root + QStringLiteral("/plan-3-x/");
    ASSERT_EQ(h.records(folder->stableID()),
              (std::map<QString, State>{{x + QStringLiteral("a.wav"), held},
                                        {x + QStringLiteral("b.wav"), held},
                                        {x + QStringLiteral("c.wav"), held},
                                        {x + QStringLiteral("d.wav"), held}}));

    // The application quits; b's download fails, and it starts again while c downloads.
    h.dawProvider->result.clear();
    h.fake.answerNext("/api/v1/files/library/" + std::to_string(b), 500);
    std::optional<State> bAfterItsFailure;
    onLogLine(QStringLiteral("→ downloadPending c.wav"), [&] {
        bAfterItsFailure = h.records(folder->stableID()).at(x + QStringLiteral("b.wav"));
        h.dawProvider->result = {QStringLiteral("Studio")};
    });
    pass(*lane);

    EXPECT_EQ(bAfterItsFailure, (State{SyncFileStatus::pending, SyncFileDesiredState::downloadPending}));
    EXPECT_EQ(LaneHarness::folderFiles(root),
              (std::map<QString, QString>{{QStringLiteral("plan-3-x/a.wav"), sha256("a.wav")},
                                          {QStringLiteral("plan-3-x/c.wav"), sha256("c.wav")}}));
    // The failed one is owed again, and held with the rest while the guard runs.
    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, State>{{x + QStringLiteral("a.wav"), synced},
                                        {x + QStringLiteral("b.wav"), held},
                                        {x + QStringLiteral("c.wav"), synced},
                                        {x + QStringLiteral("d.wav"), held}}));
    EXPECT_TRUE(lane->heldDownloadNotice().has_value());

    h.dawProvider->result.clear();
    pass(*lane);
    EXPECT_EQ(LaneHarness::folderFiles(root).size(), 4u);
    for (const auto &[path, state] : h.records(folder->stableID()))
        EXPECT_EQ(state, synced) << path.toStdString();
    EXPECT_EQ(lane->heldDownloadNotice(), std::nullopt);
}

TEST_F(GuardedPlanFoldersTest, ALocalEditOfAPlanFileIsKeptAndNotSentBack)
{
    plan(7, QStringLiteral("plan-7-drums"));
    const qint64 kick = serve(7, QStringLiteral("kick.wav"));
    h.fake.updateFile(kick, [&](FakeLibraryFile &file) {
        file.syncFolderUUID = folder->stableID().toString(QUuid::WithoutBraces).toUpper();
    });
    const auto lane = sync();
    const QString path = root + QStringLiteral("/plan-7-drums/kick.wav");
    ASSERT_EQ(readFile(path), "kick.wav");

    writeFile(path, "edited here");
    h.fake.updateFile(kick, [](FakeLibraryFile &file) {
        file.content = "kick v2";
        file.checksum.clear();
        file.fileSize = -1;
    });
    h.fake.clearRequestLog();
    pass(*lane);

    EXPECT_EQ(readFile(path), "edited here");
    EXPECT_THAT(logDetails(), ::testing::Contains(QStringLiteral(
                                  "Kept kick.wav: its content differs from the plan's and is not sent back")));
    EXPECT_THAT(downloads(), IsEmpty());
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/check-hash"), IsEmpty());
    EXPECT_EQ(h.fake.file(kick)->content, "kick v2");
    EXPECT_FALSE(lane->fetchRecord(path)->desiredState() == SyncFileDesiredState::uploadPending);
}

} // namespace
