// The work queue: one pass turns the folder's owed records into per-record tasks, at most
// queueSlots at a time, most urgent first.

#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"

#include "ActivityLog/SyncLogger.h"
#include "Model/LaneQueries.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/CancelledError.h"
#include "Platform/Async/TaskGroup.h"
#include "Platform/Http/TransportError.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <QScopeGuard>

namespace quillmere {

namespace {

using lane::isCancellation;
using lane::logLine;

bool owesWork(const SyncFile &record, const QUuid &folderID)
{
    return !record.isDeleted() && record.folderID() == folderID && record.desiredState()
           && *record.desiredState() != SyncFileDesiredState::syncedLocal;
}

} // namespace

const QSet<QString> &SyncLane::heldDuplicatePaths()
{
    // Every dispatch asks. The copy kept in m_heldPathsSource shares m_heldDuplicates' data
    // until any change of it detaches the two, so a changed set is never missed.
    if (!m_heldPathsSource.isSharedWith(m_heldDuplicates)) {
        m_heldPaths.clear();
        for (const auto &group : std::as_const(m_heldDuplicates))
            for (const auto &held : group)
                m_heldPaths.insert(held.first);
        m_heldPathsSource = m_heldDuplicates;
    }
    return m_heldPaths;
}

SyncLane::DispatchContext SyncLane::dispatchContext(const SyncFile &record)
{
    DispatchContext context;
    context.localPath = record.localPath();
    context.name = context.localPath.section(u'/', -1);
    context.state = record.desiredState().value_or(SyncFileDesiredState::syncedLocal);
    context.direction = context.state == SyncFileDesiredState::downloadPending
                                || context.state == SyncFileDesiredState::deletedLocal
                            ? SyncFileDirection::download
                            : SyncFileDirection::upload;
    context.generation = record.generation();
    context.fileUUID = record.fileUUID();
    return context;
}

QCoro::Task<> SyncLane::runQueueTaskGroup(std::stop_token stop)
{
    // The pass awaits every record it started, so the lane is held until the last one ends.
    auto self = shared_from_this();
    const quint64 epoch = m_epoch;
    TaskGroup group(queueSlots);
    std::stop_callback forwardStop(stop, [&group] { group.cancel(); });

    m_tally = OutstandingTally();
    m_countingSaves = true;
    auto onSaved = [this](const StoreChanges &changes) { noteStoreSaved(changes); };
    const auto connection = connect(&m_modelContext->container(), &ModelContainer::saved, this, std::move(onSaved));

    // Finishes are counted from the group's running count: a child may end inside spawn()
    // (an operation with nothing to await), before any wait could see it.
    int started = 0;
    int handled = 0;
    int toStart = queueSlots; // the initial fill, then one refill per finished child
    // The full sync feeding this pass (held: its last chunks count after it let go of it).
    std::shared_ptr<ChunkFeed> fedBy = m_chunkFeed;
    quint64 fedChunks = fedBy ? fedBy->chunks : 0;
    qint64 fedOwed = fedBy ? fedBy->owed : 0;
    // A chunk handed over adds the files it left owed to the pass's total.
    const auto takeFedChunks = [this, &fedBy, &fedOwed](quint64 &seen) {
        if (!fedBy || fedBy->chunks == seen)
            return false;
        seen = fedBy->chunks;
        setFilesTotalThisPass(filesTotalThisPass() + fedBy->owed - std::exchange(fedOwed, fedBy->owed));
        return true;
    };
    try {
        for (;;) {
            while (toStart > 0) {
                --toStart;
                std::shared_ptr<SyncFile> record;
                // Priority `none` decided meanwhile: what runs finishes, the rest stays owed.
                if (!group.isCancelled() && isCurrent(epoch, stop) && !passesHeldByPriority())
                    record = dequeueDueRecords();
                if (!record) {
                    toStart = 0;
                    break;
                }
                setFilesSyncing(filesSyncing() + 1);
                refreshFilesPending();
                notifyStateChanged();
                auto body = [self, record](std::stop_token childStop) {
                    return self->syncRecord(record, std::move(childStop));
                };
                co_await group.spawn(std::move(body));
                ++started;
            }
            if (started - group.running() > handled) {
                ++handled;
                setFilesSyncing(std::max<qint64>(filesSyncing() - 1, 0));
                refreshFilesPending();
                notifyStateChanged();
                // A chunk the full sync handed over meanwhile may fill every free slot.
                toStart = takeFedChunks(fedChunks) ? queueSlots - group.running() : 1;
                continue;
            }
            if (group.running() == 0) {
                // Nothing due, but the full sync still reads the folder: wait for its next chunk.
                const auto feed = m_chunkFeed;
                if (!feed || !feed->open || !isCurrent(epoch, stop))
                    break;
                if (feed != fedBy) {
                    fedBy = feed;
                    fedChunks = feed->chunks;
                    fedOwed = feed->owed;
                }
                if (feed->chunks == fedChunks)
                    co_await feed->waiting.wait();
                takeFedChunks(fedChunks);
                toStart = queueSlots;
                continue;
            }
            co_await group.waitForAny();
        }
    } catch (const std::exception &e) {
        logLine(SyncLogger::Event::syncFailed, QStringLiteral("Work queue stopped for %1: %2")
                                                   .arg(syncFolder()->name(), QString::fromUtf8(e.what())));
        group.cancel();
    }
    // Whatever ended the loop, no record is left to a task that outlives the pass.
    co_await group.waitForAll();
    // The pass's last outcomes are stored with the pass, not a window later.
    flushCommitGroup();
    disconnect(connection);
    m_countingSaves = false;
    m_tally = OutstandingTally();
}

std::shared_ptr<SyncFile> SyncLane::dequeueDueRecords()
{
    // Besides the held duplicates, the uploads this pass found no file for wait for the next.
    const auto excluded = [this] {
        QSet<QString> paths = heldDuplicatePaths();
        if (m_chunkFeed)
            paths.unite(m_chunkFeed->reading); // a full sync's chunk still being settled
        return paths.unite(m_notFilesThisPass);
    };
    const QSet<QString> held = excluded();
    auto record = fetchWorkOwedRecords(laneID(), settleWindow, m_clock.currentDateTime(), *m_modelContext, held);
    if (record && record->desiredState() == SyncFileDesiredState::downloadPending && holdGuardedDownloads())
        record = fetchWorkOwedRecords(laneID(), settleWindow, m_clock.currentDateTime(), *m_modelContext, held);
    if (!record) {
        if (held.isEmpty())
            return nullptr;
        // Nothing else is due: groups whose representative is not on its way are released
        // to per-file dispatch, or they would wait for a representative that never comes.
        bool released = false;
        const auto groups = m_heldDuplicates.keys();
        for (const auto &hash : groups) {
            if (!m_activeRepresentatives.contains(hash)) {
                m_heldDuplicates.remove(hash);
                released = true;
            }
        }
        if (!released)
            return nullptr;
        record = fetchWorkOwedRecords(laneID(), settleWindow, m_clock.currentDateTime(), *m_modelContext,
                                      excluded());
        if (!record)
            return nullptr;
    }

    if (const auto hash = m_prePassChecksums.constFind(record->localPath());
        hash != m_prePassChecksums.cend() && m_heldDuplicates.contains(*hash))
        m_activeRepresentatives.insert(*hash);

    if (record->persistentID() != 0)
        m_tally.inFlight.insert(record->persistentID(), {record, owesWork(*record, laneID())});
    record->setSyncStatus(SyncFileStatus::syncing);
    // Not saved on its own: unsaved, the mark reads as owed after a kill, which is what the
    // first activation makes of a stored "syncing" anyway.
    groupDispatchMark();

    const qint64 needed = filesCompletedThisPass() + filesSyncing() + 1;
    if (filesTotalThisPass() < needed)
        setFilesTotalThisPass(needed + outstandingCount());
    return record;
}

bool SyncLane::holdGuardedDownloads()
{
    if (!syncFolder()->policy().downloadsWaitForOpenApplications)
        return false;
    const QSet<QString> guards = runningGuardDAWs();
    if (guards.isEmpty())
        return false;
    // Every owed download of the folder at once: one save, however many there are.
    auto request = SyncFile::inFolder(laneID());
    request.equals(SyncFile::Field::syncStatus, SyncFileStatus::pending)
        .equals(SyncFile::Field::desiredState, SyncFileDesiredState::downloadPending);
    std::vector<std::shared_ptr<SyncFile>> owed;
    try {
        owed = m_modelContext->fetch(request);
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the owed downloads", error);
        return false;
    }
    if (owed.empty())
        return false;
    for (const auto &record : owed)
        record->setDesiredState(SyncFileDesiredState::downloadHeld);
    setHeldDownloadNotice(heldNotice(owed.back()->filename(), guards));
    saveQuietly();
    logLine(SyncLogger::Event::syncStarted,
            QStringLiteral("Holding %1 download(s) into %2 while a guarding application runs")
                .arg(QString::number(owed.size()), syncFolder()->name()));
    return true;
}

QCoro::Task<> SyncLane::syncRecord(std::shared_ptr<SyncFile> record, std::stop_token stop)
{
    const quint64 epoch = m_epoch;
    const DispatchContext context = dispatchContext(*record);
    const qint64 rowID = record->persistentID();
    const SyncFile *running = record.get();
    Running &run = m_running[running];
    ++run.runs;
    run.owed = context.state;
    run.retries = record->retryCount();
    // A record whose outcome waits for the group's commit stays followed until then.
    auto leaveFlight = qScopeGuard([this, rowID, running] {
        if (--m_running[running].runs <= 0)
            m_running.remove(running);
        if (!groupHolds(running))
            m_tally.inFlight.remove(rowID);
    });

    setCurrentFile(context.name);
    notifyStateChanged();
    logLine(SyncLogger::Event::syncStarted,
            QStringLiteral("→ %1 %2").arg(rawValue(context.state), context.name));

    // A delete the feed told while this download ran is applied once it has ended, however
    // it ends (after its completion or failure is written, below).
    std::optional<qint64> downloading;
    if (context.state == SyncFileDesiredState::downloadPending)
        downloading = record->remoteId();
    auto deleteAfter = qScopeGuard([this, downloading, epoch] {
        if (downloading && epoch == m_epoch)
            applyDeleteToldDuringDownload(*downloading);
    });

    std::exception_ptr failure;
    bool completed = false;
    try {
        completed = co_await performOperation(record, stop);
    } catch (...) {
        failure = std::current_exception();
    }
    // A stopped pass is no failure, whatever the operation ended with: the record waits for
    // the next pass as it was.
    if (!isCurrent(epoch, stop) || (failure && isCancellation(failure))) {
        returnToPending(context);
        co_return;
    }
    if (failure) {
        co_await handleFailure(failure, context, stop);
        co_return;
    }

    logLine(SyncLogger::Event::syncCompleted, QStringLiteral("✓ %1").arg(context.name));
    const QString pathNow = record->localPath();
    if (completed)
        clearErrors(pathNow.section(u'/', -1));
    else
        completeOperation(context.fileUUID, pathNow, context.state, context.generation);
    if (const auto hash = m_prePassChecksums.constFind(pathNow); hash != m_prePassChecksums.cend()) {
        const QString checksum = *hash;
        co_await confirmHeldDuplicates(checksum, stop);
        if (!isCurrent(epoch, stop))
            co_return;
    }
    setFilesCompletedThisPass(filesCompletedThisPass() + 1);
}

QCoro::Task<bool> SyncLane::performOperation(std::shared_ptr<SyncFile> record, std::stop_token stop)
{
    const auto state = record->desiredState().value_or(SyncFileDesiredState::syncedLocal);
    const QString path = record->localPath();
    switch (state) {
    case SyncFileDesiredState::uploadPending: {
        const QString relative = relativePath(path);
        std::optional<QString> drivePath;
        if (relative != QStringLiteral(".") && !relative.isEmpty())
            drivePath = relative;
        const qint64 generation = record->generation();
        // Only a regular file of the folder is read and sent: the upload checks, on its own
        // worker and before any hash, read or request, that the path is a regular file reached
        // through the folder's own folders, and refuses a link in its place or on the way.
        try {
            auto uploading = uploadRecord(path, drivePath, stop, Dispatched{record, generation});
            co_return co_await std::move(uploading);
        } catch (const FileSyncAPI::NotARegularFileError &) {
            // Said below, once per version of the record.
        }
        leaveNotAFile(path, generation);
    }
    case SyncFileDesiredState::downloadPending:
        if (const auto fileID = record->remoteId()) {
            co_await downloadRecord(*fileID, path, stop);
        } else {
            logLine(SyncLogger::Event::syncFailed,
                    QStringLiteral("Download requested for %1 with no remoteId — skipping").arg(path.section(u'/', -1)));
        }
        break;
    case SyncFileDesiredState::deletedRemote:
        co_await deleteRemoteRecord(record, stop);
        break;
    case SyncFileDesiredState::deletedLocal:
        co_await deleteLocalRecord(record, stop);
        break;
    case SyncFileDesiredState::syncedLocal:
    case SyncFileDesiredState::downloadHeld:
    case SyncFileDesiredState::conflictResolutionPending:
        break;
    }
    co_return false;
}

void SyncLane::leaveNotAFile(const QString &localPath, qint64 generation)
{
    m_notFilesThisPass.insert(localPath);
    if (const auto logged = m_notFilesLogged.constFind(localPath);
        logged == m_notFilesLogged.cend() || *logged != generation) {
        m_notFilesLogged.insert(localPath, generation);
        SyncLogger::shared().log(SyncLogger::Event::fileSkipped, SyncLogger::Direction::none,
                                 localPath.section(u'/', -1),
                                 QStringLiteral("Not sent: not a regular file of the folder's drive"));
    }
    throw CancelledError();
}

void SyncLane::completeOperation(const std::optional<QString> &fileUUID, const QString &localPath,
                                 SyncFileDesiredState state, qint64 generation)
{
    auto record = fetchRecordByFileUUID(fileUUID);
    if (!record)
        record = fetchRecord(localPath);
    if (!record)
        return;
    const bool deleted = state == SyncFileDesiredState::deletedRemote || state == SyncFileDesiredState::deletedLocal;
    if (deleted && record->generation() == generation)
        m_modelContext->remove(record);
    else
        settleCompleted(*record, state, generation);
    clearErrors(localPath.section(u'/', -1));
    groupOutcome(record, nullptr);
}

void SyncLane::settleCompleted(SyncFile &record, SyncFileDesiredState state, qint64 generation)
{
    if (record.generation() != generation) {
        // Changed while its operation ran: still owed, dispatched again once settled.
        record.setSyncStatus(SyncFileStatus::pending);
        return;
    }
    // An upload the service accepted with a conflict has just said so on the record: settled
    // like any success, it stays in conflict until the user has seen it.
    const bool conflict = state == SyncFileDesiredState::conflictResolutionPending
                          || record.syncStatus() == SyncFileStatus::conflict;
    record.markSynced(conflict ? SyncFileStatus::conflict : SyncFileStatus::synced);
    // The transfer, dispatched after anything the feed told of the file, leaves the record
    // knowing the service's content: a version told of without it is this one, or older.
    if (const auto id = record.remoteId())
        m_unnamedVersions.remove(*id);
}

void SyncLane::returnToPending(const DispatchContext &context)
{
    auto record = findDispatchedRecord(context);
    if (!record || record->syncStatus() != SyncFileStatus::syncing)
        return;
    record->setSyncStatus(SyncFileStatus::pending);
    saveQuietly();
}

std::shared_ptr<SyncFile> SyncLane::findDispatchedRecord(const DispatchContext &context)
{
    if (auto record = fetchRecordByFileUUID(context.fileUUID))
        return record;
    return fetchRecord(context.localPath);
}

// filesPending must be exact at every dispatch and every finish, but a count walks every
// owed entry of the folder's index (about 1 ms at 10,000). The queue counts once (the store
// with the unsaved changes laid over it, as the user's view of the records) and then follows
// the records it holds: those in flight and those whose outcome waits for the group's commit,
// each moving the count by its own change of owed work (read from its handle). An unsaved
// change of any other record, a save of another of this folder's records, or a deletion it
// cannot place, means a recount.
qint64 SyncLane::outstandingCount()
{
    if (!m_countingSaves)
        return fetchOutstandingRecordCount(*m_modelContext, laneID());
    const auto followed = [this](const Record &record) {
        if (record.tableInfo().typeIndex != SyncFile::typeIndex)
            return true; // journal rows, the folder, a multipart state: no count of owed work
        const auto it = m_tally.inFlight.constFind(record.persistentID());
        return it != m_tally.inFlight.cend() && it->first.get() == &record;
    };
    if (!m_tally.valid || m_modelContext->hasChangesOtherThan(followed)) {
        m_tally.count = fetchOutstandingRecordCount(*m_modelContext, laneID());
        for (auto &entry : m_tally.inFlight)
            entry.second = owesWork(*entry.first, laneID());
        m_tally.valid = true;
        return m_tally.count;
    }
    for (auto &entry : m_tally.inFlight) {
        const bool owed = owesWork(*entry.first, laneID());
        m_tally.count += qint64(owed) - qint64(entry.second);
        entry.second = owed;
    }
    return m_tally.count;
}

void SyncLane::refreshFilesPending()
{
    const qint64 count = outstandingCount();
    if (count != filesPending())
        setFilesPending(count);
}

void SyncLane::noteStoreSaved(const StoreChanges &changes)
{
    if (!m_tally.valid)
        return;
    const QString &fileType = SyncFile::layout().info.name;
    auto follow = [&](const StoreChanges::Entry &entry, bool deleted) {
        if (entry.type != fileType || !m_tally.valid)
            return;
        if (const auto it = m_tally.inFlight.find(entry.id); it != m_tally.inFlight.end()) {
            const bool owed = owesWork(*it->first, laneID());
            m_tally.count += qint64(owed) - qint64(it->second);
            it->second = owed;
            return;
        }
        if (!deleted) {
            const auto record = m_modelContext->object<SyncFile>(entry.id);
            if (record && record->folderID() != laneID())
                return; // another folder's record
        }
        m_tally.valid = false;
    };
    for (const auto &entry : changes.inserted)
        follow(entry, false);
    for (const auto &entry : changes.changed)
        follow(entry, false);
    for (const auto &entry : changes.deleted)
        follow(entry, true);
}

} // namespace quillmere
