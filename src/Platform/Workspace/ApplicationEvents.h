#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <optional>

namespace quillmere {

struct RunningApplication
{
    QString bundleIdentifier;
    // The desktop entry's name in the user's language, else the executable's file name.
    QString name;
    // The executable of the application's lowest-numbered process.
    QString executablePath;

    bool operator==(const RunningApplication &) const = default;
};

// Launches and quits of the user's applications, each application named by its bundle
// identifier: the desktop-file id (the file name without ".desktop") of an application that
// has one, else the canonical path of its executable. An application of several processes
// launches once and quits once. Main thread only.
class ApplicationEvents : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // The bundle identifier of an application profile's path: a ".desktop" file that exists
    // gives its desktop-file id, an existing executable file its canonical path; anything else
    // has none.
    static std::optional<QString> bundleIdentifierOf(const QString &appBundlePath);

    // The running applications that a profile identifier (see bundleIdentifierOf) names: the
    // application of that bundle identifier, and every application one of whose processes runs
    // that executable, runs it as the script or program of its command line (an interpreter, a
    // launcher, wine) or is that sandboxed application (flatpak, snap, AppImage). None when
    // this object cannot tell: it keeps no list (this base class), has not finished a scan yet,
    // or its latest scan failed.
    virtual std::optional<QList<RunningApplication>> runningApplicationsFor(const QString &profileIdentifier) const;

Q_SIGNALS:
    void applicationLaunched(const QString &bundleIdentifier);
    void applicationTerminated(const QString &bundleIdentifier);
};

} // namespace quillmere
