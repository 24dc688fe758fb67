#include "Lane/SyncLane.h"

#include "ActivityLog/SyncLogger.h"
#include "Model/LaneQueries.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"

#include <QScopeGuard>

#include <utility>

namespace quillmere {

namespace {

void logLine(const QString &detail)
{
    SyncLogger::shared().log(SyncLogger::Event::syncStarted, SyncLogger::Direction::none, QString(), detail);
}

constexpr int queueSlots = 4;

} // namespace

QCoro::Task<> SyncLane::processQueue(std::stop_token stop)
{
    const QString name = syncFolder()->name();
    if (m_isProcessingQueue) {
        // Passes never overlap, but the request is kept: it may come from a new activation
        // while a stopped pass drains, and nothing else would ask again.
        m_queueRerunRequested = true;
        logLine(QStringLiteral("Queue already processing for %1, running again when it ends").arg(name));
        co_return;
    }
    if (passesHeldByPriority()) {
        // The rules hold the folder while a guarding application runs: the work stays owed
        // and the re-evaluation when it quits runs the pass.
        logLine(QStringLiteral("Sync of %1 waits: priority none while a guarding application runs").arg(name));
        co_return;
    }
    // onStateChanged may make the engine drop the lane: the pass keeps it until it ends.
    const auto self = shared_from_this();
    const quint64 epoch = m_epoch;
    m_isProcessingQueue = true;
    ++m_queuePasses;
    // Destroyed before `self`, on every way out (an exception included).
    const auto release = qScopeGuard([this] { endQueuePass(); });

    if (syncState() != SyncEngineState::syncing()) {
        setSyncState(SyncEngineState::syncing());
        notifyStateChanged();
    }

    // A full sync that feeds this pass chunk by chunk settles each chunk against the service
    // itself, before the chunk is handed over.
    const bool fed = m_chunkFeed && m_chunkFeed->open;
    if (!fed)
        co_await runBatchPrePass(stop);
    if (epoch != m_epoch)
        co_return; // stopped: the lane's state belongs to whatever runs now
    // Moves confirmed since the last look (by the pre-pass, say) have their origins deleted
    // in this pass.
    if (releaseMoveOrigins(std::nullopt))
        saveQuietly();

    const qint64 owed = fetchOutstandingRecords();
    setFilesPending(owed);
    if (owed <= 0 && !fed) {
        logLine(QStringLiteral("Derived queue empty for %1").arg(name));
        if (syncState() == SyncEngineState::syncing())
            setSyncState(SyncEngineState::idle());
        notifyStateChanged();
        co_return;
    }

    logLine(QStringLiteral("Processing %1 records with work owed for %2 (slots: %3)").arg(QString::number(owed), name, QString::number(queueSlots)));
    setFilesTotalThisPass(owed);
    setFilesCompletedThisPass(0);
    setSyncState(SyncEngineState::syncing());
    notifyStateChanged();

    co_await runQueueTaskGroup(stop);
    if (epoch != m_epoch)
        co_return;

    // A cancelled pass (the lane paused) still ends here, so its counters are true.
    setFilesSyncing(0);
    setFilesPending(fetchOutstandingRecords());
    setCurrentFile(std::nullopt);
    setLastSyncAt(m_clock.currentDateTime());
    // What still fails stays shown, from its first failure on; what no longer does goes.
    showRecordFailures();
    if (fetchOutstandingRecords() == 0)
        setHasLocalChanges(false);
    if (syncState() == SyncEngineState::syncing())
        setSyncState(SyncEngineState::idle());
    // Moves this pass confirmed: their origins' deletes settle and go in the next pass.
    releaseMoveOrigins(m_clock.currentDateTime());
    saveQuietly();
    if (!stop.stop_requested())
        scheduleQueuePassForRetries();
    notifyStateChanged();
}

void SyncLane::dropPrePassTables()
{
    m_heldDuplicates.clear();
    m_heldPathsSource.clear();
    m_heldPaths.clear();
    m_activeRepresentatives.clear();
    m_prePassChecksums.clear();
    m_prePassStamps.clear();
}

void SyncLane::endQueuePass()
{
    m_isProcessingQueue = false;
    m_notFilesThisPass.clear();
    // Kept, a first sync's would hold a path and a checksum of every file while idle.
    dropPrePassTables();
    if (!std::exchange(m_queueRerunRequested, false))
        return;
    // After this pass has returned, so the two never overlap; it replaces a scheduled retry,
    // which the new pass schedules again at its end.
    std::weak_ptr<SyncLane> weak = weak_from_this();
    auto body = [weak](std::stop_token stop) { return runQueueRerun(weak, std::move(stop)); };
    m_queueRetryTask = TaskHandle::startSoon(std::move(body));
}

QCoro::Task<> SyncLane::runQueueRerun(std::weak_ptr<SyncLane> weak, std::stop_token stop)
{
    auto lane = weak.lock();
    if (!lane || stop.stop_requested() || lane->isPaused())
        co_return;
    co_await lane->processQueue(std::move(stop));
}

void SyncLane::scheduleQueuePassForRetries()
{
    // A transient failure waits for its retry time, and a change recorded just now waits to
    // settle; in an idle lane nothing else would start the pass that sends them.
    const auto owedPending = [this] {
        auto request = SyncFile::inFolder(laneID());
        request.equals(SyncFile::Field::syncStatus, SyncFileStatus::pending)
            .in(SyncFile::Field::desiredState,
                std::vector<SyncFileDesiredState>{SyncFileDesiredState::deletedRemote, SyncFileDesiredState::deletedLocal,
                                                  SyncFileDesiredState::conflictResolutionPending,
                                                  SyncFileDesiredState::uploadPending,
                                                  SyncFileDesiredState::downloadPending});
        return request;
    };
    std::weak_ptr<SyncLane> weak = weak_from_this();
    const auto passIn = [this, &weak](Clock::Duration delay) {
        auto body = [weak, delay](std::stop_token stop) { return runScheduledQueuePass(weak, delay, std::move(stop)); };
        m_queueRetryTask = TaskHandle::start(std::move(body));
    };
    // A record whose wait ended since the pass last looked (the clock moves on while a pass
    // ends) is due now: no later time below would name it, and nothing else might come.
    if (hasDueRecord()) {
        if (m_isProcessingQueue) {
            m_queueRerunRequested = true; // once this pass has ended
        } else {
            auto body = [weak](std::stop_token stop) { return runQueueRerun(weak, std::move(stop)); };
            m_queueRetryTask = TaskHandle::startSoon(std::move(body));
        }
        return;
    }
    const QDateTime now = m_clock.currentDateTime();
    const auto settleMs = std::chrono::duration_cast<std::chrono::milliseconds>(settleWindow).count();
    auto retrying = owedPending();
    retrying.notNull(SyncFile::Field::nextRetryAt).sortBy(SyncFile::Field::nextRetryAt).limitTo(1);
    // A change seen later than the settle window from now was stamped by a clock that ran
    // ahead: the dispatch takes it as settled, and it must not hold back a change still settling.
    auto settling = owedPending();
    settling.notNull(SyncFile::Field::localModifiedAt)
        .atMost(SyncFile::Field::localModifiedAt, now.addMSecs(settleMs))
        .sortBy(SyncFile::Field::localModifiedAt, false)
        .limitTo(1);
    std::optional<QDateTime> earliest;
    std::optional<QDateTime> lastChange;
    try {
        if (const auto record = m_modelContext->fetchFirst(retrying))
            earliest = record->nextRetryAt();
        if (const auto record = m_modelContext->fetchFirst(settling))
            lastChange = record->localModifiedAt();
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the next retry time", error);
    }
    if (lastChange && now.msecsTo(*lastChange) + settleMs > 0
        && (!earliest || now.msecsTo(*earliest) <= 0 || *lastChange < *earliest)) {
        // At the window's end, however near: the check above takes it once it has passed.
        passIn(std::chrono::milliseconds(std::max<qint64>(now.msecsTo(lastChange->addMSecs(settleMs)), 1)));
        return;
    }
    if (!earliest) {
        m_queueRetryTask = TaskHandle();
        return;
    }
    // A retry time already reached belongs to a record held back for another reason (its
    // settle window, a duplicate in flight): look again once the settle window has passed.
    // One further ahead than any back-off was set by a clock that ran ahead: it is due too.
    const qint64 untilRetry = now.msecsTo(*earliest);
    const bool waiting = untilRetry > 0 && untilRetry <= std::chrono::milliseconds(longestRetryWait).count();
    passIn(waiting ? Clock::Duration(std::chrono::milliseconds(untilRetry)) : Clock::Duration(settleWindow));
}

bool SyncLane::hasDueRecord()
{
    // What the pass's dispatch leaves out for good: the uploads it found no file for, and a
    // full sync's chunk still being settled.
    QSet<QString> excluded = m_notFilesThisPass;
    if (m_chunkFeed)
        excluded.unite(m_chunkFeed->reading);
    return fetchWorkOwedRecords(laneID(), settleWindow, m_clock.currentDateTime(), *m_modelContext, excluded)
        != nullptr;
}

QCoro::Task<> SyncLane::runScheduledQueuePass(std::weak_ptr<SyncLane> weak, Clock::Duration delay,
                                              std::stop_token stop)
{
    // This is the spot the priority decision takes over: a paused lane holds the pass.
    auto lane = co_await sleepUnpaused(std::move(weak), delay, stop);
    if (!lane)
        co_return;
    co_await lane->processQueue(stop);
}

QCoro::Task<std::shared_ptr<SyncLane>> SyncLane::sleepUnpaused(std::weak_ptr<SyncLane> weak, Clock::Duration delay,
                                                               std::stop_token stop)
{
    Clock *clock = nullptr;
    if (auto lane = weak.lock())
        clock = &lane->m_clock;
    else
        co_return std::shared_ptr<SyncLane>();
    if (!co_await clock->sleepFor(delay, stop))
        co_return std::shared_ptr<SyncLane>();
    auto lane = weak.lock();
    if (!lane || stop.stop_requested() || lane->isPaused())
        co_return std::shared_ptr<SyncLane>();
    co_return lane;
}

} // namespace quillmere
