// The whole application in this process, against the fake service: launch, link, sync both
// ways, revocation, quit.

#include "Accounts/APIConfig.h"
#include "Accounts/AuthState.h"
#include "Accounts/KeychainVault.h"
#include "Accounts/LinkedAccount.h"
#include "Accounts/TokenData.h"
#include "App/AppSession.h"
#include "App/EngineActions.h"
#include "App/MainWindow.h"
#include "App/QuillmereApp.h"
#include "App/TrayController.h"
#include "Engine/BookmarkManager.h"
#include "Engine/SyncEngine.h"
#include "Engine/SyncLaneInterface.h"
#include "Model/ModelContainer.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Files/FolderBookmark.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "Platform/Secrets/SecretBackend.h"
#include "Platform/Settings/UserDefaults.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "App/StatusPanel.h"
#include "UI/Onboarding/AccountWindow.h"
#include "UI/Onboarding/AccountWindowView.h"
#include "UI/Onboarding/AquariumState.h"
#include "UI/Onboarding/DeviceLinkView.h"
#include "UI/Onboarding/QuillmereWindowView.h"
#include "UI/Onboarding/WelcomeView.h"
#include "fake-service/FakeHarborly.h"
#include "support/SmallFileSystem.h"
#include "support/TemporaryConfigHome.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCryptographicHash>
#include <QMenu>
#include <QMenuBar>
#include <QDirIterator>
#include <QPushButton>
#include <QTemporaryDir>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::runFor;
using quillmere::test::runUntil;
using Kind = ConnectionState::Kind;

namespace {

// Points an XDG folder variable at a fresh folder for the life of the object.
class TemporaryXdgFolder
{
public:
    explicit TemporaryXdgFolder(const char *name) : m_name(name), m_previous(qgetenv(name))
    {
        qputenv(name, m_dir.path().toUtf8());
    }
    ~TemporaryXdgFolder() { qputenv(m_name, m_previous); }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    const char *m_name;
    QByteArray m_previous;
};

// A keyring whose reads wait for an unlock prompt nobody answers.
class HeldSecretBackend : public SecretBackend
{
public:
    explicit HeldSecretBackend(SecretBackend &inner) : m_inner(inner) {}

    Result read(const QString &service, const QString &account) override
    {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        m_changed.wait(lock, [this] { return !m_held; });
        --m_waiting;
        m_changed.notify_all();
        lock.unlock();
        return m_inner.read(service, account);
    }
    Result store(const QString &service, const QString &account, const QByteArray &value) override
    {
        return m_inner.store(service, account, value);
    }
    Result remove(const QString &service, const QString &account) override { return m_inner.remove(service, account); }

    bool anyWaiting()
    {
        std::lock_guard lock(m_mutex);
        return m_waiting > 0;
    }
    // Answers every read and returns once none waits any more.
    void release()
    {
        std::unique_lock lock(m_mutex);
        m_held = false;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_waiting == 0; });
    }

private:
    SecretBackend &m_inner;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = true;
    int m_waiting = 0;
};

class QuillmereAppTest : public ::testing::Test
{
protected:
    QuillmereAppTest()
    {
        fake.start();
        account = fake.addAccount();
        // As a local run points the application at a local service (no service answer may move
        // an https account to a local port).
        UserDefaults::suite(bundleIdentifier()).setString(QStringLiteral("homeAPIURL"), fake.baseURL().toString());
        options.secretBackend = &backend;
        options.clock = &clock;
        options.networkSource = NetworkMonitor::Source::Detached;
        options.storePath = data.path() + QStringLiteral("/Quillmere.sqlite");
        options.useTray = false;
        options.openURL = [](const QUrl &) { return true; };
        options.endLoop = [this] {
            ++loopsEnded;
            if (atLoopEnd)
                atLoopEnd();
        };
    }

    ~QuillmereAppTest() override
    {
        app.reset();
        runFor(100ms);
        quillmere::test::drainEvents();
    }

    QuillmereApp &launch()
    {
        app = std::make_unique<QuillmereApp>(options);
        EXPECT_FALSE(app->initialise());
        EXPECT_TRUE(runUntil([&] { return app->isRunning(); }));
        return *app;
    }

    AuthState &auth() const { return *app->authState(); }
    bool welcomeShown() const { return app->mainWindow()->root()->isWelcomeShown(); }

    // Turns the loop until the predicate holds; whenever nothing happens for a moment, the
    // clock moves to its next deadline (a debounce, a priority wait, the delta loop).
    bool settle(const std::function<bool()> &done, std::chrono::seconds limit = 30s)
    {
        const auto giveUp = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < giveUp) {
            if (runUntil(done, 50ms))
                return true;
            if (const auto next = clock.nextDeadline())
                clock.advance(std::max(*next - clock.now(), Clock::Duration::zero()));
        }
        return done();
    }

    // A folder of this computer, registered with the store and its bookmark, as the engine's
    // folder operations would.
    std::shared_ptr<SyncFolder> addFolder(const QString &path)
    {
        auto folder = std::make_shared<SyncFolder>(QStringLiteral("Sessions"), SyncFolderType::projectsFolder, path,
                                                   QStringList(), SyncFolderSyncMode::bidirectional, true, 0, true,
                                                   std::nullopt, true, std::vector<std::shared_ptr<DAWConfiguration>>());
        quillmere::test::await(app->engine()->bookmarkManager()->saveBookmark(FolderBookmark::make(path),
                                                                             folder->stableID()));
        ModelContext context(app->container());
        context.insert(folder);
        context.save();
        return folder;
    }

    static QString sha256(const QByteArray &bytes)
    {
        return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    }

    quillmere::test::TemporaryConfigHome config;
    TemporaryXdgFolder data{"XDG_DATA_HOME"};
    TemporaryXdgFolder cache{"XDG_CACHE_HOME"};
    quillmere::test::FakeHarborly fake;
    qint64 account = 0;
    InMemorySecretBackend backend;
    // A test's keyring that holds its reads: a member, so that what the quit left waiting, which
    // resumes on the turns of the loop after the test (this fixture's own), reads one still there.
    std::optional<HeldSecretBackend> held;
    ManualClock clock{QDateTime::currentDateTimeUtc()};
    QuillmereAppOptions options;
    int loopsEnded = 0;
    // Runs as the quit ends the loop.
    std::function<void()> atLoopEnd;
    std::unique_ptr<QuillmereApp> app;
};

TEST_F(QuillmereAppTest, LinksSyncsBothWaysSignsOutOnRevocationAndQuitsCleanly)
{
    QTemporaryDir home;
    const QString root = QFileInfo(home.path()).canonicalFilePath() + QStringLiteral("/Sessions");
    ASSERT_TRUE(QDir().mkpath(root));
    QFile local(root + QStringLiteral("/take1.wav"));
    ASSERT_TRUE(local.open(QIODevice::WriteOnly) && local.write("RIFF take one") > 0);
    local.close();

    launch();
    ASSERT_TRUE(app->mainWindow()->isVisible());
    EXPECT_TRUE(welcomeShown());
    EXPECT_FALSE(app->tray()->hasTray());
    EXPECT_TRUE(app->mainWindow()->menuBar()) << "without a tray the window carries the menu";

    // Link by device code, from the welcome screen's button.
    app->mainWindow()->findChild<QPushButton *>(QStringLiteral("connectButton"))->click();
    ASSERT_TRUE(runUntil([&] { return auth().connectionState().is(Kind::polling); }));
    ASSERT_TRUE(fake.approveDevice(auth().connectionState().userCode(), account));
    ASSERT_TRUE(settle([&] { return auth().connectionState().is(Kind::connected); }));
    ASSERT_TRUE(settle([&] { return LinkedAccount::id() == account && app->session()->status().connected; }));
    EXPECT_EQ(trayIconState(app->session()->status()), TrayIconState::noFolders);
    ASSERT_TRUE(settle([&] { return !welcomeShown(); })) << "the welcome screen gives way once linked";

    // A folder on this computer: the engine starts over it and both ways sync.
    const auto folder = addFolder(root);
    ASSERT_TRUE(settle([&] { return app->engine()->lanes().size() == 1; }));
    auto uploaded = [&] {
        for (const auto &file : fake.files(account))
            if (file.filename == QLatin1String("take1.wav"))
                return true;
        return false;
    };
    ASSERT_TRUE(settle(uploaded));
    quillmere::test::FakeLibraryFile remote;
    remote.accountId = account;
    remote.filename = QStringLiteral("from-studio.wav");
    remote.folderType = QStringLiteral("drive");
    remote.syncFolderUUID = folder->stableID().toString(QUuid::WithoutBraces).toUpper();
    remote.content = "RIFF from the studio";
    fake.addFile(remote);
    const QString downloaded = root + QStringLiteral("/from-studio.wav");
    ASSERT_TRUE(settle([&] { return QFileInfo::exists(downloaded); }));
    QFile arrived(downloaded);
    ASSERT_TRUE(arrived.open(QIODevice::ReadOnly));
    EXPECT_EQ(arrived.readAll(), QByteArray("RIFF from the studio"));
    ASSERT_TRUE(settle([&] { return trayIconState(app->session()->status()) == TrayIconState::idle; }));

    // The service revokes the sign-in: the next request finds out, the session signs out.
    for (const auto &token : fake.tokens(account))
        fake.revokeToken(token.token);
    ASSERT_TRUE(settle([&] { return auth().connectionState().is(Kind::disconnected); }));
    ASSERT_TRUE(settle([&] { return welcomeShown(); })) << "the welcome screen is back";
    EXPECT_FALSE(auth().hasLapsedSignIn()) << "a revocation is no lapse: nothing is kept";
    EXPECT_TRUE(app->mainWindow()->root()->welcomeView()->deviceLinkView()->waitingNotice().isEmpty());
    EXPECT_TRUE(app->engine()->lanes().empty());
    EXPECT_FALSE(app->vault()->data(KeychainVault::bearerTokenKey()));
    {
        ModelContext context(app->container());
        const bool wiped = context.fetch(FetchDescriptor<SyncFolder>()).empty()
            && context.fetch(FetchDescriptor<SyncFile>()).empty();
        EXPECT_TRUE(wiped) << "local sync state goes with the sign-in";
    }

    // Quit: the loop ends within the limit, and what is left behind opens again.
    app->requestQuit();
    ASSERT_TRUE(runUntil([&] { return loopsEnded == 1; }, QuillmereApp::quitTimeout + 500ms));
    const QString storePath = app->storePath();
    app.reset();
    EXPECT_NO_THROW(ModelContainerFactory::makeContainer(storePath));
    QStringList leftovers;
    for (const QString &place : {root, LibraryAPIClient::stagingFolder()}) {
        QDirIterator it(place, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.contains(QLatin1String("quillmere-tmp")) || path.startsWith(LibraryAPIClient::stagingFolder()))
                leftovers << path;
        }
    }
    EXPECT_TRUE(leftovers.isEmpty()) << leftovers.join(u' ').toStdString();
}

TEST_F(QuillmereAppTest, ARequestedResetRunsBeforeTheStoredTokenIsRead)
{
    const QString token = fake.issueToken(account);
    KeychainVault seeding{KeychainHelper(backend), [](const QString &) {}};
    seeding.setValue(TokenData{token, clock.currentDateTime().addDays(5)}.encoded(), KeychainVault::bearerTokenKey());
    ASSERT_TRUE(UserDefaults::standard().setBool(QStringLiteral("ResetLocalState"), true));

    launch();
    runFor(300ms);
    EXPECT_FALSE(auth().connectionState().is(Kind::connected)) << "the wiped token must not sign in";
    EXPECT_FALSE(app->vault()->data(KeychainVault::bearerTokenKey()));
    EXPECT_FALSE(UserDefaults::standard().contains(QStringLiteral("ResetLocalState")));
    EXPECT_TRUE(welcomeShown());
}

// A returning user, linked by a stored token that is still valid: the window never shows the
// welcome screen, not for the moment the check takes, and nothing scatters.
TEST_F(QuillmereAppTest, AStoredValidSignInNeverShowsTheWelcomeScreen)
{
    const QString token = fake.issueToken(account);
    KeychainVault seeding{KeychainHelper(backend), [](const QString &) {}};
    seeding.setValue(TokenData{token, clock.currentDateTime().addDays(5)}.encoded(), KeychainVault::bearerTokenKey());

    launch();
    QuillmereWindowView *root = app->mainWindow()->root();
    bool welcomeSeen = false;
    auto look = [&] {
        welcomeSeen = welcomeSeen || root->welcomeView()->isVisible() || root->aquarium().isScattering();
    };
    look();
    ASSERT_TRUE(settle([&] {
        look();
        return app->session()->status().connected && !root->isNeutralShown();
    }));
    for (int i = 0; i < 10; ++i) {
        runFor(50ms);
        look();
    }
    EXPECT_FALSE(welcomeSeen);
    EXPECT_FALSE(welcomeShown());
    EXPECT_TRUE(app->mainWindow()->statusPanel()->isVisible()) << "the signed-in page";
}

// The account command: the menu's entry opens the account window, which takes a linked
// user to the plans.
TEST_F(QuillmereAppTest, TheAccountCommandTakesALinkedUserToThePlans)
{
    const QString token = fake.issueToken(account);
    KeychainVault seeding{KeychainHelper(backend), [](const QString &) {}};
    seeding.setValue(TokenData{token, clock.currentDateTime().addDays(5)}.encoded(), KeychainVault::bearerTokenKey());
    launch();
    ASSERT_TRUE(settle([&] { return app->session()->status().connected; }));
    QAction *entry = app->tray()->accountAction();
    ASSERT_TRUE(entry);
    EXPECT_TRUE(app->mainWindow()->menuBar()->actions().contains(app->tray()->menu()->menuAction()))
        << "without a tray the window's menu bar carries the entry";
    entry->trigger();
    ASSERT_TRUE(app->accountWindow()->isVisible());
    ASSERT_TRUE(settle([&] {
        const AccountWindowView *view = app->accountWindow()->content();
        return view && view->step() == AccountWindowView::Step::selectPlan;
    })) << "connected: the account is fetched and the plan chooser shown";
}

// The token the keyring holds, read as the next launch would.
std::optional<QString> keptToken(InMemorySecretBackend &backend)
{
    KeychainVault reading{KeychainHelper(backend), [](const QString &) {}};
    const std::optional<QByteArray> bytes = reading.data(KeychainVault::bearerTokenKey());
    const std::optional<TokenData> token = bytes ? TokenData::decode(*bytes) : std::nullopt;
    return token ? std::optional(token->token) : std::nullopt;
}

// Quit while work that holds the sign-in is at the service; the teardown then turns the loop
// as the program does after exec(), so that work resumes after every part of the application
// is gone (under the sanitizers a read of a freed part fails).
TEST_F(QuillmereAppTest, AQuitWhileTheRefusedTokenIsSignedOutStillClearsIt)
{
    // Revoked at the service and in its last hour: the account check renews, is refused, and
    // the session signs out.
    const QString token = fake.issueToken(account);
    fake.revokeToken(token);
    KeychainVault seeding{KeychainHelper(backend), [](const QString &) {}};
    seeding.setValue(TokenData{token, clock.currentDateTime().addSecs(1800)}.encoded(), KeychainVault::bearerTokenKey());
    fake.delayNext("/api/v1/auth/token", 1500ms);
    fake.takeMostDelayedAtOnce();

    launch();
    ASSERT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }, 10s)) << "the sign-out is at the service";
    app->requestQuit();
    ASSERT_TRUE(runUntil([&] { return loopsEnded == 1; }, QuillmereApp::quitTimeout + 500ms));
    app.reset();
    runFor(2500ms);
    EXPECT_EQ(keptToken(backend), std::nullopt) << "the refused token is not signed in with at the next launch";
}

TEST_F(QuillmereAppTest, AQuitWhileARenewalIsAtTheServiceKeepsWhatTheServiceRenewed)
{
    // The service retires a token when it renews it: the one sent is dead once it answers.
    fake.setRotateTokensOnRefresh(true);
    const QString token = fake.issueToken(account);
    KeychainVault seeding{KeychainHelper(backend), [](const QString &) {}};
    seeding.setValue(TokenData{token, clock.currentDateTime().addSecs(1800)}.encoded(), KeychainVault::bearerTokenKey());
    fake.delayNext("/api/v1/auth/refresh", 1000ms);
    fake.takeMostDelayedAtOnce();

    launch();
    ASSERT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }, 10s)) << "the renewal is at the service";
    app->requestQuit();
    ASSERT_TRUE(runUntil([&] { return loopsEnded == 1; }, QuillmereApp::quitTimeout + 500ms));
    app.reset();
    runFor(2500ms);
    const std::optional<QString> kept = keptToken(backend);
    ASSERT_TRUE(kept);
    EXPECT_NE(*kept, token);
    bool live = false;
    for (const auto &issued : fake.tokens(account))
        live = live || issued.token == *kept;
    EXPECT_TRUE(live) << "the next launch signs in with the token the service renewed";
}


// A renewal whose answer never came (the service retired the token it was sent all the same):
// the retired token's refusal signs out without the wipe, and the prompt that follows says that
// the sign-in lapsed and that the folders and records are kept, until a sign-in connects.
TEST_F(QuillmereAppTest, ASignInThatLapsedSaysOnThePromptThatTheFoldersAndRecordsAreKept)
{
    fake.setRotateTokensOnRefresh(true);
    const QString token = fake.issueToken(account);
    KeychainVault seeding{KeychainHelper(backend), [](const QString &) {}};
    // In its last hour: the first request renews it first.
    seeding.setValue(TokenData{token, clock.currentDateTime().addSecs(1800)}.encoded(), KeychainVault::bearerTokenKey());
    LinkedAccount::setID(account);
    {
        ModelContext context(ModelContainerFactory::makeContainer(options.storePath));
        context.insert(std::make_shared<SyncFolder>(QStringLiteral("Sessions"), SyncFolderType::projectsFolder,
                                                    data.path() + QStringLiteral("/Sessions"), QStringList(),
                                                    SyncFolderSyncMode::bidirectional, true, 0, true, std::nullopt,
                                                    true, std::vector<std::shared_ptr<DAWConfiguration>>()));
        context.save();
    }
    fake.dropNext("/api/v1/auth/refresh", 1, true);

    launch();
    DeviceLinkView *prompt = app->mainWindow()->root()->welcomeView()->deviceLinkView();
    ASSERT_TRUE(settle([&] { return auth().connectionState().is(Kind::disconnected) && !keptToken(backend); }));
    ASSERT_TRUE(settle([&] { return welcomeShown(); }));
    EXPECT_TRUE(auth().hasLapsedSignIn());
    EXPECT_EQ(prompt->waitingNotice(), DeviceLinkView::lapsedNoticeFor(true));
    EXPECT_FALSE(prompt->waitingNotice().isEmpty());
    EXPECT_TRUE(prompt->waitingNotice().contains(QStringLiteral("kept")));
    {
        ModelContext context(app->container());
        EXPECT_EQ(context.fetch(FetchDescriptor<SyncFolder>()).size(), 1u) << "the records are kept";
    }

    // The same account signs in again: the line goes.
    app->mainWindow()->findChild<QPushButton *>(QStringLiteral("connectButton"))->click();
    ASSERT_TRUE(runUntil([&] { return auth().connectionState().is(Kind::polling); }));
    EXPECT_FALSE(prompt->waitingNotice().isEmpty()) << "kept while the link is under way";
    ASSERT_TRUE(fake.approveDevice(auth().connectionState().userCode(), account));
    ASSERT_TRUE(settle([&] { return auth().connectionState().is(Kind::connected); }));
    EXPECT_FALSE(auth().hasLapsedSignIn());
    EXPECT_TRUE(prompt->waitingNotice().isEmpty());
}

// An expired stored sign-in whose renewal is refused at start signs out with the records kept,
// and the prompt says so as it does for a sign-in that lapsed while running. It promises the
// records only while a sign-in of their account would keep them: not once a sign-in of another
// account wiped them (and stopped before it committed), nor where no account was recorded with
// them (a sign-in would wipe them too).
TEST_F(QuillmereAppTest, ASignInRefusedAtStartSaysWhatBecomesOfTheRecords)
{
    for (const bool accountRecorded : {false, true}) {
        SCOPED_TRACE(accountRecorded);
        const QString token = fake.issueToken(account);
        fake.revokeToken(token);
        KeychainVault seeding{KeychainHelper(backend), [](const QString &) {}};
        seeding.setValue(TokenData{token, clock.currentDateTime().addSecs(-60)}.encoded(),
                         KeychainVault::bearerTokenKey());
        if (accountRecorded)
            LinkedAccount::setID(account);
        {
            ModelContext context(ModelContainerFactory::makeContainer(options.storePath));
            context.insert(std::make_shared<SyncFolder>(QStringLiteral("Sessions"), SyncFolderType::projectsFolder,
                                                        data.path() + QStringLiteral("/Sessions"), QStringList(),
                                                        SyncFolderSyncMode::bidirectional, true, 0, true,
                                                        std::nullopt, true,
                                                        std::vector<std::shared_ptr<DAWConfiguration>>()));
            context.save();
        }

        launch();
        DeviceLinkView *prompt = app->mainWindow()->root()->welcomeView()->deviceLinkView();
        ASSERT_TRUE(settle([&] { return auth().hasFinishedStartupCheck() && !keptToken(backend); }));
        ASSERT_TRUE(settle([&] { return welcomeShown(); }));
        EXPECT_TRUE(auth().connectionState().is(Kind::disconnected));
        EXPECT_EQ(prompt->waitingNotice(), DeviceLinkView::lapsedNoticeFor(accountRecorded));
        {
            ModelContext context(app->container());
            EXPECT_EQ(context.fetch(FetchDescriptor<SyncFolder>()).size(), 1u) << "the records are kept";
        }

        // The account window's sign-in of another account wipes the records before it commits.
        ASSERT_TRUE(quillmere::test::await(app->session()->wipeLocalSyncState()));
        ASSERT_TRUE(settle([&] { return prompt->waitingNotice() == DeviceLinkView::lapsedNoticeFor(false); }))
            << "no promise once the records are gone";
        EXPECT_FALSE(prompt->waitingNotice().contains(QStringLiteral("kept")));
        app.reset();
        runFor(100ms);
        quillmere::test::drainEvents();
    }
}

// A quit while a lane's request waits for a renewal the service holds far beyond the quit's
// bound: the lane ends while the loop still runs (nothing of it is left for the teardown after
// the loop), and the renewal, once sent, still stores its answer when it comes.
TEST_F(QuillmereAppTest, AQuitWithARenewalAtTheServiceEndsEveryLaneBeforeTheLoopEnds)
{
    QTemporaryDir home;
    const QString root = QFileInfo(home.path()).canonicalFilePath() + QStringLiteral("/Sessions");
    ASSERT_TRUE(QDir().mkpath(root));
    const QString token = fake.issueToken(account);
    KeychainVault seeding{KeychainHelper(backend), [](const QString &) {}};
    seeding.setValue(TokenData{token, clock.currentDateTime().addDays(5)}.encoded(), KeychainVault::bearerTokenKey());
    LinkedAccount::setID(account);
    auto write = [&](const QString &name) {
        QFile file(root + u'/' + name);
        return file.open(QIODevice::WriteOnly) && file.write("RIFF " + name.toUtf8()) > 0;
    };
    auto uploaded = [&](const QString &name) {
        for (const auto &file : fake.files(account))
            if (file.filename == name)
                return true;
        return false;
    };

    launch();
    ASSERT_TRUE(settle([&] { return app->session()->status().connected; }));
    addFolder(root);
    ASSERT_TRUE(settle([&] { return app->engine()->lanes().size() == 1; }));
    ASSERT_TRUE(write(QStringLiteral("take1.wav")));
    ASSERT_TRUE(settle([&] { return uploaded(QStringLiteral("take1.wav")); }));

    // Expired at the service, not here: the lane's next request is refused and renews.
    fake.expireToken(token);
    fake.delayNext("/api/v1/auth/refresh", 10s);
    fake.takeMostDelayedAtOnce();
    ASSERT_TRUE(write(QStringLiteral("take2.wav")));
    ASSERT_TRUE(settle([&] { return fake.takeMostDelayedAtOnce() > 0; })) << "the renewal is at the service";

    std::vector<std::weak_ptr<SyncLaneInterface>> lanes;
    for (const auto &lane : app->engine()->lanes())
        lanes.push_back(lane);
    ASSERT_EQ(lanes.size(), 1u);
    bool lanesEnded = false;
    atLoopEnd = [&] {
        lanesEnded = std::all_of(lanes.begin(), lanes.end(), [](const auto &lane) { return lane.expired(); });
    };
    app->requestQuit();
    ASSERT_TRUE(runUntil([&] { return loopsEnded == 1; }, QuillmereApp::quitTimeout + 500ms));
    EXPECT_TRUE(lanesEnded) << "a lane waiting for the renewal is left to the teardown";
    atLoopEnd = nullptr;
}

TEST_F(QuillmereAppTest, AKeyringThatDoesNotAnswerHoldsTheQuitNoLongerThanItsBound)
{
    held.emplace(backend);
    options.secretBackend = &*held;
    launch();
    ASSERT_TRUE(runUntil([&] { return held->anyWaiting(); })) << "the start-up read waits for the keyring";

    QElapsedTimer sinceQuit;
    sinceQuit.start();
    app->requestQuit();
    ASSERT_TRUE(runUntil([&] { return loopsEnded == 1; }, QuillmereApp::quitTimeout + 500ms));
    // The prompt is answered long after the bound, so that a teardown that waits for it shows.
    std::thread answering([this] {
        std::this_thread::sleep_for(6s);
        held->release();
    });
    app.reset();
    const qint64 quitMs = sinceQuit.elapsed();
    answering.join();
    // The vault left running still finishes its calls through this test's keyring.
    KeychainVault::settleLeftWorkersForTesting();
    EXPECT_LE(quitMs, (QuillmereApp::quitTimeout + 300ms).count());
}

TEST_F(QuillmereAppTest, AStoreThatCannotBeOpenedEndsTheLaunchWithAMessage)
{
    QFile blocker(data.path() + QStringLiteral("/not-a-folder"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    options.storePath = blocker.fileName() + QStringLiteral("/Quillmere.sqlite");
    app = std::make_unique<QuillmereApp>(options);
    const std::optional<QString> failure = app->initialise();
    ASSERT_TRUE(failure);
    EXPECT_TRUE(failure->contains(options.storePath));
    runFor(50ms);
    EXPECT_FALSE(app->isRunning()) << "nothing runs over a store that is not there";
}

// A store that is refused, or that a full disk keeps from opening, is not called damaged: the
// message says what to do and that the database was left as it is.
TEST_F(QuillmereAppTest, AStoreThatIsRefusedOrOnAFullDiskIsNotCalledDamaged)
{
    options.storePath = data.path() + QStringLiteral("/in-the-way/Quillmere.sqlite");
    ASSERT_TRUE(QDir().mkpath(options.storePath));
    app = std::make_unique<QuillmereApp>(options);
    std::optional<QString> failure = app->initialise();
    ASSERT_TRUE(failure);
    EXPECT_TRUE(failure->contains(QStringLiteral("can be read and written"))) << failure->toStdString();
    EXPECT_FALSE(failure->contains(QStringLiteral("damaged"))) << failure->toStdString();
    EXPECT_TRUE(QFileInfo(options.storePath).isDir());
    app.reset();

    quillmere::test::SmallFileSystem disk;
    if (::geteuid() != 0)
        GTEST_SKIP() << disk.whyNot();
    ASSERT_TRUE(disk.mounted()) << disk.whyNot();
    options.storePath = disk.filePath(QStringLiteral("Quillmere.sqlite"));
    ModelContainerFactory::makeContainer(options.storePath).reset();
    ASSERT_TRUE(disk.fill());
    app = std::make_unique<QuillmereApp>(options);
    failure = app->initialise();
    ASSERT_TRUE(failure);
    EXPECT_TRUE(failure->contains(QStringLiteral("Free some space"))) << failure->toStdString();
    EXPECT_FALSE(failure->contains(QStringLiteral("damaged"))) << failure->toStdString();
    EXPECT_TRUE(QFileInfo::exists(options.storePath));
    app.reset();
}

} // namespace
