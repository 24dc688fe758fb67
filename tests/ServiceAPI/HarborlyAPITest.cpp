#include "support/ScriptedService.h"
#include "ActivityLog/SyncLogger.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Http/Json.h"
#include "Platform/Notifications/NotificationCenter.h"
#include "Platform/Http/TransportError.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/ServiceReachability.h"
#include "support/TlsServer.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTimer>

#include <atomic>
#include <thread>

#include <gmock/gmock.h>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::await;
using quillmere::test::ScriptedService;
using Reply = ScriptedService::Reply;
using Code = HarborlyAPIError::Code;

namespace {

const std::string thing = "/api/v1/thing";
const std::string refreshPath = "/api/v1/auth/refresh";

std::multimap<std::string, std::string> redirectTo(const ScriptedService &host, const std::string &path)
{
    return {{"Location", host.baseURL(QString::fromStdString(path)).toString().toStdString()}};
}

// Whether the activity log holds a line that names the host and port of `host`.
bool loggedAHostOf(const ScriptedService &host)
{
    const QString where = host.baseURL().authority();
    for (const SyncLogger::Entry &entry : SyncLogger::shared().entries()) {
        if (entry.detail && entry.detail->contains(where))
            return true;
    }
    return false;
}

class HarborlyAPITest : public ::testing::Test, protected quillmere::test::TokenFixture
{
protected:
    HarborlyAPITest()
    {
        NotificationCenter::defaultCenter().observe(NotificationName::quillmereAuthRevoked(), &observerContext,
                                                    [this] { ++revokedPosts; }, NotificationCenter::Delivery::direct);
    }

    QDateTime now() const { return clock.currentDateTime(); }
    void storeFreshToken(const QString &token = QStringLiteral("t0")) { storeToken(token, now().addDays(30)); }

    HttpRequest request(const QString &method = QStringLiteral("GET"))
    {
        return await(api.makeRequest(QString::fromStdString(thing), method));
    }

    // The final status the transport hands to its reader.
    int statusOf(HttpRequest built)
    {
        const auto reader = [](const HttpResponse &response) { return response.status; };
        return await(api.send(std::move(built), reader));
    }

    template<typename T>
    HarborlyAPIError failure(QCoro::Task<T> task)
    {
        return quillmere::test::failureOf<HarborlyAPIError>(std::move(task)).value_or(HarborlyAPIError::invalidResponse());
    }

    HarborlyAPIError sendFailure(HttpRequest built)
    {
        const auto reader = [](const HttpResponse &response) { return response.status; };
        return failure(api.send(std::move(built), reader));
    }

    std::size_t refreshCount() const { return service.seen("/api/v1/auth/refresh").size(); }

    ManualClock clock;
    HarborlyAPI api{tokens, clock};
    QObject observerContext;
    int revokedPosts = 0;
};

TEST_F(HarborlyAPITest, RefreshesOnlyATokenWithLessThanAnHourLeft)
{
    storeToken(QStringLiteral("t0"), now().addSecs(3600));
    EXPECT_EQ(request().headers.value("Authorization"), QByteArray("Bearer t0"));
    EXPECT_EQ(refreshCount(), 0u);

    storeToken(QStringLiteral("t0"), now().addSecs(3599));
    service.next("/api/v1/auth/refresh", ScriptedService::tokenReply("t1"));
    EXPECT_EQ(request().headers.value("Authorization"), QByteArray("Bearer t1"));
    EXPECT_EQ(refreshCount(), 1u);

    // A failed renewal sends the old (here expired) token; the service's 401 decides.
    storeToken(QStringLiteral("t0"), now().addSecs(-10));
    service.next("/api/v1/auth/refresh", Reply{503});
    EXPECT_EQ(request().headers.value("Authorization"), QByteArray("Bearer t0"));
    EXPECT_EQ(refreshCount(), 2u);

    vault.removeValue(KeychainVault::bearerTokenKey());
    const std::size_t before = service.requestCount();
    EXPECT_EQ(failure(api.makeRequest(QStringLiteral("/api/v1/storage"), QStringLiteral("GET"))).code(),
              Code::notAuthenticated);
    EXPECT_EQ(service.requestCount(), before) << "nothing is sent without a token";
    EXPECT_EQ(revokedPosts, 0);
}

// Only the caller's own handle keeps a transport alive; a call it let go of mid-way finishes
// on what the call itself holds (under the sanitizers, a read of the freed transport fails).
TEST_F(HarborlyAPITest, ACallOutlivesItsTransport)
{
    storeToken(QStringLiteral("t0"), now().addSecs(10)); // renewed after the first suspension
    service.next("/api/v1/auth/refresh", ScriptedService::tokenReply("t1"));
    auto owned = std::make_shared<HarborlyAPI>(tokens, clock);
    auto making = owned->makeRequest(QString::fromStdString(thing), QStringLiteral("GET"));
    owned.reset();
    HttpRequest built = await(std::move(making));
    EXPECT_EQ(built.headers.value("Authorization"), QByteArray("Bearer t1"));

    // A 401 is answered after the caller let go: renewal and resend still happen.
    service.next(thing, Reply{401});
    service.next("/api/v1/auth/refresh", ScriptedService::tokenReply("t2"));
    owned = std::make_shared<HarborlyAPI>(tokens, clock);
    const auto reader = [](const HttpResponse &response) { return response.status; };
    auto sending = owned->send(std::move(built), reader);
    owned.reset();
    EXPECT_EQ(await(std::move(sending)), 200);
    EXPECT_EQ(service.seen(thing).back().authorization, "Bearer t2");
}

TEST_F(HarborlyAPITest, BuildsURLQueryAndHeaders)
{
    storeFreshToken();
    base = service.baseURL(QStringLiteral("/svc/"));
    HttpRequest built = await(api.makeRequest(QStringLiteral("/api/v1/files/library"), QStringLiteral("GET"),
                                              QList<QueryItem>{{QStringLiteral("cursor"), QStringLiteral("a+b c")},
                                                               {QStringLiteral("flag"), std::nullopt}}));
    EXPECT_FALSE(built.headers.contains("X-Shard-Id")) << "no shard stored";
    EXPECT_EQ(statusOf(built), 200);
    auto seen = service.seen("/svc/api/v1/files/library");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/svc/api/v1/files/library?cursor=a%2Bb%20c&flag");
    EXPECT_EQ(seen[0].authorization, "Bearer t0");

    APIConfig::setHomeShardID(QStringLiteral("eu-2"));
    built = await(api.makeRequest(QStringLiteral("api/v1/storage"), QStringLiteral("DELETE"), QList<QueryItem>{}));
    EXPECT_EQ(built.method, QByteArray("DELETE"));
    EXPECT_EQ(built.url.toString(), service.baseURL(QStringLiteral("/svc/api/v1/storage")).toString())
        << "an empty query list leaves no query";
    EXPECT_EQ(built.headers.value("X-Shard-Id"), QByteArray("eu-2"));
}

TEST_F(HarborlyAPITest, ShardMoveIsStoredAndTheRequestResentOnce)
{
    storeFreshToken();
    struct Case
    {
        std::multimap<std::string, std::string> headers;
        std::string body;
        QString expected;
    };
    const Case cases[] = {
        {{{"X-Shard-Id", "from-header"}}, "{}", QStringLiteral("from-header")},
        {{{"X-Shard-Id", ""}}, R"({"shard_id":"from-body"})", QStringLiteral("from-body")},
        {{{"X-Shard-Id", "header-wins"}}, R"({"shard_id":"body-loses"})", QStringLiteral("header-wins")},
    };
    for (const Case &shardCase : cases) {
        service.next(thing, Reply{421, shardCase.body, shardCase.headers});
        HttpRequest built = request(QStringLiteral("POST"));
        built.body = R"({"name":"take 3"})";
        built.headers.set("Content-Type", "application/json");
        EXPECT_EQ(statusOf(built), 200);
        EXPECT_EQ(APIConfig::homeShardID(), shardCase.expected);
        const auto seen = service.seen(thing);
        ASSERT_GE(seen.size(), 2u);
        EXPECT_EQ(seen.back().shard, shardCase.expected.toStdString());
        EXPECT_EQ(seen.back().body, R"({"name":"take 3"})") << "the resend carries the same body";
        EXPECT_EQ(seen.back().authorization, "Bearer t0");
    }
    EXPECT_EQ(service.seen(thing).size(), 6u);

    // No shard named: the 421 goes to the reader. A resend answered 401: no renewal either.
    service.next(thing, Reply{421, "not json"});
    EXPECT_EQ(statusOf(request()), 421);
    service.next(thing, Reply{421, "{}", {{"X-Shard-Id", "eu-7"}}});
    service.next(thing, Reply{401});
    EXPECT_EQ(statusOf(request()), 401);
    EXPECT_EQ(service.seen(thing).size(), 9u);
    EXPECT_EQ(refreshCount(), 0u);
    EXPECT_EQ(revokedPosts, 0);

    // A shard id that is no safe token is neither stored nor sent: the 421 goes to the reader.
    for (const auto &[header, body] : std::vector<std::pair<std::string, std::string>>{
             {"", R"({"shard_id":"shard-a\r\nX-Injected: 1"})"}, {"eu 7: x", "{}"}}) {
        if (header.empty())
            service.next(thing, Reply{421, body});
        else
            service.next(thing, Reply{421, body, {{"X-Shard-Id", header}}});
        EXPECT_EQ(statusOf(request()), 421) << body;
    }
    EXPECT_EQ(service.seen(thing).size(), 11u);
    EXPECT_EQ(APIConfig::homeShardID(), QStringLiteral("eu-7"));
}

TEST_F(HarborlyAPITest, UnauthorisedRenewsAndResendsOrRevokesOnADefiniteRefusal)
{
    storeFreshToken();
    HttpRequest built = request(QStringLiteral("POST"));
    built.body = R"({"paths":["a","b"]})";
    service.next(thing, Reply{401});
    service.next("/api/v1/auth/refresh", ScriptedService::tokenReply("t1"));
    service.next(thing, Reply{421, R"({"shard_id":"ignored"})"});
    EXPECT_EQ(statusOf(built), 421) << "a 421 after renewal goes to the reader";
    auto seen = service.seen(thing);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].authorization, "Bearer t1");
    EXPECT_EQ(seen[1].body, seen[0].body);
    EXPECT_FALSE(APIConfig::homeShardID());
    EXPECT_EQ(revokedPosts, 0);

    // A definite refusal of the renewal revokes.
    for (const int status : {401, 403, 400}) {
        storeFreshToken();
        service.next(thing, Reply{401});
        service.next("/api/v1/auth/refresh", Reply{status});
        EXPECT_EQ(sendFailure(request()).code(), Code::notAuthenticated) << status;
    }
    EXPECT_EQ(revokedPosts, 3);

    // The token went away (a disconnect) while the request was out.
    storeFreshToken();
    service.next(thing, Reply{401, "{}", {}, [this] { vault.removeValue(KeychainVault::bearerTokenKey()); }});
    EXPECT_EQ(sendFailure(request()).code(), Code::notAuthenticated);
    EXPECT_EQ(revokedPosts, 4);
    EXPECT_EQ(service.seen(thing).size(), 6u) << "no resend after a refusal";
}

TEST_F(HarborlyAPITest, ATransientUnreadableOrCancelledRenewalNeverRevokes)
{
    storeFreshToken();
    // A misrouting proxy (404), a captive portal (407) and the other 4xx a renewal can meet
    // are no verdict on the token either.
    for (const int status : {500, 503, 408, 429, 404, 407, 409, 421, 422}) {
        service.next(thing, Reply{401});
        service.next("/api/v1/auth/refresh", Reply{status});
        const HarborlyAPIError transient = sendFailure(request());
        EXPECT_EQ(transient.code(), Code::serverError) << status;
        EXPECT_EQ(transient.statusCode(), status);
    }
    for (const std::string body : {"not json", R"({"token":"t9"})"}) {
        service.next(thing, Reply{401});
        service.next("/api/v1/auth/refresh", Reply{200, body});
        EXPECT_EQ(sendFailure(request()).code(), Code::networkError) << body;
    }

    // Stopped while the renewal is out (the engine stopping its lanes).
    HttpRequest built = request();
    service.next(thing, Reply{401});
    service.next("/api/v1/auth/refresh", Reply{200, "{}", {}, [this] { service.local().pause(5s); }});
    std::stop_source stop;
    QTimer::singleShot(100ms, [&stop] { stop.request_stop(); });
    const auto reader = [](const HttpResponse &response) { return response.status; };
    const HarborlyAPIError cancelled = failure(api.send(built, reader, stop.get_token()));
    EXPECT_TRUE(cancelled.isCancellation());

    EXPECT_EQ(revokedPosts, 0);
    EXPECT_EQ(storedToken()->token, QStringLiteral("t0"));
}

// The request that asked for a renewal stops while the service renews (an engine stop): the
// service has retired the token it was sent, so the one it answered is the one kept.
TEST_F(HarborlyAPITest, ARenewalTheServiceCarriedOutIsKeptWhenItsRequestStops)
{
    storeFreshToken();
    HttpRequest built = request();
    service.next(thing, Reply{401});
    service.next("/api/v1/auth/refresh",
                 Reply{200, ScriptedService::tokenReply("t1").body, {}, [this] { service.local().pause(300ms); }});
    std::stop_source stop;
    QTimer::singleShot(100ms, [&stop] { stop.request_stop(); });
    const auto reader = [](const HttpResponse &response) { return response.status; };
    const HarborlyAPIError cancelled = failure(api.send(built, reader, stop.get_token()));
    EXPECT_TRUE(cancelled.isCancellation()) << "the stopped caller uses nothing of it";
    // It stops waiting at once; the renewal goes on and is stored once the service answers.
    EXPECT_TRUE(quillmere::test::runUntil([&] { return storedToken()->token == QStringLiteral("t1"); }));
    EXPECT_EQ(refreshCount(), 1u);

    // The next request goes out with the renewed token and nothing is refused.
    EXPECT_EQ(statusOf(request()), 200);
    EXPECT_EQ(service.seen(thing).back().authorization, "Bearer t1");
    EXPECT_EQ(refreshCount(), 1u);
    EXPECT_EQ(revokedPosts, 0);
}

// A renewal's mark that the keyring does not store sends no renewal: the request fails as any
// transient failure does, the token stays, and nothing is revoked.
TEST_F(HarborlyAPITest, ARenewalTheKeyringCannotMarkIsNoRevocation)
{
    storeToken(QStringLiteral("t0"), now().addSecs(-10));
    backend.setWriteFailure(5);
    service.next(thing, Reply{401});
    const HarborlyAPIError failed = sendFailure(request());
    EXPECT_EQ(failed.code(), Code::networkError);
    EXPECT_EQ(refreshCount(), 0u);
    EXPECT_EQ(revokedPosts, 0);
    EXPECT_EQ(storedToken()->token, QStringLiteral("t0"));

    backend.setWriteFailure(std::nullopt);
    service.next("/api/v1/auth/refresh", ScriptedService::tokenReply("t1"));
    EXPECT_EQ(statusOf(request()), 200) << "a later request renews";
    EXPECT_EQ(service.seen(thing).back().authorization, "Bearer t1");
}

// A renewal cut off before its answer leaves its mark; a later 2xx to a request carrying that
// token shows that the service still takes it, and the mark goes. Any other status proves nothing
// (a gateway's 5xx, a 408, a 429), and neither does an answer to a request sent while a renewal of
// the token was at the service.
TEST_F(HarborlyAPITest, AnAnswerToTheMarkedTokenTakesItsMarkAway)
{
    const auto cutOff = [this] { return await(tokens->renewalWasCutOff(QStringLiteral("t0"))); };
    storeFreshToken();
    service.next("/api/v1/auth/refresh", Reply{200, "{}", {}, {}, true});
    EXPECT_TRUE(quillmere::test::transportFailure(tokens->refreshToken()));
    ASSERT_TRUE(cutOff());

    service.next(thing, Reply{403});
    EXPECT_EQ(statusOf(request()), 403);
    EXPECT_TRUE(cutOff()) << "a refusal may be the cut-off renewal's doing";

    // Asked while another renewal of the token is at the service, answered before it ends.
    std::atomic<bool> answered = false;
    Reply held{200, "{}", {}, [&answered] {
                   for (int i = 0; i < 1000 && !answered; ++i)
                       std::this_thread::sleep_for(std::chrono::milliseconds(5));
               },
               true};
    service.next("/api/v1/auth/refresh", std::move(held));
    auto renewal = tokens->refreshToken();
    ASSERT_TRUE(quillmere::test::runUntil([&] { return refreshCount() == 2; }));
    EXPECT_EQ(statusOf(request()), 200);
    answered = true;
    EXPECT_TRUE(quillmere::test::transportFailure(std::move(renewal)));
    EXPECT_TRUE(cutOff());

    for (const int status : {502, 504, 503, 500, 408, 429, 404}) {
        service.next(thing, Reply{status});
        EXPECT_EQ(statusOf(request()), status);
        EXPECT_TRUE(cutOff()) << "kept after " << status;
    }

    service.next(thing, Reply{204});
    EXPECT_EQ(statusOf(request()), 204);
    EXPECT_FALSE(cutOff());
    EXPECT_FALSE(vault.data(TokenManager::renewalMarkKey(KeychainVault::bearerTokenKey())));
}

// Only the service's own 2xx to a request that carried the marked token takes the mark away. A
// redirect to another address drops the token there, so that host's 200 says nothing of it, and
// the request goes on without it even back at the service; a redirect within the service's own
// address keeps the token, and the 200 at its end shows it taken.
TEST_F(HarborlyAPITest, OnlyTheServicesOwnAnswerToTheMarkedTokenTakesItsMarkAway)
{
    const auto cutOff = [this] { return await(tokens->renewalWasCutOff(QStringLiteral("t0"))); };
    const auto to = [](const QUrl &target) {
        return std::multimap<std::string, std::string>{{"Location", target.toString().toStdString()}};
    };
    storeFreshToken();
    service.next("/api/v1/auth/refresh", Reply{200, "{}", {}, {}, true});
    EXPECT_TRUE(quillmere::test::transportFailure(tokens->refreshToken()));
    ASSERT_TRUE(cutOff());
    ScriptedService elsewhere;

    service.next(thing, Reply{307, "{}", to(elsewhere.baseURL(QStringLiteral("/landing")))});
    EXPECT_EQ(statusOf(request()), 200);
    ASSERT_EQ(elsewhere.seen("/landing").size(), 1u);
    EXPECT_EQ(elsewhere.seen("/landing").back().authorization, "(none)");
    EXPECT_TRUE(cutOff()) << "another host's 200";

    service.next(thing, Reply{302, "{}", to(elsewhere.baseURL(QStringLiteral("/bounce")))});
    elsewhere.next("/bounce", Reply{302, "{}", to(service.baseURL(QStringLiteral("/api/v1/back")))});
    EXPECT_EQ(statusOf(request()), 200);
    ASSERT_EQ(service.seen("/api/v1/back").size(), 1u);
    EXPECT_EQ(service.seen("/api/v1/back").back().authorization, "(none)");
    EXPECT_TRUE(cutOff()) << "the service's 200 to the request once it had lost the token";

    service.next(thing, Reply{308, "{}", to(service.baseURL(QStringLiteral("/api/v1/moved")))});
    EXPECT_EQ(statusOf(request()), 200);
    ASSERT_EQ(service.seen("/api/v1/moved").size(), 1u);
    EXPECT_EQ(service.seen("/api/v1/moved").back().authorization, "Bearer t0");
    EXPECT_FALSE(cutOff()) << "the service's 200 at the end of a redirect within its own address";
    EXPECT_EQ(revokedPosts, 0);
}

// The mark of a request's token is settled beside its answer: a keyring busy with something else
// (an unlock prompt) holds neither the answer nor the next request.
TEST_F(HarborlyAPITest, AnAnswerGoesOnWhileTheKeyringSettlesTheMark)
{
    storeFreshToken();
    service.next("/api/v1/auth/refresh", Reply{200, "{}", {}, {}, true});
    EXPECT_TRUE(quillmere::test::transportFailure(tokens->refreshToken()));
    HttpRequest built = request();

    std::atomic<bool> answered = false;
    auto holding = vault.applyStepAsync([&answered](const KeychainVault::EntryReader &) {
        for (int i = 0; i < 400 && !answered; ++i)
            std::this_thread::sleep_for(5ms);
        return KeychainVault::Changes();
    });
    QElapsedTimer waited;
    waited.start();
    EXPECT_EQ(statusOf(std::move(built)), 200);
    EXPECT_LT(waited.elapsed(), 1000) << "the answer waited for the keyring";
    answered = true;
    await(std::move(holding));
    EXPECT_FALSE(await(tokens->renewalWasCutOff(QStringLiteral("t0")))) << "settled once the keyring answered";
}

TEST_F(HarborlyAPITest, ATokenRenewedElsewhereIsTriedBeforeRenewingOrRevoking)
{
    storeFreshToken();
    HttpRequest built = request();
    // Renewed by another call before this one's 401 came back: resent with that token as it is.
    const auto renewedElsewhere = [this] { storeToken(QStringLiteral("t1"), now().addDays(30)); };
    service.next(thing, Reply{401, "{}", {}, renewedElsewhere});
    EXPECT_EQ(statusOf(built), 200);
    auto seen = service.seen(thing);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].authorization, "Bearer t1");
    EXPECT_EQ(refreshCount(), 0u);

    // Renewed elsewhere while this call's own renewal was out, which the service then refused.
    built = request();
    service.next(thing, Reply{401});
    service.next("/api/v1/auth/refresh", Reply{401, "{}", {}, [this] { storeToken(QStringLiteral("t2"), now().addDays(30)); }});
    EXPECT_EQ(statusOf(built), 200);
    EXPECT_EQ(service.seen(thing).back().authorization, "Bearer t2");

    // The stored token is refused too: renewed once, and given up when the new one is refused.
    service.next(thing, Reply{401, "{}", {}, [this] { storeToken(QStringLiteral("t3"), now().addDays(30)); }});
    service.next(thing, Reply{401});
    service.next("/api/v1/auth/refresh", ScriptedService::tokenReply("t4"));
    service.next(thing, Reply{401});
    EXPECT_EQ(sendFailure(request()).code(), Code::notAuthenticated);
    EXPECT_EQ(revokedPosts, 1);
    EXPECT_EQ(refreshCount(), 2u);
    seen = service.seen(thing);
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_EQ(seen[5].authorization, "Bearer t3");
    EXPECT_EQ(seen[6].authorization, "Bearer t4");

    // Every resend meets a token renewed after it left: three tries, then a failure the caller
    // retries, without giving the account up.
    for (int n = 5; n <= 8; ++n) {
        const std::string token = "t" + std::to_string(n + 1);
        service.next(thing, Reply{401, "{}", {}, [this, token] {
                                      storeToken(QString::fromStdString(token), now().addDays(30));
                                  }});
    }
    const HarborlyAPIError churn = sendFailure(request());
    EXPECT_EQ(churn.code(), Code::serverError);
    EXPECT_EQ(churn.statusCode(), 401);
    EXPECT_EQ(service.seen(thing).size(), 11u);
    EXPECT_EQ(revokedPosts, 1);
    EXPECT_EQ(refreshCount(), 2u);
}

// The service's address sends its requests on to another origin (an API moved behind a permanent
// redirect), where the token is dropped and refused. That refusal is no verdict on the token:
// nothing is renewed on its account and nothing revoked, the token and a renewal's mark stay, and
// the failure is the service's own, naming the host. A renewal the service's own 401 asked for
// and the address sent on likewise: refused there, it is no refusal, and its mark stays.
TEST_F(HarborlyAPITest, ARefusalWhereARedirectLedRenewsAndRevokesNothing)
{
    const auto cutOff = [this] { return await(tokens->renewalWasCutOff(QStringLiteral("t0"))); };
    storeFreshToken();
    service.next(refreshPath, Reply{200, "{}", {}, {}, true});
    EXPECT_TRUE(quillmere::test::transportFailure(tokens->refreshToken()));
    ASSERT_TRUE(cutOff());
    ScriptedService elsewhere;
    service.always(thing, Reply{308, "{}", redirectTo(elsewhere, thing)});
    service.always(refreshPath, Reply{308, "{}", redirectTo(elsewhere, refreshPath)});
    elsewhere.always(thing, Reply{401});
    elsewhere.always(refreshPath, Reply{401});
    SyncLogger::shared().clear();

    const HarborlyAPIError failed = sendFailure(request());
    EXPECT_EQ(failed.code(), Code::serverError);
    EXPECT_EQ(failed.statusCode(), 401);
    EXPECT_TRUE(failed.errorDescription().contains(elsewhere.baseURL().host())) << failed.errorDescription().toStdString();
    EXPECT_TRUE(loggedAHostOf(elsewhere));
    ASSERT_EQ(elsewhere.seen(thing).size(), 1u);
    EXPECT_EQ(elsewhere.seen(thing)[0].authorization, "(none)");
    EXPECT_EQ(refreshCount(), 1u) << "renewed on another host's word";
    EXPECT_TRUE(elsewhere.seen(refreshPath).empty());
    EXPECT_EQ(revokedPosts, 0);
    EXPECT_EQ(storedToken()->token, QStringLiteral("t0"));
    EXPECT_TRUE(cutOff());

    // The service refuses the token itself, and its renewal is sent on and refused there.
    vault.removeValue(TokenManager::renewalMarkKey(KeychainVault::bearerTokenKey()));
    for (const int status : {401, 403}) {
        service.next(thing, Reply{401});
        elsewhere.next(refreshPath, Reply{status});
        SyncLogger::shared().clear();
        const HarborlyAPIError renewal = sendFailure(request());
        EXPECT_EQ(renewal.code(), Code::serverError) << status;
        EXPECT_EQ(renewal.statusCode(), status);
        EXPECT_TRUE(loggedAHostOf(elsewhere)) << status;
        EXPECT_EQ(elsewhere.seen(refreshPath).back().authorization, "(none)");
        EXPECT_TRUE(cutOff()) << "the service may have renewed before it redirected, " << status;
    }
    EXPECT_EQ(elsewhere.seen(refreshPath).size(), 2u);
    EXPECT_EQ(revokedPosts, 0);
    EXPECT_EQ(storedToken()->token, QStringLiteral("t0"));
}

// The service renews the token after its own 401, and the resend with the new token is sent on to
// another origin, which refuses it without the token: not the new token's refusal.
TEST_F(HarborlyAPITest, AResendRefusedWhereARedirectLedIsNoRefusalOfTheRenewedToken)
{
    storeFreshToken();
    ScriptedService elsewhere;
    HttpRequest built = request();
    service.next(thing, Reply{401});
    service.next(refreshPath, ScriptedService::tokenReply("t1"));
    service.next(thing, Reply{302, "{}", redirectTo(elsewhere, thing)});
    elsewhere.always(thing, Reply{401});
    SyncLogger::shared().clear();

    const HarborlyAPIError failed = sendFailure(std::move(built));
    EXPECT_EQ(failed.code(), Code::serverError);
    EXPECT_EQ(failed.statusCode(), 401);
    EXPECT_TRUE(failed.errorDescription().contains(elsewhere.baseURL().host()));
    EXPECT_TRUE(loggedAHostOf(elsewhere));
    const auto seen = service.seen(thing);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].authorization, "Bearer t1");
    ASSERT_EQ(elsewhere.seen(thing).size(), 1u);
    EXPECT_EQ(elsewhere.seen(thing)[0].authorization, "(none)");
    EXPECT_EQ(refreshCount(), 1u);
    EXPECT_EQ(revokedPosts, 0);
    EXPECT_EQ(storedToken()->token, QStringLiteral("t1"));

    // The service's own refusal of the renewed token still ends the link.
    service.next(thing, Reply{401});
    service.next(refreshPath, ScriptedService::tokenReply("t2"));
    service.next(thing, Reply{401});
    EXPECT_EQ(sendFailure(request()).code(), Code::notAuthenticated);
    EXPECT_EQ(revokedPosts, 1);
}

// A network that intercepts the connection with a certificate of its own: the service was
// never reached, and the status says why.
TEST_F(HarborlyAPITest, ARefusedCertificateIsSilenceAndNamedAsItsCause)
{
    storeFreshToken();
    const quillmere::test::Key key = quillmere::test::makeKey();
    const quillmere::test::Certificate selfSigned =
        quillmere::test::makeCertificate(key.get(), "127.0.0.1", "IP:127.0.0.1", -1, 30);
    const ServiceReachability &reachability = *api.reachability();
    {
        quillmere::test::TlsServer intercepting(selfSigned.get(), key.get());
        base = intercepting.url(QStringLiteral("/"));
        EXPECT_EQ(sendFailure(request()).code(), Code::networkError);
    }
    ASSERT_EQ(reachability.unreachableSince(), now());
    EXPECT_EQ(reachability.silenceCause(),
              QString::fromUtf8(TransportError(TransportError::Code::certificateUntrusted).what()));
    EXPECT_EQ(revokedPosts, 0);

    // A later failure that names nothing: the silence goes on, the certificate is no longer why.
    HttpRequest built = request();
    built.url = QUrl(QStringLiteral("http://127.0.0.1:1/api/v1/thing"));
    clock.advance(60s);
    EXPECT_EQ(sendFailure(built).code(), Code::networkError);
    EXPECT_EQ(reachability.unreachableSince(), now().addSecs(-60));
    EXPECT_TRUE(reachability.silenceCause().isEmpty());

    base = service.baseURL();
    EXPECT_EQ(statusOf(request()), 200);
    EXPECT_FALSE(reachability.unreachableSince());
}

TEST_F(HarborlyAPITest, EveryFailureLeavesAsHarborlyAPIError)
{
    storeFreshToken();
    service.always(thing, Reply{200, "<html>maintenance</html>"});
    const auto jsonReader = [](const HttpResponse &response) { return json::parseObject(response.body).size(); };
    const HarborlyAPIError unreadable = failure(api.send(request(), jsonReader));
    EXPECT_EQ(unreadable.code(), Code::networkError);
    EXPECT_TRUE(unreadable.underlying());

    const auto refusing = [](const HttpResponse &response) -> int {
        throw HarborlyAPIError::serverError(response.status, QStringLiteral("Storage is full"));
    };
    const HarborlyAPIError refused = failure(api.send(request(), refusing));
    EXPECT_EQ(refused.code(), Code::serverError);
    EXPECT_EQ(refused.errorDescription(), QStringLiteral("Server error (200): Storage is full"));

    HttpRequest built = request();
    // Port 1 on loopback: nothing listens there without root.
    built.url = QUrl(QStringLiteral("http://127.0.0.1:1/api/v1/files/library/4290"));
    const HarborlyAPIError offline = sendFailure(built);
    EXPECT_EQ(offline.code(), Code::networkError);
    EXPECT_FALSE(offline.errorDescription().contains(QStringLiteral("4290")));
    EXPECT_FALSE(offline.errorDescription().contains(QStringLiteral("127.0.0.1")));

    EXPECT_EQ(HarborlyAPI::asAPIError(std::make_exception_ptr(std::runtime_error("odd"))).code(), Code::networkError);
}

} // namespace
