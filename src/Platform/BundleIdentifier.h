#pragma once

#include <QString>

namespace quillmere {

// Names this application to the Secret Service, the settings files and the system log.
inline QString bundleIdentifier()
{
    return QStringLiteral("app.quillmere.Quillmere");
}

} // namespace quillmere
