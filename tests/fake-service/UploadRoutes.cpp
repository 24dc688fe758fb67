#include "fake-service/FakeJson.h"
#include "fake-service/FakeRoutes.h"

#include <QCryptographicHash>
#include <QRegularExpression>

#include <algorithm>

namespace quillmere::test {

namespace {

const std::string kObjectPrefix = "/storage/objects/";

// The fake's object id for a content hash: different from the hash, so a client that sends
// its own checksum where the verdict's oid belongs is caught.
QString oidFor(const QString &sha)
{
    return QStringLiteral("obj-") + sha.left(32);
}

bool isLowerHexSha(const QString &text)
{
    return text.size() == 64
           && std::all_of(text.begin(), text.end(), [](QChar c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'); });
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

// The account's first file (by id) at the place the body names, from the place index.
const FakeLibraryFile *fileAtPlaceLocked(const FakeServiceState &state, qint64 accountId, const QJsonObject &body)
{
    const auto &ids = state.files.at(accountId, body.value(QStringLiteral("filename")).toString(),
                                     optionalText(body, QStringLiteral("drive_path")),
                                     optionalText(body, QStringLiteral("sync_folder_uuid")));
    for (const qint64 id : ids) {
        const FakeLibraryFile &file = state.files.find(id)->second;
        if (samePlace(file, body))
            return &file;
    }
    return nullptr;
}

QString presignedURLLocked(const FakeServiceState &state, const QString &oid)
{
    return state.baseURL + QString::fromStdString(kObjectPrefix) + oid + QStringLiteral("?signature=fake");
}

template<typename Handler>
FakeReply authorisedJson(FakeServiceState &state, const FakeRequest &request, Handler handler)
{
    // Parsed before the lock is taken; a refusal of the token still comes first.
    auto body = jsonObjectBody(request);
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
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
        const auto &holding = state.files.withChecksum(accountId, sha);
        for (const qint64 id : holding) {
            if (samePlace(state.files.find(id)->second, body))
                return FakeReply::json(200, QJsonObject{{QStringLiteral("status"), QStringLiteral("deduplicated")},
                                                        {QStringLiteral("file_id"), id}});
        }
        const bool known = !holding.empty();
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
// service's own headers is refused, as storage would. The body was hashed as it arrived.
FakeReply storeObject(FakeServiceState &state, const FakeRequest &request, const QString &oid, FakeReceivedBody body)
{
    if (request.header("Authorization") || request.header("X-Shard-Id"))
        return FakeReply::failure(400, QStringLiteral("Presigned requests take no Authorization or X-Shard-Id"));
    const std::string etag = fakeETag(body.sha256);
    std::lock_guard lock(state.mutex);
    if (!state.uploads.issuedOids.contains(oid))
        return FakeReply::failure(404, QStringLiteral("Unknown object"));
    state.uploads.objects[oid] = std::move(body);
    FakeReply reply = FakeReply::noContent();
    reply.status = 200;
    reply.headers.emplace_back("ETag", etag);
    return reply;
}

FakeReply putObject(FakeServiceState &state, const FakeRequest &request)
{
    return storeObject(state, request, QString::fromStdString(request.captures.at(0)),
                       FakeReceivedBody::of(QByteArray::fromStdString(request.body)));
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
    // Parsed and hashed before the lock is taken; a refusal of the token still comes first.
    QByteArray bytes;
    auto parsed = parseFormBody(request, bytes);
    const FakeReceivedBody body = FakeReceivedBody::of(bytes);
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    if (auto *reason = std::get_if<std::string>(&parsed))
        return FakeReply::failure(400, QString::fromStdString(*reason), QString::fromStdString(*reason));
    auto &upload = std::get<FakeFormUpload>(parsed);
    const QString oid = QString::fromStdString(upload.oid);
    if (!state.uploads.issuedOids.contains(oid))
        return FakeReply::failure(404, QStringLiteral("Unknown object"), QStringLiteral("unknown_oid"));
    state.uploads.objects[oid] = body;
    state.uploads.formUploads.push_back(std::move(upload));
    return FakeReply::json(200, QJsonObject{{QStringLiteral("oid"), oid}});
}

// The bytes a confirmation names, as the fake holds them: shared, never copied.
struct HeldContent
{
    std::vector<FakeReceivedBody> pieces;
    qint64 size = 0;
    QString sha256; // empty until worked out
    bool dropped = false;
};

// Checked under the lock: the account, the body and the oid; then the bytes the oid stands
// for: a received object, a completed multipart upload, else the account's content of that
// hash. The reply when refused.
std::variant<HeldContent, FakeReply> findContentLocked(FakeServiceState &state, qint64 accountId,
                                                       const QJsonObject &body, QString &sha)
{
    if (auto refused = requireUploadKeys(body, QStringLiteral("oid")))
        return *refused;
    // A sync client always names the file it confirms (a new UUID for a new record).
    if (auto refused = requireString(body, QStringLiteral("file_uuid")))
        return *refused;
    const QString oid = body.value(QStringLiteral("oid")).toString();
    const auto issued = state.uploads.issuedOids.find(oid);
    if (issued == state.uploads.issuedOids.end())
        return FakeReply::failure(404, QStringLiteral("Unknown object"), QStringLiteral("unknown_oid"));
    sha = issued->second;
    HeldContent held;
    if (const auto object = state.uploads.objects.find(oid); object != state.uploads.objects.end()) {
        held.pieces = {object->second};
        held.sha256 = object->second.sha256;
    } else if (const auto stored = state.transfers.objects.find(oid); stored != state.transfers.objects.end()) {
        held.pieces = stored->second.pieces; // a completed multipart upload
        held.sha256 = stored->second.sha256;
    } else if (const auto &holding = state.files.withChecksum(accountId, sha); !holding.empty()) {
        // The checksum a seeded file carries may not be that of its bytes: hashed anew.
        const FakeLibraryFile &file = state.files.find(*holding.rbegin())->second;
        if (!file.received.empty())
            held.pieces = file.received;
        else
            held.pieces = {FakeReceivedBody{file.content.size(), QString(), file.content, nullptr}};
    } else {
        return FakeReply::failure(409, QStringLiteral("No bytes were uploaded for this object"), QStringLiteral("missing_object"));
    }
    for (const FakeReceivedBody &piece : held.pieces) {
        held.size += piece.size;
        held.dropped = held.dropped || piece.dropped;
    }
    return held;
}

// In two steps under the lock, with the hashing (when the bytes' hash is not known yet)
// between them: the bytes of an issued oid never change.
FakeReply confirmUpload(FakeServiceState &state, const FakeRequest &request)
{
    QString sha;
    qint64 accountId = 0;
    QJsonObject body;
    std::optional<HeldContent> held;
    const FakeReply refused = authorisedJson(state, request, [&](qint64 account, const QJsonObject &object) {
        auto found = findContentLocked(state, account, object, sha);
        if (auto *reply = std::get_if<FakeReply>(&found))
            return *reply;
        accountId = account;
        body = object;
        held = std::move(std::get<HeldContent>(found));
        return FakeReply();
    });
    if (!held)
        return refused;
    if (held->sha256.isEmpty() && !held->dropped) {
        FakeSha256 hash;
        for (const FakeReceivedBody &piece : held->pieces)
            piece.forEachBlock([&hash](const char *data, qsizetype length) { hash.add(data, size_t(length)); });
        held->sha256 = hash.finishHex();
    }
    if (held->dropped || held->sha256 != sha)
        return FakeReply::failure(422, QStringLiteral("The uploaded bytes do not match their hash"), QStringLiteral("hash_mismatch"));
    if (held->size != body.value(QStringLiteral("file_size")).toInteger())
        return FakeReply::failure(422, QStringLiteral("file_size does not match the object"), QStringLiteral("size_mismatch"));

    const QString oid = body.value(QStringLiteral("oid")).toString();
    // Bytes that fit in memory are held as one array, shared; others stay as received.
    const auto fill = [&held, &sha](FakeLibraryFile &file) {
        file.content = QByteArray();
        file.received.clear();
        if (held->pieces.size() == 1 && !held->pieces.front().spilled)
            file.content = held->pieces.front().content;
        else
            file.received = held->pieces;
        file.fileSize = held->size;
        file.checksum = sha;
    };

    std::lock_guard lock(state.mutex);
    const QString commit = QString::fromLatin1(
        QCryptographicHash::hash(QStringLiteral("%1:%2").arg(oid).arg(state.uploads.nextCommitNumber++).toUtf8(),
                                 QCryptographicHash::Sha1).toHex());
    QJsonObject reply{{QStringLiteral("commit_sha"), commit}, {QStringLiteral("status"), QStringLiteral("ok")}};
    const auto baseCommit = optionalText(body, QStringLiteral("base_commit_sha"));
    if (const FakeLibraryFile *existing = fileAtPlaceLocked(state, accountId, body)) {
        FakeLibraryFile file = *existing;
        const qint64 id = file.id;
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
        fill(file);
        file.mimeType = body.value(QStringLiteral("mime_type")).toString();
        file.updatedAt = QDateTime::currentDateTimeUtc();
        state.files.put(file);
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
    fill(file);
    const qint64 id = state.addFileLocked(std::move(file));
    state.uploads.commits[id] = commit;
    reply.insert(QStringLiteral("file_id"), id);
    return FakeReply::json(201, reply);
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

FakeReply storeSingleUploadObject(FakeServiceState &state, const FakeRequest &request, const QString &oid,
                                  FakeReceivedBody body)
{
    return storeObject(state, request, oid, std::move(body));
}

} // namespace quillmere::test
