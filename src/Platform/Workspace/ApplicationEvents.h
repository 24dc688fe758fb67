#pragma once

#include <QObject>
#include <QString>

#include <optional>

namespace quillmere {

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

Q_SIGNALS:
    void applicationLaunched(const QString &bundleIdentifier);
    void applicationTerminated(const QString &bundleIdentifier);
};

} // namespace quillmere
