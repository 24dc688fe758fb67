#include "ServiceAPI/LibraryAPIClient.h"

#include "Platform/Http/Json.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <utility>

namespace quillmere {

namespace {

// GCC 12 destroys a temporary created inside a co_await expression twice; every awaited task
// here is a named local, awaited with std::move.

const QString kBatchCheckHashPath = QStringLiteral("/api/v1/files/batch-check-hash");
const QString kBatchDedupConfirmPath = QStringLiteral("/api/v1/files/batch-dedup-confirm");
const QString kDAWLivenessPath = QStringLiteral("/api/v1/daw-liveness");

HarborlyAPIError refused(int status, const QByteArray &body, bool readError, const QString &fallback)
{
    QJsonObject object;
    try {
        object = json::parseObject(body);
    } catch (const json::JsonError &) {
        // A refusal whose body is no JSON object is told by the fixed text.
    }
    if (auto message = json::optionalString(object, QStringLiteral("message")))
        return HarborlyAPIError::serverError(status, *message);
    if (readError) {
        if (auto error = json::optionalString(object, QStringLiteral("error")))
            return HarborlyAPIError::serverError(status, *error);
    }
    return HarborlyAPIError::serverError(status, fallback);
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

QSet<QString> stringsOf(const QJsonObject &object, const QString &key)
{
    QSet<QString> strings;
    if (const auto array = json::optionalArray(object, key)) {
        for (const auto &value : *array) {
            if (value.isString())
                strings.insert(value.toString());
        }
    }
    return strings;
}

// "sync_folder_uuid" and "folder_type" (left out for the plan mirror, which has no word).
QJsonObject batchBody(const QString &syncFolderID, SyncFolderType folderKind)
{
    QJsonObject body{{QStringLiteral("sync_folder_uuid"), syncFolderID}};
    if (const auto folderType = LibraryAPIClient::folderTypeText(folderKind))
        body.insert(QStringLiteral("folder_type"), *folderType);
    return body;
}

QJsonObject hashEntryJson(const LibraryAPIClient::BatchHashEntry &entry)
{
    return QJsonObject{{QStringLiteral("filename"), entry.filename},
                       {QStringLiteral("drive_path"), entry.drivePath},
                       {QStringLiteral("content_sha256"), entry.sha256},
                       {QStringLiteral("file_size"), entry.fileSize}};
}

QJsonObject dedupEntryJson(const LibraryAPIClient::BatchDedupConfirmEntry &entry)
{
    QJsonObject object{{QStringLiteral("content_sha256"), entry.contentSHA256},
                       {QStringLiteral("filename"), entry.filename},
                       {QStringLiteral("file_size"), entry.fileSize},
                       {QStringLiteral("mime_type"), entry.mimeType}};
    if (entry.drivePath)
        object.insert(QStringLiteral("drive_path"), *entry.drivePath);
    if (entry.fileUuid)
        object.insert(QStringLiteral("file_uuid"), *entry.fileUuid);
    if (entry.audioDurationSeconds && entry.audioSampleRate)
        object.insert(QStringLiteral("audio_analysis"),
                      QJsonObject{{QStringLiteral("duration_seconds"), *entry.audioDurationSeconds},
                                  {QStringLiteral("sample_rate"), *entry.audioSampleRate}});
    return object;
}

QCoro::Task<LibraryAPIClient::BatchHashCheckResult> checkOneBatch(std::shared_ptr<HarborlyAPI> api,
                                                                  QString syncFolderID, SyncFolderType folderKind,
                                                                  QList<LibraryAPIClient::BatchHashEntry> entries,
                                                                  std::stop_token stop)
{
    auto making = api->makeRequest(kBatchCheckHashPath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    QJsonArray files;
    for (const auto &entry : entries)
        files.append(hashEntryJson(entry));
    QJsonObject body = batchBody(syncFolderID, folderKind);
    body.insert(QStringLiteral("files"), files);
    request.setJsonBody(body);
    auto reader = [](const HttpResponse &reply) {
        return LibraryAPIClient::parseBatchHashCheckResponse(reply.status, reply.body);
    };
    auto sending = api->send(std::move(request), std::move(reader), stop);
    co_return co_await std::move(sending);
}

QCoro::Task<LibraryAPIClient::BatchDedupConfirmResult>
confirmOneBatch(std::shared_ptr<HarborlyAPI> api, QString syncFolderID, SyncFolderType folderKind,
                QList<LibraryAPIClient::BatchDedupConfirmEntry> entries, std::optional<QString> deviceID,
                std::optional<qint64> planID, std::stop_token stop)
{
    auto making = api->makeRequest(kBatchDedupConfirmPath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    QJsonArray files;
    for (const auto &entry : entries)
        files.append(dedupEntryJson(entry));
    QJsonObject body = batchBody(syncFolderID, folderKind);
    body.insert(QStringLiteral("pre_verified"), true);
    body.insert(QStringLiteral("files"), files);
    if (deviceID)
        body.insert(QStringLiteral("device_id"), *deviceID);
    if (planID)
        body.insert(QStringLiteral("plan_id"), *planID);
    request.setJsonBody(body);
    auto reader = [](const HttpResponse &reply) {
        return LibraryAPIClient::parseBatchDedupConfirmResponse(reply.status, reply.body);
    };
    auto sending = api->send(std::move(request), std::move(reader), stop);
    co_return co_await std::move(sending);
}

} // namespace

// The lane decides how many files go into one batch: the entries are sent as one request,
// however many there are.
QCoro::Task<LibraryAPIClient::BatchHashCheckResult>
LibraryAPIClient::doCheckHashBatch(QString syncFolderID, SyncFolderType folderKind, QList<BatchHashEntry> entries,
                                   std::stop_token stop)
{
    return checkOneBatch(m_api, std::move(syncFolderID), folderKind, std::move(entries), std::move(stop));
}

QCoro::Task<LibraryAPIClient::BatchDedupConfirmResult>
LibraryAPIClient::doDedupConfirmBatch(QString syncFolderID, SyncFolderType folderKind,
                                      QList<BatchDedupConfirmEntry> entries, std::optional<QString> deviceID,
                                      std::optional<qint64> planID, std::stop_token stop)
{
    return confirmOneBatch(m_api, std::move(syncFolderID), folderKind, std::move(entries), std::move(deviceID), planID,
                           std::move(stop));
}

QCoro::Task<LibraryAPIClient::DAWLivenessReply>
LibraryAPIClient::reportDAWLiveness(QString deviceID, QString sourceKey, std::optional<QString> dawName,
                                    QString deviceName, std::stop_token stop)
{
    const auto api = m_api;
    auto making = api->makeRequest(kDAWLivenessPath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    QJsonObject body{{QStringLiteral("device_id"), deviceID},
                     {QStringLiteral("source_key"), sourceKey},
                     {QStringLiteral("daw_open"), true},
                     {QStringLiteral("active"), true},
                     {QStringLiteral("device_name"), deviceName}};
    if (dawName)
        body.insert(QStringLiteral("daw_name"), *dawName);
    request.setJsonBody(body);
    auto reader = [](const HttpResponse &reply) {
        return LibraryAPIClient::parseDAWLivenessResponse(reply.status, reply.body);
    };
    auto sending = api->send(std::move(request), std::move(reader), stop);
    co_return co_await std::move(sending);
}

LibraryAPIClient::BatchHashCheckResult LibraryAPIClient::parseBatchHashCheckResponse(int status,
                                                                                     const QByteArray &body)
{
    if (status != 200)
        throw refused(status, body, false, QStringLiteral("Batch hash check failed"));
    const QJsonObject object = json::parseObject(body);
    const QJsonObject results = json::optionalObject(object, QStringLiteral("results")).value_or(QJsonObject());
    BatchHashCheckResult result;
    result.synced = stringsOf(results, QStringLiteral("synced"));
    result.unknown = stringsOf(results, QStringLiteral("unknown"));
    for (const QJsonObject &entry : objectsOf(results, QStringLiteral("deduplicated"))) {
        const auto hash = json::optionalString(entry, QStringLiteral("content_sha256"));
        const auto fileId = json::optionalInteger(entry, QStringLiteral("file_id"));
        if (hash && fileId)
            result.deduplicated.append(DeduplicatedContent{*hash, *fileId});
    }
    for (const QJsonObject &entry : objectsOf(results, QStringLiteral("upload_required"))) {
        const auto hash = json::optionalString(entry, QStringLiteral("content_sha256"));
        const auto oid = json::optionalString(entry, QStringLiteral("oid"));
        if (hash && oid)
            result.uploadRequired.append(
                UploadRequiredContent{*hash, *oid, json::optionalString(entry, QStringLiteral("presigned_upload_url"))});
    }
    result.cursor = json::optionalString(object, QStringLiteral("cursor"));
    return result;
}

LibraryAPIClient::BatchDedupConfirmResult LibraryAPIClient::parseBatchDedupConfirmResponse(int status,
                                                                                           const QByteArray &body)
{
    if (status != 200)
        throw refused(status, body, true, QStringLiteral("Batch dedup-confirm failed"));
    const QJsonObject object = json::parseObject(body);
    BatchDedupConfirmResult result;
    for (const QJsonObject &entry : objectsOf(object, QStringLiteral("confirmed"))) {
        const auto hash = json::optionalString(entry, QStringLiteral("content_sha256"));
        const auto fileId = json::optionalInteger(entry, QStringLiteral("file_id"));
        const auto commit = json::optionalString(entry, QStringLiteral("commit_sha"));
        if (!hash || !fileId || !commit)
            continue;
        result.confirmed.append(BatchDedupConfirmed{*hash, json::optionalString(entry, QStringLiteral("drive_path")),
                                                    json::optionalString(entry, QStringLiteral("filename")), *fileId,
                                                    *commit});
    }
    for (const QJsonObject &entry : objectsOf(object, QStringLiteral("failed"))) {
        const auto hash = json::optionalString(entry, QStringLiteral("content_sha256"));
        if (!hash)
            continue;
        result.failed.append(BatchDedupFailure{
            *hash, json::optionalString(entry, QStringLiteral("drive_path")),
            json::optionalString(entry, QStringLiteral("reason")).value_or(QStringLiteral("Unknown reason"))});
    }
    return result;
}

} // namespace quillmere
