#include "Engine/SyncEngine.h"

#include "Accounts/KeychainVault.h"
#include "Accounts/TokenManager.h"
#include "ActivityLog/SyncLogger.h"
#include "Engine/ScriptedLane.h"
#include "Model/DAWConfiguration.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/MultipartUploadState.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Model/SyncRule.h"
#include "Model/SyncSettings.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "Platform/Workspace/ApplicationEvents.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "fake-service/FakeHarborly.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThreadPool>

#include <tuple>

using namespace quillmere;
using quillmere::test::ScriptedLane;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// The engine's folder operations over scripted lanes, with the fake service behind the client.
class SyncEngineFolderOpsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        qputenv("XDG_CACHE_HOME", dir.filePath(QStringLiteral("cache")).toUtf8());
        fake.start();
        account = fake.addAccount();
        const QUrl base = fake.baseURL();
        tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [base] { return base; });
        test::await(tokens->saveToken(fake.issueToken(account), QDateTime::currentDateTimeUtc().addDays(30)));
        client = std::make_shared<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens, clock));
        container = ModelContainerFactory::makeContainer(dir.filePath(QStringLiteral("Quillmere.sqlite")));
        context = std::make_shared<ModelContext>(container);
        engine = std::make_unique<SyncEngine>(client, vault, clock, applicationEvents, factory.factory());
        engine->setStoredModelContext(context);
        SyncLogger::shared().clear();
    }
    void TearDown() override
    {
        engine.reset();
        QThreadPool::globalInstance()->waitForDone();
        test::drainEvents();
        qunsetenv("XDG_CACHE_HOME");
    }

    std::shared_ptr<SyncFolder> addFolder(const QString &name, SyncFolderType kind = SyncFolderType::projectsFolder,
                                          bool enabled = true)
    {
        auto folder = context->insert(std::make_shared<SyncFolder>(
            name, kind, QStringLiteral("/music/") + name, QStringList{}, SyncFolderSyncMode::bidirectional, enabled,
            0, false, std::nullopt, true, std::vector<std::shared_ptr<DAWConfiguration>>{}));
        folder->setDeltaCursor(QStringLiteral("cur-1"));
        context->save();
        return folder;
    }
    void addRecord(const SyncFolder &folder, const QString &name)
    {
        auto record = context->insert(std::make_shared<SyncFile>(*folder.folderPath() + u'/' + name, name));
        record->setFolderID(folder.stableID());
        context->save();
    }
    qsizetype records(const SyncFolder &folder) { return qsizetype(context->fetch(SyncFile::inFolder(folder.stableID())).size()); }
    std::shared_ptr<ScriptedLane> scripted(const QUuid &id) const
    {
        return std::static_pointer_cast<ScriptedLane>(engine->lane(id));
    }
    static int logged(const QString &detail)
    {
        const auto &entries = SyncLogger::shared().entries();
        return int(std::count_if(entries.begin(), entries.end(),
                                 [&](const SyncLogger::Entry &entry) { return entry.detail == detail; }));
    }
    static bool loggedStartingWith(const QString &prefix)
    {
        const auto &entries = SyncLogger::shared().entries();
        return std::any_of(entries.begin(), entries.end(),
                           [&](const SyncLogger::Entry &entry) { return entry.detail.value_or(QString()).startsWith(prefix); });
    }
    std::vector<QJsonObject> resetBodies() const
    {
        std::vector<QJsonObject> bodies;
        for (const auto &request : fake.requestsTo("POST", "/api/v1/files/reset-folder"))
            bodies.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object());
        return bodies;
    }
    static QString idText(const SyncFolder &folder) { return folder.stableID().toString(QUuid::WithoutBraces).toUpper(); }

    QTemporaryDir dir;
    test::FakeHarborly fake;
    qint64 account = 0;
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    ManualClock clock;
    std::shared_ptr<TokenManager> tokens;
    std::shared_ptr<LibraryAPIClient> client;
    std::shared_ptr<ModelContainer> container;
    std::shared_ptr<ModelContext> context;
    ApplicationEvents applicationEvents;
    test::ScriptedLaneFactory factory;
    std::unique_ptr<SyncEngine> engine;
};

TEST_F(SyncEngineFolderOpsTest, SyncNowRunsEveryPassAtOnceAndADisabledLaneLivesUntilItsPassEnds)
{
    // Nothing while paused or without lanes.
    engine->requestManualSync();
    auto beats = addFolder(QStringLiteral("Beats"));
    auto stems = addFolder(QStringLiteral("Stems"));
    engine->start();
    engine->pauseAll();
    engine->requestManualSync();
    EXPECT_EQ(logged(QStringLiteral("Manual sync requested")), 0);
    EXPECT_FALSE(engine->isSyncingNow());
    engine->resumeAll();

    const auto gate = std::make_shared<WaitQueue>();
    for (const auto &lane : {scripted(beats->stableID()), scripted(stems->stableID())}) {
        lane->deltaFailures = 3;
        lane->deltaPassGate = gate;
    }
    std::weak_ptr<ScriptedLane> beatsLane = scripted(beats->stableID());
    engine->requestManualSync();
    EXPECT_TRUE(engine->isSyncingNow());
    test::drainEvents();
    // Both passes began before either ended, each with its failures forgiven.
    EXPECT_THAT(beatsLane.lock()->failuresAtDeltaPass, ElementsAre(0));
    EXPECT_THAT(scripted(stems->stableID())->failuresAtDeltaPass, ElementsAre(0));
    EXPECT_EQ(gate->size(), 2u);

    engine->folderDisabled(beats);
    test::drainEvents();
    EXPECT_EQ(engine->lane(beats->stableID()), nullptr);
    ASSERT_FALSE(beatsLane.expired());
    EXPECT_EQ(beatsLane.lock()->stops, 1);
    EXPECT_EQ(logged(QStringLiteral("Beats disabled — lane stopped")), 1);

    gate->resumeAll();
    test::drainEvents();
    EXPECT_TRUE(beatsLane.expired());
    EXPECT_FALSE(engine->isSyncingNow());
    EXPECT_EQ(logged(QStringLiteral("Manual sync requested")), 1);
    EXPECT_EQ(logged(QStringLiteral("Manual sync complete")), 1);

    // Disabling a folder without a lane logs nothing.
    const auto entries = SyncLogger::shared().entries().size();
    engine->folderDisabled(beats);
    EXPECT_EQ(SyncLogger::shared().entries().size(), entries);
}

TEST_F(SyncEngineFolderOpsTest, ARelocatedFolderIsResetAtTheServiceByItsKindOnlyWhenItAloneHasItsKind)
{
    // Switched off: the records go and the resync waits for the switch.
    auto refs = addFolder(QStringLiteral("Refs"), SyncFolderType::references, false);
    addRecord(*refs, QStringLiteral("a.wav"));
    test::await(engine->folderLocationChanged(refs));
    EXPECT_EQ(records(*refs), 0);
    EXPECT_TRUE(refs->needsResync());
    EXPECT_EQ(logged(QStringLiteral("Refs disabled — resync deferred until enabled")), 1);
    EXPECT_THAT(resetBodies(), IsEmpty());
    EXPECT_THAT(engine->lanes(), IsEmpty());

    for (const auto &[name, owner] : {std::pair{QStringLiteral("mine.wav"), std::optional(idText(*refs))},
                                      std::pair{QStringLiteral("web.wav"), std::optional<QString>()}}) {
        test::FakeLibraryFile file;
        file.accountId = account;
        file.filename = name;
        file.folderType = QStringLiteral("reference");
        file.syncFolderUUID = owner;
        fake.addFile(file);
    }
    refs->setIsEnabled(true);
    context->save();
    addRecord(*refs, QStringLiteral("b.wav"));
    test::await(engine->folderEnabled(refs));
    EXPECT_FALSE(refs->needsResync());
    EXPECT_EQ(records(*refs), 0);
    // The body names the kind alone, and every file of the kind goes: nothing else has it.
    ASSERT_EQ(resetBodies().size(), 1u);
    EXPECT_EQ(resetBodies()[0], (QJsonObject{{QStringLiteral("folder_type"), QStringLiteral("reference")}}));
    EXPECT_EQ(fake.files(account).size(), 0u);
    EXPECT_EQ(logged(QStringLiteral("Server cleared 2 records for Refs")), 1);
    ASSERT_NE(scripted(refs->stableID()), nullptr);

    // A running folder: its lane stops before the request is sent, and resets after it.
    const auto lane = scripted(refs->stableID());
    auto relocating = engine->folderLocationChanged(refs);
    EXPECT_EQ(lane->stops, 1);
    EXPECT_EQ(lane->resets, 0);
    test::await(std::move(relocating));
    EXPECT_EQ(lane->resets, 1);

    // A failed reset is logged and the lane is reset all the same.
    fake.answerNext("/api/v1/files/reset-folder", 500, R"({"message": "boom"})");
    test::await(engine->folderLocationChanged(refs));
    EXPECT_TRUE(loggedStartingWith(QStringLiteral("Server reset failed for Refs: ")));
    EXPECT_EQ(lane->resets, 2);

    // Another folder of the kind, the plan mirror, or no cursor: no request.
    auto plans = addFolder(QStringLiteral("Plans"), SyncFolderType::harborly);
    test::await(engine->folderLocationChanged(plans));
    addFolder(QStringLiteral("More"), SyncFolderType::references);
    test::await(engine->folderLocationChanged(refs));
    EXPECT_TRUE(loggedStartingWith(QStringLiteral("Server reset skipped for Refs: ")));
    auto fresh = addFolder(QStringLiteral("Fresh"), SyncFolderType::unorganisedAudio);
    fresh->setDeltaCursor(std::nullopt);
    context->save();
    test::await(engine->folderLocationChanged(fresh));
    EXPECT_EQ(resetBodies().size(), 3u);
    EXPECT_EQ(lane->resets, 3);
    ASSERT_NE(scripted(fresh->stableID()), nullptr);
    ASSERT_NE(scripted(plans->stableID()), nullptr);
}

// A reset names the kind alone, and a service that keeps to that clears every file of the kind:
// another device's folder of the kind would lose its files.
TEST_F(SyncEngineFolderOpsTest, TheResetIsNotSentWhileTheAccountsRegistryListsAnotherFolderOfItsKind)
{
    fake.setResetFolderByKindOnly(true);
    auto refs = addFolder(QStringLiteral("Refs"), SyncFolderType::references);
    auto beats = addFolder(QStringLiteral("Beats"), SyncFolderType::projectsFolder);
    const QString laptop = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    // The registry lists each folder of this device (in either letter case) and the laptop's.
    fake.addSyncFolder({account, idText(*refs), QStringLiteral("Refs"), QStringLiteral("reference"), QStringLiteral("bidirectional"), 0});
    fake.addSyncFolder({account, idText(*beats).toLower(), QStringLiteral("Beats"), QStringLiteral("drive"), QStringLiteral("bidirectional"), 1});
    fake.addSyncFolder({account, laptop, QStringLiteral("Laptop refs"), QStringLiteral("reference"), QStringLiteral("bidirectional"), 2});
    for (const auto &[name, kind, owner] : {std::tuple{QStringLiteral("theirs.wav"), QStringLiteral("reference"), laptop},
                                            std::tuple{QStringLiteral("mine.wav"), QStringLiteral("reference"), idText(*refs)},
                                            std::tuple{QStringLiteral("beat.wav"), QStringLiteral("drive"), idText(*beats)}}) {
        test::FakeLibraryFile file;
        file.accountId = account;
        file.filename = name;
        file.folderType = kind;
        file.syncFolderUUID = owner;
        fake.addFile(file);
    }
    engine->start();
    const auto serviceNames = [&] {
        QStringList names;
        for (const auto &file : fake.files(account))
            names.append(file.filename);
        names.sort();
        return names;
    };

    test::await(engine->folderLocationChanged(refs));
    EXPECT_THAT(resetBodies(), IsEmpty());
    EXPECT_EQ(logged(QStringLiteral("Server reset skipped for Refs: the account also syncs Laptop refs of its kind")), 1);
    EXPECT_EQ(scripted(refs->stableID())->resets, 1);

    // A registry that cannot be read cannot tell: nothing is sent either.
    fake.answerNext("/api/v1/sync-folders", 500, R"({"message": "busy"})");
    test::await(engine->folderLocationChanged(beats));
    EXPECT_THAT(resetBodies(), IsEmpty());
    EXPECT_TRUE(loggedStartingWith(QStringLiteral("Server reset skipped for Beats: the account's sync folders could not be read")));
    EXPECT_EQ(serviceNames(), (QStringList{QStringLiteral("beat.wav"), QStringLiteral("mine.wav"), QStringLiteral("theirs.wav")}));

    // Alone with its kind (its own entry and other kinds do not count): the kind's files go.
    test::await(engine->folderLocationChanged(beats));
    ASSERT_EQ(resetBodies().size(), 1u);
    EXPECT_EQ(resetBodies()[0], (QJsonObject{{QStringLiteral("folder_type"), QStringLiteral("drive")}}));
    EXPECT_EQ(serviceNames(), (QStringList{QStringLiteral("mine.wav"), QStringLiteral("theirs.wav")}));
    EXPECT_EQ(scripted(beats->stableID())->resets, 2);
}

// A reset meant to empty a folder must not empty a whole drive.
TEST_F(SyncEngineFolderOpsTest, AResetIsRefusedForTheRootOfAMountedDriveAndTheLaneKept)
{
    auto procfs = addFolder(QStringLiteral("Proc"));
    procfs->setFolderPath(QStringLiteral("/proc"));
    context->save();
    addRecord(*procfs, QStringLiteral("a.wav"));
    vault.setValue("bookmark", KeychainVault::folderBookmarkKey(procfs->stableID()));
    engine->start();
    const auto lane = scripted(procfs->stableID());
    ASSERT_NE(lane, nullptr);

    test::await(engine->resetAndRedownload(procfs));
    EXPECT_EQ(logged(QStringLiteral("Reset refused for Proc: it is the root of a mounted drive")), 1);
    EXPECT_EQ(engine->lane(procfs->stableID()), lane);
    EXPECT_EQ(lane->stops, 0);
    EXPECT_EQ(records(*procfs), 1);
    EXPECT_EQ(procfs->deltaCursor(), QStringLiteral("cur-1"));
}

// "Manual sync complete" only for a sync that happened.
TEST_F(SyncEngineFolderOpsTest, SyncNowLogsAFailedPassAsAFailureAndNothingAfterAHibernationStoppedTheLanes)
{
    auto beats = addFolder(QStringLiteral("Beats"));
    auto stems = addFolder(QStringLiteral("Stems"));
    engine->start();
    const QString lost = QStringLiteral("The network connection was lost.");
    scripted(stems->stableID())->deltaPassFailure = lost;
    scripted(stems->stableID())->setLastError(QStringLiteral("Upload of take.wav failed"));
    engine->requestManualSync();
    ASSERT_TRUE(test::runUntil([&] { return !engine->isSyncingNow(); }));
    EXPECT_EQ(logged(QStringLiteral("Manual sync failed: ") + lost), 1);
    EXPECT_EQ(logged(QStringLiteral("Manual sync complete")), 0);
    EXPECT_EQ(engine->lastError(), QStringLiteral("Upload of take.wav failed"));

    scripted(stems->stableID())->deltaPassFailure.reset();
    const auto gate = std::make_shared<WaitQueue>();
    for (const auto &lane : {scripted(beats->stableID()), scripted(stems->stableID())})
        lane->deltaPassGate = gate;
    engine->requestManualSync();
    test::drainEvents();
    ASSERT_EQ(gate->size(), 2u);
    engine->enterHibernation();
    gate->resumeAll();
    ASSERT_TRUE(test::runUntil([&] { return !engine->isSyncingNow(); }));
    test::drainEvents();
    EXPECT_EQ(logged(QStringLiteral("Manual sync complete")), 0);
    EXPECT_EQ(logged(QStringLiteral("Manual sync failed: ") + lost), 1);

    // Back from it, a pass that reads its feed completes.
    engine->cancelHibernation();
    engine->start();
    engine->requestManualSync();
    ASSERT_TRUE(test::runUntil([&] { return !engine->isSyncingNow(); }));
    EXPECT_EQ(logged(QStringLiteral("Manual sync complete")), 1);
}

TEST_F(SyncEngineFolderOpsTest, SettingsChangesRefreshALaneOrMakeOneForAnEnabledFolder)
{
    auto beats = addFolder(QStringLiteral("Beats"));
    engine->folderSettingsChanged(beats);
    ASSERT_NE(scripted(beats->stableID()), nullptr);
    EXPECT_EQ(scripted(beats->stableID())->starts, 1);

    beats->setIsEnabled(false);
    context->save();
    engine->folderSettingsChanged(beats);
    EXPECT_EQ(scripted(beats->stableID())->priorityRefreshes, 1);
    EXPECT_EQ(scripted(beats->stableID())->stops, 0);

    // A folder refused for overlapping another is no error once switched off.
    auto inside = addFolder(QStringLiteral("Beats/Inside"));
    engine->folderSettingsChanged(inside);
    EXPECT_TRUE(engine->syncState().isError());
    engine->folderDisabled(inside);
    EXPECT_FALSE(engine->syncState().isError());

    auto off = addFolder(QStringLiteral("Off"), SyncFolderType::projectsFolder, false);
    engine->folderSettingsChanged(off);
    test::await(engine->folderEnabled(off));
    EXPECT_EQ(engine->lane(off->stableID()), nullptr);
}

TEST_F(SyncEngineFolderOpsTest, TheWipeLeavesOneSettingsRecordAndTheTokenAndALateReplyMakesNothing)
{
    auto beats = addFolder(QStringLiteral("Beats"));
    addRecord(*beats, QStringLiteral("a.wav"));
    context->insert(std::make_shared<DAWConfiguration>(QStringLiteral("Live"), QStringLiteral("/apps/live"),
                                                                  SyncRulePriority::low, SyncRulePriority::high, true, 0));
    context->insert(std::make_shared<SyncRule>(QStringLiteral("rule"), true, 0, SyncRuleConditionType::appRunning,
                                               QStringLiteral("Live"), QStringLiteral("/music"), SyncRulePriority::low));
    engine->start();
    // The start's own clean-up of staged copies ends first.
    QThreadPool::globalInstance()->waitForDone();
    test::drainEvents();
    const QString staging = LibraryAPIClient::stagingFolder();
    ASSERT_TRUE(QDir().mkpath(staging));
    QFile(staging + QStringLiteral("/COPY")).open(QIODevice::WriteOnly);
    QFile(dir.filePath(QStringLiteral("outside"))).open(QIODevice::WriteOnly);
    for (const QString &staged : {staging + QStringLiteral("/COPY"), dir.filePath(QStringLiteral("outside"))}) {
        MultipartUploadStateData data;
        data.localPath = staged;
        data.stagedPath = staged;
        data.folderID = beats->stableID();
        context->insert(std::make_shared<MultipartUploadState>(std::move(data)));
    }
    auto settings = engine->fetchOrCreateSettings();
    settings->setLastDeltaSyncCursor(QStringLiteral("cur-9"));
    context->save();
    const QString strayKey = KeychainVault::folderBookmarkKey(QUuid::createUuid());
    for (const QString &key : {KeychainVault::folderBookmarkKey(beats->stableID()), KeychainVault::folderBookmarkKey(), strayKey})
        vault.setValue("bookmark", key);

    // A re-location waits for the service while the wipe runs.
    fake.delayNext("/api/v1/sync-folders", std::chrono::milliseconds(300));
    auto relocating = engine->folderLocationChanged(beats);
    engine->wipeLocalState();
    test::await(std::move(relocating));
    QThreadPool::globalInstance()->waitForDone();
    test::runUntil([&] { return !vault.data(KeychainVault::folderBookmarkKey()); });
    test::drainEvents();

    EXPECT_THAT(engine->lanes(), IsEmpty());
    EXPECT_THAT(context->fetch(FetchDescriptor<SyncFile>()), IsEmpty());
    EXPECT_THAT(context->fetch(FetchDescriptor<SyncFolder>()), IsEmpty());
    EXPECT_THAT(context->fetch(FetchDescriptor<SyncRule>()), IsEmpty());
    EXPECT_THAT(context->fetch(FetchDescriptor<DAWConfiguration>()), IsEmpty());
    EXPECT_THAT(context->fetch(FetchDescriptor<MultipartUploadState>()), IsEmpty());
    const auto kept = ModelContext(container).fetch(FetchDescriptor<SyncSettings>());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0]->lastDeltaSyncCursor(), std::nullopt);
    EXPECT_EQ(vault.data(KeychainVault::folderBookmarkKey(beats->stableID())), std::nullopt);
    EXPECT_EQ(vault.data(KeychainVault::folderBookmarkKey()), std::nullopt);
    EXPECT_EQ(vault.data(strayKey), QByteArray("bookmark"));
    EXPECT_TRUE(vault.data(KeychainVault::bearerTokenKey()).has_value());
    EXPECT_FALSE(QFile::exists(staging + QStringLiteral("/COPY")));
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("outside"))));
    // The folder it would have reset is gone: nothing was sent for it.
    EXPECT_THAT(resetBodies(), IsEmpty());
    const auto &entries = SyncLogger::shared().entries();
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](const auto &entry) { return entry.event == SyncLogger::Event::folderCleared; }),
              1);

    // Without records a wipe makes the settings record afresh.
    for (const auto &record : context->fetch(FetchDescriptor<SyncSettings>()))
        context->remove(record);
    context->save();
    engine->wipeLocalState();
    EXPECT_EQ(ModelContext(container).fetch(FetchDescriptor<SyncSettings>()).size(), 1u);
}

} // namespace
