#include "fake-service/FakeJson.h"
#include "fake-service/FakeRoutes.h"

#include <QCryptographicHash>
#include <QRegularExpression>

namespace quillmere::test {

namespace {

const std::string kObjectPrefix = "/storage/objects/";

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The fake's object id for a content hash: different from the hash, so a client that sends
// its own checksum where the verdict's oid belongs is caught.
QString oidFor(const QString &sha)
{
    return QStringLiteral("obj-") + sha.left(32);
}

bool isLowerHexSha(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{64}$"));
    return pattern.match(text).hasMatch();
}

std::optional<FakeReply> requireInteger(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble() || value.toDouble() != double(value.toInteger()) || value.toInteger() < 0)
        return badRequest(key + QStringLiteral(" must be a whole number"));
    return std::nullopt;
}

// The members check-hash, upload-url and confirm-upload share.
std::optional<FakeReply> requireUploadKeys(const QJsonObject &body, const QString &idKey)
{
    for (const QString &key : {idKey, QStringLiteral("filename"), QStringLiteral("mime_type")})
        if (auto refused = requireString(body, key))
            return refused;
    if (auto refused = requireInteger(body, QStringLiteral("file_size")))
        return refused;
    for (const QString &key : {QStringLiteral("folder_type"), QStringLiteral("drive_path"),
                               QStringLiteral("sync_folder_uuid"), QStringLiteral("base_commit_sha"),
                               QStringLiteral("file_uuid"), QStringLiteral("device_id"),
                               QStringLiteral("bucket_namespace"), QStringLiteral("bucket_id")})
        if (auto refused = requireString(body, key, true))
            return refused;
    if (body.contains(QStringLiteral("folder_type")) && !isFolderType(body.value(QStringLiteral("folder_type")).toString()))
        return badRequest(QStringLiteral("Unknown folder_type"));
    return std::nullopt;
}

std::optional<QString> optionalText(const QJsonObject &body, const QString &key)
{
    if (!body.contains(key))
        return std::nullopt;
    return body.value(key).toString();
}

// Where a file lands: the same folder kind (any, for the plan mirror, which sends none), the
// same sync folder, drive path and name.
bool samePlace(const FakeLibraryFile &file, const QJsonObject &body)
{
    const auto folderType = optionalText(body, QStringLiteral("folder_type"));
    return file.filename == body.value(QStringLiteral("filename")).toString()
           && (!folderType || file.folderType == *folderType)
           && file.drivePath == optionalText(body, QStringLiteral("drive_path"))
           && file.syncFolderUUID == optionalText(body, QStringLiteral("sync_folder_uuid"));
}

QString presignedURLLocked(const FakeServiceState &state, const QString &oid)
{
    return state.baseURL + QString::fromStdString(kObjectPrefix) + oid + QStringLiteral("?signature=fake");
}

template<typename Handler>
FakeReply authorisedJson(FakeServiceState &state, const FakeRequest &request, Handler handler)
{
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    auto body = jsonObjectBody(request);
    if (auto *refused = std::get_if<FakeReply>(&body))
        return *refused;
    return handler(std::get<qint64>(who), std::get<QJsonObject>(body));
}

FakeReply checkHash(FakeServiceState &state, const FakeRequest &request)
{
    return authorisedJson(state, request, [&](qint64 accountId, const QJsonObject &body) {
        if (auto refused = requireUploadKeys(body, QStringLiteral("content_sha256")))
            return *refused;
        const QString sha = body.value(QStringLiteral("content_sha256")).toString();
        if (!isLowerHexSha(sha))
            return badRequest(QStringLiteral("content_sha256 must be 64 lower-case hexadecimal digits"));
        bool known = false;
        for (const auto &[id, file] : state.files) {
            if (file.accountId != accountId || file.checksum != sha)
                continue;
            if (samePlace(file, body))
                return FakeReply::json(200, QJsonObject{{QStringLiteral("status"), QStringLiteral("deduplicated")},
                                                        {QStringLiteral("file_id"), id}});
            known = true;
        }
        const QString oid = oidFor(sha);
        state.uploads.issuedOids[oid] = sha;
        QJsonObject reply{{QStringLiteral("oid"), oid},
                          {QStringLiteral("bucket_namespace"), QStringLiteral("fake-namespace")},
                          {QStringLiteral("bucket_id"), QStringLiteral("bucket-%1").arg(accountId)}};
        if (known) {
            reply.insert(QStringLiteral("status"), QStringLiteral("known_content"));
        } else {
            reply.insert(QStringLiteral("status"), QStringLiteral("upload_required"));
            if (state.uploads.presignInVerdict)
                reply.insert(QStringLiteral("presigned_upload_url"), presignedURLLocked(state, oid));
        }
        return FakeReply::json(200, reply);
    });
}

FakeReply uploadURL(FakeServiceState &state, const FakeRequest &request)
{
    return authorisedJson(state, request, [&](qint64, const QJsonObject &body) {
        if (auto refused = requireUploadKeys(body, QStringLiteral("content_sha256")))
            return *refused;
        const QString oid = body.value(QStringLiteral("content_sha256")).toString();
        if (!state.uploads.issuedOids.contains(oid))
            return FakeReply::failure(404, QStringLiteral("Unknown object"), QStringLiteral("unknown_oid"));
        const QString url = state.uploads.presignFromUploadURL ? presignedURLLocked(state, oid) : QString();
        return FakeReply::json(200, QJsonObject{{QStringLiteral("presigned_url"), url},
                                                {QStringLiteral("expires_at"),
                                                 fakeDateText(QDateTime::currentDateTimeUtc().addSecs(3600))}});
    });
}

// A presigned URL carries its authority in the query: a request that also sends the
// service's own headers is refused, as storage would.
FakeReply putObject(FakeServiceState &state, const FakeRequest &request)
{
    if (request.header("Authorization") || request.header("X-Shard-Id"))
        return FakeReply::failure(400, QStringLiteral("Presigned requests take no Authorization or X-Shard-Id"));
    std::lock_guard lock(state.mutex);
    const QString oid = QString::fromStdString(request.captures.at(0));
    if (!state.uploads.issuedOids.contains(oid))
        return FakeReply::failure(404, QStringLiteral("Unknown object"));
    state.uploads.objects[oid] = QByteArray::fromStdString(request.body);
    FakeReply reply = FakeReply::noContent();
    reply.status = 200;
    reply.headers.emplace_back("ETag", fakeETag(sha256Hex(state.uploads.objects[oid])));
    return reply;
}

// The form body must be exactly: the oid part, the file part with its escaped name and
// "application/octet-stream", the bytes, and the closing boundary, with CR LF throughout.
std::variant<FakeFormUpload, std::string> parseFormBody(const FakeRequest &request, QByteArray &bytes)
{
    const std::string contentType = request.header("Content-Type").value_or("");
    const std::string typePrefix = "multipart/form-data; boundary=";
    if (contentType.rfind(typePrefix, 0) != 0)
        return std::string("Content-Type must be multipart/form-data with a boundary");
    FakeFormUpload upload;
    upload.boundary = contentType.substr(typePrefix.size());
    static const QRegularExpression upperUuid(
        QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
    if (!upperUuid.match(QString::fromStdString(upload.boundary)).hasMatch())
        return std::string("the boundary must be an upper-case UUID");

    const std::string &body = request.body;
    const std::string marker = "--" + upload.boundary;
    const std::string oidHead = marker + "\r\nContent-Disposition: form-data; name=\"oid\"\r\n\r\n";
    if (body.rfind(oidHead, 0) != 0)
        return std::string("the body must open with the oid part");
    size_t at = oidHead.size();
    const size_t oidEnd = body.find("\r\n", at);
    if (oidEnd == std::string::npos)
        return std::string("the oid part is not closed");
    upload.oid = body.substr(at, oidEnd - at);
    at = oidEnd + 2;
    const std::string fileHead = marker + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"";
    if (body.compare(at, fileHead.size(), fileHead) != 0)
        return std::string("the file part must follow the oid part");
    at += fileHead.size();
    const size_t nameEnd = body.find('"', at);
    if (nameEnd == std::string::npos)
        return std::string("the file name is not closed");
    upload.fileNameAsSent = body.substr(at, nameEnd - at);
    if (upload.fileNameAsSent.find_first_of("\r\n") != std::string::npos)
        return std::string("the file name breaks its header line");
    at = nameEnd + 1;
    const std::string typeHead = "\r\nContent-Type: application/octet-stream\r\n\r\n";
    if (body.compare(at, typeHead.size(), typeHead) != 0)
        return std::string("the file part header must end with its content type and a blank line");
    at += typeHead.size();
    const std::string tail = "\r\n" + marker + "--\r\n";
    if (body.size() < at + tail.size() || body.compare(body.size() - tail.size(), tail.size(), tail) != 0)
        return std::string("the body must end with the closing boundary");
    bytes = QByteArray(body.data() + at, qsizetype(body.size() - at - tail.size()));
    upload.size = bytes.size();
    return upload;
}

FakeReply uploadBlob(FakeServiceState &state, const FakeRequest &request)
{
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    QByteArray bytes;
    auto parsed = parseFormBody(request, bytes);
    if (auto *reason = std::get_if<std::string>(&parsed))
        return FakeReply::failure(400, QString::fromStdString(*reason), QString::fromStdString(*reason));
    auto &upload = std::get<FakeFormUpload>(parsed);
    const QString oid = QString::fromStdString(upload.oid);
    if (!state.uploads.issuedOids.contains(oid))
        return FakeReply::failure(404, QStringLiteral("Unknown object"), QStringLiteral("unknown_oid"));
    state.uploads.objects[oid] = bytes;
    state.uploads.formUploads.push_back(std::move(upload));
    return FakeReply::json(200, QJsonObject{{QStringLiteral("oid"), oid}});
}

FakeReply confirmUpload(FakeServiceState &state, const FakeRequest &request)
{
    return authorisedJson(state, request, [&](qint64 accountId, const QJsonObject &body) {
        if (auto refused = requireUploadKeys(body, QStringLiteral("oid")))
            return *refused;
        // A sync client always names the file it confirms (a new UUID for a new record).
        if (auto refused = requireString(body, QStringLiteral("file_uuid")))
            return *refused;
        const QString oid = body.value(QStringLiteral("oid")).toString();
        const auto issued = state.uploads.issuedOids.find(oid);
        if (issued == state.uploads.issuedOids.end())
            return FakeReply::failure(404, QStringLiteral("Unknown object"), QStringLiteral("unknown_oid"));
        const QString sha = issued->second;
        // The bytes: a received object, else the account's known content of that hash.
        std::optional<QByteArray> content;
        if (const auto object = state.uploads.objects.find(oid); object != state.uploads.objects.end()) {
            content = object->second;
        } else if (const auto stored = state.transfers.objects.find(oid); stored != state.transfers.objects.end()) {
            content = stored->second.content(); // a completed multipart upload
        } else {
            for (const auto &[id, file] : state.files)
                if (file.accountId == accountId && file.checksum == sha)
                    content = file.content;
        }
        if (!content)
            return FakeReply::failure(409, QStringLiteral("No bytes were uploaded for this object"), QStringLiteral("missing_object"));
        if (sha256Hex(*content) != sha)
            return FakeReply::failure(422, QStringLiteral("The uploaded bytes do not match their hash"), QStringLiteral("hash_mismatch"));
        if (content->size() != body.value(QStringLiteral("file_size")).toInteger())
            return FakeReply::failure(422, QStringLiteral("file_size does not match the object"), QStringLiteral("size_mismatch"));

        const QString commit = QString::fromLatin1(
            QCryptographicHash::hash(QStringLiteral("%1:%2").arg(oid).arg(state.uploads.nextCommitNumber++).toUtf8(),
                                     QCryptographicHash::Sha1).toHex());
        QJsonObject reply{{QStringLiteral("commit_sha"), commit}, {QStringLiteral("status"), QStringLiteral("ok")}};
        const auto baseCommit = optionalText(body, QStringLiteral("base_commit_sha"));
        for (auto &[id, file] : state.files) {
            if (file.accountId != accountId || !samePlace(file, body))
                continue;
            const QString before = state.uploads.commits[id];
            if (baseCommit && *baseCommit != before) {
                reply.insert(QStringLiteral("status"), QStringLiteral("ok_with_conflict"));
                reply.insert(QStringLiteral("conflict"),
                             QJsonObject{{QStringLiteral("id"), state.uploads.nextConflictId++},
                                         {QStringLiteral("type"), QStringLiteral("true_conflict")},
                                         {QStringLiteral("common_ancestor"), *baseCommit},
                                         {QStringLiteral("server_commit_before"), before},
                                         {QStringLiteral("server_oid"), oidFor(file.checksum)},
                                         {QStringLiteral("incoming_oid"), oid},
                                         {QStringLiteral("message"), QStringLiteral("The file changed on another device")}});
            }
            file.content = *content;
            file.fileSize = content->size();
            file.checksum = sha;
            file.mimeType = body.value(QStringLiteral("mime_type")).toString();
            file.updatedAt = QDateTime::currentDateTimeUtc();
            state.recordChangeLocked(QStringLiteral("updated"), file);
            state.uploads.commits[id] = commit;
            reply.insert(QStringLiteral("file_id"), id);
            return FakeReply::json(200, reply);
        }
        FakeLibraryFile file;
        file.accountId = accountId;
        file.filename = body.value(QStringLiteral("filename")).toString();
        file.mimeType = body.value(QStringLiteral("mime_type")).toString();
        file.folderType = optionalText(body, QStringLiteral("folder_type")).value_or(QStringLiteral("unorganised"));
        file.drivePath = optionalText(body, QStringLiteral("drive_path"));
        file.syncFolderUUID = optionalText(body, QStringLiteral("sync_folder_uuid"));
        file.content = *content;
        const qint64 id = state.addFileLocked(std::move(file));
        state.uploads.commits[id] = commit;
        reply.insert(QStringLiteral("file_id"), id);
        return FakeReply::json(201, reply);
    });
}

} // namespace

void addUploadRoutes(FakeRouter &router, FakeServiceState &state)
{
    router.add("POST", "/api/v1/files/check-hash", [&state](const FakeRequest &r) { return checkHash(state, r); });
    router.add("POST", "/api/v1/files/upload-url", [&state](const FakeRequest &r) { return uploadURL(state, r); });
    router.add("POST", "/api/v1/files/upload-blob", [&state](const FakeRequest &r) { return uploadBlob(state, r); });
    router.add("POST", "/api/v1/files/confirm-upload", [&state](const FakeRequest &r) { return confirmUpload(state, r); });
    router.add("PUT", kObjectPrefix + "([A-Za-z0-9-]+)", [&state](const FakeRequest &r) { return putObject(state, r); });
}

FakeReply storeSingleUploadObject(FakeServiceState &state, const FakeRequest &request)
{
    return putObject(state, request);
}

} // namespace quillmere::test
