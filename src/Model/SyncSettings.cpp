#include "Model/SyncSettings.h"

namespace quillmere {

const TableLayout<SyncSettingsData> &SyncSettings::layout()
{
    using D = Data;
    static const TableLayout<D> s(
        QStringLiteral("SyncSettings"), typeIndex,
        {
            column<&D::launchAtLogin, D>("launchAtLogin", "INTEGER NOT NULL"),
            column<&D::lastDeltaSyncCursor, D>("lastDeltaSyncCursor", "TEXT"),
            column<&D::pauseUntil, D>("pauseUntil", "INTEGER"),
            column<&D::syncFolderPath, D>("syncFolderPath", "TEXT"),
            column<&D::fileExtensions, D>("fileExtensions", "TEXT NOT NULL"),
            column<&D::syncMode, D>("syncMode", "TEXT NOT NULL"),
        },
        {}, QString(), [] { return std::static_pointer_cast<Record>(std::make_shared<SyncSettings>()); });
    return s;
}

} // namespace quillmere
