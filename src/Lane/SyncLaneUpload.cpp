#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"

#include "Accounts/DeviceIdentity.h"
#include "ActivityLog/SyncLogger.h"
#include "FileServices/FileChecksum.h"
#include "Model/LaneQueries.h"
#include "Model/ModelContext.h"
#include "Model/MultipartUploadState.h"
#include "Model/OperationResolution.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Background.h"
#include "Platform/Async/CancelledError.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <sys/stat.h>

#include <utility>

namespace quillmere {

namespace {

std::optional<qint64> inodeOf(const QString &path)
{
    struct stat status{};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    return qint64(status.st_ino);
}

} // namespace

std::optional<QString> SyncLane::nonEmpty(const std::optional<QString> &text)
{
    if (!text || text->isEmpty())
        return std::nullopt;
    return text;
}

void SyncLane::applyConflict(const std::optional<FileSyncAPI::UploadConflict> &conflict, SyncFile &record)
{
    if (!conflict) {
        record.clearConflict();
        return;
    }
    record.setConflictID(conflict->id);
    record.setConflictType(conflict->type);
    record.setConflictCommonAncestor(conflict->commonAncestor);
    record.setConflictServerOid(conflict->serverOid);
    record.setConflictMessage(conflict->message);
}

std::shared_ptr<SyncFile> SyncLane::holdingPlace(const std::optional<Dispatched> &dispatched,
                                                 const QString &localPath)
{
    if (dispatched && dispatched->record && dispatched->record->state() == Record::State::persisted
        && dispatched->record->localPath() == localPath && dispatched->record->folderID() == laneID())
        return dispatched->record;
    return fetchRecord(localPath);
}

std::shared_ptr<SyncFile> SyncLane::fetchOrCreateRecord(const QString &localPath)
{
    if (auto record = fetchRecord(localPath))
        return record;
    auto record = std::make_shared<SyncFile>(localPath, QFileInfo(localPath).fileName());
    record->setFolderID(laneID());
    return m_modelContext->insert(std::move(record));
}

FileSyncAPI::MultipartJournal SyncLane::multipartJournal(const QString &localPath)
{
    // Held by both hooks: the one state this upload wrote.
    auto written = std::make_shared<std::shared_ptr<MultipartUploadState>>();
    FileSyncAPI::MultipartJournal journal;
    journal.opened = [weak = weak_from_this(), written, localPath](const FileSyncAPI::OpenedMultipart &opened) {
        const auto lane = weak.lock();
        if (!lane)
            return;
        MultipartUploadState::Data data;
        data.uploadId = opened.uploadId;
        data.oid = opened.oid;
        data.localPath = localPath;
        data.stagedPath = opened.stagedPath;
        data.fileSize = opened.fileSize;
        data.partSize = opened.partSize;
        data.totalParts = opened.totalParts;
        data.createdAt = lane->m_clock.currentDateTime();
        data.folderID = lane->laneID();
        *written = lane->m_modelContext->insert(std::make_shared<MultipartUploadState>(std::move(data)));
        // Before any part goes out: a kill from here on leaves something to abort. The save
        // writes the open commit group with it.
        lane->saveQuietly();
    };
    journal.closed = [weak = weak_from_this(), written] {
        const auto lane = weak.lock();
        const auto state = std::exchange(*written, nullptr);
        if (lane && state && !state->isDeleted())
            lane->m_modelContext->remove(state);
    };
    return journal;
}

void SyncLane::saveJournaled(const std::shared_ptr<OperationResolution> &row, const std::shared_ptr<SyncFile> &record)
{
    if (row)
        m_modelContext->insert(row);
    try {
        m_modelContext->save();
    } catch (...) {
        // Other slots' unsaved work and the folder's cursor are not ours to discard; the
        // group's outcomes, which this save carried, are owed again.
        m_modelContext->rollback(row);
        m_modelContext->rollback(record);
        failGroup();
        throw;
    }
}

QCoro::Task<bool> SyncLane::uploadRecord(QString localPath, std::optional<QString> drivePath, std::stop_token stop,
                                         std::optional<Dispatched> dispatched)
{
    // The queue's pass awaits this; holding the lane keeps `this` valid until the client
    // returns, and the epoch check below turns a stopped lane into a cancellation.
    const auto self = shared_from_this();
    // The progress shown belongs to this upload: it goes when the upload ends, however.
    const auto clearProgress = qScopeGuard([this] { setMultipartProgress(std::nullopt); });
    const quint64 epoch = m_epoch;
    const auto folder = syncFolder();
    const auto api = m_apiClient;

    // An upload that names no base commit the service can judge it by (an edit of a version
    // synced here: it came down, or the user acknowledged it; or a new file where this folder
    // has no commit yet) asks the service first what it holds at the file's id and place, so a
    // newer version or another device's new file of the same name is met below. (A file with
    // a service file and no version synced here meets the one the service holds anyway.)
    // An upload-only folder's files replace whatever the service holds at their place: only
    // an edit of a version synced here asks there.
    const bool twoWay = folder->policy().appliesRemoteInFullSync;
    std::optional<UnseenVersion> unseen;
    if (const auto record = holdingPlace(dispatched, localPath);
        dispatched && record && !nonEmpty(record->baseCommitSha())
        && (record->remoteId() ? lastSyncedContent(*record).has_value()
                               : twoWay && !nonEmpty(folder->headCommitSha()))) {
        auto hearing = hearServiceFirst(localPath, dispatched->generation, epoch, stop, twoWay);
        unseen = co_await std::move(hearing);
    }
    {
        auto meeting = meetServiceVersion(dispatched, localPath, unseen, epoch, stop);
        if (const std::optional<bool> decided = co_await std::move(meeting))
            co_return *decided;
    }

    std::optional<QString> baseCommit = folder->headCommitSha();
    QString fileUUID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    UploadBefore before;
    bool holdsServiceFile = false;
    // Nothing has suspended since the queue read its record: while that one still holds this
    // place, it is the one a fetch would find.
    if (const auto record = holdingPlace(dispatched, localPath)) {
        holdsServiceFile = record->remoteId().has_value();
        if (nonEmpty(record->baseCommitSha()))
            baseCommit = record->baseCommitSha();
        else if (record->remoteId())
            // The service judges a base per file: the folder's head is another file's commit,
            // and the version edited here is the one the service holds (asked just above).
            baseCommit = std::nullopt;
        if (const auto known = nonEmpty(record->fileUUID()))
            fileUUID = *known;
        before = {record->localPath(), record->localChecksum(), record->baseCommitSha(), lastSyncedContent(*record)};
    }
    const QDateTime attemptedAt = m_clock.currentDateTime();

    FileSyncAPI::UploadRequest request;
    request.filePath = localPath;
    // Nothing but a regular file reached through the folder's own folders is read.
    request.folderRoot = folder->folderPath();
    request.folderKind = folder->folderType();
    request.drivePath = drivePath;
    request.baseCommit = baseCommit;
    request.fileUUID = fileUUID;
    request.deviceID = DeviceIdentity::deviceID();
    request.syncFolderID = folder->stableID().toString(QUuid::WithoutBraces).toUpper();
    // The pass's checksum of the file, if any: the upload stats the file again and takes it
    // only while the file still has the stamp it was taken at.
    request.knownChecksum = m_checksums->held(localPath);
    request.multipartJournal = multipartJournal(localPath);
    if (dispatched && !baseCommit && (twoWay || holdsServiceFile)) {
        // Nothing lets the service judge the confirmation: what it holds is heard again right
        // before it, however long the bytes took to go.
        request.beforeConfirm = [weak = weak_from_this(), localPath, epoch](std::stop_token confirmStop) {
            if (const auto lane = weak.lock())
                return lane->judgeBeforeConfirm(localPath, epoch, std::move(confirmStop));
            return []() -> QCoro::Task<> {
                throw CancelledError();
                co_return;
            }();
        };
    }

    FileSyncAPI::UploadResult result;
    std::optional<std::optional<UnseenVersion>> metAtConfirm;
    try {
        auto uploading = api->uploadFile(std::move(request), stop);
        result = co_await awaitStep(std::move(uploading), epoch, stop);
    } catch (const UnseenVersionMet &met) {
        if (!isCurrent(epoch, stop))
            throw CancelledError();
        metAtConfirm = met.unseen;
    }
    if (metAtConfirm) {
        // Sent, never confirmed: the service's version stays its file's version.
        auto meeting = meetServiceVersion(dispatched, localPath, *metAtConfirm, epoch, stop);
        if (const std::optional<bool> decided = co_await std::move(meeting))
            co_return *decided;
        throw CancelledError(); // nothing to meet any more: dispatched again as it is now
    }

    // The hash of the bytes sent: the file may have changed since, and then its own change
    // brings it back to the queue.
    std::optional<QString> checksum = result.contentSHA256;
    if (!checksum) {
        try {
            auto hashing = computeFileChecksum(localPath, stop);
            checksum = co_await std::move(hashing);
        } catch (const FileChecksumError &) {
            // Uploaded all the same; the checksum stays unknown.
        } catch (const CancelledError &) {
            // Told by the check just below.
        }
        if (!isCurrent(epoch, stop))
            throw CancelledError();
    }

    bool completed = false;
    const bool isConflict = result.status == QLatin1String("ok_with_conflict")
                            && !(result.conflict && namesContent(result.conflict->serverOid, before.lastSynced));
    const std::optional<QString> commit = nonEmpty(result.commitSha);
    const std::optional<QString> headBefore = folder->headCommitSha();
    try {
        std::shared_ptr<SyncFile> written;
        // The version the service held was the one this upload edited: no conflict, however
        // the base it named looked to the service.
        FileSyncAPI::UploadResult judged = result;
        if (!isConflict && result.conflict)
            judged.conflict.reset();
        const auto row = recordUploadSuccess(written, localPath, judged, checksum, isConflict, fileUUID, commit, before,
                                             attemptedAt, dispatched);
        // Nothing suspends between this outcome and the queue's completion: one change for both.
        completed = dispatched && written == dispatched->record;
        if (completed)
            settleCompleted(*written, SyncFileDesiredState::uploadPending, dispatched->generation);
        // The service has the bytes: the outcome may wait a moment for the group's commit. A
        // failed commit sets the folder's head commit back to what it was before the group.
        if (written && m_running.contains(written.get()) && !m_group.headBefore)
            m_group.headBefore = headBefore;
        groupOutcome(written, row);
    } catch (...) {
        // Only this upload's own change of the folder is undone.
        if (!folder->isDeleted())
            folder->setHeadCommitSha(headBefore);
        throw;
    }

    releaseStaleHolders(result.fileId, localPath);

    const QString name = QFileInfo(localPath).fileName();
    // Content the service knew is no verification where it went over another version of the
    // file (the one the user saw, acknowledged in this run or before a restart): that is an
    // upload. The same content confirmed again as the version synced here changed nothing
    // anywhere and adds no line (the file's own upload already has one).
    const bool chosen = m_acknowledgedEdits.remove(localPath);
    const bool sameAsSynced = checksum && before.lastSynced == checksum->toLower();
    const bool wentOverAnother = holdsServiceFile && !sameAsSynced;
    if (!(result.wasDeduplicated && sameAsSynced && !chosen && !isConflict))
        recordRecentFile(name, isConflict ? SyncFileDirection::conflict : SyncFileDirection::upload,
                         chosen                                      ? RecentFile::Kind::replaced
                         : result.wasDeduplicated && !wentOverAnother ? RecentFile::Kind::verified
                                                                      : RecentFile::Kind::transferred);
    SyncLogger::shared().log(result.wasDeduplicated ? SyncLogger::Event::fileDeduplicated
                                                    : SyncLogger::Event::fileUploaded,
                             SyncLogger::Direction::upload, name, QStringLiteral("id:%1").arg(result.fileId));
    if (isConflict) {
        const std::optional<QString> said =
            result.conflict ? nonEmpty(result.conflict->message) : std::nullopt;
        SyncLogger::shared().log(SyncLogger::Event::fileConflict, SyncLogger::Direction::upload, name,
                                 said.value_or(QStringLiteral("Harborly holds another version")));
    }
    // Bytes the service stored: whatever a 507 said before, there is room now.
    if (!result.wasDeduplicated)
        notifyUploadSucceeded();
    co_return completed;
}

std::shared_ptr<OperationResolution> SyncLane::recordUploadSuccess(std::shared_ptr<SyncFile> &written,
                                                                   const QString &localPath,
                                                                   const FileSyncAPI::UploadResult &result,
                                                                   const std::optional<QString> &checksum,
                                                                   bool isConflict, const QString &fileUUID,
                                                                   const std::optional<QString> &commit,
                                                                   const UploadBefore &before,
                                                                   const QDateTime &attemptedAt,
                                                                   const std::optional<Dispatched> &dispatched)
{
    // The queue's record while it still holds the place (no lookup by path per upload);
    // fetched again when it was replaced, removed or moved away during the upload.
    auto record = holdingPlace(dispatched, localPath);
    if (!record)
        record = fetchOrCreateRecord(localPath);
    written = record;
    // Counted as of its answer: a read asked while the confirmation was on its way may have
    // been answered before it, and would name the version this one replaced. Every later
    // confirmation is judged on a read asked after it anyway.
    noteLearned(result.fileId, ++m_learnings);
    record->setRemoteId(result.fileId);
    record->setLocalChecksum(checksum);
    // The service holds what was sent now: a listing or change that named an older version
    // says nothing newer any more.
    record->setRemoteChecksum(checksum);
    record->setLfsOid(checksum);
    record->setLastSyncedAt(m_clock.currentDateTime());
    stampSettled(*record);
    record->setSyncStatus(isConflict ? SyncFileStatus::conflict : SyncFileStatus::synced);
    record->setSyncDirection(isConflict ? SyncFileDirection::conflict : SyncFileDirection::upload);
    record->setFileUUID(fileUUID);
    if (!record->inode())
        record->setInode(inodeOf(localPath));
    if (commit)
        record->setBaseCommitSha(commit);
    applyConflict(result.conflict, *record);
    if (commit)
        syncFolder()->setHeadCommitSha(commit);

    OperationResolutionData row;
    row.id = QUuid::createUuid();
    row.fileUUID = record->fileUUID();
    row.operationType = QStringLiteral("upload");
    row.beforePath = before.path;
    row.beforeChecksum = before.checksum;
    row.beforeBaseCommitSha = before.baseCommit;
    row.afterPath = localPath;
    row.afterChecksum = checksum;
    row.afterBaseCommitSha = commit ? commit : record->baseCommitSha();
    row.serverFileID = result.fileId;
    row.serverCommitSha = commit;
    if (result.conflict) {
        row.conflictType = result.conflict->type;
        row.conflictServerOid = result.conflict->serverOid;
    }
    row.attemptedAt = attemptedAt;
    row.resolvedAt = m_clock.currentDateTime();
    row.outcome = QStringLiteral("succeeded");
    return std::make_shared<OperationResolution>(std::move(row));
}

void SyncLane::releaseStaleHolders(qint64 id, const QString &localPath)
{
    // One service file has one record. A record elsewhere that still holds the file (its old
    // name: the service renamed it to here and the feed has not said so yet) lets go, so no
    // delete of it ever reaches this file. Its own file goes only as a local delete may, while
    // it still holds the content last synced there; an edit of it is kept and sent anew.
    std::vector<std::shared_ptr<SyncFile>> holders;
    try {
        holders = fetchRecordsHoldingIds(*m_modelContext, laneID(), {id});
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the other holders of an uploaded file", error);
        return;
    }
    bool released = false;
    for (const auto &holder : holders) {
        if (holder->localPath() == localPath)
            continue;
        forgetServiceFile(*holder);
        released = true;
        if (holder->syncStatus() == SyncFileStatus::syncing) {
            holder->setGeneration(holder->generation() + 1); // its transfer ends owed, as it is now
            continue;
        }
        if (holder->desiredState() == SyncFileDesiredState::deletedRemote
            || holder->desiredState() == SyncFileDesiredState::deletedLocal)
            continue; // already on its way out, and it deletes nothing at the service now
        holder->oweLocalDelete();
        holder->setSyncStatus(SyncFileStatus::pending);
    }
    if (released)
        saveQuietly();
}

bool SyncLane::namesContent(const std::optional<QString> &objectId, const std::optional<QString> &checksum)
{
    // A service that names content by its SHA-256 names it so in a conflict too; any other
    // object id proves nothing here.
    return objectId && checksum && !checksum->isEmpty() && objectId->compare(*checksum, Qt::CaseInsensitive) == 0;
}

QCoro::Task<std::optional<bool>> SyncLane::meetServiceVersion(std::optional<Dispatched> dispatched, QString localPath,
                                                              std::optional<UnseenVersion> unseen, quint64 epoch,
                                                              std::stop_token stop)
{
    const auto self = shared_from_this();
    const auto folder = syncFolder();
    const auto record = holdingPlace(dispatched, localPath);
    if (!record)
        co_return std::nullopt;
    if (!unseen && record->remoteId() && m_unnamedVersions.contains(*record->remoteId()))
        unseen = UnseenVersion{}; // the feed's pass told of a version without its content
    if (!unseen && !meetsUnseenVersion(*record))
        co_return std::nullopt;
    const std::optional<QString> service =
        unseen ? lane::lowerChecksum(unseen->checksum) : lane::lowerChecksum(record->remoteChecksum());
    const qint64 generation = record->generation();
    auto hashing =
        computePrePassChecksums(m_checksums, folder->folderPath().value_or(QString()), {localPath}, stop);
    const auto hashed = co_await awaitStep(std::move(hashing), epoch, stop);
    const auto now = holdingPlace(dispatched, localPath);
    if (!now || now->generation() != generation || !(unseen || meetsUnseenVersion(*now)))
        throw CancelledError(); // changed while it was read: judged again as it is now
    const QString local = hashed.isEmpty() ? QString() : hashed.front().checksum.toLower();
    if (local.isEmpty())
        co_return std::nullopt; // unreadable now: the upload itself says why
    if (service && local == *service) {
        // Both sides hold the same content: nothing to choose.
        if (!now->remoteId()) {
            now->setRemoteChecksum(std::nullopt); // nothing unseen: the same bytes go up
            co_return std::nullopt;
        }
        now->setLocalChecksum(*service);
        now->setRemoteChecksum(*service);
        co_return false; // nothing to send: the queue's completion settles it
    }
    if (now->remoteId())
        m_unnamedVersions.remove(*now->remoteId()); // the conflict carries it from here
    holdBothVersions(now, service, dispatched);
    co_return true;
}

QCoro::Task<> SyncLane::judgeBeforeConfirm(QString localPath, quint64 epoch, std::stop_token stop)
{
    const auto self = shared_from_this();
    // Changed here since the dispatch, the file is sent again after this upload's end; what
    // the service holds is judged all the same, as the record knows it now.
    const auto current = fetchRecord(localPath);
    if (!current)
        throw CancelledError();
    const bool atPlace = syncFolder()->policy().appliesRemoteInFullSync;
    // Only a read asked from here on: one asked before the last byte went (the one the
    // dispatch took, however recent) cannot tell of a version saved while the bytes went.
    const quint64 reached = m_learnings;
    auto hearing = hearServiceFirst(localPath, current->generation(), epoch, stop, atPlace, reached);
    // A version the feed told of without its content comes back as unseen too.
    const std::optional<UnseenVersion> unseen = co_await std::move(hearing);
    const auto record = fetchRecord(localPath);
    if (!record)
        throw CancelledError();
    if (unseen || meetsUnseenVersion(*record))
        throw UnseenVersionMet{unseen};
}

bool SyncLane::meetsUnseenVersion(const SyncFile &record)
{
    // A base commit of the file's own (its last upload or confirmation) lets the service
    // judge; the folder's head commit may postdate the other device's version and would not.
    if (nonEmpty(record.baseCommitSha()))
        return false;
    const auto service = lane::lowerChecksum(record.remoteChecksum());
    return service && service != lastSyncedContent(record);
}

void SyncLane::holdBothVersions(const std::shared_ptr<SyncFile> &record, const std::optional<QString> &serviceChecksum,
                                const std::optional<Dispatched> &dispatched)
{
    // The edit stays owed and on disk, the service's version stays at the service, and the
    // panel lists the file until the user acknowledges it (which sends the edit).
    record->setSyncStatus(SyncFileStatus::conflict);
    record->setSyncDirection(SyncFileDirection::conflict);
    record->setDesiredState(SyncFileDesiredState::uploadPending);
    record->setRetryCount(0);
    record->setNextRetryAt(std::nullopt);
    record->setErrorMessage(std::nullopt);
    record->setConflictID(std::nullopt);
    record->setConflictType(QStringLiteral("bothChanged"));
    record->setConflictCommonAncestor(std::nullopt);
    record->setConflictServerOid(serviceChecksum);
    // Which side changed is known only where this place has a version last synced (after a
    // link, a file found here meets the service's version with none).
    const bool bothChanged = lastSyncedContent(*record).has_value();
    record->setConflictMessage(bothChanged ? QStringLiteral("Changed here and at Harborly since it was last synced: "
                                                            "this version was not uploaded")
                                           : QStringLiteral("This file differs from the version at Harborly: "
                                                            "this version was not uploaded"));
    if (dispatched && dispatched->record == record)
        groupOutcome(record, nullptr);
    else
        saveJournaled(nullptr, record);
    const QString name = QFileInfo(record->localPath()).fileName();
    SyncLogger::shared().log(SyncLogger::Event::fileConflict, SyncLogger::Direction::upload, name,
                             bothChanged ? QStringLiteral("Changed here and at Harborly: both versions kept, nothing uploaded")
                                         : QStringLiteral("Differs from Harborly's version: both versions kept, "
                                                          "nothing uploaded"));
}

void SyncLane::keepLocalEdit(const QString &localPath, const QString &why)
{
    const auto record = fetchRecord(localPath);
    if (!record)
        return;
    record->setDesiredState(SyncFileDesiredState::uploadPending);
    record->setSyncStatus(SyncFileStatus::pending);
    record->setSyncDirection(SyncFileDirection::upload);
    record->setGeneration(record->generation() + 1);
    saveJournaled(nullptr, record);
    SyncLogger::shared().log(SyncLogger::Event::fileSkipped, SyncLogger::Direction::none,
                             QFileInfo(localPath).fileName(), why);
}

} // namespace quillmere
