#include "Platform/Settings/UserDefaults.h"

#include <QDir>
#include <QSettings>
#include <QVariant>

#include <functional>

namespace quillmere {

namespace {

constexpr auto folderName = "Quillmere";

bool write(const QString &path, const std::function<void(QSettings &)> &change)
{
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
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError || !settings.contains(key))
        return std::nullopt;
    return settings.value(key);
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
