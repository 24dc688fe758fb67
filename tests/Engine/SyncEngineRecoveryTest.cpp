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
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "Platform/Workspace/ApplicationEvents.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "fake-service/FakeHarborly.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

#include <QTemporaryDir>
#include <QThreadPool>

using namespace quillmere;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using test::await;
using test::runUntil;

namespace {

const std::string kFolders = "/api/v1/sync-folders";
const std::string kStorage = "/api/v1/storage";
const QString kRecovered = QStringLiteral("Server recovered — resuming sync");

QString hibernating(int seconds)
{
    return QStringLiteral("Server unreachable — hibernating for %1s before retry").arg(seconds);
}

// The engine over scripted lanes and a real client signed in to the fake service, on the manual clock.
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
        auto client = std::make_shared<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens, clock));
        engine = std::make_unique<SyncEngine>(client, vault, clock, applicationEvents, factory.factory());
        engine->setStoredModelContext(context);
        SyncLogger::shared().clear();
    }
    // Nothing of the engine may still wait on the service or the vault once they are gone.
    void TearDown() override
    {
        engine->stop();
        EXPECT_TRUE(runUntil([&] { return !engine->isStorageMonitorRunning(); }));
        QThreadPool::globalInstance()->waitForDone();
        test::drainEvents();
    }

    std::shared_ptr<SyncFolder> addFolder(const QString &name)
    {
        auto folder = context->insert(std::make_shared<SyncFolder>(
            name, SyncFolderType::projectsFolder, QStringLiteral("/music/") + name, QStringList{},
            SyncFolderSyncMode::bidirectional, true, 0, false, std::nullopt, true,
            std::vector<std::shared_ptr<DAWConfiguration>>{}));
        context->save();
        return folder;
    }
    void serviceFolder(const QString &uuid, const QString &name, const QString &type, const QString &direction)
    {
        fake.addSyncFolder(test::FakeSyncFolder{account, uuid, name, type, direction, nextSortOrder++});
    }
    std::vector<std::shared_ptr<SyncFolder>> storedFolders() const
    {
        return std::make_shared<ModelContext>(container)->fetch(SyncFolder::all());
    }
    std::size_t sent(const std::string &path) const { return fake.requestsTo("GET", path).size(); }
    static QStringList log()
    {
        QStringList details;
        for (const auto &entry : SyncLogger::shared().entries())
            details << entry.detail.value_or(QString());
        return details;
    }
    void hibernate()
    {
        fake.answerNext(kFolders, 503, R"({"message":"down"})", -1);
        await(engine->hydrateSyncFolders());
        ASSERT_TRUE(engine->isHibernating());
    }
    // Moves the clock on and waits until the log holds `count` lines `detail`.
    void advanceUntilLogged(std::chrono::seconds by, const QString &detail, qsizetype count)
    {
        clock.advance(by);
        ASSERT_TRUE(runUntil([&] { return log().count(detail) == count; })) << detail.toStdString();
    }
    // The storage loop has checked `requests` times and sleeps again.
    bool storageChecked(std::size_t requests)
    {
        return runUntil([&] { return sent(kStorage) == requests && clock.pendingSleepers() == 1; });
    }

    test::FakeHarborly fake;
    qint64 account = 0;
    qint64 nextSortOrder = 1;
    QTemporaryDir dir;
    std::shared_ptr<ModelContainer> container =
        ModelContainerFactory::makeContainer(dir.filePath(QStringLiteral("Quillmere.sqlite")));
    std::shared_ptr<ModelContext> context = std::make_shared<ModelContext>(container);
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    ManualClock clock;
    ApplicationEvents applicationEvents;
    test::ScriptedLaneFactory factory;
    std::unique_ptr<SyncEngine> engine;
};

TEST_F(SyncEngineRecoveryTest, HydrationReadsWhatTheClientRegistersAndAddsEachUnknownFolderOnce)
{
    const auto local = addFolder(QStringLiteral("Mine"));
    const QString twice = QStringLiteral("6A2F41A0-3B7C-4E55-9D8B-0C1E2F3A4B5C");
    serviceFolder(local->stableID().toString(QUuid::WithoutBraces).toLower(), "Known", "reference", "upload_only");
    serviceFolder("11111111-1111-4111-8111-111111111111", "Refs", "reference", "upload_only");
    serviceFolder("22222222-2222-4222-8222-222222222222", "Refs2", "references", "upload");
    serviceFolder("33333333-3333-4333-8333-333333333333", "Loose", "unorganised", "download_only");
    serviceFolder("44444444-4444-4444-8444-444444444444", "Sessions", "drive", "download");
    serviceFolder("55555555-5555-4555-8555-555555555555", "Other", "project", "UPLOAD");
    serviceFolder("66666666-6666-4666-8666-666666666666", "Plans", "harborly", "download_only");
    serviceFolder("not-a-uuid", "Broken", "drive", "bidirectional");
    serviceFolder(twice, "Twice", "drive", "bidirectional");
    serviceFolder(twice.toLower(), "Twice again", "drive", "bidirectional");

    // A refusal is not an outage: no hibernation, and the next call asks again.
    fake.answerNext(kFolders, 404, R"({"message":"gone"})");
    await(engine->hydrateSyncFolders());
    EXPECT_FALSE(engine->hasHydratedThisSession());
    EXPECT_FALSE(engine->isHibernating());
    await(engine->hydrateSyncFolders());
    const QString skipped = QStringLiteral("Skipped sync folder Plans from Harborly: plan folders are not hydrated");
    EXPECT_THAT(log().mid(1), ElementsAre(skipped, QStringLiteral("Hydrated 6 sync folder(s) from Harborly")));

    QStringList stored;
    for (const auto &folder : storedFolders()) {
        const bool asHydrated = !folder->isEnabled() && !folder->folderPath() && folder->allDAWs()
                                && folder->storedDefaultSyncPriority() == SyncRulePriority::high;
        stored << QStringLiteral("%1 %2 %3 %4%5")
                      .arg(folder->name(), rawValue(folder->folderType()), rawValue(folder->syncMode()),
                           folder->fileExtensions().join(QString()), asHydrated ? QString() : QStringLiteral(" local"));
    }
    const QString audio = QStringLiteral(".wav.mp3.aiff.aif.flac");
    EXPECT_THAT(stored, ElementsAre(QStringLiteral("Mine drive bidirectional  local"),
                                    "Refs reference upload_only " + audio, "Refs2 reference upload_only " + audio,
                                    "Loose unorganised download_only " + audio,
                                    QStringLiteral("Sessions drive download_only "),
                                    QStringLiteral("Other drive bidirectional "),
                                    QStringLiteral("Twice drive bidirectional ")));

    // Once per run; a stop starts a new run, and known folders stay as they are.
    await(engine->hydrateSyncFolders());
    EXPECT_EQ(sent(kFolders), 2u);
    engine->stop();
    await(engine->hydrateSyncFolders());
    EXPECT_EQ(sent(kFolders), 3u);
    EXPECT_EQ(log().count(skipped), 2);

    // A store that cannot tell which folders it holds is not a store without folders.
    engine->stop();
    container->execute("ALTER TABLE SyncFolder RENAME TO SyncFolderAway", StoreError::Kind::saveFailed);
    await(engine->hydrateSyncFolders());
    container->execute("ALTER TABLE SyncFolderAway RENAME TO SyncFolder", StoreError::Kind::saveFailed);
    context->save();
    EXPECT_FALSE(engine->hasHydratedThisSession());
    EXPECT_TRUE(log().last().startsWith(QStringLiteral("Sync folder hydration failed: ")));
    EXPECT_EQ(storedFolders().size(), 7u);
}

TEST_F(SyncEngineRecoveryTest, HibernationWaitsLongerAfterEachFailedRetryAndRecoveryStartsTheEngine)
{
    addFolder(QStringLiteral("Beats"));
    engine->start();
    const auto first = factory.made.at(0).lock();
    hibernate();
    EXPECT_TRUE(engine->lanes().empty());
    EXPECT_EQ(first->stops, 1);
    EXPECT_FALSE(engine->dawReporter().isRunning());
    EXPECT_EQ(log().last(), hibernating(120));

    clock.advance(119s);
    test::runFor(100ms);
    EXPECT_EQ(sent(kFolders), 1u);
    const auto mark = log().size();
    advanceUntilLogged(1s, hibernating(240), 1);
    ASSERT_EQ(log().size(), mark + 2); // the failure, then the next wait
    EXPECT_TRUE(log()[mark].startsWith(QStringLiteral("Sync folder hydration failed (server unreachable): ")));
    advanceUntilLogged(240s, hibernating(300), 1);
    advanceUntilLogged(300s, hibernating(300), 2);
    EXPECT_EQ(sent(kFolders), 4u);

    fake.clearFaults();
    advanceUntilLogged(300s, kRecovered, 1);
    EXPECT_FALSE(engine->isHibernating());
    EXPECT_EQ(engine->hibernationInterval(), 120.0);
    EXPECT_EQ(engine->lanes().size(), 1u);
    EXPECT_TRUE(engine->dawReporter().isRunning());
}

TEST_F(SyncEngineRecoveryTest, AStopEndsHibernationForGoodAndTheNextStartsAt120)
{
    addFolder(QStringLiteral("Beats"));
    hibernate();
    advanceUntilLogged(120s, hibernating(240), 1);
    engine->stop();
    clock.advance(600s);
    test::runFor(200ms);
    EXPECT_EQ(sent(kFolders), 2u);
    await(engine->hydrateSyncFolders());
    EXPECT_EQ(log().last(), hibernating(120));

    // A stop while the retry's request waits for the service, which would then answer.
    fake.clearFaults();
    fake.delayNext(kFolders, 1500ms);
    clock.advance(120s);
    ASSERT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }));
    const auto mark = log().size();
    engine->stop();
    test::runFor(2000ms);
    EXPECT_EQ(log().size(), mark);
    EXPECT_TRUE(factory.made.empty());
    EXPECT_FALSE(engine->isHibernating() || engine->hasHydratedThisSession() || engine->dawReporter().isRunning());
    EXPECT_EQ(clock.pendingSleepers(), 0u);
}

TEST_F(SyncEngineRecoveryTest, RecoveryLeavesTheLanesAndTheReporterRunning)
{
    const auto beats = addFolder(QStringLiteral("Beats"));
    engine->start();
    hibernate();
    // A folder switched on meanwhile waits for the recovery's start.
    const auto keys = addFolder(QStringLiteral("Keys"));
    EXPECT_FALSE(engine->createLane(keys));
    fake.clearFaults();
    advanceUntilLogged(120s, kRecovered, 1);
    EXPECT_EQ(engine->lanes().size(), 2u);
    EXPECT_TRUE(engine->dawReporter().isRunning());

    // With nothing to run, the reporter still comes back for a folder enabled later.
    engine->setHasHydratedThisSession(false);
    hibernate();
    for (const auto &folder : {beats, keys})
        folder->setIsEnabled(false);
    context->save();
    fake.clearFaults();
    advanceUntilLogged(120s, kRecovered, 2);
    EXPECT_TRUE(engine->dawReporter().isRunning());
}

TEST_F(SyncEngineRecoveryTest, StorageMonitorChecksAtOnceThenEveryFiveMinutesAndFollowsTheService)
{
    fake.updateAccount(account, [](test::FakeAccount &a) { a.isEnforced = true; });
    engine->startStorageMonitor();
    ASSERT_TRUE(storageChecked(1));
    EXPECT_TRUE(engine->isStorageFull());
    fake.updateAccount(account, [](test::FakeAccount &a) { a.isEnforced = false; });
    clock.advance(299s);
    test::runFor(100ms);
    EXPECT_EQ(sent(kStorage), 1u);
    clock.advance(1s);
    ASSERT_TRUE(storageChecked(2));
    EXPECT_FALSE(engine->isStorageFull());

    // The first loop's sleeper leaves on a later turn: until then it would pass for the new one's.
    engine->startStorageMonitor();
    test::drainEvents();
    ASSERT_TRUE(storageChecked(3));
    clock.advance(300s);
    ASSERT_TRUE(storageChecked(4));
    test::runFor(200ms);
    EXPECT_EQ(sent(kStorage), 4u);

    // A 507 while a check is under way: that check's answer predates it; a failed one says nothing.
    ASSERT_TRUE(engine->createLane(addFolder(QStringLiteral("Beats"))));
    const auto lane = factory.made.at(0).lock();
    fake.delayNext(kStorage, 800ms);
    clock.advance(300s);
    ASSERT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }));
    lane->notifyStorageFull();
    ASSERT_TRUE(storageChecked(5));
    EXPECT_TRUE(engine->isStorageFull());
    fake.answerNext(kStorage, 500, R"({"message":"busy"})");
    clock.advance(300s);
    ASSERT_TRUE(storageChecked(6));
    EXPECT_TRUE(engine->isStorageFull());
    clock.advance(300s);
    ASSERT_TRUE(storageChecked(7));
    EXPECT_FALSE(engine->isStorageFull());

    lane->notifyStorageFull();
    lane->notifyUploadSucceeded();
    EXPECT_FALSE(engine->isStorageFull());
}

} // namespace
