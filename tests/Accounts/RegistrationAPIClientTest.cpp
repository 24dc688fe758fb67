#include "Accounts/RegistrationAPIClient.h"
#include "support/TemporaryConfigHome.h"
#include "Platform/Http/Json.h"
#include "fake-service/FakeHarborly.h"
#include "support/TestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gmock/gmock.h>

using namespace quillmere;
using quillmere::test::await;
using quillmere::test::FakeHarborly;
using Client = RegistrationAPIClient;
using Error = RegistrationAPIClient::RegistrationError;
using Code = Error::Code;
using quillmere::test::failureCode;
using quillmere::test::failureOf;

namespace {

class RegistrationTest : public ::testing::Test
{
protected:
    void SetUp() override { fake.start(); }

    Client::Registration registration(const QString &email = QStringLiteral("new@example.com"))
    {
        return {QStringLiteral("New User"), email, QStringLiteral("secret-pass"), QStringLiteral("secret-pass")};
    }

    quillmere::test::TemporaryConfigHome configHome;
    FakeHarborly fake;
};

TEST_F(RegistrationTest, ReadsTheSignInReplyWithItsDefaults)
{
    const auto minimal = Client::parseAuthResponse(R"({"user":{},"token":"t","expires_at":"2031-05-04T12:20:30+02:00"})");
    EXPECT_EQ(minimal.user, (UserProfile{0, QString(), QString(), QStringLiteral("silver")}));
    EXPECT_EQ(minimal.token, "t");
    EXPECT_EQ(minimal.expiresAt, QDateTime::fromString(QStringLiteral("2031-05-04T10:20:30Z"), Qt::ISODate));
    EXPECT_TRUE(minimal.isNewUser);
    EXPECT_FALSE(APIConfig::homeShardID());

    const auto full = Client::parseAuthResponse(
        R"({"user":{"id":"7","name":"Ann","email":"a@x.test","plan":"gold"},"token":"t","expires_at":"2031-01-01T00:00:00Z",)"
        R"("home_api_url":"https://eu.harborly.test","shard_id":"eu-2","is_new_user":false})");
    EXPECT_EQ(full.user, (UserProfile{0, QStringLiteral("Ann"), QStringLiteral("a@x.test"), QStringLiteral("gold")}))
        << "an id given as text reads as 0";
    EXPECT_FALSE(full.isNewUser);
    // Carried to the sign-in's commit, which stores them after any wipe and the save; reading
    // stores nothing.
    EXPECT_EQ(full.home, (ServiceHome{QStringLiteral("https://eu.harborly.test"), QStringLiteral("eu-2")}));
    EXPECT_FALSE(APIConfig::homeShardID());
    EXPECT_EQ(APIConfig::baseURL(), APIConfig::defaultBaseURL());
    EXPECT_EQ(Client::parseAuthResponse(R"({"user":{},"token":"t","expires_at":"2031-05-04T10:20:30Z",)"
                                        R"("home_api_url":7,"shard_id":null})")
                  .home,
              ServiceHome{});

    // Each required member missing or unreadable; nothing is stored then.
    for (const char *body :
         {R"({"token":"t","expires_at":"2031-01-01T00:00:00Z","shard_id":"bad"})",
          R"({"user":{},"expires_at":"2031-01-01T00:00:00Z","shard_id":"bad"})",
          R"({"user":{},"token":"t","expires_at":"2031-01-01T00:00:00.5Z","shard_id":"bad"})",
          R"({"user":[],"token":"t","expires_at":"2031-01-01T00:00:00Z","shard_id":"bad"})", R"([1,2])"}) {
        EXPECT_EQ(failureCode<Error>([&] { Client::parseAuthResponse(body); }),
                  Code::invalidResponse)
            << body;
    }
    EXPECT_FALSE(APIConfig::homeShardID());
    EXPECT_THROW(Client::parseAuthResponse("<html>"), json::JsonError);
}

TEST_F(RegistrationTest, ReadsValidationMessagesOnlyInTheirShape)
{
    const auto fields = Client::parseValidationErrors(R"({"errors":{"email":["Taken."],"name":[]}})");
    EXPECT_EQ(fields, (Client::FieldErrors{{"email", {"Taken."}}, {"name", {}}}));
    EXPECT_TRUE(Client::parseValidationErrors(R"({"errors":{"email":"Taken."}})").empty());
    EXPECT_TRUE(Client::parseValidationErrors(R"({"errors":{"email":[1]}})").empty());
    EXPECT_TRUE(Client::parseValidationErrors(R"({"message":"x"})").empty());
    EXPECT_THROW(Client::parseValidationErrors("nope"), json::JsonError);

    EXPECT_STREQ(Client::RegistrationError::validationFailed({{"a", {}}, {"b", {"Second."}}}).what(), "Second.");
}

TEST_F(RegistrationTest, RegistersAndReadsEveryKindOfAnswer)
{
    const AuthResponse created = await(Client::registerAccount(registration(), fake.baseURL()));
    EXPECT_EQ(created.user.name, "New User");
    EXPECT_TRUE(created.isNewUser);
    ASSERT_TRUE(fake.token(created.token));
    EXPECT_EQ(fake.token(created.token)->accountId, created.user.id);
    EXPECT_EQ(created.home.shardID, QStringLiteral("shard-a"));
    const auto sent =
        QJsonDocument::fromJson(QByteArray::fromStdString(fake.requestsTo("POST", "/api/v1/auth/register").front().body)).object();
    EXPECT_EQ(sent.value("device_name").toString(), "Quillmere");
    EXPECT_EQ(sent.value("password_confirmation").toString(), "secret-pass");

    // 422: the same e-mail again, with a short password.
    auto taken = registration();
    taken.password = taken.passwordConfirmation = QStringLiteral("short");
    auto error = failureOf<Error>(Client::registerAccount(taken, fake.baseURL()));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), Code::validationFailed);
    EXPECT_EQ(error->fieldErrors().at("email"), QStringList{"The email has already been taken."});
    EXPECT_EQ(error->fieldErrors().at("password"), QStringList{"The password must be at least 8 characters."});
    EXPECT_STREQ(error->what(), "The email has already been taken.");

    fake.rateLimitNext("/api/v1/auth/register");
    EXPECT_EQ(failureCode<Error>(Client::registerAccount(registration("b@x.test"), fake.baseURL())),
              Code::rateLimited);

    for (int status : {200, 409, 500}) {
        fake.answerNext("/api/v1/auth/register", status, R"({"message":"no"})");
        error = failureOf<Error>(Client::registerAccount(registration("c@x.test"), fake.baseURL()));
        ASSERT_TRUE(error) << status;
        EXPECT_EQ(error->code(), Code::serverError);
        EXPECT_EQ(error->statusCode(), status);
    }
}

TEST_F(RegistrationTest, FetchesTheAccountProfile)
{
    quillmere::test::FakeAccount seeded;
    seeded.name = QStringLiteral("Ann");
    seeded.plan = QStringLiteral("gold");
    const qint64 id = fake.addAccount(seeded);
    const QString token = fake.issueToken(id);
    EXPECT_EQ(await(Client::fetchAccount(token, fake.baseURL())),
              (UserProfile{id, QStringLiteral("Ann"), QStringLiteral("test@example.com"), QStringLiteral("gold")}));
    EXPECT_EQ(fake.requestsTo("GET", "/api/v1/account").front().header("Authorization"), ("Bearer " + token).toStdString());

    fake.answerNext("/api/v1/account", 200, "{}");
    EXPECT_EQ(await(Client::fetchAccount(token, fake.baseURL())), UserProfile{});

    const auto error = failureOf<Error>(Client::fetchAccount(QStringLiteral("tok-bad"), fake.baseURL()));
    EXPECT_EQ(error ? error->statusCode() : 0, 401);
}

TEST_F(RegistrationTest, CheckoutGivesAPageOnlyForAnAcceptedRequest)
{
    const QString token = fake.issueToken(fake.addAccount());
    const auto checkout = [&](const char *plan = "gold") {
        return await(Client::createCheckoutSession(token, QString::fromLatin1(plan), QStringLiteral("monthly"), fake.baseURL()));
    };
    const auto url = checkout();
    ASSERT_TRUE(url);
    ASSERT_EQ(fake.checkouts().size(), 1u);
    EXPECT_EQ(fake.checkouts().front().url, *url);
    EXPECT_EQ(fake.checkouts().front().interval, "monthly");

    EXPECT_FALSE(checkout("diamond")) << "422";
    fake.answerNext("/api/v1/account/checkout", 402, R"({"checkout_url":"https://pay.test"})");
    EXPECT_FALSE(checkout());
    fake.answerNext("/api/v1/account/checkout", 200, R"({"url":"https://pay.test"})");
    EXPECT_FALSE(checkout());
    fake.answerNext("/api/v1/account/checkout", 200, "not json");
    EXPECT_THROW(checkout(), json::JsonError);
}

} // namespace
