#include "Platform/Files/FolderBookmark.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace quillmere {

namespace {

struct Identity
{
    QString path;
    ino_t inode = 0;
    dev_t device = 0;
};

QString number(unsigned long long value)
{
    return QString::number(value);
}

std::optional<unsigned long long> readNumber(const QJsonObject &object, const char *name)
{
    const auto value = object.value(QLatin1String(name));
    if (!value.isString())
        return std::nullopt;
    bool ok = false;
    const auto parsed = value.toString().toULongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return parsed;
}

std::optional<Identity> parse(const QByteArray &data)
{
    QJsonParseError error{};
    const auto document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const auto object = document.object();
    const auto path = object.value(QLatin1String("path"));
    const auto inode = readNumber(object, "inode");
    const auto device = readNumber(object, "device");
    if (!path.isString() || !object.value(QLatin1String("fsid")).isString() || !inode || !device)
        return std::nullopt;
    Identity identity{path.toString(), static_cast<ino_t>(*inode), static_cast<dev_t>(*device)};
    if (!identity.path.startsWith(QLatin1Char('/')) || QDir::cleanPath(identity.path) != identity.path)
        return std::nullopt;
    return identity;
}

// The folders that are never synced whole: the root and the user's home.
bool isRefused(const QString &canonicalPath)
{
    if (canonicalPath == QLatin1String("/"))
        return true;
    const auto home = QFileInfo(QDir::homePath()).canonicalFilePath();
    return !home.isEmpty() && canonicalPath == home;
}

bool sameIdentity(const struct stat &status, const Identity &identity)
{
    return S_ISDIR(status.st_mode) && status.st_ino == identity.inode && status.st_dev == identity.device;
}

// A directory directly inside parent with the recorded device and inode (a rename within the
// parent keeps both).
std::optional<QString> findInParent(const QString &parent, const Identity &identity)
{
    const auto encodedParent = QFile::encodeName(parent);
    std::unique_ptr<DIR, int (*)(DIR *)> directory(opendir(encodedParent.constData()), closedir);
    if (!directory)
        return std::nullopt;
    const int fd = dirfd(directory.get());
    while (const dirent *entry = readdir(directory.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)
            continue;
        struct stat status{};
        if (fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (sameIdentity(status, identity)) {
            const auto name = QFile::decodeName(entry->d_name);
            return parent == QLatin1String("/") ? QLatin1Char('/') + name : parent + QLatin1Char('/') + name;
        }
    }
    return std::nullopt;
}

FolderBookmark::Resolved checked(FolderBookmark::Resolved resolved)
{
    if (isRefused(resolved.path))
        throw FolderBookmark::Error(FolderBookmark::Error::Code::accessLost);
    return resolved;
}

} // namespace

const char *FolderBookmark::Error::what() const noexcept
{
    switch (m_code) {
    case Code::notADirectory:
        return "The folder does not exist or is not a folder.";
    case Code::refusedFolder:
        return "The root folder and the home folder cannot be synced.";
    case Code::corrupt:
        return "The saved folder location is damaged.";
    case Code::accessLost:
        return "The folder cannot be reached any more.";
    }
    return "The folder cannot be reached any more.";
}

QByteArray FolderBookmark::make(const QString &folderPath)
{
    const auto canonical = QFileInfo(folderPath).canonicalFilePath();
    if (canonical.isEmpty())
        throw Error(Error::Code::notADirectory);
    const auto encoded = QFile::encodeName(canonical);
    struct stat status{};
    struct statfs fileSystem{};
    if (stat(encoded.constData(), &status) != 0 || !S_ISDIR(status.st_mode)
        || statfs(encoded.constData(), &fileSystem) != 0)
        throw Error(Error::Code::notADirectory);
    if (isRefused(canonical))
        throw Error(Error::Code::refusedFolder);

    unsigned int fsid[2] = {};
    static_assert(sizeof fsid == sizeof fileSystem.f_fsid);
    std::memcpy(fsid, &fileSystem.f_fsid, sizeof fsid);
    QJsonObject object;
    object.insert(QStringLiteral("path"), canonical);
    // 64-bit numbers as decimal text: a JSON number is a double and would round them.
    object.insert(QStringLiteral("inode"), number(status.st_ino));
    object.insert(QStringLiteral("device"), number(status.st_dev));
    object.insert(QStringLiteral("fsid"), QStringLiteral("%1:%2").arg(fsid[0], 8, 16, QLatin1Char('0')).arg(fsid[1], 8, 16, QLatin1Char('0')));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

FolderBookmark::Resolved FolderBookmark::resolve(const QByteArray &data, const QString &mountInfoPath)
{
    const auto identity = parse(data);
    if (!identity)
        throw Error(Error::Code::corrupt);

    const auto encoded = QFile::encodeName(identity->path);
    struct stat status{};
    if (lstat(encoded.constData(), &status) == 0) {
        // Something else at the path (another folder, a symlink, an empty mount point, another
        // drive mounted there) is never taken for the folder.
        if (!sameIdentity(status, *identity))
            throw Error(Error::Code::accessLost);
        return checked({identity->path, false});
    }
    if (errno != ENOENT && errno != ENOTDIR)
        throw Error(Error::Code::accessLost);

    const auto parent = QFileInfo(identity->path).path();
    if (const auto moved = findInParent(parent, *identity))
        return checked({*moved, true});

    // An unplugged drive usually takes its mount point with it, so a missing path proves a
    // deletion only while the drive's file system is still mounted. Unknown counts as unmounted.
    const auto mounted = mountedDevices(mountInfoPath);
    if (!mounted || !mounted->contains(identity->device))
        throw Error(Error::Code::accessLost);
    return checked({identity->path, false});
}

std::optional<std::set<dev_t>> FolderBookmark::mountedDevices(const QString &mountInfoPath)
{
    QFile file(mountInfoPath);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    std::set<dev_t> devices;
    // A /proc file reports size 0, so read until a read comes back empty rather than trusting atEnd().
    for (QByteArray line = file.readLine(); !line.isEmpty(); line = file.readLine()) {
        // mount id, parent id, major:minor, ...
        const auto fields = line.split(' ');
        if (fields.size() < 3)
            continue;
        const auto numbers = fields[2].split(':');
        if (numbers.size() != 2)
            continue;
        bool majorOk = false;
        bool minorOk = false;
        const auto majorNumber = numbers[0].toUInt(&majorOk);
        const auto minorNumber = numbers[1].toUInt(&minorOk);
        if (majorOk && minorOk)
            devices.insert(makedev(majorNumber, minorNumber));
    }
    return devices;
}

} // namespace quillmere
