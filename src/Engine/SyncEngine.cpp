#include "Engine/SyncEngine.h"

#include "ActivityLog/SyncLogger.h"
#include "Engine/BookmarkManager.h"
#include "Engine/ConflictResolver.h"
#include "Engine/DAWRunningStateProvider.h"
#include "Engine/DAWLivenessReporter.h"
#include "Engine/RulesEngine.h"
#include "Model/DAWConfiguration.h"
#include "Model/ModelContext.h"
#include "Model/StoreError.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Clock.h"
#include "Platform/Memory/FreedMemory.h"
#include "Platform/Workspace/ApplicationEvents.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "ServiceAPI/ServiceReachability.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QPointer>

#include <algorithm>
#include <iterator>
#include <utility>

namespace quillmere {

namespace {

Q_LOGGING_CATEGORY(lcEngine, "app.quillmere.Quillmere.SyncEngine")

void logProgress(SyncLogger::Event event, const QString &detail)
{
    SyncLogger::shared().log(event, SyncLogger::Direction::none, QString(), detail);
}

// A location as a prefix: "/a/b" must not take "/a/bc" for a folder inside it.
QString asFolderPrefix(const QString &path)
{
    QString cleaned = QDir::cleanPath(path);
    if (!cleaned.endsWith(QLatin1Char('/')))
        cleaned += QLatin1Char('/');
    return cleaned;
}

// The same folder, or one inside the other: two lanes would sync the same files.
bool locationsOverlap(const QString &a, const QString &b)
{
    const QString first = asFolderPrefix(a);
    const QString second = asFolderPrefix(b);
    return first.startsWith(second) || second.startsWith(first);
}

template<typename Entry>
bool comesBefore(const Entry &a, const Entry &b)
{
    return a.sortOrder != b.sortOrder ? a.sortOrder < b.sortOrder : a.sequence < b.sequence;
}

// Staged copies of uploads an earlier run was killed in: nothing else ever removes them.
// Touches no engine: it may finish after the engine is gone.
QCoro::Task<> cleanUpStagingFolder(std::stop_token)
{
    auto removing = LibraryAPIClient::removeStagingLeftovers();
    const int removed = co_await std::move(removing);
    if (removed > 0)
        logProgress(SyncLogger::Event::syncStarted,
                    QStringLiteral("Removed %1 staged upload copy(ies) left by an earlier run").arg(removed));
}

void sortNewestFirstAndCut(QList<RecentFile> &list, qsizetype limit)
{
    std::stable_sort(list.begin(), list.end(),
                     [](const RecentFile &a, const RecentFile &b) { return a.timestamp > b.timestamp; });
    if (list.size() > limit)
        list.resize(limit);
}

} // namespace

SyncEngine::SyncEngine(std::shared_ptr<LibraryAPIClient> apiClient, KeychainVault &vault, Clock &clock,
                       ApplicationEvents &applicationEvents, LaneFactory laneFactory, QObject *parent)
    : QObject(parent)
    , m_apiClient(std::move(apiClient))
    , m_vault(vault)
    , m_clock(clock)
    , m_applicationEvents(applicationEvents)
    , m_laneFactory(std::move(laneFactory))
    , m_bookmarkManager(std::make_shared<BookmarkManager>(vault))
    , m_rulesEngine(std::make_shared<RulesEngine>())
    , m_conflictResolver(std::make_shared<ConflictResolver>())
    , m_dawReporter(std::make_unique<DAWLivenessReporter>(
          m_apiClient, clock, std::make_shared<SystemDAWRunningStateProvider>(applicationEvents)))
{
    // The shell's status, in one signal: a property it shows belongs in this list, so whoever
    // follows the status needs no list of its own.
    for (auto changed :
         {&SyncEngine::syncStateChanged, &SyncEngine::isPausedChanged, &SyncEngine::isHibernatingChanged,
          &SyncEngine::isStorageFullChanged, &SyncEngine::filesPendingChanged, &SyncEngine::filesSyncingChanged,
          &SyncEngine::filesInErrorChanged, &SyncEngine::conflictsToReviewChanged,
          &SyncEngine::currentFileNameChanged, &SyncEngine::lastSyncAtChanged, &SyncEngine::heldDownloadNoticeChanged,
          &SyncEngine::isSyncingNowChanged, &SyncEngine::hibernationIntervalChanged})
        QObject::connect(this, changed, this, &SyncEngine::statusChanged);
    // The multi-device warning and the service's silence are shown too; both belong to
    // services the engine holds for its whole life.
    QObject::connect(m_dawReporter.get(), &DAWLivenessReporter::activeWarningChanged, this,
                     &SyncEngine::statusChanged);
    if (m_apiClient && m_apiClient->api())
        QObject::connect(m_apiClient->api()->reachability().get(), &ServiceReachability::unreachableSinceChanged, this,
                         &SyncEngine::statusChanged);
}

// Only releases what it holds: lanes are not stopped and observers not removed here, but
// the observers' connections end with this object and lane callbacks hold it weakly.
SyncEngine::~SyncEngine() = default;

void SyncEngine::setIsPaused(bool value)
{
    assign(m_isPaused, value, &SyncEngine::isPausedChanged);
}

void SyncEngine::setIsHibernating(bool value)
{
    assign(m_isHibernating, value, &SyncEngine::isHibernatingChanged);
}

void SyncEngine::setIsStorageFull(bool value)
{
    assign(m_isStorageFull, value, &SyncEngine::isStorageFullChanged);
}

void SyncEngine::setHasHydratedThisSession(bool value)
{
    assign(m_hasHydratedThisSession, value, &SyncEngine::hasHydratedThisSessionChanged);
}

void SyncEngine::setIsSyncingNow(bool value)
{
    assign(m_isSyncingNow, value, &SyncEngine::isSyncingNowChanged);
}

void SyncEngine::setSyncState(SyncEngineState value)
{
    assign(m_syncState, std::move(value), &SyncEngine::syncStateChanged);
}

void SyncEngine::setHibernationInterval(double value)
{
    assign(m_hibernationInterval, value, &SyncEngine::hibernationIntervalChanged);
}

void SyncEngine::setStoredModelContext(std::shared_ptr<ModelContext> context)
{
    assign(m_storedModelContext, std::move(context), &SyncEngine::storedModelContextChanged);
    m_dawReporter->setModelContext(m_storedModelContext);
}

std::vector<std::shared_ptr<SyncLaneInterface>> SyncEngine::lanes() const
{
    std::vector<std::shared_ptr<SyncLaneInterface>> result;
    result.reserve(m_lanes.size());
    for (const auto &entry : m_lanes)
        result.push_back(entry.lane);
    return result;
}

std::shared_ptr<SyncLaneInterface> SyncEngine::lane(const QUuid &folderID) const
{
    for (const auto &entry : m_lanes) {
        if (entry.id == folderID)
            return entry.lane;
    }
    return nullptr;
}

std::vector<std::shared_ptr<SyncFolder>> SyncEngine::fetchSyncFolders() const
{
    if (!m_storedModelContext)
        return {};
    try {
        return m_storedModelContext->fetch(SyncFolder::enabledByOrder());
    } catch (const StoreError &error) {
        qCWarning(lcEngine) << "Sync folders could not be read:" << error.what();
        return {};
    }
}

bool SyncEngine::hasConfiguredFolders() const
{
    const auto folders = fetchSyncFolders();
    return std::any_of(folders.begin(), folders.end(),
                       [](const auto &folder) { return folder->folderPath().has_value(); });
}

void SyncEngine::start()
{
    if (!m_storedModelContext || m_isHibernating || !m_lanes.empty())
        return;
    // Before any lane exists, so no upload of this engine has staged a copy yet (and a
    // running one is spared anyway).
    if (!std::exchange(m_stagingCleanedUp, true))
        m_stagingCleanupTask = TaskHandle::start(cleanUpStagingFolder);
    // Every folder is judged afresh: an overlap refused last time may be gone.
    m_refused.clear();
    for (const auto &folder : fetchSyncFolders())
        createLane(folder);
    logProgress(SyncLogger::Event::syncStarted, QStringLiteral("Started %1 lane(s)").arg(m_lanes.size()));
    m_dawReporter->start();
    installWorkspaceObservers();
    refreshAggregateStatus();
    startStorageMonitor();
}

void SyncEngine::stop()
{
    endRecoveryWork();
    ++m_folderOpsEpoch;
    cancelHibernation();
    removeWorkspaceObservers();
    // Taken out of the table first: a lane that reports while it stops sees the table empty.
    auto stopped = std::exchange(m_lanes, {});
    m_refused.clear();
    for (const auto &entry : stopped)
        entry.lane->stop();
    stopped.clear();
    m_dawReporter->stopTimer();
    // Stopped, and kept until it has ended: isStorageMonitorRunning() tells when it has.
    m_storageMonitorTask.cancel();
    setSyncState(SyncEngineState::idle());
    setHasHydratedThisSession(false);
}

bool SyncEngine::createLane(const std::shared_ptr<SyncFolder> &folder)
{
    // While hibernating the recovery's start makes the lanes (and restarts what hibernation
    // stopped); a lane made before would keep that start from running.
    if (!m_storedModelContext || !folder || m_isHibernating)
        return false;
    const std::optional<QString> path = folder->folderPath();
    if (!path)
        return false;
    const QUuid id = folder->stableID();
    if (lane(id))
        return true;
    if (isFolderHeld(id))
        return false;

    if (const auto holder = overlappingLaneFolder(*folder)) {
        refuse(*folder, *holder);
        return false;
    }

    LaneServices services;
    services.folder = folder;
    services.apiClient = m_apiClient;
    services.bookmarkManager = m_bookmarkManager;
    services.rulesEngine = m_rulesEngine;
    services.conflictResolver = m_conflictResolver;
    services.modelContext = m_storedModelContext;
    services.vault = &m_vault;
    services.clock = &m_clock;
    services.dawRunningStateProvider = std::make_shared<SystemDAWRunningStateProvider>(m_applicationEvents);
    std::shared_ptr<SyncLaneInterface> created = m_laneFactory ? m_laneFactory(services) : nullptr;
    if (!created)
        return false;

    // Callbacks and progress routing come first and the table entry before the start: a
    // lane may report (even die) from inside start(), and the engine must find it then.
    installCallbacks(created);
    installProgressHandler(created);
    LaneEntry entry{id, folder->sortOrder(), m_nextSequence++, created};
    m_lanes.insert(std::upper_bound(m_lanes.begin(), m_lanes.end(), entry, comesBefore<LaneEntry>), entry);
    forgetRefusal(id);

    if (m_isPaused) {
        // A paused engine keeps new lanes from syncing: the lane joins paused, and resuming
        // starts it like every other lane.
        created->setIsPaused(true);
        created->pause();
    } else {
        created->start();
    }
    return true;
}

std::shared_ptr<SyncFolder> SyncEngine::overlappingLaneFolder(const SyncFolder &folder) const
{
    const std::optional<QString> path = folder.folderPath();
    if (!path)
        return nullptr;
    for (const auto &entry : m_lanes) {
        const auto &holder = entry.lane->syncFolder();
        const auto holderPath = holder ? holder->folderPath() : std::nullopt;
        if (entry.id != folder.stableID() && holderPath && locationsOverlap(*path, *holderPath))
            return holder;
    }
    return nullptr;
}

void SyncEngine::installCallbacks(const std::shared_ptr<SyncLaneInterface> &lane)
{
    const QPointer<SyncEngine> engine(this);
    const std::weak_ptr<SyncLaneInterface> weakLane = lane;
    SyncLaneInterface::Callbacks callbacks;
    callbacks.onStateChanged = [engine] {
        if (engine)
            engine->refreshAggregateStatus();
    };
    callbacks.onStorageFull = [engine] {
        if (engine)
            engine->handleStorageFull();
    };
    callbacks.onUploadSucceeded = [engine] {
        if (engine)
            engine->handleUploadSucceeded();
    };
    callbacks.onLaneDied = [engine, weakLane](QUuid id) {
        // Only the lane the table holds may give up its place: a lane already replaced must
        // not take its successor down with it.
        const auto reporting = weakLane.lock();
        if (engine && reporting && engine->lane(id) == reporting)
            engine->handleLaneDied(id);
    };
    lane->setCallbacks(std::move(callbacks));
}

void SyncEngine::installProgressHandler(const std::shared_ptr<SyncLaneInterface> &lane)
{
    const std::weak_ptr<SyncLaneInterface> weakLane = lane;
    m_apiClient->setMultipartProgressHandler([weakLane](const QString &fileName, qint64 partsCompleted,
                                                        qint64 totalParts, qint64 bytesUploaded,
                                                        qint64 totalBytes) {
        // Reports may come from any thread; the lane is touched only on the main thread.
        MultipartProgress progress{fileName, partsCompleted, totalParts, bytesUploaded, totalBytes};
        auto *application = QCoreApplication::instance();
        if (!application)
            return;
        QMetaObject::invokeMethod(
            application,
            [weakLane, progress = std::move(progress)]() mutable {
                const auto target = weakLane.lock();
                if (!target)
                    return;
                target->setMultipartProgress(std::move(progress));
                target->notifyStateChanged();
            },
            Qt::QueuedConnection);
    });
}

void SyncEngine::refreshAggregateStatus()
{
    // A snapshot: nothing below calls into a lane, but the order must be the table's.
    struct Slot
    {
        qint64 sortOrder;
        quint64 sequence;
        const SyncLaneInterface *lane;
        const RefusedFolder *refused;
    };
    std::vector<Slot> slots;
    slots.reserve(m_lanes.size() + m_refused.size());
    for (const auto &entry : m_lanes)
        slots.push_back({entry.sortOrder, entry.sequence, entry.lane.get(), nullptr});
    for (const auto &refused : m_refused)
        slots.push_back({refused.sortOrder, refused.sequence, nullptr, &refused});
    std::sort(slots.begin(), slots.end(), comesBefore<Slot>);

    std::optional<QString> firstError;
    bool anySyncing = false;
    qint64 pending = 0;
    qint64 syncing = 0;
    qint64 failed = 0;
    qint64 conflicts = 0;
    qint64 total = 0;
    qint64 completed = 0;
    std::optional<QString> lastError;
    std::optional<QDateTime> lastSyncAt;
    std::optional<QString> currentFile;
    QList<RecentFile> errors;
    QList<RecentFile> recent;
    QSet<QUuid> withChanges;
    std::optional<QString> notice;

    for (const Slot &slot : slots) {
        if (slot.refused) {
            if (!firstError)
                firstError = slot.refused->message;
            continue;
        }
        const SyncLaneInterface &lane = *slot.lane;
        if (lane.syncState().isError() && !firstError)
            firstError = lane.syncState().message;
        anySyncing = anySyncing || lane.syncState().kind == SyncEngineState::Kind::syncing;
        pending += lane.filesPending();
        syncing += lane.filesSyncing();
        failed += lane.filesInError();
        conflicts += lane.conflictsToReview();
        total += lane.filesTotalThisPass();
        completed += lane.filesCompletedThisPass();
        if (!lastError)
            lastError = lane.lastError();
        if (lane.lastSyncAt() && (!lastSyncAt || *lane.lastSyncAt() > *lastSyncAt))
            lastSyncAt = lane.lastSyncAt();
        if (!currentFile)
            currentFile = lane.currentFile();
        errors += lane.syncErrors();
        recent += lane.recentSyncedFiles();
        if (lane.hasLocalChanges())
            withChanges.insert(lane.laneID());
        if (!notice)
            notice = lane.heldDownloadNotice();
    }
    sortNewestFirstAndCut(errors, maxSyncErrors);
    sortNewestFirstAndCut(recent, maxRecentSyncedFiles);

    noteSyncingChanged(anySyncing);
    if (firstError)
        setSyncState(SyncEngineState::error(*firstError));
    else if (anySyncing)
        setSyncState(SyncEngineState::syncing());
    else
        setSyncState(m_isPaused ? SyncEngineState::paused() : SyncEngineState::idle());
    assign(m_filesPending, pending, &SyncEngine::filesPendingChanged);
    assign(m_filesSyncing, syncing, &SyncEngine::filesSyncingChanged);
    assign(m_filesInError, failed, &SyncEngine::filesInErrorChanged);
    assign(m_conflictsToReview, conflicts, &SyncEngine::conflictsToReviewChanged);
    assign(m_filesTotalThisPass, total, &SyncEngine::filesTotalThisPassChanged);
    assign(m_filesCompletedThisPass, completed, &SyncEngine::filesCompletedThisPassChanged);
    assign(m_lastError, std::move(lastError), &SyncEngine::lastErrorChanged);
    assign(m_lastSyncAt, std::move(lastSyncAt), &SyncEngine::lastSyncAtChanged);
    assign(m_currentFileName, std::move(currentFile), &SyncEngine::currentFileNameChanged);
    // The lists are announced on every aggregation, changed or not.
    m_syncErrors = std::move(errors);
    Q_EMIT syncErrorsChanged();
    m_recentSyncedFiles = std::move(recent);
    Q_EMIT recentSyncedFilesChanged();
    assign(m_foldersWithChanges, std::move(withChanges), &SyncEngine::foldersWithChangesChanged);
    assign(m_heldDownloadNotice, std::move(notice), &SyncEngine::heldDownloadNoticeChanged);
}

void SyncEngine::noteSyncingChanged(bool anySyncing)
{
    if (anySyncing == std::exchange(m_anyLaneSyncing, anySyncing))
        return;
    if (anySyncing) {
        m_freedMemoryTask = TaskHandle();
        return;
    }
    auto body = [self = QPointer<SyncEngine>(this), &clock = m_clock](std::stop_token stop) {
        return returnFreedMemoryWhenSettled(self, clock, std::move(stop));
    };
    m_freedMemoryTask = TaskHandle::start(std::move(body));
}

QCoro::Task<> SyncEngine::returnFreedMemoryWhenSettled(QPointer<SyncEngine> self, Clock &clock, std::stop_token stop)
{
    const bool slept = co_await clock.sleepFor(freedMemoryDelay, stop);
    if (!slept || !self || self->m_anyLaneSyncing)
        co_return;
    if (self->m_returnFreedMemory) {
        self->m_returnFreedMemory();
        co_return;
    }
    returnFreedMemoryOffThread();
}

void SyncEngine::handleStorageFull()
{
    ++m_storageFullReports;
    setIsStorageFull(true);
    logProgress(SyncLogger::Event::syncFailed, QStringLiteral("Storage limit reached — uploads paused"));
}

void SyncEngine::handleLaneDied(const QUuid &laneID)
{
    const auto found = std::find_if(m_lanes.begin(), m_lanes.end(),
                                    [&](const LaneEntry &entry) { return entry.id == laneID; });
    if (found == m_lanes.end())
        return;
    std::shared_ptr<SyncLaneInterface> dead = std::move(found->lane);
    m_lanes.erase(found);
    dead->stop();

    // Whether to replace it is the folder's current setting, not the one the lane started with.
    const auto folder = currentFolder(laneID, dead->syncFolder());
    releaseLater(std::move(dead));
    if (!folder || !folder->isEnabled())
        return;
    logProgress(SyncLogger::Event::syncStarted,
                QStringLiteral("Restarting lane for %1 after apoptosis").arg(folder->name()));
    createLane(folder);
    refreshAggregateStatus();
}

std::shared_ptr<SyncFolder> SyncEngine::currentFolder(const QUuid &id, const std::shared_ptr<SyncFolder> &fallback) const
{
    if (!m_storedModelContext)
        return fallback;
    try {
        return m_storedModelContext->fetchFirst(SyncFolder::withStableID(id));
    } catch (const StoreError &error) {
        qCWarning(lcEngine) << "Sync folder could not be read again:" << error.what();
        return fallback;
    }
}

void SyncEngine::releaseLater(std::shared_ptr<SyncLaneInterface> lane)
{
    QMetaObject::invokeMethod(
        this, [lane = std::move(lane)]() mutable { lane.reset(); }, Qt::QueuedConnection);
}

void SyncEngine::refuse(const SyncFolder &folder, const SyncFolder &holder)
{
    logProgress(SyncLogger::Event::syncFailed,
                QStringLiteral("Not syncing %1: its location overlaps %2").arg(folder.name(), holder.name()));
    forgetRefusal(folder.stableID());
    RefusedFolder refused{
        folder.stableID(), folder.sortOrder(), m_nextSequence++,
        tr("“%1” overlaps the sync folder “%2”. Choose a location outside every other sync folder.")
            .arg(folder.name(), holder.name())};
    m_refused.insert(std::upper_bound(m_refused.begin(), m_refused.end(), refused, comesBefore<RefusedFolder>),
                     refused);
}

void SyncEngine::forgetRefusal(const QUuid &id)
{
    std::erase_if(m_refused, [&](const RefusedFolder &refused) { return refused.id == id; });
}

void SyncEngine::installWorkspaceObservers()
{
    // At most one registration of each: a restart after hibernation still holds the old ones.
    removeWorkspaceObservers();
    // What runs now, so the quit of an application already running is known for a guard.
    const auto profileIdentifiers = guardingProfileIdentifiers();
    m_runningGuardApplications = profileIdentifiers ? runningGuardApplications(*profileIdentifiers) : std::nullopt;
    const auto handle = [this](const QString &bundleIdentifier) {
        handleDAWStateChange(bundleIdentifier.isEmpty() ? std::nullopt : std::optional<QString>(bundleIdentifier));
    };
    // Queued: the change is handled on a turn of its own; with this object as the context
    // nothing arrives once the engine is gone.
    m_workspaceTerminateObserver = connect(&m_applicationEvents, &ApplicationEvents::applicationTerminated, this,
                                           handle, Qt::QueuedConnection);
    m_workspaceLaunchObserver = connect(&m_applicationEvents, &ApplicationEvents::applicationLaunched, this, handle,
                                        Qt::QueuedConnection);
}

void SyncEngine::removeWorkspaceObservers()
{
    if (m_workspaceTerminateObserver) {
        disconnect(m_workspaceTerminateObserver);
        m_workspaceTerminateObserver = {};
    }
    if (m_workspaceLaunchObserver) {
        disconnect(m_workspaceLaunchObserver);
        m_workspaceLaunchObserver = {};
    }
}

std::optional<QSet<QString>> SyncEngine::guardingProfileIdentifiers() const
{
    if (!m_storedModelContext)
        return std::nullopt;
    // Every enabled profile: it guards the folders that take all of them, and the rules made
    // with it test its application. A folder's own profiles guard it even when disabled, unless
    // its guards are switched off.
    std::vector<std::shared_ptr<DAWConfiguration>> profiles;
    try {
        profiles = m_storedModelContext->fetch(DAWConfiguration::enabled());
    } catch (const StoreError &error) {
        qCWarning(lcEngine) << "Application profiles could not be read:" << error.what();
        return std::nullopt;
    }
    for (const auto &folder : fetchSyncFolders()) {
        if (!folder->allDAWs() && folder->applicationGuardsEnabled())
            std::ranges::move(folder->associatedDAWs(), std::back_inserter(profiles));
    }
    QSet<QString> identifiers;
    for (const auto &profile : profiles) {
        if (auto identifier = ApplicationEvents::bundleIdentifierOf(profile->appBundlePath()))
            identifiers.insert(*identifier);
    }
    return identifiers;
}

std::optional<QSet<QString>> SyncEngine::runningGuardApplications(const QSet<QString> &profileIdentifiers) const
{
    QSet<QString> running;
    for (const QString &identifier : profileIdentifiers) {
        const auto applications = m_applicationEvents.runningApplicationsFor(identifier);
        if (!applications)
            return std::nullopt;
        for (const RunningApplication &application : *applications)
            running.insert(application.bundleIdentifier);
    }
    return running;
}

void SyncEngine::handleDAWStateChange(const std::optional<QString> &bundleIdentifier)
{
    if (!bundleIdentifier)
        return;
    const std::optional<QSet<QString>> profileIdentifiers = guardingProfileIdentifiers();
    if (!profileIdentifiers)
        return;
    // An application run through a launcher, an interpreter or a sandbox has a bundle
    // identifier of its own: it is a guard when the list matched it to a guarding profile.
    // A quit is gone from the list, so the applications matched at the change before count too.
    const std::optional<QSet<QString>> running = runningGuardApplications(*profileIdentifiers);
    const std::optional<QSet<QString>> before = std::exchange(m_runningGuardApplications, running);
    const auto matched = [&](const std::optional<QSet<QString>> &set) {
        return set && set->contains(*bundleIdentifier);
    };
    // The list becoming readable (or unreadable) changes what every guard counts as.
    const bool guards = profileIdentifiers->contains(*bundleIdentifier) || matched(running) || matched(before)
                        || running.has_value() != before.has_value();
    if (!guards)
        return;

    const auto current = lanes();
    logProgress(SyncLogger::Event::syncStarted, QStringLiteral("DAW state changed (%1) — re-evaluating %2 lane(s)")
                                                    .arg(*bundleIdentifier, QString::number(current.size())));
    // Every lane decides for itself what the change means to it.
    for (const auto &laneToRefresh : current)
        laneToRefresh->refreshPriority();
}

} // namespace quillmere
