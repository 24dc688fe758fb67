#include "Engine/SyncEngine.h"

#include "Accounts/KeychainVault.h"
#include "Accounts/TokenManager.h"
#include "ActivityLog/SyncLogger.h"
#include "Engine/DAWLivenessReporter.h"
#include "Engine/ScriptedLane.h"
#include "Model/DAWConfiguration.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "Platform/Workspace/ApplicationEvents.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "ServiceAPI/StagedCopy.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThreadPool>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::ScriptedLane;
using ::testing::ElementsAre;

namespace {

// How often a notify signal of the engine was emitted since this object was made.
class SignalCount
{
public:
    SignalCount(SyncEngine &engine, void (SyncEngine::*signal)())
    {
        m_connection = QObject::connect(&engine, signal, [this] { ++m_count; });
    }
    ~SignalCount() { QObject::disconnect(m_connection); }
    int count() const { return m_count; }

private:
    int m_count = 0;
    QMetaObject::Connection m_connection;
};

// Points XDG_CACHE_HOME, where the staging folder is, at a folder of the test's own: a start
// removes the staged copies it finds there.
class PrivateCacheHome
{
public:
    PrivateCacheHome() : m_previous(qgetenv("XDG_CACHE_HOME")), m_hadPrevious(qEnvironmentVariableIsSet("XDG_CACHE_HOME"))
    {
        qputenv("XDG_CACHE_HOME", m_dir.path().toUtf8());
    }
    ~PrivateCacheHome()
    {
        if (m_hadPrevious)
            qputenv("XDG_CACHE_HOME", m_previous);
        else
            qunsetenv("XDG_CACHE_HOME");
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

class SyncEngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        container = ModelContainerFactory::makeContainer(dir.filePath(QStringLiteral("Quillmere.sqlite")));
        context = std::make_shared<ModelContext>(container);
        SyncLogger::shared().clear();
    }
    // The staging clean-up of a start ends on the main thread: let it, while the engine lives,
    // and the storage check of a start, which reads the vault.
    void TearDown() override
    {
        engine.stop();
        EXPECT_TRUE(test::runUntil([&] { return !engine.isStorageMonitorRunning(); }));
        QThreadPool::globalInstance()->waitForDone();
        test::drainEvents();
    }

    std::shared_ptr<SyncFolder> addFolder(const QString &name, std::optional<QString> path, qint64 sortOrder,
                                          bool enabled = true)
    {
        auto folder = std::make_shared<SyncFolder>(name, SyncFolderType::projectsFolder, std::move(path),
                                                   QStringList{}, SyncFolderSyncMode::bidirectional, enabled,
                                                   sortOrder, false, std::nullopt, true,
                                                   std::vector<std::shared_ptr<DAWConfiguration>>{});
        context->insert(folder);
        context->save();
        return folder;
    }

    // Lanes as the engine holds them now, in table order.
    std::vector<std::shared_ptr<ScriptedLane>> lanes() const
    {
        std::vector<std::shared_ptr<ScriptedLane>> result;
        for (const auto &lane : engine.lanes())
            result.push_back(std::static_pointer_cast<ScriptedLane>(lane));
        return result;
    }

    static int logged(const QString &detail)
    {
        const auto &entries = SyncLogger::shared().entries();
        return int(std::count_if(entries.begin(), entries.end(),
                                 [&](const SyncLogger::Entry &entry) { return entry.detail == detail; }));
    }
    static qsizetype logCount() { return qsizetype(SyncLogger::shared().entries().size()); }

    static RecentFile entryAt(int minute, const QString &name)
    {
        return RecentFile{QUuid::createUuid(), name, SyncFileDirection::upload, RecentFile::Kind::transferred,
                          QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).addSecs(minute * 60), std::nullopt};
    }

    PrivateCacheHome cacheHome;
    QTemporaryDir dir;
    std::shared_ptr<ModelContainer> container;
    std::shared_ptr<ModelContext> context;
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    ManualClock clock;
    std::shared_ptr<LibraryAPIClient> client = std::make_shared<LibraryAPIClient>(
        std::make_shared<HarborlyAPI>(std::make_shared<TokenManager>(vault), clock));
    ApplicationEvents applicationEvents;
    test::ScriptedLaneFactory factory;
    SyncEngine engine{client, vault, clock, applicationEvents, factory.factory()};
};

TEST_F(SyncEngineTest, StartRunsOnlyWithAContextOutsideHibernationAndWithoutLanes)
{
    addFolder(QStringLiteral("Beats"), QStringLiteral("/music/beats"), 0);

    engine.start();
    engine.setStoredModelContext(context);
    engine.setIsHibernating(true);
    engine.start();
    EXPECT_TRUE(factory.made.empty());
    EXPECT_EQ(logCount(), 0);
    EXPECT_FALSE(engine.dawReporter().isRunning());
    EXPECT_FALSE(engine.hasWorkspaceObservers());

    engine.setIsHibernating(false);
    engine.start();
    ASSERT_EQ(lanes().size(), 1u);
    EXPECT_EQ(lanes()[0]->starts, 1);
    EXPECT_EQ(lanes()[0]->services.modelContext, context);
    EXPECT_EQ(lanes()[0]->services.apiClient, client);
    EXPECT_EQ(lanes()[0]->services.bookmarkManager, engine.bookmarkManager());

    const auto entries = logCount();
    engine.start();
    EXPECT_EQ(factory.made.size(), 1u);
    EXPECT_EQ(logCount(), entries);

    // An existing lane is kept as it is.
    EXPECT_TRUE(engine.createLane(lanes()[0]->syncFolder()));
    EXPECT_EQ(factory.made.size(), 1u);
    EXPECT_EQ(lanes()[0]->starts, 1);
}

TEST_F(SyncEngineTest, StartCountsOnlyFoldersWithALocation)
{
    engine.setStoredModelContext(context);
    engine.start();
    EXPECT_EQ(logged(QStringLiteral("Started 0 lane(s)")), 1);
    EXPECT_TRUE(engine.dawReporter().isRunning());
    EXPECT_TRUE(engine.hasWorkspaceObservers());
    EXPECT_FALSE(engine.hasConfiguredFolders());

    engine.stop();
    addFolder(QStringLiteral("Unplaced"), std::nullopt, 0);
    addFolder(QStringLiteral("Disabled"), QStringLiteral("/music/off"), 1, false);
    EXPECT_FALSE(engine.hasConfiguredFolders());
    const auto placed = addFolder(QStringLiteral("Stems"), QStringLiteral("/music/stems"), 2);
    EXPECT_TRUE(engine.hasConfiguredFolders());
    engine.start();
    EXPECT_EQ(logged(QStringLiteral("Started 1 lane(s)")), 1);
    ASSERT_EQ(lanes().size(), 1u);
    EXPECT_EQ(lanes()[0]->laneID(), placed->stableID());

    // A lane may report from inside its start: the engine must already hold it then.
    factory.onStart = [](ScriptedLane &lane) {
        lane.setSyncState(SyncEngineState::error(QStringLiteral("Folder access lost")));
        lane.notifyStateChanged();
    };
    ASSERT_TRUE(engine.createLane(addFolder(QStringLiteral("Keys"), QStringLiteral("/music/keys"), 3)));
    EXPECT_EQ(engine.syncState(), SyncEngineState::error(QStringLiteral("Folder access lost")));
}

TEST_F(SyncEngineTest, AggregatesInFolderOrderWhateverTheInsertionOrder)
{
    engine.setStoredModelContext(context);
    const auto third = addFolder(QStringLiteral("C"), QStringLiteral("/m/c"), 2);
    const auto first = addFolder(QStringLiteral("A"), QStringLiteral("/m/a"), 0);
    const auto second = addFolder(QStringLiteral("B"), QStringLiteral("/m/b"), 1);
    for (const auto &folder : {third, first, second})
        ASSERT_TRUE(engine.createLane(folder));
    const auto table = lanes();
    ASSERT_EQ(table.size(), 3u);
    ScriptedLane &a = *table[0], &b = *table[1], &c = *table[2];
    ASSERT_EQ(a.laneID(), first->stableID());
    ASSERT_EQ(c.laneID(), third->stableID());

    c.setSyncState(SyncEngineState::error(QStringLiteral("C failed")));
    b.setSyncState(SyncEngineState::syncing());
    c.setLastError(QStringLiteral("C error"));
    c.setCurrentFile(QStringLiteral("c.wav"));
    c.setHeldDownloadNotice(QStringLiteral("C held"));
    engine.refreshAggregateStatus();
    EXPECT_EQ(engine.syncState(), SyncEngineState::error(QStringLiteral("C failed")));

    a.setSyncState(SyncEngineState::error(QStringLiteral("A failed")));
    a.setLastError(QStringLiteral("A error"));
    a.setCurrentFile(QStringLiteral("a.wav"));
    a.setHeldDownloadNotice(QStringLiteral("A held"));
    a.setFilesPending(3);
    c.setFilesPending(4);
    b.setFilesSyncing(2);
    a.setFilesTotalThisPass(10);
    c.setFilesCompletedThisPass(6);
    b.setHasLocalChanges(true);
    c.setHasLocalChanges(true);
    const QDateTime early(QDate(2026, 2, 1), QTime(8, 0), Qt::UTC);
    a.setLastSyncAt(early.addSecs(60));
    b.setLastSyncAt(early.addSecs(120));
    c.setLastSyncAt(early);
    c.notifyStateChanged();
    EXPECT_EQ(engine.syncState(), SyncEngineState::error(QStringLiteral("A failed")));
    EXPECT_EQ(engine.lastError(), QStringLiteral("A error"));
    EXPECT_EQ(engine.currentFileName(), QStringLiteral("a.wav"));
    EXPECT_EQ(engine.heldDownloadNotice(), QStringLiteral("A held"));
    EXPECT_EQ(engine.filesPending(), 7);
    EXPECT_EQ(engine.filesSyncing(), 2);
    EXPECT_EQ(engine.filesTotalThisPass(), 10);
    EXPECT_EQ(engine.filesCompletedThisPass(), 6);
    EXPECT_EQ(engine.lastSyncAt(), early.addSecs(120));
    EXPECT_EQ(engine.foldersWithChanges(), (QSet<QUuid>{second->stableID(), third->stableID()}));

    a.setSyncState(SyncEngineState::idle());
    c.setSyncState(SyncEngineState::idle());
    engine.refreshAggregateStatus();
    EXPECT_EQ(engine.syncState(), SyncEngineState::syncing());
    b.setSyncState(SyncEngineState::idle());
    engine.setIsPaused(true);
    engine.refreshAggregateStatus();
    EXPECT_EQ(engine.syncState(), SyncEngineState::paused());
    engine.setIsPaused(false);
    engine.refreshAggregateStatus();
    EXPECT_EQ(engine.syncState(), SyncEngineState::idle());
}

// Conflicts waiting for the user are summed over the lanes and leave the state idle; an
// acknowledgement reaches its folder's lane also while paused, but the pass for an edit it held
// back waits for the resume.
TEST_F(SyncEngineTest, ConflictsToReviewAreSummedAndAnAcknowledgementReachesItsFoldersLane)
{
    engine.setStoredModelContext(context);
    const auto first = addFolder(QStringLiteral("A"), QStringLiteral("/m/a"), 0);
    ASSERT_TRUE(engine.createLane(first));
    ASSERT_TRUE(engine.createLane(addFolder(QStringLiteral("B"), QStringLiteral("/m/b"), 1)));
    const auto table = lanes();
    table[0]->setConflictsToReview(2);
    table[1]->setConflictsToReview(1);
    table[1]->notifyStateChanged();
    EXPECT_EQ(engine.conflictsToReview(), 3);
    EXPECT_EQ(engine.syncState(), SyncEngineState::idle());

    engine.setIsPaused(true);
    engine.conflictAcknowledged(first->stableID(), QString(), true);
    EXPECT_EQ(table[0]->acknowledgedConflicts, 1);
    EXPECT_EQ(table[1]->acknowledgedConflicts, 0);
    EXPECT_EQ(table[0]->priorityRefreshes, 0);
    engine.setIsPaused(false);
    engine.conflictAcknowledged(first->stableID(), QString(), true);
    EXPECT_EQ(table[0]->priorityRefreshes, 1);
}

TEST_F(SyncEngineTest, MergedListsKeepTheNewestAndOnlyListsAnnounceEveryAggregation)
{
    engine.setStoredModelContext(context);
    ASSERT_TRUE(engine.createLane(addFolder(QStringLiteral("A"), QStringLiteral("/m/a"), 0)));
    ASSERT_TRUE(engine.createLane(addFolder(QStringLiteral("B"), QStringLiteral("/m/b"), 1)));
    auto table = lanes();
    // Lane A holds the even minutes, lane B the odd ones, each newest first.
    for (int lane = 0; lane < 2; ++lane) {
        QList<RecentFile> errors, recent;
        for (int i = 39; i >= 0; --i)
            errors.append(entryAt(2 * i + lane, QStringLiteral("e%1").arg(2 * i + lane)));
        for (int i = 3; i >= 0; --i)
            recent.append(entryAt(2 * i + lane, QStringLiteral("r%1").arg(2 * i + lane)));
        table[lane]->setSyncErrors(errors);
        table[lane]->setRecentSyncedFiles(recent);
    }
    table[0]->setFilesPending(2);

    SignalCount state(engine, &SyncEngine::syncStateChanged);
    SignalCount pending(engine, &SyncEngine::filesPendingChanged);
    SignalCount changes(engine, &SyncEngine::foldersWithChangesChanged);
    SignalCount errors(engine, &SyncEngine::syncErrorsChanged);
    SignalCount recent(engine, &SyncEngine::recentSyncedFilesChanged);
    engine.refreshAggregateStatus();
    engine.refreshAggregateStatus();

    ASSERT_EQ(engine.syncErrors().size(), 50);
    EXPECT_EQ(engine.syncErrors().front().filename, QStringLiteral("e79"));
    EXPECT_EQ(engine.syncErrors().back().filename, QStringLiteral("e30"));
    QStringList recentNames;
    for (const auto &file : engine.recentSyncedFiles())
        recentNames << file.filename;
    EXPECT_THAT(recentNames, ElementsAre("r7", "r6", "r5", "r4", "r3"));

    EXPECT_EQ(state.count(), 0); // idle, as before
    EXPECT_EQ(pending.count(), 1);
    EXPECT_EQ(changes.count(), 0);
    EXPECT_EQ(errors.count(), 2);
    EXPECT_EQ(recent.count(), 2);
}

TEST_F(SyncEngineTest, ADeadLaneIsReplacedFromInsideItsOwnCoroutine)
{
    engine.setStoredModelContext(context);
    const auto folder = addFolder(QStringLiteral("Vocals"), QStringLiteral("/m/vocals"), 0);
    engine.start();
    auto dying = lanes().at(0);
    const std::weak_ptr<ScriptedLane> watched = dying;
    factory.onStart = [](ScriptedLane &lane) { lane.setSyncState(SyncEngineState::syncing()); };

    dying->dieOnNextTurn();
    test::drainEvents();

    ASSERT_EQ(lanes().size(), 1u);
    const auto replacement = lanes()[0];
    EXPECT_NE(replacement, dying);
    EXPECT_EQ(replacement->laneID(), folder->stableID());
    EXPECT_EQ(replacement->starts, 1);
    EXPECT_EQ(dying->stops, 1);
    EXPECT_EQ(logged(QStringLiteral("Restarting lane for Vocals after apoptosis")), 1);
    EXPECT_EQ(engine.syncState(), SyncEngineState::syncing());

    // The replaced lane reporting again must not take its successor down.
    dying->notifyLaneDied();
    test::drainEvents();
    EXPECT_EQ(lanes().at(0), replacement);
    EXPECT_EQ(factory.made.size(), 2u);

    dying.reset();
    test::drainEvents();
    EXPECT_TRUE(watched.expired());
}

TEST_F(SyncEngineTest, ALaneOfADisabledOrDeletedFolderDiesAlone)
{
    engine.setStoredModelContext(context);
    const auto disabled = addFolder(QStringLiteral("Drums"), QStringLiteral("/m/drums"), 0);
    const auto deleted = addFolder(QStringLiteral("Keys"), QStringLiteral("/m/keys"), 1);
    engine.start();
    const auto table = lanes();
    ASSERT_EQ(table.size(), 2u);
    table[0]->setSyncState(SyncEngineState::syncing());
    engine.refreshAggregateStatus();
    disabled->setIsEnabled(false);
    context->remove(deleted);
    context->save();
    const auto entries = logCount();
    SignalCount state(engine, &SyncEngine::syncStateChanged);

    table[0]->dieOnNextTurn();
    table[1]->dieOnNextTurn();
    test::drainEvents();

    EXPECT_TRUE(engine.lanes().empty());
    EXPECT_EQ(table[0]->stops, 1);
    EXPECT_EQ(table[1]->stops, 1);
    EXPECT_EQ(factory.made.size(), 2u);
    EXPECT_EQ(logCount(), entries);
    EXPECT_EQ(state.count(), 0);
}

TEST_F(SyncEngineTest, OnlyEnabledProfilesApplicationsReevaluateEveryLaneOnce)
{
    const QString desktopFile = dir.filePath(QStringLiteral("org.example.Mixer.desktop"));
    test::writeFile(desktopFile, "[Desktop Entry]\n");
    const QString otherFile = dir.filePath(QStringLiteral("org.example.Old.desktop"));
    test::writeFile(otherFile, "[Desktop Entry]\n");
    context->insert(std::make_shared<DAWConfiguration>(QStringLiteral("Mixer"), desktopFile, SyncRulePriority::low,
                                                       SyncRulePriority::high, true, 0));
    context->insert(std::make_shared<DAWConfiguration>(QStringLiteral("Old"), otherFile, SyncRulePriority::low,
                                                       SyncRulePriority::high, false, 1));
    context->save();
    addFolder(QStringLiteral("A"), QStringLiteral("/m/a"), 0);
    addFolder(QStringLiteral("B"), QStringLiteral("/m/b"), 1);
    engine.setStoredModelContext(context);
    engine.start();
    const QString changed = QStringLiteral("DAW state changed (org.example.Mixer) — re-evaluating 2 lane(s)");

    const auto entries = logCount();
    Q_EMIT applicationEvents.applicationLaunched(QStringLiteral("org.example.Browser"));
    Q_EMIT applicationEvents.applicationLaunched(QStringLiteral("org.example.Old"));
    test::drainEvents();
    EXPECT_EQ(logCount(), entries);
    for (const auto &lane : lanes())
        EXPECT_EQ(lane->priorityRefreshes, 0);

    Q_EMIT applicationEvents.applicationTerminated(QStringLiteral("org.example.Mixer"));
    test::drainEvents();
    EXPECT_EQ(logged(changed), 1);
    for (const auto &lane : lanes())
        EXPECT_EQ(lane->priorityRefreshes, 1);

    // A restart, and a second registration while the first is held, still hear each change once.
    engine.stop();
    engine.start();
    engine.installWorkspaceObservers();
    Q_EMIT applicationEvents.applicationLaunched(QStringLiteral("org.example.Mixer"));
    test::drainEvents();
    EXPECT_EQ(logged(changed), 2);
    ASSERT_EQ(lanes().size(), 2u);
    for (const auto &lane : lanes())
        EXPECT_EQ(lane->priorityRefreshes, 1);

    engine.stop();
    Q_EMIT applicationEvents.applicationLaunched(QStringLiteral("org.example.Mixer"));
    test::drainEvents();
    EXPECT_EQ(logged(changed), 2);
}

TEST_F(SyncEngineTest, StorageFullAndStop)
{
    engine.setStoredModelContext(context);
    addFolder(QStringLiteral("A"), QStringLiteral("/m/a"), 0);
    engine.start();
    auto lane = lanes().at(0);
    SignalCount full(engine, &SyncEngine::isStorageFullChanged);
    lane->notifyStorageFull();
    lane->notifyStorageFull();
    EXPECT_TRUE(engine.isStorageFull());
    EXPECT_EQ(full.count(), 1);
    EXPECT_EQ(logged(QStringLiteral("Storage limit reached — uploads paused")), 2);

    lane->setSyncState(SyncEngineState::error(QStringLiteral("gone")));
    lane->notifyStateChanged();
    engine.setHasHydratedThisSession(true);
    engine.setIsPaused(true);
    engine.stop();
    EXPECT_EQ(engine.syncState(), SyncEngineState::idle());
    EXPECT_FALSE(engine.hasHydratedThisSession());
    EXPECT_TRUE(engine.isPaused());
    EXPECT_TRUE(engine.isStorageFull());
    EXPECT_TRUE(engine.lanes().empty());
    EXPECT_EQ(lane->stops, 1);
    EXPECT_FALSE(engine.dawReporter().isRunning());
    EXPECT_FALSE(engine.hasWorkspaceObservers());
}

TEST_F(SyncEngineTest, OverlappingLocationsAreRefusedAndShown)
{
    engine.setStoredModelContext(context);
    addFolder(QStringLiteral("Music"), QStringLiteral("/x/Music"), 0);
    const auto inside = addFolder(QStringLiteral("Loops"), QStringLiteral("/x/Music/Loops"), 1);
    addFolder(QStringLiteral("Music2"), QStringLiteral("/x/Music2"), 2);
    addFolder(QStringLiteral("Again"), QStringLiteral("/x/Music/"), 3);
    engine.start();

    ASSERT_EQ(lanes().size(), 2u);
    EXPECT_EQ(lanes()[1]->syncFolder()->name(), QStringLiteral("Music2"));
    EXPECT_EQ(logged(QStringLiteral("Started 2 lane(s)")), 1);
    EXPECT_EQ(logged(QStringLiteral("Not syncing Loops: its location overlaps Music")), 1);
    EXPECT_EQ(logged(QStringLiteral("Not syncing Again: its location overlaps Music")), 1);
    ASSERT_TRUE(engine.syncState().isError());
    EXPECT_TRUE(engine.syncState().message.contains(QStringLiteral("Loops")));
    EXPECT_FALSE(engine.createLane(inside));
    EXPECT_EQ(factory.made.size(), 2u);

    // A folder holding a running one is refused the same way.
    engine.stop();
    const auto outer = addFolder(QStringLiteral("Outer"), QStringLiteral("/x"), 4);
    engine.start();
    EXPECT_EQ(logged(QStringLiteral("Not syncing Outer: its location overlaps Music")), 1);
    EXPECT_EQ(engine.lane(outer->stableID()), nullptr);

    // Once the folders in the way are gone, a start shows no stale refusal.
    for (const auto &folder : context->fetch(SyncFolder::all()))
        folder->setIsEnabled(false);
    for (const auto &lane : lanes())
        lane->dieOnNextTurn();
    test::drainEvents();
    ASSERT_TRUE(engine.lanes().empty());
    engine.start();
    EXPECT_EQ(engine.syncState(), SyncEngineState::idle());
}

TEST_F(SyncEngineTest, APausedEngineMakesLanesThatDoNotSync)
{
    engine.setStoredModelContext(context);
    addFolder(QStringLiteral("A"), QStringLiteral("/m/a"), 0);
    engine.setIsPaused(true);
    engine.start();
    ASSERT_EQ(lanes().size(), 1u);
    EXPECT_EQ(lanes()[0]->starts, 0);
    EXPECT_EQ(lanes()[0]->pauses, 1);
    EXPECT_TRUE(lanes()[0]->isPaused());
    EXPECT_EQ(engine.syncState(), SyncEngineState::paused());
}

TEST_F(SyncEngineTest, MultipartProgressReachesTheNewestLaneWhileItLives)
{
    engine.setStoredModelContext(context);
    ASSERT_TRUE(engine.createLane(addFolder(QStringLiteral("A"), QStringLiteral("/m/a"), 1)));
    ASSERT_TRUE(engine.createLane(addFolder(QStringLiteral("B"), QStringLiteral("/m/b"), 0)));
    const auto older = engine.lanes()[1];
    auto newest = engine.lanes()[0];
    ASSERT_EQ(newest->syncFolder()->name(), QStringLiteral("B"));
    newest->setFilesPending(7);

    const auto handler = client->onMultipartProgress();
    ASSERT_TRUE(handler);
    handler(QStringLiteral("take.wav"), 2, 9, 200, 900);
    EXPECT_FALSE(newest->multipartProgress()); // delivered on a later turn
    test::drainEvents();
    EXPECT_EQ(newest->multipartProgress(), (MultipartProgress{QStringLiteral("take.wav"), 2, 9, 200, 900}));
    EXPECT_FALSE(older->multipartProgress());
    EXPECT_EQ(engine.filesPending(), 7);

    const std::weak_ptr<SyncLaneInterface> gone = newest;
    engine.stop();
    handler(QStringLiteral("take.wav"), 3, 9, 300, 900);
    newest.reset();
    test::drainEvents();
    EXPECT_TRUE(gone.expired());
}

// Copies staged for uploads that a killed run never finished stay in the cache for good
// unless the engine removes them; a copy a running upload sends from is spared.
TEST_F(SyncEngineTest, AStartRemovesTheStagedCopiesNoUploadUses)
{
    const QString staging = LibraryAPIClient::stagingFolder();
    ASSERT_TRUE(QDir().mkpath(staging));
    test::writeFile(staging + QStringLiteral("/A1B2"), "partial");
    test::writeFile(staging + QStringLiteral("/C3D4"), "partial");
    StagedCopy running(staging);
    test::writeFile(running.path(), "being sent");

    engine.setStoredModelContext(context);
    engine.start();
    const QString line = QStringLiteral("Removed 2 staged upload copy(ies) left by an earlier run");
    ASSERT_TRUE(test::runUntil([&] { return logged(line) == 1; }));
    EXPECT_EQ(QDir(staging).entryList(QDir::Files), QStringList{QFileInfo(running.path()).fileName()});
}

// What the passes freed goes back to the system once every lane left its pass and stayed
// out for the delay: once per settle, never while a lane is in a pass.
TEST_F(SyncEngineTest, FreedMemoryGoesBackOnceEveryLaneHasSettled)
{
    int returns = 0;
    engine.setFreedMemoryReturnForTesting([&returns] { ++returns; });
    engine.setStoredModelContext(context);
    ASSERT_TRUE(engine.createLane(addFolder(QStringLiteral("A"), QStringLiteral("/m/a"), 0)));
    ASSERT_TRUE(engine.createLane(addFolder(QStringLiteral("B"), QStringLiteral("/m/b"), 1)));
    ScriptedLane &a = *lanes()[0], &b = *lanes()[1];
    const auto set = [](ScriptedLane &lane, SyncEngineState state) {
        lane.setSyncState(std::move(state));
        lane.notifyStateChanged();
    };
    const auto wait = [&](Clock::Duration by) {
        clock.advance(by);
        test::drainEvents();
    };

    set(a, SyncEngineState::syncing());
    set(b, SyncEngineState::syncing());
    set(a, SyncEngineState::idle());
    wait(SyncEngine::freedMemoryDelay);
    EXPECT_EQ(returns, 0) << "B is still in its pass";
    set(b, SyncEngineState::error(QStringLiteral("B failed")));
    wait(SyncEngine::freedMemoryDelay - 1ms);
    EXPECT_EQ(returns, 0) << "not before the delay";
    wait(1ms);
    EXPECT_EQ(returns, 1);

    // Aggregations with no pass in between give nothing back again.
    set(a, SyncEngineState::idle());
    set(b, SyncEngineState::idle());
    wait(SyncEngine::freedMemoryDelay * 2);
    EXPECT_EQ(returns, 1);

    // A pass begun within the delay calls it off; its own end starts the delay again.
    set(a, SyncEngineState::syncing());
    set(a, SyncEngineState::idle());
    wait(1s);
    set(a, SyncEngineState::syncing());
    wait(500ms);
    set(a, SyncEngineState::idle());
    wait(1s);
    EXPECT_EQ(returns, 1) << "the delay of the settle before the pass counts no more";
    wait(SyncEngine::freedMemoryDelay - 1s);
    EXPECT_EQ(returns, 2);
}

} // namespace
