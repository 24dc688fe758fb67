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

TEST_F(SyncEngineFolderOpsTest, ARelocatedFolderIsResetAtTheServiceByItsIdOnlyWhenItAloneHasItsKind)
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
    ASSERT_EQ(resetBodies().size(), 1u);
    EXPECT_EQ(resetBodies()[0], (QJsonObject{{QStringLiteral("folder_type"), QStringLiteral("reference")},
                                             {QStringLiteral("sync_folder_uuid"), idText(*refs)}}));
    // Only the folder's own file went.
    ASSERT_EQ(fake.files(account).size(), 1u);
    EXPECT_EQ(fake.files(account)[0].filename, QStringLiteral("web.wav"));
    EXPECT_EQ(logged(QStringLiteral("Server cleared 1 records for Refs")), 1);
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
    fake.delayNext("/api/v1/files/reset-folder", std::chrono::milliseconds(300));
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
