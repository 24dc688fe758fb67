#include "FileServices/FileScan.h"

#include <QDir>
#include <QLoggingCategory>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

Q_LOGGING_CATEGORY(fileScanLog, "app.quillmere.Quillmere.FileScan")

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

struct Identity
{
    dev_t device = 0;
    ino_t inode = 0;
};

// One listed directory waiting to be walked. Only its names are kept: the walk holds at most
// one descriptor at a time, however deep the tree.
struct Level
{
    std::string path;
    std::vector<std::pair<std::string, std::optional<Identity>>> entries; // nullopt: a file
    size_t next = 0;
};

enum class ListResult { listed, gone, unreadable };

// Lists one directory completely. `expected` is what its parent's listing saw at this name:
// a directory swapped (for a link, or another tree) since then is not walked.
ListResult listDirectory(const std::string &path, const std::optional<Identity> &expected, Level &level)
{
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (expected ? O_NOFOLLOW : 0));
    if (fd < 0)
        return (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) ? ListResult::gone : ListResult::unreadable;
    struct stat self;
    if (fstat(fd, &self) != 0) {
        close(fd);
        return ListResult::unreadable;
    }
    if (expected && (self.st_dev != expected->device || self.st_ino != expected->inode)) {
        close(fd);
        return ListResult::gone;
    }
    DIR *dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return ListResult::unreadable;
    }
    bool complete = true;
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir);
        if (!entry) {
            complete = errno == 0;
            break;
        }
        const char *name = entry->d_name;
        if (name[0] == '.')
            continue;
        const EntryKind kind = kindOf(fd, entry);
        if (kind == EntryKind::file) {
            if (!isExcludedFileName(name))
                level.entries.emplace_back(name, std::nullopt);
        } else if (kind == EntryKind::directory) {
            struct stat st;
            // Gone already, or no longer a directory: nothing below it is ours to list.
            if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
                level.entries.emplace_back(name, Identity{st.st_dev, st.st_ino});
        }
    }
    closedir(dir);
    return complete ? ListResult::listed : ListResult::unreadable;
}

std::string childPath(const std::string &parent, const std::string &name)
{
    return parent == "/" ? parent + name : parent + '/' + name;
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

void scanDirectoryRecursively(const QString &root, QStringList &out, QStringList &unreadableFolders)
{
    const auto decoded = [](const std::string &path) {
        return QFile::decodeName(QByteArray::fromRawData(path.data(), qsizetype(path.size())));
    };
    const auto unreadable = [&](const std::string &path) {
        const int error = errno;
        unreadableFolders.append(decoded(path));
        qCWarning(fileScanLog, "Cannot read folder %s: %s", path.c_str(), std::strerror(error));
    };

    std::vector<Level> stack(1);
    stack.back().path = QFile::encodeName(normalizedPath(root)).toStdString();
    // The root itself may be reached through a link the user chose; nothing below it is.
    // A root that is missing counts as unreadable too: an unmounted drive is not an empty one.
    if (listDirectory(stack.back().path, std::nullopt, stack.back()) != ListResult::listed) {
        unreadable(stack.back().path);
        if (stack.back().entries.empty())
            return;
    }
    // Depth first in listing order, as a recursive walk would go.
    while (!stack.empty()) {
        Level &level = stack.back();
        if (level.next == level.entries.size()) {
            stack.pop_back();
            continue;
        }
        const auto &[name, identity] = level.entries[level.next++];
        std::string path = childPath(level.path, name);
        if (!identity) {
            out.append(decoded(path));
            continue;
        }
        Level child;
        child.path = std::move(path);
        const ListResult result = listDirectory(child.path, identity, child);
        if (result == ListResult::unreadable)
            unreadable(child.path);
        if (result != ListResult::gone && !child.entries.empty())
            stack.push_back(std::move(child)); // `level` is invalid from here on
    }
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
