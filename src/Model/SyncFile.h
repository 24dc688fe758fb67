#pragma once

#include "Model/FetchDescriptor.h"
#include "Model/FieldMacros.h"
#include "Model/RecordOf.h"

#include <QDateTime>
#include <QUuid>

#include <optional>

namespace quillmere {

enum class SyncFileDirection { upload, download, conflict };
enum class SyncFileStatus { synced, pending, syncing, error, conflict };
enum class SyncFileDesiredState {
    syncedLocal,
    uploadPending,
    downloadPending,
    downloadHeld,
    deletedRemote,
    deletedLocal,
    conflictResolutionPending,
};

template<>
struct EnumStrings<SyncFileDirection>
{
    using E = SyncFileDirection;
    static constexpr std::array<std::pair<E, const char *>, 3> table{{
        {E::upload, "upload"},
        {E::download, "download"},
        {E::conflict, "conflict"},
    }};
    static constexpr E fallback = E::upload;
};

template<>
struct EnumStrings<SyncFileStatus>
{
    using E = SyncFileStatus;
    static constexpr std::array<std::pair<E, const char *>, 5> table{{
        {E::synced, "synced"},
        {E::pending, "pending"},
        {E::syncing, "syncing"},
        {E::error, "error"},
        {E::conflict, "conflict"},
    }};
    // A damaged status is shown as a failure and takes no part in the queue.
    static constexpr E fallback = E::error;
};

template<>
struct EnumStrings<SyncFileDesiredState>
{
    using E = SyncFileDesiredState;
    static constexpr std::array<std::pair<E, const char *>, 7> table{{
        {E::syncedLocal, "syncedLocal"},
        {E::uploadPending, "uploadPending"},
        {E::downloadPending, "downloadPending"},
        {E::downloadHeld, "downloadHeld"},
        {E::deletedRemote, "deletedRemote"},
        {E::deletedLocal, "deletedLocal"},
        {E::conflictResolutionPending, "conflictResolutionPending"},
    }};
    static constexpr E fallback = E::syncedLocal;
};

struct SyncFileData
{
    QString localPath;
    std::optional<qint64> remoteId;
    QString filename;
    std::optional<QString> localChecksum;
    std::optional<QString> remoteChecksum;
    std::optional<QString> lfsOid;
    std::optional<QDateTime> localModifiedAt;
    std::optional<QDateTime> remoteModifiedAt;
    std::optional<QDateTime> lastSyncedAt;
    SyncFileDirection syncDirection = SyncFileDirection::upload;
    SyncFileStatus syncStatus = SyncFileStatus::pending;
    std::optional<QString> errorMessage;
    qint64 fileSize = 0;
    std::optional<QUuid> folderID;
    std::optional<SyncFileDesiredState> desiredState = SyncFileDesiredState::syncedLocal;
    qint64 generation = 0;
    qint64 retryCount = 0;
    std::optional<QDateTime> nextRetryAt;
    std::optional<QString> fileUUID;
    std::optional<QString> baseCommitSha;
    std::optional<qint64> inode;
    std::optional<qint64> conflictID;
    std::optional<QString> conflictType;
    std::optional<QString> conflictCommonAncestor;
    std::optional<QString> conflictServerOid;
    std::optional<QString> conflictMessage;
};

// One tracked file of one sync folder. localPath is unique in the store: inserting a
// record whose path is already stored updates that record instead, and renaming a record
// onto a stored path removes the record there (see ModelContext).
class SyncFile : public RecordOf<SyncFile, SyncFileData>
{
public:
    using Data = SyncFileData;
    using SyncDirection = SyncFileDirection;
    using SyncStatus = SyncFileStatus;
    using DesiredState = SyncFileDesiredState;

    enum class Field {
        localPath,
        remoteId,
        filename,
        localChecksum,
        remoteChecksum,
        lfsOid,
        localModifiedAt,
        remoteModifiedAt,
        lastSyncedAt,
        syncDirection,
        syncStatus,
        errorMessage,
        fileSize,
        folderID,
        desiredState,
        generation,
        retryCount,
        nextRetryAt,
        fileUUID,
        baseCommitSha,
        inode,
        conflictID,
        conflictType,
        conflictCommonAncestor,
        conflictServerOid,
        conflictMessage,
    };
    static constexpr int typeIndex = 2;

    SyncFile(QString localPath, QString filename);
    SyncFile() = default;

    static const TableLayout<Data> &layout();

    static FetchDescriptor<SyncFile> withLocalPath(const QString &path);
    // An empty text finds no record.
    static FetchDescriptor<SyncFile> withFileUUID(const QString &fileUUID);
    // Narrow further with .in(Field::syncStatus, ...) / .in(Field::desiredState, ...).
    static FetchDescriptor<SyncFile> inFolder(const QUuid &folderID);

    // The order in which owed work is dispatched, lower first: deletions (both ways), then
    // conflict resolutions, uploads, downloads. Absent for states that are never dispatched
    // (syncedLocal, downloadHeld, none). dispatchRankSql() is the same table as an SQL
    // expression over desiredState (NULL where absent); the dispatch index is built on it,
    // so a query must use this exact text to be served by that index.
    static std::optional<int> dispatchRank(std::optional<DesiredState> state);
    static const QString &dispatchRankSql();

    const QString &localPath() const { return m_d.localPath; }
    void setLocalPath(QString value);
    QUILLMERE_FIELD(std::optional<qint64>, remoteId, setRemoteId)
    QUILLMERE_FIELD(QString, filename, setFilename)
    QUILLMERE_FIELD(std::optional<QString>, localChecksum, setLocalChecksum)
    QUILLMERE_FIELD(std::optional<QString>, remoteChecksum, setRemoteChecksum)
    QUILLMERE_FIELD(std::optional<QString>, lfsOid, setLfsOid)
    QUILLMERE_FIELD(std::optional<QDateTime>, localModifiedAt, setLocalModifiedAt)
    QUILLMERE_FIELD(std::optional<QDateTime>, remoteModifiedAt, setRemoteModifiedAt)
    QUILLMERE_FIELD(std::optional<QDateTime>, lastSyncedAt, setLastSyncedAt)
    QUILLMERE_FIELD(SyncDirection, syncDirection, setSyncDirection)
    QUILLMERE_FIELD(SyncStatus, syncStatus, setSyncStatus)
    QUILLMERE_FIELD(std::optional<QString>, errorMessage, setErrorMessage)
    QUILLMERE_FIELD(qint64, fileSize, setFileSize)
    QUILLMERE_FIELD(std::optional<QUuid>, folderID, setFolderID)
    QUILLMERE_FIELD(std::optional<DesiredState>, desiredState, setDesiredState)
    QUILLMERE_FIELD(qint64, generation, setGeneration)
    QUILLMERE_FIELD(qint64, retryCount, setRetryCount)
    QUILLMERE_FIELD(std::optional<QDateTime>, nextRetryAt, setNextRetryAt)
    QUILLMERE_FIELD(std::optional<QString>, fileUUID, setFileUUID)
    QUILLMERE_FIELD(std::optional<QString>, baseCommitSha, setBaseCommitSha)
    QUILLMERE_FIELD(std::optional<qint64>, inode, setInode)
    QUILLMERE_FIELD(std::optional<qint64>, conflictID, setConflictID)
    QUILLMERE_FIELD(std::optional<QString>, conflictType, setConflictType)
    QUILLMERE_FIELD(std::optional<QString>, conflictCommonAncestor, setConflictCommonAncestor)
    QUILLMERE_FIELD(std::optional<QString>, conflictServerOid, setConflictServerOid)
    QUILLMERE_FIELD(std::optional<QString>, conflictMessage, setConflictMessage)

private:
    friend class ModelContext;
    // Makes this record hold every stored value of other (the replace of an insert).
    void takeValuesOf(const SyncFile &other);
};

} // namespace quillmere
