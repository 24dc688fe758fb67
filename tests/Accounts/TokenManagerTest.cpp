#include "Accounts/DeviceAuthClient.h"
#include "support/HeldWritesBackend.h"
#include "support/ScriptedService.h"
#include "support/TemporaryConfigHome.h"
#include "Accounts/TokenManager.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Http/Json.h"
#include "support/TestSupport.h"
#include "support/TlsServer.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gmock/gmock.h>

#include <atomic>
#include <thread>

using namespace quillmere;
using quillmere::test::await;
using quillmere::test::failureCode;
using quillmere::test::failureOf;
using quillmere::test::ScriptedService;
using quillmere::test::transportFailure;
using Reply = ScriptedService::Reply;
using AuthError = DeviceAuthClient::DeviceAuthError;

namespace {

QDateTime utc(const QString &text)
{
    return QDateTime::fromString(text, Qt::ISODate).toUTC();
}

QJsonObject bodyOf(const ScriptedService::Seen &seen)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(seen.body)).object();
}

const std::string refreshPath = "/api/v1/auth/refresh";

class TokenManagerTest : public ::testing::Test, protected quillmere::test::TokenFixture
{
protected:
    const QString markKey = TokenManager::renewalMarkKey(KeychainVault::bearerTokenKey());
    const QDateTime expired = utc(QStringLiteral("2020-01-01T00:00:00Z"));

    bool cutOff(const char *token) { return await(tokens->renewalWasCutOff(QString::fromUtf8(token))); }
    // A renewal sent whose answer is cut off partway: its mark stays.
    void renewWithNoAnswer()
    {
        service.next(refreshPath, Reply{200, "{}", {}, {}, true});
        EXPECT_EQ(transportFailure(tokens->refreshToken()), TransportError::Code::connectionLost);
    }
    // What the keyring itself holds, entry by entry.
    KeychainVault::Dictionary keyring() const
    {
        const auto item = backend.item(bundleIdentifier(), KeychainVault::vaultAccount());
        return item ? KeychainVault::decode(*item).value_or(KeychainVault::Dictionary()) : KeychainVault::Dictionary();
    }
    // Entries of the keyring that hold the token's text.
    int tracesOf(const char *token) const
    {
        int found = 0;
        for (const auto &[key, value] : keyring())
            found += value.contains(token) ? 1 : 0;
        return found;
    }
};

TEST(TokenData, StoredFormCountsSecondsFrom2001AndReadsBack)
{
    const TokenData data{QStringLiteral("abc"), utc(QStringLiteral("2001-01-02T00:00:01.500Z"))};
    const QJsonObject object = QJsonDocument::fromJson(data.encoded()).object();
    EXPECT_DOUBLE_EQ(object.value(QStringLiteral("expiresAt")).toDouble(), 86401.5);
    EXPECT_EQ(TokenData::decode(data.encoded()), data);

    // Written by another build of the application: an integer date and an extra member.
    const auto other = TokenData::decode(R"({"token":"t","expiresAt":0,"kind":"x"})");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->expiresAt, utc(QStringLiteral("2001-01-01T00:00:00Z")));

    for (const QByteArray &bytes : {QByteArray(R"({"token":"t"})"), QByteArray(R"({"token":1,"expiresAt":2})"),
                                   QByteArray(R"({"token":"t","expiresAt":"2031-01-01T00:00:00Z"})"),
                                   QByteArray(R"(["t",1])"), QByteArray("not json"), QByteArray(R"({"token":"t","expiresAt":1e300})")})
        EXPECT_FALSE(TokenData::decode(bytes)) << bytes.constData();
}

TEST_F(TokenManagerTest, SavesLoadsAndClearsTheOneVaultEntry)
{
    EXPECT_FALSE(await(tokens->loadToken()));
    const QDateTime expiry = utc(QStringLiteral("2030-01-01T00:00:00Z"));
    await(tokens->saveToken(QStringLiteral("abc"), expiry));
    EXPECT_EQ(storedToken(), (TokenData{QStringLiteral("abc"), expiry}));

    vault.setValue("{\"something\":\"else\"}", KeychainVault::bearerTokenKey());
    EXPECT_FALSE(await(tokens->loadToken())) << "an entry that does not decode reads as absent";

    await(tokens->clearToken());
    EXPECT_FALSE(vault.data(KeychainVault::bearerTokenKey()));
}

TEST_F(TokenManagerTest, RefreshSendsTheStoredTokenAndStoresOnlyAValidAnswer)
{
    EXPECT_THROW(await(tokens->refreshToken()), TokenManager::TokenError);
    EXPECT_TRUE(service.seen("/api/v1/auth/refresh").empty()) << "nothing is sent without a stored token";

    const QDateTime expiry = utc(QStringLiteral("2020-01-01T00:00:00Z"));
    storeToken(QStringLiteral("old"), expiry);
    APIConfig::setHomeShardID(QStringLiteral("eu-1"));

    // Refused, not a valid token reply (fractional seconds), not JSON: nothing is stored.
    service.next("/api/v1/auth/refresh", Reply{401, R"({"token":"x","expires_at":"2031-05-04T10:20:30Z"})"});
    const auto refused = failureOf<AuthError>(tokens->refreshToken());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code(), AuthError::Code::serverError);
    EXPECT_EQ(refused->statusCode(), 401);
    service.next("/api/v1/auth/refresh",
                 ScriptedService::tokenReply("x", "2031-05-04T10:20:30.5Z", R"(,"shard_id":"eu-9")"));
    EXPECT_THROW(await(tokens->refreshToken()), AuthError);
    service.next("/api/v1/auth/refresh", Reply{200, "not json"});
    EXPECT_THROW(await(tokens->refreshToken()), json::JsonError);
    EXPECT_EQ(storedToken(), (TokenData{QStringLiteral("old"), expiry}));
    EXPECT_EQ(APIConfig::homeShardID(), QStringLiteral("eu-1"));

    service.next("/api/v1/auth/refresh",
                 ScriptedService::tokenReply("new", "2031-05-04T12:20:30+02:00",
                                             R"(,"home_api_url":"https://eu-3.harborly.test","shard_id":"eu-3")"));
    const TokenData renewed = await(tokens->refreshToken());
    EXPECT_EQ(renewed, (TokenData{QStringLiteral("new"), utc(QStringLiteral("2031-05-04T10:20:30Z"))}));
    EXPECT_EQ(storedToken(), renewed);
    EXPECT_EQ(APIConfig::homeShardID(), QStringLiteral("eu-3"));
    EXPECT_EQ(APIConfig::baseURL(), QUrl(QStringLiteral("https://eu-3.harborly.test")));
    EXPECT_EQ(service.seen("/api/v1/auth/refresh").back().authorization, "Bearer old");

    service.next("/api/v1/auth/refresh", ScriptedService::tokenReply("newer", "2031-05-04T10:20:30Z", R"(,"shard_id":"")"));
    await(tokens->refreshToken());
    EXPECT_EQ(APIConfig::homeShardID(), QStringLiteral("eu-3")) << "an empty shard id changes nothing";
}

TEST_F(TokenManagerTest, ARenewalStoresItsAnswerOnlyOverTheTokenItSent)
{
    const QDateTime expiry = utc(QStringLiteral("2020-01-01T00:00:00Z"));
    const auto answer = [](const char *token, std::function<void()> meanwhile) {
        Reply reply = ScriptedService::tokenReply(token);
        reply.before = std::move(meanwhile);
        return reply;
    };
    // Disconnected while the renewal was out: the account must not come back.
    storeToken(QStringLiteral("old"), expiry);
    service.next("/api/v1/auth/refresh", answer("new", [this] { vault.removeValue(KeychainVault::bearerTokenKey()); }));
    EXPECT_EQ(await(tokens->refreshToken()).token, QStringLiteral("new"));
    EXPECT_FALSE(storedToken());

    // Another holder stored its renewal meanwhile: that one stays.
    storeToken(QStringLiteral("old"), expiry);
    service.next("/api/v1/auth/refresh", answer("mine", [&] { storeToken(QStringLiteral("theirs"), expiry); }));
    await(tokens->refreshToken());
    EXPECT_EQ(storedToken()->token, QStringLiteral("theirs"));

    // Another account signed in meanwhile (with its own address and shard): the late answer
    // for the old token moves neither, or that account's requests would go to the old service.
    APIConfig::setHomeAPIURL(QStringLiteral("https://b.harborly.test"));
    APIConfig::setHomeShardID(QStringLiteral("shard-b"));
    storeToken(QStringLiteral("a-token"), expiry);
    Reply late = ScriptedService::tokenReply("a-renewed", "2031-05-04T10:20:30Z",
                                             R"(,"home_api_url":"https://a.harborly.test","shard_id":"shard-a")");
    late.before = [&] { storeToken(QStringLiteral("b-token"), expiry); };
    service.next("/api/v1/auth/refresh", std::move(late));
    await(tokens->refreshToken());
    EXPECT_EQ(storedToken()->token, QStringLiteral("b-token"));
    EXPECT_EQ(APIConfig::homeShardID(), QStringLiteral("shard-b"));
    EXPECT_EQ(APIConfig::baseURL(), QUrl(QStringLiteral("https://b.harborly.test")));

    // A renewal asked for a token that is no longer stored sends nothing.
    EXPECT_FALSE(await(tokens->renewUnlessReplaced(QStringLiteral("old"))));
    EXPECT_EQ(service.seen("/api/v1/auth/refresh").size(), 3u);
}

// A renewal names the token it sends in the vault before it goes, so that a process ending
// before the answer is stored leaves word of it. The word stays only while the service may have
// carried the renewal out.
TEST_F(TokenManagerTest, ARenewalIsMarkedInTheVaultUntilTheServiceAnswersIt)
{
    storeToken(QStringLiteral("old"), expired);
    std::optional<QByteArray> markedMeanwhile;
    Reply renewed = ScriptedService::tokenReply("new");
    renewed.before = [&] { markedMeanwhile = vault.data(markKey); };
    service.next(refreshPath, std::move(renewed));
    await(tokens->refreshToken());
    EXPECT_EQ(markedMeanwhile, TokenManager::renewalMarkFor(QStringLiteral("old"))) << "marked while at the service";
    EXPECT_FALSE(vault.data(markKey)) << "the answer is stored: nothing was cut off";
    EXPECT_FALSE(cutOff("old"));

    // Sent, and the connection cut before the answer: the service may have had it.
    renewWithNoAnswer();
    EXPECT_TRUE(cutOff("new"));
    EXPECT_FALSE(cutOff("old")) << "only the token sent";

    // That token refused later: the earlier renewal's mark stays (the refusal may be its doing),
    service.next(refreshPath, Reply{401, "{}"});
    EXPECT_TRUE(failureOf<AuthError>(tokens->refreshToken()));
    EXPECT_TRUE(cutOff("new"));
    // and so does it when a later renewal never leaves,
    const QUrl reachable = base;
    base = QUrl(QStringLiteral("http://127.0.0.1:1"));
    EXPECT_EQ(transportFailure(tokens->refreshToken()), TransportError::Code::cannotConnect);
    EXPECT_TRUE(cutOff("new"));
    base = reachable;
    // or is answered with any other status: a gateway's 502 or 504 may come after the service
    // carried the renewal out, and a 5xx, 408 or 429 says nothing of the token.
    const std::vector<int> noProof{502, 504, 503, 500, 408, 429, 404};
    for (const int status : noProof) {
        service.next(refreshPath, Reply{status, "{}"});
        EXPECT_TRUE(failureOf<AuthError>(tokens->refreshToken())) << status;
        EXPECT_TRUE(cutOff("new")) << "an inherited mark stays after " << status;
    }
    EXPECT_EQ(storedToken()->token, QStringLiteral("new"));

    // A refusal of a renewal that marked its token itself takes the mark back; any other status
    // leaves its own mark too.
    storeToken(QStringLiteral("other"), expired);
    service.next(refreshPath, Reply{401, "{}"});
    EXPECT_TRUE(failureOf<AuthError>(tokens->refreshToken()));
    EXPECT_FALSE(cutOff("other"));
    EXPECT_FALSE(vault.data(markKey));
    for (const int status : noProof) {
        service.next(refreshPath, Reply{status, "{}"});
        EXPECT_TRUE(failureOf<AuthError>(tokens->refreshToken())) << status;
        EXPECT_TRUE(cutOff("other")) << "its own mark stays after " << status;
        vault.removeValue(markKey);
    }
}

// Nothing of a renewal left this device (the connection refused, the service's certificate
// refused): the service never saw the token, so its later refusal is the service's own word.
TEST_F(TokenManagerTest, ARenewalThatNeverLeftTakesItsMarkBack)
{
    storeToken(QStringLiteral("old"), expired);
    const QUrl reachable = base;
    base = QUrl(QStringLiteral("http://127.0.0.1:1"));
    EXPECT_EQ(transportFailure(tokens->refreshToken()), TransportError::Code::cannotConnect);
    EXPECT_FALSE(cutOff("old"));
    EXPECT_FALSE(vault.data(markKey));
    {
        const quillmere::test::Key key = quillmere::test::makeKey();
        const quillmere::test::Certificate selfSigned =
            quillmere::test::makeCertificate(key.get(), "127.0.0.1", "IP:127.0.0.1", -1, 30);
        quillmere::test::TlsServer intercepting(selfSigned.get(), key.get());
        base = intercepting.url(QStringLiteral("/"));
        EXPECT_EQ(transportFailure(tokens->refreshToken()), TransportError::Code::certificateUntrusted);
    }
    EXPECT_FALSE(cutOff("old"));
    base = reachable;
    EXPECT_THAT(service.seen(refreshPath), ::testing::IsEmpty());
    EXPECT_EQ(storedToken()->token, QStringLiteral("old"));
}

// The service's address sends the renewal on to another origin, which answers it without the
// token: a refusal there is none, and a token offered there is not taken. The mark stays: the
// service may have renewed before it redirected.
TEST_F(TokenManagerTest, ARenewalAnsweredWhereARedirectLedIsNoVerdictAndStoresNothing)
{
    ScriptedService elsewhere;
    service.always(refreshPath,
                   Reply{308, "{}", {{"Location", elsewhere.baseURL(QString::fromStdString(refreshPath)).toString().toStdString()}}});
    storeToken(QStringLiteral("old"), expired);
    for (const int status : {401, 403, 400}) {
        elsewhere.next(refreshPath, Reply{status, "{}"});
        const auto failed = failureOf<AuthError>(tokens->refreshToken());
        ASSERT_TRUE(failed) << status;
        EXPECT_FALSE(failed->isRefusal()) << status;
        EXPECT_EQ(failed->statusCode(), status);
        EXPECT_EQ(failed->answeredAt().port(), elsewhere.baseURL().port());
        EXPECT_TRUE(cutOff("old")) << "its own mark stays after " << status;
        vault.removeValue(markKey);
    }

    elsewhere.next(refreshPath, ScriptedService::tokenReply("theirs", "2031-05-04T10:20:30Z", R"(,"shard_id":"x-1")"));
    const auto offered = failureOf<AuthError>(tokens->refreshToken());
    ASSERT_TRUE(offered);
    EXPECT_EQ(offered->statusCode(), 200);
    EXPECT_EQ(storedToken()->token, QStringLiteral("old"));
    EXPECT_NE(APIConfig::homeShardID(), QStringLiteral("x-1"));
    EXPECT_TRUE(cutOff("old"));
    const auto seen = elsewhere.seen(refreshPath);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen.back().authorization, "(none)");
    EXPECT_EQ(seen.back().method, "POST");
}

// The mark holds a digest of its token, never the token, and goes with the token in the same
// write: a sign-in that ended leaves no copy of its token, and no process that ends between two
// writes leaves one either.
TEST_F(TokenManagerTest, TheMarkHoldsNoTokenAndGoesWithItsTokenInOneWrite)
{
    storeToken(QStringLiteral("a-token"), expired);
    renewWithNoAnswer();
    ASSERT_TRUE(cutOff("a-token"));
    EXPECT_EQ(tracesOf("a-token"), 1) << "the token's own entry only";

    // Another account signs in: its save takes the first account's token and mark, in one write.
    int stores = backend.storeCount();
    EXPECT_TRUE(await(tokens->saveToken(QStringLiteral("b-token"), utc(QStringLiteral("2031-01-01T00:00:00Z")))));
    EXPECT_EQ(backend.storeCount(), stores + 1);
    EXPECT_EQ(tracesOf("a-token"), 0);
    EXPECT_EQ(keyring().count(markKey), 0u);

    // The sign-out, and the clear after a refusal, likewise.
    const std::vector<std::function<void()>> clears{
        [this] { EXPECT_TRUE(await(tokens->takeToken())); },
        [this] { EXPECT_TRUE(await(tokens->clearTokenIfStill(QStringLiteral("b-token")))); }};
    for (const auto &clear : clears) {
        storeToken(QStringLiteral("b-token"), expired);
        renewWithNoAnswer();
        ASSERT_EQ(keyring().count(markKey), 1u);
        stores = backend.storeCount();
        clear();
        EXPECT_EQ(backend.storeCount(), stores + 1);
        EXPECT_TRUE(keyring().empty());
    }

    // A renewal's answer is stored and its mark removed in one write.
    storeToken(QStringLiteral("c-token"), expired);
    Reply renewed = ScriptedService::tokenReply("d-token");
    renewed.before = [&] { stores = backend.storeCount(); };
    service.next(refreshPath, std::move(renewed));
    await(tokens->refreshToken());
    EXPECT_EQ(backend.storeCount(), stores + 1);
    EXPECT_EQ(keyring().count(markKey), 0u);
    EXPECT_EQ(tracesOf("c-token"), 0);
}

// Earlier versions wrote the token itself as the mark, and left it behind. A mark of that kind on
// the stored token still spares its refusal; the start-up read keeps it as a digest, and removes
// one that names no stored token.
TEST_F(TokenManagerTest, AMarkInTheEarlierFormCountsAndIsRewrittenWithoutTheToken)
{
    storeToken(QStringLiteral("kept"), expired);
    vault.setValue("kept", markKey);
    EXPECT_TRUE(cutOff("kept"));
    const TokenManager::StoredToken read = await(tokens->readStoredToken());
    ASSERT_TRUE(read.token);
    EXPECT_EQ(read.token->token, QStringLiteral("kept"));
    EXPECT_EQ(keyring()[markKey], TokenManager::renewalMarkFor(QStringLiteral("kept")));
    EXPECT_EQ(tracesOf("kept"), 1);
    EXPECT_TRUE(cutOff("kept"));

    // Met by a renewal, it stands for that renewal's, and is kept (as a digest) past its refusal.
    vault.setValue("kept", markKey);
    service.next(refreshPath, Reply{401, "{}"});
    EXPECT_TRUE(failureOf<AuthError>(tokens->refreshToken()));
    EXPECT_EQ(keyring()[markKey], TokenManager::renewalMarkFor(QStringLiteral("kept")));

    // Left by an earlier version after another sign-in: it names no stored token.
    vault.setValue("gone-token", markKey);
    await(tokens->readStoredToken());
    EXPECT_EQ(keyring().count(markKey), 0u);
    EXPECT_EQ(tracesOf("gone-token"), 0);
}

// A renewal whose mark the keyring does not store is not sent: with a service that retires the
// tokens it renews, the next start would find a retired token and no mark, and wipe.
TEST_F(TokenManagerTest, AMarkTheKeyringRefusesSendsNoRenewalAndKeepsTheToken)
{
    storeToken(QStringLiteral("old"), expired);
    backend.setWriteFailure(5);
    EXPECT_THROW(await(tokens->refreshToken()), TokenManager::MarkNotStoredError);
    EXPECT_THROW(await(tokens->renewUnlessReplaced(QStringLiteral("old"))), TokenManager::MarkNotStoredError);
    EXPECT_THAT(service.seen(refreshPath), ::testing::IsEmpty());
    EXPECT_EQ(storedToken()->token, QStringLiteral("old"));
    EXPECT_FALSE(vault.data(markKey)) << "not kept in memory either, for a later write to store";

    backend.setWriteFailure(std::nullopt);
    service.next(refreshPath, ScriptedService::tokenReply("new"));
    EXPECT_EQ(await(tokens->refreshToken()).token, QStringLiteral("new")) << "a later renewal tries again";
}

// Another request meets the revocation while this run's renewal of the token is at the service:
// the mark is that renewal's, whose refusal then decides. Taken for a cut-off renewal, a genuine
// revocation would keep the records of an account the service ended.
TEST_F(TokenManagerTest, ARenewalStillAtTheServiceIsNoCutOffOneItsAnswerDecides)
{
    storeToken(QStringLiteral("old"), utc(QStringLiteral("2020-01-01T00:00:00Z")));
    std::atomic<bool> atService = false;
    std::atomic<bool> answer = false;
    Reply refused{401, "{}"};
    refused.before = [&] {
        atService = true;
        for (int i = 0; i < 1000 && !answer; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    service.next("/api/v1/auth/refresh", std::move(refused));
    auto renewal = tokens->refreshToken();
    ASSERT_TRUE(quillmere::test::runUntil([&] { return atService.load(); }));

    std::optional<bool> cutOff;
    const auto ask = [](std::shared_ptr<TokenManager> manager, std::optional<bool> *out) -> QCoro::Task<> {
        *out = co_await manager->renewalWasCutOff(QStringLiteral("old"));
    };
    auto asking = ask(tokens, &cutOff);
    quillmere::test::runFor(std::chrono::milliseconds(100));
    EXPECT_FALSE(cutOff) << "no verdict while the renewal is at the service";
    answer = true;
    EXPECT_TRUE(failureOf<AuthError>(std::move(renewal)));
    ASSERT_TRUE(quillmere::test::runUntil([&] { return cutOff.has_value(); }));
    EXPECT_EQ(cutOff, false);
}

// A renewal stopped once its mark was written and before it was sent leaves no mark: the
// token's later refusal is then the service's word on the account.
TEST(TokenManagerMark, ARenewalStoppedBeforeItIsSentTakesItsMarkBack)
{
    quillmere::test::TemporaryConfigHome configHome;
    quillmere::test::HeldWritesBackend held;
    KeychainVault vault{KeychainHelper(held), [](const QString &) {}};
    ScriptedService service;
    const QUrl base = service.baseURL();
    auto tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [base] { return base; });
    vault.setValue(TokenData{QStringLiteral("old"), utc(QStringLiteral("2020-01-01T00:00:00Z"))}.encoded(),
                   KeychainVault::bearerTokenKey());
    const QString markKey = TokenManager::renewalMarkKey(KeychainVault::bearerTokenKey());

    held.hold(true);
    std::stop_source stopping;
    auto renewal = tokens->refreshToken(stopping.get_token());
    ASSERT_TRUE(quillmere::test::runUntil([&] { return held.waiting() == 1; })) << "the mark is being written";
    stopping.request_stop();
    held.hold(false);
    EXPECT_EQ(transportFailure(std::move(renewal)), TransportError::Code::cancelled);
    EXPECT_THAT(service.seen("/api/v1/auth/refresh"), ::testing::IsEmpty());
    EXPECT_FALSE(vault.data(markKey));
    EXPECT_FALSE(await(tokens->renewalWasCutOff(QStringLiteral("old"))));

}

// A keyring that holds the mark's write (an unlock prompt) holds the renewal, and with it every
// renewal and sign-in check of the token, no longer than the other waits for the keyring; the
// mark then counts as not stored, and one that lands later is taken back.
TEST(TokenManagerMark, AKeyringThatHoldsTheMarkHoldsTheRenewalNoLongerThanTheLimit)
{
    quillmere::test::TemporaryConfigHome configHome;
    quillmere::test::HeldWritesBackend held;
    KeychainVault vault{KeychainHelper(held), [](const QString &) {}};
    // Whatever happens below, the keyring answers before the vault goes.
    const std::shared_ptr<void> answering(nullptr, [&held](void *) { held.hold(false); });
    ScriptedService service;
    const QUrl base = service.baseURL();
    ManualClock clock;
    auto tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [base] { return base; }, clock);
    vault.setValue(TokenData{QStringLiteral("old"), utc(QStringLiteral("2020-01-01T00:00:00Z"))}.encoded(),
                   KeychainVault::bearerTokenKey());
    const QString markKey = TokenManager::renewalMarkKey(KeychainVault::bearerTokenKey());

    held.hold(true);
    std::optional<bool> notStored;
    const auto renew = [](std::shared_ptr<TokenManager> manager, std::optional<bool> *out) -> QCoro::Task<> {
        try {
            co_await manager->refreshToken();
            *out = false;
        } catch (const TokenManager::MarkNotStoredError &) {
            *out = true;
        }
    };
    auto renewing = renew(tokens, &notStored);
    ASSERT_TRUE(quillmere::test::runUntil([&] { return held.waiting() == 1; })) << "the mark is being written";
    clock.advance(TokenManager::vaultAnswerLimit - std::chrono::milliseconds(1));
    quillmere::test::drainEvents();
    EXPECT_FALSE(notStored) << "a keyring that answers soon is waited for";
    clock.advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(quillmere::test::runUntil([&] { return notStored.has_value(); }, std::chrono::seconds(5)));
    EXPECT_EQ(notStored, true);

    // Until the keyring answers, another renewal fails at once rather than queue behind it.
    EXPECT_THROW(await(tokens->refreshToken()), TokenManager::MarkNotStoredError);
    EXPECT_EQ(held.waiting(), 1);
    EXPECT_THAT(service.seen(refreshPath), ::testing::IsEmpty());

    // It answers: the mark it stored late goes right behind it, and renewals go out again.
    held.hold(false);
    EXPECT_FALSE(await(vault.dataAsync(markKey)));
    EXPECT_FALSE(await(tokens->renewalWasCutOff(QStringLiteral("old"))));
    service.next(refreshPath, ScriptedService::tokenReply("new"));
    EXPECT_EQ(await(tokens->refreshToken()).token, QStringLiteral("new"));
}

using DeviceAuthClientTest = TokenManagerTest;

TEST_F(DeviceAuthClientTest, DeviceCodeReplyIsReadStrictly)
{
    service.next("/api/v1/auth/device",
                 Reply{200, R"({"device_code":"dc","user_code":"ABCD-1234","verification_url":"https://x/link","expires_in":900})"});
    const auto code = await(DeviceAuthClient::requestDeviceCode(base));
    EXPECT_EQ(std::tie(code.deviceCode, code.userCode, code.verificationUrl, code.expiresIn, code.interval),
              std::make_tuple(QStringLiteral("dc"), QStringLiteral("ABCD-1234"), QStringLiteral("https://x/link"), 900, 5))
        << "interval defaults to 5";
    EXPECT_EQ(bodyOf(service.seen("/api/v1/auth/device").at(0)),
              (QJsonObject{{QStringLiteral("device_type"), QStringLiteral("quillmere")}}));

    service.next("/api/v1/auth/device",
                 Reply{200, R"({"device_code":"dc","user_code":"u","verification_url":"v","expires_in":900,"interval":2})"});
    EXPECT_EQ(await(DeviceAuthClient::requestDeviceCode(base)).interval, 2);

    for (const char *body : {R"({"device_code":"dc","user_code":"u","verification_url":"v"})",
                             R"({"device_code":"dc","user_code":"u","verification_url":"v","expires_in":"900"})",
                             R"({"device_code":"dc","user_code":"u","verification_url":"v","expires_in":9.5})", R"([1,2])"}) {
        service.next("/api/v1/auth/device", Reply{200, body});
        EXPECT_EQ(failureCode<AuthError>(DeviceAuthClient::requestDeviceCode(base)), AuthError::Code::unexpectedResponse)
            << body;
    }
    service.next("/api/v1/auth/device", Reply{503, "{}"});
    const auto refused = failureOf<AuthError>(DeviceAuthClient::requestDeviceCode(base));
    EXPECT_EQ(refused ? refused->statusCode() : 0, 503);
}

TEST_F(DeviceAuthClientTest, RevokeIsTrueOnlyFor204)
{
    service.next("/api/v1/auth/token", Reply{204, ""});
    service.next("/api/v1/auth/token", Reply{200, "{}"});
    EXPECT_TRUE(await(DeviceAuthClient::revokeToken(QStringLiteral("t"), base)));
    EXPECT_FALSE(await(DeviceAuthClient::revokeToken(QStringLiteral("t"), base)));

    service.local().stop();
    EXPECT_FALSE(await(DeviceAuthClient::revokeToken(QStringLiteral("t"), base))) << "no network reads as false";
}

} // namespace
