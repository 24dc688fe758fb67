#include "Accounts/AccountFlowController.h"
#include "ActivityLog/SyncLogger.h"
#include "support/AccountFlowFixture.h"
#include "support/ScriptedService.h"

#include <gmock/gmock.h>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::runUntil;
using Kind = AccountFlowController::Outcome::Kind;

namespace {

class AccountFlow : public ::testing::Test, protected quillmere::test::AccountFlowFixture
{
protected:
    RegistrationAPIClient::Registration form(const QString &email = QStringLiteral("new@example.com"))
    {
        return {QStringLiteral("New"), email, QStringLiteral("password1"), QStringLiteral("password1")};
    }

    bool connectedWith(const QString &token)
    {
        return runUntil([&] { return auth->connectionState().is(ConnectionState::Kind::connected); }, 5s)
               && storedToken() == token;
    }
};

} // namespace

TEST_F(AccountFlow, RegistrationSavesTheTokenRecordsTheAccountAndCommitsOnce)
{
    make();
    int commits = 0;
    QObject::connect(auth.get(), &AuthState::signInCommitted, [&] { ++commits; });
    const quint64 opening = controller->beginOpening();
    ASSERT_TRUE(controller->registerAccount(opening, form()));
    EXPECT_TRUE(controller->isBusy());
    EXPECT_FALSE(controller->signInWithApple(opening)) << "one request at a time";

    const auto outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    ASSERT_EQ(outcome->kind, Kind::signedIn);
    EXPECT_TRUE(outcome->tokenSaved);
    EXPECT_EQ(outcomes.back().first, opening);
    EXPECT_FALSE(controller->isBusy());
    EXPECT_TRUE(connectedWith(outcome->response.token));
    EXPECT_EQ(LinkedAccount::id(), outcome->response.user.id);
    EXPECT_EQ(commits, 1);
    EXPECT_EQ(auth->signInGeneration(), 1u);
    EXPECT_EQ(wipes, 0) << "no account was linked before";
    EXPECT_EQ(fake.requestsTo("POST", "/api/v1/auth/register").size(), 1u);
}

TEST_F(AccountFlow, AnotherAccountIsWipedBeforeItsTokenIsSavedAndTheSameOneIsNot)
{
    const QString tokenA = linkWith(accountA);
    LinkedAccount::setID(accountA);
    make();
    ASSERT_TRUE(connectedWith(tokenA));

    // Apple signs in account B: local state goes first, while A's token is still the stored one.
    nextCode = fake.addAppleSignInCode(accountB);
    ASSERT_TRUE(controller->signInWithApple(controller->beginOpening()));
    auto outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    ASSERT_EQ(outcome->kind, Kind::signedIn);
    EXPECT_EQ(wipes, 1);
    EXPECT_EQ(tokenAtWipe, tokenA);
    EXPECT_TRUE(connectedWith(outcome->response.token));
    EXPECT_EQ(LinkedAccount::id(), accountB);

    // Google signs in B again: nothing to wipe.
    nextCode = fake.addGoogleSignInCode(accountB);
    ASSERT_TRUE(controller->signInWithGoogle(controller->beginOpening()));
    outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, Kind::signedIn);
    EXPECT_EQ(wipes, 1);

    // A refused wipe saves nothing and commits nothing.
    wipeSucceeds = false;
    const QString tokenB = *storedToken();
    const quint64 generation = auth->signInGeneration();
    nextCode = fake.addAppleSignInCode(accountA);
    ASSERT_TRUE(controller->signInWithApple(controller->beginOpening()));
    outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, Kind::failed);
    EXPECT_EQ(outcome->message, AccountFlowController::wipeFailedMessage);
    EXPECT_EQ(storedToken(), tokenB);
    EXPECT_EQ(LinkedAccount::id(), accountB);
    EXPECT_EQ(auth->signInGeneration(), generation);
}

// Sync records kept by a sign-out that spared them before any account was recorded: any
// sign-in wipes them before its token is saved, unless nobody can say which account it is (the
// shell's check then wipes them once it can); recorded, the account's next sign-in keeps them.
TEST_F(AccountFlow, RecordsThatNameNoAccountAreWipedBeforeASignInSavesItsToken)
{
    make();
    bool records = true;
    controller->setHasLocalSyncRecords([&records] { return records; });

    // The new account cannot be learnt: nothing is wiped, and nothing recorded.
    nextCode = fake.addAppleSignInCode(accountA);
    const std::string withoutID = R"(,"user":{"id":0,"name":"Ann","email":"a@example.com","plan":"silver"})";
    fake.answerNext("/api/v1/auth/apple/exchange", 200,
                    quillmere::test::ScriptedService::tokenReply("t-unknown", "2031-05-04T10:20:30Z", withoutID).body, 1);
    fake.answerNext("/api/v1/account", 500, "{}", -1);
    ASSERT_TRUE(controller->signInWithApple(controller->beginOpening()));
    auto outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, Kind::signedIn) << outcome->message.toStdString();
    EXPECT_EQ(wipes, 0) << "never a wipe on an unknown account";
    EXPECT_EQ(LinkedAccount::id(), std::nullopt);
    fake.clearFaults();
    auth->setConnectionState(ConnectionState::disconnected());

    nextCode = fake.addAppleSignInCode(accountA);
    ASSERT_TRUE(controller->signInWithApple(controller->beginOpening()));
    outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    ASSERT_EQ(outcome->kind, Kind::signedIn);
    EXPECT_EQ(wipes, 1);
    EXPECT_EQ(tokenAtWipe, "t-unknown") << "wiped before the new token was saved";
    EXPECT_EQ(LinkedAccount::id(), accountA);

    // Recorded now: the same account's next sign-in keeps what it syncs.
    auth->setConnectionState(ConnectionState::disconnected());
    nextCode = fake.addGoogleSignInCode(accountA);
    ASSERT_TRUE(controller->signInWithGoogle(controller->beginOpening()));
    outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, Kind::signedIn);
    EXPECT_EQ(wipes, 1);
}

// The window's sign-in is stopped (its controller goes, as at a quit) while the keyring stores
// the new account's token: the token is saved, so the sign-in is made, with its address, shard
// and account, and is never handed back to the shell as an uncommitted connection.
TEST_F(AccountFlow, ASignInStoppedOnceItsTokenIsSavedIsCommittedWithItsAccountAndShard)
{
    const QString tokenA = linkWith(accountA);
    LinkedAccount::setID(accountA);
    APIConfig::setHomeShardID(QStringLiteral("shard-of-a"));
    make();
    ASSERT_TRUE(connectedWith(tokenA));
    int handedBack = 0;
    controller->setWipeAbandoned([&handedBack] { ++handedBack; });
    const quint64 generation = auth->signInGeneration();

    nextCode = fake.addAppleSignInCode(accountB);
    backend.hold(true);
    ASSERT_TRUE(controller->signInWithApple(controller->beginOpening()));
    ASSERT_TRUE(runUntil([&] { return backend.waiting() == 1; })) << "the token is being saved";
    EXPECT_EQ(wipes, 1);
    controller.reset();
    backend.hold(false);
    ASSERT_TRUE(runUntil([&] { return auth->signInGeneration() != generation; }));
    quillmere::test::drainEvents();
    EXPECT_EQ(auth->signInGeneration(), generation + 1);
    EXPECT_NE(storedToken(), tokenA);
    EXPECT_EQ(LinkedAccount::id(), accountB);
    EXPECT_NE(APIConfig::homeShardID(), QStringLiteral("shard-of-a")) << "the new account's shard goes with its token";
    EXPECT_EQ(handedBack, 0) << "committed, so nothing is handed back";
    EXPECT_TRUE(auth->connectionState().is(ConnectionState::Kind::connected));
}

TEST_F(AccountFlow, WithoutARecordedAccountTheServiceTellsWhoseTokenIsStored)
{
    const QString tokenA = linkWith(accountA);
    make();
    ASSERT_TRUE(connectedWith(tokenA));

    // Unknown: the account request fails, so nothing is wiped and nothing saved.
    fake.answerNext("/api/v1/account", 500, "{}", -1);
    nextCode = fake.addAppleSignInCode(accountB);
    ASSERT_TRUE(controller->signInWithApple(controller->beginOpening()));
    auto outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->message, AccountFlowController::unknownLinkedAccountMessage);
    EXPECT_EQ(wipes, 0);
    EXPECT_EQ(storedToken(), tokenA);

    // Known: account A's token is stored, so B's sign-in wipes first.
    fake.clearFaults();
    nextCode = fake.addAppleSignInCode(accountB);
    ASSERT_TRUE(controller->signInWithApple(controller->beginOpening()));
    outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, Kind::signedIn);
    EXPECT_EQ(wipes, 1);
    EXPECT_EQ(tokenAtWipe, tokenA);
}

TEST_F(AccountFlow, AReplyWithoutAnIdIsAskedAboutAndItsShardIsStoredOnlyWithItsToken)
{
    const QString tokenA = linkWith(accountA);
    LinkedAccount::setID(accountA);
    APIConfig::setHomeShardID(QStringLiteral("shard-a"));
    make();
    ASSERT_TRUE(connectedWith(tokenA));
    // An exchange answer whose user has no whole-number id.
    const auto answerWithoutID = [&](const QString &token) {
        fake.answerNext("/api/v1/auth/apple/exchange", 200,
                        R"({"user":{"id":"x","name":"Bo"},"token":")" + token.toStdString()
                            + R"(","expires_at":"2031-05-04T10:20:30Z","shard_id":"shard-b"})");
        nextCode = fake.addAppleSignInCode(accountB);
        return controller->signInWithApple(controller->beginOpening());
    };

    // The account request made with the new token names B: A's state must go, and when it
    // cannot, nothing of B's (token, shard) is kept.
    wipeSucceeds = false;
    ASSERT_TRUE(answerWithoutID(fake.issueToken(accountB)));
    auto outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->message, AccountFlowController::wipeFailedMessage);
    EXPECT_EQ(wipes, 1);
    EXPECT_EQ(storedToken(), tokenA);
    EXPECT_EQ(APIConfig::homeShardID(), QStringLiteral("shard-a")) << "A's requests keep going to A's shard";

    wipeSucceeds = true;
    const QString tokenB = fake.issueToken(accountB);
    ASSERT_TRUE(answerWithoutID(tokenB));
    outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    ASSERT_EQ(outcome->kind, Kind::signedIn);
    EXPECT_EQ(outcome->response.user.id, accountB);
    EXPECT_TRUE(connectedWith(tokenB));
    EXPECT_EQ(LinkedAccount::id(), accountB);
    EXPECT_EQ(APIConfig::homeShardID(), QStringLiteral("shard-b"));

    // Nobody can say whose the new token is: nothing is wiped, saved or recorded.
    fake.answerNext("/api/v1/account", 503, "{}", -1);
    ASSERT_TRUE(answerWithoutID(fake.issueToken(accountA)));
    outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->message, AccountFlowController::unknownSignedInAccountMessage);
    EXPECT_EQ(wipes, 2);
    EXPECT_EQ(storedToken(), tokenB);
    EXPECT_EQ(LinkedAccount::id(), accountB);
}

TEST_F(AccountFlow, ADeviceLinkInProgressEndsBeforeAnythingIsWipedOrSaved)
{
    LinkedAccount::setID(accountA);
    make();
    auth->beginDeviceLink();
    ASSERT_TRUE(runUntil([&] { return auth->connectionState().is(ConnectionState::Kind::polling); }, 5s));
    const QString userCode = auth->connectionState().userCode();

    ASSERT_TRUE(controller->registerAccount(controller->beginOpening(), form()));
    const auto outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    ASSERT_EQ(outcome->kind, Kind::signedIn);
    EXPECT_EQ(pollingAtWipe, false) << "a link approved during the wipe would store its token";

    // The link is approved afterwards: no poll is left to store it.
    fake.approveDevice(userCode, accountA);
    clock.advance(AuthState::pollInterval * 3);
    quillmere::test::runFor(100ms);
    EXPECT_EQ(storedToken(), outcome->response.token);
}

TEST_F(AccountFlow, AKeyringThatRefusesTheTokenLeavesTheAccountConnectedAndSaysSo)
{
    make();
    backend.setWriteFailure(-1);
    const size_t logged = SyncLogger::shared().entries().size();
    ASSERT_TRUE(controller->registerAccount(controller->beginOpening(), form()));
    const auto outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, Kind::signedIn);
    EXPECT_FALSE(outcome->tokenSaved);
    EXPECT_TRUE(auth->connectionState().is(ConnectionState::Kind::connected));
    ASSERT_TRUE(runUntil([&] { return SyncLogger::shared().entries().size() == logged + 1; }, 2s));
    const auto &entries = SyncLogger::shared().entries();
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const SyncLogger::Entry &entry) {
        return entry.detail.value_or(QString()).contains(QStringLiteral("could not be saved"));
    }));
}

TEST_F(AccountFlow, BrowserWaitEndsWhenItsWindowClosesAndAfterTenMinutes)
{
    auto waiting = std::make_shared<quillmere::test::WaitingWebAuthSession>();
    make(waiting);

    // Closing another opening's window leaves the wait alone; closing its own ends it quietly.
    const quint64 first = controller->beginOpening();
    ASSERT_TRUE(controller->signInWithApple(first));
    ASSERT_TRUE(runUntil([&] { return waiting->started == 1; }, 5s));
    controller->endOpening(first + 1);
    EXPECT_FALSE(nextOutcome(200ms));
    controller->endOpening(first);
    auto outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, Kind::cancelled);

    // Nobody answers: the wait ends at ten minutes with a message, not before.
    ASSERT_TRUE(controller->signInWithGoogle(controller->beginOpening()));
    ASSERT_TRUE(runUntil([&] { return waiting->started == 2; }, 5s));
    clock.advance(AccountFlowController::browserSignInLimit - 1s);
    EXPECT_FALSE(nextOutcome(200ms));
    clock.advance(1s);
    outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, Kind::failed);
    EXPECT_EQ(outcome->message, AccountFlowController::timedOutMessage);
}

TEST_F(AccountFlow, ARegistrationSentBeforeTheWindowClosedStillLands)
{
    make();
    fake.delayNext("/api/v1/auth/register", 300ms);
    const quint64 opening = controller->beginOpening();
    ASSERT_TRUE(controller->registerAccount(opening, form()));
    quillmere::test::runFor(50ms);
    controller->endOpening(opening);
    const auto outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, Kind::signedIn);
    EXPECT_TRUE(connectedWith(outcome->response.token));
}

TEST_F(AccountFlow, TheConnectedAccountIsLoadedUnlessASignInCommitsMeanwhile)
{
    make();
    EXPECT_EQ(quillmere::test::await(controller->loadSignedInAccount()), std::nullopt) << "not connected";
    EXPECT_TRUE(fake.requestsTo("GET", "/api/v1/account").empty());

    const QString tokenA = linkWith(accountA);
    make();
    ASSERT_TRUE(connectedWith(tokenA));
    const auto loaded = quillmere::test::await(controller->loadSignedInAccount());
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->profile.id, accountA);
    EXPECT_EQ(loaded->token, tokenA);

    // A sign-in committed while the account request is out: its answer is stale.
    fake.delayNext("/api/v1/account", 300ms);
    std::optional<std::optional<AccountFlowController::SignedInAccount>> late;
    auto loading = [&]() -> QCoro::Task<> { late = co_await controller->loadSignedInAccount(); };
    auto running = loading();
    quillmere::test::runFor(50ms);
    auth->commitSignIn();
    ASSERT_TRUE(runUntil([&] { return late.has_value(); }, 5s));
    EXPECT_EQ(*late, std::nullopt);

    // An expired stored token counts as none: nothing is asked.
    fake.clearRequestLog();
    clock.advance(std::chrono::hours(25));
    EXPECT_EQ(quillmere::test::await(controller->loadSignedInAccount()), std::nullopt);
    EXPECT_TRUE(fake.requestsTo("GET", "/api/v1/account").empty());
}

// A 422 whose field messages say nothing is shown as the general validation failure, never
// as an empty line under a field; a field that does say something keeps its own message.
TEST_F(AccountFlow, ARefusedRegistrationWithEmptyFieldMessagesSaysThatValidationFailed)
{
    make();
    fake.answerNext("/api/v1/auth/register", 422, R"({"errors": {"name": [""], "email": [" "]}})");
    ASSERT_TRUE(controller->registerAccount(controller->beginOpening(), form()));
    auto outcome = nextOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, Kind::failed);
    EXPECT_FALSE(outcome->fieldErrors);
    EXPECT_EQ(outcome->message, QStringLiteral("Validation failed."));

    fake.answerNext("/api/v1/auth/register", 422, R"({"errors": {"name": [""], "email": ["", "taken"]}})");
    ASSERT_TRUE(controller->registerAccount(controller->beginOpening(), form()));
    outcome = nextOutcome();
    ASSERT_TRUE(outcome && outcome->fieldErrors);
    EXPECT_EQ(*outcome->fieldErrors,
              (RegistrationAPIClient::FieldErrors{{QStringLiteral("email"), {QStringLiteral("taken")}}}));
    EXPECT_FALSE(auth->connectionState().is(ConnectionState::Kind::connected));
}
