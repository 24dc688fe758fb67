#include "Platform/Async/Background.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Http/HttpTestHelpers.h"
#include "Platform/Http/LocalFileError.h"
#include "Platform/Http/StreamingUpload.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

using quillmere::HttpHeaders;
using quillmere::LocalFileError;
using quillmere::StreamingUpload;
using quillmere::TransportError;
using quillmere::test::await;
using quillmere::test::LocalServer;
using quillmere::test::transportFailure;
using Code = TransportError::Code;

namespace {

class StreamingUploadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        content.resize(3 * 1024 * 1024 + 101);
        for (qsizetype i = 0; i < content.size(); ++i)
            content[i] = char((i * 2654435761u) >> 13);
        path = dir.filePath(QStringLiteral("part.bin"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    static HttpHeaders octetStream()
    {
        HttpHeaders headers;
        headers.set("Content-Type", "application/octet-stream");
        return headers;
    }

    QByteArray content;
    QTemporaryDir dir;
    QString path;
    LocalServer local;
};

} // namespace

TEST_F(StreamingUploadTest, SendsExactlyTheSliceAndKeepsTheReplysFields)
{
    std::mutex lock;
    std::string received;
    std::string expectHeader = "unset";
    std::string contentType;
    local.server().Put("/part", [&](const httplib::Request &req, httplib::Response &res) {
        {
            const std::lock_guard guard(lock);
            received = req.body;
            expectHeader = req.has_header("Expect") ? req.get_header_value("Expect") : "(none)";
            contentType = req.get_header_value("Content-Type");
        }
        res.set_header("ETag", "\"part-etag\"");
        res.set_content(std::string(100 * 1024, 'r'), "text/plain");
    });
    local.start();

    const qint64 offset = 12345;
    const qint64 length = 2 * 1024 * 1024 + 7;
    auto putting = StreamingUpload::put(local.url(QStringLiteral("/part?X-Sig=a%2Fb")), octetStream(), path, offset,
                                        length, {});
    const auto response = await(std::move(putting));

    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.headers.value("etag").value_or("(none)"), QByteArray("\"part-etag\""));
    EXPECT_EQ(response.body.size(), StreamingUpload::replyBodyLimit) << "the reply body is kept only up to its bound";
    const std::lock_guard guard(lock);
    EXPECT_TRUE(QByteArray::fromStdString(received) == content.mid(offset, length))
        << "received " << received.size() << " bytes";
    EXPECT_EQ(expectHeader, "(none)") << "the body goes out without waiting for 100 Continue";
    EXPECT_EQ(contentType, "application/octet-stream");
}

TEST_F(StreamingUploadTest, AnyStatusIsAResponseARedirectIsNotFollowedAndSilenceTimesOut)
{
    local.server().Put("/full", [](const httplib::Request &, httplib::Response &res) {
        res.status = 507;
        res.set_content("{\"message\":\"full\"}", "application/json");
    });
    local.server().Put("/moved", [](const httplib::Request &, httplib::Response &res) {
        res.status = 307;
        res.set_header("Location", "/elsewhere");
    });
    local.server().Put("/elsewhere", [&](const httplib::Request &, httplib::Response &) { ++local.hits; });
    local.server().Put("/stall", [&](const httplib::Request &, httplib::Response &res) {
        local.pause(std::chrono::seconds(10));
        res.status = 200;
    });
    local.start();

    auto full = StreamingUpload::put(local.url(QStringLiteral("/full")), octetStream(), path, 0, 1000, {});
    const auto fullReply = await(std::move(full));
    EXPECT_EQ(fullReply.status, 507);
    EXPECT_EQ(fullReply.body, QByteArray("{\"message\":\"full\"}"));

    auto moved = StreamingUpload::put(local.url(QStringLiteral("/moved")), octetStream(), path, 0, 1000, {});
    EXPECT_EQ(await(std::move(moved)).status, 307);
    EXPECT_EQ(local.hits.load(), 0) << "a presigned address that redirects must not be followed";

    QElapsedTimer timer;
    timer.start();
    auto stalled = StreamingUpload::put(local.url(QStringLiteral("/stall")), octetStream(), path, 0, 1000, {},
                                        std::chrono::seconds(1));
    EXPECT_EQ(transportFailure(std::move(stalled)), Code::timedOut);
    EXPECT_LT(timer.elapsed(), 5000);
}

TEST_F(StreamingUploadTest, RefusedAddressesUnreachableServersAndShortFilesFailWithoutAStatus)
{
    local.server().Put("/part", [&](const httplib::Request &, httplib::Response &) { ++local.hits; });
    local.start();

    for (const char *address : {"ftp://127.0.0.1/part", "http://uploads.example.com/part", "file:///tmp/part"}) {
        auto refused = StreamingUpload::put(QUrl(QString::fromLatin1(address)), octetStream(), path, 0, 10, {});
        EXPECT_EQ(transportFailure(std::move(refused)), Code::unsupportedURL) << address;
    }

    LocalServer closed;
    closed.start();
    const QUrl nobody = closed.url(QStringLiteral("/part"));
    closed.stop();
    auto unreachable = StreamingUpload::put(nobody, octetStream(), path, 0, 10, {});
    EXPECT_EQ(transportFailure(std::move(unreachable)), Code::cannotConnect);

    // A file that ends before the slice does is never sent short.
    auto shortFile = StreamingUpload::put(local.url(QStringLiteral("/part")), octetStream(), path,
                                          content.size() - 100, 5000, {});
    EXPECT_THROW(await(std::move(shortFile)), LocalFileError);
    auto missing = StreamingUpload::put(local.url(QStringLiteral("/part")), octetStream(),
                                        dir.filePath(QStringLiteral("gone.bin")), 0, 10, {});
    EXPECT_THROW(await(std::move(missing)), LocalFileError);
    EXPECT_EQ(local.hits.load(), 0);
}

TEST_F(StreamingUploadTest, AStopEndsTheTransferMidBody)
{
    std::atomic<qint64> bytesIn{0};
    local.server().Put("/slow",
                       [&](const httplib::Request &, httplib::Response &, const httplib::ContentReader &reader) {
                           reader([&](const char *, size_t length) {
                               bytesIn += qint64(length);
                               return local.pause(std::chrono::milliseconds(2));
                           });
                       });
    local.start();

    // Far more than the socket buffers hold, read slowly: the client is still sending when stopped.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    for (int i = 0; i < 20; ++i)
        file.write(content);
    file.close();

    std::stop_source stop;
    auto putting = StreamingUpload::put(local.url(QStringLiteral("/slow")), octetStream(), path, 0, file.size(),
                                        stop.get_token());
    QElapsedTimer timer;
    timer.start();
    bool stopped = false;
    auto stopOnceFlowing = [&] {
        if (!stopped && bytesIn.load() > 0) {
            stopped = true;
            stop.request_stop();
        }
        return false;
    };
    quillmere::test::runUntil(stopOnceFlowing, std::chrono::milliseconds(500));
    ASSERT_TRUE(stopped) << "the body never started to arrive";
    EXPECT_EQ(transportFailure(std::move(putting)), Code::cancelled);
    EXPECT_LT(bytesIn.load(), file.size());
    EXPECT_LT(timer.elapsed(), 5000);
}

// A body read from a file that is still being written: it follows the releases, its end waits
// for the whole, and a refusal cuts it short, so the server never sees it complete.
TEST_F(StreamingUploadTest, AGatedBodyFollowsItsReleasesAndHoldsItsEndBack)
{
    constexpr qint64 heldBack = 1000;
    std::mutex lock;
    std::vector<std::string> completeBodies;
    std::atomic<qint64> bytesIn{0};
    std::atomic<int> requests{0};
    local.server().Put("/grow", [&](const httplib::Request &, httplib::Response &res,
                                    const httplib::ContentReader &reader) {
        ++requests;
        std::string body;
        const bool whole = reader([&](const char *data, size_t length) {
            body.append(data, length);
            bytesIn += qint64(length);
            return true;
        });
        if (whole) {
            const std::lock_guard guard(lock);
            completeBodies.push_back(body);
        }
        res.status = 200;
    });
    local.start();
    const qint64 half = content.size() / 2;
    const auto writeGrowing = [&](const QString &name, qint64 from, qint64 to) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write(content.mid(from, to - from));
    };

    // The file does not exist yet when the PUT starts.
    auto gate = std::make_shared<StreamingUpload::Gate>(content.size(), heldBack);
    std::optional<quillmere::HttpResponse> response;
    std::exception_ptr error;
    bool done = false;
    auto putting = StreamingUpload::putGrowing(local.url(QStringLiteral("/grow")), octetStream(),
                                               dir.filePath(QStringLiteral("growing.bin")), gate, {});
    auto running = quillmere::test::detail::capture(std::move(putting), response, error, done);
    writeGrowing(QStringLiteral("growing.bin"), 0, half);
    gate->release(half);
    ASSERT_TRUE(quillmere::test::runUntil([&] { return bytesIn.load() == half; }));
    writeGrowing(QStringLiteral("growing.bin"), half, content.size());
    gate->release(content.size());
    ASSERT_TRUE(quillmere::test::runUntil([&] { return bytesIn.load() == content.size() - heldBack; }));
    quillmere::test::runFor(std::chrono::milliseconds(200));
    EXPECT_FALSE(done) << "the body was complete before the whole was released";
    EXPECT_EQ(bytesIn.load(), content.size() - heldBack);
    gate->releaseAll();
    ASSERT_TRUE(quillmere::test::runUntil([&] { return done; }));
    ASSERT_FALSE(error);
    EXPECT_EQ(response->status, 200);
    {
        const std::lock_guard guard(lock);
        ASSERT_EQ(completeBodies.size(), 1u);
        EXPECT_TRUE(QByteArray::fromStdString(completeBodies[0]) == content);
    }

    // Refused mid-body: the transfer ends and the server never has the body whole.
    bytesIn = 0;
    auto refusedGate = std::make_shared<StreamingUpload::Gate>(content.size(), heldBack);
    auto refused = StreamingUpload::putGrowing(local.url(QStringLiteral("/grow")), octetStream(),
                                               dir.filePath(QStringLiteral("growing.bin")), refusedGate, {});
    refusedGate->release(half);
    ASSERT_TRUE(quillmere::test::runUntil([&] { return bytesIn.load() == half; }));
    refusedGate->refuse();
    EXPECT_EQ(transportFailure(std::move(refused)), Code::cancelled);

    // Nothing goes before the first release: an empty body would be complete at once.
    auto emptyGate = std::make_shared<StreamingUpload::Gate>(0, heldBack);
    response.reset();
    done = false;
    auto empty = StreamingUpload::putGrowing(local.url(QStringLiteral("/grow")), octetStream(),
                                             dir.filePath(QStringLiteral("empty.bin")), emptyGate, {});
    auto runningEmpty = quillmere::test::detail::capture(std::move(empty), response, error, done);
    quillmere::test::runFor(std::chrono::milliseconds(200));
    EXPECT_EQ(requests.load(), 2);
    emptyGate->releaseAll();
    ASSERT_TRUE(quillmere::test::runUntil([&] { return done; }));
    ASSERT_FALSE(error);
    EXPECT_EQ(response->status, 200);
    const std::lock_guard guard(lock);
    ASSERT_EQ(completeBodies.size(), 2u);
    EXPECT_TRUE(completeBodies[1].empty());
}

// Consecutive PUTs to one host go over a connection kept open between them, and a body from
// memory arrives exactly; a server that closed the kept connection meanwhile costs a new one,
// never the request.
TEST_F(StreamingUploadTest, ConsecutivePutsReuseTheirConnectionAndSendMemoryBodiesExactly)
{
    std::mutex lock;
    std::set<int> clientPorts;
    std::vector<std::string> bodies;
    local.server().set_keep_alive_max_count(100);
    local.server().set_keep_alive_timeout(1);
    local.server().Put("/blob", [&](const httplib::Request &req, httplib::Response &res) {
        const std::lock_guard guard(lock);
        clientPorts.insert(req.remote_port);
        bodies.push_back(req.body);
        res.status = 200;
    });
    local.start();

    constexpr int puts = 6;
    for (int i = 0; i < puts; ++i) {
        auto work = [url = local.url(QStringLiteral("/blob")), body = content.mid(i * 1000, 1000 + i)] {
            return StreamingUpload::putBytesHere(url, octetStream(), body, {}, std::chrono::seconds(60), {});
        };
        auto putting = quillmere::runOnPool(quillmere::HttpClient::transferPool(), std::move(work));
        EXPECT_EQ(await(std::move(putting)).status, 200);
    }
    // The slice of a file goes the same way.
    auto slice = StreamingUpload::put(local.url(QStringLiteral("/blob")), octetStream(), path, 10, 4096, {});
    EXPECT_EQ(await(std::move(slice)).status, 200);

    const std::lock_guard guard(lock);
    ASSERT_EQ(bodies.size(), std::size_t(puts + 1));
    for (int i = 0; i < puts; ++i)
        EXPECT_TRUE(QByteArray::fromStdString(bodies[std::size_t(i)]) == content.mid(i * 1000, 1000 + i)) << i;
    EXPECT_TRUE(QByteArray::fromStdString(bodies.back()) == content.mid(10, 4096));
    EXPECT_EQ(clientPorts.size(), 1u) << "each PUT opened a connection of its own";
}

// A storage host that answers with a reply that never ends (or dribbles one out, so bytes keep
// moving): the PUT ends at the first byte past the bound, with the status and the bound's
// worth of body, instead of reading on for as long as the host sends.
TEST_F(StreamingUploadTest, AnEndlessReplyEndsAtItsBound)
{
    constexpr size_t block = 256 * 1024;
    // Far past anything socket buffers hold: a client without a bound reads it all, and the
    // test then fails instead of running for ever.
    constexpr size_t cap = 256 * 1024 * 1024;
    static const std::string filler(block, 'r');
    std::atomic<qint64> replied{0};
    local.server().Put("/endless", [&](const httplib::Request &, httplib::Response &res) {
        res.set_header("ETag", "\"endless\"");
        res.set_chunked_content_provider("application/octet-stream", [&](size_t offset, httplib::DataSink &sink) {
            if (offset >= cap) {
                sink.done();
                return true;
            }
            if (!sink.write(filler.data(), block))
                return false;
            replied += qint64(block);
            return true;
        });
    });
    local.start();

    auto putting = StreamingUpload::put(local.url(QStringLiteral("/endless")), octetStream(), path, 0, 4096, {});
    const auto response = await(std::move(putting), std::chrono::seconds(60));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.headers.value("ETag").value_or("(none)"), QByteArray("\"endless\""));
    EXPECT_EQ(response.body, QByteArray(StreamingUpload::replyBodyLimit, 'r'));
    // What the server got out before the client hung up fits in the sockets' buffers.
    EXPECT_LT(replied.load(), qint64(32 * 1024 * 1024));
}
