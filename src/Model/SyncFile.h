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

// The stored values of one tracked file. The lane that owns the folder (src/Lane) writes
// every field; besides it only the panel writes, when the user acknowledges a conflict
// (App/PanelState: status, direction, the conflict fields). The record-state table (status by
// desired state, and the transitions between them) is in the design record.
struct SyncFileData
{
    // Absolute path of the file on this disk; unique in the store. Intake (renames, moves),
    // the change feed (a service move) and the plan layout rename it.
    QString localPath;
    // The service's id of the file this record stands for; none until the file reached the
    // service. Set by an upload, the change feed and the full sync; cleared when the record
    // lets go of the service file (SyncLane::forgetServiceFile).
    std::optional<qint64> remoteId;
    // The last component of localPath, kept alongside it.
    QString filename;
    // Content hash of the copy here as last confirmed (upload, download, hash check).
    std::optional<QString> localChecksum;
    // Content hash of the service's version as last listed (change feed, full sync).
    std::optional<QString> remoteChecksum;
    // Content hash of the version this folder last uploaded (or confirmed as the service's
    // copy of a held duplicate); cleared when the record lets go of the service file.
    std::optional<QString> lfsOid;
    // When a local change was seen, on the lane's clock: the queue lets a file settle from
    // then. None for an owed operation that needs no settling (a scan's delete or upload).
    std::optional<QDateTime> localModifiedAt;
    // A time of the service's, never this device's: the newest one the lane had read (a
    // change's or a listed file's) when it last settled the record as synced; none when it
    // had read none. Set by every settle, carried to a move's origin record and cleared with
    // the service file. A delete at the service later than it came after that settle.
    std::optional<QDateTime> remoteModifiedAt;
    // When an upload or download last completed here; none for a file never synced here.
    std::optional<QDateTime> lastSyncedAt;
    // Which way the owed or last operation goes; `conflict` after an upload the service
    // answered as a conflict. Written with desiredState by the owe* transitions.
    SyncFileDirection syncDirection = SyncFileDirection::upload;
    // Where the record stands: pending (owed, or waiting on its back-off), syncing (its
    // operation runs), synced, error (failed for good until a change or full sync), conflict.
    SyncFileStatus syncStatus = SyncFileStatus::pending;
    // The user-facing reason of the last failure (failure handling), cleared by
    // clearFailure() and markSynced().
    std::optional<QString> errorMessage;
    // Size of the file. Nothing sets it today (it stays 0): only carried to a move's origin.
    qint64 fileSize = 0;
    // The sync folder this record belongs to (the lane's id).
    std::optional<QUuid> folderID;
    // The operation owed (none when nothing is): see dispatchRank for the order they run in.
    std::optional<SyncFileDesiredState> desiredState = SyncFileDesiredState::syncedLocal;
    // Raised by every change seen while an operation of the record runs, so its completion
    // leaves the record owed instead of synced.
    qint64 generation = 0;
    // Failed attempts of the owed operation in a row (failure handling); 0 when owed afresh.
    qint64 retryCount = 0;
    // When a failed operation may run again; none when due now (or not owed).
    std::optional<QDateTime> nextRetryAt;
    // The service's stable id of the file across renames (upload result).
    std::optional<QString> fileUUID;
    // The plan folder's commit this file's last upload was based on (plan folders only).
    std::optional<QString> baseCommitSha;
    // The inode of the local file, which finds a moved file again (intake, scans, upload).
    std::optional<qint64> inode;
    // The conflict the service reported for the last upload (SyncLane::applyConflict), none
    // otherwise: its id, kind, common ancestor, the service's content id and its message. A
    // local edit keeps them (the panel lists the record while its new upload is owed); an
    // upload accepted without a conflict, a record letting go of its service file, or the
    // user's Acknowledge clears them.
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
    // The condition of the conflict index as SQL: in conflict, or carrying a conflict id. A
    // query is served by that index when its WHERE holds this text as one of its AND terms.
    static const QString &conflictCondition();

    // Transitions. Each writes exactly the fields it names; the caller writes whatever else
    // its case needs (a status, a change time). Every owe* makes the operation due now: no
    // failed attempts counted, no retry time.
    //
    // Upload owed: direction upload, desired uploadPending.
    void oweUpload();
    // Download owed: direction download, desired downloadPending.
    void oweDownload();
    // Delete of the copy here owed (the service's file is gone): direction download, desired
    // deletedLocal. The delete still keeps a local edit.
    void oweLocalDelete();
    // Delete at the service owed (the copy here is gone): desired deletedRemote, no change
    // time (nothing here to settle). The direction stays as it was.
    void oweRemoteDelete();
    // Owed again, from now, with the operation it owes: status pending, no failed attempts,
    // no retry time. A failure message stays as it is.
    void oweAgain();
    // As oweAgain, and the last failure's message is cleared.
    void clearFailure();
    // The owed operation completed: status `shown` (synced, or conflict after a conflict
    // resolution or an upload the service answered as a conflict; conflict, whatever `shown`
    // says, while the record carries a conflict id nobody acknowledged), desired syncedLocal,
    // no failure message, no failed attempts, no retry time.
    void markSynced(SyncStatus shown = SyncStatus::synced);
    // The user acknowledged the conflict: direction upload (when it was conflict), the five
    // conflict fields absent. A record in `conflict` whose edit was held back by it is owed its
    // upload again (pending, due now: no change time) over the service's version the user has
    // now seen, which becomes its last synced content (localChecksum; the service's checksum
    // is forgotten instead when the record holds no service file); another in `conflict` is
    // synced; one edited since the conflict keeps its status and its owed upload.
    void acknowledgeConflict();
    // In `conflict` with its edit held back (nothing uploaded, both versions kept): owed its
    // upload until the user acknowledges the conflict.
    bool holdsEditBack() const
    {
        return syncStatus() == SyncStatus::conflict && desiredState() == DesiredState::uploadPending;
    }
    // The five conflict fields absent (no conflict reported, or it was seen).
    void clearConflict();

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
