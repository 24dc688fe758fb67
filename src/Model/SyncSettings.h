#pragma once

#include "Model/SyncFolder.h"

#include <QDateTime>

namespace quillmere {

struct SyncSettingsData
{
    bool launchAtLogin = false;
    std::optional<QString> lastDeltaSyncCursor;
    std::optional<QDateTime> pauseUntil;
    std::optional<QString> syncFolderPath;
    QStringList fileExtensions{QStringLiteral(".wav"), QStringLiteral(".mp3")};
    SyncFolderSyncMode syncMode = SyncFolderSyncMode::bidirectional;
};

// The single application-wide settings record.
class SyncSettings : public RecordOf<SyncSettings, SyncSettingsData>
{
public:
    using Data = SyncSettingsData;
    enum class Field { launchAtLogin, lastDeltaSyncCursor, pauseUntil, syncFolderPath, fileExtensions, syncMode };
    static constexpr int typeIndex = 0;

    SyncSettings() = default;

    static const TableLayout<Data> &layout();
    static FetchDescriptor<SyncSettings> all() { return {}; }

    QUILLMERE_FIELD(bool, launchAtLogin, setLaunchAtLogin)
    QUILLMERE_FIELD(std::optional<QString>, lastDeltaSyncCursor, setLastDeltaSyncCursor)
    QUILLMERE_FIELD(std::optional<QDateTime>, pauseUntil, setPauseUntil)
    QUILLMERE_FIELD(std::optional<QString>, syncFolderPath, setSyncFolderPath)
    QUILLMERE_FIELD(QStringList, fileExtensions, setFileExtensions)
    QUILLMERE_FIELD(SyncFolderSyncMode, syncMode, setSyncMode)
};

} // namespace quillmere
