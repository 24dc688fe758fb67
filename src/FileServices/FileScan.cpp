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
    dev_t device = 0;
    std::vector<std::pair<std::string, std::optional<Identity>>> entries; // nullopt: a file
    size_t next = 0;
};

enum class ListResult { listed, gone, unreadable };

bool isValidUtf8Name(const char *name)
{
    const char *p = name;
    while (*p && static_cast<unsigned char>(*p) < 0x80)
        ++p;
    if (!*p)
        return true;
    const QByteArray bytes(name);
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

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
    level.device = self.st_dev;
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
        if (!isValidUtf8Name(name)) {
            // Such a name has no spelling at the service and none that maps back to this file.
            qCWarning(fileScanLog, "Skipping %s/%s: the name is not valid UTF-8", path.c_str(), name);
            continue;
        }
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
        if (identity->device != stack.front().device) {
            // A drive mounted inside the folder: unplugging it must not look like deleting
            // its files, so they are never part of the folder.
            qCInfo(fileScanLog, "Not entering %s: another file system", path.c_str());
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

QStringList listFilesWithExtensions(const QString &folder, const QSet<QString> &extensionsWithDot,
                                    QStringList *unreadableFolders)
{
    QStringList result;
    const QString base = normalizedPath(folder);
    DIR *dir = opendir(QFile::encodeName(base).constData());
    const auto unreadable = [&] {
        qCWarning(fileScanLog, "Cannot read folder %s: %s", qPrintable(base), std::strerror(errno));
        if (unreadableFolders)
            unreadableFolders->append(base);
    };
    if (!dir) {
        unreadable();
        return result;
    }
    const QString prefix = base == QLatin1String("/") ? base : base + u'/';
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir);
        if (!entry) {
            if (errno != 0)
                unreadable();
            break;
        }
        if (isExcludedFileName(entry->d_name) || kindOf(dirfd(dir), entry) != EntryKind::file)
            continue;
        if (!isValidUtf8Name(entry->d_name)) {
            qCWarning(fileScanLog, "Skipping %s/%s: the name is not valid UTF-8", qPrintable(base), entry->d_name);
            continue;
        }
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

FolderScope FolderScope::wholeTree()
{
    return FolderScope();
}

FolderScope FolderScope::rootFiles(const QStringList &extensions)
{
    FolderScope scope;
    scope.m_flat = true;
    for (const QString &extension : extensions) {
        const QString lower = extension.trimmed().toLower();
        if (lower.isEmpty() || lower == QLatin1String("."))
            continue;
        scope.m_extensions.insert(lower.startsWith(u'.') ? lower : u'.' + lower);
    }
    return scope;
}

bool FolderScope::includes(QStringView relativePath) const
{
    int depth = 0;
    QStringView name;
    for (const QStringView part : relativePath.split(u'/')) {
        if (part.isEmpty() || part == u".")
            continue;
        if (part.startsWith(u'.'))
            return false; // hidden, or ".."
        ++depth;
        name = part;
    }
    if (depth == 0 || isExcludedFileName(name))
        return false;
    if (!m_flat)
        return true;
    const qsizetype dot = name.lastIndexOf(u'.');
    return depth == 1 && dot > 0 && m_extensions.contains(name.mid(dot).toString().toLower());
}

bool FolderScope::includes(const QString &root, const QString &path) const
{
    const QString base = normalizedPath(root);
    const QString prefix = base == QLatin1String("/") ? base : base + u'/';
    if (!path.startsWith(prefix) || path.size() == prefix.size())
        return false;
    return includes(QStringView(path).mid(prefix.size()));
}

LocalPresence localPresence(const QString &root, const QString &path)
{
    const QString base = normalizedPath(root);
    const QString prefix = base == QLatin1String("/") ? base : base + u'/';
    if (!path.startsWith(prefix) || path.size() == prefix.size())
        return LocalPresence::unknown;
    struct stat status{};
    // The root itself may be reached through a link the user chose.
    if (::stat(QFile::encodeName(base).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return LocalPresence::unknown;
    const dev_t device = status.st_dev;
    const QStringList parts = path.mid(prefix.size()).split(u'/');
    QString current = base;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString &part = parts[i];
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return LocalPresence::unknown;
        current = current == QLatin1String("/") ? current + part : current + u'/' + part;
        if (::lstat(QFile::encodeName(current).constData(), &status) != 0)
            return errno == ENOENT ? LocalPresence::absent : LocalPresence::unknown;
        if (i + 1 == parts.size())
            return LocalPresence::present;
        // Only a real folder on the root's own file system can prove what it does not hold.
        if (!S_ISDIR(status.st_mode) || status.st_dev != device)
            return LocalPresence::unknown;
    }
    return LocalPresence::unknown;
}

} // namespace quillmere
