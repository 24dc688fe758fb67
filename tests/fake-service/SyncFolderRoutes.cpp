#include "fake-service/FakeJson.h"
#include "fake-service/FakeRoutes.h"

#include <QJsonArray>
#include <QUuid>

namespace quillmere::test {

namespace {

QJsonObject folderJson(const FakeSyncFolder &folder)
{
    return QJsonObject{
        {QStringLiteral("uuid"), folder.uuid},
        {QStringLiteral("name"), folder.name},
        {QStringLiteral("folder_type"), folder.folderType},
        {QStringLiteral("direction"), folder.direction},
        {QStringLiteral("sort_order"), folder.sortOrder},
    };
}

FakeReply listSyncFolders(FakeServiceState &state, const FakeRequest &request)
{
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    std::vector<FakeSyncFolder> folders;
    for (const FakeSyncFolder &folder : state.syncFolders)
        if (folder.accountId == std::get<qint64>(who))
            folders.push_back(folder);
    std::stable_sort(folders.begin(), folders.end(),
                     [](const FakeSyncFolder &a, const FakeSyncFolder &b) { return a.sortOrder < b.sortOrder; });
    QJsonArray data;
    for (const FakeSyncFolder &folder : folders)
        data.append(folderJson(folder));
    return FakeReply::json(200, QJsonObject{{QStringLiteral("data"), data}});
}

FakeReply registerSyncFolder(FakeServiceState &state, const FakeRequest &request)
{
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    auto body = jsonObjectBody(request);
    if (auto *refused = std::get_if<FakeReply>(&body))
        return *refused;
    const QJsonObject object = std::get<QJsonObject>(body);
    for (const char *key : {"uuid", "name", "folder_type", "direction"})
        if (auto refused = requireString(object, QString::fromLatin1(key)))
            return *refused;
    FakeSyncFolder folder;
    folder.accountId = std::get<qint64>(who);
    folder.uuid = object.value(QStringLiteral("uuid")).toString();
    folder.name = object.value(QStringLiteral("name")).toString();
    folder.folderType = object.value(QStringLiteral("folder_type")).toString();
    folder.direction = object.value(QStringLiteral("direction")).toString();
    if (QUuid::fromString(folder.uuid).isNull())
        return badRequest(QStringLiteral("uuid must be a UUID"));
    if (!isFolderType(folder.folderType))
        return badRequest(QStringLiteral("Unknown folder_type"));
    if (folder.direction != QLatin1String("upload_only") && folder.direction != QLatin1String("bidirectional")
        && folder.direction != QLatin1String("download_only"))
        return badRequest(QStringLiteral("Unknown direction"));

    // Registering a known folder again (every lane start does) updates it.
    for (FakeSyncFolder &known : state.syncFolders) {
        if (known.accountId == folder.accountId && known.uuid == folder.uuid) {
            folder.sortOrder = known.sortOrder;
            known = folder;
            return FakeReply::json(200, QJsonObject{{QStringLiteral("data"), folderJson(folder)}});
        }
    }
    folder.sortOrder = qint64(std::count_if(state.syncFolders.begin(), state.syncFolders.end(),
                                            [&](const FakeSyncFolder &f) { return f.accountId == folder.accountId; }));
    state.syncFolders.push_back(folder);
    return FakeReply::json(201, QJsonObject{{QStringLiteral("data"), folderJson(folder)}});
}

} // namespace

void addSyncFolderRoutes(FakeRouter &router, FakeServiceState &state)
{
    router.add("GET", "/api/v1/sync-folders", [&state](const FakeRequest &r) { return listSyncFolders(state, r); });
    router.add("POST", "/api/v1/sync-folders", [&state](const FakeRequest &r) { return registerSyncFolder(state, r); });
}

} // namespace quillmere::test
