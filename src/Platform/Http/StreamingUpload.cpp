#include "Platform/Http/StreamingUpload.h"

#include "Platform/Async/Background.h"
#include "Platform/Http/CurlSupport.h"
#include "Platform/Http/LocalFileError.h"
#include "Platform/Http/TransportError.h"
#include "Platform/Http/UrlBuilding.h"

#include <QFile>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace quillmere {

namespace {

using Code = TransportError::Code;

// Large reads keep the worker in few system calls; curl's own ceiling is 2 MiB.
constexpr long kUploadBufferSize = 1024 * 1024;

struct Job
{
    QByteArray url;
    bool loopback = false;
    QList<QByteArray> headerLines;
    QByteArray path;
    std::optional<QByteArray> body; // sent from memory instead of a file
    std::function<void()> beforeSending;
    qint64 offset = 0;
    qint64 length = 0;
    std::shared_ptr<StreamingUpload::Gate> gate;
    std::stop_token stop;
    std::chrono::milliseconds inactivity{60000};
};

// What the callbacks share with the call that runs the transfer, all on the worker thread.
struct Transfer
{
    int fd = -1;
    QByteArray path; // opened on the first read when gated
    const QByteArray *memory = nullptr; // the whole body, when it is sent from memory
    StreamingUpload::Gate *gate = nullptr;
    qint64 position = 0; // within the slice
    qint64 length = 0;
    qint64 offset = 0;
    std::stop_token stop;
    std::chrono::milliseconds inactivity{60000};
    curl::Movement moved;
    int readError = 0;
    bool stopped = false;
    bool quiet = false;
    bool replyCut = false; // the reply's body went past replyBodyLimit
    QList<HttpHeaders::Field> fields;
    QByteArray body;

    ~Transfer()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

size_t readBody(char *buffer, size_t size, size_t count, void *context)
{
    auto *transfer = static_cast<Transfer *>(context);
    if (transfer->stop.stop_requested()) {
        transfer->stopped = true;
        return CURL_READFUNC_ABORT;
    }
    qint64 available = transfer->length;
    if (transfer->gate && transfer->position < transfer->length) {
        const std::optional<qint64> released = transfer->gate->waitBeyond(transfer->position, transfer->stop);
        if (!released) {
            transfer->stopped = true;
            return CURL_READFUNC_ABORT;
        }
        available = *released;
        // Waiting for the file is not the network falling silent.
        transfer->moved.at = std::chrono::steady_clock::now();
        if (transfer->fd < 0) {
            transfer->fd = ::open(transfer->path.constData(), O_RDONLY | O_CLOEXEC);
            if (transfer->fd < 0) {
                transfer->readError = errno;
                return CURL_READFUNC_ABORT;
            }
        }
    }
    const qint64 wanted = std::min<qint64>(qint64(size * count), available - transfer->position);
    if (wanted <= 0)
        return 0;
    if (transfer->memory) {
        std::memcpy(buffer, transfer->memory->constData() + transfer->position, std::size_t(wanted));
        transfer->position += wanted;
        return std::size_t(wanted);
    }
    for (;;) {
        const ssize_t got = ::pread(transfer->fd, buffer, size_t(wanted), transfer->offset + transfer->position);
        if (got > 0) {
            transfer->position += got;
            return size_t(got);
        }
        if (got < 0 && errno == EINTR)
            continue;
        // The file ended before the slice did: it shrank since the length was taken.
        transfer->readError = got < 0 ? errno : EIO;
        return CURL_READFUNC_ABORT;
    }
}

// A reused connection the server had closed meanwhile makes libcurl send the request again
// on a new one, from the body's start: every body here can be read again from any offset.
int rewindBody(void *context, curl_off_t offset, int origin)
{
    auto *transfer = static_cast<Transfer *>(context);
    return curl::rewindWithin(transfer->position, transfer->length, offset, origin);
}

size_t keepBody(char *data, size_t size, size_t count, void *context)
{
    auto *transfer = static_cast<Transfer *>(context);
    const size_t bytes = size * count;
    const qsizetype room = StreamingUpload::replyBodyLimit - transfer->body.size();
    transfer->body.append(data, std::min<qsizetype>(room, qsizetype(bytes)));
    // A reply past its bound ends here: read on, an endless one would hold the worker (and
    // keep the inactivity clock from ever running out). Its status and fields are in.
    if (qsizetype(bytes) > room) {
        transfer->replyCut = true;
        return 0;
    }
    return bytes;
}

size_t keepHeader(char *data, size_t size, size_t count, void *context)
{
    const size_t bytes = size * count;
    curl::collectHeaderLine(static_cast<Transfer *>(context)->fields, data, bytes);
    return bytes;
}

// Called often while bytes move and about once a second while none do. curl's own low-speed
// check averages over several seconds, so it would notice a silence only well after it began.
int checkProgress(void *context, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent)
{
    auto *transfer = static_cast<Transfer *>(context);
    if (transfer->stop.stop_requested()) {
        transfer->stopped = true;
        return 1;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!transfer->moved.note(sent, received, now) && now - transfer->moved.at >= transfer->inactivity) {
        transfer->quiet = true;
        return 1;
    }
    return 0;
}

// Blocking: runs on a worker of the transfer pool.
HttpResponse perform(const Job &job)
{
    if (job.stop.stop_requested())
        throw TransportError(Code::cancelled);

    Transfer transfer;
    transfer.offset = job.offset;
    transfer.length = job.length;
    transfer.stop = job.stop;
    transfer.inactivity = job.inactivity;
    transfer.path = job.path;
    if (job.gate) {
        transfer.gate = job.gate.get();
        // No connection before there is something to send; an empty body would be whole the
        // moment it is sent.
        if (!job.gate->waitBeyond(0, job.stop))
            throw TransportError(Code::cancelled);
    } else if (job.body) {
        if (job.beforeSending)
            job.beforeSending();
        transfer.memory = &*job.body;
    } else {
        transfer.fd = ::open(job.path.constData(), O_RDONLY | O_CLOEXEC);
        if (transfer.fd < 0)
            throw LocalFileError(errno);
    }

    CURL *const handle = curl::threadEasyHandle();
    if (!handle)
        throw TransportError(Code::unknown);
    const curl::HeaderList headerList = curl::makeHeaderList(job.headerLines);

    curl::setCommonOptions(handle, job.url, job.loopback, headerList.get(), long(job.inactivity.count()));
    curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, curl_off_t(job.length));
    curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(handle, CURLOPT_READDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, rewindBody);
    curl_easy_setopt(handle, CURLOPT_SEEKDATA, &transfer);
    curl::setReplyCallbacks(handle, keepBody, keepHeader, checkProgress, &transfer);
    // A backstop behind the progress check, in whole seconds.
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, long((job.inactivity.count() + 999) / 1000));

    const CURLcode result = curl_easy_perform(handle);
    if (transfer.readError != 0)
        throw LocalFileError(transfer.readError);
    if (transfer.stopped || job.stop.stop_requested())
        throw TransportError(Code::cancelled);
    if (transfer.quiet)
        throw TransportError(Code::timedOut);
    if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && transfer.replyCut))
        throw TransportError(curl::codeFor(result, handle));

    return curl::finishedResponse(handle, std::move(transfer.fields), std::move(transfer.body));
}

} // namespace

void StreamingUpload::Gate::release(qint64 bytes)
{
    {
        std::lock_guard lock(m_mutex);
        const qint64 allowed = std::min(bytes, m_releasable);
        if (allowed <= m_released)
            return;
        m_released = allowed;
    }
    m_changed.notify_all();
}

void StreamingUpload::Gate::releaseAll()
{
    {
        std::lock_guard lock(m_mutex);
        m_whole = true;
    }
    m_changed.notify_all();
}

void StreamingUpload::Gate::refuse()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_whole)
            return; // too late: the body may already be complete
        m_refused = true;
    }
    m_changed.notify_all();
}

std::optional<qint64> StreamingUpload::Gate::waitBeyond(qint64 sent, const std::stop_token &stop)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, stop, [&] { return m_refused || m_whole || m_released > sent; });
    if (m_refused || stop.stop_requested())
        return std::nullopt;
    return m_whole ? m_length : m_released;
}

namespace {

Job prepareJob(const QUrl &url, const HttpHeaders &headers, const QString &filePath, std::stop_token stop,
               std::chrono::milliseconds inactivity)
{
    if (stop.stop_requested())
        throw TransportError(Code::cancelled);
    if (!isPermittedUrl(url))
        throw TransportError(Code::unsupportedURL);
    curl::initialise();

    Job job;
    job.url = url.toEncoded();
    job.loopback = isLoopbackHost(url.host());
    job.headerLines = curl::headerLines(headers, false);
    job.path = QFile::encodeName(filePath);
    job.stop = std::move(stop);
    job.inactivity = std::max(inactivity, std::chrono::milliseconds(1));
    return job;
}

// A transfer holds its worker until the network is done with it; the caller resumes on the
// main thread.
QCoro::Task<HttpResponse> run(QUrl url, Job job)
{
    auto work = [job = std::move(job)] { return perform(job); };
    auto running = runOnPool(curl::transferPool(), std::move(work));
    HttpResponse response = co_await std::move(running);
    response.url = url;
    co_return response;
}

} // namespace

QCoro::Task<HttpResponse> StreamingUpload::put(QUrl url, HttpHeaders headers, QString filePath, qint64 offset,
                                               qint64 length, std::stop_token stop,
                                               std::chrono::milliseconds inactivity)
{
    if (offset < 0 || length < 0)
        throw std::invalid_argument("an upload slice must lie inside its file");
    Job job = prepareJob(url, headers, filePath, std::move(stop), inactivity);
    job.offset = offset;
    job.length = length;
    auto running = run(std::move(url), std::move(job));
    co_return co_await std::move(running);
}

HttpResponse StreamingUpload::putBytesHere(const QUrl &url, const HttpHeaders &headers, QByteArray body,
                                          const std::stop_token &stop, std::chrono::milliseconds inactivity,
                                          const std::function<void()> &beforeSending)
{
    Job job = prepareJob(url, headers, QString(), stop, inactivity);
    job.length = body.size();
    job.body = std::move(body);
    job.beforeSending = beforeSending;
    HttpResponse response = perform(job);
    response.url = url;
    return response;
}

QCoro::Task<HttpResponse> StreamingUpload::putGrowing(QUrl url, HttpHeaders headers, QString filePath,
                                                      std::shared_ptr<Gate> gate, std::stop_token stop,
                                                      std::chrono::milliseconds inactivity)
{
    if (!gate || gate->length() < 0)
        throw std::invalid_argument("a growing upload needs its gate and length");
    Job job = prepareJob(url, headers, filePath, std::move(stop), inactivity);
    job.length = gate->length();
    job.gate = std::move(gate);
    auto running = run(std::move(url), std::move(job));
    co_return co_await std::move(running);
}

} // namespace quillmere
