#include "fake-service/FakeJson.h"
#include "fake-service/FakeRoutes.h"

#include <QCryptographicHash>
#include <QJsonArray>

#include <algorithm>
#include <regex>

namespace quillmere::test {

namespace {

using Upload = FakeMultipartUpload;

// Authorises and reads the JSON body; the account and body, or the refusal.
struct Call
{
    qint64 accountId = 0;
    QJsonObject body;
};

// `body`: the request's body as jsonObjectBody parsed it, before the lock was taken.
std::variant<Call, FakeReply> accept(const FakeServiceState &state, const FakeRequest &request,
                                     const std::variant<QJsonObject, FakeReply> &body)
{
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    if (auto *refused = std::get_if<FakeReply>(&body))
        return *refused;
    return Call{std::get<qint64>(who), std::get<QJsonObject>(body)};
}

std::optional<qint64> integerOf(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (number != double(qint64(number)))
        return std::nullopt;
    return qint64(number);
}

QString expiryText()
{
    return fakeDateText(QDateTime::currentDateTimeUtc().addSecs(3600));
}

Upload *openUpload(FakeServiceState &state, qint64 accountId, const QString &uploadId)
{
    const auto found = state.transfers.uploads.find(uploadId);
    if (found == state.transfers.uploads.end() || found->second.accountId != accountId
        || found->second.state != Upload::State::open)
        return nullptr;
    return &found->second;
}

FakeReply noSuchUpload()
{
    return FakeReply::failure(404, QStringLiteral("No such upload"));
}

FakeReply initiate(FakeServiceState &state, const FakeRequest &request)
{
    const auto parsed = jsonObjectBody(request); // before the lock: parsing is the slow part
    std::lock_guard lock(state.mutex);
    auto call = accept(state, request, parsed);
    if (auto *refused = std::get_if<FakeReply>(&call))
        return *refused;
    const auto &[accountId, body] = std::get<Call>(call);
    for (const char *key : {"oid", "filename", "mime_type"})
        if (auto refused = requireString(body, QString::fromLatin1(key)))
            return *refused;
    const auto fileSize = integerOf(body.value(QStringLiteral("file_size")));
    if (!fileSize || *fileSize <= 0)
        return badRequest(QStringLiteral("file_size must be a positive integer"));

    FakeTransfers &transfers = state.transfers;
    const QString oid = body.value(QStringLiteral("oid")).toString();
    if (transfers.initiateReply == FakeInitiateReply::alreadyExists)
        return FakeReply::json(200, QJsonObject{{QStringLiteral("status"), QStringLiteral("already_exists")},
                                                {QStringLiteral("oid"), oid}});
    Upload upload;
    upload.uploadId = QStringLiteral("mpu-%1").arg(transfers.nextNumber++);
    upload.accountId = accountId;
    upload.oid = oid;
    upload.filename = body.value(QStringLiteral("filename")).toString();
    upload.mimeType = body.value(QStringLiteral("mime_type")).toString();
    upload.fileSize = *fileSize;
    upload.partSize = transfers.partSize;
    upload.totalParts = transfers.totalPartsAnswer.value_or((*fileSize + upload.partSize - 1) / upload.partSize);
    QJsonObject reply{{QStringLiteral("oid"), oid},
                      {QStringLiteral("part_size"), upload.partSize},
                      {QStringLiteral("total_parts"), upload.totalParts}};
    if (transfers.initiateReply == FakeInitiateReply::normal) {
        reply.insert(QStringLiteral("upload_id"), upload.uploadId);
        transfers.uploads[upload.uploadId] = upload;
    }
    return FakeReply::json(200, reply);
}

FakeReply presign(FakeServiceState &state, const FakeRequest &request)
{
    const auto parsed = jsonObjectBody(request); // before the lock: parsing is the slow part
    std::lock_guard lock(state.mutex);
    auto call = accept(state, request, parsed);
    if (auto *refused = std::get_if<FakeReply>(&call))
        return *refused;
    const auto &[accountId, body] = std::get<Call>(call);
    for (const char *key : {"upload_id", "oid"})
        if (auto refused = requireString(body, QString::fromLatin1(key)))
            return *refused;
    Upload *upload = openUpload(state, accountId, body.value(QStringLiteral("upload_id")).toString());
    if (!upload)
        return noSuchUpload();
    if (!body.value(QStringLiteral("part_numbers")).isArray())
        return badRequest(QStringLiteral("part_numbers must be an array"));
    QJsonArray parts;
    for (const auto &value : body.value(QStringLiteral("part_numbers")).toArray()) {
        const auto number = integerOf(value);
        if (!number || *number < 1 || *number > 10000)
            return badRequest(QStringLiteral("part_numbers must hold integers from 1 to 10000"));
        if (state.transfers.presignOmits.count(*number))
            continue;
        parts.append(QJsonObject{
            {QStringLiteral("part_number"), *number},
            {QStringLiteral("presigned_url"),
             state.baseURL + QStringLiteral("/storage/uploads/%1/parts/%2?signature=fake").arg(upload->uploadId).arg(*number)},
            {QStringLiteral("expires_at"), expiryText()}});
    }
    return FakeReply::json(200, QJsonObject{{QStringLiteral("parts"), parts}});
}

// Like the storage it stands for, the fake completes an upload with whatever parts the
// request lists, in ascending order and with their ETags: a client that lists too few parts
// gets a truncated object.
FakeReply complete(FakeServiceState &state, const FakeRequest &request)
{
    const auto parsed = jsonObjectBody(request); // before the lock: parsing is the slow part
    std::lock_guard lock(state.mutex);
    auto call = accept(state, request, parsed);
    if (auto *refused = std::get_if<FakeReply>(&call))
        return *refused;
    const auto &[accountId, body] = std::get<Call>(call);
    if (auto refused = requireString(body, QStringLiteral("upload_id")))
        return *refused;
    Upload *upload = openUpload(state, accountId, body.value(QStringLiteral("upload_id")).toString());
    if (!upload)
        return noSuchUpload();
    if (!body.value(QStringLiteral("parts")).isArray())
        return badRequest(QStringLiteral("parts must be an array"));

    std::vector<qint64> listed;
    for (const auto &value : body.value(QStringLiteral("parts")).toArray()) {
        const QJsonObject part = value.toObject();
        const auto number = integerOf(part.value(QStringLiteral("part_number")));
        const QString etag = part.value(QStringLiteral("etag")).toString();
        if (!number || (!listed.empty() && *number <= listed.back()))
            return badRequest(QStringLiteral("parts must be in ascending order"));
        const auto found = upload->parts.find(*number);
        if (found == upload->parts.end() || found->second.etag != etag)
            return badRequest(QStringLiteral("Part %1 does not match an uploaded part").arg(*number));
        listed.push_back(*number);
    }

    FakeStoredObject object;
    object.oid = upload->oid;
    for (const qint64 number : listed) {
        const FakeReceivedBody &part = upload->parts[number].body;
        object.size += part.size;
        object.pieces.push_back(part);
    }
    object.puts = 1;
    state.transfers.objects[object.oid] = object;
    upload->completedParts = listed;
    upload->state = Upload::State::completed;
    return FakeReply::json(200, QJsonObject{{QStringLiteral("oid"), upload->oid}});
}

FakeReply abortUpload(FakeServiceState &state, const FakeRequest &request)
{
    const auto parsed = jsonObjectBody(request); // before the lock: parsing is the slow part
    std::lock_guard lock(state.mutex);
    auto call = accept(state, request, parsed);
    if (auto *refused = std::get_if<FakeReply>(&call))
        return *refused;
    const auto &[accountId, body] = std::get<Call>(call);
    if (auto refused = requireString(body, QStringLiteral("upload_id")))
        return *refused;
    Upload *upload = openUpload(state, accountId, body.value(QStringLiteral("upload_id")).toString());
    if (!upload)
        return noSuchUpload();
    upload->state = Upload::State::aborted;
    upload->parts.clear();
    return FakeReply::json(200, QJsonObject());
}

// Any number of files: the client decides how many go into one request. "folder_type" is
// left out for the plan mirror.
std::variant<QJsonArray, FakeReply> batchFiles(const QJsonObject &body)
{
    if (auto refused = requireString(body, QStringLiteral("sync_folder_uuid")))
        return *refused;
    if (auto refused = requireString(body, QStringLiteral("folder_type"), true))
        return *refused;
    if (body.contains(QStringLiteral("folder_type")) && !isFolderType(body.value(QStringLiteral("folder_type")).toString()))
        return badRequest(QStringLiteral("Unknown folder_type"));
    if (!body.value(QStringLiteral("files")).isArray())
        return badRequest(QStringLiteral("files must be an array"));
    return body.value(QStringLiteral("files")).toArray();
}

bool isContentHash(const QString &text)
{
    return text.size() == 64
           && std::all_of(text.begin(), text.end(), [](QChar c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'); });
}

const FakeLibraryFile *libraryFileWith(const FakeServiceState &state, qint64 accountId, const QString &hash,
                                       const std::optional<QString> &drivePath = std::nullopt)
{
    for (const qint64 id : state.files.withChecksum(accountId, hash)) {
        const FakeLibraryFile &file = state.files.find(id)->second;
        if (!drivePath || file.drivePath == drivePath)
            return &file;
    }
    return nullptr;
}

bool holdsContent(const FakeServiceState &state, qint64 accountId, const QString &hash)
{
    if (libraryFileWith(state, accountId, hash))
        return true;
    for (const auto &[oid, object] : state.transfers.objects)
        if ((object.sha256.isEmpty() ? object.hashOfContent() : object.sha256) == hash)
            return true;
    return false;
}

QString newPutTarget(FakeServiceState &state, qint64 accountId, const QString &oid)
{
    const QString token = QStringLiteral("put-%1").arg(state.transfers.nextNumber++);
    state.transfers.putTargets[token] = accountId;
    state.transfers.putOids[token] = oid;
    return state.baseURL + QStringLiteral("/storage/objects/%1?signature=fake").arg(token);
}

// Synced: the library has the content at that path. Deduplicated: it has the content
// elsewhere. Unknown: not a content hash. Otherwise the bytes are needed, with a PUT URL.
FakeReply batchCheckHash(FakeServiceState &state, const FakeRequest &request)
{
    const auto parsed = jsonObjectBody(request); // before the lock: parsing is the slow part
    std::lock_guard lock(state.mutex);
    auto call = accept(state, request, parsed);
    if (auto *refused = std::get_if<FakeReply>(&call))
        return *refused;
    const auto &[accountId, body] = std::get<Call>(call);
    auto files = batchFiles(body);
    if (auto *refused = std::get_if<FakeReply>(&files))
        return *refused;

    QJsonArray synced, deduplicated, uploadRequired, unknown;
    for (const auto &value : std::get<QJsonArray>(files)) {
        const QJsonObject file = value.toObject();
        const QString hash = file.value(QStringLiteral("content_sha256")).toString();
        const QString drivePath = file.value(QStringLiteral("drive_path")).toString();
        if (!isContentHash(hash)) {
            unknown.append(hash);
        } else if (libraryFileWith(state, accountId, hash, drivePath)) {
            synced.append(hash);
        } else if (const FakeLibraryFile *held = libraryFileWith(state, accountId, hash)) {
            deduplicated.append(QJsonObject{{QStringLiteral("content_sha256"), hash}, {QStringLiteral("file_id"), held->id}});
        } else {
            uploadRequired.append(QJsonObject{{QStringLiteral("content_sha256"), hash},
                                              {QStringLiteral("oid"), hash},
                                              {QStringLiteral("presigned_upload_url"), newPutTarget(state, accountId, hash)}});
        }
    }
    if (state.transfers.malformedBatchEntries) {
        synced.append(42);
        deduplicated.append(QStringLiteral("not an object"));
        deduplicated.append(QJsonObject{{QStringLiteral("content_sha256"), QStringLiteral("no-file-id")}});
        uploadRequired.append(QJsonObject{{QStringLiteral("content_sha256"), QStringLiteral("no-oid")}});
    }
    return FakeReply::json(200, QJsonObject{{QStringLiteral("results"),
                                             QJsonObject{{QStringLiteral("synced"), synced},
                                                         {QStringLiteral("deduplicated"), deduplicated},
                                                         {QStringLiteral("upload_required"), uploadRequired},
                                                         {QStringLiteral("unknown"), unknown}}},
                                            {QStringLiteral("cursor"), state.cursorLocked(accountId)}});
}

FakeReply batchDedupConfirm(FakeServiceState &state, const FakeRequest &request)
{
    const auto parsed = jsonObjectBody(request); // before the lock: parsing is the slow part
    std::lock_guard lock(state.mutex);
    auto call = accept(state, request, parsed);
    if (auto *refused = std::get_if<FakeReply>(&call))
        return *refused;
    const auto &[accountId, body] = std::get<Call>(call);
    if (body.value(QStringLiteral("pre_verified")) != QJsonValue(true))
        return badRequest(QStringLiteral("pre_verified must be true"));
    auto files = batchFiles(body);
    if (auto *refused = std::get_if<FakeReply>(&files))
        return *refused;

    QJsonArray confirmed, failed;
    for (const auto &value : std::get<QJsonArray>(files)) {
        const QJsonObject entry = value.toObject();
        const QString hash = entry.value(QStringLiteral("content_sha256")).toString();
        const QJsonValue drivePath = entry.value(QStringLiteral("drive_path"));
        if (!holdsContent(state, accountId, hash)) {
            QJsonObject refusal{{QStringLiteral("content_sha256"), hash}, {QStringLiteral("reason"), QStringLiteral("Content not held")}};
            if (drivePath.isString())
                refusal.insert(QStringLiteral("drive_path"), drivePath);
            failed.append(refusal);
            continue;
        }
        FakeLibraryFile file;
        file.accountId = accountId;
        file.filename = entry.value(QStringLiteral("filename")).toString();
        file.mimeType = entry.value(QStringLiteral("mime_type")).toString();
        file.folderType = body.value(QStringLiteral("folder_type")).toString();
        file.syncFolderUUID = body.value(QStringLiteral("sync_folder_uuid")).toString();
        if (drivePath.isString())
            file.drivePath = drivePath.toString();
        file.fileSize = integerOf(entry.value(QStringLiteral("file_size"))).value_or(0);
        file.checksum = hash;
        // The new file holds the bytes it points at, so a download of it serves them.
        if (const FakeLibraryFile *holder = libraryFileWith(state, accountId, hash)) {
            file.content = holder->content;
            file.received = holder->received;
            file.contentPath = holder->contentPath;
        } else {
            for (const auto &[oid, object] : state.transfers.objects)
                if ((object.sha256.isEmpty() ? object.hashOfContent() : object.sha256) == hash) {
                    file.received = object.pieces;
                    break;
                }
        }
        // A file already at that place takes the new content, as an upload there does: one
        // place never lists two files.
        std::optional<qint64> placed;
        for (const qint64 existing : state.files.at(accountId, file.filename, file.drivePath, file.syncFolderUUID))
            if (state.files.find(existing)->second.folderType == file.folderType) {
                placed = existing;
                break;
            }
        qint64 id = 0;
        if (placed) {
            FakeLibraryFile replaced = state.files.find(*placed)->second;
            replaced.content = file.content;
            replaced.received = file.received;
            replaced.contentPath = file.contentPath;
            replaced.fileSize = file.fileSize;
            replaced.checksum = file.checksum;
            replaced.updatedAt = QDateTime::currentDateTimeUtc();
            state.files.put(replaced);
            state.recordChangeLocked(QStringLiteral("updated"), replaced);
            id = *placed;
        } else {
            id = state.addFileLocked(file);
        }
        // The file's commit now: an upload that names another base meets it as a conflict.
        const QString commit = QString::fromLatin1(
            QCryptographicHash::hash(QStringLiteral("%1:%2").arg(hash).arg(state.uploads.nextCommitNumber++).toUtf8(),
                                     QCryptographicHash::Sha1)
                .toHex());
        state.uploads.commits[id] = commit;
        QJsonObject done{{QStringLiteral("content_sha256"), hash},
                         {QStringLiteral("filename"), file.filename},
                         {QStringLiteral("file_id"), id},
                         {QStringLiteral("commit_sha"), commit}};
        if (file.drivePath)
            done.insert(QStringLiteral("drive_path"), *file.drivePath);
        confirmed.append(done);
    }
    if (state.transfers.malformedBatchEntries) {
        confirmed.append(QJsonObject{{QStringLiteral("content_sha256"), QStringLiteral("no-commit")}, {QStringLiteral("file_id"), 1}});
        failed.append(QJsonObject{{QStringLiteral("reason"), QStringLiteral("no hash")}});
    }
    return FakeReply::json(200, QJsonObject{{QStringLiteral("confirmed"), confirmed}, {QStringLiteral("failed"), failed}});
}

// Warns when another device of the account reported the same project.
FakeReply dawLiveness(FakeServiceState &state, const FakeRequest &request)
{
    const auto parsed = jsonObjectBody(request); // before the lock: parsing is the slow part
    std::lock_guard lock(state.mutex);
    auto call = accept(state, request, parsed);
    if (auto *refused = std::get_if<FakeReply>(&call))
        return *refused;
    const auto &[accountId, body] = std::get<Call>(call);
    for (const char *key : {"device_id", "source_key", "device_name"})
        if (auto refused = requireString(body, QString::fromLatin1(key)))
            return *refused;
    for (const char *key : {"daw_open", "active"})
        if (body.value(QString::fromLatin1(key)) != QJsonValue(true))
            return badRequest(QStringLiteral("%1 must be true").arg(QString::fromLatin1(key)));
    FakeLivenessReport report{accountId, body.value(QStringLiteral("device_id")).toString(),
                              body.value(QStringLiteral("source_key")).toString(), std::nullopt,
                              body.value(QStringLiteral("device_name")).toString()};
    if (body.value(QStringLiteral("daw_name")).isString())
        report.dawName = body.value(QStringLiteral("daw_name")).toString();
    std::map<QString, QString> peers;
    for (const FakeLivenessReport &earlier : state.transfers.livenessReports)
        if (earlier.accountId == accountId && earlier.sourceKey == report.sourceKey && earlier.deviceId != report.deviceId)
            peers[earlier.deviceId] = earlier.deviceName;
    state.transfers.livenessReports.push_back(report);

    QJsonArray peerDevices;
    for (const auto &[id, name] : peers)
        peerDevices.append(QJsonObject{{QStringLiteral("device_id"), id}, {QStringLiteral("device_name"), name}});
    QJsonObject reply{{QStringLiteral("warn"), !peers.empty()},
                      {QStringLiteral("open_device_count"), qint64(peers.size() + 1)},
                      {QStringLiteral("peer_devices"), peerDevices}};
    if (!peers.empty())
        reply.insert(QStringLiteral("message"), QStringLiteral("This project is open on another device"));
    return FakeReply::json(200, reply);
}

} // namespace

void addTransferRoutes(FakeRouter &router, FakeServiceState &state)
{
    router.add("POST", "/api/v1/files/multipart/initiate", [&state](const FakeRequest &r) { return initiate(state, r); });
    router.add("POST", "/api/v1/files/multipart/presign-parts", [&state](const FakeRequest &r) { return presign(state, r); });
    router.add("POST", "/api/v1/files/multipart/complete", [&state](const FakeRequest &r) { return complete(state, r); });
    router.add("POST", "/api/v1/files/multipart/abort", [&state](const FakeRequest &r) { return abortUpload(state, r); });
    router.add("POST", "/api/v1/files/batch-check-hash", [&state](const FakeRequest &r) { return batchCheckHash(state, r); });
    router.add("POST", "/api/v1/files/batch-dedup-confirm", [&state](const FakeRequest &r) { return batchDedupConfirm(state, r); });
    router.add("POST", "/api/v1/daw-liveness", [&state](const FakeRequest &r) { return dawLiveness(state, r); });
}

// Presigned URLs carry their authority in the URL: like the storage it stands for, the fake
// refuses a request that also presents "Authorization".
FakeReply storeUploadedBody(FakeServiceState &state, const FakeRequest &request, FakeReceivedBody body)
{
    static const std::regex objectPath("/storage/objects/([^/]+)");
    static const std::regex partPath("/storage/uploads/([^/]+)/parts/([0-9]+)");
    if (request.header("Authorization"))
        return FakeReply::failure(400, QStringLiteral("Only one authentication mechanism is allowed"));

    std::smatch match;
    // Every PUT under /storage streams through here; objects that the single-file upload
    // routes handed out are theirs to store.
    if (std::regex_match(request.path, match, objectPath)) {
        const QString token = QString::fromStdString(match[1]);
        bool transferTarget = false;
        {
            std::lock_guard lock(state.mutex);
            transferTarget = state.transfers.putOids.count(token) != 0;
        }
        if (!transferTarget)
            return storeSingleUploadObject(state, request, token, std::move(body));
    }

    std::lock_guard lock(state.mutex);
    if (std::regex_match(request.path, match, objectPath)) {
        const QString token = QString::fromStdString(match[1]);
        const auto oid = state.transfers.putOids.find(token);
        if (oid == state.transfers.putOids.end())
            return FakeReply::failure(404, QStringLiteral("No such upload target"));
        FakeStoredObject &object = state.transfers.objects[oid->second];
        object.oid = oid->second;
        object.size = body.size;
        object.sha256 = body.sha256;
        object.pieces = {body};
        ++object.puts;
        FakeReply reply;
        reply.contentType.clear();
        reply.headers.emplace_back("ETag", fakeETag(body.sha256));
        return reply;
    }
    if (std::regex_match(request.path, match, partPath)) {
        const QString uploadId = QString::fromStdString(match[1]);
        const qint64 number = std::stoll(match[2]);
        const auto found = state.transfers.uploads.find(uploadId);
        if (found == state.transfers.uploads.end() || found->second.state != Upload::State::open)
            return FakeReply::failure(404, QStringLiteral("No such upload"));
        auto failing = state.transfers.partFailures.find(number);
        if (failing != state.transfers.partFailures.end() && failing->second.second != 0) {
            if (failing->second.second > 0)
                --failing->second.second;
            return FakeReply::failure(failing->second.first, QStringLiteral("Part refused"));
        }
        const std::string etag = fakeETag(body.sha256);
        found->second.parts[number] = FakeStoredPart{QString::fromStdString(etag), std::move(body)};
        FakeReply reply;
        reply.contentType.clear();
        if (!state.transfers.etagWithheld.count(number))
            reply.headers.emplace_back("ETag", etag);
        return reply;
    }
    return FakeReply::failure(404, QStringLiteral("No such upload target"));
}

} // namespace quillmere::test
