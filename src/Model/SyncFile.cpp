#include "Model/SyncFile.h"

#include "Model/ModelContext.h"

namespace quillmere {

SyncFile::SyncFile(QString localPath, QString filename)
{
    m_d.localPath = std::move(localPath);
    m_d.filename = std::move(filename);
}

const TableLayout<SyncFileData> &SyncFile::layout()
{
    using D = Data;
    static const TableLayout<D> s(
        QStringLiteral("SyncFile"), typeIndex,
        {
            column<&D::localPath, D>("localPath", "TEXT NOT NULL"),
            column<&D::remoteId, D>("remoteId", "INTEGER"),
            column<&D::filename, D>("filename", "TEXT NOT NULL"),
            column<&D::localChecksum, D>("localChecksum", "TEXT"),
            column<&D::remoteChecksum, D>("remoteChecksum", "TEXT"),
            column<&D::lfsOid, D>("lfsOid", "TEXT"),
            column<&D::localModifiedAt, D>("localModifiedAt", "INTEGER"),
            column<&D::remoteModifiedAt, D>("remoteModifiedAt", "INTEGER"),
            column<&D::lastSyncedAt, D>("lastSyncedAt", "INTEGER"),
            column<&D::syncDirection, D>("syncDirection", "TEXT NOT NULL"),
            column<&D::syncStatus, D>("syncStatus", "TEXT NOT NULL"),
            column<&D::errorMessage, D>("errorMessage", "TEXT"),
            column<&D::fileSize, D>("fileSize", "INTEGER NOT NULL"),
            column<&D::folderID, D>("folderID", "TEXT"),
            column<&D::desiredState, D>("desiredState", "TEXT DEFAULT 'syncedLocal'"),
            column<&D::generation, D>("generation", "INTEGER NOT NULL DEFAULT 0"),
            column<&D::retryCount, D>("retryCount", "INTEGER NOT NULL DEFAULT 0"),
            column<&D::nextRetryAt, D>("nextRetryAt", "INTEGER"),
            column<&D::fileUUID, D>("fileUUID", "TEXT"),
            column<&D::baseCommitSha, D>("baseCommitSha", "TEXT"),
            column<&D::inode, D>("inode", "INTEGER"),
            column<&D::conflictID, D>("conflictID", "INTEGER"),
            column<&D::conflictType, D>("conflictType", "TEXT"),
            column<&D::conflictCommonAncestor, D>("conflictCommonAncestor", "TEXT"),
            column<&D::conflictServerOid, D>("conflictServerOid", "TEXT"),
            column<&D::conflictMessage, D>("conflictMessage", "TEXT"),
        },
        {
            QStringLiteral("CREATE UNIQUE INDEX SyncFile_localPath ON SyncFile(localPath)"),
            // A transfer's completion finds its record by file UUID within the folder: with the
            // folder in the key, SQLite seeks this index rather than walking the folder's.
            QStringLiteral("CREATE INDEX SyncFile_fileUUID_folder ON SyncFile(fileUUID, folderID)"),
            QStringLiteral("CREATE INDEX SyncFile_folder_desiredState ON SyncFile(folderID, desiredState)"),
            // The records of the folder that hold a service file: the change feed places each
            // change by its id, and a delete at the service asks who else holds the id.
            QStringLiteral("CREATE INDEX SyncFile_folder_remoteId ON SyncFile(folderID, remoteId)"),
            // The next owed record is the first due entry of this index within (folder,
            // 'pending'): rank, then oldest change (NULL first), then row id, with no sort.
            QStringLiteral("CREATE INDEX SyncFile_dispatch ON SyncFile(folderID, syncStatus, (%1), localModifiedAt)")
                .arg(dispatchRankSql()),
            // The few records that carry a conflict, for the conflict count and list: without it
            // both walk every owed record of the folder. Its condition is conflictCondition()
            // word for word, which the count states, so that SQLite knows the index serves it.
            QStringLiteral("CREATE INDEX SyncFile_conflicts ON SyncFile(folderID, syncStatus) WHERE %1")
                .arg(conflictCondition()),
        },
        QStringLiteral("localPath"), [] { return std::static_pointer_cast<Record>(std::make_shared<SyncFile>()); });
    return s;
}

FetchDescriptor<SyncFile> SyncFile::withLocalPath(const QString &path)
{
    FetchDescriptor<SyncFile> d;
    d.equals(Field::localPath, path).limitTo(1);
    return d;
}

FetchDescriptor<SyncFile> SyncFile::withFileUUID(const QString &fileUUID)
{
    FetchDescriptor<SyncFile> d;
    if (fileUUID.isEmpty())
        d.isNull(Field::fileUUID).notNull(Field::fileUUID);
    else
        d.equals(Field::fileUUID, fileUUID);
    d.limitTo(1);
    return d;
}

FetchDescriptor<SyncFile> SyncFile::inFolder(const QUuid &folderID)
{
    FetchDescriptor<SyncFile> d;
    d.equals(Field::folderID, folderID);
    return d;
}

std::optional<int> SyncFile::dispatchRank(std::optional<DesiredState> state)
{
    if (!state)
        return std::nullopt;
    switch (*state) {
    case DesiredState::deletedRemote:
    case DesiredState::deletedLocal:
        return 0;
    case DesiredState::conflictResolutionPending:
        return 1;
    case DesiredState::uploadPending:
        return 2;
    case DesiredState::downloadPending:
        return 3;
    case DesiredState::syncedLocal:
    case DesiredState::downloadHeld:
        break;
    }
    return std::nullopt;
}

const QString &SyncFile::dispatchRankSql()
{
    static const QString expression = [] {
        QString sql = QStringLiteral("CASE desiredState");
        for (DesiredState state : allCases<DesiredState>())
            if (auto rank = dispatchRank(state))
                sql += QStringLiteral(" WHEN '%1' THEN %2").arg(rawValue(state)).arg(*rank);
        return sql + QStringLiteral(" END");
    }();
    return expression;
}

const QString &SyncFile::conflictCondition()
{
    static const QString condition =
        QStringLiteral("(syncStatus = '%1' OR conflictID IS NOT NULL)").arg(rawValue(SyncStatus::conflict));
    return condition;
}

void SyncFile::oweUpload()
{
    setSyncDirection(SyncDirection::upload);
    setDesiredState(DesiredState::uploadPending);
    setRetryCount(0);
    setNextRetryAt(std::nullopt);
}

void SyncFile::oweDownload()
{
    setSyncDirection(SyncDirection::download);
    setDesiredState(DesiredState::downloadPending);
    setRetryCount(0);
    setNextRetryAt(std::nullopt);
}

void SyncFile::oweLocalDelete()
{
    setSyncDirection(SyncDirection::download);
    setDesiredState(DesiredState::deletedLocal);
    setRetryCount(0);
    setNextRetryAt(std::nullopt);
}

void SyncFile::oweRemoteDelete()
{
    setDesiredState(DesiredState::deletedRemote);
    setLocalModifiedAt(std::nullopt);
    setRetryCount(0);
    setNextRetryAt(std::nullopt);
}

void SyncFile::oweAgain()
{
    setSyncStatus(SyncStatus::pending);
    setRetryCount(0);
    setNextRetryAt(std::nullopt);
}

void SyncFile::clearFailure()
{
    oweAgain();
    setErrorMessage(std::nullopt);
}

void SyncFile::markSynced(SyncStatus shown)
{
    // Whatever settled it, a conflict nobody has acknowledged keeps the record in the list.
    setSyncStatus(conflictID() ? SyncStatus::conflict : shown);
    setDesiredState(DesiredState::syncedLocal);
    setErrorMessage(std::nullopt);
    setRetryCount(0);
    setNextRetryAt(std::nullopt);
}

void SyncFile::acknowledgeConflict()
{
    if (holdsEditBack()) {
        // The service's version the user has now seen counts as the one last synced here, kept
        // through full syncs and restarts: only a still newer one holds the edit back again.
        // A record that holds no service file has no such place: the version is forgotten.
        // (A held conflict names the service's version by its SHA-256.)
        if (const auto seen = conflictServerOid(); seen && seen->size() == 64 && remoteId())
            setLocalChecksum(seen->toLower());
        else
            setRemoteChecksum(std::nullopt);
        oweAgain();
        setLocalModifiedAt(std::nullopt); // the edit settled long ago: due now
    } else if (syncStatus() == SyncStatus::conflict) {
        setSyncStatus(SyncStatus::synced);
    } // else edited since the conflict: its upload stays owed as it is
    if (syncDirection() == SyncDirection::conflict)
        setSyncDirection(SyncDirection::upload);
    clearConflict();
}

void SyncFile::clearConflict()
{
    setConflictID(std::nullopt);
    setConflictType(std::nullopt);
    setConflictCommonAncestor(std::nullopt);
    setConflictServerOid(std::nullopt);
    setConflictMessage(std::nullopt);
}

void SyncFile::setLocalPath(QString value)
{
    QString old = m_d.localPath;
    if (write(int(Field::localPath), &Data::localPath, std::move(value)) && context())
        context()->syncFileRenamed(this, old);
}

void SyncFile::takeValuesOf(const SyncFile &other)
{
    const auto &columns = layout().columns;
    for (size_t c = 0; c < columns.size(); ++c) {
        const SqlValue v = columns[c].get(other.m_d, nullptr);
        if (compareSqlValues(v, columns[c].get(m_d, nullptr)) == 0)
            continue;
        if (wantsSnapshot() && !m_saved)
            m_saved = std::make_unique<Data>(m_d);
        columns[c].set(m_d, v);
        noteWrite(int(c));
    }
}

} // namespace quillmere
