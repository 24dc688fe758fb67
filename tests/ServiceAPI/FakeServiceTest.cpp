// Checks the fake Harborly service itself over the real network stack; the client's own tests
// lean on it, so what it answers must be what it claims to answer.

#include "Platform/Http/HttpClient.h"
#include "Platform/Http/TransportError.h"
#include "fake-service/FakeHarborly.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

using namespace std::chrono_literals;
using quillmere::HttpClient;
using quillmere::HttpRequest;
using quillmere::HttpResponse;
using quillmere::TransportError;
using quillmere::test::await;
using namespace quillmere::test;

namespace {

class FakeService : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fake.start();
        accountId = fake.addAccount();
        token = fake.issueToken(accountId);
    }

    HttpRequest request(const QByteArray &method, const QString &pathAndQuery, const QString &bearer = {})
    {
        HttpRequest r;
        r.method = method;
        r.url = fake.url(pathAndQuery);
        r.headers.set("Accept", "application/json");
        const QString presented = bearer.isNull() ? token : bearer;
        if (!presented.isEmpty())
            r.headers.set("Authorization", "Bearer " + presented.toUtf8());
        return r;
    }

    HttpResponse send(HttpRequest r) { return await(HttpClient::send(std::move(r))); }

    HttpResponse get(const QString &pathAndQuery, const QString &bearer = {})
    {
        return send(request("GET", pathAndQuery, bearer));
    }

    static QJsonObject json(const HttpResponse &response) { return QJsonDocument::fromJson(response.body).object(); }

    qint64 addFile(const QString &name, const QByteArray &content, const QString &folderType = QStringLiteral("unorganised"))
    {
        FakeLibraryFile file;
        file.accountId = accountId;
        file.filename = name;
        file.folderType = folderType;
        file.content = content;
        return fake.addFile(file);
    }

    FakeHarborly fake;
    qint64 accountId = 0;
    QString token;
};

} // namespace

// The client's renewal handling is tested against these answers.
TEST_F(FakeService, RequiresALiveTokenAndAnAcceptHeader)
{
    EXPECT_EQ(get(QStringLiteral("/api/v1/storage")).status, 200);
    EXPECT_EQ(get(QStringLiteral("/api/v1/storage"), QStringLiteral("")).status, 401) << "no Authorization";
    EXPECT_EQ(get(QStringLiteral("/api/v1/storage"), QStringLiteral("tok-unknown")).status, 401);
    HttpRequest withoutAccept = request("GET", QStringLiteral("/api/v1/storage"));
    withoutAccept.headers.remove("Accept");
    EXPECT_EQ(send(withoutAccept).status, 400);

    // An expired token is refused but still refreshes.
    fake.expireToken(token);
    EXPECT_EQ(get(QStringLiteral("/api/v1/storage")).status, 401);
    HttpRequest refresh = request("POST", QStringLiteral("/api/v1/auth/refresh"));
    refresh.headers.set("Content-Type", "application/json");
    const HttpResponse refreshed = send(refresh);
    ASSERT_EQ(refreshed.status, 200);
    EXPECT_EQ(get(QStringLiteral("/api/v1/storage"), json(refreshed).value(QStringLiteral("token")).toString()).status, 200);
}

// The engine's remote scans pass back either the feed's cursor or a time stamp.
TEST_F(FakeService, ChangeFeedAcceptsItsCursorOrATime)
{
    const qint64 kept = addFile(QStringLiteral("a.wav"), "aaaa");
    const QJsonObject first = json(get(QStringLiteral("/api/v1/files/library/changes")));
    const QString cursor = first.value(QStringLiteral("cursor")).toString();
    EXPECT_EQ(cursor, fake.currentCursor(accountId));
    fake.updateFile(kept, [](FakeLibraryFile &f) { f.content = "changed"; });
    const QJsonObject since = json(get(QStringLiteral("/api/v1/files/library/changes?since=") + cursor));
    EXPECT_EQ(since.value(QStringLiteral("changes")).toArray().size(), 1);
    EXPECT_EQ(get(QStringLiteral("/api/v1/files/library/changes?since=yesterday")).status, 400);

    const auto changesSince = [&](const QDateTime &at) {
        return json(get(QStringLiteral("/api/v1/files/library/changes?since=")
                        + at.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss'Z'"))))
            .value(QStringLiteral("changes"))
            .toArray()
            .size();
    };
    EXPECT_EQ(changesSince(QDateTime::currentDateTimeUtc().addSecs(-60)), 2);
    EXPECT_EQ(changesSince(QDateTime::currentDateTimeUtc().addSecs(60)), 0);
}

TEST_F(FakeService, FaultSwitchesApplyToTheNextCallsOnly)
{
    fake.answerNext("/api/v1/plans", 503, R"({"message":"down"})", 2);
    fake.rateLimitNext("/api/v1/storage");
    EXPECT_EQ(get(QStringLiteral("/api/v1/plans")).status, 503);
    EXPECT_EQ(json(get(QStringLiteral("/api/v1/plans"))).value(QStringLiteral("message")).toString(), QStringLiteral("down"));
    EXPECT_EQ(get(QStringLiteral("/api/v1/plans")).status, 200);
    const HttpResponse limited = get(QStringLiteral("/api/v1/storage"));
    EXPECT_EQ(limited.status, 429);
    EXPECT_EQ(limited.headers.value("Retry-After"), QByteArray("30"));

    // A prefix pattern: the connection closes before the service acts.
    const qint64 kept = addFile(QStringLiteral("kept.wav"), "abc");
    const std::string keptPath = "/api/v1/files/library/" + std::to_string(kept);
    fake.dropNext("/api/v1/files/*");
    EXPECT_EQ(transportFailure(HttpClient::send(request("DELETE", QString::fromStdString(keptPath)))),
              TransportError::Code::connectionLost);
    const auto dropped = fake.requestsTo("DELETE", keptPath);
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].status, 0);
    EXPECT_TRUE(fake.file(kept).has_value());
    EXPECT_EQ(get(QStringLiteral("/api/v1/files/library")).status, 200);

    // Lost after the service acted: the caller hears of a lost connection, and the request
    // reached the service exactly once.
    fake.dropNext(keptPath, 1, true);
    EXPECT_EQ(transportFailure(HttpClient::send(request("DELETE", QString::fromStdString(keptPath)))),
              TransportError::Code::connectionLost);
    EXPECT_EQ(fake.requestsTo("DELETE", keptPath).size(), 2u);
    EXPECT_FALSE(fake.file(kept).has_value());
    fake.dropNext("/api/v1/sync-folders", 1, true);
    HttpRequest registering = request("POST", QStringLiteral("/api/v1/sync-folders"));
    registering.setJsonBody(QJsonObject{{QStringLiteral("uuid"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
                                        {QStringLiteral("name"), QStringLiteral("Mixdowns")},
                                        {QStringLiteral("folder_type"), QStringLiteral("unorganised")},
                                        {QStringLiteral("direction"), QStringLiteral("upload_only")}});
    EXPECT_EQ(transportFailure(HttpClient::send(registering)), TransportError::Code::connectionLost);
    EXPECT_EQ(fake.requestsTo("POST", "/api/v1/sync-folders").size(), 1u);
    EXPECT_EQ(fake.syncFolders(accountId).size(), 1u);
}
