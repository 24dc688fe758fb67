#include "Lane/SyncLane.h"

#include "Model/LaneQueries.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Background.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <algorithm>

namespace quillmere {

namespace {

bool byOldPath(const SyncLane::RenamePair &a, const SyncLane::RenamePair &b)
{
    return a.oldPath < b.oldPath;
}

QString withTrailingSlash(const QString &directory)
{
    return directory.endsWith(u'/') ? directory : directory + u'/';
}

} // namespace

qint64 SyncLane::fetchOutstandingRecords()
{
    return fetchOutstandingRecordCount(*m_modelContext, laneID());
}

QString SyncLane::relativePath(const QString &localPath) const
{
    const auto folder = syncFolder();
    if (const FolderPolicy policy = folder->policy(); policy.flat || policy.mirrorsPlanLayout)
        return QStringLiteral(".");
    const auto root = folder->folderPath();
    const QString directory = QFileInfo(localPath).path();
    if (!root || !directory.startsWith(withTrailingSlash(*root)))
        return QStringLiteral(".");
    return directory.mid(withTrailingSlash(*root).size());
}

FolderScope SyncLane::folderScope() const
{
    return syncFolder()->scope();
}

void SyncLane::followFolderMove(const QString &from, const QString &to)
{
    const auto folder = syncFolder();
    if (folder->isDeleted())
        return;
    folder->setFolderPath(to);
    // Left at the old paths, the records' files would look missing under the new one: a
    // full sync would delete them at the service and then send them again.
    try {
        for (const auto &record : fetchRecordsUnderDirectory(*m_modelContext, laneID(), from))
            record->setLocalPath(to + record->localPath().mid(from.size()));
    } catch (const std::exception &) {
        // Unreadable store: the paths stay; the save below fails the same way.
    }
    saveQuietly();
}

std::shared_ptr<SyncFile> SyncLane::fetchRecordByFileUUID(const std::optional<QString> &fileUUID)
{
    if (!fileUUID || fileUUID->isEmpty())
        return nullptr;
    auto request = SyncFile::withFileUUID(*fileUUID);
    request.equals(SyncFile::Field::folderID, laneID());
    try {
        return m_modelContext->fetchFirst(request);
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading a record by file id", error);
        return nullptr;
    }
}

// The size and the hash describe the same content: a file that changed while it was read gets
// no checksum, which makes it an upload candidate whose upload reads it again.
QCoro::Task<QList<SyncLane::FileInfo>> SyncLane::computeChecksum(std::shared_ptr<ChecksumCache> checksums,
                                                                 QStringList paths, std::stop_token stop)
{
    auto hashing = checksumsConcurrently(std::move(checksums), paths, std::move(stop));
    const QList<std::optional<StampedChecksum>> taken = co_await std::move(hashing);
    QList<FileInfo> infos;
    infos.reserve(paths.size());
    for (qsizetype i = 0; i < paths.size(); ++i) {
        FileInfo info{paths[i], QFileInfo(paths[i]).fileName(), QString(), 0};
        if (const auto &found = taken[i]) {
            info.checksum = found->checksum;
            info.fileSize = found->stamp.size;
            info.inode = qint64(found->stamp.inode);
        }
        infos.append(std::move(info));
    }
    co_return infos;
}

QList<SyncLane::RenamePair> SyncLane::inodeRenamePairs(const QHash<qint64, QString> &oldMap,
                                                       const QHash<qint64, QString> &newMap)
{
    QList<RenamePair> pairs;
    for (auto it = oldMap.cbegin(); it != oldMap.cend(); ++it) {
        const auto found = newMap.constFind(it.key());
        if (found != newMap.cend() && *found != it.value())
            pairs.append({it.value(), *found});
    }
    std::sort(pairs.begin(), pairs.end(), byOldPath);
    return pairs;
}

QList<SyncLane::RenamePair> SyncLane::renamePairs(const QString &oldDirectory, const QString &newDirectory,
                                                  const QStringList &paths)
{
    const QString from = withTrailingSlash(oldDirectory);
    const QString to = withTrailingSlash(newDirectory);
    QList<RenamePair> pairs;
    for (const QString &path : paths)
        if (path.startsWith(from))
            pairs.append({path, to + path.mid(from.size())});
    std::sort(pairs.begin(), pairs.end(), byOldPath);
    return pairs;
}

bool SyncLane::allRenamedPathsExist(const QString &oldDirectory, const QString &newDirectory,
                                    const QStringList &paths)
{
    for (const auto &pair : renamePairs(oldDirectory, newDirectory, paths)) {
        struct stat status{};
        if (::lstat(QFile::encodeName(pair.newPath).constData(), &status) != 0)
            return false;
    }
    return true;
}

} // namespace quillmere
