#include "Platform/Workspace/ApplicationEvents.h"

#include "Platform/Workspace/DesktopEntries.h"

#include <QFileInfo>

namespace quillmere {

std::optional<QString> ApplicationEvents::bundleIdentifierOf(const QString &appBundlePath)
{
    if (appBundlePath.isEmpty())
        return std::nullopt;
    const QFileInfo info(appBundlePath);
    if (!info.exists() || !info.isFile())
        return std::nullopt;
    // The id a launched entry is reported under: a file in a subfolder of an applications
    // folder has the subfolder in its id.
    if (const std::optional<QString> id = desktopFileId(appBundlePath, defaultDataDirs()))
        return id;
    if (!info.isExecutable())
        return std::nullopt;
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty())
        return std::nullopt;
    return canonical;
}

std::optional<QList<RunningApplication>> ApplicationEvents::runningApplicationsFor(const QString &) const
{
    return std::nullopt;
}

} // namespace quillmere
