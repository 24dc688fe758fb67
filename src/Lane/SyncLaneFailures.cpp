// What happens to a record whose operation failed: storage full, rate limit, permanent
// refusal, a local file-system failure, or a transient failure retried on a fixed back-off.

#include "Lane/SyncLane.h"

#include "Lane/FailurePolicy.h"
#include "Lane/LaneSupport.h"

#include "ActivityLog/SyncLogger.h"
#include "Model/LaneQueries.h"
#include "Model/ModelContainer.h"
#include "Model/ModelContext.h"
#include "Model/OperationResolution.h"
#include "Platform/Async/Background.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <QFile>
#include <QLoggingCategory>

#include <cerrno>
#include <system_error>

#include <sys/stat.h>

namespace quillmere {

namespace {

using lane::logLine;


// Why a local write, removal or copy failed, in the user's words.
QString localReason(int errorNumber)
{
    switch (errorNumber) {
    case EEXIST:
        return QStringLiteral("a folder or link of that name is in the way");
    case EISDIR:
        return QStringLiteral("a folder of that name is in the way");
    case ENOTDIR:
        return QStringLiteral("a file is in the way of its folder");
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("the disk is full");
    case EACCES:
    case EPERM:
        return QStringLiteral("permission denied");
    case EROFS:
        return QStringLiteral("the disk is read-only");
    case ENAMETOOLONG:
        return QStringLiteral("the name is too long for the disk");
    case EINVAL:
    case EILSEQ:
        return QStringLiteral("the name is not allowed on the disk");
    default:
        break;
    }
    return QString::fromStdString(std::generic_category().message(errorNumber)).toLower();
}

} // namespace

bool SyncLane::isSecureConnectionFailure(const std::exception_ptr &error)
{
    return FailureFacts::of(error).secureConnection;
}

bool SyncLane::isLastingRefusal(const std::exception_ptr &error)
{
    if (!error)
        return false;
    const FailureFacts facts = FailureFacts::of(error);
    if (facts.localErrorNumber)
        return !isTransientLocalError(*facts.localErrorNumber);
    const auto status = facts.serviceStatus;
    if (!status)
        return false;
    if (*status == 401 || *status == 408 || *status == 421 || *status == 429)
        return false;
    return (*status >= 400 && *status <= 499) || *status == 501;
}

namespace {

QString operationWord(SyncFileDesiredState state)
{
    switch (state) {
    case SyncFileDesiredState::syncedLocal:
    case SyncFileDesiredState::uploadPending:
        return QStringLiteral("upload");
    case SyncFileDesiredState::downloadPending:
    case SyncFileDesiredState::downloadHeld:
        return QStringLiteral("download");
    case SyncFileDesiredState::deletedRemote:
        return QStringLiteral("deleteRemote");
    case SyncFileDesiredState::deletedLocal:
        return QStringLiteral("deleteLocal");
    case SyncFileDesiredState::conflictResolutionPending:
        return QStringLiteral("conflictResolution");
    }
    return QStringLiteral("upload");
}

std::shared_ptr<OperationResolution> failureRow(std::optional<QString> fileUUID, SyncFileDesiredState state,
                                                const QString &dispatchedPath, const QString &outcome,
                                                const QString &message, const QDateTime &now)
{
    OperationResolutionData data;
    data.id = QUuid::createUuid();
    data.fileUUID = std::move(fileUUID);
    data.operationType = operationWord(state);
    data.beforePath = dispatchedPath;
    data.attemptedAt = now;
    data.resolvedAt = now;
    data.outcome = outcome;
    data.errorMessage = message;
    return std::make_shared<OperationResolution>(std::move(data));
}

} // namespace

bool SyncLane::isRateLimited(const std::exception_ptr &error)
{
    return FailureFacts::of(error).rateLimited;
}

bool SyncLane::isNetworkError(const std::exception_ptr &error)
{
    return FailureFacts::of(error).network;
}

std::optional<int> SyncLane::localErrorNumber(const std::exception_ptr &error)
{
    return FailureFacts::of(error).localErrorNumber;
}

QString SyncLane::localFileMessage(int errorNumber, const QString &filename, SyncFileDesiredState state)
{
    QString action;
    switch (state) {
    case SyncFileDesiredState::deletedLocal:
        action = QStringLiteral("Cannot remove %1").arg(filename);
        break;
    case SyncFileDesiredState::uploadPending:
        action = QStringLiteral("Cannot prepare %1 for upload").arg(filename);
        break;
    default:
        action = QStringLiteral("Cannot write %1").arg(filename);
        break;
    }
    return action + QStringLiteral(": ") + localReason(errorNumber);
}

bool SyncLane::isTransientLocalError(int errorNumber)
{
    return quillmere::isTransientLocalError(errorNumber);
}

QString SyncLane::userMessage(std::optional<int> status)
{
    if (!status)
        return QStringLiteral("Network error — please check your connection");
    switch (*status) {
    case 400:
        return QStringLiteral("Upload rejected — invalid request");
    case 403:
        return QStringLiteral("Permission denied — check folder access");
    case 404:
        return QStringLiteral("Upload target not found");
    case 409:
        return QStringLiteral("Conflict detected — try resetting sync");
    case 413:
        return QStringLiteral("File too large to upload");
    case 422:
        return QStringLiteral("Upload rejected — file format issue");
    case 500:
        return QStringLiteral("Server error — try again later");
    case 502:
        return QStringLiteral("Server unavailable — try again later");
    case 503:
        return QStringLiteral("Service temporarily unavailable");
    case 504:
        return QStringLiteral("Server timeout — try again later");
    case 507:
        return QStringLiteral("Storage limit reached");
    default:
        break;
    }
    if (*status >= 400 && *status <= 499)
        return QStringLiteral("Upload rejected (error %1)").arg(*status);
    if (*status >= 500)
        return QStringLiteral("Server error — try again later");
    return QStringLiteral("Sync error (code %1)").arg(*status);
}

bool SyncLane::waitsForRetry(const SyncFile &record) const
{
    if (!record.nextRetryAt())
        return false;
    const QDateTime now = m_clock.currentDateTime();
    const qint64 untilRetry = now.msecsTo(*record.nextRetryAt());
    return untilRetry > 0 && untilRetry <= std::chrono::milliseconds(longestRetryWait).count();
}

QCoro::Task<> SyncLane::handleFailure(std::exception_ptr error, DispatchContext context, std::stop_token stop)
{
    using Kind = FailureVerdict::Kind;
    const quint64 epoch = m_epoch;

    // A failed representative releases its group before anything waits, so the next refill
    // can already take the held files one by one.
    if (const auto hash = m_prePassChecksums.constFind(context.localPath);
        hash != m_prePassChecksums.cend() && m_heldDuplicates.contains(*hash)) {
        const QString checksum = *hash;
        m_heldDuplicates.remove(checksum);
        m_activeRepresentatives.remove(checksum);
    }

    auto found = findDispatchedRecord(context);
    const bool changedMeanwhile = found && found->generation() != context.generation;
    const FailureVerdict verdict = classifyFailure(error, context.state, changedMeanwhile);
    const QString description = describeError(error);
    // A failure of our own disk is shown as what happened to the file.
    const std::optional<QString> localMessage =
        verdict.localErrorNumber
            ? std::optional<QString>(localFileMessage(*verdict.localErrorNumber, context.name, context.state))
            : std::nullopt;
    // The record waits in error with this text (and the journal says so) until a full sync or
    // the user owes it again.
    const auto failForGood = [&](const QString &message) {
        const auto row = recordPermanentFailure(found, message, context.fileUUID, context.state, context.localPath);
        saveFailureRow(row, found);
        noteFailure(found, message, appendSyncError(context.name, context.direction, message));
        setLastError(message);
        finishFailure();
    };

    if (FailureFacts::of(error).sourceReadErrorNumber == ENOENT && context.state == SyncFileDesiredState::uploadPending
        && found && !changedMeanwhile) {
        // The file to send is gone (removed here, or by a delete from the service the record
        // did not follow): not a failure that a retry mends, but a local deletion, once
        // lstat proves it.
        auto looking = [path = context.localPath] {
            struct stat status{};
            return ::lstat(QFile::encodeName(path).constData(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR);
        };
        const bool gone = co_await runInBackground(std::move(looking));
        if (!isCurrent(epoch, stop))
            co_return;
        if (auto record = findDispatchedRecord(context); gone && record && record->generation() == context.generation) {
            logLine(SyncLogger::Event::syncStarted, QStringLiteral("%1 is gone: taken as deleted here").arg(context.name));
            record->setSyncStatus(SyncFileStatus::pending);
            trackLocalDeletion(context.localPath);
            finishFailure();
            co_return;
        }
        // Still there, or changed meanwhile: judged as the failure it is, on the record as it
        // is now.
        found = findDispatchedRecord(context);
    }

    switch (verdict.kind) {
    case Kind::cancelled:
        // The queue ends a stopped operation before it comes here; one that does all the same
        // is no failure either: the record waits for the next pass as it was.
        returnToPending(context);
        co_return;

    case Kind::storageFull: {
        logLine(SyncLogger::Event::syncFailed, QStringLiteral("Storage full [507] %1").arg(context.name));
        const QString message = userMessage(507);
        // A version changed meanwhile is not refused: it stays owed, and the journal alone
        // keeps the refusal.
        const auto row = recordPermanentFailure(changedMeanwhile ? nullptr : found, message, context.fileUUID,
                                                context.state, context.localPath);
        if (changedMeanwhile)
            found->setSyncStatus(SyncFileStatus::pending);
        saveFailureRow(row, found);
        noteFailure(found, message, appendSyncError(context.name, context.direction, message));
        setLastError(message);
        notifyStorageFull();
        finishFailure();
        co_return;
    }

    case Kind::rateLimited: {
        SyncLogger::shared().log(SyncLogger::Event::pendingRetry, SyncLogger::Direction::none, context.name,
                                 QStringLiteral("Rate limited — retrying in 5s"));
        // The slot stays taken for the wait; a stop ends the wait early.
        co_await m_clock.sleepFor(rateLimitWait, stop);
        const bool current = isCurrent(epoch, stop);
        if (auto record = findDispatchedRecord(context); record && record->syncStatus() == SyncFileStatus::syncing) {
            record->setSyncStatus(SyncFileStatus::pending);
            saveQuietly();
        }
        if (current)
            finishFailure();
        co_return;
    }

    case Kind::changedMeanwhile:
        // The record stays owed and goes again once the new version has settled.
        logLine(SyncLogger::Event::pendingRetry,
                QStringLiteral("Changed during transfer, queued again: %1 (%2)").arg(context.name, description));
        found->setSyncStatus(SyncFileStatus::pending);
        saveQuietly();
        finishFailure();
        co_return;

    case Kind::refused:
        // One line naming the file, and the record waits in error.
        SyncLogger::shared().log(SyncLogger::Event::fileSkipped, SyncLogger::Direction::none, context.name,
                                 *verdict.refusal);
        failForGood(*verdict.refusal);
        co_return;

    case Kind::localPermanent:
        logLine(SyncLogger::Event::syncFailed,
                QStringLiteral("Permanent local failure: %1 (%2)").arg(*localMessage, description));
        failForGood(*localMessage);
        co_return;

    case Kind::permanent:
        logLine(SyncLogger::Event::syncFailed,
                QStringLiteral("Permanent [%1] %2: %3").arg(QString::number(*verdict.status), context.name, description));
        failForGood(userMessage(verdict.status));
        co_return;

    case Kind::transient:
    case Kind::localTransient: {
        logLine(SyncLogger::Event::syncFailed, QStringLiteral("Transient %1: %2").arg(context.name, description));
        // Shown from the first failure on, for as long as the record still fails.
        const QString shown = localMessage.value_or(description);
        if (found) {
            const qint64 attempt = found->retryCount() + 1;
            if (attempt < maxRetries) {
                retryOnBackOff(*found, attempt);
                saveQuietly();
                noteFailure(found, shown);
            } else {
                found->setRetryCount(attempt);
                const QString message =
                    localMessage.value_or(verdict.secureConnection ? description : userMessage(verdict.status));
                const auto row = recordTransientFailure(found, message, context.state, context.localPath);
                saveFailureRow(row, found);
                noteFailure(found, shown, appendSyncError(context.name, context.direction, message));
                logLine(SyncLogger::Event::syncFailed,
                        QStringLiteral("Exhausted retries for %1: %2").arg(context.name, description));
            }
        }
        setLastError(shown);
        finishFailure();
        co_return;
    }
    }
}

void SyncLane::retryOnBackOff(SyncFile &record, qint64 attempt, std::optional<QDateTime> failedAt)
{
    record.setRetryCount(attempt);
    record.setNextRetryAt(failedAt.value_or(m_clock.currentDateTime()).addSecs(retryDelay(attempt).count()));
    record.setSyncStatus(SyncFileStatus::pending);
}

bool SyncLane::isStillFailing(const SyncFile &record)
{
    if (record.isDeleted())
        return false;
    if (record.syncStatus() == SyncFileStatus::error)
        return true;
    // Owed again after a failure, waiting for its retry time or on its way again.
    return record.retryCount() > 0
           && (record.syncStatus() == SyncFileStatus::pending || record.syncStatus() == SyncFileStatus::syncing)
           && record.desiredState() && *record.desiredState() != SyncFileDesiredState::syncedLocal;
}

void SyncLane::noteFailure(const std::shared_ptr<SyncFile> &record, const QString &shown, std::optional<QUuid> entry)
{
    if (!record || record->persistentID() == 0 || !isStillFailing(*record)) {
        // Nothing that fails stays behind it: an entry of no record would never leave.
        if (entry) {
            auto list = syncErrors();
            list.removeIf([&](const RecentFile &listed) { return listed.id == *entry; });
            setSyncErrors(std::move(list));
        }
        return;
    }
    FailureNote &note = m_failures[record->persistentID()];
    if (entry && note.entry && *note.entry != *entry) {
        auto list = syncErrors();
        list.removeIf([&](const RecentFile &listed) { return listed.id == *note.entry; });
        setSyncErrors(std::move(list));
    }
    note.shown = shown;
    note.sequence = ++m_failureSequence;
    if (entry)
        note.entry = entry;
}

void SyncLane::followFailingRecords(const StoreChanges &changes)
{
    if (m_failures.isEmpty())
        return;
    const QString &fileType = SyncFile::layout().info.name;
    QList<qint64> ended;
    for (const auto &entry : changes.deleted)
        if (entry.type == fileType && m_failures.contains(entry.id))
            ended.append(entry.id);
    for (const auto &entry : changes.changed) {
        if (entry.type != fileType || !m_failures.contains(entry.id))
            continue;
        const auto record = m_modelContext->object<SyncFile>(entry.id);
        if (!record || !isStillFailing(*record))
            ended.append(entry.id);
    }
    if (ended.isEmpty())
        return;
    QSet<QUuid> entries;
    for (const qint64 id : std::as_const(ended)) {
        const FailureNote note = m_failures.take(id);
        if (note.entry)
            entries.insert(*note.entry);
    }
    if (!entries.isEmpty()) {
        auto list = syncErrors();
        list.removeIf([&](const RecentFile &listed) { return entries.contains(listed.id); });
        setSyncErrors(std::move(list));
    }
    showRecordFailures();
    notifyStateChanged();
}

void SyncLane::showRecordFailures()
{
    const FailureNote *newest = nullptr;
    for (const auto &note : std::as_const(m_failures))
        if (!newest || note.sequence > newest->sequence)
            newest = &note;
    setLastError(newest ? std::optional<QString>(newest->shown) : std::nullopt);
    refreshRecordCounts();
}

void SyncLane::refreshRecordCounts()
{
    setFilesInError(fetchFailedRecordCount(*m_modelContext, laneID()));
    setConflictsToReview(fetchConflictToReviewCount(*m_modelContext, laneID()));
    settleReviewedConflictEntries();
}

void SyncLane::storageAvailable()
{
    // Uploads refused for storage wait in error with the storage text; nothing else would
    // send them again until the user touches each file.
    auto request = SyncFile::inFolder(laneID());
    request.equals(SyncFile::Field::syncStatus, SyncFileStatus::error)
        .equals(SyncFile::Field::desiredState, SyncFileDesiredState::uploadPending)
        .equals(SyncFile::Field::errorMessage, userMessage(507));
    std::vector<std::shared_ptr<SyncFile>> held;
    try {
        held = m_modelContext->fetch(request);
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the uploads refused for storage", error);
        return;
    }
    if (held.empty())
        return;
    logLine(SyncLogger::Event::syncStarted, QStringLiteral("Storage available again: %1 upload(s) of %2 owed again")
                                                .arg(held.size())
                                                .arg(syncFolder()->name()));
    oweFailedRecordsAgain(held);
}

void SyncLane::retryFailedFiles()
{
    // The states the queue dispatches (those with a rank), and only those.
    static const std::vector<SyncFileDesiredState> dispatched = [] {
        std::vector<SyncFileDesiredState> states;
        for (const auto state : allCases<SyncFileDesiredState>())
            if (SyncFile::dispatchRank(state))
                states.push_back(state);
        return states;
    }();
    auto request = SyncFile::inFolder(laneID());
    request.equals(SyncFile::Field::syncStatus, SyncFileStatus::error).in(SyncFile::Field::desiredState, dispatched);
    std::vector<std::shared_ptr<SyncFile>> failed;
    try {
        failed = m_modelContext->fetch(request);
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the files in error", error);
        return;
    }
    if (failed.empty())
        return;
    logLine(SyncLogger::Event::syncStarted,
            QStringLiteral("Trying %1 file(s) of %2 in error again").arg(failed.size()).arg(syncFolder()->name()));
    oweFailedRecordsAgain(failed);
}

void SyncLane::oweFailedRecordsAgain(const std::vector<std::shared_ptr<SyncFile>> &records)
{
    for (const auto &record : records)
        record->clearFailure();
    saveQuietly();
    refreshRecordCounts();
    notifyStateChanged();
    if (!m_started || isPaused())
        return; // the next start (or resume) runs them
    if (m_isProcessingQueue) {
        // Replacing the task would stop a pass that runs from it: the running pass runs again.
        m_queueRerunRequested = true;
        return;
    }
    std::weak_ptr<SyncLane> weak = weak_from_this();
    auto body = [weak](std::stop_token stop) {
        return runScheduledQueuePass(weak, Clock::Duration::zero(), std::move(stop));
    };
    m_queueRetryTask = TaskHandle::start(std::move(body));
}

void SyncLane::networkChanged()
{
    if (!m_started || isPaused())
        return;
    // What failed on the old connection (a refused certificate, an unreachable host) may go
    // through on this one: the waiting full sync runs now, and the feed's back-off restarts.
    m_consecutiveDeltaFailures = 0;
    if (m_fullSyncRetryTask.isRunning()) {
        logLine(SyncLogger::Event::syncStarted,
                QStringLiteral("Network changed: syncing %1 again now").arg(syncFolder()->name()));
        scheduleFullSync(Clock::Duration::zero());
    }
}

void SyncLane::finishFailure()
{
    // A queue pass counts once at its end, not once per failure: a refusal of every file of
    // a large folder would count them all over again each time.
    if (!m_isProcessingQueue)
        refreshRecordCounts();
    notifyStateChanged();
    setFilesCompletedThisPass(filesCompletedThisPass() + 1);
}

std::shared_ptr<OperationResolution> SyncLane::recordPermanentFailure(const std::shared_ptr<SyncFile> &found,
                                                                      const QString &message,
                                                                      const std::optional<QString> &fileUUID,
                                                                      SyncFileDesiredState state,
                                                                      const QString &dispatchedPath)
{
    if (found) {
        found->setSyncStatus(SyncFileStatus::error);
        found->setErrorMessage(message);
    }
    return failureRow(found && found->fileUUID() ? found->fileUUID() : fileUUID, state, dispatchedPath,
                      QStringLiteral("failedPermanent"), message, m_clock.currentDateTime());
}

std::shared_ptr<OperationResolution> SyncLane::recordTransientFailure(const std::shared_ptr<SyncFile> &found,
                                                                      const QString &message,
                                                                      SyncFileDesiredState state,
                                                                      const QString &dispatchedPath)
{
    found->setSyncStatus(SyncFileStatus::error);
    found->setErrorMessage(message);
    found->setNextRetryAt(std::nullopt);
    return failureRow(found->fileUUID(), state, dispatchedPath, QStringLiteral("failedTransient"), message,
                      m_clock.currentDateTime());
}

void SyncLane::saveFailureRow(const std::shared_ptr<OperationResolution> &row, const std::shared_ptr<SyncFile> &found)
{
    try {
        m_modelContext->insert(row);
        m_modelContext->save();
    } catch (const std::exception &e) {
        // Only this failure's own writes are undone. The context also holds what other slots
        // and the folder (its delta cursor) have not saved yet; a rollback of all of it would
        // lose their work.
        qCWarning(lane::laneLog, "failure journal not saved: %s", e.what());
        m_modelContext->rollback(row);
        if (found)
            m_modelContext->rollback(found);
        // The save carried the group's outcomes too: they are owed again.
        failGroup();
        if (!found)
            return;
        // Undone, the record would stay "syncing", which only the first start of a process
        // sets back: the file would not go again in this run. Unrecorded, the failure is not
        // final either: the record goes back to the queue on the back-off (capped, since a
        // store that keeps refusing the row brings it here again and again), and the attempt
        // that follows records its outcome.
        retryOnBackOff(*found, found->retryCount() + 1);
        // When even this save fails, the change stays in the context: the queue reads it there.
        saveQuietly();
    }
}

} // namespace quillmere
