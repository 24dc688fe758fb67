#include "Engine/FileScan.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

namespace {

constexpr const char *temporaryMarker = ".quillmere-tmp";
constexpr const char *conflictMarker = "(conflict)";

enum class EntryKind { file, directory, other };

// d_type is enough on every local file system we meet; DT_UNKNOWN (some network and FUSE
// file systems) costs one fstatat without following a link.
EntryKind kindOf(int dirFd, const dirent *entry)
{
    switch (entry->d_type) {
    case DT_REG:
        return EntryKind::file;
    case DT_DIR:
        return EntryKind::directory;
    case DT_UNKNOWN: {
        struct stat st;
        if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return EntryKind::other;
        if (S_ISREG(st.st_mode))
            return EntryKind::file;
        if (S_ISDIR(st.st_mode))
            return EntryKind::directory;
        return EntryKind::other;
    }
    default:
        return EntryKind::other;
    }
}

// Opening each level relative to its parent with O_NOFOLLOW means a directory swapped for a
// symlink between listing and descending is refused rather than followed.
DIR *openChild(int parentFd, const char *name)
{
    const int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    DIR *dir = fdopendir(fd);
    if (!dir)
        close(fd);
    return dir;
}

void scanInto(DIR *dir, std::string &path, QStringList &out)
{
    const int dirFd = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.')
            continue;
        const EntryKind kind = kindOf(dirFd, entry);
        if (kind == EntryKind::other)
            continue;
        const size_t parentLength = path.size();
        if (parentLength != 1) // the root "/" already ends in a separator
            path += '/';
        path += name;
        if (kind == EntryKind::file) {
            if (!isExcludedFileName(name))
                out.append(QFile::decodeName(QByteArray::fromRawData(path.data(), qsizetype(path.size()))));
        } else if (DIR *child = openChild(dirFd, name)) {
            scanInto(child, path, out);
            closedir(child);
        }
        path.resize(parentLength);
    }
}

} // namespace

QString normalizedPath(const QString &path)
{
    if (path.isEmpty())
        return path;
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool isExcludedFileName(QStringView name)
{
    return name.startsWith(u'.') || name.contains(QLatin1String(temporaryMarker))
           || name.contains(QLatin1String(conflictMarker));
}

bool isExcludedFileName(const char *name)
{
    return name[0] == '.' || std::strstr(name, temporaryMarker) || std::strstr(name, conflictMarker);
}

bool hasHiddenComponent(const QByteArray &root, const QByteArray &path)
{
    const qsizetype base = root == "/" ? 0 : root.size();
    if (!path.startsWith(root) || (path.size() > base && path[base] != '/'))
        return true;
    for (qsizetype i = base; i + 1 < path.size(); ++i) {
        if (path[i] == '/' && path[i + 1] == '.')
            return true;
    }
    return false;
}

bool hasHiddenComponent(const QString &root, const QString &path)
{
    return hasHiddenComponent(QFile::encodeName(root), QFile::encodeName(path));
}

bool isSyncableFile(const QString &root, const QString &path)
{
    if (path == root || hasHiddenComponent(root, path))
        return false;
    struct stat st;
    if (lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return !isExcludedFileName(QStringView(path).mid(path.lastIndexOf(u'/') + 1));
}

void scanDirectoryRecursively(const QString &root, QStringList &out)
{
    const QString start = normalizedPath(root);
    std::string path = QFile::encodeName(start).toStdString();
    // The root itself may be reached through a link the user chose; nothing below it is.
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return;
    scanInto(dir, path, out);
    closedir(dir);
}

QStringList listFilesWithExtensions(const QString &folder, const QSet<QString> &extensionsWithDot)
{
    QStringList result;
    const QString base = normalizedPath(folder);
    DIR *dir = opendir(QFile::encodeName(base).constData());
    if (!dir)
        return result;
    const QString prefix = base == QLatin1String("/") ? base : base + u'/';
    while (const dirent *entry = readdir(dir)) {
        if (isExcludedFileName(entry->d_name) || kindOf(dirfd(dir), entry) != EntryKind::file)
            continue;
        const QString name = QFile::decodeName(entry->d_name);
        const qsizetype dot = name.lastIndexOf(u'.');
        if (dot <= 0)
            continue;
        if (extensionsWithDot.contains(name.mid(dot).toLower()))
            result.append(prefix + name);
    }
    closedir(dir);
    return result;
}

} // namespace quillmere
