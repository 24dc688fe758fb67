#include "Lane/SyncLane.h"

#include "FileServices/FileChecksum.h"
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

struct FileIdentity
{
    qint64 size = -1;
    qint64 modifiedNanoseconds = 0;
    qint64 inode = 0;
    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};

std::optional<FileIdentity> identityOf(const QByteArray &native)
{
    struct stat status{};
    if (::stat(native.constData(), &status) != 0)
        return std::nullopt;
    return FileIdentity{qint64(status.st_size), qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
                        qint64(status.st_ino)};
}

// Blocking. The size and the hash must describe the same content: a file that changed while
// it was read gets no checksum, which makes it an upload candidate whose upload reads it again.
SyncLane::FileInfo hashOne(const QString &path, const std::stop_token &stop)
{
    SyncLane::FileInfo info{path, QFileInfo(path).fileName(), QString(), 0};
    const QByteArray native = QFile::encodeName(path);
    const auto before = identityOf(native);
    try {
        info.checksum = computeFileChecksumSync(path, stop);
    } catch (const FileChecksumError &) {
        info.checksum.clear();
    }
    const auto after = identityOf(native);
    if (!before || !after || *before != *after) {
        info.checksum.clear();
        info.fileSize = after ? after->size : 0;
    } else {
        info.fileSize = after->size;
    }
    return info;
}

} // namespace

qint64 SyncLane::fetchOutstandingRecords()
{
    return fetchOutstandingRecordCount(*m_modelContext, laneID());
}

QString SyncLane::relativePath(const QString &localPath) const
{
    const auto folder = syncFolder();
    if (folder->folderType() != SyncFolderType::projectsFolder && folder->folderType() != SyncFolderType::references)
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
    } catch (const std::exception &) {
        return nullptr;
    }
}

QCoro::Task<QList<SyncLane::FileInfo>> SyncLane::computeChecksum(QStringList paths, std::stop_token stop)
{
    auto work = [paths = std::move(paths), stop] {
        QList<FileInfo> infos;
        infos.reserve(paths.size());
        for (const QString &path : paths) {
            throwIfStopped(stop);
            infos.append(hashOne(path, stop));
        }
        return infos;
    };
    co_return co_await runInBackground(std::move(work));
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
