#include "Platform/Settings/UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QScopeGuard>
#include <QSettings>
#include <QVariant>

#include <algorithm>
#include <functional>
#include <mutex>

#include <sys/stat.h>
#include <time.h>

namespace quillmere {

namespace {

constexpr auto folderName = "Quillmere";

// The values of one settings file as last read, with the stat of the file they were read
// from. Settings are read per request (the device id, the shard) and opening the file each
// time costs more than the request's own work; a file changed since (by anyone) is read again.
struct Snapshot
{
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool readable = false;
    // A file changed moments before it was read may change again within the same clock tick
    // of its file system, size and all, without its stat showing it: such a snapshot is used
    // for this one read only.
    bool settled = false;
    QHash<QString, QVariant> values;

    bool matches(bool nowExists, const struct stat &status) const
    {
        if (!settled)
            return false;
        if (!nowExists || !exists)
            return nowExists == exists;
        return device == status.st_dev && inode == status.st_ino && size == status.st_size
            && modified.tv_sec == status.st_mtim.tv_sec && modified.tv_nsec == status.st_mtim.tv_nsec
            && changed.tv_sec == status.st_ctim.tv_sec && changed.tv_nsec == status.st_ctim.tv_nsec;
    }
};

std::mutex &snapshotsMutex()
{
    static std::mutex mutex;
    return mutex;
}

QHash<QString, Snapshot> &snapshots()
{
    static QHash<QString, Snapshot> kept;
    return kept;
}

void forget(const QString &path)
{
    std::lock_guard lock(snapshotsMutex());
    snapshots().remove(path);
}

bool write(const QString &path, const std::function<void(QSettings &)> &change)
{
    const auto forgetAfter = qScopeGuard([&path] { forget(path); });
    QSettings settings(path, QSettings::IniFormat);
    // A file we cannot parse must not be overwritten with only the new key.
    if (settings.status() != QSettings::NoError)
        return false;
    change(settings);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

std::optional<QVariant> read(const QString &path, const QString &key)
{
    struct stat status{};
    const bool exists = ::stat(QFile::encodeName(path).constData(), &status) == 0;
    std::lock_guard lock(snapshotsMutex());
    Snapshot &snapshot = snapshots()[path];
    if (!snapshot.matches(exists, status)) {
        snapshot = Snapshot{};
        snapshot.exists = exists;
        snapshot.settled = true;
        if (exists) {
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            snapshot.settled = now.tv_sec - status.st_mtim.tv_sec > 2;
            snapshot.device = status.st_dev;
            snapshot.inode = status.st_ino;
            snapshot.size = status.st_size;
            snapshot.modified = status.st_mtim;
            snapshot.changed = status.st_ctim;
        }
        QSettings settings(path, QSettings::IniFormat);
        snapshot.readable = settings.status() == QSettings::NoError;
        if (snapshot.readable) {
            const QStringList keys = settings.allKeys();
            for (const QString &name : keys)
                snapshot.values.insert(name, settings.value(name));
        }
    }
    if (!snapshot.readable)
        return std::nullopt;
    const auto found = snapshot.values.constFind(key);
    if (found == snapshot.values.cend())
        return std::nullopt;
    return *found;
}

} // namespace

UserDefaults::UserDefaults(QString fileName) : m_fileName(std::move(fileName)) {}

UserDefaults UserDefaults::standard()
{
    return UserDefaults(QStringLiteral("Quillmere.conf"));
}

UserDefaults UserDefaults::suite(const QString &name)
{
    return UserDefaults(name + QStringLiteral(".conf"));
}

QString UserDefaults::configFolder()
{
    // Relative values are ignored, as the XDG base-directory rules say.
    const QString fromEnvironment = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!fromEnvironment.isEmpty() && QDir::isAbsolutePath(fromEnvironment))
        return QDir::cleanPath(fromEnvironment);
    return QDir::homePath() + QStringLiteral("/.config");
}

QString UserDefaults::filePath() const
{
    return configFolder() + QLatin1Char('/') + QLatin1String(folderName) + QLatin1Char('/') + m_fileName;
}

bool UserDefaults::canOpen() const
{
    QSettings settings(filePath(), QSettings::IniFormat);
    return settings.status() == QSettings::NoError;
}

std::optional<QString> UserDefaults::string(const QString &key) const
{
    const auto value = read(filePath(), key);
    if (!value)
        return std::nullopt;
    switch (value->typeId()) {
    case QMetaType::QString:
        return value->toString();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
    case QMetaType::Bool:
        return value->toString();
    default:
        return std::nullopt;
    }
}

std::optional<QByteArray> UserDefaults::data(const QString &key) const
{
    const auto value = read(filePath(), key);
    if (!value || value->typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return value->toByteArray();
}

std::optional<bool> UserDefaults::boolean(const QString &key) const
{
    const auto value = read(filePath(), key);
    if (!value)
        return std::nullopt;
    if (value->typeId() == QMetaType::Bool)
        return value->toBool();
    if (value->typeId() != QMetaType::QString)
        return std::nullopt;
    const QString text = value->toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("yes") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("no") || text == QLatin1String("0"))
        return false;
    return std::nullopt;
}

bool UserDefaults::contains(const QString &key) const
{
    return read(filePath(), key).has_value();
}

bool UserDefaults::setString(const QString &key, const QString &value)
{
    return write(filePath(), [&](QSettings &settings) { settings.setValue(key, value); });
}

bool UserDefaults::setData(const QString &key, const QByteArray &value)
{
    return write(filePath(), [&](QSettings &settings) { settings.setValue(key, value); });
}

bool UserDefaults::setBool(const QString &key, bool value)
{
    return write(filePath(), [&](QSettings &settings) { settings.setValue(key, value); });
}

bool UserDefaults::remove(const QString &key)
{
    return write(filePath(), [&](QSettings &settings) { settings.remove(key); });
}

} // namespace quillmere
