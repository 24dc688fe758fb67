#include "fake-service/FakeJson.h"
#include "fake-service/FakeRoutes.h"

#include <QJsonArray>
#include <QTimeZone>

#include <algorithm>

namespace quillmere::test {

namespace {

// The folder filters of the listing and the change feed; a refusal when one is malformed.
struct FolderFilter
{
    std::optional<QString> folderType;
    std::optional<QString> syncFolderUUID;

    bool admits(const FakeLibraryFile &file) const
    {
        return (!folderType || file.folderType == *folderType) && (!syncFolderUUID || file.syncFolderUUID == syncFolderUUID);
    }
};

std::variant<FolderFilter, FakeReply> folderFilter(const FakeRequest &request)
{
    FolderFilter filter;
    if (const auto type = request.queryValue("folder_type")) {
        filter.folderType = QString::fromStdString(*type);
        if (!isFolderType(*filter.folderType))
            return badRequest(QStringLiteral("Unknown folder_type"));
    }
    if (const auto uuid = request.queryValue("sync_folder_uuid")) {
        if (uuid->empty())
            return badRequest(QStringLiteral("sync_folder_uuid must not be empty"));
        filter.syncFolderUUID = QString::fromStdString(*uuid);
    }
    return filter;
}

FakeReply listLibrary(FakeServiceState &state, const FakeRequest &request)
{
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    auto filter = folderFilter(request);
    if (auto *refused = std::get_if<FakeReply>(&filter))
        return *refused;
    const qint64 accountId = std::get<qint64>(who);
    QJsonArray files;
    for (const auto &[id, file] : state.files)
        if (file.accountId == accountId && std::get<FolderFilter>(filter).admits(file))
            files.append(libraryFileJson(file));
    return FakeReply::json(200, QJsonObject{{QStringLiteral("files"), files}});
}

FakeReply listChanges(FakeServiceState &state, const FakeRequest &request)
{
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    auto filter = folderFilter(request);
    if (auto *refused = std::get_if<FakeReply>(&filter))
        return *refused;
    // A cursor is one this feed handed out ("cur-N": changes after the Nth), or the time a
    // client took as its cursor when a reply carried none ("yyyy-MM-ddTHH:mm:ssZ": changes
    // from that second on; one in the same second may come again, none is missed).
    qint64 since = 0;
    QDateTime sinceTime;
    if (const auto cursor = request.queryValue("since")) {
        bool ok = false;
        const QString text = QString::fromStdString(*cursor);
        if (text.startsWith(QLatin1String("cur-"))) {
            since = text.mid(4).toLongLong(&ok);
        } else {
            sinceTime = QDateTime::fromString(text, QStringLiteral("yyyy-MM-ddTHH:mm:ss'Z'"));
            sinceTime.setTimeSpec(Qt::UTC);
            ok = sinceTime.isValid();
        }
        if (!ok || since < 0)
            return badRequest(QStringLiteral("Invalid cursor"));
    }
    const qint64 accountId = std::get<qint64>(who);
    if (const auto compacted = state.compactedThrough.find(accountId);
        compacted != state.compactedThrough.end() && request.queryValue("since") && !sinceTime.isValid()
        && since < compacted->second)
        return FakeReply::failure(410, QStringLiteral("Cursor expired"), QStringLiteral("cursor_expired"));
    QJsonArray entries;
    QString cursor = state.cursorLocked(accountId);
    // The feed is in the order of its sequence: a cursor's reply starts past it at once, not
    // after a walk of the whole history under the state's lock.
    const std::vector<FakeChange> &feed = state.changes[accountId];
    const auto first =
        std::partition_point(feed.begin(), feed.end(), [since](const FakeChange &change) { return change.sequence <= since; });
    for (auto it = first; it != feed.end(); ++it) {
        const FakeChange &change = *it;
        if (!std::get<FolderFilter>(filter).admits(change.file))
            continue;
        if (sinceTime.isValid() && change.recordedAt.toSecsSinceEpoch() < sinceTime.toSecsSinceEpoch())
            continue;
        if (state.changesPageSize > 0 && entries.size() == state.changesPageSize)
            break;
        cursor = QStringLiteral("cur-%1").arg(change.sequence);
        const bool idOnly = state.deletesNameIdOnly && change.action == QLatin1String("deleted");
        QJsonObject entry = idOnly ? QJsonObject{{QStringLiteral("id"), change.file.id}} : libraryFileJson(change.file);
        entry.insert(QStringLiteral("action"), change.action);
        if (change.deletedAt.isValid())
            entry.insert(QStringLiteral("deleted_at"), fakeDateText(change.deletedAt));
        entries.append(entry);
    }
    // A reply with every entry goes on from the end of the feed, one cut short from its last.
    if (state.changesPageSize <= 0 || entries.size() < state.changesPageSize)
        cursor = state.cursorLocked(accountId);
    return FakeReply::json(200, QJsonObject{{QStringLiteral("changes"), entries}, {QStringLiteral("cursor"), cursor}});
}

// The account's file named by the path, or the refusal.
std::variant<FakeLibraryFile, FakeReply> ownedFile(FakeServiceState &state, const FakeRequest &request)
{
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    bool ok = false;
    const qint64 id = QString::fromStdString(request.captures.at(0)).toLongLong(&ok);
    const auto found = ok ? state.files.find(id) : state.files.end();
    if (found == state.files.end() || found->second.accountId != std::get<qint64>(who))
        return FakeReply::failure(404, QStringLiteral("File not found"), QStringLiteral("not_found"));
    return found->second;
}

FakeReply download(FakeServiceState &state, const FakeRequest &request)
{
    std::lock_guard lock(state.mutex);
    const auto file = ownedFile(state, request);
    if (auto *refused = std::get_if<FakeReply>(&file))
        return *refused;
    const FakeLibraryFile &found = std::get<FakeLibraryFile>(file);
    FakeReply reply;
    reply.contentType = found.mimeType.isEmpty() ? "application/octet-stream" : found.mimeType.toStdString();
    if (!found.contentPath.isEmpty())
        reply.bodyPath = found.contentPath;
    else if (!found.received.empty())
        reply.bodyPieces = found.received;
    else
        reply.body = found.content.toStdString();
    return reply;
}

FakeReply deleteFile(FakeServiceState &state, const FakeRequest &request)
{
    std::lock_guard lock(state.mutex);
    const auto file = ownedFile(state, request);
    if (auto *refused = std::get_if<FakeReply>(&file))
        return *refused;
    const qint64 id = std::get<FakeLibraryFile>(file).id;
    state.deleteFileLocked(id);
    return FakeReply::json(200, QJsonObject{{QStringLiteral("message"), QStringLiteral("File deleted")},
                                            {QStringLiteral("id"), id}});
}

FakeReply resetFolder(FakeServiceState &state, const FakeRequest &request)
{
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    auto body = jsonObjectBody(request);
    if (auto *refused = std::get_if<FakeReply>(&body))
        return *refused;
    const QJsonObject object = std::get<QJsonObject>(body);
    if (auto refused = requireString(object, QStringLiteral("folder_type")))
        return *refused;
    if (auto refused = requireString(object, QStringLiteral("drive_path"), true))
        return *refused;
    if (auto refused = requireString(object, QStringLiteral("sync_folder_uuid"), true))
        return *refused;
    const QString folderType = object.value(QStringLiteral("folder_type")).toString();
    if (!isFolderType(folderType))
        return badRequest(QStringLiteral("Unknown folder_type"));
    std::optional<QString> drivePath;
    if (object.contains(QStringLiteral("drive_path"))) {
        drivePath = object.value(QStringLiteral("drive_path")).toString();
        while (drivePath->endsWith(QLatin1Char('/')))
            drivePath->chop(1);
    }

    std::optional<QString> syncFolder;
    if (object.contains(QStringLiteral("sync_folder_uuid")) && !state.resetFolderByKindOnly)
        syncFolder = object.value(QStringLiteral("sync_folder_uuid")).toString();

    std::vector<qint64> doomed;
    for (const auto &[id, file] : state.files) {
        if (file.accountId != std::get<qint64>(who) || file.folderType != folderType)
            continue;
        if (syncFolder
            && (!file.syncFolderUUID || file.syncFolderUUID->compare(*syncFolder, Qt::CaseInsensitive) != 0))
            continue;
        if (drivePath && !drivePath->isEmpty()) {
            const QString path = file.drivePath.value_or(QString());
            if (path != *drivePath && !path.startsWith(*drivePath + QLatin1Char('/')))
                continue;
        }
        doomed.push_back(id);
    }
    for (const qint64 id : doomed)
        state.deleteFileLocked(id);
    return FakeReply::json(200, QJsonObject{{QStringLiteral("deleted_count"), qint64(doomed.size())}});
}

} // namespace

void addLibraryRoutes(FakeRouter &router, FakeServiceState &state)
{
    router.add("GET", "/api/v1/files/library", [&state](const FakeRequest &r) { return listLibrary(state, r); });
    router.add("GET", "/api/v1/files/library/changes", [&state](const FakeRequest &r) { return listChanges(state, r); });
    router.add("GET", R"(/api/v1/files/library/(\d+))", [&state](const FakeRequest &r) { return download(state, r); });
    router.add("DELETE", R"(/api/v1/files/library/(\d+))", [&state](const FakeRequest &r) { return deleteFile(state, r); });
    router.add("POST", "/api/v1/files/reset-folder", [&state](const FakeRequest &r) { return resetFolder(state, r); });
}

} // namespace quillmere::test
