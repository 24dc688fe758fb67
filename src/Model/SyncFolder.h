#pragma once

#include "FileServices/FileScan.h"
#include "Model/FolderPolicy.h"
#include "Model/SyncRule.h"

#include <QStringList>
#include <QUuid>

#include <optional>
#include <vector>

namespace quillmere {

class DAWConfiguration;

enum class SyncFolderType { harborly, references, unorganisedAudio, projectsFolder };
enum class SyncFolderSyncMode { uploadOnly, bidirectional, downloadOnly };

template<>
struct EnumStrings<SyncFolderType>
{
    using E = SyncFolderType;
    static constexpr std::array<std::pair<E, const char *>, 4> table{{
        {E::harborly, "harborly"},
        {E::references, "reference"},
        {E::unorganisedAudio, "unorganised"},
        {E::projectsFolder, "drive"},
    }};
    // Takes files as they are, without the plan mirror's listing rules.
    static constexpr E fallback = E::projectsFolder;
};

template<>
struct EnumStrings<SyncFolderSyncMode>
{
    using E = SyncFolderSyncMode;
    static constexpr std::array<std::pair<E, const char *>, 3> table{{
        {E::uploadOnly, "upload_only"},
        {E::bidirectional, "bidirectional"},
        {E::downloadOnly, "download_only"},
    }};
    static constexpr E fallback = E::bidirectional;
};

struct SyncFolderData
{
    QUuid stableID;
    QString name;
    SyncFolderType folderType = SyncFolderType::projectsFolder;
    std::optional<QString> folderPath;
    QStringList fileExtensions;
    SyncFolderSyncMode syncMode = SyncFolderSyncMode::bidirectional;
    bool isEnabled = false;
    qint64 sortOrder = 0;
    bool needsResync = false;
    std::optional<QString> deltaCursor;
    std::optional<QString> headCommitSha;
    bool allDAWs = false;
    bool applicationGuardsEnabled = true;
    std::optional<SyncRulePriority> storedDefaultSyncPriority;
    // Absent until loaded from the store.
    std::optional<std::vector<std::shared_ptr<DAWConfiguration>>> associatedDAWs;
};

// One local folder kept in step with the service (one sync lane each).
class SyncFolder : public RecordOf<SyncFolder, SyncFolderData>
{
public:
    using Data = SyncFolderData;
    using FolderType = SyncFolderType;
    using SyncMode = SyncFolderSyncMode;

    enum class Field {
        stableID,
        name,
        folderType,
        folderPath,
        fileExtensions,
        syncMode,
        isEnabled,
        sortOrder,
        needsResync,
        deltaCursor,
        headCommitSha,
        allDAWs,
        applicationGuardsEnabled,
        storedDefaultSyncPriority,
        associatedDAWs, // relationship, not a column
    };
    static constexpr int typeIndex = 3;

    // stableID is a new random UUID unless the creator supplies one.
    SyncFolder(QString name, FolderType folderType, std::optional<QString> folderPath, QStringList fileExtensions,
               SyncMode syncMode, bool isEnabled, qint64 sortOrder, bool allDAWs,
               std::optional<SyncRulePriority> defaultSyncPriority, bool applicationGuardsEnabled,
               std::vector<std::shared_ptr<DAWConfiguration>> associatedDAWs,
               std::optional<QUuid> stableID = std::nullopt);
    SyncFolder() = default;

    static const TableLayout<Data> &layout();
    static FetchDescriptor<SyncFolder> all();
    // The folders the engine runs lanes for, in display order.
    static FetchDescriptor<SyncFolder> enabledByOrder();
    static FetchDescriptor<SyncFolder> withStableID(const QUuid &id);

    QUILLMERE_FIELD(QUuid, stableID, setStableID)
    QUILLMERE_FIELD(QString, name, setName)
    QUILLMERE_FIELD(FolderType, folderType, setFolderType)
    QUILLMERE_FIELD(std::optional<QString>, folderPath, setFolderPath)
    QUILLMERE_FIELD(QStringList, fileExtensions, setFileExtensions)
    QUILLMERE_FIELD(SyncMode, syncMode, setSyncMode)
    QUILLMERE_FIELD(bool, isEnabled, setIsEnabled)
    QUILLMERE_FIELD(qint64, sortOrder, setSortOrder)
    QUILLMERE_FIELD(bool, needsResync, setNeedsResync)
    QUILLMERE_FIELD(std::optional<QString>, deltaCursor, setDeltaCursor)
    QUILLMERE_FIELD(std::optional<QString>, headCommitSha, setHeadCommitSha)
    QUILLMERE_FIELD(bool, allDAWs, setAllDAWs)
    QUILLMERE_FIELD(bool, applicationGuardsEnabled, setApplicationGuardsEnabled)
    QUILLMERE_FIELD(std::optional<SyncRulePriority>, storedDefaultSyncPriority, setStoredDefaultSyncPriority)

    // Which files the folder syncs: the root's files of its extensions for unorganised audio,
    // the whole tree for every other kind. The lane and the engine's reset ask the same rule.
    FolderScope scope() const;
    // What the folder does, from its mode and its kind.
    FolderPolicy policy() const { return FolderPolicy::of(syncMode(), folderType()); }

    // The stored priority, or high when none is stored; writing stores the value.
    SyncRulePriority defaultSyncPriority() const;
    void setDefaultSyncPriority(SyncRulePriority value);

    // The many-to-many link with DAWConfiguration::associatedFolders (deleted profiles
    // never appear).
    std::vector<std::shared_ptr<DAWConfiguration>> associatedDAWs() const;
    void setAssociatedDAWs(std::vector<std::shared_ptr<DAWConfiguration>> value);

private:
    friend class ModelContext;
    void invalidateRelations() override;
    // The list as held, loading it first when needed (deleted profiles included).
    const std::vector<std::shared_ptr<DAWConfiguration>> &heldDAWs() const;
};

} // namespace quillmere
