#pragma once

#include <QString>

namespace quillmere {

// This computer's identifier and display name, made on first use and kept in the standard
// settings until the local-state reset removes them. Main thread.
class DeviceIdentity
{
public:
    DeviceIdentity() = delete;

    static QString deviceIDKey() { return QStringLiteral("quillmere.device.id"); }
    static QString deviceNameKey() { return QStringLiteral("quillmere.device.name"); }

    // The stored identifier, or a new upper-case UUID text stored first.
    static QString deviceID();
    // The stored name, or the system's display name for this computer stored first.
    static QString deviceName();
};

} // namespace quillmere
