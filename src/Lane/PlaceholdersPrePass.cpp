// Stand-ins for members another part of the lane provides; removed when the lane is assembled.
#include "Lane/SyncLane.h"

#include "Model/SyncFolder.h"

namespace quillmere {

QString SyncLane::relativePath(const QString &localPath) const
{
    const auto &folder = *syncFolder();
    const auto root = folder.folderPath();
    if ((folder.folderType() != SyncFolderType::references && folder.folderType() != SyncFolderType::projectsFolder)
        || !root)
        return QStringLiteral(".");
    const QString directory = localPath.left(std::max<qsizetype>(localPath.lastIndexOf(u'/'), 0));
    if (directory != *root && !directory.startsWith(*root + u'/'))
        return QStringLiteral(".");
    const QString rest = directory.mid(root->size() + 1);
    return rest.isEmpty() ? QStringLiteral(".") : rest;
}

} // namespace quillmere
