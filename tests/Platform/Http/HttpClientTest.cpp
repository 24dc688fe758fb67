#include "Platform/Async/Background.h"
#include "Platform/Http/CurlSupport.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Http/HttpTestHelpers.h"
#include "Platform/Http/UrlBuilding.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <mutex>
#include <set>

using namespace std::chrono_literals;
using quillmere::HttpClient;
using quillmere::HttpRequest;
using quillmere::HttpResponse;
using quillmere::TransportError;
using Code = quillmere::TransportError::Code;
using quillmere::test::await;
using quillmere::test::LocalServer;
using quillmere::test::transportFailure;

namespace {

HttpRequest get(const QUrl &url)
{
    HttpRequest request;
    request.url = url;
    return request;
}

// The same request through send(), or through sendHere() on a worker of the transfer pool.
QCoro::Task<HttpResponse> sendBy(bool here, HttpRequest request)
{
    if (!here)
        return HttpClient::send(std::move(request));
    auto work = [request = std::move(request)] { return HttpClient::sendHere(request, {}); };
    return quillmere::runOnPool(HttpClient::transferPool(), std::move(work));
}

} // namespace

TEST(HttpClient, EveryStatusIsAResponseAndTheRequestGoesAsGiven)
{
    LocalServer local;
    local.server().Get(R"(/status/(\d+))", [](const httplib::Request &req, httplib::Response &res) {
        res.status = std::stoi(req.matches[1]);
        res.set_header("X-Shard-Id", "eu-2");
        res.set_content(R"({"message":"status )" + std::string(req.matches[1]) + "\"}", "application/json");
    });
    quillmere::test::addEcho(local);
    local.start();

    for (const int status : {200, 201, 404, 409, 429, 500, 503}) {
        const HttpResponse response = await(HttpClient::send(get(local.url(QStringLiteral("/status/%1").arg(status)))));
        EXPECT_EQ(response.status, status);
        EXPECT_EQ(response.body, QByteArray(R"({"message":"status )") + QByteArray::number(status) + "\"}");
        EXPECT_EQ(response.headers.value("x-shard-id"), QByteArray("eu-2")) << "header names ignore case";
    }

    HttpRequest request = get(quillmere::withQueryItems(local.url(QStringLiteral("/echo")),
                                                        {{QStringLiteral("q"), QStringLiteral("a+b c&d=é")},
                                                         {QStringLiteral("flag"), std::nullopt}}));
    request.method = "PATCH";
    request.headers.set("Authorization", "Bearer abc");
    request.body = QByteArray("{\"a\":1}");
    const HttpResponse response = await(HttpClient::send(request));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.headers.value("X-Seen-Method"), QByteArray("PATCH"));
    EXPECT_EQ(response.headers.value("X-Seen-Authorization"), QByteArray("Bearer abc"));
    EXPECT_EQ(response.headers.value("X-Seen-Target"), QByteArray("/echo?q=a%2Bb%20c%26d%3D%C3%A9&flag"));
    EXPECT_EQ(response.body, request.body);
}

TEST(HttpClient, InactivityTimeOutAbortsAStalledReplyButNotASlowSteadyOne)
{
    LocalServer local;
    local.server().Get("/stall", [&local](const httplib::Request &, httplib::Response &res) {
        local.pause(5s);
        res.set_content("late", "text/plain");
    });
    // Sends headers and a first piece, then goes quiet.
    local.server().Get("/stall-mid-body", [&local](const httplib::Request &, httplib::Response &res) {
        res.set_chunked_content_provider("application/octet-stream", [&local](size_t offset, httplib::DataSink &sink) {
            if (offset > 0 && !local.pause(5s))
                return false;
            sink.write("first", 5);
            return true;
        });
    });
    // Twelve pieces 100 ms apart: 1.2 s in all, never 300 ms without progress.
    local.server().Get("/steady", [&local](const httplib::Request &, httplib::Response &res) {
        res.set_chunked_content_provider("application/octet-stream", [&local](size_t offset, httplib::DataSink &sink) {
            if (offset >= 12 * 1000) {
                sink.done();
                return true;
            }
            if (offset > 0 && !local.pause(100ms))
                return false;
            const std::string piece(1000, char('a' + offset / 1000));
            sink.write(piece.data(), piece.size());
            return true;
        });
    });
    local.start();

    for (const char *path : {"/stall", "/stall-mid-body"}) {
        HttpRequest request = get(local.url(QString::fromLatin1(path)));
        request.inactivityTimeout = 300ms;
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(transportFailure(HttpClient::send(request)), Code::timedOut) << path;
        EXPECT_LT(timer.elapsed(), 2000) << path;
    }

    HttpRequest steady = get(local.url(QStringLiteral("/steady")));
    steady.inactivityTimeout = 300ms;
    const HttpResponse response = await(HttpClient::send(steady));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body.size(), 12 * 1000);
    EXPECT_TRUE(response.body.endsWith(QByteArray(1000, 'l')));
}

TEST(HttpClient, StopAbortsATransferPromptlyAndEndsAsCancelled)
{
    LocalServer local;
    local.server().Get("/stall", [&local](const httplib::Request &, httplib::Response &res) {
        ++local.hits;
        local.pause(5s);
        res.set_content("late", "text/plain");
    });
    local.start();

    std::stop_source stop;
    // Stopped from another thread, as an engine shutting down may do.
    std::thread stopper([&] {
        std::this_thread::sleep_for(150ms);
        stop.request_stop();
    });
    QElapsedTimer timer;
    timer.start();
    const auto code = transportFailure(HttpClient::send(get(local.url(QStringLiteral("/stall"))), stop.get_token()));
    stopper.join();
    EXPECT_EQ(code, Code::cancelled);
    EXPECT_LT(timer.elapsed(), 1500);

    // Already stopped: nothing reaches the server.
    const int hitsBefore = local.hits;
    EXPECT_EQ(transportFailure(HttpClient::send(get(local.url(QStringLiteral("/stall"))), stop.get_token())),
              Code::cancelled);
    quillmere::test::runFor(100ms);
    EXPECT_EQ(local.hits, hitsBefore);
}

TEST(HttpClient, ConnectionFailuresBecomeTransportErrorsWithFixedTexts)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();

    const auto refused = quillmere::test::failureOf<TransportError>(
        HttpClient::send(get(QUrl(QStringLiteral("http://127.0.0.1:%1/api/v1/files/library/4290").arg(port)))));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code(), Code::cannotConnect);
    EXPECT_STREQ(refused->what(), "Could not connect to the server.");

    LocalServer local;
    // Declares 1000 bytes, sends 400 and hangs up.
    local.server().Get("/short", [](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider(1000, "application/octet-stream",
                                 [](size_t offset, size_t, httplib::DataSink &sink) {
                                     if (offset > 0)
                                         return false;
                                     const std::string part(400, 'x');
                                     sink.write(part.data(), part.size());
                                     return true;
                                 });
    });
    local.start();
    EXPECT_EQ(transportFailure(HttpClient::send(get(local.url(QStringLiteral("/short"))))), Code::connectionLost);
}

// A failure before the request went out (the connection refused) is told apart from one after
// it (the connection closed unanswered): the server may have acted on the second.
TEST(HttpClient, AFailureTellsWhetherTheRequestLeft)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QUrl refusing(QStringLiteral("http://127.0.0.1:%1/api/v1/auth/refresh").arg(closed.serverPort()));
    closed.close();
    HttpRequest post = get(refusing);
    post.method = "POST";
    post.body = "{}";
    const auto refused = quillmere::test::failureOf<TransportError>(HttpClient::send(post));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code(), Code::cannotConnect);
    EXPECT_TRUE(refused->wasNeverSent());

    // Reads the request and hangs up without a word.
    QTcpServer hangingUp;
    ASSERT_TRUE(hangingUp.listen(QHostAddress::LocalHost));
    QObject::connect(&hangingUp, &QTcpServer::newConnection, &hangingUp, [&hangingUp] {
        QTcpSocket *socket = hangingUp.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            if (socket->readAll().contains("{}"))
                socket->disconnectFromHost();
        });
    });
    post.url = QUrl(QStringLiteral("http://127.0.0.1:%1/api/v1/auth/refresh").arg(hangingUp.serverPort()));
    const auto unanswered = quillmere::test::failureOf<TransportError>(HttpClient::send(post));
    ASSERT_TRUE(unanswered);
    EXPECT_EQ(unanswered->code(), Code::connectionLost);
    EXPECT_FALSE(unanswered->wasNeverSent());

    EXPECT_TRUE(TransportError(Code::certificateUntrusted).wasNeverSent());
    EXPECT_TRUE(TransportError(Code::cannotFindHost).wasNeverSent());
    EXPECT_FALSE(TransportError(Code::timedOut).wasNeverSent());
    EXPECT_FALSE(TransportError(Code::notConnected).wasNeverSent()) << "a network gone mid-transfer says so too";
}

TEST(HttpClient, AProxyOfTheEnvironmentIsNotAskedForThisMachinesOwnAddresses)
{
    LocalServer local;
    quillmere::test::addEcho(local);
    local.start();
    // Nothing listens at the proxy's port: asking it would fail to connect.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QByteArray proxy = "http://127.0.0.1:" + QByteArray::number(closed.serverPort());
    closed.close();
    qputenv("http_proxy", proxy);
    const auto restore = qScopeGuard([] { qunsetenv("http_proxy"); });

    HttpRequest request = get(local.url(QStringLiteral("/echo")));
    request.method = "POST";
    request.body = "{}";
    EXPECT_EQ(await(HttpClient::send(request)).status, 200);
}

TEST(HttpClient, RequestsInARowGoOverConnectionsKeptOpen)
{
    LocalServer local;
    local.server().set_keep_alive_max_count(1000);
    // Its end waits for idle kept connections to time out.
    local.server().set_keep_alive_timeout(1);
    // A kept connection holds a server thread until it closes: one per client worker.
    local.server().new_task_queue = [] { return new httplib::ThreadPool(64); };
    std::mutex mutex;
    std::set<int> clientPorts;
    local.server().Post("/check", [&](const httplib::Request &req, httplib::Response &res) {
        std::lock_guard lock(mutex);
        clientPorts.insert(req.remote_port);
        res.set_content("{}", "application/json");
    });
    local.start();

    const int requests = 3 * quillmere::curl::transferPool().maxThreadCount();
    for (int i = 0; i < requests; ++i) {
        HttpRequest request = get(local.url(QStringLiteral("/check")));
        request.method = "POST";
        request.body = "{}";
        ASSERT_EQ(await(HttpClient::send(request)).status, 200);
    }
    // At most one connection per worker, however many requests.
    std::lock_guard lock(mutex);
    EXPECT_LE(int(clientPorts.size()), quillmere::curl::transferPool().maxThreadCount());
}

TEST(HttpClient, RefusesOtherSchemesAndPlainHttpBeyondLoopbackBeforeSending)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("keep.txt"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("original");
    file.close();

    HttpRequest put = get(QUrl::fromLocalFile(path));
    put.method = "PUT";
    put.body = "overwritten";
    EXPECT_EQ(transportFailure(HttpClient::send(put)), Code::unsupportedURL);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("original"));

    for (const char *url : {"ftp://127.0.0.1/x", "data:text/plain,hello", "http://example.invalid/x", "https:///nohost"})
        EXPECT_EQ(transportFailure(HttpClient::send(get(QUrl(QString::fromLatin1(url))))), Code::unsupportedURL) << url;
}

TEST(HttpClient, RedirectsDropCredentialsOnlyWhenTheOriginChangesAndKeepOrDropTheBodyByStatus)
{
    LocalServer local;
    LocalServer other;
    quillmere::test::addEcho(other);
    other.server().Get("/back", [&local](const httplib::Request &, httplib::Response &res) {
        res.set_redirect(local.url(QStringLiteral("/echo")).toString().toStdString(), 302);
    });
    other.start();

    quillmere::test::addEcho(local);
    const std::string elsewhere = other.url(QStringLiteral("/echo")).toString().toStdString();
    local.server().Get("/away", [elsewhere](const httplib::Request &, httplib::Response &res) {
        res.set_redirect(elsewhere, 302);
    });
    local.server().Get("/here", [](const httplib::Request &, httplib::Response &res) {
        res.set_redirect("/echo", 301);
    });
    const std::string bounce = other.url(QStringLiteral("/back")).toString().toStdString();
    local.server().Get("/round", [bounce](const httplib::Request &, httplib::Response &res) {
        res.set_redirect(bounce, 302);
    });
    local.server().Get("/loop", [](const httplib::Request &, httplib::Response &res) { res.set_redirect("/loop", 302); });
    quillmere::test::routeAll(local.server(), R"(/moved/(\d+))", [](const httplib::Request &req, httplib::Response &res) {
        res.set_redirect("/echo", std::stoi(req.matches[1]));
    });
    local.start();

    for (const bool here : {false, true}) {
        SCOPED_TRACE(here ? "on a worker" : "from the main thread");
        HttpRequest away = get(local.url(QStringLiteral("/away")));
        away.headers.set("Authorization", "Bearer secret");
        away.headers.set("X-Shard-Id", "eu-2");
        away.headers.set("Accept", "application/json");
        const HttpResponse moved = await(sendBy(here, away));
        EXPECT_EQ(moved.status, 200);
        EXPECT_EQ(moved.url, other.url(QStringLiteral("/echo")));
        EXPECT_EQ(moved.headers.value("X-Seen-Authorization"), QByteArray("(none)"));
        EXPECT_EQ(moved.headers.value("X-Seen-Shard"), QByteArray("(none)"));
        EXPECT_TRUE(moved.leftOrigin);
        EXPECT_EQ(other.hits, here ? 2 : 1);

        // Back at the first origin the credentials stay dropped, and the reply says so.
        HttpRequest roundTrip = away;
        roundTrip.url = local.url(QStringLiteral("/round"));
        const HttpResponse returned = await(sendBy(here, roundTrip));
        EXPECT_EQ(returned.url, local.url(QStringLiteral("/echo")));
        EXPECT_EQ(returned.headers.value("X-Seen-Authorization"), QByteArray("(none)"));
        EXPECT_TRUE(returned.leftOrigin);

        HttpRequest sameOrigin = away;
        sameOrigin.url = local.url(QStringLiteral("/here"));
        const HttpResponse stayed = await(sendBy(here, sameOrigin));
        EXPECT_EQ(stayed.headers.value("X-Seen-Authorization"), QByteArray("Bearer secret"));
        EXPECT_EQ(stayed.headers.value("X-Seen-Shard"), QByteArray("eu-2"));
        EXPECT_FALSE(stayed.leftOrigin);

        EXPECT_EQ(transportFailure(sendBy(here, get(local.url(QStringLiteral("/loop"))))), Code::unknown);

        // 307 and 308 send the same request again; 302 and 303 turn a POST into a bodiless GET.
        for (const int status : {308, 302}) {
            HttpRequest post = get(local.url(QStringLiteral("/moved/%1").arg(status)));
            post.method = "POST";
            post.body = "payload";
            const HttpResponse response = await(sendBy(here, post));
            const bool kept = status >= 307;
            EXPECT_EQ(response.headers.value("X-Seen-Method"), QByteArray(kept ? "POST" : "GET")) << status;
            EXPECT_EQ(response.body, QByteArray(kept ? "payload" : "")) << status;
        }
    }
}

TEST(HttpClient, ABodyInMemoryEndsAtTheCeilingAndNeedsOneLength)
{
    constexpr qint64 ceiling = HttpClient::maximumBodySize;
    constexpr size_t block = 1024 * 1024;
    static const std::string filler(block, 'x');
    const auto fill = [](size_t total) {
        return [total](size_t offset, size_t length, httplib::DataSink &sink) {
            sink.write(filler.data(), std::min({length, block, total - offset}));
            return true;
        };
    };
    LocalServer local;
    local.server().Get("/exact", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider(size_t(ceiling), "application/octet-stream", fill(size_t(ceiling)));
    });
    local.server().Get("/over", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider(size_t(ceiling) + 1, "application/octet-stream", fill(size_t(ceiling) + 1));
    });
    // Chunked with no end in sight (it stops one block past the ceiling, so a client without
    // a ceiling finishes and the test fails instead of eating the machine's memory).
    const auto endless = [&](const char *type) {
        return [&, type](const httplib::Request &, httplib::Response &res) {
            res.set_chunked_content_provider(type, [&](size_t offset, httplib::DataSink &sink) {
                if (offset > size_t(ceiling))
                    sink.done();
                else
                    sink.write(filler.data(), block);
                return true;
            });
        };
    };
    local.server().Get("/endless", endless("application/octet-stream"));
    // The test server compresses JSON for a client that accepts it; asked for the bytes as
    // they are, it sends them so and the ceiling applies as to any other body.
    local.server().Get("/endless-json", endless("application/json"));
    // A redirect's body is dropped, but read it is.
    local.server().Get("/endless-redirect", [&](const httplib::Request &req, httplib::Response &res) {
        endless("application/octet-stream")(req, res);
        res.status = 302;
        res.set_header("Location", "/exact");
    });
    local.server().Get("/two-lengths", [](const httplib::Request &, httplib::Response &res) {
        res.headers.emplace("Content-Length", "5");
        res.headers.emplace("Content-Length", "3");
        res.set_content("hello", "application/octet-stream");
    });
    local.server().Get("/same-length-twice", [](const httplib::Request &, httplib::Response &res) {
        res.headers.emplace("Content-Length", "5");
        res.headers.emplace("Content-Length", "5");
        res.set_content("hello", "application/octet-stream");
    });
    local.start();

    EXPECT_EQ(await(HttpClient::send(get(local.url(QStringLiteral("/exact"))))).body.size(), ceiling);
    EXPECT_EQ(transportFailure(HttpClient::send(get(local.url(QStringLiteral("/over"))))), Code::responseTooLarge);
    EXPECT_EQ(transportFailure(HttpClient::send(get(local.url(QStringLiteral("/endless"))))), Code::responseTooLarge);
    EXPECT_EQ(transportFailure(HttpClient::send(get(local.url(QStringLiteral("/endless-json"))))),
              Code::responseTooLarge);
    EXPECT_EQ(transportFailure(HttpClient::send(get(local.url(QStringLiteral("/endless-redirect"))))),
              Code::responseTooLarge);
    EXPECT_EQ(transportFailure(HttpClient::send(get(local.url(QStringLiteral("/two-lengths"))))), Code::badServerResponse);
    EXPECT_EQ(await(HttpClient::send(get(local.url(QStringLiteral("/same-length-twice"))))).body, QByteArray("hello"));
}

namespace {

// About 2 MiB on the wire that inflate to 2 GiB of JSON padding: 32 gzip members of 64 MiB of
// spaces each (one body may hold several members).
std::string gzipBomb()
{
    httplib::detail::gzip_compressor compressor;
    std::string member;
    const auto collect = [&member](const char *data, size_t length) {
        member.append(data, length);
        return true;
    };
    const std::string block(1024 * 1024, ' ');
    for (int mib = 0; mib < 64; ++mib)
        compressor.compress(block.data(), block.size(), mib == 63, collect);
    std::string bomb;
    for (int copy = 0; copy < 32; ++copy)
        bomb += member;
    return bomb;
}

} // namespace

TEST(HttpClient, AsksForUnencodedBodiesAndNeverInflatesOneItDidNotAskFor)
{
    static const std::string bomb = gzipBomb();
    LocalServer local;
    std::mutex seenMutex;
    std::vector<std::string> acceptEncodings;
    // Compressed whatever the request asked for, as a broken or hostile server may do. (The
    // type's parameter keeps the test server from compressing it once more.)
    local.server().Get(R"(/bomb/(\d+))", [&](const httplib::Request &req, httplib::Response &res) {
        {
            std::lock_guard lock(seenMutex);
            acceptEncodings.push_back(req.get_header_value("Accept-Encoding"));
        }
        res.status = std::stoi(req.matches[1]);
        res.set_header("Content-Encoding", "gzip");
        res.set_content(bomb, "application/json; charset=utf-8");
    });
    local.server().Get("/plain", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(std::string(64 * 1024, ' ') + "{}", "application/json");
    });
    local.start();

    for (const bool here : {false, true}) {
        SCOPED_TRACE(here ? "on a worker" : "from the main thread");
        HttpRequest bombed = get(local.url(QStringLiteral("/bomb/200")));
        bombed.inactivityTimeout = 10s;
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(transportFailure(sendBy(here, bombed)), Code::badServerResponse);
        EXPECT_LT(timer.elapsed(), 3000);

        // A refusal keeps its status; its body is the bytes as sent, never inflated.
        bombed.url = local.url(QStringLiteral("/bomb/503"));
        timer.restart();
        const HttpResponse refused = await(sendBy(here, bombed));
        EXPECT_EQ(refused.status, 503);
        EXPECT_EQ(refused.body.size(), qsizetype(bomb.size()));
        EXPECT_LT(timer.elapsed(), 3000);
    }

    // A server that honours the request sends the JSON as it is.
    const HttpResponse plain = await(HttpClient::send(get(local.url(QStringLiteral("/plain")))));
    EXPECT_EQ(plain.headers.value("Content-Encoding"), std::nullopt);
    EXPECT_TRUE(plain.body.endsWith("{}"));
    std::lock_guard lock(seenMutex);
    EXPECT_EQ(acceptEncodings, std::vector<std::string>(4, "identity"));
}
