#include "Accounts/AuthState.h"
#include "Accounts/KeychainVault.h"
#include "support/ScriptedService.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "fake-service/FakeHarborly.h"
#include "support/HeldWritesBackend.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

#include <condition_variable>
#include <mutex>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::await;
using quillmere::test::FakeHarborly;
using quillmere::test::runUntil;
using quillmere::test::ScriptedService;
using Reply = ScriptedService::Reply;
using Kind = ConnectionState::Kind;

namespace {

class AuthStateTest : public ::testing::Test, protected quillmere::test::TokenFixture
{
protected:
    void SetUp() override
    {
        fake.start();
        account = fake.addAccount();
    }

    void TearDown() override
    {
        auth.reset();
        // Cancelled transfers and sleeps end on later turns; let every frame finish.
        quillmere::test::runFor(50ms);
        quillmere::test::drainEvents();
    }

    // settle: wait (a moment at most) until the start-up check has read the vault, so that its
    // wait for a slow keyring is not taken for a sleep of the test's own.
    AuthState &make(KeychainVault *other = nullptr, bool settle = true)
    {
        auth = std::make_unique<AuthState>(other ? *other : vault, clock, ExternalURLOpener([this](const QUrl &url) {
                                               opened.push_back(url);
                                               return true;
                                           }),
                                           [this] { return fake.baseURL(); });
        if (settle) {
            quillmere::test::runFor(1ms); // the check starts on the next turn
            runUntil([&] { return auth->isWaitingForVault() || clock.pendingSleepers() == 0; }, 2s);
        }
        return *auth;
    }

    size_t requests(const char *method, const char *path) const { return fake.requestsTo(method, path).size(); }
    size_t polls() const { return requests("POST", "/api/v1/auth/device/token"); }
    // The poll loop has its answer and sleeps until the next poll.
    bool waitForSleep() { return runUntil([&] { return clock.pendingSleepers() > 0; }, 5s); }
    bool waitFor(Kind kind) { return runUntil([&] { return auth->connectionState().is(kind); }, 5s); }

    // The poll loop has sent this many polls and sleeps until the next.
    bool polledAndAsleep(size_t count) { return runUntil([&] { return polls() == count; }) && waitForSleep(); }
    // Starts a device link and waits for the first poll's answer.
    QString linkUntilFirstPoll()
    {
        const size_t before = polls();
        auth->beginDeviceLink();
        EXPECT_TRUE(waitFor(Kind::polling));
        EXPECT_TRUE(polledAndAsleep(before + 1));
        return auth->connectionState().userCode();
    }

    FakeHarborly fake;
    qint64 account = 0;
    ManualClock clock{QDateTime::currentDateTimeUtc()};
    std::vector<QUrl> opened;
    std::unique_ptr<AuthState> auth;
};

TEST_F(AuthStateTest, StartUpCheckRunsOnTheNextTurnAndReadsTheStoredToken)
{
    // No token: nothing is sent and nothing changes.
    make();
    quillmere::test::runFor(100ms);
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));
    EXPECT_TRUE(fake.requestLog().empty());

    // An unexpired token connects without a request, but only after the constructor returned.
    const QString token = fake.issueToken(account);
    storeToken(token, clock.currentDateTime().addSecs(60));
    make(nullptr, false);
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));
    ASSERT_TRUE(waitFor(Kind::connected));
    // currentToken() never refreshes: at its expiry there is none.
    EXPECT_EQ(await(auth->currentToken()), token);
    clock.advance(60s);
    EXPECT_EQ(await(auth->currentToken()), std::nullopt);
    EXPECT_TRUE(fake.requestLog().empty());
}

TEST_F(AuthStateTest, UnansweredRefreshKeepsTheTokenAndRetriesWhenTheNetworkReturnsARefusedOneClearsIt)
{
    const QString token = fake.issueToken(account);
    const QDateTime expiry = clock.currentDateTime().addSecs(-1);
    storeToken(token, expiry);
    fake.dropNext("/api/v1/auth/refresh", -1);
    make();
    ASSERT_TRUE(runUntil([&] { return auth->isWaitingForNetwork(); }));
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));
    EXPECT_EQ(storedToken(), (TokenData{token, expiry})) << "offline at login must not sign the user out";

    // A busy service is no verdict on the token either.
    fake.clearFaults();
    fake.answerNext("/api/v1/auth/refresh", 503, R"({"message":"maintenance"})");
    auth->networkBecameAvailable();
    EXPECT_TRUE(auth->isCheckingStoredSignIn());
    EXPECT_TRUE(auth->isWaitingForNetwork()) << "the wait stays shown while the check is repeated";
    ASSERT_TRUE(runUntil([&] { return !auth->isCheckingStoredSignIn(); }));
    EXPECT_TRUE(auth->isWaitingForNetwork());
    EXPECT_EQ(fake.requestsTo("POST", "/api/v1/auth/refresh").back().status, 503);
    EXPECT_EQ(storedToken(), (TokenData{token, expiry}));

    const size_t refreshes = requests("POST", "/api/v1/auth/refresh");
    auth->networkBecameAvailable();
    ASSERT_TRUE(waitFor(Kind::connected));
    EXPECT_EQ(requests("POST", "/api/v1/auth/refresh"), refreshes + 1);
    EXPECT_TRUE(fake.token(storedToken()->token)) << "the renewed token is stored";
    EXPECT_NE(storedToken()->token, token);
    EXPECT_FALSE(auth->isWaitingForNetwork());

    // Once connected, the network coming back does nothing.
    fake.clearRequestLog();
    auth->networkBecameAvailable();
    quillmere::test::runFor(50ms);
    EXPECT_TRUE(fake.requestLog().empty());

    // A refused refresh is a verdict: the token is cleared, silently.
    fake.revokeToken(storedToken()->token);
    storeToken(storedToken()->token, expiry);
    make();
    int changes = 0;
    QObject::connect(auth.get(), &AuthState::connectionStateChanged, [&changes] { ++changes; });
    ASSERT_TRUE(runUntil([&] { return requests("POST", "/api/v1/auth/refresh") == 1 && !storedToken(); }));
    quillmere::test::runFor(20ms);
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));
    EXPECT_EQ(changes, 0) << "no error shown";
    EXPECT_FALSE(auth->isWaitingForNetwork());
}

TEST_F(AuthStateTest, OnlyA400401Or403ToTheStartUpRenewalClearsTheToken)
{
    const QString token = fake.issueToken(account);
    const QDateTime expiry = clock.currentDateTime().addSecs(-1);
    // A misrouting proxy, a captive portal, a conflict, another shard, a validation answer:
    // none of them says the token is no good.
    for (const int status : {404, 407, 409, 421, 422}) {
        storeToken(token, expiry);
        fake.answerNext("/api/v1/auth/refresh", status, R"({"message":"not here"})");
        make();
        ASSERT_TRUE(runUntil([&] { return auth->isWaitingForNetwork(); })) << status;
        EXPECT_EQ(storedToken(), (TokenData{token, expiry})) << status;
        EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));
    }
    for (const int status : {400, 401, 403}) {
        storeToken(token, expiry);
        fake.answerNext("/api/v1/auth/refresh", status, R"({"message":"no"})");
        make();
        ASSERT_TRUE(runUntil([&] { return !storedToken(); })) << status;
        EXPECT_FALSE(auth->isWaitingForNetwork());
    }
}

// The service's address sends the start-up renewal on to another origin, which refuses it there
// without the token: no verdict, so the token and the renewal's mark stay and the check waits
// as for an answer that never came.
TEST_F(AuthStateTest, ARefusalOfTheStartUpRenewalWhereARedirectLedKeepsTheToken)
{
    const std::string refreshPath = "/api/v1/auth/refresh";
    ScriptedService elsewhere;
    service.always(refreshPath,
                   Reply{307, "{}", {{"Location", elsewhere.baseURL(QString::fromStdString(refreshPath)).toString().toStdString()}}});
    const QDateTime expiry = clock.currentDateTime().addSecs(-1);
    for (const int status : {400, 401, 403}) {
        storeToken(QStringLiteral("t0"), expiry);
        elsewhere.next(refreshPath, Reply{status});
        auth = std::make_unique<AuthState>(vault, clock, ExternalURLOpener([](const QUrl &) { return true; }),
                                           [this] { return service.baseURL(); });
        ASSERT_TRUE(runUntil([&] { return auth->isWaitingForNetwork(); })) << status;
        EXPECT_EQ(storedToken(), (TokenData{QStringLiteral("t0"), expiry})) << status;
        EXPECT_TRUE(await(tokens->renewalWasCutOff(QStringLiteral("t0")))) << status;
        EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));
        vault.removeValue(TokenManager::renewalMarkKey(KeychainVault::bearerTokenKey()));
    }
    EXPECT_EQ(elsewhere.seen(refreshPath).size(), 3u);
}

TEST_F(AuthStateTest, ALockedKeyringKeepsTheTokenAndIsReadAgain)
{
    // Stored by an earlier run; the keyring is locked at login.
    const QString token = fake.issueToken(account);
    const QDateTime expiry = clock.currentDateTime().addDays(1);
    const QByteArray item = KeychainVault::encode({{KeychainVault::bearerTokenKey(), TokenData{token, expiry}.encoded()}});
    backend.putItem(bundleIdentifier(), KeychainVault::vaultAccount(), item);
    backend.setReadFailure(2);
    make(nullptr, false);
    int waitingChanges = 0;
    QObject::connect(auth.get(), &AuthState::waitingChanged, [&waitingChanges] { ++waitingChanges; });
    ASSERT_TRUE(runUntil([&] { return auth->isWaitingForVault(); }));
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));
    EXPECT_EQ(waitingChanges, 1) << "the sign-in prompt hears of the wait";

    // The user unlocks it; the next read, one interval after the failed one, connects.
    backend.setReadFailure(std::nullopt);
    clock.advance(AuthState::vaultRetryInterval - 1ms);
    quillmere::test::runFor(50ms);
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));
    clock.advance(1ms);
    ASSERT_TRUE(waitFor(Kind::connected));
    EXPECT_FALSE(auth->isWaitingForVault());
    EXPECT_EQ(waitingChanges, 2) << "and of its end";
    EXPECT_EQ(backend.item(bundleIdentifier(), KeychainVault::vaultAccount()), item) << "nothing rewritten";
    EXPECT_TRUE(fake.requestLog().empty());

    // networkBecameAvailable() does not wait for the interval.
    backend.setReadFailure(2);
    KeychainVault locked{KeychainHelper(backend), [](const QString &) {}};
    make(&locked);
    ASSERT_TRUE(runUntil([&] { return auth->isWaitingForVault(); }));
    backend.setReadFailure(std::nullopt);
    auth->networkBecameAvailable();
    ASSERT_TRUE(waitFor(Kind::connected));
    auth.reset();
}

// A keyring whose read waits until the test lets it go, as one showing an unlock prompt does.
class PromptingBackend : public InMemorySecretBackend
{
public:
    Result read(const QString &service, const QString &account) override
    {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        m_answered.wait(lock, [this] { return m_open; });
        --m_waiting;
        lock.unlock();
        return InMemorySecretBackend::read(service, account);
    }
    void answer()
    {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_answered.notify_all();
    }
    // The reads from now on wait again, until the next answer().
    void hold()
    {
        std::lock_guard lock(m_mutex);
        m_open = false;
    }
    int waiting()
    {
        std::lock_guard lock(m_mutex);
        return m_waiting;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_answered;
    bool m_open = false;
    int m_waiting = 0;
};

TEST_F(AuthStateTest, AnUnansweredUnlockPromptShowsTheWaitAndKeepsTheToken)
{
    PromptingBackend prompting;
    const QString token = fake.issueToken(account);
    const QDateTime expiry = clock.currentDateTime().addDays(1);
    const QByteArray item = KeychainVault::encode({{KeychainVault::bearerTokenKey(), TokenData{token, expiry}.encoded()}});
    prompting.putItem(bundleIdentifier(), KeychainVault::vaultAccount(), item);
    {
        KeychainVault promptingVault{KeychainHelper(prompting), [](const QString &) {}};
        // Whatever happens below, the read ends and the sign-in state goes before the vault.
        const std::shared_ptr<void> before(nullptr, [&](void *) {
            prompting.answer();
            auth.reset();
        });
        make(&promptingVault, false);
        ASSERT_TRUE(runUntil([&] { return clock.pendingSleepers() > 0; }));
        clock.advance(AuthState::vaultAnswerLimit - 1ms);
        quillmere::test::runFor(50ms);
        EXPECT_FALSE(auth->isWaitingForVault()) << "a keyring that answers soon is not mentioned";
        clock.advance(1ms);
        ASSERT_TRUE(runUntil([&] { return auth->isWaitingForVault(); }));
        EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));

        // The user unlocks it: the same read goes on and connects with the stored token.
        prompting.answer();
        ASSERT_TRUE(waitFor(Kind::connected));
        EXPECT_FALSE(auth->isWaitingForVault());
        EXPECT_EQ(prompting.item(bundleIdentifier(), KeychainVault::vaultAccount()), item);
    }
}

// A sign-in saved while the start-up check's refusal is on its way must not be cleared with the
// refused token.
TEST_F(AuthStateTest, TheStartUpCheckClearsOnlyTheRefusedTokenWhileASignInSaves)
{
    storeToken(QStringLiteral("refused"), clock.currentDateTime().addSecs(-1));
    const TokenData signedIn{QStringLiteral("signed-in"), clock.currentDateTime().addDays(30)};
    // Saved by the account window (on the service's thread here) before the refusal arrives.
    service.next("/api/v1/auth/refresh", ScriptedService::Reply{401, "{}", {}, [&] {
                     vault.setValue(signedIn.encoded(), KeychainVault::bearerTokenKey());
                 }});
    auth = std::make_unique<AuthState>(vault, clock, ExternalURLOpener([](const QUrl &) { return true; }),
                                       [this] { return service.baseURL(); });
    ASSERT_TRUE(runUntil([&] { return auth->hasFinishedStartupCheck(); }, 5s));
    ASSERT_EQ(service.seen("/api/v1/auth/refresh").size(), 1u);
    quillmere::test::drainEvents();
    ASSERT_TRUE(storedToken()) << "the sign-in's token was cleared with the refused one";
    EXPECT_EQ(storedToken(), signedIn);
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected)) << "the sign-in is committed by its own path";
}

// While the keyring stays locked a renewal's mark cannot reach it, and a renewal sent unmarked
// could retire the token with no word of it: the start-up check sends none and keeps the token.
TEST_F(AuthStateTest, TheStartUpCheckRenewsNothingWhileTheKeyringCannotStoreTheMark)
{
    PromptingBackend prompting;
    prompting.answer();
    prompting.setReadFailure(2);
    KeychainVault lockedVault{KeychainHelper(prompting), [](const QString &) {}};
    const TokenData expired{QStringLiteral("expired"), clock.currentDateTime().addSecs(-1)};
    lockedVault.setValue(expired.encoded(), KeychainVault::bearerTokenKey());
    const std::shared_ptr<void> before(nullptr, [&](void *) { auth.reset(); });
    auth = std::make_unique<AuthState>(lockedVault, clock, ExternalURLOpener([](const QUrl &) { return true; }),
                                       [this] { return service.baseURL(); });
    ASSERT_TRUE(runUntil([&] { return auth->isWaitingForVault(); }, 5s));
    EXPECT_FALSE(auth->isWaitingForNetwork());
    EXPECT_THAT(service.seen("/api/v1/auth/refresh"), ::testing::IsEmpty());
    EXPECT_EQ(await(lockedVault.dataAsync(KeychainVault::bearerTokenKey())), expired.encoded());
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));

    // The keyring refused the write: the check goes again when the vault is next looked at,
    // and renews once the keyring is unlocked.
    service.next("/api/v1/auth/refresh", ScriptedService::tokenReply("renewed"));
    ASSERT_TRUE(runUntil([&] { return clock.pendingSleepers() > 0; }, 5s));
    prompting.setReadFailure(std::nullopt);
    clock.advance(AuthState::vaultRetryInterval);
    ASSERT_TRUE(waitFor(Kind::connected));
    EXPECT_EQ(service.seen("/api/v1/auth/refresh").size(), 1u);
}

// The keyring holds the renewal's mark (an unlock prompt): the check says that it waits for the
// keyring, not for the service, and renews as soon as the keyring has answered.
TEST_F(AuthStateTest, AMarkTheKeyringHoldsAtStartUpIsAWaitForTheKeyringCheckedAgainWhenItAnswers)
{
    quillmere::test::HeldWritesBackend held;
    KeychainVault heldVault{KeychainHelper(held), [](const QString &) {}};
    heldVault.setValue(TokenData{fake.issueToken(account), clock.currentDateTime().addSecs(-1)}.encoded(),
                       KeychainVault::bearerTokenKey());
    const std::shared_ptr<void> before(nullptr, [&](void *) {
        held.hold(false);
        auth.reset();
    });
    held.hold(true);
    make(&heldVault, false);
    ASSERT_TRUE(runUntil([&] { return held.waiting() == 1 && clock.pendingSleepers() > 0; }, 5s));
    clock.advance(AuthState::vaultAnswerLimit);
    ASSERT_TRUE(runUntil([&] { return auth->isWaitingForVault() || auth->isWaitingForNetwork(); }, 5s));
    EXPECT_TRUE(auth->isWaitingForVault());
    EXPECT_FALSE(auth->isWaitingForNetwork()) << "the service was never asked";
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));
    EXPECT_EQ(requests("POST", "/api/v1/auth/refresh"), 0u);

    held.hold(false);
    ASSERT_TRUE(waitFor(Kind::connected)) << "checked again once the keyring answered, with no sleep of the clock";
    EXPECT_FALSE(auth->isWaitingForVault());
    EXPECT_EQ(requests("POST", "/api/v1/auth/refresh"), 1u);
}

TEST_F(AuthStateTest, DeviceLinkPollsEveryFiveSecondsUntilApproved)
{
    make();
    quillmere::test::runFor(20ms);
    int changes = 0;
    QObject::connect(auth.get(), &AuthState::connectionStateChanged, [&changes] { ++changes; });
    const QString userCode = linkUntilFirstPoll();
    EXPECT_EQ(auth->connectionState().verificationUrl(), fake.url("/link").toString());
    EXPECT_TRUE(auth->hasPollingTask());

    // 428, then a 500 that is not shown, then approval.
    fake.answerNext("/api/v1/auth/device/token", 500, R"({"message":"oops"})");
    clock.advance(4s);
    quillmere::test::runFor(20ms);
    EXPECT_EQ(polls(), 1u) << "the next poll waits the full interval";
    clock.advance(1s);
    ASSERT_TRUE(polledAndAsleep(2));
    EXPECT_TRUE(auth->connectionState().is(Kind::polling));

    ASSERT_TRUE(fake.approveDevice(userCode, account));
    clock.advance(5s);
    ASSERT_TRUE(waitFor(Kind::connected));
    EXPECT_EQ(polls(), 3u);
    ASSERT_TRUE(storedToken());
    EXPECT_EQ(fake.token(storedToken()->token)->accountId, account);
    EXPECT_EQ(APIConfig::homeShardID(), QStringLiteral("shard-a")) << "the shard goes with the token";
    EXPECT_FALSE(auth->hasPollingTask());
    // requestingCode, polling, connected: the 500 changed nothing visible.
    EXPECT_EQ(changes, 3);
}

TEST_F(AuthStateTest, DeviceLinkEndsWithExpiryOrAnInvalidCode)
{
    make();
    const auto codeLasting = [&](const std::string &seconds, int pendingPolls) {
        fake.answerNext("/api/v1/auth/device", 200,
                        R"({"device_code":"d","user_code":"U","verification_url":"https://x.test/link","expires_in":)" +
                            seconds + "}");
        fake.answerNext("/api/v1/auth/device/token", 428, R"({"message":"pending"})", pendingPolls);
    };
    // The code's own lifetime, counted from the start of the loop.
    codeLasting("0", 1);
    auth->beginDeviceLink();
    ASSERT_TRUE(polledAndAsleep(1));
    clock.advance(5s);
    ASSERT_TRUE(waitFor(Kind::error));
    EXPECT_EQ(auth->connectionState().message(), "Device code expired. Please try again.");
    EXPECT_EQ(polls(), 1u);

    // A lifetime beyond any clock is cut to a day.
    codeLasting("9007199254740991", 3);
    auth->beginDeviceLink();
    ASSERT_TRUE(polledAndAsleep(2));
    // A sleeper wakes at its own deadline: polls at 5 s and at 24 h - 2 s, then a wake at 24 h + 3 s.
    clock.advance(std::chrono::hours(24) - 7s);
    ASSERT_TRUE(polledAndAsleep(3));
    clock.advance(5s);
    ASSERT_TRUE(polledAndAsleep(4));
    EXPECT_TRUE(auth->connectionState().is(Kind::polling));
    clock.advance(5s);
    ASSERT_TRUE(waitFor(Kind::error));
    EXPECT_EQ(polls(), 4u);

    // The service says the code expired.
    const QString userCode = linkUntilFirstPoll();
    fake.setDeviceCodeState(userCode, quillmere::test::FakeDeviceCode::State::expired);
    clock.advance(5s);
    ASSERT_TRUE(waitFor(Kind::error));
    EXPECT_EQ(auth->connectionState().message(), "Device code expired. Please try again.");

    // The service no longer knows the code (the user turned the link down).
    linkUntilFirstPoll();
    fake.answerNext("/api/v1/auth/device/token", 404, R"({"message":"Unknown device code"})");
    clock.advance(5s);
    ASSERT_TRUE(waitFor(Kind::error));
    EXPECT_EQ(auth->connectionState().message(), "Invalid device code. Please try again.");
    EXPECT_FALSE(auth->hasPollingTask());
    EXPECT_FALSE(storedToken());

    // A refused code request shows the client's message.
    fake.answerNext("/api/v1/auth/device", 503, "{}");
    auth->beginDeviceLink();
    ASSERT_TRUE(waitFor(Kind::error));
    EXPECT_EQ(auth->connectionState().message(), "Server returned error (503).");
}

TEST_F(AuthStateTest, LeavingPollingOrALateDeviceCodeStopsTheLoop)
{
    make();
    linkUntilFirstPoll();
    int changes = 0;
    QObject::connect(auth.get(), &AuthState::connectionStateChanged, [&changes] { ++changes; });
    auth->setConnectionState(auth->connectionState());
    EXPECT_EQ(changes, 0) << "an equal value is no change";
    EXPECT_TRUE(auth->hasPollingTask());
    auth->setConnectionState(ConnectionState::disconnected());
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(auth->hasPollingTask());
    clock.advance(30s);
    quillmere::test::runFor(50ms);
    EXPECT_EQ(polls(), 1u);

    // The account window finished a registration while the code was on its way.
    fake.delayNext("/api/v1/auth/device", 200ms);
    auth->beginDeviceLink();
    auth->setConnectionState(ConnectionState::connected());
    ASSERT_TRUE(runUntil([&] { return requests("POST", "/api/v1/auth/device") == 2; }));
    quillmere::test::runFor(300ms);
    EXPECT_TRUE(auth->connectionState().is(Kind::connected));
    EXPECT_FALSE(auth->hasPollingTask());
    EXPECT_EQ(polls(), 1u);
}

TEST_F(AuthStateTest, DisconnectWhilePollingSavesNoToken)
{
    make();
    const QString userCode = linkUntilFirstPoll();
    ASSERT_TRUE(fake.approveDevice(userCode, account));
    // The approving poll is on its way when the user disconnects.
    fake.delayNext("/api/v1/auth/device/token", 200ms);
    clock.advance(5s);
    quillmere::test::runFor(20ms);
    ASSERT_EQ(clock.pendingSleepers(), 0u) << "the poll is out";
    auth->disconnect();
    EXPECT_FALSE(auth->hasPollingTask());
    ASSERT_TRUE(waitFor(Kind::disconnected));
    quillmere::test::runFor(400ms);
    clock.advance(30s);
    quillmere::test::runFor(50ms);
    ASSERT_TRUE(runUntil([&] { return polls() == 2; }));
    EXPECT_EQ(fake.deviceCodes().back().state, quillmere::test::FakeDeviceCode::State::spent)
        << "the service did hand out the token";
    EXPECT_FALSE(storedToken());
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));
    EXPECT_EQ(requests("DELETE", "/api/v1/auth/token"), 0u) << "nothing stored, nothing to revoke";
}

TEST_F(AuthStateTest, DisconnectRevokesAndClearsTheToken)
{
    const QString token = fake.issueToken(account);
    storeToken(token, clock.currentDateTime().addDays(10));
    make();
    ASSERT_TRUE(waitFor(Kind::connected));
    auth->setInMaintenanceMode(true);

    // The service is slow to answer the revoke: the token is gone already, and so is the sign-in.
    fake.delayNext("/api/v1/auth/token", 2s);
    auth->disconnect();
    ASSERT_TRUE(runUntil([&] { return requests("DELETE", "/api/v1/auth/token") == 1; }));
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected)) << "signed out before the service has answered";
    EXPECT_FALSE(auth->isInMaintenanceMode());
    EXPECT_FALSE(storedToken());
    ASSERT_TRUE(runUntil([&] { return fake.token(token)->revoked; }, 5s));
    EXPECT_EQ(fake.requestsTo("DELETE", "/api/v1/auth/token").front().header("Authorization"),
              ("Bearer " + token).toStdString());

    // A revoke the service refuses still clears the token locally.
    storeToken(QStringLiteral("tok-unknown"), clock.currentDateTime().addDays(1));
    auth->setConnectionState(ConnectionState::connected());
    auth->disconnect();
    ASSERT_TRUE(waitFor(Kind::disconnected));
    EXPECT_FALSE(storedToken());
}

TEST_F(AuthStateTest, SignOutKeepsASignInCommittedWhileItRevoked)
{
    const QString revoked = fake.issueToken(account);
    storeToken(revoked, clock.currentDateTime().addDays(10));
    make();
    ASSERT_TRUE(waitFor(Kind::connected));

    // The service is slow to answer the revoke; meanwhile another sign-in saves its token.
    fake.delayNext("/api/v1/auth/token", 300ms);
    auth->disconnect();
    ASSERT_TRUE(runUntil([&] { return requests("DELETE", "/api/v1/auth/token") == 1; }));
    const QString newer = fake.issueToken(account);
    storeToken(newer, clock.currentDateTime().addDays(10));
    auth->commitSignIn();

    ASSERT_TRUE(runUntil([&] { return fake.token(revoked)->revoked; }));
    quillmere::test::runFor(300ms);
    const auto stored = storedToken();
    ASSERT_TRUE(stored) << "only the revoked token is cleared";
    EXPECT_EQ(stored->token, newer);
    EXPECT_TRUE(auth->connectionState().is(Kind::connected)) << "the later sign-in decides the state";
}

// The renewal's answer is stored while the sign-out waits for the vault: neither the old
// token nor the renewed one may be left to sign in with.
TEST_F(AuthStateTest, ASignOutDuringARenewalLeavesNoTokenOfItsSessionStored)
{
    quillmere::test::HeldWritesBackend held;
    KeychainVault heldVault{KeychainHelper(held), [](const QString &) {}};
    heldVault.setValue(TokenData{QStringLiteral("old"), clock.currentDateTime().addDays(1)}.encoded(),
                       KeychainVault::bearerTokenKey());
    std::mutex answering;
    std::condition_variable answer;
    bool answered = false;
    Reply renewal = ScriptedService::tokenReply("renewed");
    renewal.before = [&] {
        std::unique_lock lock(answering);
        answer.wait(lock, [&] { return answered; });
    };
    service.next("/api/v1/auth/refresh", std::move(renewal));
    const auto answerNow = [&] {
        {
            std::lock_guard lock(answering);
            answered = true;
        }
        answer.notify_all();
    };
    const std::shared_ptr<void> before(nullptr, [&](void *) {
        answerNow();
        held.hold(false);
        auth.reset();
    });
    auth = std::make_unique<AuthState>(heldVault, clock, ExternalURLOpener([](const QUrl &) { return true; }),
                                       [this] { return service.baseURL(); });
    ASSERT_TRUE(waitFor(Kind::connected));

    auto renewing = auth->tokenManager().refreshToken();
    ASSERT_TRUE(runUntil([&] { return service.seen("/api/v1/auth/refresh").size() == 1; }, 5s));
    // The vault is busy with a write of its own when the user signs out...
    held.hold(true);
    auto busy = heldVault.setValueAsync("elsewhere", QStringLiteral("unrelated"));
    ASSERT_TRUE(runUntil([&] { return held.waiting() == 1; }, 5s));
    auth->disconnect();
    // ...and the renewal's answer arrives before the vault has done anything for the sign-out.
    answerNow();
    quillmere::test::runFor(200ms);
    held.hold(false);
    await(std::move(busy));
    EXPECT_EQ(await(std::move(renewing)).token, QStringLiteral("renewed"));
    ASSERT_TRUE(waitFor(Kind::disconnected));
    ASSERT_TRUE(runUntil([&] { return service.seen("/api/v1/auth/token").size() == 1; }, 5s));
    quillmere::test::drainEvents();
    EXPECT_FALSE(heldVault.data(KeychainVault::bearerTokenKey())) << "a token of the signed-out session is stored";
    EXPECT_EQ(service.seen("/api/v1/auth/token").front().authorization, "Bearer old");
}

TEST_F(AuthStateTest, OpensOnlySecureVerificationPages)
{
    make();
    EXPECT_TRUE(auth->openVerificationURL(QStringLiteral("https://harborly.app/link")));
    EXPECT_TRUE(auth->openVerificationURL(fake.url("/link").toString()));
    for (const char *text : {"http://harborly.app/link", "file:///etc/passwd", "javascript:alert(1)",
                             "quillmere://apple-callback", "https://harborly.app@evil.test/link", "/link", ""}) {
        EXPECT_THROW(auth->openVerificationURL(QString::fromLatin1(text)), ExternalURLOpener::RefusedURLError) << text;
    }
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened.front(), QUrl(QStringLiteral("https://harborly.app/link")));
}

} // namespace
