#include "ServiceAPI/LibraryAPIClient.h"

#include "Platform/Async/Clock.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Http/Json.h"
#include "Platform/Http/TextDecoding.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <utility>

namespace quillmere {

namespace {

// GCC 12 destroys a temporary created inside a co_await expression twice; every awaited task
// here is a named local, awaited with std::move.

const QString kLibraryPath = QStringLiteral("/api/v1/files/library");
const QString kChangesPath = QStringLiteral("/api/v1/files/library/changes");
const QString kSyncFoldersPath = QStringLiteral("/api/v1/sync-folders");
const QString kResetFolderPath = QStringLiteral("/api/v1/files/reset-folder");
const QString kStoragePath = QStringLiteral("/api/v1/storage");
const QString kAccountPath = QStringLiteral("/api/v1/account");
const QString kPlansPath = QStringLiteral("/api/v1/plans");

bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

// The refusal texts. Each endpoint takes its message from the reply by its own rule.

// The whole body as UTF-8 text (an empty body gives an empty message).
HarborlyAPIError refusedWithBodyText(int status, const QByteArray &body, const QString &fallback)
{
    return HarborlyAPIError::serverError(status, decodeUtf8(body).value_or(fallback));
}

// The JSON object's "message" (and, when asked, its "error") when it is a string.
HarborlyAPIError refusedWithMember(int status, const QByteArray &body, bool readError, const QString &fallback)
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

// The objects of an array member, in order. A missing member or one of another type reads as
// empty; an entry that is not an object is dropped like any other malformed entry, so one bad
// entry never hides the good ones (the change feed moves its cursor past whatever it returns).
QList<QJsonObject> objectsOf(const QJsonArray &array)
{
    QList<QJsonObject> objects;
    objects.reserve(array.size());
    for (const auto &value : array) {
        if (value.isObject())
            objects.append(value.toObject());
    }
    return objects;
}

QList<QJsonObject> objectsOf(const QJsonObject &object, const QString &key)
{
    const auto array = json::optionalArray(object, key);
    return array ? objectsOf(*array) : QList<QJsonObject>();
}

// Values many entries of one reply repeat (a content type, a category, a folder, the action):
// kept once and shared, not once per entry (a listing or a first catch-up names every file).
class SharedTexts
{
public:
    std::optional<QString> take(std::optional<QString> text)
    {
        if (!text)
            return text;
        const auto found = m_texts.constFind(*text);
        if (found != m_texts.cend())
            return *found;
        m_texts.insert(*text);
        return text;
    }

private:
    QSet<QString> m_texts;
};

std::optional<LibraryAPIClient::RemoteFile> readRemoteFile(const QJsonObject &object, SharedTexts &shared)
{
    const auto id = json::optionalInteger(object, QStringLiteral("id"));
    const auto filename = json::optionalString(object, QStringLiteral("filename"));
    if (!id || !filename)
        return std::nullopt;
    LibraryAPIClient::RemoteFile file;
    file.id = *id;
    file.filename = *filename;
    file.mimeType = shared.take(json::optionalString(object, QStringLiteral("mime_type"))).value_or(QString());
    file.fileSize = json::optionalInteger(object, QStringLiteral("file_size")).value_or(0);
    file.fileChecksum = json::optionalString(object, QStringLiteral("file_checksum"));
    file.fileCategory = shared.take(json::optionalString(object, QStringLiteral("file_category")));
    file.drivePath = shared.take(json::optionalString(object, QStringLiteral("drive_path")));
    file.userPlanId = json::optionalInteger(object, QStringLiteral("user_plan_id"));
    file.createdAt = json::optionalDate(object, QStringLiteral("created_at"));
    file.updatedAt = json::optionalDate(object, QStringLiteral("updated_at"));
    return file;
}

std::optional<LibraryAPIClient::DeltaChange> readDeltaChange(const QJsonObject &object, SharedTexts &shared)
{
    const auto id = json::optionalInteger(object, QStringLiteral("id"));
    if (!id)
        return std::nullopt;
    LibraryAPIClient::DeltaChange change;
    change.id = *id;
    change.filename = json::optionalString(object, QStringLiteral("filename")).value_or(QString());
    change.mimeType = shared.take(json::optionalString(object, QStringLiteral("mime_type")));
    change.fileSize = json::optionalInteger(object, QStringLiteral("file_size"));
    change.fileChecksum = json::optionalString(object, QStringLiteral("file_checksum"));
    change.fileCategory = shared.take(json::optionalString(object, QStringLiteral("file_category")));
    change.drivePath = shared.take(json::optionalString(object, QStringLiteral("drive_path")));
    change.userPlanId = json::optionalInteger(object, QStringLiteral("user_plan_id"));
    change.action = shared.take(json::optionalString(object, QStringLiteral("action"))).value_or(QStringLiteral("created"));
    change.createdAt = json::optionalDate(object, QStringLiteral("created_at"));
    change.updatedAt = json::optionalDate(object, QStringLiteral("updated_at"));
    change.deletedAt = json::optionalDate(object, QStringLiteral("deleted_at"));
    return change;
}

std::optional<LibraryAPIClient::RemoteSyncFolder> readSyncFolder(const QJsonObject &object)
{
    const auto uuid = json::optionalString(object, QStringLiteral("uuid"));
    const auto name = json::optionalString(object, QStringLiteral("name"));
    const auto folderType = json::optionalString(object, QStringLiteral("folder_type"));
    const auto direction = json::optionalString(object, QStringLiteral("direction"));
    if (!uuid || !name || !folderType || !direction)
        return std::nullopt;
    return LibraryAPIClient::RemoteSyncFolder{*uuid, *name, *folderType, *direction,
                                              json::optionalInteger(object, QStringLiteral("sort_order")).value_or(0)};
}

std::optional<LibraryAPIClient::PlanFileSummary> readPlanFile(const QJsonObject &object)
{
    const auto id = json::optionalInteger(object, QStringLiteral("id"));
    const auto filename = json::optionalString(object, QStringLiteral("filename"));
    if (!id || !filename)
        return std::nullopt;
    LibraryAPIClient::PlanFileSummary file;
    file.id = *id;
    file.filename = *filename;
    file.mimeType = json::optionalString(object, QStringLiteral("mime_type"));
    file.fileSize = json::optionalInteger(object, QStringLiteral("file_size"));
    file.fileChecksum = json::optionalString(object, QStringLiteral("file_checksum"));
    file.drivePath = json::optionalString(object, QStringLiteral("drive_path"));
    file.createdAt = json::optionalDate(object, QStringLiteral("created_at"));
    file.updatedAt = json::optionalDate(object, QStringLiteral("updated_at"));
    return file;
}

std::optional<LibraryAPIClient::PlanSummary> readPlan(const QJsonObject &object)
{
    const auto id = json::optionalInteger(object, QStringLiteral("id"));
    const auto name = json::optionalString(object, QStringLiteral("name"));
    if (!id || !name)
        return std::nullopt;
    LibraryAPIClient::PlanSummary plan;
    plan.id = *id;
    plan.name = *name;
    for (const auto &entry : objectsOf(object, QStringLiteral("files"))) {
        if (auto file = readPlanFile(entry))
            plan.files.append(std::move(*file));
    }
    plan.slug = json::optionalString(object, QStringLiteral("slug")).value_or(QString());
    plan.folderName = json::optionalString(object, QStringLiteral("folder_name"))
                          .value_or(QStringLiteral("plan-%1-%2")
                                        .arg(QString::number(plan.id),
                                             plan.slug.isEmpty() ? QStringLiteral("plan") : plan.slug));
    plan.status = json::optionalString(object, QStringLiteral("status")).value_or(QStringLiteral("active"));
    plan.fileCount = json::optionalInteger(object, QStringLiteral("file_count")).value_or(plan.files.size());
    return plan;
}

// The query items of the listing and the change feed, in their fixed order; nullopt when
// there are none, so the request carries no query at all.
std::optional<QList<QueryItem>> folderQuery(QList<QueryItem> items, const std::optional<SyncFolderType> &folderKind,
                                            const std::optional<QString> &syncFolderID)
{
    if (const auto folderType = folderKind ? LibraryAPIClient::folderTypeText(*folderKind) : std::nullopt)
        items.append(QueryItem{QStringLiteral("folder_type"), *folderType});
    if (syncFolderID)
        items.append(QueryItem{QStringLiteral("sync_folder_uuid"), *syncFolderID});
    if (items.isEmpty())
        return std::nullopt;
    return items;
}



} // namespace

LibraryAPIClient::LibraryAPIClient(std::shared_ptr<HarborlyAPI> api)
    : LibraryAPIClient(std::move(api), std::make_shared<Settings>())
{
}

LibraryAPIClient::LibraryAPIClient(std::shared_ptr<HarborlyAPI> api, std::shared_ptr<Settings> settings)
    : m_api(std::move(api)), m_settings(std::move(settings))
{
}

void LibraryAPIClient::setMultipartProgressHandler(MultipartProgressHandler handler)
{
    m_settings->onMultipartProgress = std::move(handler);
}

namespace {

// The transport hands readers the whole reply; the public readers take (status, body).

QList<LibraryAPIClient::RemoteFile> readLibraryReply(const HttpResponse &reply)
{
    return LibraryAPIClient::parseLibraryResponse(reply.status, reply.body);
}

LibraryAPIClient::ChangeFeed readChangesReply(const HttpResponse &reply)
{
    return LibraryAPIClient::parseChangesResponse(reply.status, reply.body);
}

LibraryAPIClient::FeedDeletes readDeletesReply(const HttpResponse &reply)
{
    return LibraryAPIClient::parseDeletesResponse(reply.status, reply.body);
}

QList<LibraryAPIClient::RemoteSyncFolder> readSyncFoldersReply(const HttpResponse &reply)
{
    return LibraryAPIClient::parseSyncFoldersResponse(reply.status, reply.body);
}

void readRegisterSyncFolderReply(const HttpResponse &reply)
{
    LibraryAPIClient::parseRegisterSyncFolderResponse(reply.status, reply.body);
}

void readDeleteReply(const HttpResponse &reply)
{
    LibraryAPIClient::parseDeleteResponse(reply.status, reply.body);
}

qint64 readResetFolderReply(const HttpResponse &reply)
{
    return LibraryAPIClient::parseResetFolderResponse(reply.status, reply.body);
}

LibraryAPIClient::StorageSummary readStorageReply(const HttpResponse &reply)
{
    return LibraryAPIClient::parseStorageResponse(reply.status, reply.body);
}

LibraryAPIClient::AccountProfile readAccountReply(const HttpResponse &reply)
{
    return LibraryAPIClient::parseAccountResponse(reply.status, reply.body);
}

QList<LibraryAPIClient::PlanSummary> readPlansReply(const HttpResponse &reply)
{
    return LibraryAPIClient::parsePlansResponse(reply.status, reply.body);
}

} // namespace

// ---- Operations ----

QCoro::Task<QList<LibraryAPIClient::RemoteFile>>
LibraryAPIClient::doListLibraryFiles(std::optional<SyncFolderType> folderKind, std::optional<QString> syncFolderID,
                                     std::stop_token stop)
{
    const auto api = m_api;
    auto making = api->makeRequest(kLibraryPath, QStringLiteral("GET"), folderQuery({}, folderKind, syncFolderID), stop);
    HttpRequest request = co_await std::move(making);
    auto sending = api->send(std::move(request), &readLibraryReply, stop);
    co_return co_await std::move(sending);
}

QCoro::Task<QList<LibraryAPIClient::RemoteSyncFolder>> LibraryAPIClient::listSyncFolders(std::stop_token stop)
{
    const auto api = m_api;
    auto making = api->makeRequest(kSyncFoldersPath, QStringLiteral("GET"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    auto sending = api->send(std::move(request), &readSyncFoldersReply, stop);
    co_return co_await std::move(sending);
}

QCoro::Task<> LibraryAPIClient::doRegisterSyncFolder(QString uuid, QString name, SyncFolderType folderKind,
                                                     QString direction, std::stop_token stop)
{
    const auto api = m_api;
    auto making = api->makeRequest(kSyncFoldersPath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    QJsonObject body{{QStringLiteral("uuid"), uuid}, {QStringLiteral("name"), name}};
    if (const auto folderType = folderTypeText(folderKind))
        body.insert(QStringLiteral("folder_type"), *folderType);
    body.insert(QStringLiteral("direction"), direction);
    request.setJsonBody(body);
    auto sending = api->send(std::move(request), &readRegisterSyncFolderReply, stop);
    co_await std::move(sending);
}

QCoro::Task<> LibraryAPIClient::doDownloadFile(qint64 fileID, QString destinationPath,
                                               std::optional<qint64> expectedSize,
                                               std::optional<QString> expectedChecksum,
                                               std::optional<JudgedDestination> judged, std::stop_token stop)
{
    const auto api = m_api;
    ExpectedDownload expected;
    expected.size = expectedSize;
    expected.destination = judged;
    if (expectedChecksum)
        expected.sha256 = expectedChecksum->toLatin1();
    auto making = api->makeRequest(kLibraryPath + u'/' + QString::number(fileID), QStringLiteral("GET"),
                                   std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    auto downloading = HttpClient::download(std::move(request), std::move(destinationPath), std::move(expected), stop);
    const HttpResponse response = co_await std::move(downloading);
    parseDownloadResponse(response.status);
}

QCoro::Task<> LibraryAPIClient::doDeleteFile(qint64 fileID, std::stop_token stop)
{
    const auto api = m_api;
    auto making = api->makeRequest(kLibraryPath + u'/' + QString::number(fileID), QStringLiteral("DELETE"),
                                   std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    auto sending = api->send(std::move(request), &readDeleteReply, stop);
    co_await std::move(sending);
}

QCoro::Task<qint64> LibraryAPIClient::resetFolder(SyncFolderType folderKind, std::optional<QString> drivePath,
                                                  std::stop_token stop)
{
    const auto api = m_api;
    auto making = api->makeRequest(kResetFolderPath, QStringLiteral("POST"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    QJsonObject body;
    if (const auto folderType = folderTypeText(folderKind))
        body.insert(QStringLiteral("folder_type"), *folderType);
    if (drivePath)
        body.insert(QStringLiteral("drive_path"), *drivePath);
    request.setJsonBody(body);
    auto sending = api->send(std::move(request), &readResetFolderReply, stop);
    co_return co_await std::move(sending);
}

namespace {

// The feed's request from `cursor` (empty: from the start), read whole or folded into its deletes.
QCoro::Task<HttpRequest> changesRequest(HarborlyAPI &api, QString cursor, std::optional<SyncFolderType> folderKind,
                                        std::optional<QString> syncFolderID, std::stop_token stop)
{
    QList<QueryItem> since;
    if (!cursor.isEmpty())
        since.append(QueryItem{QStringLiteral("since"), cursor});
    return api.makeRequest(kChangesPath, QStringLiteral("GET"), folderQuery(std::move(since), folderKind, syncFolderID),
                           std::move(stop));
}

} // namespace

QCoro::Task<LibraryAPIClient::ChangeFeed> LibraryAPIClient::doFetchChanges(QString cursor,
                                                                           std::optional<SyncFolderType> folderKind,
                                                                           std::optional<QString> syncFolderID,
                                                                           std::stop_token stop)
{
    const auto api = m_api;
    auto making = changesRequest(*api, std::move(cursor), folderKind, std::move(syncFolderID), stop);
    HttpRequest request = co_await std::move(making);
    auto sending = api->send(std::move(request), &readChangesReply, stop);
    co_return co_await std::move(sending);
}

QCoro::Task<LibraryAPIClient::FeedDeletes> LibraryAPIClient::doFetchDeletes(QString cursor,
                                                                            std::optional<SyncFolderType> folderKind,
                                                                            std::optional<QString> syncFolderID,
                                                                            std::stop_token stop)
{
    const auto api = m_api;
    auto making = changesRequest(*api, std::move(cursor), folderKind, std::move(syncFolderID), stop);
    HttpRequest request = co_await std::move(making);
    auto sending = api->send(std::move(request), &readDeletesReply, stop);
    co_return co_await std::move(sending);
}

QCoro::Task<LibraryAPIClient::StorageSummary> LibraryAPIClient::fetchStorage(std::stop_token stop)
{
    const auto api = m_api;
    auto making = api->makeRequest(kStoragePath, QStringLiteral("GET"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    auto sending = api->send(std::move(request), &readStorageReply, stop);
    co_return co_await std::move(sending);
}

QCoro::Task<LibraryAPIClient::AccountProfile> LibraryAPIClient::fetchAccount(std::stop_token stop)
{
    const auto api = m_api;
    auto making = api->makeRequest(kAccountPath, QStringLiteral("GET"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    auto sending = api->send(std::move(request), &readAccountReply, stop);
    co_return co_await std::move(sending);
}

QCoro::Task<QList<LibraryAPIClient::PlanSummary>> LibraryAPIClient::doFetchPlans(std::stop_token stop)
{
    const auto api = m_api;
    auto making = api->makeRequest(kPlansPath, QStringLiteral("GET"), std::nullopt, stop);
    HttpRequest request = co_await std::move(making);
    auto sending = api->send(std::move(request), &readPlansReply, stop);
    co_return co_await std::move(sending);
}

// ---- Reply readers ----

QList<LibraryAPIClient::RemoteFile> LibraryAPIClient::parseLibraryResponse(int status, const QByteArray &body)
{
    if (status != 200)
        throw refusedWithBodyText(status, body, QStringLiteral("Unknown error"));
    QList<RemoteFile> files;
    SharedTexts shared;
    // Entry by entry: the whole reply as one document would weigh more than the list.
    json::parseObjectEntries(
        body, QLatin1StringView("files"), [&files](qsizetype count) { files.reserve(count); },
        [&](const QJsonObject &entry) {
            if (auto file = readRemoteFile(entry, shared))
                files.append(std::move(*file));
        });
    return files;
}

LibraryAPIClient::ChangeFeed LibraryAPIClient::parseChangesResponse(int status, const QByteArray &body)
{
    if (status != 200)
        throw refusedWithBodyText(status, body, QStringLiteral("Changes request failed"));
    ChangeFeed feed;
    SharedTexts shared;
    const QJsonObject object = json::parseObjectEntries(
        body, QLatin1StringView("changes"), [&feed](qsizetype count) { feed.changes.reserve(count); },
        [&](const QJsonObject &entry) {
            if (auto change = readDeltaChange(entry, shared))
                feed.changes.append(std::move(*change));
        });
    // Only the service knows where its feed stands. A cursor made from this device's clock
    // would skip, for good, every change made before a clock running ahead.
    feed.cursor = json::optionalString(object, QStringLiteral("cursor"));
    if (feed.cursor && feed.cursor->isEmpty())
        feed.cursor.reset();
    return feed;
}

LibraryAPIClient::FeedDeletes LibraryAPIClient::parseDeletesResponse(int status, const QByteArray &body)
{
    if (status != 200)
        throw refusedWithBodyText(status, body, QStringLiteral("Changes request failed"));
    FeedDeletes deletes;
    json::parseObjectEntries(body, QLatin1StringView("changes"), [](qsizetype) {}, [&](const QJsonObject &entry) {
        const auto id = json::optionalInteger(entry, QStringLiteral("id"));
        if (!id)
            return;
        const auto created = json::optionalDate(entry, QStringLiteral("created_at"));
        const auto updated = json::optionalDate(entry, QStringLiteral("updated_at"));
        const auto deleted = json::optionalDate(entry, QStringLiteral("deleted_at"));
        deletes.fold(*id, json::optionalString(entry, QStringLiteral("action")) == QLatin1String("deleted"), deleted,
                     {&created, &updated, &deleted});
    });
    return deletes;
}

QList<LibraryAPIClient::RemoteSyncFolder> LibraryAPIClient::parseSyncFoldersResponse(int status,
                                                                                     const QByteArray &body)
{
    if (!isSuccess(status))
        throw refusedWithMember(status, body, false, QStringLiteral("Failed to list sync folders"));
    const auto document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        throw HarborlyAPIError::invalidResponse();
    const auto data = json::optionalArray(document.object(), QStringLiteral("data"));
    if (!data)
        throw HarborlyAPIError::invalidResponse();
    QList<RemoteSyncFolder> folders;
    for (const auto &entry : objectsOf(*data)) {
        if (auto folder = readSyncFolder(entry))
            folders.append(std::move(*folder));
    }
    return folders;
}

void LibraryAPIClient::parseRegisterSyncFolderResponse(int status, const QByteArray &body)
{
    if (!isSuccess(status))
        throw refusedWithMember(status, body, true, QStringLiteral("Sync folder registration failed"));
}

void LibraryAPIClient::parseDownloadResponse(int status)
{
    if (status != 200)
        throw HarborlyAPIError::serverError(status, QStringLiteral("Download failed"));
}

void LibraryAPIClient::parseDeleteResponse(int status, const QByteArray &body)
{
    if (status != 200)
        throw refusedWithBodyText(status, body, QStringLiteral("Delete failed"));
}

qint64 LibraryAPIClient::parseResetFolderResponse(int status, const QByteArray &body)
{
    if (!isSuccess(status))
        throw refusedWithMember(status, body, true, QStringLiteral("Reset folder failed"));
    return json::optionalInteger(json::parseObject(body), QStringLiteral("deleted_count")).value_or(0);
}

LibraryAPIClient::StorageSummary LibraryAPIClient::parseStorageResponse(int status, const QByteArray &body)
{
    if (status != 200)
        throw refusedWithMember(status, body, false, QStringLiteral("Storage request failed"));
    const QJsonObject object = json::parseObject(body);
    StorageSummary summary;
    summary.subscription = json::optionalString(object, QStringLiteral("subscription")).value_or(summary.subscription);
    summary.subscriptionLabel =
        json::optionalString(object, QStringLiteral("subscription_label")).value_or(summary.subscriptionLabel);
    summary.storageLimitBytes = json::optionalInteger(object, QStringLiteral("storage_limit_bytes")).value_or(0);
    summary.storageUsedBytes = json::optionalInteger(object, QStringLiteral("storage_used_bytes")).value_or(0);
    summary.actualDiskBytes = json::optionalInteger(object, QStringLiteral("actual_disk_bytes")).value_or(0);
    summary.isEnforced = json::optionalBool(object, QStringLiteral("is_enforced")).value_or(false);
    if (const auto breakdown = json::optionalObject(object, QStringLiteral("breakdown"))) {
        summary.breakdown.planAsset = json::optionalInteger(*breakdown, QStringLiteral("plan_asset")).value_or(0);
        summary.breakdown.commercialReference =
            json::optionalInteger(*breakdown, QStringLiteral("commercial_reference")).value_or(0);
        summary.breakdown.driveFile = json::optionalInteger(*breakdown, QStringLiteral("drive_file")).value_or(0);
        summary.breakdown.unorganised = json::optionalInteger(*breakdown, QStringLiteral("unorganised")).value_or(0);
    }
    return summary;
}

LibraryAPIClient::AccountProfile LibraryAPIClient::parseAccountResponse(int status, const QByteArray &body)
{
    if (status != 200)
        throw refusedWithMember(status, body, false, QStringLiteral("Account request failed"));
    const QJsonObject object = json::parseObject(body);
    AccountProfile profile;
    profile.id = json::optionalInteger(object, QStringLiteral("id")).value_or(0);
    profile.name = json::optionalString(object, QStringLiteral("name")).value_or(QString());
    profile.email = json::optionalString(object, QStringLiteral("email")).value_or(QString());
    profile.plan = json::optionalString(object, QStringLiteral("plan")).value_or(profile.plan);
    profile.storageUsedBytes = json::optionalInteger(object, QStringLiteral("storage_used_bytes")).value_or(0);
    profile.storageLimitBytes = json::optionalInteger(object, QStringLiteral("storage_limit_bytes")).value_or(0);
    profile.maintenance = json::optionalBool(object, QStringLiteral("maintenance")).value_or(false);
    return profile;
}

QList<LibraryAPIClient::PlanSummary> LibraryAPIClient::parsePlansResponse(int status, const QByteArray &body)
{
    if (status != 200)
        throw refusedWithBodyText(status, body, QStringLiteral("Plans request failed"));
    QList<PlanSummary> plans;
    for (const auto &entry : objectsOf(json::parseObject(body), QStringLiteral("plans"))) {
        if (auto plan = readPlan(entry))
            plans.append(std::move(*plan));
    }
    return plans;
}

LibraryAPIClient::DAWLivenessReply LibraryAPIClient::parseDAWLivenessResponse(int status, const QByteArray &body)
{
    if (!isSuccess(status))
        throw refusedWithMember(status, body, false, QStringLiteral("DAW-liveness report failed"));
    const QJsonObject object = json::parseObject(body);
    DAWLivenessReply reply;
    reply.warn = json::optionalBool(object, QStringLiteral("warn")).value_or(false);
    reply.openDeviceCount = json::optionalInteger(object, QStringLiteral("open_device_count")).value_or(0);
    reply.message = json::optionalString(object, QStringLiteral("message"));
    for (const auto &peer : objectsOf(object, QStringLiteral("peer_devices"))) {
        if (auto name = json::optionalString(peer, QStringLiteral("device_name")))
            reply.peerDeviceNames.append(*name);
    }
    return reply;
}

} // namespace quillmere
