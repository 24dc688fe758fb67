#include "ServiceAPI/LibraryAPIClient.h"

#include "FileServices/AudioProbe.h"
#include "FileServices/FileChecksum.h"
#include "FileServices/FileTypes.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Background.h"
#include "Platform/Async/CancelledError.h"
#include "Platform/Files/FileReadError.h"
#include "Platform/Files/FileStamp.h"
#include "Platform/Files/Sha256Digest.h"
#include "Platform/Http/ConcatenatedBodyDevice.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Http/Json.h"
#include "ServiceAPI/StagedCopy.h"

#include <QDir>
#include <QBuffer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

namespace {

// GCC 12 destroys a temporary created inside a co_await expression twice; every awaited task
// and every lambda handed to one is a named local, moved in.

const QString kCheckHashPath = QStringLiteral("/api/v1/files/check-hash");
const QString kUploadURLPath = QStringLiteral("/api/v1/files/upload-url");
const QString kUploadBlobPath = QStringLiteral("/api/v1/files/upload-blob");
const QString kConfirmUploadPath = QStringLiteral("/api/v1/files/confirm-upload");

// The refusal text: the first of the two members that is a string, else the fixed text. A
// body that is not a JSON object simply gives the fixed text.
HarborlyAPIError refusal(int status, const QByteArray &body, const QString &firstKey, const QString &secondKey,
                         const QString &fallback)
{
    QJsonObject object;
    try {
        object = json::parseObject(body);
    } catch (const json::JsonError &) {
        // A refusal whose body is no JSON object is told by the fixed text.
    }
    if (auto text = json::optionalString(object, firstKey))
        return HarborlyAPIError::serverError(status, *text);
    if (auto text = json::optionalString(object, secondKey))
        return HarborlyAPIError::serverError(status, *text);
    return HarborlyAPIError::serverError(status, fallback);
}

HarborlyAPIError refusalMessageFirst(int status, const QByteArray &body, const QString &fallback)
{
    return refusal(status, body, QStringLiteral("message"), QStringLiteral("error"), fallback);
}

// A confirmation of content the hash check said the service holds, refused because it holds
// it no more: the only file with those bytes went between the check and the confirmation.
// Nothing is wrong with the upload: its bytes must go after all.
bool isLinkRefused(const LibraryAPIClient::HashCheckResult &verdict, const HarborlyAPIError &error)
{
    return verdict.verdict == LibraryAPIClient::HashCheckResult::Verdict::knownContent
           && error.code() == HarborlyAPIError::Code::serverError && error.statusCode() == 409;
}


void insertTarget(QJsonObject &body, const LibraryAPIClient::UploadTarget &target)
{
    if (const auto folderType = LibraryAPIClient::folderTypeText(target.folderKind))
        body.insert(QStringLiteral("folder_type"), *folderType);
    if (target.drivePath)
        body.insert(QStringLiteral("drive_path"), *target.drivePath);
    if (target.syncFolderUUID)
        body.insert(QStringLiteral("sync_folder_uuid"), *target.syncFolderUUID);
}

// The lower-cased extension without its dot; a leading dot marks a hidden name, not an
// extension.
QString lowerExtension(const QString &path)
{
    const QStringView name = QStringView(path).mid(path.lastIndexOf(u'/') + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 ? name.mid(dot + 1).toString().toLower() : QString();
}

QString lastPathComponent(const QString &path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

bool isCommitSha(const QString &text)
{
    if (text.size() != 40)
        return false;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    return true;
}

QJsonObject checkHashBody(const QString &checksum, const QString &filename, qint64 fileSize, const QString &mimeType,
                          const LibraryAPIClient::UploadTarget &target)
{
    QJsonObject body{{QStringLiteral("content_sha256"), checksum},
                     {QStringLiteral("filename"), filename},
                     {QStringLiteral("file_size"), fileSize},
                     {QStringLiteral("mime_type"), mimeType}};
    insertTarget(body, target);
    return body;
}

QJsonObject confirmationBody(const LibraryAPIClient::UploadConfirmation &confirmation)
{
    QJsonObject body{{QStringLiteral("oid"), confirmation.oid},
                     {QStringLiteral("filename"), confirmation.filename},
                     {QStringLiteral("file_size"), confirmation.fileSize},
                     {QStringLiteral("mime_type"), confirmation.mimeType}};
    insertTarget(body, confirmation.target);
    if (confirmation.baseCommit && isCommitSha(*confirmation.baseCommit))
        body.insert(QStringLiteral("base_commit_sha"), *confirmation.baseCommit);
    if (confirmation.fileUUID)
        body.insert(QStringLiteral("file_uuid"), *confirmation.fileUUID);
    if (confirmation.deviceID)
        body.insert(QStringLiteral("device_id"), *confirmation.deviceID);
    if (confirmation.bucketNamespace)
        body.insert(QStringLiteral("bucket_namespace"), *confirmation.bucketNamespace);
    if (confirmation.bucketId)
        body.insert(QStringLiteral("bucket_id"), *confirmation.bucketId);
    if (const auto &analysis = confirmation.audioAnalysis)
        body.insert(QStringLiteral("audio_analysis"),
                    QJsonObject{{QStringLiteral("duration_seconds"), analysis->durationSeconds},
                                {QStringLiteral("sample_rate"), analysis->sampleRate}});
    return body;
}

// The confirmation of content the check answered for, from what the upload knew beforehand.
LibraryAPIClient::UploadConfirmation confirmationOf(LibraryAPIClient::UploadConfirmation base,
                                                   const LibraryAPIClient::HashCheckResult &verdict, qint64 size,
                                                   const std::optional<AudioProbeResult> &audio)
{
    base.oid = verdict.oid;
    base.fileSize = size;
    base.bucketNamespace = verdict.bucketNamespace;
    base.bucketId = verdict.bucketId;
    if (audio)
        base.audioAnalysis = LibraryAPIClient::AudioAnalysis{audio->durationSeconds, audio->sampleRate};
    return base;
}

// Percent-encodes the three bytes that would end the quoted name or the header line.
QByteArray escapedFormFileName(const QString &name)
{
    QByteArray out;
    for (const char c : name.toUtf8()) {
        if (c == '"')
            out += "%22";
        else if (c == '\r')
            out += "%0D";
        else if (c == '\n')
            out += "%0A";
        else
            out += c;
    }
    return out;
}

std::optional<LibraryAPIClient::UploadConflict> readConflict(const QJsonObject &object)
{
    const auto id = json::optionalInteger(object, QStringLiteral("id"));
    if (!id)
        return std::nullopt;
    LibraryAPIClient::UploadConflict conflict;
    conflict.id = *id;
    conflict.type = json::optionalString(object, QStringLiteral("type")).value_or(QStringLiteral("true_conflict"));
    conflict.commonAncestor = json::optionalString(object, QStringLiteral("common_ancestor"));
    conflict.serverCommitBefore = json::optionalString(object, QStringLiteral("server_commit_before"));
    conflict.serverOid = json::optionalString(object, QStringLiteral("server_oid"));
    conflict.incomingOid = json::optionalString(object, QStringLiteral("incoming_oid"));
    conflict.message = json::optionalString(object, QStringLiteral("message"));
    return conflict;
}

} // namespace

// ---- UploadValidationError ----

LibraryAPIClient::UploadValidationError::UploadValidationError(Code code, QString detail, qint64 size, qint64 limit,
                                                               QString description)
    : m_code(code)
    , m_detail(std::move(detail))
    , m_size(size)
    , m_limit(limit)
    , m_description(std::move(description))
    , m_what(m_description.toUtf8())
{
}

LibraryAPIClient::UploadValidationError
LibraryAPIClient::UploadValidationError::unsupportedExtension(const QString &extension)
{
    return UploadValidationError(
        Code::unsupportedExtension, extension, 0, 0,
        QStringLiteral("File type .%1 is not supported. Supported types: .wav, .mp3, .aiff, .aif, .flac").arg(extension));
}

LibraryAPIClient::UploadValidationError LibraryAPIClient::UploadValidationError::fileTooLarge(qint64 size, qint64 limit)
{
    constexpr double mebibyte = 1048576.0;
    return UploadValidationError(Code::fileTooLarge, QString(), size, limit,
                                 QStringLiteral("File is too large (%1 MB). Maximum: %2 MB")
                                     .arg(QString::asprintf("%.1f", double(size) / mebibyte),
                                          QString::asprintf("%.0f", double(limit) / mebibyte)));
}

LibraryAPIClient::UploadValidationError LibraryAPIClient::UploadValidationError::fileNotFound(const QString &path)
{
    return UploadValidationError(Code::fileNotFound, path, 0, 0, QStringLiteral("File not found: %1").arg(path));
}

LibraryAPIClient::UploadValidationError LibraryAPIClient::UploadValidationError::hashCheckFailed(const QString &message)
{
    return UploadValidationError(Code::hashCheckFailed, message, 0, 0,
                                 QStringLiteral("Hash check failed: %1").arg(message));
}

// ---- Helpers ----

std::optional<QString> LibraryAPIClient::folderTypeText(SyncFolderType folderKind)
{
    switch (folderKind) {
    case SyncFolderType::harborly: return std::nullopt;
    case SyncFolderType::references: return QStringLiteral("reference");
    case SyncFolderType::unorganisedAudio: return QStringLiteral("unorganised");
    case SyncFolderType::projectsFolder: return QStringLiteral("drive");
    }
    return std::nullopt;
}

std::pair<QByteArray, QByteArray> LibraryAPIClient::formUploadEnvelope(const QString &boundary, const QString &oid,
                                                                       const QString &fileName)
{
    const QByteArray marker = "--" + boundary.toUtf8();
    QByteArray prefix;
    prefix += marker + "\r\n";
    prefix += "Content-Disposition: form-data; name=\"oid\"\r\n\r\n";
    prefix += oid.toUtf8() + "\r\n";
    prefix += marker + "\r\n";
    prefix += "Content-Disposition: form-data; name=\"file\"; filename=\"" + escapedFormFileName(fileName) + "\"\r\n";
    prefix += "Content-Type: application/octet-stream\r\n\r\n";
    QByteArray suffix = "\r\n" + marker + "--\r\n";
    return {prefix, suffix};
}

// ---- Reply readers ----

LibraryAPIClient::HashCheckResult LibraryAPIClient::parseHashCheckResponse(int status, const QByteArray &body,
                                                                           const QString &ownChecksum)
{
    if (status != 200)
        throw refusalMessageFirst(status, body, QStringLiteral("Hash check failed"));
    const QJsonObject object = json::parseObject(body);
    const QString verdict = json::optionalString(object, QStringLiteral("status")).value_or(QStringLiteral("upload_required"));
    HashCheckResult result;
    if (verdict == QLatin1String("deduplicated")) {
        result.verdict = HashCheckResult::Verdict::deduplicated;
        result.fileId = json::optionalInteger(object, QStringLiteral("file_id")).value_or(0);
        return result;
    }
    if (verdict == QLatin1String("known_content"))
        result.verdict = HashCheckResult::Verdict::knownContent;
    else if (verdict == QLatin1String("upload_required"))
        result.verdict = HashCheckResult::Verdict::uploadRequired;
    else
        throw HarborlyAPIError::serverError(200, QStringLiteral("Unknown hash check status: ") + verdict);
    result.oid = json::optionalString(object, QStringLiteral("oid")).value_or(ownChecksum);
    result.presignedUploadURL = json::optionalString(object, QStringLiteral("presigned_upload_url"));
    result.bucketNamespace = json::optionalString(object, QStringLiteral("bucket_namespace"));
    result.bucketId = json::optionalString(object, QStringLiteral("bucket_id"));
    return result;
}

LibraryAPIClient::PresignedURLResult LibraryAPIClient::parseUploadURLResponse(int status, const QByteArray &body)
{
    if (status != 200)
        throw refusalMessageFirst(status, body, QStringLiteral("Upload URL request failed"));
    const QJsonObject object = json::parseObject(body);
    PresignedURLResult result;
    result.presignedURL = json::optionalString(object, QStringLiteral("presigned_url"))
                              .value_or(json::optionalString(object, QStringLiteral("upload_url")).value_or(QString()));
    result.expiresAt = json::optionalDate(object, QStringLiteral("expires_at"));
    return result;
}

void LibraryAPIClient::parseUploadBlobResponse(int status, const QByteArray &body)
{
    if (status != 200)
        throw refusal(status, body, QStringLiteral("error"), QStringLiteral("message"), QStringLiteral("Blob upload failed"));
}

LibraryAPIClient::ConfirmUploadResult LibraryAPIClient::parseConfirmUploadResponse(int status, const QByteArray &body)
{
    if (status < 200 || status > 299)
        throw refusalMessageFirst(status, body, QStringLiteral("Confirm upload failed"));
    const QJsonObject object = json::parseObject(body);
    ConfirmUploadResult result;
    result.fileId = json::optionalInteger(object, QStringLiteral("file_id")).value_or(0);
    result.commitSha = json::optionalString(object, QStringLiteral("commit_sha")).value_or(QString());
    result.status = json::optionalString(object, QStringLiteral("status")).value_or(QStringLiteral("ok"));
    if (auto conflict = json::optionalObject(object, QStringLiteral("conflict")))
        result.conflict = readConflict(*conflict);
    return result;
}

namespace {

// Blocking. The whole of a small file just opened as the version stamped, read in one go; a
// file that does not hold exactly the stamped size now is another version
// (ContentChangedError).
QByteArray readWhole(const FileOpenedForReading &file, qint64 size, const std::stop_token &stop)
{
    const int fd = file.fd();
    // One byte of room shows a file that grew since.
    QByteArray bytes(size + 1, Qt::Uninitialized);
    qint64 filled = 0;
    while (filled < bytes.size()) {
        throwIfStopped(stop);
        const ssize_t n = ::read(fd, bytes.data() + filled, std::size_t(bytes.size() - filled));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FileChecksumError(errno);
        }
        if (n == 0)
            break;
        filled += n;
    }
    if (filled != size)
        throw LibraryAPIClient::ContentChangedError();
    bytes.truncate(size);
    return bytes;
}

// What one background call learns of the file before the service is asked anything.
struct ExaminedFile
{
    FileStamp stamp;
    QString checksum;                     // empty for a file too large to send
    std::optional<QByteArray> bytes;      // a small file's whole content, hashed as `checksum`
    std::optional<AudioProbeResult> audio;
};

// Blocking: whether the path still leads, as an upload may read it, to the version stamped.
bool isStillStamped(const QString &path, const std::optional<QString> &root, const FileStamp &stamp)
{
    return (root ? regularFileStampBelow(*root, path) : regularFileStamp(path)) == stamp;
}

// Blocking. The stamp of what an upload may read at the path (lstat: a link at its name is
// not followed), below `root` through real folders when it is given; nothing for anything
// else. A path that is not there fails with the file system's error.
std::optional<FileStamp> uploadableStamp(const QByteArray &native, const QString &path,
                                         const std::optional<QString> &root)
{
    struct stat status{};
    if (::lstat(native.constData(), &status) != 0)
        throw FileReadError(errno);
    if (!S_ISREG(status.st_mode))
        return std::nullopt;
    if (!root)
        return FileStamp::of(status);
    const auto below = regularFileStampBelow(*root, path);
    if (below && *below != FileStamp::of(status))
        throw LibraryAPIClient::ContentChangedError();
    return below;
}

// Blocking: the file opened without following a link, and only as the version stamped.
void openAsStamped(std::optional<FileOpenedForReading> &file, const QByteArray &native,
                   const FileStamp &stamp)
{
    try {
        file.emplace(native);
    } catch (const FileChecksumError &error) {
        if (error.errorNumber() == ELOOP)
            throw LibraryAPIClient::ContentChangedError(); // a link now, where the file was
        throw;
    }
    if (!file->isRegular() || FileStamp::of(file->status()) != stamp)
        throw LibraryAPIClient::ContentChangedError();
}

// Blocking: lstat, audio probe, hash (or the caller's checksum while the stamp is the one it
// was taken at) and lstat again, on one worker. Nothing for anything but a regular file (of
// the folder at `root`, when given): a link is never read through. The bytes are read
// through one descriptor, opened only as the file stamped. A file that changed meanwhile is
// ContentChangedError, so the size offered is that of the bytes hashed.
std::optional<ExaminedFile> examineForUpload(const QString &path, const std::optional<QString> &root,
                                             bool probe, const std::optional<StampedChecksum> &known,
                                             const std::stop_token &stop)
{
    const QByteArray native = QFile::encodeName(path);
    const std::optional<FileStamp> stamp = uploadableStamp(native, path, root);
    throwIfStopped(stop);
    if (!stamp)
        return std::nullopt;
    ExaminedFile examined;
    examined.stamp = *stamp;
    if (examined.stamp.size > LibraryAPIClient::maximumUploadSize)
        return examined;
    const bool small = examined.stamp.size < LibraryAPIClient::inMemoryUploadLimit;
    const bool knownHolds = known && known->stamp == examined.stamp && !known->checksum.isEmpty();
    std::optional<FileOpenedForReading> file;
    if (small || !knownHolds)
        openAsStamped(file, native, examined.stamp);
    if (probe)
        examined.audio = probeAudioSync(path, stop);
    if (small) {
        examined.bytes = readWhole(*file, examined.stamp.size, stop);
        try {
            Sha256Digest digest;
            digest.add(*examined.bytes);
            examined.checksum = QString::fromLatin1(digest.finishHex());
        } catch (const Sha256Digest::Error &) {
            throw FileChecksumError(0);
        }
    } else if (knownHolds) {
        examined.checksum = known->checksum;
    } else {
        examined.checksum = computeFileChecksumSync(*file, stop);
    }
    if (!isStillStamped(path, root, examined.stamp))
        throw LibraryAPIClient::ContentChangedError();
    return examined;
}

// What the main thread hands the worker that examines a file: with the two requests made
// (token and shard in their headers), a small file's upload goes on there to its end.
struct UploadPlan
{
    QString filePath;
    std::optional<QString> root; // the sync folder's: see UploadRequest::folderRoot
    bool probe = false;
    std::optional<StampedChecksum> known;
    std::optional<HttpRequest> checkRequest;
    std::optional<HttpRequest> confirmRequest;
    // Everything of the confirmation but what the check and the file tell.
    LibraryAPIClient::UploadConfirmation confirmation;
    qint64 multipartThreshold = 0;
    // The caller judges right before the confirmation: the worker stops short of it.
    bool confirmJudged = false;
};

// How far the worker took it. A reply that may call for another sending (a 421, a 401) is
// left to the main thread, which owns the token's renewal: the steps after it are its too.
struct WorkerUpload
{
    // A file to be read whole no more: its hash is no work for a worker that sends.
    bool tooLargeHere = false;
    std::optional<ExaminedFile> examined;
    std::optional<LibraryAPIClient::HashCheckResult> verdict;
    bool bytesSent = false;
    bool linkRefused = false; // see isLinkRefused: the bytes in hand go from the main thread
    std::optional<LibraryAPIClient::ConfirmUploadResult> confirmed;
    std::optional<std::pair<HttpRequest, HttpResponse>> unsettled;
};

// A request of the service's and its reader, as HarborlyAPI::send would run them, minus the
// resending: every failure leaves as a HarborlyAPIError.
template<typename Reader>
auto sendOnWorker(HttpRequest request, WorkerUpload &upload, const std::stop_token &stop, Reader reader)
    -> std::optional<std::invoke_result_t<Reader, const HttpResponse &>>
{
    try {
        HttpResponse reply = HttpClient::sendHere(request, stop);
        if (HarborlyAPI::needsResending(reply)) {
            upload.unsettled.emplace(std::move(request), std::move(reply));
            return std::nullopt;
        }
        return reader(reply);
    } catch (...) {
        throw HarborlyAPI::asAPIError(std::current_exception());
    }
}

// Blocking, on a worker of the transfer pool: examineForUpload, then for a file read whole
// the check, the PUT of the bytes in hand (while the file still has their stamp) and the
// confirmation, as runUpload would make them, stopping wherever the main thread must decide.
WorkerUpload examineAndSend(const UploadPlan &plan, const std::stop_token &stop)
{
    WorkerUpload upload;
    if (const auto stamp = regularFileStamp(plan.filePath);
        stamp && stamp->size >= LibraryAPIClient::inMemoryUploadLimit) {
        upload.tooLargeHere = true;
        return upload;
    }
    upload.examined = examineForUpload(plan.filePath, plan.root, plan.probe, plan.known, stop);
    ExaminedFile *const examined = upload.examined ? &*upload.examined : nullptr;
    if (!examined || !examined->bytes || !plan.checkRequest || !plan.confirmRequest
        || examined->stamp.size >= plan.multipartThreshold)
        return upload;

    const QString checksum = examined->checksum;
    const auto &confirmationBase = plan.confirmation;
    HttpRequest check = *plan.checkRequest;
    check.setJsonBody(checkHashBody(checksum, confirmationBase.filename, examined->stamp.size,
                                    confirmationBase.mimeType, confirmationBase.target));
    auto readVerdict = [&checksum](const HttpResponse &reply) {
        return LibraryAPIClient::parseHashCheckResponse(reply.status, reply.body, checksum);
    };
    upload.verdict = sendOnWorker(std::move(check), upload, stop, readVerdict);
    if (!upload.verdict)
        return upload;
    const auto &verdict = *upload.verdict;
    using Verdict = LibraryAPIClient::HashCheckResult::Verdict;
    if (verdict.verdict == Verdict::deduplicated)
        return upload;
    if (verdict.verdict == Verdict::uploadRequired) {
        const QString address = verdict.presignedUploadURL.value_or(QString());
        if (address.isEmpty())
            return upload; // an address to ask for, or the form: the main thread's way
        auto unchanged = [&plan, stamp = examined->stamp] {
            if (!isStillStamped(plan.filePath, plan.root, stamp))
                throw LibraryAPIClient::ContentChangedError();
        };
        LibraryAPIClient::putBytesHere(*std::exchange(examined->bytes, std::nullopt), address, stop, unchanged);
        upload.bytesSent = true;
    }
    if (plan.confirmJudged)
        return upload;

    HttpRequest confirm = *plan.confirmRequest;
    confirm.setJsonBody(confirmationBody(confirmationOf(confirmationBase, verdict, examined->stamp.size, examined->audio)));
    auto readConfirmed = [](const HttpResponse &reply) {
        return LibraryAPIClient::parseConfirmUploadResponse(reply.status, reply.body);
    };
    try {
        upload.confirmed = sendOnWorker(std::move(confirm), upload, stop, readConfirmed);
    } catch (const HarborlyAPIError &error) {
        if (!isLinkRefused(verdict, error))
            throw;
        upload.linkRefused = true;
    }
    return upload;
}

QCoro::Task<bool> stillStamped(QString path, std::optional<QString> root, FileStamp stamp)
{
    auto work = [path = std::move(path), root = std::move(root), stamp] {
        return isStillStamped(path, root, stamp);
    };
    return runInBackground(std::move(work));
}

// The form around a body: the staged copy, streamed (its bytes are never held in memory), or
// a small file's bytes already read.
QCoro::Task<> sendFormBody(std::shared_ptr<HarborlyAPI> api, std::unique_ptr<QIODevice> content, QString fileName,
                           QString oid, std::stop_token stop)
{
    const QString boundary = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    auto [prefix, suffix] = LibraryAPIClient::formUploadEnvelope(boundary, oid, fileName);
    auto device = std::make_shared<ConcatenatedBodyDevice>(std::move(prefix), std::move(content), std::move(suffix));
    if (!device->open(QIODevice::ReadOnly))
        throw FileReadError(EIO);

    auto making = api->makeRequest(kUploadBlobPath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    request.headers.set("Content-Type", "multipart/form-data; boundary=" + boundary.toUtf8());
    request.bodyDevice = std::move(device);
    auto reader = [](const HttpResponse &reply) { LibraryAPIClient::parseUploadBlobResponse(reply.status, reply.body); };
    auto sending = api->send(std::move(request), std::move(reader), stop);
    co_await std::move(sending);
}

QCoro::Task<> sendForm(std::shared_ptr<HarborlyAPI> api, QString copyPath, QString fileName, QString oid,
                       std::stop_token stop)
{
    auto copy = std::make_unique<QFile>(copyPath);
    if (!copy->open(QIODevice::ReadOnly))
        throw FileReadError(EIO);
    return sendFormBody(std::move(api), std::move(copy), std::move(fileName), std::move(oid), std::move(stop));
}

} // namespace

// ---- Operations ----

QCoro::Task<LibraryAPIClient::HashCheckResult> LibraryAPIClient::checkHash(QString checksum, QString filename,
                                                                           qint64 fileSize, QString mimeType,
                                                                           UploadTarget target, std::stop_token stop)
{
    const auto api = m_api;
    auto making = api->makeRequest(kCheckHashPath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    request.setJsonBody(checkHashBody(checksum, filename, fileSize, mimeType, target));
    auto reader = [checksum](const HttpResponse &reply) {
        return parseHashCheckResponse(reply.status, reply.body, checksum);
    };
    auto sending = api->send(std::move(request), std::move(reader), stop);
    co_return co_await std::move(sending);
}

QCoro::Task<LibraryAPIClient::PresignedURLResult> LibraryAPIClient::requestUploadURL(QString oid, QString filename,
                                                                                     qint64 fileSize, QString mimeType,
                                                                                     UploadTarget target,
                                                                                     std::stop_token stop)
{
    const auto api = m_api;
    auto making = api->makeRequest(kUploadURLPath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    QJsonObject body{{QStringLiteral("content_sha256"), oid},
                     {QStringLiteral("filename"), filename},
                     {QStringLiteral("file_size"), fileSize},
                     {QStringLiteral("mime_type"), mimeType}};
    insertTarget(body, target);
    request.setJsonBody(body);
    auto reader = [](const HttpResponse &reply) { return parseUploadURLResponse(reply.status, reply.body); };
    auto sending = api->send(std::move(request), std::move(reader), stop);
    co_return co_await std::move(sending);
}

QCoro::Task<> LibraryAPIClient::uploadBlob(QString filePath, QString oid, std::optional<ExpectedContent> expected,
                                           std::stop_token stop)
{
    const auto api = m_api;
    const QString fileName = lastPathComponent(filePath);

    // The copy is what gets sent: its hash is taken from exactly the bytes written, so a file
    // rewritten while it is read cannot slip under the checksum the service was offered. It
    // goes beside the multipart copies rather than in the temporary folder, which may be memory.
    StagedCopy staged(stagingFolder());
    std::exception_ptr failure;
    try {
        auto copying = staged.fill(filePath, stop, {}, expected ? expected->version : std::nullopt);
        const CopiedFile copied = co_await std::move(copying);
        if (expected && (copied.sha256 != expected->sha256 || copied.size != expected->size))
            throw ContentChangedError();
        auto sending = sendForm(api, staged.path(), fileName, oid, stop);
        co_await std::move(sending);
    } catch (...) {
        failure = std::current_exception();
    }
    auto removing = staged.remove();
    co_await std::move(removing);
    if (failure)
        std::rethrow_exception(failure);
}

QCoro::Task<> LibraryAPIClient::uploadBlobBytes(QByteArray body, QString fileName, QString oid, std::stop_token stop)
{
    auto buffer = std::make_unique<QBuffer>();
    buffer->setData(std::move(body));
    if (!buffer->open(QIODevice::ReadOnly))
        throw FileReadError(EIO);
    auto sending = sendFormBody(m_api, std::move(buffer), std::move(fileName), std::move(oid), std::move(stop));
    co_await std::move(sending);
}

QCoro::Task<LibraryAPIClient::ConfirmUploadResult> LibraryAPIClient::confirmUpload(UploadConfirmation confirmation,
                                                                                   std::stop_token stop)
{
    const auto api = m_api;
    auto making = api->makeRequest(kConfirmUploadPath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    request.setJsonBody(confirmationBody(confirmation));
    auto reader = [](const HttpResponse &reply) { return parseConfirmUploadResponse(reply.status, reply.body); };
    auto sending = api->send(std::move(request), std::move(reader), stop);
    co_return co_await std::move(sending);
}

// The coroutine holds a client of its own that shares this one's transport and settings, so
// nothing it does after a suspension reads an object the caller may have destroyed.
QCoro::Task<LibraryAPIClient::UploadResult> LibraryAPIClient::doUploadFile(UploadRequest request,
                                                                           std::stop_token stop)
{
    std::shared_ptr<LibraryAPIClient> self(new LibraryAPIClient(m_api, m_settings));
    return runUpload(std::move(self), std::move(request), std::move(stop));
}

QCoro::Task<LibraryAPIClient::UploadResult> LibraryAPIClient::runUpload(std::shared_ptr<LibraryAPIClient> self,
                                                                        UploadRequest request, std::stop_token stop)
{
    const QString filePath = request.filePath;
    const std::optional<QString> root = request.folderRoot;
    const QString extension = lowerExtension(filePath);
    if (request.folderKind == SyncFolderType::harborly || request.folderKind == SyncFolderType::unorganisedAudio) {
        if (!supportedAudioExtensions().contains(u'.' + extension))
            throw UploadValidationError::unsupportedExtension(extension);
    }

    const QString mimeType = mimeTypesByExtension().value(extension, QStringLiteral("application/octet-stream"));
    const QString filename = lastPathComponent(filePath);
    const UploadTarget target{request.folderKind, request.drivePath, request.syncFolderID};

    UploadPlan plan;
    plan.filePath = filePath;
    plan.root = root;
    plan.probe = mimeType.startsWith(QLatin1String("audio/"));
    plan.known = request.knownChecksum;
    plan.multipartThreshold = self->multipartThreshold();
    plan.confirmation.filename = filename;
    plan.confirmation.mimeType = mimeType;
    plan.confirmation.target = target;
    plan.confirmation.baseCommit = request.baseCommit;
    plan.confirmation.fileUUID = request.fileUUID;
    plan.confirmation.deviceID = request.deviceID;
    plan.confirmJudged = bool(request.beforeConfirm);
    const auto beforeConfirm = request.beforeConfirm;
    // A file that may be read whole goes to the service from the worker that reads it, with
    // requests made here; whatever fails in making them fails again below, in its own place.
    // A larger one is hashed on the pool for such work: a worker that sends is not held by it.
    const bool mayBeSmall = !plan.known || plan.known->stamp.size < inMemoryUploadLimit;
    if (mayBeSmall) {
        try {
            auto making = self->m_api->makeRequests({kCheckHashPath, kConfirmUploadPath}, QStringLiteral("POST"),
                                                    std::nullopt, stop);
            QList<HttpRequest> made = co_await std::move(making);
            plan.checkRequest = std::move(made[0]);
            plan.confirmRequest = std::move(made[1]);
        } catch (const HarborlyAPIError &) {
            // Without them the file goes the general way, which makes its requests again and
            // throws what fails there.
        }
    }
    const bool probe = plan.probe;
    const std::optional<StampedChecksum> known = plan.known;
    const UploadConfirmation confirmationBase = plan.confirmation;
    WorkerUpload sent;
    if (mayBeSmall) {
        auto examining = [plan = std::move(plan), stop] { return examineAndSend(plan, stop); };
        auto examination = runOnPool(HttpClient::transferPool(), std::move(examining));
        sent = co_await std::move(examination);
    }
    if (!mayBeSmall || sent.tooLargeHere) {
        auto examining = [filePath, root, probe, known, stop] {
            return examineForUpload(filePath, root, probe, known, stop);
        };
        auto examination = runInBackground(std::move(examining));
        sent.examined = co_await std::move(examination);
    }
    std::optional<ExaminedFile> &examined = sent.examined;
    if (!sent.verdict && !sent.unsettled)
        throwIfStopped(stop);
    if (!examined) {
        if (root)
            throw NotARegularFileError();
        throw UploadValidationError::fileNotFound(filePath);
    }
    const qint64 size = examined->stamp.size;
    if (size > maximumUploadSize)
        throw UploadValidationError::fileTooLarge(size, maximumUploadSize);

    const QString checksum = examined->checksum;

    HashCheckResult verdict;
    if (sent.verdict) {
        verdict = *sent.verdict;
    } else if (sent.unsettled) {
        auto [sentRequest, reply] = *std::exchange(sent.unsettled, std::nullopt);
        auto reader = [checksum](const HttpResponse &response) {
            return parseHashCheckResponse(response.status, response.body, checksum);
        };
        auto settling = self->m_api->settle(std::move(sentRequest), std::move(reply), std::move(reader), stop);
        verdict = co_await std::move(settling);
    } else {
        auto checking = self->checkHash(checksum, filename, size, mimeType, target, stop);
        verdict = co_await std::move(checking);
    }

    // The confirmation as the worker left it: answered, to be settled here (a reply that calls
    // for sending it again), or not sent yet.
    auto confirmAsSent = [](std::shared_ptr<LibraryAPIClient> client, std::optional<ConfirmUploadResult> answered,
                            std::optional<std::pair<HttpRequest, HttpResponse>> unsettled,
                            UploadConfirmation confirmation, std::stop_token stop) -> QCoro::Task<ConfirmUploadResult> {
        if (answered)
            co_return std::move(*answered);
        if (unsettled) {
            auto [sentRequest, reply] = std::move(*unsettled);
            auto reader = [](const HttpResponse &response) {
                return parseConfirmUploadResponse(response.status, response.body);
            };
            auto settling = client->m_api->settle(std::move(sentRequest), std::move(reply), std::move(reader), stop);
            co_return co_await std::move(settling);
        }
        auto confirming = client->confirmUpload(std::move(confirmation), stop);
        co_return co_await std::move(confirming);
    };

    UploadResult result;
    result.contentSHA256 = checksum;
    if (verdict.verdict == HashCheckResult::Verdict::deduplicated) {
        result.fileId = verdict.fileId;
        result.message = QStringLiteral("Deduplicated");
        result.wasDeduplicated = true;
        co_return result;
    }
    const auto confirmation = confirmationOf(confirmationBase, verdict, size, examined->audio);
    std::optional<ConfirmUploadResult> confirmed;
    bool sendBytes = verdict.verdict == HashCheckResult::Verdict::uploadRequired && !sent.bytesSent;
    if (verdict.verdict == HashCheckResult::Verdict::knownContent) {
        result.message = QStringLiteral("Known content — linked");
        result.wasDeduplicated = true;
        bool linkRefused = sent.linkRefused;
        if (!linkRefused) {
            if (beforeConfirm) {
                auto judging = beforeConfirm(stop);
                co_await std::move(judging);
            }
            try {
                auto confirming = confirmAsSent(self, std::exchange(sent.confirmed, std::nullopt),
                                                std::exchange(sent.unsettled, std::nullopt), confirmation, stop);
                confirmed = co_await std::move(confirming);
            } catch (const HarborlyAPIError &error) {
                if (!isLinkRefused(verdict, error))
                    throw;
                linkRefused = true;
            }
        }
        if (linkRefused) {
            // Linked to nothing: the bytes go as for new content, once; a second refusal is
            // the upload's failure.
            sendBytes = true;
            result.message = QStringLiteral("Uploaded");
            result.wasDeduplicated = false;
        }
    } else {
        result.message = QStringLiteral("Uploaded");
    }
    if (sendBytes) {
        const bool multipart = size >= self->multipartThreshold();
        QString presignedURL = verdict.presignedUploadURL.value_or(QString());
        if (presignedURL.isEmpty()) {
            auto asking = self->requestUploadURL(verdict.oid, filename, size, mimeType, target, stop);
            presignedURL = (co_await std::move(asking)).presignedURL;
        }
        if (multipart) {
            auto sending = self->uploadMultipart(filePath, verdict.oid, filename, size, mimeType, checksum, stop,
                                                 request.multipartJournal, examined->stamp);
            co_await std::move(sending);
        } else if (examined->bytes) {
            // The bytes in hand are one consistent version, but only the file as it is now may
            // go: a file rewritten since it was read (while the service was asked) is not sent.
            // For a PUT the worker that sends looks, just before it sends.
            QByteArray body = *std::exchange(examined->bytes, std::nullopt);
            if (!presignedURL.isEmpty()) {
                auto unchanged = [filePath, root, stamp = examined->stamp] {
                    if (!isStillStamped(filePath, root, stamp))
                        throw ContentChangedError();
                };
                auto sending = self->uploadBytesToPresignedURL(std::move(body), presignedURL, stop,
                                                               std::move(unchanged));
                co_await std::move(sending);
            } else {
                auto checking = stillStamped(filePath, root, examined->stamp);
                if (!co_await std::move(checking))
                    throw ContentChangedError();
                auto sending = self->uploadBlobBytes(std::move(body), filename, verdict.oid, stop);
                co_await std::move(sending);
            }
        } else if (!presignedURL.isEmpty()) {
            auto sending =
                self->uploadToPresignedURL(filePath, presignedURL, checksum, stop, examined->stamp);
            co_await std::move(sending);
        } else {
            const ExpectedContent expected{checksum, size, examined->stamp};
            auto sending = self->uploadBlob(filePath, verdict.oid, expected, stop);
            co_await std::move(sending);
        }
    }

    if (!confirmed) {
        if (beforeConfirm) {
            auto judging = beforeConfirm(stop);
            co_await std::move(judging);
        }
        auto confirming = confirmAsSent(self, std::exchange(sent.confirmed, std::nullopt),
                                        std::exchange(sent.unsettled, std::nullopt), confirmation, stop);
        confirmed = co_await std::move(confirming);
    }
    result.fileId = confirmed->fileId;
    result.commitSha = confirmed->commitSha;
    result.status = confirmed->status;
    result.conflict = std::move(confirmed->conflict);
    co_return result;
}

} // namespace quillmere
