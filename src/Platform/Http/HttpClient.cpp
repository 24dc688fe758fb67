#include "Platform/Http/HttpClient.h"

#include "Platform/Async/Background.h"
#include "Platform/Async/WaitQueue.h"
#include "Platform/Http/DownloadWriter.h"
#include "Platform/Http/NetworkManager.h"
#include "Platform/Http/Redirects.h"
#include "Platform/Http/TemporaryDownloadFile.h"
#include "Platform/Http/TransportError.h"
#include "Platform/Http/UrlBuilding.h"

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
// What Qt may hold of a download's body before we read it; the socket waits beyond that.
constexpr qint64 kDownloadReadBuffer = 4 * 1024 * 1024;
// What may wait in memory for the disk while reading goes on.
constexpr qint64 kWriteQueueLimit = 4 * 1024 * 1024;
constexpr qsizetype kErrorBodyLimit = 64 * 1024;

// Where the body of the final (non-redirect) reply goes.
class BodySink
{
public:
    virtual ~BodySink() = default;
    virtual qint64 readBufferSize() const = 0;
    // Once, when the final reply's status is known, before any of its body.
    virtual QCoro::Task<> begin(int status) = 0;
    virtual QCoro::Task<> append(QByteArray chunk) = 0;
};

class MemorySink final : public BodySink
{
public:
    qint64 readBufferSize() const override { return 0; }
    QCoro::Task<> begin(int) override { co_return; }
    QCoro::Task<> append(QByteArray chunk) override
    {
        body.append(chunk);
        co_return;
    }
    QByteArray body;
};

class FileSink final : public BodySink
{
public:
    explicit FileSink(QByteArray destination) : file(std::move(destination)) {}

    qint64 readBufferSize() const override { return kDownloadReadBuffer; }
    QCoro::Task<> begin(int status) override
    {
        toFile = status == 200;
        if (toFile) {
            auto *target = &file;
            auto creating = runInBackground([target] { target->create(); });
            co_await std::move(creating);
            writer = std::make_unique<DownloadWriter>(file, kWriteQueueLimit);
        }
    }
    QCoro::Task<> append(QByteArray chunk) override
    {
        if (toFile) {
            auto writing = writer->write(std::move(chunk));
            co_await std::move(writing);
        } else if (errorBody.size() < kErrorBodyLimit) {
            errorBody.append(chunk.left(kErrorBodyLimit - errorBody.size()));
        }
    }
    // Every byte on disk, synced and renamed over the destination.
    QCoro::Task<> commit()
    {
        auto finishing = writer->finish();
        co_await std::move(finishing);
        auto *target = &file;
        auto committing = runInBackground([target] { target->commit(); });
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
    std::unique_ptr<DownloadWriter> writer;
    bool toFile = false;
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
        QNetworkReply *reply = manager.sendCustomRequest(wire, method, device);
        // Qt reads the device until the reply is gone; release our hold on it only then.
        QObject::connect(reply, &QObject::destroyed, [keep = request.bodyDevice]() mutable {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [k = std::move(keep)] {}, Qt::QueuedConnection);
        });
        return reply;
    }
    if (method == "GET" && request.body.isEmpty())
        return manager.get(wire);
    if (method == "HEAD")
        return manager.head(wire);
    return manager.sendCustomRequest(wire, method, request.body);
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
            if (!outcome.redirect) {
                auto beginning = sink.begin(outcome.status);
                co_await std::move(beginning);
            }
            continue;
        }
        if (begun && ex->reply->bytesAvailable() > 0) {
            QByteArray chunk = ex->reply->read(std::min(ex->reply->bytesAvailable(), kChunkSize));
            received += chunk.size();
            if (!outcome.redirect) {
                auto appending = sink.append(std::move(chunk));
                co_await std::move(appending);
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
    if (!begun)
        throw TransportError(TransportError::codeFor(ex->reply->error()));
    if (isConnectionFailure(ex->reply->error()))
        throw TransportError(Code::connectionLost);

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

struct Final
{
    Outcome outcome;
    QUrl url;
};

QCoro::Task<Final> followRedirects(HttpRequest request, BodySink &sink, std::stop_token stop)
{
    for (int hops = 0;; ++hops) {
        auto performing = perform(request, sink, stop);
        Outcome outcome = co_await std::move(performing);
        if (!outcome.redirect)
            co_return Final{std::move(outcome), request.url};
        if (hops == HttpClient::maximumRedirects)
            throw TransportError(Code::unknown);
        const QUrl target = request.url.resolved(QUrl::fromEncoded(*outcome.headers.value("Location")));
        request = redirectedRequest(request, outcome.status, target);
    }
}

} // namespace

QCoro::Task<HttpResponse> HttpClient::send(HttpRequest request, std::stop_token stop)
{
    MemorySink sink;
    auto following = followRedirects(std::move(request), sink, stop);
    Final final = co_await std::move(following);
    co_return HttpResponse{final.outcome.status, std::move(final.outcome.headers), std::move(sink.body), final.url};
}

QCoro::Task<HttpResponse> HttpClient::download(HttpRequest request, QString destinationPath, std::stop_token stop)
{
    const QByteArray destination = QFile::encodeName(destinationPath);
    auto checking = runInBackground([destination] { TemporaryDownloadFile::checkDestination(destination); });
    co_await std::move(checking);

    // Exact bytes: no transparent decompression, so the length can be checked.
    if (!request.headers.contains("Accept-Encoding"))
        request.headers.set("Accept-Encoding", "identity");

    auto sink = std::make_shared<FileSink>(destination);
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
                           final->url};
}

} // namespace quillmere
