#include "Engine/SyncEngine.h"

#include "Accounts/KeychainVault.h"
#include "Accounts/TokenManager.h"
#include "ActivityLog/SyncLogger.h"
#include "Engine/DAWLivenessReporter.h"
#include "Engine/ScriptedLane.h"
#include "Model/DAWConfiguration.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/StoreError.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Http/TransportError.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "Platform/Workspace/ApplicationEvents.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/HarborlyAPIError.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "fake-service/FakeHarborly.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

#include <QTemporaryDir>
#include <QThreadPool>

using namespace quillmere;
using namespace std::chrono_literals;
using test::await;
using test::runFor;
using test::runUntil;

namespace {

const std::string kFoldersPath = "/api/v1/sync-folders";
const std::string kStoragePath = "/api/v1/storage";
const QString kUnreachable = QStringLiteral("Sync folder hydration failed (server unreachable): ");
const QString kRecovered = QStringLiteral("Server recovered — resuming sync");

QString hibernating(int seconds)
{
    return QStringLiteral("Server unreachable — hibernating for %1s before retry").arg(seconds);
}

// The engine over scripted lanes and a real client signed in to the fake service, on the
// manual clock.
class SyncEngineRecoveryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fake.start();
        account = fake.addAccount();
        const QUrl base = fake.baseURL();
        auto tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [base] { return base; });
        await(tokens->saveToken(fake.issueToken(account), QDateTime::currentDateTimeUtc().addDays(30)));
        client = std::make_shared<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens, clock));
        container = ModelContainerFactory::makeContainer(dir.filePath(QStringLiteral("Quillmere.sqlite")));
        context = std::make_shared<ModelContext>(container);
        engine = std::make_unique<SyncEngine>(client, vault, clock, applicationEvents, factory.factory());
        SyncLogger::shared().clear();
    }
    // Nothing of the engine may still wait on the service or the vault once they are gone.
    void TearDown() override
    {
        engine->stop();
        EXPECT_TRUE(runUntil([&] { return !engine->isStorageMonitorRunning(); }));
        QThreadPool::globalInstance()->waitForDone();
        test::drainEvents();
        engine.reset();
    }

    std::shared_ptr<SyncFolder> addFolder(const QString &name, std::optional<QString> path, bool enabled = true)
    {
        auto folder = std::make_shared<SyncFolder>(name, SyncFolderType::projectsFolder, std::move(path),
                                                   QStringList{}, SyncFolderSyncMode::bidirectional, enabled, 0, false,
                                                   std::nullopt, true, std::vector<std::shared_ptr<DAWConfiguration>>{});
        context->insert(folder);
        context->save();
        return folder;
    }

    void serviceFolder(const QString &uuid, const QString &name, const QString &type, const QString &direction,
                       qint64 sortOrder = 0)
    {
        fake.addSyncFolder(test::FakeSyncFolder{account, uuid, name, type, direction, sortOrder});
    }

    std::size_t sent(const std::string &path) const { return fake.requestsTo("GET", path).size(); }

    static int logged(const QString &detail)
    {
        const auto &entries = SyncLogger::shared().entries();
        return int(std::count_if(entries.begin(), entries.end(),
                                 [&](const SyncLogger::Entry &entry) { return entry.detail == detail; }));
    }
    static QStringList detailsSince(qsizetype first)
    {
        QStringList details;
        const auto &entries = SyncLogger::shared().entries();
        for (auto i = std::size_t(first); i < entries.size(); ++i)
            details << entries[i].detail.value_or(QString());
        return details;
    }
    static qsizetype logCount() { return qsizetype(SyncLogger::shared().entries().size()); }

    // The service cannot be reached until clearFaults().
    void serviceDown() { fake.answerNext(kFoldersPath, 503, R"({"message":"down"})", -1); }

    // Moves the clock on and waits until the log holds `count` lines `detail`.
    void advanceUntilLogged(std::chrono::seconds by, const QString &detail, int count)
    {
        clock.advance(by);
        ASSERT_TRUE(runUntil([&] { return logged(detail) == count; })) << detail.toStdString();
    }

    std::shared_ptr<SyncFolder> stored(const QUuid &id)
    {
        reader = std::make_shared<ModelContext>(container);
        return reader->fetchFirst(SyncFolder::withStableID(id));
    }

    test::FakeHarborly fake;
    qint64 account = 0;
    QTemporaryDir dir;
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    ManualClock clock;
    std::shared_ptr<LibraryAPIClient> client;
    std::shared_ptr<ModelContainer> container;
    std::shared_ptr<ModelContext> context;
    std::shared_ptr<ModelContext> reader;
    ApplicationEvents applicationEvents;
    test::ScriptedLaneFactory factory;
    std::unique_ptr<SyncEngine> engine;
};

TEST_F(SyncEngineRecoveryTest, HydrationReadsTheServiceValuesAndAddsEachUnknownFolderOnce)
{
    const auto local = addFolder(QStringLiteral("Mine"), QStringLiteral("/music/mine"));
    const QString twice = QStringLiteral("6A2F41A0-3B7C-4E55-9D8B-0C1E2F3A4B5C");
    serviceFolder(local->stableID().toString(QUuid::WithoutBraces).toLower(), QStringLiteral("Known"),
                  QStringLiteral("reference"), QStringLiteral("upload_only"));
    serviceFolder(QStringLiteral("11111111-1111-4111-8111-111111111111"), QStringLiteral("Refs"),
                  QStringLiteral("reference"), QStringLiteral("upload_only"), 1);
    serviceFolder(QStringLiteral("22222222-2222-4222-8222-222222222222"), QStringLiteral("Refs2"),
                  QStringLiteral("references"), QStringLiteral("upload"), 2);
    serviceFolder(QStringLiteral("33333333-3333-4333-8333-333333333333"), QStringLiteral("Loose"),
                  QStringLiteral("unorganised"), QStringLiteral("download_only"), 3);
    serviceFolder(QStringLiteral("44444444-4444-4444-8444-444444444444"), QStringLiteral("Sessions"),
                  QStringLiteral("drive"), QStringLiteral("download"), 4);
    serviceFolder(QStringLiteral("55555555-5555-4555-8555-555555555555"), QStringLiteral("Other"),
                  QStringLiteral("project"), QStringLiteral("UPLOAD"), 5);
    serviceFolder(QStringLiteral("66666666-6666-4666-8666-666666666666"), QStringLiteral("Plans"),
                  QStringLiteral("harborly"), QStringLiteral("download_only"), 6);
    serviceFolder(QStringLiteral("not-a-uuid"), QStringLiteral("Broken"), QStringLiteral("drive"),
                  QStringLiteral("bidirectional"), 7);
    serviceFolder(twice, QStringLiteral("Twice"), QStringLiteral("drive"), QStringLiteral("bidirectional"), 8);
    serviceFolder(twice.toLower(), QStringLiteral("Twice again"), QStringLiteral("drive"),
                  QStringLiteral("bidirectional"), 9);

    engine->setStoredModelContext(context);
    await(engine->hydrateSyncFolders());
    EXPECT_TRUE(engine->hasHydratedThisSession());
    EXPECT_EQ(logged(QStringLiteral("Hydrated 6 sync folder(s) from Harborly")), 1);
    const QString skipped = QStringLiteral("Skipped sync folder Plans from Harborly: plan folders are not hydrated");
    EXPECT_EQ(logged(skipped), 1);

    reader = std::make_shared<ModelContext>(container);
    EXPECT_EQ(reader->fetch(SyncFolder::all()).size(), 7u);
    EXPECT_EQ(stored(local->stableID())->name(), QStringLiteral("Mine"));
    const QStringList audio{QStringLiteral(".wav"), QStringLiteral(".mp3"), QStringLiteral(".aiff"),
                            QStringLiteral(".aif"), QStringLiteral(".flac")};
    struct Expected
    {
        QString uuid;
        SyncFolderType kind;
        SyncFolderSyncMode mode;
        QStringList extensions;
        qint64 sortOrder;
    };
    const std::vector<Expected> expected{
        {QStringLiteral("11111111-1111-4111-8111-111111111111"), SyncFolderType::references,
         SyncFolderSyncMode::uploadOnly, audio, 1},
        {QStringLiteral("22222222-2222-4222-8222-222222222222"), SyncFolderType::references,
         SyncFolderSyncMode::uploadOnly, audio, 2},
        {QStringLiteral("33333333-3333-4333-8333-333333333333"), SyncFolderType::unorganisedAudio,
         SyncFolderSyncMode::downloadOnly, audio, 3},
        {QStringLiteral("44444444-4444-4444-8444-444444444444"), SyncFolderType::projectsFolder,
         SyncFolderSyncMode::downloadOnly, {}, 4},
        {QStringLiteral("55555555-5555-4555-8555-555555555555"), SyncFolderType::projectsFolder,
         SyncFolderSyncMode::bidirectional, {}, 5},
        {twice, SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, {}, 8},
    };
    for (const Expected &want : expected) {
        SCOPED_TRACE(want.uuid.toStdString());
        const auto folder = stored(QUuid::fromString(want.uuid));
        ASSERT_TRUE(folder);
        EXPECT_EQ(folder->folderType(), want.kind);
        EXPECT_EQ(folder->syncMode(), want.mode);
        EXPECT_EQ(folder->fileExtensions(), want.extensions);
        EXPECT_EQ(folder->sortOrder(), want.sortOrder);
        // Nothing runs until the user gives it a place.
        EXPECT_FALSE(folder->isEnabled());
        EXPECT_FALSE(folder->folderPath());
        EXPECT_TRUE(folder->allDAWs());
        EXPECT_TRUE(folder->applicationGuardsEnabled());
        EXPECT_EQ(folder->storedDefaultSyncPriority(), SyncRulePriority::high);
    }
    EXPECT_EQ(stored(QUuid::fromString(twice))->name(), QStringLiteral("Twice"));

    // Once per run; a stop starts a new run, and known folders are left as they are.
    await(engine->hydrateSyncFolders());
    EXPECT_EQ(sent(kFoldersPath), 1u);
    engine->stop();
    EXPECT_FALSE(engine->hasHydratedThisSession());
    const auto before = logCount();
    await(engine->hydrateSyncFolders());
    EXPECT_EQ(sent(kFoldersPath), 2u);
    EXPECT_THAT(detailsSince(before), ::testing::ElementsAre(skipped));
    EXPECT_TRUE(factory.made.empty());
}

TEST_F(SyncEngineRecoveryTest, HydrationWithoutAContextOrAReadableStoreAddsNothing)
{
    serviceFolder(QStringLiteral("11111111-1111-4111-8111-111111111111"), QStringLiteral("Refs"),
                  QStringLiteral("reference"), QStringLiteral("bidirectional"));

    // Without a context the run counts as hydrated all the same.
    await(engine->hydrateSyncFolders());
    engine->setStoredModelContext(context);
    await(engine->hydrateSyncFolders());
    EXPECT_TRUE(engine->hasHydratedThisSession());
    EXPECT_EQ(sent(kFoldersPath), 0u);

    // A store that cannot tell which folders it holds is not a store without folders.
    engine->stop();
    await(engine->hydrateSyncFolders());
    engine->stop();
    container->execute("ALTER TABLE SyncFolder RENAME TO SyncFolderAway", StoreError::Kind::saveFailed);
    await(engine->hydrateSyncFolders());
    container->execute("ALTER TABLE SyncFolderAway RENAME TO SyncFolder", StoreError::Kind::saveFailed);
    context->save();
    EXPECT_FALSE(engine->hasHydratedThisSession());
    EXPECT_FALSE(engine->isHibernating());
    reader = std::make_shared<ModelContext>(container);
    EXPECT_EQ(reader->fetch(SyncFolder::all()).size(), 1u);
    const auto &entries = SyncLogger::shared().entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_TRUE(entries.back().detail->startsWith(QStringLiteral("Sync folder hydration failed: ")));
}

TEST_F(SyncEngineRecoveryTest, OnlyAnUnreachableServiceCountsAsUnreachable)
{
    const auto unreachable = [](auto error) { return SyncEngine::isServerUnreachable(std::make_exception_ptr(error)); };
    for (const int status : {500, 503, 429})
        EXPECT_TRUE(unreachable(HarborlyAPIError::serverError(status, QString()))) << status;
    for (const int status : {499, 401, 404, 421})
        EXPECT_FALSE(unreachable(HarborlyAPIError::serverError(status, QString()))) << status;
    EXPECT_TRUE(unreachable(HarborlyAPIError::networkError(nullptr, QStringLiteral("offline"))));
    EXPECT_TRUE(unreachable(TransportError(TransportError::Code::cannotConnect)));
    EXPECT_FALSE(unreachable(HarborlyAPIError::notAuthenticated()));
    EXPECT_FALSE(unreachable(HarborlyAPIError::invalidResponse()));
    EXPECT_FALSE(unreachable(std::runtime_error("disk")));

    // A refusal is logged and retried at the next call, without hibernation.
    engine->setStoredModelContext(context);
    fake.answerNext(kFoldersPath, 404, R"({"message":"gone"})");
    await(engine->hydrateSyncFolders());
    EXPECT_FALSE(engine->hasHydratedThisSession());
    EXPECT_FALSE(engine->isHibernating());
    EXPECT_EQ(clock.pendingSleepers(), 0u);
    await(engine->hydrateSyncFolders());
    EXPECT_EQ(sent(kFoldersPath), 2u);
    EXPECT_TRUE(engine->hasHydratedThisSession());
}

TEST_F(SyncEngineRecoveryTest, HibernationWaitsLongerAfterEachFailedRetryAndRecoveryStartsTheEngineAgain)
{
    engine->setStoredModelContext(context);
    addFolder(QStringLiteral("Beats"), QStringLiteral("/music/beats"));
    engine->start();
    ASSERT_EQ(factory.made.size(), 1u);
    const auto first = factory.made[0].lock();
    ASSERT_TRUE(engine->dawReporter().isRunning());
    EXPECT_TRUE(runUntil([&] { return sent(kStoragePath) == 1; }));

    serviceDown();
    await(engine->hydrateSyncFolders());
    EXPECT_TRUE(engine->isHibernating());
    EXPECT_TRUE(engine->lanes().empty());
    EXPECT_EQ(first->stops, 1);
    EXPECT_FALSE(engine->dawReporter().isRunning());
    EXPECT_EQ(logged(hibernating(120)), 1);

    clock.advance(119s);
    runFor(100ms);
    EXPECT_EQ(sent(kFoldersPath), 1u);
    // Each failed retry: the failure, then the next, longer wait.
    auto mark = logCount();
    advanceUntilLogged(1s, hibernating(240), 1);
    const QStringList retry = detailsSince(mark);
    ASSERT_EQ(retry.size(), 2);
    EXPECT_TRUE(retry[0].startsWith(kUnreachable));
    EXPECT_EQ(retry[1], hibernating(240));
    advanceUntilLogged(240s, hibernating(300), 1);
    advanceUntilLogged(300s, hibernating(300), 2);
    EXPECT_EQ(sent(kFoldersPath), 4u);
    EXPECT_EQ(engine->hibernationInterval(), 300.0);

    fake.clearFaults();
    advanceUntilLogged(300s, kRecovered, 1);
    EXPECT_FALSE(engine->isHibernating());
    EXPECT_EQ(engine->hibernationInterval(), 120.0);
    ASSERT_EQ(engine->lanes().size(), 1u);
    EXPECT_EQ(factory.made.size(), 2u);
    EXPECT_TRUE(engine->dawReporter().isRunning());
    EXPECT_EQ(logged(hibernating(300)), 2);
}

TEST_F(SyncEngineRecoveryTest, AStopDuringTheWaitEndsItAndTheNextHibernationStartsAt120)
{
    engine->setStoredModelContext(context);
    serviceDown();
    await(engine->hydrateSyncFolders());
    advanceUntilLogged(120s, hibernating(240), 1);

    engine->stop();
    EXPECT_FALSE(engine->isHibernating());
    EXPECT_EQ(engine->hibernationInterval(), 120.0);
    clock.advance(600s);
    runFor(200ms);
    EXPECT_EQ(sent(kFoldersPath), 2u);
    EXPECT_EQ(clock.pendingSleepers(), 0u);

    await(engine->hydrateSyncFolders());
    EXPECT_EQ(logged(hibernating(120)), 2);
}

TEST_F(SyncEngineRecoveryTest, AStopWhileTheRetryWaitsForTheServiceStartsNothing)
{
    engine->setStoredModelContext(context);
    addFolder(QStringLiteral("Beats"), QStringLiteral("/music/beats"));
    fake.answerNext(kFoldersPath, 503, R"({"message":"down"})");
    await(engine->hydrateSyncFolders());
    ASSERT_TRUE(engine->isHibernating());

    // The retry's request would succeed, but only after the stop.
    fake.delayNext(kFoldersPath, 1500ms);
    clock.advance(120s);
    ASSERT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }));
    const auto mark = logCount();
    engine->stop();
    runFor(2000ms);

    EXPECT_TRUE(factory.made.empty());
    EXPECT_FALSE(engine->isHibernating());
    EXPECT_FALSE(engine->hasHydratedThisSession());
    EXPECT_FALSE(engine->dawReporter().isRunning());
    EXPECT_EQ(clock.pendingSleepers(), 0u);
    EXPECT_THAT(detailsSince(mark), ::testing::IsEmpty());
}

TEST_F(SyncEngineRecoveryTest, RecoveryLeavesTheLanesAndTheReporterRunning)
{
    engine->setStoredModelContext(context);
    const auto beats = addFolder(QStringLiteral("Beats"), QStringLiteral("/music/beats"));
    engine->start();
    serviceDown();
    await(engine->hydrateSyncFolders());
    ASSERT_TRUE(engine->isHibernating());

    // A folder switched on meanwhile waits for the recovery, which starts everything.
    const auto keys = addFolder(QStringLiteral("Keys"), QStringLiteral("/music/keys"));
    EXPECT_FALSE(engine->createLane(keys));
    EXPECT_EQ(factory.made.size(), 1u);
    fake.clearFaults();
    advanceUntilLogged(120s, kRecovered, 1);
    ASSERT_EQ(engine->lanes().size(), 2u);
    EXPECT_TRUE(engine->dawReporter().isRunning());

    // With nothing left to run, the reporter still comes back for what is enabled later.
    engine->setHasHydratedThisSession(false);
    serviceDown();
    await(engine->hydrateSyncFolders());
    ASSERT_TRUE(engine->isHibernating());
    for (const auto &folder : {beats, keys})
        folder->setIsEnabled(false);
    context->save();
    fake.clearFaults();
    advanceUntilLogged(120s, kRecovered, 2);
    EXPECT_TRUE(engine->lanes().empty());
    EXPECT_TRUE(engine->dawReporter().isRunning());
}

TEST_F(SyncEngineRecoveryTest, StorageMonitorChecksAtOnceThenEveryFiveMinutesInOneLoop)
{
    // The loop is idle between checks when its one sleeper waits.
    const auto checked = [&](std::size_t requests) {
        return runUntil([&] { return sent(kStoragePath) == requests && clock.pendingSleepers() == 1; });
    };
    engine->setStoredModelContext(context);
    fake.updateAccount(account, [](test::FakeAccount &a) { a.isEnforced = true; });
    engine->startStorageMonitor();
    ASSERT_TRUE(checked(1));
    EXPECT_TRUE(engine->isStorageFull());

    fake.updateAccount(account, [](test::FakeAccount &a) { a.isEnforced = false; });
    clock.advance(299s);
    runFor(100ms);
    EXPECT_EQ(sent(kStoragePath), 1u);
    clock.advance(1s);
    ASSERT_TRUE(checked(2));
    EXPECT_FALSE(engine->isStorageFull());

    engine->startStorageMonitor();
    ASSERT_TRUE(checked(3));
    clock.advance(300s);
    ASSERT_TRUE(checked(4));
    runFor(200ms);
    EXPECT_EQ(sent(kStoragePath), 4u);

    // A failed check changes nothing.
    engine->handleStorageFull();
    fake.answerNext(kStoragePath, 500, R"({"message":"busy"})");
    clock.advance(300s);
    ASSERT_TRUE(checked(5));
    EXPECT_TRUE(engine->isStorageFull());
}

TEST_F(SyncEngineRecoveryTest, StorageFullStaysUntilAnUploadGoesThroughOrACheckAfterThe507SaysSo)
{
    engine->setStoredModelContext(context);
    ASSERT_TRUE(engine->createLane(addFolder(QStringLiteral("Beats"), QStringLiteral("/music/beats"))));
    const auto lane = factory.made.at(0).lock();

    // A 507 while a check is under way: its answer predates the 507.
    fake.delayNext(kStoragePath, 800ms);
    engine->startStorageMonitor();
    ASSERT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }));
    lane->notifyStorageFull();
    ASSERT_TRUE(runUntil([&] { return clock.pendingSleepers() == 1; }));
    EXPECT_TRUE(engine->isStorageFull());

    clock.advance(300s);
    ASSERT_TRUE(runUntil([&] { return sent(kStoragePath) == 2 && clock.pendingSleepers() == 1; }));
    EXPECT_FALSE(engine->isStorageFull());

    lane->notifyStorageFull();
    lane->notifyUploadSucceeded();
    EXPECT_FALSE(engine->isStorageFull());
}

} // namespace
