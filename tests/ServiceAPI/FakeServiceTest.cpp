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
#include <QTemporaryDir>
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

    HttpResponse postJson(const QString &path, const QJsonObject &body, const QString &bearer = {})
    {
        HttpRequest r = request("POST", path, bearer);
        r.headers.set("Content-Type", "application/json");
        r.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
        return send(std::move(r));
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

TEST_F(FakeService, RequiresALiveTokenAndTheAccountsShard)
{
    EXPECT_EQ(get(QStringLiteral("/api/v1/storage")).status, 200);
    EXPECT_EQ(get(QStringLiteral("/api/v1/storage"), QStringLiteral("")).status, 401) << "no Authorization";
    EXPECT_EQ(get(QStringLiteral("/api/v1/storage"), QStringLiteral("tok-unknown")).status, 401);

    HttpRequest withoutAccept = request("GET", QStringLiteral("/api/v1/storage"));
    withoutAccept.headers.remove("Accept");
    EXPECT_EQ(send(withoutAccept).status, 400);

    // A request without X-Shard-Id is taken; one naming another shard is redirected.
    HttpRequest onShard = request("GET", QStringLiteral("/api/v1/account"));
    onShard.headers.set("X-Shard-Id", "shard-a");
    EXPECT_EQ(send(onShard).status, 200);
    fake.moveAccount(accountId, QStringLiteral("shard-b"), ShardHint::body);
    HttpResponse moved = send(onShard);
    EXPECT_EQ(moved.status, 421);
    EXPECT_FALSE(moved.headers.contains("X-Shard-Id"));
    EXPECT_EQ(json(moved).value(QStringLiteral("shard_id")).toString(), QStringLiteral("shard-b"));
    fake.moveAccount(accountId, QStringLiteral("shard-c"), ShardHint::header);
    moved = send(onShard);
    EXPECT_EQ(moved.headers.value("x-shard-id"), QByteArray("shard-c"));
    EXPECT_FALSE(json(moved).contains(QStringLiteral("shard_id")));
    onShard.headers.set("X-Shard-Id", "shard-c");
    EXPECT_EQ(send(onShard).status, 200);

    // An expired token is refused but still refreshes; the new token carries the home shard.
    fake.expireToken(token);
    EXPECT_EQ(get(QStringLiteral("/api/v1/storage")).status, 401);
    HttpRequest refresh = request("POST", QStringLiteral("/api/v1/auth/refresh"));
    refresh.headers.set("Content-Type", "application/json");
    const HttpResponse refreshed = send(refresh);
    ASSERT_EQ(refreshed.status, 200);
    const QJsonObject reply = json(refreshed);
    EXPECT_EQ(reply.value(QStringLiteral("shard_id")).toString(), QStringLiteral("shard-c"));
    EXPECT_EQ(get(QStringLiteral("/api/v1/storage"), reply.value(QStringLiteral("token")).toString()).status, 200);

    // A token that expired by the clock is refused too.
    const QString stale = fake.issueToken(accountId, QDateTime::currentDateTimeUtc().addSecs(-5));
    EXPECT_EQ(get(QStringLiteral("/api/v1/storage"), stale).status, 401);
}

TEST_F(FakeService, DeviceLinkFromCodeToTokenAndRevocation)
{
    const HttpResponse issued = postJson(QStringLiteral("/api/v1/auth/device"), {{"device_type", "quillmere"}}, QStringLiteral(""));
    ASSERT_EQ(issued.status, 200);
    const QJsonObject code = json(issued);
    for (const char *key : {"device_code", "user_code", "verification_url"})
        EXPECT_TRUE(code.value(QLatin1String(key)).isString()) << key;
    EXPECT_EQ(code.value(QStringLiteral("expires_in")).toInt(), 900);
    const QString userCode = code.value(QStringLiteral("user_code")).toString();
    const QJsonObject poll{{"device_code", code.value(QStringLiteral("device_code"))}};
    const auto pollStatus = [&] { return postJson(QStringLiteral("/api/v1/auth/device/token"), poll, QStringLiteral("")).status; };

    EXPECT_EQ(pollStatus(), 428);
    ASSERT_TRUE(fake.setDeviceCodeState(userCode, FakeDeviceCode::State::slowDown));
    EXPECT_EQ(pollStatus(), 429);
    EXPECT_EQ(pollStatus(), 428) << "slow_down answers once";
    ASSERT_TRUE(fake.approveDevice(userCode, accountId));
    const HttpResponse approved = postJson(QStringLiteral("/api/v1/auth/device/token"), poll, QStringLiteral(""));
    ASSERT_EQ(approved.status, 200);
    const QString linked = json(approved).value(QStringLiteral("token")).toString();
    EXPECT_EQ(pollStatus(), 410) << "a code hands out one token";
    EXPECT_EQ(postJson(QStringLiteral("/api/v1/auth/device/token"), {{"device_code", "nope"}}, QStringLiteral("")).status, 404);
    EXPECT_EQ(get(QStringLiteral("/api/v1/account"), linked).status, 200);

    HttpRequest revoke = request("DELETE", QStringLiteral("/api/v1/auth/token"), linked);
    EXPECT_EQ(send(revoke).status, 204);
    EXPECT_EQ(send(revoke).status, 401);
    EXPECT_EQ(get(QStringLiteral("/api/v1/account"), linked).status, 401);
}

TEST_F(FakeService, ChangeFeedReturnsWhatHappenedSinceACursor)
{
    const qint64 kept = addFile(QStringLiteral("a.wav"), "aaaa");
    const QJsonObject first = json(get(QStringLiteral("/api/v1/files/library/changes")));
    EXPECT_EQ(first.value(QStringLiteral("changes")).toArray().size(), 1);
    const QString cursor = first.value(QStringLiteral("cursor")).toString();
    EXPECT_EQ(cursor, fake.currentCursor(accountId));

    const qint64 gone = addFile(QStringLiteral("b.wav"), "bb", QStringLiteral("drive"));
    fake.updateFile(kept, [](FakeLibraryFile &f) { f.content = "changed"; });
    fake.removeFile(gone);

    const QJsonObject since = json(get(QStringLiteral("/api/v1/files/library/changes?since=") + cursor));
    const QJsonArray changes = since.value(QStringLiteral("changes")).toArray();
    ASSERT_EQ(changes.size(), 3);
    EXPECT_EQ(changes[0].toObject().value(QStringLiteral("action")).toString(), QStringLiteral("created"));
    EXPECT_EQ(changes[1].toObject().value(QStringLiteral("file_size")).toInteger(), 7);
    EXPECT_EQ(changes[2].toObject().value(QStringLiteral("id")).toInteger(), gone);
    EXPECT_EQ(changes[2].toObject().value(QStringLiteral("action")).toString(), QStringLiteral("deleted"));
    EXPECT_TRUE(changes[2].toObject().value(QStringLiteral("deleted_at")).isString());

    const QJsonObject latest = json(get(QStringLiteral("/api/v1/files/library/changes?since=") + since.value(QStringLiteral("cursor")).toString()));
    EXPECT_TRUE(latest.value(QStringLiteral("changes")).toArray().isEmpty());

    const QJsonObject drive = json(get(QStringLiteral("/api/v1/files/library/changes?since=%1&folder_type=drive").arg(cursor)));
    EXPECT_EQ(drive.value(QStringLiteral("changes")).toArray().size(), 2);
    EXPECT_EQ(get(QStringLiteral("/api/v1/files/library/changes?since=yesterday")).status, 400);

    // A client that got no cursor takes the time of the reply as its cursor.
    const auto changesSince = [&](const QDateTime &at) {
        return json(get(QStringLiteral("/api/v1/files/library/changes?since=")
                        + at.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss'Z'"))))
            .value(QStringLiteral("changes"))
            .toArray()
            .size();
    };
    EXPECT_EQ(changesSince(QDateTime::currentDateTimeUtc().addSecs(-60)), 4);
    EXPECT_EQ(changesSince(QDateTime::currentDateTimeUtc().addSecs(60)), 0);
}

TEST_F(FakeService, ServesDeletesAndResetsLibraryFiles)
{
    const QByteArray bytes(300000, 'q');
    const qint64 id = addFile(QStringLiteral("long.wav"), bytes, QStringLiteral("reference"));
    addFile(QStringLiteral("other.wav"), "x", QStringLiteral("reference"));
    addFile(QStringLiteral("keep.wav"), "y", QStringLiteral("drive"));

    QTemporaryDir dir;
    const QString destination = dir.filePath(QStringLiteral("long.wav"));
    const HttpResponse downloaded = await(HttpClient::download(request("GET", QStringLiteral("/api/v1/files/library/%1").arg(id)), destination));
    EXPECT_EQ(downloaded.status, 200);
    QFile saved(destination);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), bytes);

    const QJsonObject storage = json(get(QStringLiteral("/api/v1/storage")));
    EXPECT_EQ(storage.value(QStringLiteral("storage_used_bytes")).toInteger(), bytes.size() + 2);

    EXPECT_EQ(send(request("DELETE", QStringLiteral("/api/v1/files/library/%1").arg(id))).status, 200);
    EXPECT_EQ(send(request("DELETE", QStringLiteral("/api/v1/files/library/%1").arg(id))).status, 404);
    EXPECT_EQ(get(QStringLiteral("/api/v1/files/library/%1").arg(id)).status, 404);

    EXPECT_EQ(postJson(QStringLiteral("/api/v1/files/reset-folder"), {{"folder_type", "nonsense"}}).status, 400);
    const HttpResponse reset = postJson(QStringLiteral("/api/v1/files/reset-folder"), {{"folder_type", "reference"}});
    EXPECT_EQ(json(reset).value(QStringLiteral("deleted_count")).toInteger(), 1);
    const QJsonArray left = json(get(QStringLiteral("/api/v1/files/library"))).value(QStringLiteral("files")).toArray();
    ASSERT_EQ(left.size(), 1);
    EXPECT_EQ(left[0].toObject().value(QStringLiteral("filename")).toString(), QStringLiteral("keep.wav"));
}

TEST_F(FakeService, RegistersAndListsSyncFolders)
{
    const QJsonObject folder{{"uuid", "0B9E5F0C-7D7A-4C61-9C1E-6A2B8E7F4D21"}, {"name", "Mixes"},
                             {"folder_type", "drive"}, {"direction", "bidirectional"}};
    EXPECT_EQ(postJson(QStringLiteral("/api/v1/sync-folders"), folder).status, 201);
    QJsonObject renamed = folder;
    renamed.insert(QStringLiteral("name"), QStringLiteral("Mixdowns"));
    EXPECT_EQ(postJson(QStringLiteral("/api/v1/sync-folders"), renamed).status, 200) << "registering again updates";
    QJsonObject sideways = folder;
    sideways.insert(QStringLiteral("direction"), QStringLiteral("sideways"));
    EXPECT_EQ(postJson(QStringLiteral("/api/v1/sync-folders"), sideways).status, 400);

    const QJsonArray data = json(get(QStringLiteral("/api/v1/sync-folders"))).value(QStringLiteral("data")).toArray();
    ASSERT_EQ(data.size(), 1);
    EXPECT_EQ(data[0].toObject().value(QStringLiteral("name")).toString(), QStringLiteral("Mixdowns"));
    EXPECT_EQ(fake.syncFolders(accountId).size(), 1u);
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
}

// The service carries out a request whose answer is then lost: the caller hears of a lost
// connection, and the request reached the service exactly once, whatever its method.
TEST_F(FakeService, AnAnswerLostAfterTheServiceActedIsNeverSentAgain)
{
    const QString folderUuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    fake.dropNext("/api/v1/sync-folders", 1, true);
    HttpRequest registering = request("POST", QStringLiteral("/api/v1/sync-folders"));
    registering.setJsonBody(QJsonObject{{QStringLiteral("uuid"), folderUuid},
                                        {QStringLiteral("name"), QStringLiteral("Mixdowns")},
                                        {QStringLiteral("folder_type"), QStringLiteral("unorganised")},
                                        {QStringLiteral("direction"), QStringLiteral("upload_only")}});
    EXPECT_EQ(transportFailure(HttpClient::send(registering)), TransportError::Code::connectionLost);
    EXPECT_EQ(fake.requestsTo("POST", "/api/v1/sync-folders").size(), 1u);
    EXPECT_EQ(fake.syncFolders(accountId).size(), 1u);

    const qint64 id = addFile(QStringLiteral("a.wav"), "abc");
    const std::string deletePath = "/api/v1/files/library/" + std::to_string(id);
    fake.dropNext(deletePath, 1, true);
    EXPECT_EQ(transportFailure(HttpClient::send(request("DELETE", QString::fromStdString(deletePath)))),
              TransportError::Code::connectionLost);
    EXPECT_EQ(fake.requestsTo("DELETE", deletePath).size(), 1u);
    EXPECT_FALSE(fake.file(id).has_value());
}

TEST_F(FakeService, SlowBodiesAndDelayedAnswersTimeOut)
{
    const qint64 id = addFile(QStringLiteral("a.wav"), QByteArray(100000, 'a'));
    const QString path = QStringLiteral("/api/v1/files/library/%1").arg(id);
    QTemporaryDir dir;
    const QString destination = dir.filePath(QStringLiteral("a.wav"));

    fake.trickleNext(path.toStdString(), 100, 2s);
    HttpRequest slow = request("GET", path);
    slow.inactivityTimeout = 200ms;
    EXPECT_EQ(transportFailure(HttpClient::download(slow, destination)), TransportError::Code::timedOut);

    fake.delayNext(path.toStdString(), 2s);
    EXPECT_EQ(transportFailure(HttpClient::download(slow, destination)), TransportError::Code::timedOut);

    EXPECT_EQ(await(HttpClient::download(request("GET", path), destination)).status, 200);
    EXPECT_EQ(QFileInfo(destination).size(), 100000);
}
