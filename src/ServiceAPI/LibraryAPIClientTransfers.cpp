#include "ServiceAPI/LibraryAPIClient.h"

#include "Platform/Async/Background.h"
#include "Platform/Async/CancelledError.h"
#include "Platform/Async/Clock.h"
#include "Platform/Async/TaskGroup.h"
#include "Platform/Async/WaitQueue.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Http/Json.h"
#include "Platform/Http/LocalFileError.h"
#include "Platform/Http/StreamingUpload.h"
#include "Platform/Http/TransportError.h"
#include "ServiceAPI/StagedCopy.h"
#include "ServiceAPI/TransferFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <set>
#include <vector>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

namespace {

// GCC 12 destroys a temporary created inside a co_await expression twice; every awaited task
// here is a named local, awaited with std::move, and every coroutine takes its arguments by
// value.

using CompletedPart = LibraryAPIClient::CompletedPart;
using PresignedPart = LibraryAPIClient::PresignedPart;
using MultipartInitiateResult = LibraryAPIClient::MultipartInitiateResult;
using MultipartProgressHandler = LibraryAPIClient::MultipartProgressHandler;
using UploadValidationError = LibraryAPIClient::UploadValidationError;

// A transfer the service's answers, or the staged bytes, do not allow to finish soundly.
// Nothing is completed at the service.
UploadValidationError transferRefused(const QString &message)
{
    return UploadValidationError::hashCheckFailed(message);
}

const QString kInitiatePath = QStringLiteral("/api/v1/files/multipart/initiate");
const QString kPresignPath = QStringLiteral("/api/v1/files/multipart/presign-parts");
const QString kCompletePath = QStringLiteral("/api/v1/files/multipart/complete");
const QString kAbortPath = QStringLiteral("/api/v1/files/multipart/abort");

// The end of a single PUT's body, sent only once its whole copy checks out. One block of the
// PUT's reads: a file no larger goes out only when verified, and a changed one not at all.
constexpr qint64 kHeldBackBytes = 1024 * 1024;

bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

HarborlyAPIError refusedWithMessage(int status, const QByteArray &body, const QString &fallback)
{
    QJsonObject object;
    try {
        object = json::parseObject(body);
    } catch (const json::JsonError &) {
        // A refusal whose body is no JSON object is told by the fixed text.
    }
    return HarborlyAPIError::serverError(status, json::optionalString(object, QStringLiteral("message")).value_or(fallback));
}


// A URL the service handed out for a PUT: absolute http(s) with a host. Whether plain http is
// allowed to that host is the HTTP layer's decision.
std::optional<QUrl> presignedUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return std::nullopt;
    return url;
}

QCoro::Task<qint64> sizeInBackground(QString path)
{
    auto work = [path = std::move(path)] {
        struct stat st{};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            throw LocalFileError(errno);
        return qint64(st.st_size);
    };
    return runInBackground(std::move(work));
}

bool isCancellation(const std::exception_ptr &failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const CancelledError &) {
        return true;
    } catch (...) {
        return false;
    }
}

// Whatever way a single PUT ends, the rest of its copy is of no use: a PUT can only succeed
// once the copy is whole, and one that ended sooner failed.
QCoro::Task<HttpResponse> haltingCopyAfter(QCoro::Task<HttpResponse> putting, std::stop_source halt)
{
    try {
        HttpResponse response = co_await std::move(putting);
        halt.request_stop();
        co_return response;
    } catch (...) {
        halt.request_stop();
        throw;
    }
}

bool matchesChecksum(const CopiedFile &copied, const std::optional<QString> &expected)
{
    return !expected || copied.sha256 == expected->trimmed().toLower();
}

// ---- The four endpoints, on a transport the caller keeps alive

QCoro::Task<MultipartInitiateResult> initiateOn(std::shared_ptr<HarborlyAPI> api, QString oid, QString fileName,
                                                qint64 fileSize, QString mimeType, std::stop_token stop)
{
    auto making = api->makeRequest(kInitiatePath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    request.setJsonBody(QJsonObject{{QStringLiteral("oid"), oid},
                                     {QStringLiteral("filename"), fileName},
                                     {QStringLiteral("file_size"), fileSize},
                                     {QStringLiteral("mime_type"), mimeType}});
    auto reader = [oid](const HttpResponse &reply) {
        return LibraryAPIClient::parseMultipartInitiateResponse(reply.status, reply.body, oid);
    };
    auto sending = api->send(std::move(request), std::move(reader), stop);
    co_return co_await std::move(sending);
}

QCoro::Task<QList<PresignedPart>> presignOn(std::shared_ptr<HarborlyAPI> api, QString uploadId, QString oid,
                                            QList<qint64> partNumbers, std::stop_token stop)
{
    auto making = api->makeRequest(kPresignPath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    QJsonArray numbers;
    for (const qint64 number : partNumbers)
        numbers.append(number);
    request.setJsonBody(QJsonObject{{QStringLiteral("upload_id"), uploadId},
                                     {QStringLiteral("oid"), oid},
                                     {QStringLiteral("part_numbers"), numbers}});
    auto reader = [](const HttpResponse &reply) {
        return LibraryAPIClient::parsePresignPartsResponse(reply.status, reply.body);
    };
    auto sending = api->send(std::move(request), std::move(reader), stop);
    co_return co_await std::move(sending);
}

QCoro::Task<> completeOn(std::shared_ptr<HarborlyAPI> api, QString uploadId, QString oid, QList<CompletedPart> parts,
                         std::stop_token stop)
{
    auto making = api->makeRequest(kCompletePath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    QJsonArray list;
    for (const CompletedPart &part : parts)
        list.append(QJsonObject{{QStringLiteral("part_number"), part.partNumber}, {QStringLiteral("etag"), part.etag}});
    request.setJsonBody(QJsonObject{{QStringLiteral("upload_id"), uploadId},
                                     {QStringLiteral("oid"), oid},
                                     {QStringLiteral("parts"), list}});
    auto reader = [](const HttpResponse &reply) {
        LibraryAPIClient::parseCompleteMultipartResponse(reply.status, reply.body);
    };
    auto sending = api->send(std::move(request), std::move(reader), stop);
    co_await std::move(sending);
}

QCoro::Task<> abortOn(std::shared_ptr<HarborlyAPI> api, QString uploadId, QString oid, std::stop_token stop)
{
    auto making = api->makeRequest(kAbortPath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    request.setJsonBody(QJsonObject{{QStringLiteral("upload_id"), uploadId}, {QStringLiteral("oid"), oid}});
    auto reader = [](const HttpResponse &) {};
    auto sending = api->send(std::move(request), std::move(reader), stop);
    co_await std::move(sending);
}

// ---- Parts

struct PartPlan
{
    qint64 partSize = 0;
    qint64 totalParts = 0;

    qint64 lengthOf(qint64 partNumber, qint64 fileSize) const
    {
        return std::min(fileSize - (partNumber - 1) * partSize, partSize);
    }
};

// The parts that cover the file. The service's own count must agree: completing fewer parts
// than the file needs would store a truncated object and report success.
PartPlan planFor(const MultipartInitiateResult &opened, qint64 fileSize)
{
    PartPlan plan;
    plan.partSize = opened.partSize > 0 ? opened.partSize : LibraryAPIClient::defaultPartSize;
    if (plan.partSize > LibraryAPIClient::maximumPartSize)
        throw transferRefused(QStringLiteral("The service asked for parts larger than 5 GiB"));
    if (fileSize <= 0)
        throw transferRefused(QStringLiteral("An empty file cannot be sent in parts"));
    plan.totalParts = (fileSize + plan.partSize - 1) / plan.partSize;
    if (plan.totalParts > LibraryAPIClient::maximumPartCount)
        throw transferRefused(QStringLiteral("The service's part size needs more than 10000 parts"));
    if (opened.totalParts > 0 && opened.totalParts != plan.totalParts)
        throw transferRefused(QStringLiteral("The service planned %1 parts for a file of %2 parts")
                                .arg(opened.totalParts)
                                .arg(plan.totalParts));
    return plan;
}

// A presign reply must name each asked part exactly once and nothing else.
void requireExactly(const QList<PresignedPart> &presigned, const QList<qint64> &asked)
{
    std::set<qint64> wanted(asked.begin(), asked.end());
    for (const PresignedPart &part : presigned) {
        if (wanted.erase(part.partNumber) == 0)
            throw transferRefused(QStringLiteral("The service presigned part %1, which was not asked for").arg(part.partNumber));
    }
    if (!wanted.empty())
        throw transferRefused(QStringLiteral("The service did not presign part %1").arg(*wanted.begin()));
}

QCoro::Task<QString> sendPart(Clock *clock, QString stagedPath, QString presignedURL, qint64 partNumber,
                              qint64 partSize, qint64 fileSize, std::stop_token stop)
{
    const auto target = presignedUrl(presignedURL);
    if (!target)
        throw transferRefused(QStringLiteral("Invalid presigned URL for part %1").arg(partNumber));
    const qint64 offset = (partNumber - 1) * partSize;
    if (partNumber < 1 || offset >= fileSize)
        throw transferRefused(QStringLiteral("Part %1 lies outside the file").arg(partNumber));
    const qint64 length = std::min(fileSize - offset, partSize);

    HttpHeaders headers;
    headers.set("Content-Type", "application/octet-stream");
    for (int attempt = 1;; ++attempt) {
        std::exception_ptr failure;
        try {
            auto sending = StreamingUpload::put(*target, headers, stagedPath, offset, length, stop);
            const HttpResponse response = co_await std::move(sending);
            if (!isSuccess(response.status))
                throw HarborlyAPIError::serverError(response.status, QStringLiteral("Part %1 upload failed").arg(partNumber));
            const auto etag = response.headers.value("ETag");
            if (!etag)
                throw transferRefused(QStringLiteral("No ETag returned for part %1").arg(partNumber));
            co_return QString::fromLatin1(*etag);
        } catch (const LocalFileError &) {
            throw transferRefused(QStringLiteral("Failed to read part %1 from staged file").arg(partNumber));
        } catch (const TransportError &error) {
            if (error.isCancellation())
                throw;
            failure = std::current_exception();
        } catch (...) {
            failure = std::current_exception();
        }
        if (attempt >= LibraryAPIClient::attemptsPerPart)
            std::rethrow_exception(failure);
        auto pausing = clock->sleepFor(std::chrono::seconds(2 * attempt), stop);
        if (!co_await std::move(pausing))
            throw TransportError(TransportError::Code::cancelled);
    }
}

// The staged copy of a multipart upload while it is being made. Parts go out as soon as their
// own bytes are in it; the upload is completed only once the whole copy is there and hashes to
// the expected checksum, so sending early never lets other content become the object.
struct StagingWatch
{
    std::stop_source halt;          // ends the copy: the caller stopped or the upload failed
    std::atomic<qint64> written{0}; // set by the copying thread
    std::atomic<bool> wakePending{false};
    bool finished = false; // main thread, as are the rest
    std::optional<CopiedFile> copied;
    std::exception_ptr failure;
    WaitQueue changed;
};

// On the copying thread: one wake-up queued to the main thread at a time.
void noteWritten(const std::shared_ptr<StagingWatch> &watch, qint64 bytes)
{
    watch->written.store(bytes);
    if (watch->wakePending.exchange(true))
        return;
    auto wake = [watch] {
        watch->wakePending.store(false);
        watch->changed.resumeAll();
    };
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(wake), Qt::QueuedConnection);
}

QCoro::Task<> followCopy(std::shared_ptr<StagingWatch> watch, QCoro::Task<CopiedFile> copying)
{
    try {
        watch->copied = co_await std::move(copying);
    } catch (...) {
        watch->failure = std::current_exception();
    }
    watch->finished = true;
    watch->changed.resumeAll();
}

// Resolves once the copy holds `end` bytes. A copy that failed passes its failure on; one that
// ended short of `end` is of a file that shrank since it was hashed.
QCoro::Task<> stagedThrough(std::shared_ptr<StagingWatch> watch, qint64 end)
{
    while (!watch->finished && watch->written.load() < end)
        co_await watch->changed.wait();
    if (watch->failure)
        std::rethrow_exception(watch->failure);
    if (watch->written.load() < end)
        throw LibraryAPIClient::ContentChangedError();
}

QCoro::Task<CopiedFile> stagedWhole(std::shared_ptr<StagingWatch> watch)
{
    while (!watch->finished)
        co_await watch->changed.wait();
    if (watch->failure)
        std::rethrow_exception(watch->failure);
    co_return *watch->copied;
}

// The parts of one presign batch: three in flight, the next starting as soon as one ends.
struct Window
{
    std::stop_source stop;
    std::shared_ptr<StagingWatch> staging;
    std::exception_ptr failure;
    QList<CompletedPart> done;

    void fail(std::exception_ptr error)
    {
        if (!failure)
            failure = std::move(error);
        stop.request_stop(); // the parts still in flight are of no use now
        staging->halt.request_stop();
    }
};

QCoro::Task<> runPart(std::shared_ptr<Window> window, Clock *clock, QString stagedPath, PresignedPart part,
                      PartPlan plan, qint64 fileSize)
{
    try {
        // A part goes out as soon as its own bytes are in the staged copy.
        const qint64 end = std::min(fileSize, part.partNumber * plan.partSize);
        auto staging = stagedThrough(window->staging, end);
        co_await std::move(staging);
        if (window->stop.stop_requested())
            throw TransportError(TransportError::Code::cancelled);
        auto sending = sendPart(clock, stagedPath, part.presignedURL, part.partNumber, plan.partSize, fileSize,
                                window->stop.get_token());
        QString etag = co_await std::move(sending);
        window->done.append(CompletedPart{part.partNumber, std::move(etag)});
    } catch (...) {
        window->fail(std::current_exception());
    }
}

// Presigns ten part numbers at a time and asks for the next ten only once every part of the
// batch before has been sent: a service may limit how many presigned addresses are out.
// After each batch the progress handler is read afresh from the shared settings, so a handler
// set while the upload runs hears of the batches still to come.
QCoro::Task<QList<CompletedPart>> sendAllParts(std::shared_ptr<HarborlyAPI> api, Clock *clock,
                                               std::function<MultipartProgressHandler()> progressHandler,
                                               std::shared_ptr<StagingWatch> staging, QString stagedPath,
                                               QString uploadId, QString oid, QString fileName, qint64 fileSize,
                                               PartPlan plan, std::stop_token stop)
{
    QList<CompletedPart> completed;
    qint64 bytesSent = 0;
    for (qint64 first = 1; first <= plan.totalParts; first += LibraryAPIClient::partsPerPresign) {
        if (stop.stop_requested())
            throw TransportError(TransportError::Code::cancelled);
        const qint64 last = std::min(plan.totalParts, first + LibraryAPIClient::partsPerPresign - 1);
        QList<qint64> numbers;
        for (qint64 number = first; number <= last; ++number)
            numbers.append(number);
        auto presigning = presignOn(api, uploadId, oid, numbers, stop);
        QList<PresignedPart> presigned = co_await std::move(presigning);
        requireExactly(presigned, numbers);
        std::sort(presigned.begin(), presigned.end(),
                  [](const PresignedPart &a, const PresignedPart &b) { return a.partNumber < b.partNumber; });

        auto window = std::make_shared<Window>();
        window->staging = staging;
        std::stop_callback forward(stop, [window] { window->stop.request_stop(); });
        TaskGroup group(LibraryAPIClient::partsInFlight);
        for (const PresignedPart &part : presigned) {
            auto body = [window, clock, stagedPath, part, plan, fileSize](std::stop_token) {
                return runPart(window, clock, stagedPath, part, plan, fileSize);
            };
            auto spawning = group.spawn(std::move(body));
            co_await std::move(spawning);
            if (window->stop.stop_requested())
                break;
        }
        auto settling = group.waitForAll();
        co_await std::move(settling);
        if (window->failure)
            std::rethrow_exception(window->failure);
        if (stop.stop_requested())
            throw TransportError(TransportError::Code::cancelled);

        completed.append(window->done);
        for (const qint64 number : numbers)
            bytesSent += plan.lengthOf(number, fileSize);
        if (const MultipartProgressHandler progress = progressHandler())
            progress(fileName, completed.size(), plan.totalParts, bytesSent, fileSize);
    }
    std::sort(completed.begin(), completed.end(),
              [](const CompletedPart &a, const CompletedPart &b) { return a.partNumber < b.partNumber; });
    co_return completed;
}

QList<QJsonObject> objectsOf(const QJsonObject &object, const QString &key)
{
    QList<QJsonObject> objects;
    if (const auto array = json::optionalArray(object, key)) {
        for (const auto &value : *array) {
            if (value.isObject())
                objects.append(value.toObject());
        }
    }
    return objects;
}

} // namespace

QString LibraryAPIClient::stagingFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + u'/' + bundleIdentifier()
        + QStringLiteral("/staging");
}

QCoro::Task<int> LibraryAPIClient::removeStagingLeftovers()
{
    const std::set<QString> keep = StagedCopy::inUse();
    auto work = [folder = stagingFolder(), keep] {
        int removed = 0;
        const auto names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &name : names) {
            const QString path = folder + u'/' + name;
            if (keep.count(path))
                continue;
            // Only plain files (or links, never followed) directly in the folder.
            const QByteArray native = QFile::encodeName(path);
            struct stat st{};
            if (::lstat(native.constData(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
                continue;
            if (::unlink(native.constData()) == 0)
                ++removed;
        }
        return removed;
    };
    return runInBackground(std::move(work));
}

QCoro::Task<> LibraryAPIClient::uploadToPresignedURL(QString filePath, QString presignedURL,
                                                     std::optional<QString> expectedChecksum,
                                                     std::stop_token stop, std::optional<FileStamp> version)
{
    const auto target = presignedUrl(presignedURL);
    if (!target)
        throw transferRefused(QStringLiteral("Invalid presigned URL"));
    // The length the PUT announces; the copy must come to exactly this many bytes.
    auto sizing = sizeInBackground(filePath);
    const qint64 length = co_await std::move(sizing);

    StagedCopy staged(stagingFolder());
    auto gate = std::make_shared<StreamingUpload::Gate>(length, kHeldBackBytes);
    std::stop_source halt; // ends the copy: the caller stopped or the PUT ended
    std::stop_callback forward(stop, [halt]() mutable { halt.request_stop(); });
    // Should this frame be destroyed mid-way, the PUT's worker and the copy must not wait on.
    struct EndOnExit
    {
        std::shared_ptr<StreamingUpload::Gate> gate;
        std::stop_source halt;
        ~EndOnExit()
        {
            gate->refuse();
            halt.request_stop();
        }
    } ending{gate, halt};
    CopyProgress written = [gate](qint64 bytes) { gate->release(bytes); };
    auto copying = staged.fill(filePath, halt.get_token(), std::move(written), version);
    HttpHeaders headers;
    headers.set("Content-Type", "application/octet-stream");
    auto putting = StreamingUpload::putGrowing(*target, headers, staged.path(), gate, stop);
    auto sending = haltingCopyAfter(std::move(putting), halt);

    std::optional<CopiedFile> copied;
    std::exception_ptr copyFailure;
    try {
        copied = co_await std::move(copying);
    } catch (...) {
        copyFailure = std::current_exception();
    }
    // The held-back end goes only now: until then the service holds no complete body.
    const bool verified = copied && copied->size == length && matchesChecksum(*copied, expectedChecksum);
    if (verified)
        gate->releaseAll();
    else
        gate->refuse();
    HttpResponse response;
    std::exception_ptr putFailure;
    try {
        response = co_await std::move(sending);
    } catch (const LocalFileError &) {
        putFailure = std::make_exception_ptr(transferRefused(QStringLiteral("The staged copy could not be read")));
    } catch (...) {
        putFailure = std::current_exception();
    }
    auto removing = staged.remove();
    co_await std::move(removing);

    if (copied && !verified)
        throw ContentChangedError();
    // A copy stopped because the PUT ended first (refused, or the connection failed): the PUT
    // tells why.
    if (copyFailure && (stop.stop_requested() || !isCancellation(copyFailure)))
        std::rethrow_exception(copyFailure);
    if (putFailure)
        std::rethrow_exception(putFailure);
    if (!isSuccess(response.status))
        throw HarborlyAPIError::serverError(response.status, QStringLiteral("Presigned upload failed"));
    if (!verified)
        throw transferRefused(QStringLiteral("The service answered before the whole body was sent"));
}

QCoro::Task<> LibraryAPIClient::uploadBytesToPresignedURL(QByteArray body, QString presignedURL,
                                                          std::stop_token stop, std::function<void()> beforeSending)
{
    auto work = [body = std::move(body), presignedURL = std::move(presignedURL), stop = std::move(stop),
                 beforeSending = std::move(beforeSending)]() mutable {
        putBytesHere(std::move(body), presignedURL, stop, beforeSending);
    };
    auto putting = runOnPool(HttpClient::transferPool(), std::move(work));
    co_await std::move(putting);
}

void LibraryAPIClient::putBytesHere(QByteArray body, const QString &presignedURL, const std::stop_token &stop,
                                    const std::function<void()> &beforeSending)
{
    const auto target = presignedUrl(presignedURL);
    if (!target)
        throw transferRefused(QStringLiteral("Invalid presigned URL"));
    HttpHeaders headers;
    headers.set("Content-Type", "application/octet-stream");
    const HttpResponse response = StreamingUpload::putBytesHere(*target, headers, std::move(body), stop,
                                                                std::chrono::seconds(60), beforeSending);
    if (!isSuccess(response.status))
        throw HarborlyAPIError::serverError(response.status, QStringLiteral("Presigned upload failed"));
}

QCoro::Task<> LibraryAPIClient::uploadMultipart(QString filePath, QString oid, QString fileName, qint64 fileSize,
                                                QString mimeType, std::optional<QString> expectedChecksum,
                                                std::stop_token stop, MultipartJournal journal,
                                                std::optional<FileStamp> version)
{
    const auto api = m_api;
    const auto settings = m_settings;
    Clock *clock = &api->clock();
    std::function<MultipartProgressHandler()> progress = [settings] { return settings->onMultipartProgress; };

    StagedCopy staged(stagingFolder());
    auto watch = std::make_shared<StagingWatch>();
    std::stop_callback forward(stop, [watch] { watch->halt.request_stop(); });
    CopyProgress written = [watch](qint64 bytes) { noteWritten(watch, bytes); };
    auto staging = staged.fill(filePath, watch->halt.get_token(), std::move(written), version);
    auto following = followCopy(watch, std::move(staging));

    std::exception_ptr failure;
    QString uploadId;
    try {
        // A source that cannot be read is found out before the service opens anything.
        auto started = stagedThrough(watch, std::min<qint64>(fileSize, 1));
        co_await std::move(started);
        auto initiating = initiateOn(api, oid, fileName, fileSize, mimeType, stop);
        const MultipartInitiateResult opened = co_await std::move(initiating);
        QList<CompletedPart> parts;
        if (opened.uploadId.isEmpty()) {
            if (!opened.alreadyExists)
                throw transferRefused(QStringLiteral("The service opened no multipart upload"));
        } else {
            uploadId = opened.uploadId;
            const PartPlan plan = planFor(opened, fileSize);
            if (journal.opened)
                journal.opened({uploadId, oid, staged.path(), fileSize, plan.partSize, plan.totalParts});
            auto sending =
                sendAllParts(api, clock, progress, watch, staged.path(), uploadId, oid, fileName, fileSize, plan, stop);
            parts = co_await std::move(sending);
        }
        // Parts went out while the copy was still being made; nothing is completed (nor the
        // content taken as held) until the whole copy is known to be what was hashed. The
        // plan is made from the caller's size: a copy of another size is another file.
        auto whole = stagedWhole(watch);
        const CopiedFile copied = co_await std::move(whole);
        if (!matchesChecksum(copied, expectedChecksum) || copied.size != fileSize)
            throw ContentChangedError();
        if (!uploadId.isEmpty()) {
            auto completing = completeOn(api, uploadId, oid, parts, stop);
            co_await std::move(completing);
            uploadId.clear();
            if (journal.closed)
                journal.closed();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // The copy has ended before its file is removed. When it failed on its own (not stopped),
    // its failure is the cause of whatever the parts made of it.
    watch->halt.request_stop();
    co_await std::move(following);
    if (failure && watch->failure) {
        try {
            std::rethrow_exception(watch->failure);
        } catch (const CancelledError &) {
            // Stopped by the copy's end, not failed: the copy's own failure stays the cause.
        } catch (...) {
            failure = watch->failure;
        }
    }
    if (failure && !uploadId.isEmpty()) {
        // Released even when the caller stopped: an open upload holds storage at the service.
        try {
            auto aborting = abortOn(api, uploadId, oid, {});
            co_await std::move(aborting);
            // Unanswered, it stays known, and the next start aborts it again.
            if (journal.closed)
                journal.closed();
        } catch (...) {
            // The upload's own failure is the one reported; the open upload stays in the
            // journal, and the next start aborts it again.
        }
    }
    auto removing = staged.remove();
    co_await std::move(removing);
    if (failure)
        std::rethrow_exception(failure);
}

QCoro::Task<LibraryAPIClient::MultipartInitiateResult>
LibraryAPIClient::initiateMultipartUpload(QString oid, QString fileName, qint64 fileSize, QString mimeType,
                                          std::stop_token stop)
{
    return initiateOn(m_api, std::move(oid), std::move(fileName), fileSize, std::move(mimeType), std::move(stop));
}

QCoro::Task<QList<LibraryAPIClient::PresignedPart>>
LibraryAPIClient::presignParts(QString uploadId, QString oid, QList<qint64> partNumbers, std::stop_token stop)
{
    return presignOn(m_api, std::move(uploadId), std::move(oid), std::move(partNumbers), std::move(stop));
}

QCoro::Task<> LibraryAPIClient::completeMultipartUpload(QString uploadId, QString oid, QList<CompletedPart> parts,
                                                        std::stop_token stop)
{
    return completeOn(m_api, std::move(uploadId), std::move(oid), std::move(parts), std::move(stop));
}

QCoro::Task<> LibraryAPIClient::doAbortMultipartUpload(QString uploadId, QString oid, std::stop_token stop)
{
    return abortOn(m_api, std::move(uploadId), std::move(oid), std::move(stop));
}

QCoro::Task<QString> LibraryAPIClient::uploadPart(QString stagedPath, QString presignedURL, qint64 partNumber,
                                                  qint64 partSize, qint64 fileSize, std::stop_token stop)
{
    Clock *clock = &m_api->clock();
    return sendPart(clock, std::move(stagedPath), std::move(presignedURL), partNumber, partSize, fileSize,
                    std::move(stop));
}

// ---- Reply readers

LibraryAPIClient::MultipartInitiateResult
LibraryAPIClient::parseMultipartInitiateResponse(int status, const QByteArray &body, const QString &requestOid)
{
    if (status != 200)
        throw refusedWithMessage(status, body, QStringLiteral("Multipart initiate failed"));
    const QJsonObject object = json::parseObject(body);
    MultipartInitiateResult result;
    result.oid = json::optionalString(object, QStringLiteral("oid")).value_or(requestOid);
    if (json::optionalString(object, QStringLiteral("status")) == QStringLiteral("already_exists")) {
        result.alreadyExists = true;
        return result;
    }
    result.uploadId = json::optionalString(object, QStringLiteral("upload_id")).value_or(QString());
    result.partSize = json::optionalInteger(object, QStringLiteral("part_size")).value_or(defaultPartSize);
    result.totalParts = json::optionalInteger(object, QStringLiteral("total_parts")).value_or(0);
    return result;
}

QList<LibraryAPIClient::PresignedPart> LibraryAPIClient::parsePresignPartsResponse(int status, const QByteArray &body)
{
    if (status != 200)
        throw refusedWithMessage(status, body, QStringLiteral("Presign parts failed"));
    QList<PresignedPart> parts;
    for (const QJsonObject &entry : objectsOf(json::parseObject(body), QStringLiteral("parts"))) {
        const auto number = json::optionalInteger(entry, QStringLiteral("part_number"));
        const auto url = json::optionalString(entry, QStringLiteral("presigned_url"));
        if (!number || !url)
            continue;
        parts.append(PresignedPart{*number, *url, json::optionalDate(entry, QStringLiteral("expires_at"))});
    }
    return parts;
}

void LibraryAPIClient::parseCompleteMultipartResponse(int status, const QByteArray &body)
{
    if (status != 200)
        throw refusedWithMessage(status, body, QStringLiteral("Complete multipart failed"));
}

} // namespace quillmere
