#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"

#include "Accounts/KeychainVault.h"
#include "ActivityLog/SyncLogger.h"
#include "Engine/BookmarkManager.h"
#include "FileServices/Debouncer.h"
#include "FileServices/FileWatcher.h"
#include "Model/LaneQueries.h"
#include "Model/ModelContainer.h"
#include "Model/ModelContext.h"
#include "Model/StoreError.h"
#include "Model/SyncFolder.h"

#include <QCoreApplication>
#include <QFile>

#include <sys/stat.h>

#include <utility>

namespace quillmere {

namespace {

using lane::logLine;
using lane::sameText;

} // namespace

SyncLane::SyncLane(const LaneServices &services)
    : SyncLaneInterface(services.folder->stableID(), services.folder),
      m_apiClient(services.apiClient),
      m_bookmarkManager(services.bookmarkManager),
      m_rulesEngine(services.rulesEngine),
      m_dawRunningStateProvider(services.dawRunningStateProvider),
      m_conflictResolver(services.conflictResolver),
      m_modelContext(services.modelContext),
      m_vault(services.vault),
      m_clock(*services.clock),
      m_debouncer(std::make_unique<Debouncer>(*services.clock))
{
    // A failure shown stays shown only while its record still fails: whoever saves the record
    // settled, owed afresh or removed (a pass, the feed, the intake, a reset), it goes.
    connect(&m_modelContext->container(), &ModelContainer::saved, this,
            [this](const StoreChanges &changes) { followFailingRecords(changes); });
    // Whoever saved the context (this lane, another lane, the panel) wrote the group with it.
    connect(m_modelContext.get(), &ModelContext::didSave, this, [this] { closeGroup(); });
}

SyncLane::~SyncLane()
{
    // Deliveries already posted by the watcher find the lane gone; the task handles request
    // stop of whatever still runs as they are destroyed.
    ++m_epoch;
    if (m_fileWatcher)
        m_fileWatcher->stop();
    // Outcomes the service confirmed are not left to the next pass's hash check.
    if (groupIsOpen())
        flushCommitGroup();
}

QString SyncLane::accessLostMessage()
{
    //: Sync error
    return tr("Folder access lost. Please re-select your sync folder in Settings.");
}

QString SyncLane::folderMissingMessage()
{
    //: Sync error
    return tr("Sync folder missing. Re-select in Settings or use Reset from Harborly.");
}

void SyncLane::start()
{
    const auto folderPath = syncFolder()->folderPath();
    if (!folderPath)
        return;
    m_started = true;
    // Two activations of one lane would race for the watcher and the records: the earlier
    // one ends first.
    m_syncTask.cancel();
    auto self = shared_from_this();
    auto body = [self, path = *folderPath](std::stop_token stop) {
        return self->readBookmarkAndActivate(path, std::move(stop));
    };
    m_syncTask = TaskHandle::start(std::move(body));
}

QCoro::Task<> SyncLane::readBookmarkAndActivate(QString folderPath, std::stop_token stop)
{
    // The vault is read on its own thread: a locked keyring answers over D-Bus, which must
    // not hold up the main thread.
    const quint64 epoch = m_epoch;
    KeychainVault::Entry entry;
    if (m_vault)
        entry = co_await m_vault->entryAsync(KeychainVault::folderBookmarkKey(syncFolder()->stableID()));
    if (!isCurrent(epoch, stop))
        co_return;
    if (entry.unreadable) {
        // Whether the bookmark exists is unknown: nothing is declared lost, and the next start
        // (a resume, a restart of the engine) reads the vault again.
        logLine(SyncLogger::Event::syncFailed,
                QStringLiteral("Bookmark unreadable for %1: the keyring could not be read").arg(syncFolder()->name()));
        co_return;
    }
    if (!entry.value) {
        setSyncState(SyncEngineState::error(accessLostMessage()));
        logLine(SyncLogger::Event::syncFailed,
                QStringLiteral("Bookmark missing for %1 (%2)").arg(syncFolder()->name(), folderPath));
        notifyStateChanged();
        co_return;
    }
    co_await activate(*entry.value, folderPath, stop);
}

void SyncLane::stop()
{
    // What completed is stored before anything stops: the engine's stop is also the quit.
    flushCommitGroup();
    ++m_epoch;
    m_started = false;
    // Remembered for a run only; the feed tells it again from where the cursor stands.
    m_unnamedVersions.clear();
    m_deletesAfterDownload.clear(); // the page that told them was not stored: told again
    m_wholeFeedDeletes.reset(); // read again by the next run's first full sync that needs it
    // The next run reads from the stored cursor again, with nothing known yet.
    m_heard.reset();
    m_learnedAt.clear();
    m_learnedByStamp.clear();
    m_manualPassStop.request_stop();
    m_manualPassStop = std::stop_source();
    if (m_fileWatcher) {
        m_fileWatcher->stop();
        m_fileWatcher.reset();
        m_watchedPath.clear();
    }
    m_syncTask = TaskHandle();
    m_deltaSyncTask = TaskHandle();
    m_livenessTask = TaskHandle();
    m_prioritySleepTask = TaskHandle();
    m_priorityTask = TaskHandle();
    m_rootCheckTask = TaskHandle();
    cancelScheduledPasses();
    // A pass asked for before the stop belongs to the old activation; a new one asks again.
    m_queueRerunRequested = false;
    m_debouncer->cancelAll();
    m_intakeStop.request_stop();
    m_intakeStop = std::stop_source();
    setSyncState(SyncEngineState::idle());
    setCurrentFile(std::nullopt);
    setFilesSyncing(0);
}

void SyncLane::pause()
{
    // What completed is stored now, not when the lane resumes (or the user quits meanwhile).
    flushCommitGroup();
    setIsPaused(true);
    m_manualPassStop.request_stop();
    m_manualPassStop = std::stop_source();
    m_syncTask = TaskHandle();
    m_deltaSyncTask = TaskHandle();
    m_prioritySleepTask = TaskHandle();
    m_priorityTask = TaskHandle();
    cancelScheduledPasses();
    m_queueRerunRequested = false;
    m_debouncer->cancelAll();
    m_intakeStop.request_stop();
    m_intakeStop = std::stop_source();
    setSyncState(SyncEngineState::paused());
    setCurrentFile(std::nullopt);
    setFilesSyncing(0);
}

void SyncLane::refreshPriority()
{
    m_prioritySleepTask = TaskHandle();
    std::weak_ptr<SyncLane> weak = weak_from_this();
    auto body = [weak](std::stop_token stop) { return runPriorityReevaluation(weak, std::move(stop)); };
    m_priorityTask = TaskHandle::start(std::move(body));
}

QCoro::Task<> SyncLane::reset()
{
    stop();
    const auto records = fetchFolderRecords();
    for (const auto &record : records)
        m_modelContext->remove(record);
    saveQuietly();
    setLastSyncAt(std::nullopt);
    setLastError(std::nullopt);
    setSyncErrors({});
    m_failures.clear();
    setFilesInError(0);
    setConflictsToReview(0);
    setRecentSyncedFiles({});
    logLine(SyncLogger::Event::syncStarted, QStringLiteral("Lane reset: cleared %1 tracked files for %2")
                                                .arg(QString::number(records.size()), syncFolder()->name()));
    // A paused lane stays paused: the engine's resume starts it.
    if (isPaused())
        setSyncState(SyncEngineState::paused());
    else
        start();
    co_return;
}

void SyncLane::startFileWatcher(const QString &path)
{
    // One watcher per lane: the old one ends before the new one starts.
    if (m_fileWatcher) {
        m_fileWatcher->stop();
        m_fileWatcher.reset();
    }
    const quint64 generation = ++m_watcherGeneration;
    std::weak_ptr<SyncLane> weak = weak_from_this();
    // Runs on the watcher's thread: only the weak handle crosses to the main thread, where a
    // batch of a watcher that has been replaced or stopped since is dropped.
    auto callback = [weak, generation](const QSet<QString> &paths) {
        auto deliver = [weak, generation, paths] {
            if (auto lane = weak.lock())
                lane->deliverWatcherEvents(generation, paths);
        };
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(deliver), Qt::QueuedConnection);
    };
    m_fileWatcher = std::make_unique<FileWatcher>(std::move(callback));
    m_watchedPath = path;
    m_fileWatcher->start(path);
}

void SyncLane::deliverWatcherEvents(quint64 generation, const QSet<QString> &paths)
{
    if (generation != m_watcherGeneration || !m_fileWatcher)
        return;
    handleFileEvents(paths);
}

void SyncLane::startDeltaSyncTask()
{
    if (!m_deltaLoopEnabled)
        return;
    std::weak_ptr<SyncLane> weak = weak_from_this();
    auto body = [weak](std::stop_token stop) { return deltaSyncLoop(weak, std::move(stop)); };
    m_deltaSyncTask = TaskHandle::start(std::move(body));
}

void SyncLane::startLivenessTask()
{
    std::weak_ptr<SyncLane> weak = weak_from_this();
    auto body = [weak](std::stop_token stop) { return livenessLoop(weak, std::move(stop)); };
    m_livenessTask = TaskHandle::start(std::move(body));
}

// Both hold the lane only for the one call, which re-checks its own epoch after each wait.
QCoro::Task<> SyncLane::runPriorityReevaluation(std::weak_ptr<SyncLane> weak, std::stop_token stop)
{
    if (auto lane = weak.lock())
        co_await lane->reevaluatePriority(std::move(stop));
}

QCoro::Task<> SyncLane::runIntake(std::weak_ptr<SyncLane> weak, QSet<QString> paths)
{
    if (auto lane = weak.lock())
        co_await lane->processDebouncedPaths(std::move(paths));
}

bool SyncLane::isSettled() const
{
    return !m_syncTask.isRunning() && !m_rootCheckTask.isRunning() && !m_priorityTask.isRunning()
           && !m_prioritySleepTask.isRunning() && !m_isProcessingQueue && !m_queueRerunRequested
           && !m_debouncer->isPending(debounceKey()) && m_intakesInFlight == 0
           && !m_fullSyncRetryTask.isRunning() && !m_queueRetryTask.isRunning() && !groupIsOpen();
}

QString SyncLane::debounceKey() const
{
    return QStringLiteral("fs-event-") + laneID().toString(QUuid::WithoutBraces).toUpper();
}

void SyncLane::recordRecentFile(const QString &filename, SyncFileDirection direction, RecentFile::Kind kind)
{
    auto list = recentSyncedFiles();
    list.prepend(RecentFile{QUuid::createUuid(), filename, direction, kind, m_clock.currentDateTime(), std::nullopt});
    if (list.size() > maxRecentFiles)
        list.resize(maxRecentFiles);
    setRecentSyncedFiles(std::move(list));
}

QUuid SyncLane::appendSyncError(const QString &filename, SyncFileDirection direction, const QString &message)
{
    const QUuid id = QUuid::createUuid();
    auto list = syncErrors();
    list.prepend(RecentFile{id, filename, direction, RecentFile::Kind::transferred, m_clock.currentDateTime(), message});
    if (list.size() > maxSyncErrors)
        list.resize(maxSyncErrors);
    setSyncErrors(std::move(list));
    return id;
}

void SyncLane::clearErrors(const QString &filename)
{
    // Another file of the same name (in another folder) that still fails keeps its entry.
    QSet<QUuid> failing;
    for (const auto &note : std::as_const(m_failures))
        if (note.entry)
            failing.insert(*note.entry);
    auto list = syncErrors();
    list.removeIf([&](const RecentFile &entry) {
        return sameText(entry.filename, filename) && !failing.contains(entry.id);
    });
    if (list.size() != syncErrors().size())
        setSyncErrors(list);
    if (list.isEmpty() && m_failures.isEmpty())
        setLastError(std::nullopt);
}

void SyncLane::conflictAcknowledged(const QString &localPath, bool editOwed)
{
    if (editOwed)
        m_acknowledgedEdits.insert(localPath);
    // The panel saved the record through its own context, which this one has taken in: the
    // conflict is counted no more, and its recent upload no longer points to the list.
    refreshRecordCounts();
    notifyStateChanged();
}

void SyncLane::settleReviewedConflictEntries()
{
    auto list = recentSyncedFiles();
    auto inConflict = [](const RecentFile &entry) { return entry.direction == SyncFileDirection::conflict; };
    if (std::none_of(list.cbegin(), list.cend(), inConflict))
        return;
    // Conflicts are few; with more than this many listed, the entries are left as they are.
    // The count just taken says so before anything is read: at every count of a folder with
    // many conflicts, a thousand records would otherwise be read only to be let go.
    constexpr int mostRead = 1000;
    const qint64 toReview = conflictsToReview();
    if (toReview >= mostRead)
        return;
    std::vector<std::shared_ptr<SyncFile>> listed;
    if (toReview > 0)
        listed = fetchConflictsToReview(*m_modelContext, laneID(), mostRead);
    if (listed.size() >= size_t(mostRead))
        return;
    bool changed = false;
    for (RecentFile &entry : list) {
        if (!inConflict(entry))
            continue;
        const bool stillListed = std::any_of(listed.cbegin(), listed.cend(), [&](const auto &record) {
            return sameText(record->filename(), entry.filename);
        });
        if (stillListed)
            continue;
        entry.direction = SyncFileDirection::upload;
        changed = true;
    }
    if (changed)
        setRecentSyncedFiles(std::move(list));
}

void SyncLane::showPathFailure(std::optional<QString> &shown, const QString &message)
{
    shown = message;
    setLastError(message);
    notifyStateChanged();
}

void SyncLane::clearPathFailure(std::optional<QString> &shown)
{
    // Only the request's own failure goes, and only while it is what is shown: a record's
    // failure (kept by showRecordFailures) or anything set since stays.
    const std::optional<QString> failure = std::exchange(shown, std::nullopt);
    if (!failure || lastError() != failure)
        return;
    showRecordFailures();
    // A failed full sync stays the folder's error until a full sync goes through.
    if (!lastError() && syncState().isError())
        setLastError(syncState().message);
    notifyStateChanged();
}

std::vector<std::shared_ptr<SyncFile>> SyncLane::fetchFolderRecords()
{
    try {
        return m_modelContext->fetch(SyncFile::inFolder(laneID()));
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the folder's records", error);
        return {};
    }
}

std::shared_ptr<SyncFile> SyncLane::fetchRecord(const QString &localPath)
{
    auto request = SyncFile::withLocalPath(localPath);
    request.equals(SyncFile::Field::folderID, laneID());
    try {
        return m_modelContext->fetchFirst(request);
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading a record by path", error);
        return nullptr;
    }
}

bool SyncLane::saveQuietly()
{
    try {
        m_modelContext->save();
        return true;
    } catch (const std::exception &error) {
        // The changes stay pending in the context; the next save writes them. The group's
        // outcomes do not: none may say synced in memory while the store has not got it.
        failGroup();
        traceStoreFailure(StoreStep::save, "saving", error);
        return false;
    }
}

void SyncLane::traceStoreFailure(StoreStep step, const char *doing, const std::exception &error)
{
    const auto bit = quint8(1u << static_cast<unsigned>(step));
    if (m_tracedStoreSteps & bit)
        return;
    m_tracedStoreSteps |= bit;
    // A store error's own text is the user's; its detail says what the store refused.
    const auto *storeError = dynamic_cast<const StoreError *>(&error);
    const QString why = storeError ? storeError->detail() : QString::fromUtf8(error.what());
    qCWarning(lane::laneLog, "Store failed %s for folder %s (logged once per folder): %s", doing,
              qPrintable(laneID().toString(QUuid::WithoutBraces)), qPrintable(why));
}

void SyncLane::dropFolderState()
{
    for (const auto &record : fetchFolderRecords())
        m_modelContext->remove(record);
    const auto &folder = syncFolder();
    if (!folder->isDeleted()) {
        folder->setDeltaCursor(std::nullopt);
        folder->setHeadCommitSha(std::nullopt);
    }
    saveQuietly();
}

void SyncLane::showAccessLost(const QString &folderPath)
{
    // The watchdog starts the lane again every period until the folder is back; each attempt
    // that still finds it unreachable says nothing new.
    const bool known = isAccessLost();
    setSyncState(SyncEngineState::error(accessLostMessage()));
    if (!known)
        logLine(SyncLogger::Event::syncFailed, QStringLiteral("Folder access lost for %1").arg(folderPath));
    if (!m_livenessTask.isRunning())
        startLivenessTask();
}

void SyncLane::handleFileEvents(const QSet<QString> &paths)
{
    auto self = shared_from_this(); // the engine may drop the lane from inside the callback
    setHasLocalChanges(true);
    notifyStateChanged();

    if (const auto folderPath = syncFolder()->folderPath()) {
        struct stat status{};
        if (::lstat(QFile::encodeName(*folderPath).constData(), &status) != 0) {
            // Gone from its path: deleted, moved or on a drive that went away. The bookmark
            // tells them apart; one check at a time covers every batch that follows.
            if (!m_rootCheckTask.isRunning()) {
                std::weak_ptr<SyncLane> weak = self;
                auto body = [weak, path = *folderPath, epoch = m_epoch](std::stop_token stop) {
                    return checkVanishedRoot(weak, path, epoch, std::move(stop));
                };
                m_rootCheckTask = TaskHandle::start(std::move(body));
            }
            return;
        }
    }
    if (isPaused() || !syncFolder()->policy().sendsLocalChanges)
        return;

    // A file born after the burst began may hold the inode of a file deleted within it
    // (compared with birth times, so the wall clock).
    if (!m_debouncer->isPending(debounceKey()))
        m_burstArrivedNs = QDateTime::currentMSecsSinceEpoch() * 1'000'000;
    std::weak_ptr<SyncLane> weak = self;
    auto intake = [weak](QSet<QString> batch) { return runIntake(weak, std::move(batch)); };
    m_debouncer->debounce(debounceKey(), settleWindow, paths, std::move(intake));
}

QCoro::Task<> SyncLane::checkVanishedRoot(std::weak_ptr<SyncLane> weak, QString folderPath, quint64 epoch,
                                          std::stop_token stop)
{
    std::shared_ptr<BookmarkManager> bookmarks;
    std::optional<QByteArray> data;
    if (auto lane = weak.lock()) {
        bookmarks = lane->m_bookmarkManager;
    } else {
        co_return;
    }
    if (auto lane = weak.lock(); lane && lane->m_vault) {
        KeychainVault &vault = *lane->m_vault;
        const QString key = KeychainVault::folderBookmarkKey(lane->laneID());
        lane.reset();
        data = (co_await vault.entryAsync(key)).value;
    }

    // Without a bookmark nothing proves a deletion, so nothing is deleted.
    enum class Verdict { accessLost, moved, deleted } verdict = Verdict::accessLost;
    if (data) {
        try {
            const QString resolved = co_await bookmarks->startAccessing(*data);
            bookmarks->stopAccessing(resolved);
            verdict = sameText(resolved, folderPath) ? Verdict::deleted : Verdict::moved;
        } catch (const std::exception &) {
            verdict = Verdict::accessLost;
        }
    }

    auto lane = weak.lock();
    if (!lane || !lane->isCurrent(epoch, stop))
        co_return;
    switch (verdict) {
    case Verdict::moved:
        // A new activation follows the folder to its new path.
        lane->stop();
        if (lane->isPaused())
            lane->setSyncState(SyncEngineState::paused());
        else
            lane->start();
        co_return;
    case Verdict::accessLost:
        lane->stop();
        lane->showAccessLost(folderPath);
        break;
    case Verdict::deleted:
        lane->dropFolderState();
        lane->stop();
        lane->setSyncState(SyncEngineState::error(folderMissingMessage()));
        logLine(SyncLogger::Event::syncFailed,
                QStringLiteral("Folder disappeared at runtime for %1").arg(lane->syncFolder()->name()));
        break;
    }
    lane->notifyStateChanged();
}

LaneFactory makeSyncLaneFactory()
{
    return [](const LaneServices &services) -> std::shared_ptr<SyncLaneInterface> {
        return std::make_shared<SyncLane>(services);
    };
}

} // namespace quillmere
