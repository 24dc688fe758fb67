#include "Platform/Workspace/ApplicationEvents.h"

#include <QFileInfo>

namespace quillmere {

std::optional<QString> ApplicationEvents::bundleIdentifierOf(const QString &appBundlePath)
{
    if (appBundlePath.isEmpty())
        return std::nullopt;
    const QFileInfo info(appBundlePath);
    if (!info.exists() || !info.isFile())
        return std::nullopt;
    static const QString suffix = QStringLiteral(".desktop");
    if (info.fileName().endsWith(suffix) && info.fileName().size() > suffix.size())
        return info.fileName().chopped(suffix.size());
    if (!info.isExecutable())
        return std::nullopt;
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty())
        return std::nullopt;
    return canonical;
}

} // namespace quillmere
