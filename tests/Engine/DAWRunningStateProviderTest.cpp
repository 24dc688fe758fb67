#include "Engine/DAWRunningStateProvider.h"

#include "Accounts/KeychainVault.h"
#include "Accounts/TokenManager.h"
#include "Engine/RulesEngine.h"
#include "Engine/ScriptedLane.h"
#include "Engine/SyncEngine.h"
#include "Model/DAWConfiguration.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "Platform/Workspace/RunningApplications.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "support/FakeProcessTree.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace quillmere;

namespace {

using test::await;

// Running: a studio (a desktop entry), a mixer (an executable alone), a keyboard program whose
// profile is disabled, and a program whose entry was removed after its profile was made. Idle:
// one more profile's program.
class DAWRunningStateProviderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Profile paths are identified against the XDG data folders, as the scan does.
        qputenv("XDG_DATA_HOME", QFile::encodeName(fake.path(QStringLiteral("data"))));
        int pid = 10;
        for (const char *name : {"studio", "keys", "old", "mixer"})
            fake.process(pid++, fake.program(QString::fromLatin1(name)));
        mixer = fake.program(QStringLiteral("mixer"));
        fake.entry(QStringLiteral("studio.desktop"), "Name=Studio\nName[de]=Tonstudio\nExec=studio %f\n");
        fake.entry(QStringLiteral("keys.desktop"), "Name=Keys\nExec=keys\n");
        fake.entry(QStringLiteral("old.desktop"), "Name=Old\nExec=old\n");
        fake.entry(QStringLiteral("idle.desktop"), "Name=Idle\nExec=idle\n");

        container = ModelContainerFactory::makeContainer(dir.filePath(QStringLiteral("Quillmere.sqlite")));
        context = std::make_shared<ModelContext>(container);
        studio = addProfile("studio", entryPath("studio"), true);
        addProfile("mixer", mixer, true);
        keys = addProfile("keys", entryPath("keys"), false);
        old = addProfile("old", entryPath("old"), true);
        idle = addProfile("idle", entryPath("idle"), true);
        QFile::remove(entryPath("old"));
    }

    void TearDown() override
    {
        if (m_dataHome)
            qputenv("XDG_DATA_HOME", *m_dataHome);
        else
            qunsetenv("XDG_DATA_HOME");
    }

    QString entryPath(const char *name) const
    {
        return fake.path(QStringLiteral("data/applications/%1.desktop").arg(QLatin1String(name)));
    }

    std::shared_ptr<DAWConfiguration> addProfile(const char *name, const QString &path, bool enabled)
    {
        auto profile = std::make_shared<DAWConfiguration>(QString::fromLatin1(name), path, SyncRulePriority::balanced,
                                                          SyncRulePriority::high, enabled, 0);
        context->insert(profile);
        context->save();
        return profile;
    }

    std::shared_ptr<SyncFolder> addFolder(bool allDAWs, std::vector<std::shared_ptr<DAWConfiguration>> guards = {})
    {
        auto folder = std::make_shared<SyncFolder>(QStringLiteral("Projects"), SyncFolderType::projectsFolder,
                                                   fake.path(QStringLiteral("Projects")), QStringList{},
                                                   SyncFolderSyncMode::bidirectional, true, 0, allDAWs, std::nullopt,
                                                   true, std::move(guards));
        context->insert(folder);
        context->save();
        return folder;
    }

    test::FakeSystem fake;
    QTemporaryDir dir;
    ManualClock clock;
    RunningApplications applications{clock, fake.roots()};
    std::shared_ptr<ModelContainer> container;
    std::shared_ptr<ModelContext> context;
    QString mixer;
    std::shared_ptr<DAWConfiguration> studio, keys, old, idle;

private:
    const std::optional<QByteArray> m_dataHome =
        qEnvironmentVariableIsSet("XDG_DATA_HOME") ? std::optional(qgetenv("XDG_DATA_HOME")) : std::nullopt;
};

TEST_F(DAWRunningStateProviderTest, AFolderIsGuardedByItsProfilesApplicationsFoundById)
{
    await(applications.refreshNow());
    SystemDAWRunningStateProvider provider(applications);

    // Every enabled profile: the studio by its entry's name, the mixer by its file name. The
    // disabled profile's program runs but does not count; the removed entry guards nothing.
    const auto everyProfile = addFolder(true);
    const RunningGuards all = provider.runningGuards(*everyProfile, *context);
    EXPECT_EQ(all.names, (QSet<QString>{QStringLiteral("Tonstudio"), QStringLiteral("mixer")}));
    EXPECT_FALSE(all.assumed);

    // The rule made with a profile names it by the profile's name, not by its entry's
    // translated name; a rule may also give an identifier.
    const auto holds = [&](const QString &name) {
        const QList<RuleSnapshot> rules{
            {true, 0, SyncRuleConditionType::appRunning, name, QStringLiteral("*"), SyncRulePriority::low}};
        return RulesEngine().evaluate(*everyProfile->folderPath(), rules, all.ruleNames()) == SyncPriority::low;
    };
    EXPECT_TRUE(holds(QStringLiteral("studio")));
    EXPECT_TRUE(holds(mixer));
    EXPECT_FALSE(holds(QStringLiteral("keys")));

    // Its own profiles, a disabled one included; none, or only a removed one, guards nothing.
    EXPECT_EQ(provider.runningDAWs(*addFolder(false, {keys, idle}), *context), QSet<QString>{QStringLiteral("Keys")});
    EXPECT_EQ(provider.runningDAWs(*addFolder(false, {old}), *context), QSet<QString>{});
    EXPECT_EQ(provider.runningDAWs(*addFolder(false), *context), QSet<QString>{});

    fake.end(10);
    await(applications.refreshNow());
    EXPECT_EQ(provider.runningDAWs(*everyProfile, *context), QSet<QString>{QStringLiteral("mixer")});
}

TEST_F(DAWRunningStateProviderTest, WhatCannotBeToldCountsAsRunning)
{
    const auto everyProfile = addFolder(true);
    const QSet<QString> enabledProfiles{QStringLiteral("studio"), QStringLiteral("mixer"), QStringLiteral("idle")};

    // Before the first scan, after a failed one, and without the list.
    SystemDAWRunningStateProvider provider(applications);
    const RunningGuards unknown = provider.runningGuards(*everyProfile, *context);
    EXPECT_TRUE(unknown.assumed);
    EXPECT_EQ(unknown.names, enabledProfiles);
    EXPECT_TRUE(unknown.ruleNames().contains(mixer));

    await(applications.refreshNow());
    ASSERT_FALSE(provider.runningGuards(*everyProfile, *context).assumed);
    ASSERT_TRUE(QDir(fake.path(QStringLiteral("proc"))).removeRecursively());
    await(applications.refreshNow());
    EXPECT_EQ(provider.runningDAWs(*everyProfile, *context), enabledProfiles);

    auto events = std::make_unique<ApplicationEvents>();
    SystemDAWRunningStateProvider orphan(*events);
    events.reset();
    EXPECT_EQ(orphan.runningDAWs(*everyProfile, *context), enabledProfiles);
    EXPECT_EQ(orphan.runningDAWs(*addFolder(false, {old}), *context), QSet<QString>{});
}

TEST_F(DAWRunningStateProviderTest, EveryLaneOfTheEngineAsksTheSharedList)
{
    await(applications.refreshNow());
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    auto client = std::make_shared<LibraryAPIClient>(
        std::make_shared<HarborlyAPI>(std::make_shared<TokenManager>(vault), clock));
    test::ScriptedLaneFactory factory;
    SyncEngine engine{client, vault, clock, applications, factory.factory()};
    engine.setStoredModelContext(context);

    const auto folder = addFolder(false, {studio});
    ASSERT_TRUE(engine.createLane(folder));
    const auto lane = factory.made.front().lock();
    ASSERT_TRUE(lane && lane->services.dawRunningStateProvider);
    EXPECT_EQ(lane->services.dawRunningStateProvider->runningDAWs(*folder, *context),
              QSet<QString>{QStringLiteral("Tonstudio")});
    engine.stop();
}

} // namespace

namespace {

// The engine hears of an application run through an interpreter, which is named by the
// interpreter, when a folder names its script's profile (disabled) as a guard: at its launch,
// and at its quit when it ran before the engine began to listen.
TEST_F(DAWRunningStateProviderTest, TheEngineReevaluatesForEveryApplicationThatGuardsAFolder)
{
    const QString python = fake.program(QStringLiteral("python3"));
    const QString tool = fake.program(QStringLiteral("tool.py"));
    const auto toolProfile = addProfile("tool", tool, false);
    const auto runTool = [&](int pid) {
        fake.process(pid, python);
        fake.commandLine(pid, {QStringLiteral("python3"), tool});
        await(applications.refreshNow());
    };
    await(applications.refreshNow());
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    auto client = std::make_shared<LibraryAPIClient>(
        std::make_shared<HarborlyAPI>(std::make_shared<TokenManager>(vault), clock));
    test::ScriptedLaneFactory factory;
    SyncEngine engine{client, vault, clock, applications, factory.factory()};
    engine.setStoredModelContext(context);
    ASSERT_TRUE(engine.createLane(addFolder(false, {toolProfile})));
    const auto lane = factory.made.front().lock();
    engine.installWorkspaceObservers();

    // A disabled profile no folder names, and an application that guards nothing.
    engine.handleDAWStateChange(QStringLiteral("keys"));
    engine.handleDAWStateChange(python);
    EXPECT_EQ(lane->priorityRefreshes, 0);

    runTool(20);
    engine.handleDAWStateChange(python);
    EXPECT_EQ(lane->priorityRefreshes, 1);
    fake.end(20);
    await(applications.refreshNow());
    engine.handleDAWStateChange(python);
    EXPECT_EQ(lane->priorityRefreshes, 2);

    runTool(21);
    engine.removeWorkspaceObservers();
    engine.installWorkspaceObservers();
    fake.end(21);
    await(applications.refreshNow());
    engine.handleDAWStateChange(python);
    EXPECT_EQ(lane->priorityRefreshes, 3);
    engine.stop();
}

} // namespace
