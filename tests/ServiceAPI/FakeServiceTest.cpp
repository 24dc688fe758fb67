// Checks the fake Harborly service itself over the real network stack; the client's own tests
// lean on it, so what it answers must be what it claims to answer.

#include "Platform/Http/HttpClient.h"
#include "Platform/Http/TransportError.h"
#include "fake-service/FakeHarborly.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

    // The verdict of check-hash for that content at that place, "dedup:<id>" when deduplicated.
    QString verdict(const QByteArray &content, const QString &name, const QString &drivePath)
    {
        HttpRequest r = request("POST", QStringLiteral("/api/v1/files/check-hash"));
        r.setJsonBody(QJsonObject{{QStringLiteral("content_sha256"), sha256(content)},
                                  {QStringLiteral("filename"), name},
                                  {QStringLiteral("file_size"), content.size()},
                                  {QStringLiteral("mime_type"), QStringLiteral("audio/wav")},
                                  {QStringLiteral("folder_type"), QStringLiteral("drive")},
                                  {QStringLiteral("drive_path"), drivePath}});
        const QJsonObject reply = json(send(r));
        const QString status = reply.value(QStringLiteral("status")).toString();
        if (status == QLatin1String("deduplicated"))
            return QStringLiteral("dedup:%1").arg(reply.value(QStringLiteral("file_id")).toInteger());
        return status;
    }

    // check-hash, the PUT of the bytes to the URL it hands out, and the confirmation's reply.
    HttpResponse upload(const QByteArray &content, const QString &name, const QString &drivePath)
    {
        fake.setPresignedUploads(true, false);
        const QJsonObject place{{QStringLiteral("filename"), name},
                                {QStringLiteral("file_size"), content.size()},
                                {QStringLiteral("mime_type"), QStringLiteral("audio/wav")},
                                {QStringLiteral("folder_type"), QStringLiteral("drive")},
                                {QStringLiteral("drive_path"), drivePath}};
        HttpRequest checking = request("POST", QStringLiteral("/api/v1/files/check-hash"));
        QJsonObject asked = place;
        asked.insert(QStringLiteral("content_sha256"), sha256(content));
        checking.setJsonBody(asked);
        const QJsonObject verdict = json(send(checking));
        HttpRequest put;
        put.method = "PUT";
        put.url = QUrl(verdict.value(QStringLiteral("presigned_upload_url")).toString());
        put.body = content;
        EXPECT_EQ(send(put).status, 200);
        HttpRequest confirming = request("POST", QStringLiteral("/api/v1/files/confirm-upload"));
        QJsonObject confirmed = place;
        confirmed.insert(QStringLiteral("oid"), verdict.value(QStringLiteral("oid")));
        confirmed.insert(QStringLiteral("file_uuid"), QStringLiteral("FILE-1"));
        confirming.setJsonBody(confirmed);
        return send(confirming);
    }

    static QString sha256(const QByteArray &bytes)
    {
        return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    }

    FakeHarborly fake;
    qint64 accountId = 0;
    QString token;
};

// One blocking connection to the fake, for what the client's own transport hides: whether a
// connection serves more than one request, and the raw headers of a reply.
class RawConnection
{
public:
    explicit RawConnection(int port) : m_fd(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        timeval wait{5, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~RawConnection() { ::close(m_fd); }

    // The reply's head and body; empty when the connection ended first.
    std::pair<std::string, std::string> exchange(const std::string &request)
    {
        if (!m_connected || ::send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
            return {};
        std::string received;
        char buffer[4096];
        for (;;) {
            const size_t end = received.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t length = contentLength(received.substr(0, end));
                if (received.size() >= end + 4 + length)
                    return {received.substr(0, end), received.substr(end + 4, length)};
            }
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return {};
            received.append(buffer, size_t(n));
        }
    }

private:
    static size_t contentLength(const std::string &head)
    {
        const size_t at = QByteArray::fromStdString(head).toLower().indexOf("content-length:");
        return at == std::string::npos ? 0 : size_t(std::stoul(head.substr(at + 15)));
    }

    int m_fd;
    bool m_connected = false;
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

// Check-hash and confirm find files through indexes: each change of the library must reach
// them, or a verdict names a file that moved, changed or went away.
TEST_F(FakeService, UploadVerdictsFollowEveryChangeOfTheLibrary)
{
    FakeLibraryFile seeded;
    seeded.accountId = accountId;
    seeded.filename = QStringLiteral("kick.wav");
    seeded.folderType = QStringLiteral("drive");
    seeded.drivePath = QStringLiteral("Drums");
    seeded.content = "kick v1";
    const qint64 id = fake.addFile(seeded);
    const QString dedup = QStringLiteral("dedup:%1").arg(id);
    EXPECT_EQ(verdict("kick v1", QStringLiteral("kick.wav"), QStringLiteral("Drums")), dedup);
    EXPECT_EQ(verdict("kick v1", QStringLiteral("snare.wav"), QStringLiteral("Drums")), QStringLiteral("known_content"));

    // New bytes: the old content is no longer held, the new one is, at the same place.
    fake.updateFile(id, [](FakeLibraryFile &f) { f.content = "kick v2"; });
    EXPECT_EQ(verdict("kick v1", QStringLiteral("kick.wav"), QStringLiteral("Drums")), QStringLiteral("upload_required"));
    EXPECT_EQ(verdict("kick v2", QStringLiteral("kick.wav"), QStringLiteral("Drums")), dedup);

    // Moved: known content at the old place, the file itself at the new one.
    fake.updateFile(id, [](FakeLibraryFile &f) {
        f.filename = QStringLiteral("kick-final.wav");
        f.drivePath = QStringLiteral("Drums/Final");
    });
    EXPECT_EQ(verdict("kick v2", QStringLiteral("kick.wav"), QStringLiteral("Drums")), QStringLiteral("known_content"));
    EXPECT_EQ(verdict("kick v2", QStringLiteral("kick-final.wav"), QStringLiteral("Drums/Final")), dedup);
    EXPECT_EQ(fake.fileCount(accountId), 1u);

    // A confirmed upload onto that place replaces its bytes in place.
    const auto confirm = [&](const QByteArray &content) {
        return upload(content, QStringLiteral("kick-final.wav"), QStringLiteral("Drums/Final"));
    };
    const HttpResponse replaced = confirm("kick v3");
    EXPECT_EQ(replaced.status, 200);
    EXPECT_EQ(json(replaced).value(QStringLiteral("file_id")).toInteger(), id);
    EXPECT_EQ(fake.file(id)->content, QByteArray("kick v3"));
    EXPECT_EQ(verdict("kick v2", QStringLiteral("kick-final.wav"), QStringLiteral("Drums/Final")), QStringLiteral("upload_required"));
    EXPECT_EQ(verdict("kick v3", QStringLiteral("kick-final.wav"), QStringLiteral("Drums/Final")), dedup);

    // Gone: nothing is held any more; the next confirmation makes a new file.
    fake.removeFile(id);
    EXPECT_EQ(verdict("kick v3", QStringLiteral("kick-final.wav"), QStringLiteral("Drums/Final")), QStringLiteral("upload_required"));
    EXPECT_EQ(fake.fileCount(accountId), 0u);
    EXPECT_EQ(confirm("kick v4").status, 201);
    EXPECT_EQ(fake.fileCount(accountId), 1u);
}

// Kept-alive connections serve one request after another, and stopping does not wait for an
// idle one to time out.
TEST_F(FakeService, AConnectionServesManyRequestsAndStoppingEndsIdleOnes)
{
    RawConnection connection(fake.port());
    const std::string get = "GET /api/v1/storage HTTP/1.1\r\nHost: fake\r\nAccept: application/json\r\n"
                            "Authorization: Bearer " + token.toStdString() + "\r\n\r\n";
    for (int i = 0; i < 3; ++i) {
        const auto [head, body] = connection.exchange(get);
        EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << "request " << i;
        EXPECT_NE(body.find("storage_used_bytes"), std::string::npos);
    }
    QElapsedTimer timer;
    timer.start();
    fake.stop();
    EXPECT_LT(timer.elapsed(), 1000);
}

// Replies are compressed as cpp-httplib does unless switched off; the log shows the request's
// own header either way.
TEST_F(FakeService, RepliesGoUncompressedWhenSwitchedOff)
{
    for (const bool compress : {true, false}) {
        SCOPED_TRACE(compress ? "compressed" : "uncompressed");
        fake.setCompressReplies(compress);
        fake.clearRequestLog();
        RawConnection connection(fake.port());
        const auto [head, body] = connection.exchange(
            "GET /api/v1/storage HTTP/1.1\r\nHost: fake\r\nAccept: application/json\r\nAccept-Encoding: gzip\r\n"
            "Authorization: Bearer " + token.toStdString() + "\r\n\r\n");
        EXPECT_EQ(head.find("Content-Encoding: gzip") != std::string::npos, compress);
        EXPECT_EQ(body.find("storage_used_bytes") != std::string::npos, !compress);
        const auto logged = fake.requestsTo("GET", "/api/v1/storage");
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(logged[0].header("Accept-Encoding"), std::optional<std::string>("gzip"));
    }
}

// A body kept past the in-memory limit comes back whole, with the hash of what arrived.
TEST(FakeReceivedBody, ABodyArrivingInSmallReadsIsKeptWholeOnDisk)
{
    QByteArray sent(int(FakeReceivedBody::inMemoryLimit) + 3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < sent.size(); ++i)
        sent[i] = char((i * 131) >> 5);
    FakeReceivedBody body;
    for (qsizetype at = 0; at < sent.size(); at += 4096)
        ASSERT_TRUE(body.append(sent.constData() + at, size_t(std::min<qsizetype>(4096, sent.size() - at))));
    EXPECT_TRUE(body.spilled);
    EXPECT_TRUE(body.content.isEmpty());
    EXPECT_EQ(body.size, sent.size());
    EXPECT_TRUE(body.bytes() == sent);
    EXPECT_EQ(FakeSha256::hexOf(sent),
              QString::fromLatin1(QCryptographicHash::hash(sent, QCryptographicHash::Sha256).toHex()));
}

// A body past the in-memory limit stays in its spill file; the download serves it from there.
TEST_F(FakeService, ALargeUploadIsDownloadedWhole)
{
    QByteArray content(5 * 1024 * 1024 + 123, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = char((i * 7919) >> 4);
    const HttpResponse confirmed = upload(content, QStringLiteral("long.wav"), QStringLiteral("Takes"));
    ASSERT_EQ(confirmed.status, 201);
    const qint64 id = json(confirmed).value(QStringLiteral("file_id")).toInteger();
    EXPECT_TRUE(fake.file(id)->content == content);
    const HttpResponse downloaded = get(QStringLiteral("/api/v1/files/library/%1").arg(id));
    EXPECT_EQ(downloaded.status, 200);
    EXPECT_EQ(downloaded.body.size(), content.size());
    EXPECT_TRUE(downloaded.body == content);
}
