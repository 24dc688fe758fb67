#include "Accounts/DeviceIdentity.h"

#include "Platform/Settings/UserDefaults.h"

#include <QFile>
#include <QSysInfo>
#include <QUuid>

namespace quillmere {

namespace {

// The "pretty" host name a user may have set (hostnamectl), with spaces and capitals.
QString prettyHostName()
{
    QFile file(QStringLiteral("/etc/machine-info"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.startsWith(QLatin1String("PRETTY_HOSTNAME=")))
            continue;
        QString value = line.mid(int(qstrlen("PRETTY_HOSTNAME=")));
        if (value.size() >= 2 && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\''))
            && value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return value.trimmed();
    }
    return {};
}

} // namespace

QString DeviceIdentity::deviceID()
{
    UserDefaults defaults = UserDefaults::standard();
    if (const auto stored = defaults.string(deviceIDKey()); stored && !stored->isEmpty())
        return *stored;
    const QString made = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    defaults.setString(deviceIDKey(), made);
    return made;
}

QString DeviceIdentity::deviceName()
{
    UserDefaults defaults = UserDefaults::standard();
    if (const auto stored = defaults.string(deviceNameKey()); stored && !stored->isEmpty())
        return *stored;
    QString name = prettyHostName();
    if (name.isEmpty())
        name = QSysInfo::machineHostName();
    defaults.setString(deviceNameKey(), name);
    return name;
}

} // namespace quillmere
