#include "Platform/Http/HttpClient.h"

#include "Platform/Async/Background.h"
#include "Platform/Async/WaitQueue.h"
#include "Platform/Http/CurlExchange.h"
#include "Platform/Http/CurlSupport.h"
#include "Platform/Http/DownloadWriter.h"
#include "Platform/Http/NetworkManager.h"
#include "Platform/Http/Redirects.h"
#include "Platform/Http/TemporaryDownloadFile.h"
#include "Platform/Http/TransportError.h"
#include "Platform/Http/UrlBuilding.h"

#include <QBuffer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>

namespace quillmere {

namespace {

// GCC 12 destroys a lambda that is a temporary inside a co_await expression twice (its
// captures are released twice: a QByteArray's data freed while still in use). Every awaited
// task here is therefore made into a named local first, then awaited with std::move.

using Code = TransportError::Code;

constexpr qint64 kChunkSize = 256 * 1024;
// What Qt may hold of a body read into memory before we take it; the socket waits beyond that.
constexpr qint64 kMemoryReadBuffer = 1024 * 1024;
// What Qt may hold of a download's body before we read it; the socket waits beyond that.
constexpr qint64 kDownloadReadBuffer = 4 * 1024 * 1024;
// What may wait in memory for the disk while reading goes on.
constexpr qint64 kWriteQueueLimit = 4 * 1024 * 1024;
constexpr qsizetype kErrorBodyLimit = 64 * 1024;

// Whether the body comes in a content coding: we ask for every body as it is ("identity"),
// so Qt never inflates one, and an encoded body would reach its reader as compressed bytes.
bool isEncoded(const HttpHeaders &headers)
{
    const auto encoding = headers.value("Content-Encoding");
    return encoding && !encoding->trimmed().isEmpty()
           && encoding->trimmed().compare("identity", Qt::CaseInsensitive) != 0;
}

// Where the body of the final (non-redirect) reply goes.
class BodySink
{
public:
    virtual ~BodySink() = default;
    virtual qint64 readBufferSize() const = 0;
    // Once, when the final reply's status is known, before any of its body. `declaredLength`
    // is its Content-Length, when it has one.
    virtual QCoro::Task<> begin(int status, const HttpHeaders &headers, std::optional<qint64> declaredLength) = 0;
    virtual QCoro::Task<> append(QByteArray chunk) = 0;
};

class MemorySink final : public BodySink
{
public:
    qint64 readBufferSize() const override { return kMemoryReadBuffer; }
    QCoro::Task<> begin(int status, const HttpHeaders &headers, std::optional<qint64> declaredLength) override
    {
        if (declaredLength && *declaredLength > HttpClient::maximumBodySize)
            throw TransportError(Code::responseTooLarge);
        // A result the caller would read is refused before any of it is read. A refusal's
        // body (its message at most) is kept as it came, within the ceiling.
        if (status >= 200 && status < 300 && isEncoded(headers))
            throw TransportError(Code::badServerResponse);
        co_return;
    }
    QCoro::Task<> append(QByteArray chunk) override
    {
        // A reply without a length (or lying about it) can be endless.
        if (chunk.size() > HttpClient::maximumBodySize - body.size())
            throw TransportError(Code::responseTooLarge);
        body.append(chunk);
        co_return;
    }
    QByteArray body;
};

class FileSink final : public BodySink
{
public:
    FileSink(QByteArray destination, ExpectedDownload expected)
        : file(std::move(destination)), expected(std::move(expected))
    {
    }

    qint64 readBufferSize() const override { return kDownloadReadBuffer; }
    QCoro::Task<> begin(int status, const HttpHeaders &headers, std::optional<qint64> declaredLength) override
    {
        toFile = status == 200;
        if (!toFile && declaredLength && *declaredLength > HttpClient::maximumBodySize)
            throw TransportError(Code::responseTooLarge);
        if (toFile) {
            // We asked for the bytes as stored; compressed bytes would land in the file as such.
            if (isEncoded(headers))
                throw TransportError(Code::badServerResponse);
            // A body announced at another size is not the one expected: refused unread.
            if (expected.size && declaredLength && *declaredLength != *expected.size)
                throw TransportError(Code::contentMismatch);
            auto *target = &file;
            auto creating = runInBackground([target] { target->create(); });
            co_await std::move(creating);
            // Hashed only when there is a checksum to compare with.
            writer = std::make_unique<DownloadWriter>(file, kWriteQueueLimit, expected.sha256.has_value());
        }
    }
    QCoro::Task<> append(QByteArray chunk) override
    {
        received += chunk.size();
        if (toFile) {
            // The first byte past the expected size ends the transfer: an endless body never
            // fills the disk.
            if (expected.size && received > *expected.size)
                throw TransportError(Code::contentMismatch);
            auto writing = writer->write(std::move(chunk));
            co_await std::move(writing);
        } else {
            // Only the start is kept, but the rest is read too: bounded like a body in memory.
            if (received > HttpClient::maximumBodySize)
                throw TransportError(Code::responseTooLarge);
            if (errorBody.size() < kErrorBodyLimit)
                errorBody.append(chunk.left(kErrorBodyLimit - errorBody.size()));
        }
    }
    // Every byte on disk, checked against what was expected, synced and renamed over the
    // destination.
    QCoro::Task<> commit()
    {
        auto finishing = writer->finish();
        co_await std::move(finishing);
        // The writer's thread has ended: its count and hash are complete and ours to read.
        if (expected.size && file.bytesWritten() != *expected.size)
            throw TransportError(Code::contentMismatch);
        if (expected.sha256
            && writer->sha256Hex().value_or(QByteArray()).compare(expected.sha256->trimmed(), Qt::CaseInsensitive) != 0)
            throw TransportError(Code::contentMismatch);
        auto *target = &file;
        const std::optional<JudgedDestination> judged = expected.destination;
        auto committing = runInBackground([target, judged] { target->commit(judged); });
        co_await std::move(committing);
    }
    // Ends the writer's thread, then removes the temporary file.
    QCoro::Task<> discard()
    {
        if (writer) {
            auto stopping = writer->stop();
            co_await std::move(stopping);
        }
        auto *target = &file;
        auto discarding = runInBackground([target] { target->discard(); });
        co_await std::move(discarding);
    }

    TemporaryDownloadFile file;
    const ExpectedDownload expected;
    std::unique_ptr<DownloadWriter> writer;
    bool toFile = false;
    qint64 received = 0;
    QByteArray errorBody;
};

struct Outcome
{
    int status = 0;
    HttpHeaders headers;
    bool redirect = false;
};

// One request on the wire. Reply signals only record what happened and post a resume of the
// waiting coroutine, so the coroutine never runs inside a Qt signal and may end (destroying
// this) at any point without pulling the reply out from under Qt.
struct Exchange
{
    QObject context;
    QTimer idleTimer;
    QNetworkReply *reply = nullptr;
    bool finished = false;
    bool timedOut = false;
    bool cancelled = false;
    bool resumePosted = false;
    // What the handshake found wrong with the server's certificate, when it refused one.
    TransportError::Code certificate = TransportError::Code::secureConnectionFailed;
    WaitQueue waiters;

    ~Exchange()
    {
        if (!reply)
            return;
        QObject::disconnect(reply, nullptr, &context, nullptr);
        if (!reply->isFinished())
            reply->abort();
        reply->deleteLater();
    }

    void wake()
    {
        if (waiters.empty() || resumePosted)
            return;
        resumePosted = true;
        QMetaObject::invokeMethod(
            &context,
            [this] {
                resumePosted = false;
                waiters.resumeAll();
            },
            Qt::QueuedConnection);
    }

    void touch()
    {
        if (!finished)
            idleTimer.start();
    }

    void abortBecause(bool &flag)
    {
        if (finished || timedOut || cancelled)
            return;
        flag = true;
        reply->abort();
        wake();
    }
};

bool hasStatus(const QNetworkReply &reply)
{
    return reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
}

// Connection-level failures (as opposed to the status-driven content and server errors Qt
// also reports) mean the body that followed the status did not arrive whole.
bool isConnectionFailure(QNetworkReply::NetworkError error)
{
    return (error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied)
        || error == QNetworkReply::ProtocolFailure;
}

// Qt sends a request again, on a new connection, when the connection it went out on closes
// before any answer. By then the service may have carried it out: a device link approved, a
// rotating token renewed, a file deleted. Qt rewinds the body before such a resend and gives up
// (ContentReSendError) when the body refuses, so every request that may change something goes
// out with a body that cannot be rewound, even an empty one: a lost answer then reaches the
// caller as a lost connection and the request travels once.
class SendOnceBody final : public QIODevice
{
public:
    explicit SendOnceBody(std::shared_ptr<QIODevice> source) : m_source(std::move(source))
    {
        open(QIODevice::ReadOnly);
    }

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_source->size(); }
    bool reset() override { return false; }
    bool seek(qint64 position) override { return position == pos() && QIODevice::seek(position); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (!m_source->seek(pos()))
            return -1;
        return m_source->read(data, maxSize);
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    std::shared_ptr<QIODevice> m_source;
};

QNetworkReply *sendOnce(QNetworkAccessManager &manager, const QNetworkRequest &wire, const QByteArray &method,
                        std::shared_ptr<QIODevice> source)
{
    auto body = std::make_shared<SendOnceBody>(std::move(source));
    QNetworkReply *reply = manager.sendCustomRequest(wire, method, body.get());
    // Qt reads the body until the reply is gone; release our hold on it only then.
    QObject::connect(reply, &QObject::destroyed, [keep = std::move(body)]() mutable {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [k = std::move(keep)] {}, Qt::QueuedConnection);
    });
    return reply;
}

QNetworkReply *issue(const HttpRequest &request)
{
    QNetworkRequest wire(request.url);
    wire.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    wire.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    wire.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    wire.setTransferTimeout(0);
    for (const auto &[name, value] : request.headers.fields())
        wire.setRawHeader(name, value);

    auto &manager = networkManager();
    const QByteArray method = request.method.toUpper();
    if (QIODevice *device = request.bodyDevice.get()) {
        if (!device->isOpen() || !device->isReadable() || device->isSequential() || !device->seek(0))
            throw std::invalid_argument("an upload body must be an open, readable, seekable device");
        wire.setHeader(QNetworkRequest::ContentLengthHeader, device->size());
        return sendOnce(manager, wire, method, request.bodyDevice);
    }
    // Asking again for what a GET or HEAD reads changes nothing at the service.
    if (method == "GET" && request.body.isEmpty())
        return manager.get(wire);
    if (method == "HEAD")
        return manager.head(wire);
    auto bytes = std::make_shared<QBuffer>();
    bytes->setData(request.body);
    bytes->open(QIODevice::ReadOnly);
    wire.setHeader(QNetworkRequest::ContentLengthHeader, request.body.size());
    return sendOnce(manager, wire, method, std::move(bytes));
}

QCoro::Task<Outcome> perform(const HttpRequest &request, BodySink &sink, const std::stop_token &stop)
{
    if (stop.stop_requested())
        throw TransportError(Code::cancelled);
    if (!isPermittedUrl(request.url))
        throw TransportError(Code::unsupportedURL);

    auto exchange = std::make_unique<Exchange>();
    Exchange *ex = exchange.get();
    ex->reply = issue(request);
    if (const qint64 limit = sink.readBufferSize())
        ex->reply->setReadBufferSize(limit);

    QObject::connect(ex->reply, &QNetworkReply::metaDataChanged, &ex->context, [ex] {
        ex->touch();
        ex->wake();
    });
    QObject::connect(ex->reply, &QNetworkReply::readyRead, &ex->context, [ex] {
        ex->touch();
        ex->wake();
    });
    // Never ignored: the reply then fails its handshake, and says why.
    QObject::connect(ex->reply, &QNetworkReply::sslErrors, &ex->context,
                     [ex](const QList<QSslError> &errors) { ex->certificate = TransportError::codeFor(errors); });
    QObject::connect(ex->reply, &QNetworkReply::uploadProgress, &ex->context, [ex] { ex->touch(); });
    QObject::connect(ex->reply, &QNetworkReply::downloadProgress, &ex->context, [ex] { ex->touch(); });
    QObject::connect(ex->reply, &QNetworkReply::finished, &ex->context, [ex] {
        ex->finished = true;
        ex->idleTimer.stop();
        ex->wake();
    });
    ex->idleTimer.setSingleShot(true);
    ex->idleTimer.setInterval(request.inactivityTimeout);
    QObject::connect(&ex->idleTimer, &QTimer::timeout, &ex->context, [ex] { ex->abortBecause(ex->timedOut); });
    ex->idleTimer.start();

    // May run on any thread: hop to the main thread before touching the reply. The posted
    // call dies with the exchange's context if the transfer ends first.
    std::stop_callback onStop(stop, [ex] {
        QMetaObject::invokeMethod(&ex->context, [ex] { ex->abortBecause(ex->cancelled); }, Qt::QueuedConnection);
    });

    Outcome outcome;
    bool begun = false;
    qint64 received = 0;
    for (;;) {
        if (ex->timedOut || ex->cancelled)
            break;
        if (!begun && hasStatus(*ex->reply)) {
            begun = true;
            outcome.status = ex->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            outcome.headers = HttpHeaders(ex->reply->rawHeaderPairs());
            outcome.redirect = isRedirectStatus(outcome.status) && outcome.headers.contains("Location");
            const std::optional<qint64> length = declaredContentLength(outcome.headers);
            if (!outcome.redirect) {
                auto beginning = sink.begin(outcome.status, outcome.headers, length);
                co_await std::move(beginning);
            } else if (length && *length > HttpClient::maximumBodySize) {
                throw TransportError(Code::responseTooLarge);
            }
            continue;
        }
        if (begun && ex->reply->bytesAvailable() > 0) {
            QByteArray chunk = ex->reply->read(std::min(ex->reply->bytesAvailable(), kChunkSize));
            received += chunk.size();
            if (!outcome.redirect) {
                auto appending = sink.append(std::move(chunk));
                co_await std::move(appending);
            } else if (received > HttpClient::maximumBodySize) {
                // A redirect's body is read only to be dropped, but read it is: bounded too.
                throw TransportError(Code::responseTooLarge);
            }
            ex->touch();
            continue;
        }
        if (ex->finished)
            break;
        co_await ex->waiters.wait();
    }

    if (ex->timedOut)
        throw TransportError(Code::timedOut);
    if (ex->cancelled)
        throw TransportError(Code::cancelled);
    if (!begun) {
        const Code code = TransportError::codeFor(ex->reply->error());
        throw TransportError(code == Code::secureConnectionFailed ? ex->certificate : code);
    }
    if (isConnectionFailure(ex->reply->error()))
        throw TransportError(Code::connectionLost);
    // Qt reports no error for a 2xx status itself: any error means the body did not come
    // through whole, e.g. a compressed body that failed its decompression (Qt ends the body
    // early, "Decompression failed"). (On 307/308 Qt tries to rewind the body for a redirect
    // it does not follow, which a body sent once refuses: not an error of the reply.)
    if (outcome.status >= 200 && outcome.status < 300 && ex->reply->error() != QNetworkReply::NoError)
        throw TransportError(Code::badServerResponse);

    // Qt leaves the body undecoded when the caller chose the encoding: the byte count must
    // then match the declared length exactly.
    const bool hasBody = request.method.toUpper() != "HEAD" && outcome.status >= 200 && outcome.status != 204
        && outcome.status != 304;
    const auto encoding = outcome.headers.value("Content-Encoding");
    if (hasBody && request.headers.contains("Accept-Encoding") && (!encoding || encoding->trimmed() == "identity")) {
        if (const auto declared = outcome.headers.value("Content-Length")) {
            bool ok = false;
            const qint64 length = declared->trimmed().toLongLong(&ok);
            if (ok && received != length)
                throw TransportError(Code::connectionLost);
        }
    }
    co_return outcome;
}

// A request whose body is in memory, with its reply read whole: over libcurl on a worker
// (CurlExchange.h), so that the service's short requests cost the main thread one resume
// each instead of a run of Qt's signals; the sink then checks the reply as it would Qt's.
QCoro::Task<Outcome> performInMemory(const HttpRequest &request, MemorySink &sink, const std::stop_token &stop)
{
    auto exchanging = curlExchange(request, HttpClient::maximumBodySize, stop);
    HttpResponse reply = co_await std::move(exchanging);
    Outcome outcome;
    outcome.status = reply.status;
    outcome.headers = std::move(reply.headers);
    outcome.redirect = isRedirectStatus(outcome.status) && outcome.headers.contains("Location");
    const std::optional<qint64> length = declaredContentLength(outcome.headers);
    if (outcome.redirect)
        co_return outcome; // its body (bounded by the exchange) is only dropped
    auto beginning = sink.begin(outcome.status, outcome.headers, length);
    co_await std::move(beginning);
    if (!reply.body.isEmpty()) {
        auto appending = sink.append(std::move(reply.body));
        co_await std::move(appending);
    }
    co_return outcome;
}

struct Final
{
    Outcome outcome;
    QUrl url;
    bool leftOrigin = false;
};

// `inMemory`: the sink is a MemorySink and the body, if any, is in `request.body`.
QCoro::Task<Final> followRedirects(HttpRequest request, BodySink &sink, std::stop_token stop, bool inMemory = false)
{
    bool leftOrigin = false;
    for (int hops = 0;; ++hops) {
        auto performing = inMemory ? performInMemory(request, static_cast<MemorySink &>(sink), stop)
                                   : perform(request, sink, stop);
        Outcome outcome = co_await std::move(performing);
        if (!outcome.redirect)
            co_return Final{std::move(outcome), request.url, leftOrigin};
        if (hops == HttpClient::maximumRedirects)
            throw TransportError(Code::unknown);
        const QUrl target = redirectTarget(request.url, *outcome.headers.value("Location"));
        leftOrigin = leftOrigin || !isSameOrigin(request.url, target);
        request = redirectedRequest(request, outcome.status, target);
    }
}

} // namespace

QCoro::Task<HttpResponse> HttpClient::send(HttpRequest request, std::stop_token stop)
{
    // Qt inflates a body only when it chose the encodings itself, and then past any bound we
    // set (a small reply can inflate to gigabytes, and Qt stalls on it): bytes as stored only.
    request.headers.set("Accept-Encoding", "identity");
    MemorySink sink;
    const bool inMemory = request.bodyDevice == nullptr;
    auto following = followRedirects(std::move(request), sink, stop, inMemory);
    Final final = co_await std::move(following);
    co_return HttpResponse{final.outcome.status, std::move(final.outcome.headers), std::move(sink.body), final.url,
                           final.leftOrigin};
}

QThreadPool &HttpClient::transferPool()
{
    return curl::transferPool();
}

HttpResponse HttpClient::sendHere(HttpRequest request, const std::stop_token &stop)
{
    if (request.bodyDevice)
        throw std::invalid_argument("a streamed body is sent only through send()");
    request.headers.set("Accept-Encoding", "identity");
    bool leftOrigin = false;
    for (int hops = 0;; ++hops) {
        HttpResponse reply = curlExchangeHere(request, maximumBodySize, stop);
        reply.leftOrigin = leftOrigin;
        if (!(isRedirectStatus(reply.status) && reply.headers.contains("Location"))) {
            // What the memory sink checks of a reply in send().
            const std::optional<qint64> length = declaredContentLength(reply.headers);
            if (length && *length > maximumBodySize)
                throw TransportError(Code::responseTooLarge);
            if (reply.status >= 200 && reply.status < 300 && isEncoded(reply.headers))
                throw TransportError(Code::badServerResponse);
            return reply;
        }
        if (hops == maximumRedirects)
            throw TransportError(Code::unknown);
        const QUrl target = redirectTarget(request.url, *reply.headers.value("Location"));
        leftOrigin = leftOrigin || !isSameOrigin(request.url, target);
        request = redirectedRequest(request, reply.status, target);
    }
}

QCoro::Task<HttpResponse> HttpClient::download(HttpRequest request, QString destinationPath, ExpectedDownload expected,
                                               std::stop_token stop)
{
    const QByteArray destination = QFile::encodeName(destinationPath);
    auto checking = runInBackground([destination] { TemporaryDownloadFile::checkDestination(destination); });
    co_await std::move(checking);

    // Exact bytes: no transparent decompression, so the length can be checked.
    request.headers.set("Accept-Encoding", "identity");

    auto sink = std::make_shared<FileSink>(destination, std::move(expected));
    std::exception_ptr failure;
    std::optional<Final> final;
    try {
        auto following = followRedirects(std::move(request), *sink, stop);
        final = co_await std::move(following);
        if (sink->toFile) {
            auto committing = sink->commit();
            co_await std::move(committing);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // Removing the temporary file is file-system work too: keep it off the main thread.
        auto discarding = sink->discard();
        co_await std::move(discarding);
        std::rethrow_exception(failure);
    }
    co_return HttpResponse{final->outcome.status, std::move(final->outcome.headers), std::move(sink->errorBody),
                           final->url, final->leftOrigin};
}

} // namespace quillmere
