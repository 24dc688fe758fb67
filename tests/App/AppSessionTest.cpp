// The session between the sign-in state and the engine: the connection steps, the account
// check, revocation and the network's return.

#include "Accounts/AccountFlowController.h"
#include "Accounts/AuthState.h"
#include "Accounts/LinkedAccount.h"
#include "ActivityLog/SyncLogger.h"
#include "App/AppSession.h"
#include "App/EngineActions.h"
#include "Engine/NetworkMonitor.h"
#include "Engine/ScriptedLane.h"
#include "Engine/SyncEngine.h"
#include "Model/ModelContainer.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Http/TransportError.h"
#include "Platform/Notifications/NotificationCenter.h"
#include "Platform/Workspace/ApplicationEvents.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "fake-service/FakeHarborly.h"
#include "support/ScriptedService.h"
#include "support/TestSupport.h"
#include "support/TlsServer.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTimer>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::runFor;
using quillmere::test::runUntil;
using Kind = ConnectionState::Kind;

namespace {

// Engine operations that record their calls; the wipe stops the engine and deletes the
// folders, as the engine's does.
class ScriptedEngineActions : public EngineActions
{
public:
    explicit ScriptedEngineActions(SyncEngine &engine) : m_engine(engine) {}

    bool canHydrate() const override { return hydrates; }
    QCoro::Task<> hydrateSyncFolders() override
    {
        calls.push_back("hydrate, lanes " + std::to_string(m_engine.lanes().size()));
        co_return;
    }
    bool canSyncNow() const override { return true; }
    void requestManualSync() override { calls.push_back("syncNow"); }
    bool canPause() const override { return true; }
    void pauseAll() override { m_engine.setIsPaused(true); }
    void resumeAll() override { m_engine.setIsPaused(false); }
    bool canWipe() const override { return wipes; }
    QCoro::Task<> wipeLocalState() override
    {
        calls.push_back("wipe, lanes " + std::to_string(m_engine.lanes().size()));
        if (duringWipe)
            duringWipe();
        m_engine.stop();
        if (const auto &context = m_engine.storedModelContext()) {
            for (const auto &folder : context->fetch(FetchDescriptor<SyncFolder>()))
                context->remove(folder);
            context->save();
        }
        co_return;
    }

    bool hydrates = true;
    bool wipes = true;
    std::vector<std::string> calls;
    // Runs inside the wipe (what may happen while it runs).
    std::function<void()> duringWipe;

private:
    SyncEngine &m_engine;
};

class AppSessionTest : public ::testing::Test, protected quillmere::test::TokenFixture
{
protected:
    AppSessionTest()
    {
        fake.start();
        account = fake.addAccount();
        base = fake.baseURL();
        container = ModelContainerFactory::makeContainer(folder.filePath(QStringLiteral("Quillmere.sqlite")));
        engine = std::make_unique<SyncEngine>(std::make_shared<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens, clock)),
                                              vault, clock, applications, lanes.factory());
        actions = std::make_unique<ScriptedEngineActions>(*engine);
    }

    ~AppSessionTest() override
    {
        session.reset();
        engine.reset();
        auth.reset();
        runFor(50ms);
    }

    void linkStoredToken() { storeToken(fake.issueToken(account), clock.currentDateTime().addDays(10)); }

    // A folder with a location, stored as another run left it.
    void addFolder()
    {
        ModelContext context(container);
        context.insert(std::make_shared<SyncFolder>(QStringLiteral("Beats"), SyncFolderType::projectsFolder,
                                                    folder.filePath(QStringLiteral("Beats")), QStringList(),
                                                    SyncFolderSyncMode::bidirectional, true, 0, true, std::nullopt, true,
                                                    std::vector<std::shared_ptr<DAWConfiguration>>()));
        context.save();
    }

    AppSession &start()
    {
        auth = std::make_unique<AuthState>(vault, clock, ExternalURLOpener(), [this] { return base; });
        session = std::make_unique<AppSession>(*auth, *engine, *actions, network, container, clock);
        QObject::connect(session.get(), &AppSession::statusChanged, [this] { ++statusChanges; });
        session->start();
        return *session;
    }

    bool running() { return runUntil([&] { return engine->lanes().size() == 1; }); }
    size_t accountQuestions() const { return fake.requestsTo("GET", "/api/v1/account").size(); }

    QTemporaryDir folder;
    quillmere::test::FakeHarborly fake;
    qint64 account = 0;
    ManualClock clock{QDateTime::currentDateTimeUtc()};
    ApplicationEvents applications;
    quillmere::test::ScriptedLaneFactory lanes;
    NetworkMonitor network{NetworkMonitor::Source::Detached};
    std::shared_ptr<ModelContainer> container;
    std::unique_ptr<SyncEngine> engine;
    std::unique_ptr<ScriptedEngineActions> actions;
    std::unique_ptr<AuthState> auth;
    std::unique_ptr<AppSession> session;
    int statusChanges = 0;
};

TEST_F(AppSessionTest, ConnectingConfirmsTheAccountHydratesThenStartsAndLeavingStops)
{
    addFolder();
    linkStoredToken();
    start();
    ASSERT_TRUE(running());
    EXPECT_EQ(actions->calls, (std::vector<std::string>{"hydrate, lanes 0"}));
    EXPECT_EQ(LinkedAccount::id(), account) << "the account is recorded with the records";
    EXPECT_EQ(accountQuestions(), 1u);
    EXPECT_EQ(engine->storedModelContext(), session->context());
    EXPECT_TRUE(session->status().connected);
    EXPECT_EQ(trayIconState(session->status()), TrayIconState::idle);

    // A burst of changes is looked at once.
    runFor(150ms);
    const int before = statusChanges;
    engine->setIsStorageFull(true);
    engine->setIsPaused(true);
    engine->setIsStorageFull(false);
    runFor(50ms);
    EXPECT_EQ(statusChanges, before) << "no look before the delay";
    runFor(150ms);
    EXPECT_EQ(statusChanges, before + 1);
    EXPECT_TRUE(session->status().paused);

    auth->setConnectionState(ConnectionState::disconnected());
    ASSERT_TRUE(runUntil([&] { return engine->lanes().empty(); }));
    EXPECT_FALSE(session->status().connected);
    EXPECT_EQ(lanes.made.size(), 1u);
}

TEST_F(AppSessionTest, AnotherAccountsRecordsAreWipedBeforeAnythingSyncsAndNeverWithoutTheWipe)
{
    addFolder();
    LinkedAccount::setID(account + 100);
    linkStoredToken();
    actions->wipes = false;
    start();
    ASSERT_TRUE(runUntil([&] { return session->status().sessionProblem.has_value(); }));
    runFor(150ms);
    EXPECT_TRUE(engine->lanes().empty());
    EXPECT_TRUE(actions->calls.empty()) << "no hydration over the other account's records";
    EXPECT_EQ(LinkedAccount::id(), account + 100);
    EXPECT_EQ(trayIconState(session->status()), TrayIconState::error);

    // With a wipe: first the wipe, then hydration; the folder of the other account is gone.
    actions->wipes = true;
    auth->commitSignIn();
    ASSERT_TRUE(runUntil([&] { return actions->calls.size() == 2; }));
    EXPECT_EQ(actions->calls, (std::vector<std::string>{"wipe, lanes 0", "hydrate, lanes 0"}));
    EXPECT_EQ(LinkedAccount::id(), account);
    runFor(150ms);
    EXPECT_TRUE(engine->lanes().empty());
    EXPECT_FALSE(session->status().sessionProblem);
    EXPECT_EQ(trayIconState(session->status()), TrayIconState::noFolders);
}

TEST_F(AppSessionTest, AnUnknownAccountWithRecordsWaitsAndIsAskedAgainWhenTheNetworkReturns)
{
    addFolder();
    LinkedAccount::setID(account);
    linkStoredToken();
    // An answer without a whole-number id names no account: it is no other account either.
    const std::string noID = R"({"id":"7","name":"Ann","email":"a@example.com"})";
    fake.answerNext("/api/v1/account", 200, noID, -1);
    start();
    ASSERT_TRUE(runUntil([&] { return session->status().awaitingAccount; }));
    runFor(150ms);
    EXPECT_TRUE(engine->lanes().empty());
    EXPECT_TRUE(actions->calls.empty()) << "neither wiped nor hydrated";
    EXPECT_EQ(LinkedAccount::id(), account) << "0 is never recorded";
    EXPECT_EQ(trayIconState(session->status()), TrayIconState::hibernating);
    EXPECT_EQ(statusLine(session->status()), "Waiting for Harborly to confirm which account is linked");
    EXPECT_TRUE(auth->connectionState().is(Kind::connected)) << "an odd answer signs nobody out";

    fake.clearFaults();
    network.applyPathReport(PathReport{false, InterfaceKind::Unknown});
    network.applyPathReport(PathReport{true, InterfaceKind::Wired});
    ASSERT_TRUE(running());
    EXPECT_FALSE(session->status().awaitingAccount);
    EXPECT_EQ(accountQuestions(), 2u);
    EXPECT_EQ(actions->calls, (std::vector<std::string>{"hydrate, lanes 0"}));

    // Without the network, the question comes again after the interval.
    auth->commitSignIn();
    fake.answerNext("/api/v1/account", 200, R"({"id":0})", 1);
    ASSERT_TRUE(runUntil([&] { return session->status().awaitingAccount; }));
    clock.advance(AppSession::accountRetryInterval);
    ASSERT_TRUE(running());
    EXPECT_EQ(accountQuestions(), 4u);
}

// Records a sign-out spared before any account was recorded with them: a sign-in made since,
// whichever account it names, wipes them before it syncs; while its account cannot be learnt
// nothing is wiped or started. (The sign-in stored at the launch takes them up: see above.)
TEST_F(AppSessionTest, RecordsThatNameNoAccountAreWipedBeforeASignInMadeSinceSyncs)
{
    addFolder();
    start();
    runFor(150ms);
    ASSERT_FALSE(session->status().connected);

    linkStoredToken();
    fake.answerNext("/api/v1/account", 200, R"({"id":0})", 1);
    auth->commitSignIn();
    ASSERT_TRUE(runUntil([&] { return session->status().awaitingAccount; }));
    runFor(150ms);
    EXPECT_TRUE(actions->calls.empty()) << "never a wipe on an unknown";
    EXPECT_TRUE(engine->lanes().empty());
    EXPECT_EQ(LinkedAccount::id(), std::nullopt);

    clock.advance(AppSession::accountRetryInterval);
    ASSERT_TRUE(runUntil([&] { return actions->calls.size() == 2; }));
    EXPECT_EQ(actions->calls, (std::vector<std::string>{"wipe, lanes 0", "hydrate, lanes 0"}));
    EXPECT_EQ(LinkedAccount::id(), account);
    EXPECT_TRUE(ModelContext(container).fetch(FetchDescriptor<SyncFolder>()).empty());

    // Recorded now: the next sign-in of the same account keeps what it syncs.
    addFolder();
    auth->commitSignIn();
    ASSERT_TRUE(running());
    EXPECT_EQ(actions->calls.size(), 3u);
    EXPECT_EQ(actions->calls.back(), "hydrate, lanes 0");
}

TEST_F(AppSessionTest, NothingIsHydratedBeforeTheAccountIsRecorded)
{
    // An empty store and an account nobody can name: hydrating now would file the folders under
    // no account, and a later sign-in of another account would keep them.
    linkStoredToken();
    fake.answerNext("/api/v1/account", 404, R"({"message":"no"})", 1);
    start();
    ASSERT_TRUE(runUntil([&] { return session->status().awaitingAccount; }));
    runFor(150ms);
    EXPECT_TRUE(actions->calls.empty());
    EXPECT_EQ(LinkedAccount::id(), std::nullopt);

    clock.advance(AppSession::accountRetryInterval);
    ASSERT_TRUE(runUntil([&] { return actions->calls.size() == 1; }));
    EXPECT_EQ(LinkedAccount::id(), account) << "recorded before the hydration";
}

TEST_F(AppSessionTest, AnUnreachableServiceAtStartIsShownAsSuchAndRecoversAsHibernationDoes)
{
    addFolder();
    LinkedAccount::setID(account);
    linkStoredToken();
    fake.dropNext("/api/v1/account", 2);
    start();
    ASSERT_TRUE(runUntil([&] { return session->status().hibernating; }));
    EXPECT_FALSE(session->status().awaitingAccount);
    EXPECT_EQ(trayIconState(session->status()), TrayIconState::hibernating);
    EXPECT_EQ(statusLine(session->status()), "Harborly cannot be reached — trying again in 2 min");
    EXPECT_FALSE(canSyncNow(session->status()));
    EXPECT_TRUE(actions->calls.empty());
    EXPECT_TRUE(storedToken());

    // The first wait is 120 s; the next, after another failure, twice that.
    clock.advance(std::chrono::seconds(119));
    runFor(50ms);
    EXPECT_EQ(session->status().hibernationInterval, 120);
    clock.advance(std::chrono::seconds(1));
    ASSERT_TRUE(runUntil([&] { return session->status().hibernationInterval == 240; }));
    EXPECT_EQ(statusLine(session->status()), "Harborly cannot be reached — trying again in 4 min");

    clock.advance(std::chrono::seconds(240));
    ASSERT_TRUE(running());
    EXPECT_FALSE(session->status().hibernating);
    EXPECT_EQ(actions->calls, (std::vector<std::string>{"hydrate, lanes 0"}));
    const auto &entries = SyncLogger::shared().entries();
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const SyncLogger::Entry &entry) {
        return entry.detail == QStringLiteral("Server recovered — resuming sync");
    }));
}

// Behind a network that intercepts the connection with a certificate of its own, the line says
// why the service is silent: while the account check hibernates, and while a start-up renewal
// waits. Nothing is wiped or cleared.
TEST_F(AppSessionTest, ARefusedCertificateIsNamedInTheHibernationLine)
{
    const quillmere::test::Key key = quillmere::test::makeKey();
    const quillmere::test::Certificate selfSigned =
        quillmere::test::makeCertificate(key.get(), "127.0.0.1", "IP:127.0.0.1", -1, 30);
    quillmere::test::TlsServer intercepting(selfSigned.get(), key.get());
    base = intercepting.url(QStringLiteral("/"));
    addFolder();
    LinkedAccount::setID(account);
    linkStoredToken();
    start();
    ASSERT_TRUE(runUntil([&] { return session->status().hibernating; }));
    runFor(150ms);
    EXPECT_EQ(statusLine(session->status()),
              QStringLiteral("Harborly cannot be reached — trying again in 2 min — ")
                  + QString::fromUtf8(TransportError(TransportError::Code::certificateUntrusted).what()));
    EXPECT_TRUE(actions->calls.empty()) << "nothing wiped";
    EXPECT_TRUE(storedToken());
}

TEST_F(AppSessionTest, ARefusedCertificateIsNamedWhileAnExpiredSignInWaits)
{
    const quillmere::test::Key key = quillmere::test::makeKey();
    const quillmere::test::Certificate selfSigned =
        quillmere::test::makeCertificate(key.get(), "127.0.0.1", "IP:127.0.0.1", -1, 30);
    auto intercepting = std::make_unique<quillmere::test::TlsServer>(selfSigned.get(), key.get());
    base = intercepting->url(QStringLiteral("/"));
    storeToken(fake.issueToken(account), clock.currentDateTime().addSecs(-10));
    start();
    ASSERT_TRUE(runUntil([&] { return session->status().waitingForNetwork; }));
    runFor(150ms);
    EXPECT_EQ(statusLine(session->status()),
              QStringLiteral("Linked — waiting for Harborly to confirm the sign-in — ")
                  + QString::fromUtf8(TransportError(TransportError::Code::certificateUntrusted).what()));
    EXPECT_TRUE(storedToken()) << "the token is kept";

    // A later silence that names nothing: the line no longer blames the certificate.
    intercepting.reset();
    base = QUrl(QStringLiteral("http://127.0.0.1:1/"));
    network.applyPathReport(PathReport{false, InterfaceKind::Unknown});
    network.applyPathReport(PathReport{true, InterfaceKind::Wifi});
    ASSERT_TRUE(runUntil([&] { return statusLine(session->status()) == "Linked — waiting for Harborly to confirm the sign-in"; }));
}

// The network never changes: the waiting sign-in is asked about again on the hibernation's
// back-off, keeps its line (and the cause on it) while it is asked, and the check that gets
// through connects and clears the cause.
TEST_F(AppSessionTest, AWaitingStoredSignInIsCheckedAgainOnTheHibernationBackOff)
{
    const quillmere::test::Key key = quillmere::test::makeKey();
    const quillmere::test::Certificate selfSigned =
        quillmere::test::makeCertificate(key.get(), "127.0.0.1", "IP:127.0.0.1", -1, 30);
    quillmere::test::TlsServer intercepting(selfSigned.get(), key.get());
    base = intercepting.url(QStringLiteral("/"));
    storeToken(fake.issueToken(account), clock.currentDateTime().addSecs(-10));
    start();
    ASSERT_TRUE(runUntil([&] { return session->status().waitingForNetwork; }));
    const QString waitingLine = QStringLiteral("Linked — waiting for Harborly to confirm the sign-in — ")
        + QString::fromUtf8(TransportError(TransportError::Code::certificateUntrusted).what());
    ASSERT_EQ(statusLine(session->status()), waitingLine);
    ASSERT_TRUE(runUntil([&] { return clock.pendingSleepers() > 0; }));

    for (const int wait : {120, 240, 300, 300}) {
        clock.advance(std::chrono::seconds(wait - 1));
        runFor(50ms);
        EXPECT_FALSE(auth->isCheckingStoredSignIn()) << "not before " << wait << " s";
        clock.advance(1s);
        ASSERT_TRUE(runUntil([&] { return auth->isCheckingStoredSignIn(); })) << "checked again after " << wait << " s";
        EXPECT_EQ(statusLine(session->status()), waitingLine) << "the line keeps its wait while it is asked";
        ASSERT_TRUE(runUntil([&] { return !auth->isCheckingStoredSignIn() && clock.pendingSleepers() > 0; }));
        EXPECT_EQ(statusLine(session->status()), waitingLine);
    }
    EXPECT_TRUE(storedToken()) << "the token is kept";

    // The certificate is trusted again: the next check connects and the cause goes with the wait.
    base = fake.baseURL();
    clock.advance(300s);
    ASSERT_TRUE(runUntil([&] { return session->status().connected; }));
    EXPECT_FALSE(auth->isWaitingForNetwork());
    EXPECT_TRUE(auth->waitingCause().isEmpty());
    EXPECT_FALSE(session->status().waitingForNetwork);
    EXPECT_TRUE(fake.token(storedToken()->token)) << "the renewed token is stored";
}

TEST_F(AppSessionTest, RevocationWipesAndSignsOutOnceAndIgnoresTheRepeats)
{
    addFolder();
    linkStoredToken();
    start();
    ASSERT_TRUE(running());
    const size_t hydrations = actions->calls.size();

    fake.delayNext("/api/v1/auth/token", 300ms);
    fake.takeMostDelayedAtOnce();
    bool unlinkingDuringWipe = false;
    actions->duringWipe = [&] { unlinkingDuringWipe = session->isUnlinking(); };
    NotificationCenter::defaultCenter().post(NotificationName::quillmereAuthRevoked());
    NotificationCenter::defaultCenter().post(NotificationName::quillmereAuthRevoked());
    // The sign-out's request is held by the fake (it logs a request once answered): the token
    // is gone already, and so is the sign-in.
    ASSERT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }));
    EXPECT_TRUE(unlinkingDuringWipe) << "while unlinking the account counts as not connected";
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected)) << "signed out before the service is told";
    EXPECT_FALSE(storedToken());
    runFor(150ms);
    EXPECT_FALSE(session->status().connected);
    EXPECT_FALSE(session->isUnlinking());
    EXPECT_TRUE(engine->lanes().empty());
    NotificationCenter::defaultCenter().post(NotificationName::quillmereAuthRevoked());
    runFor(150ms);
    EXPECT_EQ(actions->calls.size(), hydrations + 1);
    EXPECT_EQ(actions->calls.back().substr(0, 4), "wipe");
    ASSERT_TRUE(runUntil([&] { return fake.requestsTo("DELETE", "/api/v1/auth/token").size() == 1; }));

    // Signed out already: a late notice does nothing.
    NotificationCenter::defaultCenter().post(NotificationName::quillmereAuthRevoked());
    runFor(150ms);
    EXPECT_EQ(actions->calls.size(), hydrations + 1);
}

TEST_F(AppSessionTest, ARevocationSignsOutOnlyTheRefusedTokenAndNotASignInCommittedDuringItsWipe)
{
    addFolder();
    linkStoredToken();
    start();
    ASSERT_TRUE(running());

    // Another sign-in is committed while the wipe runs: it is not the one the service refused.
    const QString newer = fake.issueToken(account);
    actions->duringWipe = [&] {
        storeToken(newer, clock.currentDateTime().addDays(10));
        auth->commitSignIn();
    };
    NotificationCenter::defaultCenter().post(NotificationName::quillmereAuthRevoked());
    ASSERT_TRUE(runUntil([&] { return actions->calls.back().substr(0, 4) == "wipe"; }));
    runFor(300ms);
    EXPECT_TRUE(auth->connectionState().is(Kind::connected));
    EXPECT_EQ(storedToken().value_or(TokenData{}).token, newer);
    EXPECT_TRUE(fake.requestsTo("DELETE", "/api/v1/auth/token").empty());
    ASSERT_TRUE(runUntil([&] { return session->status().connected && !session->isUnlinking(); }))
        << "the new sign-in is the connection now";

    // A token saved during the wipe but not committed: the refused one is revoked, the new one kept.
    const QString saved = fake.issueToken(account);
    actions->duringWipe = [&] { storeToken(saved, clock.currentDateTime().addDays(10)); };
    NotificationCenter::defaultCenter().post(NotificationName::quillmereAuthRevoked());
    ASSERT_TRUE(runUntil([&] { return auth->connectionState().is(Kind::disconnected); }));
    // Signed out once the token is gone; the service is told after.
    ASSERT_TRUE(runUntil([&] { return !fake.requestsTo("DELETE", "/api/v1/auth/token").empty(); }));
    const auto revokes = fake.requestsTo("DELETE", "/api/v1/auth/token");
    ASSERT_EQ(revokes.size(), 1u);
    EXPECT_EQ(revokes.front().header("Authorization"), ("Bearer " + newer).toStdString())
        << "the token stored when the notice arrived";
    EXPECT_EQ(storedToken().value_or(TokenData{}).token, saved);
}

// A sign-in of the account window that asked for the wipe but never committed (here the wipe
// failed; a sign-in stopped after its wipe takes the same way out): the account still connected runs again.
TEST_F(AppSessionTest, ASignInThatWipedOrTriedToButNeverCommittedLeavesTheSessionWhole)
{
    addFolder();
    linkStoredToken();
    start();
    ASSERT_TRUE(running());
    AppSession *shell = session.get();
    auto controller = std::make_unique<AccountFlowController>(
        *auth, clock, nullptr, [shell] { return shell->wipeLocalSyncState(); }, QString(), [this] { return base; });
    controller->setWipeAbandoned([shell] { shell->resumeAfterAbandonedWipe(); });

    // The engine cannot wipe: the sign-in fails and the engine, stopped for it, runs again.
    actions->wipes = false;
    RegistrationAPIClient::Registration form{QStringLiteral("Other"), QStringLiteral("other@example.com"),
                                             QStringLiteral("password1"), QStringLiteral("password1")};
    ASSERT_TRUE(controller->registerAccount(controller->beginOpening(), form));
    ASSERT_TRUE(runUntil([&] { return !controller->isBusy(); }));
    ASSERT_TRUE(running()) << "the connected account syncs again";

    EXPECT_EQ(LinkedAccount::id(), account);
    EXPECT_TRUE(auth->connectionState().is(Kind::connected));
}

TEST_F(AppSessionTest, ASignInCommittedWhileConnectedIsANewConnection)
{
    addFolder();
    linkStoredToken();
    start();
    ASSERT_TRUE(running());
    const auto first = session->context();
    const quint64 connection = session->connection();

    auth->commitSignIn();
    ASSERT_TRUE(runUntil([&] { return session->connection() > connection && engine->lanes().size() == 1; }));
    EXPECT_NE(session->context(), first) << "one model context per connection";
    EXPECT_EQ(engine->storedModelContext(), session->context());
    EXPECT_EQ(accountQuestions(), 2u);
    EXPECT_EQ(lanes.made.size(), 2u) << "the engine was stopped and started for the new connection";
}

TEST_F(AppSessionTest, TheNetworkReturningChecksAStoredSignInAgain)
{
    // An offline launch: the stored token has expired and cannot be renewed yet.
    storeToken(fake.issueToken(account), clock.currentDateTime().addSecs(-10));
    fake.dropNext("/api/v1/auth/refresh", -1);
    network.applyPathReport(PathReport{false, InterfaceKind::Unknown});
    start();
    ASSERT_TRUE(runUntil([&] { return auth->isWaitingForNetwork(); }));
    runFor(150ms);
    EXPECT_TRUE(storedToken()) << "the token is kept";
    EXPECT_FALSE(session->status().connected);
    EXPECT_TRUE(session->status().waitingForNetwork);
    EXPECT_EQ(trayIconState(session->status()), TrayIconState::offline);

    fake.clearFaults();
    network.applyPathReport(PathReport{true, InterfaceKind::Wifi});
    ASSERT_TRUE(runUntil([&] { return session->status().connected; }));
    EXPECT_TRUE(auth->connectionState().is(Kind::connected));
    EXPECT_EQ(trayIconState(session->status()), TrayIconState::noFolders);
}

TEST_F(AppSessionTest, TheLanesTryAgainOnANetworkThatCameBackOrChanged)
{
    addFolder();
    linkStoredToken();
    start();
    ASSERT_TRUE(running());
    const auto lane = lanes.made.back().lock();
    ASSERT_TRUE(lane);
    ASSERT_EQ(lane->networkChanges, 0);

    network.applyPathReport(PathReport{true, InterfaceKind::Wired});
    EXPECT_EQ(lane->networkChanges, 1);
    network.applyPathReport(PathReport{false, InterfaceKind::Unknown});
    EXPECT_EQ(lane->networkChanges, 1) << "no network: nothing to try on";
    network.applyPathReport(PathReport{true, InterfaceKind::Wifi});
    EXPECT_GE(lane->networkChanges, 2);
}

} // namespace
