#include "Accounts/APIConfig.h"
#include "Accounts/AppleSignInManager.h"
#include "Accounts/GoogleSignInManager.h"
#include "Accounts/ScriptedWebAuthSession.h"
#include "Accounts/SignInReply.h"
#include "support/TemporaryConfigHome.h"
#include "Platform/Http/Json.h"
#include "Platform/Settings/UserDefaults.h"
#include "fake-service/FakeHarborly.h"
#include "support/TestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

#include <gmock/gmock.h>

using namespace quillmere;
using quillmere::test::await;
using quillmere::test::failureCode;
using quillmere::test::ScriptedWebAuthSession;
using AppleError = AppleSignInManager::AppleSignInError;
using GoogleError = GoogleSignInManager::GoogleSignInError;

namespace {

const QString googleClientID = QStringLiteral("123456789012-abcdefghijklmnopqrstuvwxyz012345.apps.googleusercontent.com");

QList<std::pair<QString, QString>> queryItems(const QUrl &url)
{
    return QUrlQuery(url).queryItems(QUrl::FullyDecoded);
}

// The session that echoes the sent state back with a code, as the real pages do.
ScriptedWebAuthSession::Script echoing(QString scheme, QString code, QString extra = {})
{
    return [scheme, code, extra](QUrl start, QString) {
        const QString state = QUrlQuery(start).queryItemValue(QStringLiteral("state"));
        QUrl callback(scheme + QStringLiteral("://callback?") + extra + QStringLiteral("code=") + code
                      + QStringLiteral("&state=") + state);
        return ScriptedWebAuthSession::later(WebAuthOutcome::completed(callback));
    };
}

WebAuthOutcome callback(const QString &text)
{
    return WebAuthOutcome::completed(QUrl(text));
}

} // namespace

TEST(AppleSignIn, FlowSendsTheRedirectPageAndYieldsTheEchoedCode)
{
    auto session = std::make_shared<ScriptedWebAuthSession>(echoing(QStringLiteral("quillmere"), QStringLiteral("c1")));
    AppleSignInManager manager(session, [] { return QUrl(QStringLiteral("https://service.test/base")); });
    const auto [code, state] = await(manager.performOAuthFlow());

    ASSERT_EQ(session->calls.size(), 1u);
    const QUrl start = session->calls[0].startURL;
    EXPECT_EQ(session->calls[0].scheme, QStringLiteral("quillmere"));
    EXPECT_EQ(start.toString(QUrl::RemoveQuery), QStringLiteral("https://service.test/base/auth/apple/app-redirect"));
    EXPECT_EQ(queryItems(start), (QList<std::pair<QString, QString>>{{QStringLiteral("callback"), QStringLiteral("quillmere://apple-callback")},
                                                                     {QStringLiteral("state"), state},
                                                                     {QStringLiteral("device_name"), QStringLiteral("Quillmere")}}));
    EXPECT_EQ(code, QStringLiteral("c1"));
    EXPECT_EQ(state.size(), 36);
    EXPECT_EQ(state, state.toUpper());

    // A page anywhere but https (or a service on this machine) is never opened.
    AppleSignInManager plain(session, [] { return QUrl(QStringLiteral("http://service.test")); });
    EXPECT_EQ(failureCode<AppleError>([&] { await(plain.performOAuthFlow()); }), AppleError::Code::invalidURL);
    EXPECT_EQ(session->calls.size(), 1u);
}

TEST(AppleSignIn, SessionOutcomesAndCallbackItemsMapToTheirErrors)
{
    const QString s = QStringLiteral("0F1E2D3C-0000-4000-8000-00000000ABCD");
    auto read = [&](const WebAuthOutcome &outcome) {
        return failureCode<AppleError>([&] { AppleSignInManager::readCallback(outcome, s); });
    };
    EXPECT_EQ(read(WebAuthOutcome::cancelled()), AppleError::Code::userCancelled);
    EXPECT_EQ(read(WebAuthOutcome::notStarted()), AppleError::Code::sessionStartFailed);
    EXPECT_EQ(read(WebAuthOutcome::completed(std::nullopt)), AppleError::Code::noAuthorizationCode);
    EXPECT_EQ(read(callback("quillmere://apple-callback?state=" + s)), AppleError::Code::noAuthorizationCode);
    EXPECT_EQ(read(callback("quillmere://apple-callback?code=")), AppleError::Code::noAuthorizationCode)
        << "the code is tested before the state";
    EXPECT_EQ(read(callback("quillmere://apple-callback?code=x")), AppleError::Code::stateMismatch);
    EXPECT_EQ(read(callback("quillmere://apple-callback?code=x&state=" + s.toLower())), AppleError::Code::stateMismatch);
    EXPECT_EQ(read(callback("quillmere://apple-callback?code=x&state=other&state=" + s)), AppleError::Code::stateMismatch)
        << "only the first item of a name counts";

    // The session's own failure and the page's error item carry their reason into the message.
    for (const auto &[outcome, expected, reason] :
         {std::tuple{WebAuthOutcome::failed(QStringLiteral("no network")), AppleError::Code::authorizationFailed, "no network"},
          {callback("quillmere://apple-callback?code=x&error=access_denied&state=" + s), AppleError::Code::serverReported,
           "access_denied"}}) {
        const auto error = quillmere::test::failureOf<AppleError>([&] { AppleSignInManager::readCallback(outcome, s); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), expected);
        EXPECT_THAT(error->what(), ::testing::HasSubstr(reason));
    }

    // An "error" item without a value is no error; the first "code" wins.
    const auto [code, state] = AppleSignInManager::readCallback(
        callback("quillmere://apple-callback?error=&code=first&code=second&state=" + s), s);
    EXPECT_EQ(code, QStringLiteral("first"));
    EXPECT_EQ(state, s);
}

TEST(GoogleSignIn, FlowUsesTheConfiguredClientAndIgnoresTheErrorItem)
{
    const QString scheme = QStringLiteral("com.googleusercontent.apps.123456789012-abcdefghijklmnopqrstuvwxyz012345");
    EXPECT_EQ(GoogleSignInManager::reversedClientID(googleClientID), scheme);
    EXPECT_EQ(GoogleSignInManager::reversedClientID(QStringLiteral(".a..b.")), QStringLiteral("b.a"));

    auto session = std::make_shared<ScriptedWebAuthSession>(echoing(scheme, QStringLiteral("g1"), QStringLiteral("error=denied&")));
    GoogleSignInManager manager(session, googleClientID);
    const auto [code, state] = await(manager.performOAuthFlow());
    EXPECT_EQ(code, QStringLiteral("g1"));

    ASSERT_EQ(session->calls.size(), 1u);
    const QUrl start = session->calls[0].startURL;
    EXPECT_EQ(session->calls[0].scheme, scheme);
    EXPECT_EQ(start.toString(QUrl::RemoveQuery), QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth"));
    const QUrlQuery items(start);
    EXPECT_EQ(items.queryItemValue(QStringLiteral("client_id"), QUrl::FullyDecoded), googleClientID);
    EXPECT_EQ(items.queryItemValue(QStringLiteral("redirect_uri"), QUrl::FullyDecoded), scheme + QStringLiteral(":/oauth2callback"));
    EXPECT_EQ(items.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded), state);
    const QString nonce = items.queryItemValue(QStringLiteral("nonce"), QUrl::FullyDecoded);
    EXPECT_FALSE(nonce.isEmpty());
    EXPECT_NE(nonce, state) << "the nonce is a value of its own";
    EXPECT_TRUE(start.toString(QUrl::FullyEncoded).contains(QStringLiteral("scope=openid%20email%20profile")));

    // The other outcomes
    const auto fail = [&](WebAuthOutcome outcome) {
        return failureCode<GoogleError>([&] { GoogleSignInManager::readCallback(outcome, state); });
    };
    EXPECT_EQ(fail(WebAuthOutcome::cancelled()), GoogleError::Code::userCancelled);
    EXPECT_EQ(fail(WebAuthOutcome::failed(QStringLiteral("x"))), GoogleError::Code::authenticationFailed);
    EXPECT_EQ(fail(callback(scheme + ":/oauth2callback?error=denied")), GoogleError::Code::noAuthorizationCode);
    EXPECT_EQ(fail(callback(scheme + ":/oauth2callback?code=x&state=wrong")), GoogleError::Code::stateMismatch);

    // Without a client id there is no page to open.
    GoogleSignInManager unconfigured(session, QString());
    EXPECT_EQ(failureCode<GoogleError>([&] { await(unconfigured.performOAuthFlow()); }), GoogleError::Code::invalidURL);
    EXPECT_EQ(session->calls.size(), 1u);
}

TEST(GoogleSignIn, ClientIdComesFromTheEnvironmentBeforeTheSetting)
{
    quillmere::test::TemporaryConfigHome home;
    qunsetenv("QUILLMERE_GOOGLE_CLIENT_ID");
    UserDefaults::standard().setString(QStringLiteral("googleClientID"), QStringLiteral("from.settings"));
    EXPECT_EQ(GoogleSignInManager::configuredClientID(), QStringLiteral("from.settings"));
    qputenv("QUILLMERE_GOOGLE_CLIENT_ID", "from.environment");
    EXPECT_EQ(GoogleSignInManager::configuredClientID(), QStringLiteral("from.environment"));
    qunsetenv("QUILLMERE_GOOGLE_CLIENT_ID");
}

namespace {

// The exchanges against the fake service.
class WebSignInExchange : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fake.start();
        accountId = fake.addAccount(quillmere::test::FakeAccount{.id = 0, .name = QStringLiteral("Ada"),
                                                                 .email = QStringLiteral("ada@example.com"),
                                                                 .plan = QStringLiteral("gold"),
                                                                 .shardId = QStringLiteral("shard-7"),
                                                                 .homeAPIURL = QStringLiteral("https://home.example/")});
    }

    quillmere::test::TemporaryConfigHome home;
    quillmere::test::FakeHarborly fake;
    qint64 accountId = 0;
    std::shared_ptr<ScriptedWebAuthSession> session =
        std::make_shared<ScriptedWebAuthSession>(ScriptedWebAuthSession::fixed(WebAuthOutcome::cancelled()));
    AppleSignInManager apple{session, [this] { return fake.baseURL(); }, [this] { return fake.baseURL(); }};
    GoogleSignInManager google{session, googleClientID, [this] { return fake.baseURL(); }};
};

} // namespace

TEST_F(WebSignInExchange, AppleCodeBecomesASignInCarryingItsHome)
{
    const QString appleCode = fake.addAppleSignInCode(accountId);
    const AuthResponse response = await(apple.exchangeCode(appleCode));
    EXPECT_EQ(response.user.id, accountId);
    EXPECT_EQ(response.user.plan, QStringLiteral("gold"));
    EXPECT_FALSE(response.isNewUser);
    const auto token = fake.token(response.token);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->expiresAt.toSecsSinceEpoch(), response.expiresAt.toSecsSinceEpoch());
    EXPECT_EQ(response.home, (ServiceHome{QStringLiteral("https://home.example/"), QStringLiteral("shard-7")}));
    EXPECT_FALSE(APIConfig::homeShardID()) << "stored by the sign-in's commit, not while the reply is read";

    const auto sent = fake.requestsTo("POST", "/api/v1/auth/apple/exchange");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(sent[0].body)).object(),
              (QJsonObject{{"code", appleCode}, {"device_name", "Quillmere"}}));

    // 201 for a new account reads the same way.
    EXPECT_TRUE(await(apple.exchangeCode(fake.addAppleSignInCode(accountId, true))).isNewUser);

    const auto status = [&](const QString &code) {
        const auto error = quillmere::test::failureOf<AppleError>(apple.exchangeCode(code));
        return error ? std::make_pair(error->code(), error->statusCode()) : std::make_pair(AppleError::Code::invalidURL, -1);
    };
    EXPECT_EQ(status(QStringLiteral("unknown")), std::make_pair(AppleError::Code::exchangeFailed, 401));
    fake.answerNext("/api/v1/auth/apple/exchange", 410, R"({"message":"gone"})");
    EXPECT_EQ(status(QStringLiteral("x")), std::make_pair(AppleError::Code::exchangeFailed, 410));
    fake.answerNext("/api/v1/auth/apple/exchange", 500);
    EXPECT_EQ(status(QStringLiteral("x")), std::make_pair(AppleError::Code::serverError, 500));
}

TEST_F(WebSignInExchange, GoogleStatusesAndRepliesWithoutAToken)
{
    const QString googleCode = fake.addGoogleSignInCode(accountId, true);
    const AuthResponse response = await(google.exchangeCode(googleCode));
    EXPECT_TRUE(response.isNewUser);
    EXPECT_TRUE(fake.token(response.token));
    const auto sent = fake.requestsTo("POST", "/api/v1/auth/social");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(sent[0].body)).object(),
              (QJsonObject{{"provider", "google"}, {"id_token", googleCode}, {"device_name", "Quillmere"}}));

    const auto code = [&](const QString &sentCode) {
        return failureCode<GoogleError>([&] { await(google.exchangeCode(sentCode)); });
    };
    EXPECT_EQ(code(QStringLiteral("unknown")), GoogleError::Code::tokenVerificationFailed);
    fake.answerNext("/api/v1/auth/social", 410);
    EXPECT_EQ(code(QStringLiteral("x")), GoogleError::Code::serverError);

    // An accepted status without a token (what is stored then is the reply reader's case).
    fake.answerNext("/api/v1/auth/social", 200, R"({"user":{},"expires_at":"2031-01-01T00:00:00Z"})");
    EXPECT_EQ(code(QStringLiteral("x")), GoogleError::Code::invalidResponse);
    fake.answerNext("/api/v1/auth/social", 200, "not json");
    EXPECT_THROW(await(google.exchangeCode(QStringLiteral("x"))), json::JsonError);
}
