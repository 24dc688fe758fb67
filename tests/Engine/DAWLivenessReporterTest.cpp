#include "Engine/DAWLivenessReporter.h"

#include "Accounts/DeviceIdentity.h"
#include "Accounts/KeychainVault.h"
#include "Accounts/TokenManager.h"
#include "Engine/ScriptedLane.h"
#include "Engine/SyncEngine.h"
#include "Model/DAWConfiguration.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "Platform/Settings/UserDefaults.h"
#include "Platform/Workspace/RunningApplications.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "fake-service/FakeHarborly.h"
#include "support/FakeDAWRunningStateProvider.h"
#include "support/FakeProcessTree.h"
#include "support/TemporaryConfigHome.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>

using namespace quillmere;
using namespace std::chrono_literals;

namespace {

using test::await;
using test::runUntil;

const std::string kPath = "/api/v1/daw-liveness";
const QString kOtherDevice = QStringLiteral("DEV-OTHER");

// A reporter on a real client signed in to the fake service, over a store of its own, the
// manual clock and a provider the test sets.
class DAWLivenessReporterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fake.start();
        const qint64 account = fake.addAccount();
        const QUrl base = fake.baseURL();
        auto tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [base] { return base; });
        await(tokens->saveToken(fake.issueToken(account), QDateTime::currentDateTimeUtc().addDays(30)));
        client = std::make_shared<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens, clock));
        container = ModelContainerFactory::makeContainer(dir.filePath(QStringLiteral("Quillmere.sqlite")));
        context = std::make_shared<ModelContext>(container);
        UserDefaults::standard().setString(DeviceIdentity::deviceNameKey(), QStringLiteral("Studio Mac"));
        reporter = std::make_unique<DAWLivenessReporter>(client, clock, provider);
        reporter->setModelContext(context);
    }

    std::shared_ptr<SyncFolder> addFolder(SyncFolderType type, bool enabled = true, bool guarded = true,
                                          bool allDAWs = false)
    {
        auto folder = std::make_shared<SyncFolder>(QStringLiteral("Folder"), type, QStringLiteral("/music"),
                                                   QStringList{}, SyncFolderSyncMode::bidirectional, enabled,
                                                   nextSortOrder++, allDAWs, std::nullopt, guarded,
                                                   std::vector<std::shared_ptr<DAWConfiguration>>{});
        context->insert(folder);
        context->save();
        return folder;
    }

    // Another device of the account has a project of this kind open.
    void otherDeviceReports(const QString &sourceKey)
    {
        await(client->reportDAWLiveness(kOtherDevice, sourceKey, QStringLiteral("Studio"), QStringLiteral("Other Mac")));
    }

    // The kinds this device reported (sorted), as the service stored them.
    QStringList ownSourceKeys() const
    {
        QStringList keys;
        for (const auto &report : fake.livenessReports())
            if (report.deviceId != kOtherDevice)
                keys << report.sourceKey;
        keys.sort();
        return keys;
    }

    // Moves the clock and waits for every report the cycles started.
    void advance(std::chrono::seconds by)
    {
        clock.advance(by);
        ASSERT_TRUE(runUntil([&] { return !reporter->isReporting(); }));
    }

    test::TemporaryConfigHome configHome;
    test::FakeHarborly fake;
    QTemporaryDir dir;
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    ManualClock clock;
    std::shared_ptr<LibraryAPIClient> client;
    std::shared_ptr<ModelContainer> container;
    std::shared_ptr<ModelContext> context;
    std::shared_ptr<test::FakeDAWRunningStateProvider> provider = std::make_shared<test::FakeDAWRunningStateProvider>();
    std::unique_ptr<DAWLivenessReporter> reporter;
    qint64 nextSortOrder = 0;
};

TEST_F(DAWLivenessReporterTest, ReportsEveryIntervalTheEnabledFoldersWithARunningApplicationGuardedOrNot)
{
    const auto drive = addFolder(SyncFolderType::projectsFolder);
    const auto references = addFolder(SyncFolderType::references);
    const auto disabled = addFolder(SyncFolderType::unorganisedAudio, false);
    // Its guards off hold nothing of this device's sync; the project is open all the same.
    const auto unguarded = addFolder(SyncFolderType::unorganisedAudio, true, false);
    provider->byFolder[drive->stableID()] = {QStringLiteral("Studio"), QStringLiteral("Mixer")};
    provider->byFolder[disabled->stableID()] = {QStringLiteral("Studio")};
    provider->byFolder[unguarded->stableID()] = {QStringLiteral("Studio")};

    // A second start neither adds a timer nor runs another cycle.
    reporter->start();
    reporter->start();
    advance(0s);
    auto first = fake.livenessReports();
    ASSERT_EQ(first.size(), 2u);
    std::sort(first.begin(), first.end(), [](const auto &a, const auto &b) { return a.sourceKey < b.sourceKey; });
    EXPECT_EQ(first[0].deviceId, DeviceIdentity::deviceID());
    EXPECT_EQ(first[0].sourceKey, QStringLiteral("drive"));
    EXPECT_EQ(first[0].dawName, QStringLiteral("Mixer"));
    EXPECT_EQ(first[0].deviceName, QStringLiteral("Studio Mac"));
    EXPECT_EQ(first[1].sourceKey, QStringLiteral("unorganised"));
    EXPECT_EQ(first[1].dawName, QStringLiteral("Studio"));

    advance(29s);
    EXPECT_EQ(ownSourceKeys().size(), 2);
    provider->byFolder[unguarded->stableID()] = {};
    provider->byFolder[references->stableID()] = {QStringLiteral("Keys")};
    advance(1s);
    EXPECT_EQ(ownSourceKeys(), (QStringList{QStringLiteral("drive"), QStringLiteral("drive"), QStringLiteral("reference"),
                                            QStringLiteral("unorganised")}));

    reporter->stopTimer();
    EXPECT_FALSE(reporter->isRunning());
    advance(60s);
    EXPECT_EQ(ownSourceKeys().size(), 4);
}

TEST_F(DAWLivenessReporterTest, TheServicesWarningIsRaisedKeptAndCleared)
{
    addFolder(SyncFolderType::projectsFolder);
    provider->result = {QStringLiteral("Studio")};
    otherDeviceReports(QStringLiteral("drive"));
    int changes = 0;
    QObject::connect(reporter.get(), &DAWLivenessReporter::activeWarningChanged, [&] { ++changes; });

    reporter->start();
    advance(0s);
    ASSERT_TRUE(reporter->activeWarning());
    const DAWLivenessReporter::Warning first = *reporter->activeWarning();
    EXPECT_EQ(first.sourceKey, QStringLiteral("drive"));
    EXPECT_EQ(first.message, QStringLiteral("This project is open on another device"));
    EXPECT_EQ(first.peerDeviceNames, QStringList{QStringLiteral("Other Mac")});

    // Warned again: the same warning stays. The other device closed: the service stops warning.
    advance(30s);
    EXPECT_EQ(reporter->activeWarning(), first);
    EXPECT_EQ(changes, 1);
    fake.forgetLivenessReports(kOtherDevice);
    advance(30s);
    EXPECT_FALSE(reporter->activeWarning());
    EXPECT_EQ(changes, 2);

    // Raised anew; a cycle that cannot tell what runs keeps it and asks nothing; one in which
    // nothing runs clears it without asking the service.
    otherDeviceReports(QStringLiteral("drive"));
    advance(30s);
    ASSERT_TRUE(reporter->activeWarning());
    EXPECT_NE(reporter->activeWarning()->id, first.id);
    const auto sent = ownSourceKeys().size();
    provider->assumed = true;
    advance(30s);
    EXPECT_TRUE(reporter->activeWarning());
    provider->assumed = false;
    provider->result.clear();
    advance(30s);
    EXPECT_FALSE(reporter->activeWarning());
    EXPECT_EQ(ownSourceKeys().size(), sent);

    // A reply for another kind: without a message the fixed text; a warning replaces one of
    // another kind, and only a calm reply of its own kind clears it.
    reporter->handleReport({true, 2, std::nullopt, {}}, QStringLiteral("drive"));
    EXPECT_EQ(reporter->activeWarning()->message, DAWLivenessReporter::defaultWarningMessage());
    reporter->handleReport({true, 2, QStringLiteral("Open elsewhere"), {QStringLiteral("Laptop")}},
                           QStringLiteral("reference"));
    reporter->handleReport({false, 1, std::nullopt, {}}, QStringLiteral("drive"));
    ASSERT_TRUE(reporter->activeWarning());
    EXPECT_EQ(reporter->activeWarning()->sourceKey, QStringLiteral("reference"));
    EXPECT_EQ(reporter->activeWarning()->peerDeviceNames, QStringList{QStringLiteral("Laptop")});
    reporter->handleReport({false, 1, std::nullopt, {}}, QStringLiteral("reference"));
    EXPECT_FALSE(reporter->activeWarning());
}

TEST_F(DAWLivenessReporterTest, TheOptOutShowsNothingYetReportsAndSurvivesARestart)
{
    addFolder(SyncFolderType::projectsFolder);
    provider->result = {QStringLiteral("Studio")};
    otherDeviceReports(QStringLiteral("drive"));

    reporter->setOptedOut(true);
    reporter->start();
    advance(0s);
    EXPECT_EQ(ownSourceKeys().size(), 1);
    EXPECT_FALSE(reporter->activeWarning());
    EXPECT_TRUE(DAWLivenessReporter(client, clock, provider).optedOut());
    // Written even when unchanged.
    UserDefaults::standard().setBool(DAWLivenessReporter::optOutKey(), false);
    reporter->setOptedOut(true);
    EXPECT_EQ(UserDefaults::standard().boolean(DAWLivenessReporter::optOutKey()), true);
}

TEST_F(DAWLivenessReporterTest, AFolderIsNotReportedAgainWhileItsReportIsInFlight)
{
    const auto drive = addFolder(SyncFolderType::projectsFolder);
    provider->result = {QStringLiteral("Studio")};
    fake.delayNext(kPath, 1000ms, -1);

    reporter->start();
    ASSERT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }));
    ASSERT_TRUE(reporter->isReporting());
    // The next cycle skips the folder still waiting, not the others.
    addFolder(SyncFolderType::references);
    advance(30s);
    EXPECT_EQ(ownSourceKeys(), (QStringList{QStringLiteral("drive"), QStringLiteral("reference")}));

    fake.clearFaults();
    advance(30s);
    EXPECT_EQ(ownSourceKeys(), (QStringList{QStringLiteral("drive"), QStringLiteral("drive"), QStringLiteral("reference"),
                                            QStringLiteral("reference")}));
}

TEST_F(DAWLivenessReporterTest, AReplyAfterAWipeOrAStopChangesNothing)
{
    auto drive = addFolder(SyncFolderType::projectsFolder);
    provider->result = {QStringLiteral("Studio")};
    otherDeviceReports(QStringLiteral("drive"));

    // The folder is deleted while its report is out: the service still answers "warn".
    fake.delayNext(kPath, 500ms);
    reporter->start();
    ASSERT_TRUE(reporter->isReporting());
    context->remove(drive);
    context->save();
    drive.reset();
    advance(0s);
    EXPECT_EQ(ownSourceKeys().size(), 1);
    EXPECT_FALSE(reporter->activeWarning());

    // Stopped while a report is out: nothing waits for it, and its reply is never applied.
    addFolder(SyncFolderType::projectsFolder);
    fake.takeMostDelayedAtOnce();
    fake.delayNext(kPath, 500ms);
    clock.advance(30s);
    ASSERT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }));
    ASSERT_TRUE(reporter->isReporting());
    reporter->stopTimer();
    EXPECT_FALSE(reporter->isReporting());
    ASSERT_TRUE(runUntil([&] { return fake.livenessReports().size() == 3; }));
    test::runFor(200ms);
    EXPECT_FALSE(reporter->activeWarning());
}

// The engine's reporter reads the engine's context and asks the shared list of running
// applications, and names the application by its profile.
TEST_F(DAWLivenessReporterTest, TheEnginesReporterAsksTheSharedListAndItsContext)
{
    test::FakeSystem system;
    const QString mixer = system.program(QStringLiteral("mixer"));
    system.process(10, mixer);
    RunningApplications applications(clock, system.roots());
    await(applications.refreshNow());
    context->insert(std::make_shared<DAWConfiguration>(QStringLiteral("Mixer Pro"), mixer, SyncRulePriority::low,
                                                       SyncRulePriority::high, true, 0));
    context->save();
    addFolder(SyncFolderType::references, true, true, true);
    otherDeviceReports(QStringLiteral("reference"));

    test::ScriptedLaneFactory factory;
    SyncEngine engine{client, vault, clock, applications, factory.factory()};
    DAWLivenessReporter &engineReporter = engine.dawReporter();
    engine.setStoredModelContext(context);
    engineReporter.start();
    ASSERT_TRUE(runUntil([&] { return !engineReporter.isReporting(); }));
    const auto sent = fake.livenessReports();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].dawName, QStringLiteral("Mixer Pro"));
    ASSERT_TRUE(engineReporter.activeWarning());
    EXPECT_EQ(engineReporter.activeWarning()->sourceKey, QStringLiteral("reference"));
}

} // namespace
