#include "Platform/Http/CurlExchange.h"

#include "Platform/Async/Background.h"
#include "Platform/Http/CurlSupport.h"
#include "Platform/Http/TransportError.h"
#include "Platform/Http/UrlBuilding.h"

#include <QScopeGuard>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace quillmere {

namespace {

using Code = TransportError::Code;
using Clock = std::chrono::steady_clock;

struct Job
{
    QByteArray method;
    QByteArray url;
    bool loopback = false;
    QList<QByteArray> headerLines;
    QByteArray body;
    qint64 bodyLimit = 0;
    std::chrono::milliseconds inactivity{60000};
    std::stop_token stop;
};

// What the callbacks share with the loop that runs the transfer, all on the worker thread.
struct Transfer
{
    const QByteArray *body = nullptr;
    qint64 position = 0;
    qint64 bodyLimit = 0;
    curl::Movement moved;
    bool tooLarge = false;
    bool sendOnce = false;
    // Times the request was about to go out on a connection (established, its handshake done).
    int sent = 0;
    bool resent = false;
    QList<HttpHeaders::Field> fields;
    QByteArray reply;
};

size_t readBody(char *buffer, size_t size, size_t count, void *context)
{
    auto *transfer = static_cast<Transfer *>(context);
    const qint64 wanted = std::min<qint64>(qint64(size * count), transfer->body->size() - transfer->position);
    if (wanted <= 0)
        return 0;
    std::memcpy(buffer, transfer->body->constData() + transfer->position, std::size_t(wanted));
    transfer->position += wanted;
    return std::size_t(wanted);
}

// Only for requests that change nothing: curl may send them again, from the start, on a
// fresh connection when a reused one turns out closed.
int rewindBody(void *context, curl_off_t offset, int origin)
{
    auto *transfer = static_cast<Transfer *>(context);
    return curl::rewindWithin(transfer->position, transfer->body->size(), offset, origin);
}

size_t keepBody(char *data, size_t size, size_t count, void *context)
{
    auto *transfer = static_cast<Transfer *>(context);
    const size_t bytes = size * count;
    // A reply without a length (or lying about it) can be endless.
    if (qint64(bytes) > transfer->bodyLimit - transfer->reply.size()) {
        transfer->tooLarge = true;
        return 0;
    }
    transfer->reply.append(data, qsizetype(bytes));
    return bytes;
}

size_t keepHeader(char *data, size_t size, size_t count, void *context)
{
    auto *transfer = static_cast<Transfer *>(context);
    const size_t bytes = size * count;
    curl::collectHeaderLine(transfer->fields, data, bytes);
    // The declared length, once known, settles a body that could never fit before any of it
    // is read; the caller checks the fields themselves (conflicting lengths) once it has them.
    const auto field = transfer->fields.isEmpty() ? nullptr : &transfer->fields.constLast();
    if (field && field->first.compare("Content-Length", Qt::CaseInsensitive) == 0) {
        bool ok = false;
        const qint64 declared = field->second.trimmed().toLongLong(&ok);
        if (ok && declared > transfer->bodyLimit) {
            transfer->tooLarge = true;
            return 0;
        }
        // Room for the whole body at once: grown by appends, a listing of every file would
        // take up to twice its size. (A redirect's or a retried reply's fields come again.)
        if (ok && declared > transfer->reply.capacity())
            transfer->reply.reserve(qsizetype(declared));
    }
    return bytes;
}

int noteProgress(void *context, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent)
{
    auto *transfer = static_cast<Transfer *>(context);
    transfer->moved.note(sent, received, Clock::now());
    return 0;
}

// Called each time the request is about to go out on a connection. curl sends a request
// again on a fresh connection when the one it went out on closes without an answer, and by
// then the service may have acted on it (a file deleted, a token renewed): a request that may
// change something is refused its second sending, and the caller hears of a lost connection.
int beforeSending(void *context, char *, char *, int, int)
{
    auto *transfer = static_cast<Transfer *>(context);
    if (++transfer->sent > 1 && transfer->sendOnce) {
        transfer->resent = true;
        return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
}

// Blocking: runs on a worker of the exchange pool, or of the transfer pool for work there.
HttpResponse perform(const Job &job)
{
    if (job.stop.stop_requested())
        throw TransportError(Code::cancelled);

    Transfer transfer;
    transfer.body = &job.body;
    transfer.bodyLimit = job.bodyLimit;

    const curl::ThreadMulti handles = curl::threadMulti();
    if (!handles.multi || !handles.easy)
        throw TransportError(Code::unknown);
    CURLM *const multi = handles.multi;
    const curl::HeaderList headerList = curl::makeHeaderList(job.headerLines);

    CURL *const handle = handles.easy;
    curl::setCommonOptions(handle, job.url, job.loopback, headerList.get(), long(job.inactivity.count()));
    // Bytes as the service stored them: nothing is inflated (no Accept-Encoding of curl's).
    curl_easy_setopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(handle, CURLOPT_HTTP_TRANSFER_DECODING, 1L);
    const bool changesNothing = job.method == "GET" || job.method == "HEAD";
    transfer.sendOnce = !changesNothing;
    curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, beforeSending);
    curl_easy_setopt(handle, CURLOPT_PREREQDATA, &transfer);
    if (job.method == "HEAD") {
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    } else if (job.method == "GET" && job.body.isEmpty()) {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    } else {
        // Every other request carries its body, even an empty one, with its length.
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(job.body.size()));
        curl_easy_setopt(handle, CURLOPT_READFUNCTION, readBody);
        curl_easy_setopt(handle, CURLOPT_READDATA, &transfer);
        if (changesNothing) {
            curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, rewindBody);
            curl_easy_setopt(handle, CURLOPT_SEEKDATA, &transfer);
        }
        if (job.method != "POST")
            curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, job.method.constData());
    }
    curl::setReplyCallbacks(handle, keepBody, keepHeader, noteProgress, &transfer);
    if (curl_multi_add_handle(multi, handle) != CURLM_OK)
        throw TransportError(Code::unknown);
    // The transfer leaves the thread's multi handle however this ends; its connection stays.
    const auto detach = qScopeGuard([multi, handle] { curl_multi_remove_handle(multi, handle); });

    bool stopped = false;
    bool quiet = false;
    std::optional<CURLcode> result;
    {
        // A stop wakes the wait at once, from whichever thread asks; the callback is gone
        // (and done) before the multi handle is.
        CURLM *waiting = multi;
        std::stop_callback wake(job.stop, [waiting] { curl_multi_wakeup(waiting); });
        for (;;) {
            int running = 0;
            if (curl_multi_perform(multi, &running) != CURLM_OK)
                break;
            int left = 0;
            while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
                if (message->msg == CURLMSG_DONE)
                    result = message->data.result;
            }
            if (result || running == 0)
                break;
            if (job.stop.stop_requested()) {
                stopped = true;
                break;
            }
            const auto silent = Clock::now() - transfer.moved.at;
            if (silent >= job.inactivity) {
                quiet = true;
                break;
            }
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(job.inactivity - silent);
            curl_multi_poll(multi, nullptr, 0, int(std::clamp<qint64>(wait.count() + 1, 1, 1000)), nullptr);
        }
    }

    if (stopped || job.stop.stop_requested())
        throw TransportError(Code::cancelled);
    // A request never handed to a connection (none could be made, or its handshake failed)
    // reached no server, whatever the code; once handed, it may have.
    const bool neverSent = transfer.sent == 0;
    if (quiet)
        throw TransportError(Code::timedOut, neverSent);
    if (transfer.resent)
        throw TransportError(Code::connectionLost);
    if (transfer.tooLarge)
        throw TransportError(Code::responseTooLarge);
    if (!result)
        throw TransportError(Code::unknown);
    if (*result != CURLE_OK)
        throw TransportError(curl::codeFor(*result, handle), neverSent);

    return curl::finishedResponse(handle, std::move(transfer.fields), std::move(transfer.reply));
}

Job makeJob(HttpRequest &request, qint64 bodyLimit, std::stop_token stop)
{
    if (stop.stop_requested())
        throw TransportError(Code::cancelled);
    if (!isPermittedUrl(request.url))
        throw TransportError(Code::unsupportedURL);
    if (request.bodyDevice)
        throw std::invalid_argument("a streamed body does not go through an in-memory exchange");
    curl::initialise();

    Job job;
    job.method = request.method.toUpper();
    job.url = request.url.toEncoded();
    job.loopback = isLoopbackHost(request.url.host());
    const bool hasBody = job.method != "HEAD" && !(job.method == "GET" && request.body.isEmpty());
    job.headerLines = curl::headerLines(request.headers, hasBody);
    job.body = std::move(request.body);
    job.bodyLimit = bodyLimit;
    job.inactivity = std::max(request.inactivityTimeout, std::chrono::milliseconds(1));
    job.stop = std::move(stop);
    return job;
}

} // namespace

QCoro::Task<HttpResponse> curlExchange(HttpRequest request, qint64 bodyLimit, std::stop_token stop)
{
    Job job = makeJob(request, bodyLimit, std::move(stop));
    auto work = [job = std::move(job)] { return perform(job); };
    auto running = runOnPool(curl::exchangePool(), std::move(work));
    HttpResponse response = co_await std::move(running);
    response.url = request.url;
    co_return response;
}

HttpResponse curlExchangeHere(HttpRequest request, qint64 bodyLimit, const std::stop_token &stop)
{
    HttpResponse response = perform(makeJob(request, bodyLimit, stop));
    response.url = request.url;
    return response;
}

} // namespace quillmere
