#pragma once

#include "Engine/LaneActivity.h"
#include "Engine/SyncEngineState.h"
#include "Engine/SyncLaneInterface.h"
#include "Platform/Async/TaskHandle.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUuid>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace quillmere {

class ApplicationEvents;
class BookmarkManager;
class Clock;
class ConflictResolver;
class DAWLivenessReporter;
class KeychainVault;
class LibraryAPIClient;
class ModelContext;
class RulesEngine;
class SyncFolder;
class SyncSettings;
enum class SyncFolderType;

// The one coordinator above the sync lanes: keeps one lane for every enabled sync folder that
// has a local location, hands them the services they share, and folds their state into the
// properties the tray and the windows follow. Main thread only.
//
// The lane table is ordered by the folders' sortOrder, then by insertion, so "the first lane in
// error" (and the first current file, last error, held-download notice) is always the same one
// for the same folders.
class SyncEngine : public QObject
{
    Q_OBJECT
    Q_PROPERTY(quillmere::SyncEngineState syncState READ syncState NOTIFY syncStateChanged)
    Q_PROPERTY(std::optional<QDateTime> lastSyncAt READ lastSyncAt NOTIFY lastSyncAtChanged)
    Q_PROPERTY(std::optional<QString> lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(bool isPaused READ isPaused WRITE setIsPaused NOTIFY isPausedChanged)
    Q_PROPERTY(bool isHibernating READ isHibernating WRITE setIsHibernating NOTIFY isHibernatingChanged)
    Q_PROPERTY(bool isStorageFull READ isStorageFull WRITE setIsStorageFull NOTIFY isStorageFullChanged)
    Q_PROPERTY(QList<quillmere::RecentFile> recentSyncedFiles READ recentSyncedFiles NOTIFY recentSyncedFilesChanged)
    Q_PROPERTY(qint64 filesPending READ filesPending NOTIFY filesPendingChanged)
    Q_PROPERTY(qint64 filesSyncing READ filesSyncing NOTIFY filesSyncingChanged)
    Q_PROPERTY(qint64 filesInError READ filesInError NOTIFY filesInErrorChanged)
    Q_PROPERTY(qint64 conflictsToReview READ conflictsToReview NOTIFY conflictsToReviewChanged)
    Q_PROPERTY(std::optional<QString> currentFileName READ currentFileName NOTIFY currentFileNameChanged)
    Q_PROPERTY(QList<quillmere::RecentFile> syncErrors READ syncErrors NOTIFY syncErrorsChanged)
    Q_PROPERTY(qint64 filesTotalThisPass READ filesTotalThisPass NOTIFY filesTotalThisPassChanged)
    Q_PROPERTY(qint64 filesCompletedThisPass READ filesCompletedThisPass NOTIFY filesCompletedThisPassChanged)
    Q_PROPERTY(QSet<QUuid> foldersWithChanges READ foldersWithChanges NOTIFY foldersWithChangesChanged)
    Q_PROPERTY(std::optional<QString> heldDownloadNotice READ heldDownloadNotice NOTIFY heldDownloadNoticeChanged)
    Q_PROPERTY(bool hasHydratedThisSession READ hasHydratedThisSession WRITE setHasHydratedThisSession
                   NOTIFY hasHydratedThisSessionChanged)
    Q_PROPERTY(double hibernationInterval READ hibernationInterval NOTIFY hibernationIntervalChanged)
    Q_PROPERTY(bool isSyncingNow READ isSyncingNow WRITE setIsSyncingNow NOTIFY isSyncingNowChanged)

public:
    static constexpr int maxSyncErrors = 50;
    static constexpr int maxRecentSyncedFiles = 5;
    static constexpr double initialHibernationInterval = 120.0;

    // The client is the one service client of every lane (held by them as FileSyncAPI); the
    // vault, the clock and the application events outlive the engine. The factory builds each
    // lane in its initial state.
    SyncEngine(std::shared_ptr<LibraryAPIClient> apiClient, KeychainVault &vault, Clock &clock,
               ApplicationEvents &applicationEvents, LaneFactory laneFactory, QObject *parent = nullptr);
    ~SyncEngine() override;

    // Observable state.
    const SyncEngineState &syncState() const { return m_syncState; }
    const std::optional<QDateTime> &lastSyncAt() const { return m_lastSyncAt; }
    const std::optional<QString> &lastError() const { return m_lastError; }
    bool isPaused() const { return m_isPaused; }
    bool isHibernating() const { return m_isHibernating; }
    bool isStorageFull() const { return m_isStorageFull; }
    const QList<RecentFile> &recentSyncedFiles() const { return m_recentSyncedFiles; }
    qint64 filesPending() const { return m_filesPending; }
    qint64 filesSyncing() const { return m_filesSyncing; }
    // Files of all lanes that wait in error: the engine's state stays what the lanes' are.
    qint64 filesInError() const { return m_filesInError; }
    // Conflicts of all lanes that wait for the user's Acknowledge; like files in error, they
    // leave the engine's state as it is.
    qint64 conflictsToReview() const { return m_conflictsToReview; }
    const std::optional<QString> &currentFileName() const { return m_currentFileName; }
    const QList<RecentFile> &syncErrors() const { return m_syncErrors; }
    qint64 filesTotalThisPass() const { return m_filesTotalThisPass; }
    qint64 filesCompletedThisPass() const { return m_filesCompletedThisPass; }
    const QSet<QUuid> &foldersWithChanges() const { return m_foldersWithChanges; }
    const std::optional<QString> &heldDownloadNotice() const { return m_heldDownloadNotice; }
    bool hasHydratedThisSession() const { return m_hasHydratedThisSession; }
    double hibernationInterval() const { return m_hibernationInterval; }
    bool isSyncingNow() const { return m_isSyncingNow; }

    // Written by pause/resume, hibernation, hydration and manual sync; an equal value
    // notifies nobody.
    void setIsPaused(bool value);
    void setIsHibernating(bool value);
    void setIsStorageFull(bool value);
    void setHasHydratedThisSession(bool value);
    void setIsSyncingNow(bool value);

    // The shell's context; setting the one already held changes nothing.
    const std::shared_ptr<ModelContext> &storedModelContext() const { return m_storedModelContext; }
    void setStoredModelContext(std::shared_ptr<ModelContext> context);

    // Shared services, built once.
    const std::shared_ptr<LibraryAPIClient> &apiClient() const { return m_apiClient; }
    const std::shared_ptr<BookmarkManager> &bookmarkManager() const { return m_bookmarkManager; }
    const std::shared_ptr<RulesEngine> &rulesEngine() const { return m_rulesEngine; }
    const std::shared_ptr<ConflictResolver> &conflictResolver() const { return m_conflictResolver; }
    DAWLivenessReporter &dawReporter() const { return *m_dawReporter; }

    // The lanes in table order.
    std::vector<std::shared_ptr<SyncLaneInterface>> lanes() const;
    std::shared_ptr<SyncLaneInterface> lane(const QUuid &folderID) const;

    // Enabled folders, by sortOrder; nothing without a context or when the fetch fails.
    std::vector<std::shared_ptr<SyncFolder>> fetchSyncFolders() const;
    // Whether an enabled folder has a local location.
    bool hasConfiguredFolders() const;

    // Makes a lane for every enabled folder with a location. The first start also removes,
    // off the main thread, the staged upload copies an earlier run left behind.
    void start();
    void stop();

    // True when the folder has a lane afterwards. Refused (false): no context, no location,
    // a folder a folder operation holds (isFolderHeld), or a location that lies inside another
    // lane's folder, holds it or is the same; the last is logged and shown as an error until
    // the next start or a lane for the folder.
    bool createLane(const std::shared_ptr<SyncFolder> &folder);
    void refreshAggregateStatus();

    void handleStorageFull();
    // A lane gave up: it is removed and stopped, and replaced while its folder is enabled.
    // Safe to call from inside the dying lane; the engine releases it on a later turn.
    void handleLaneDied(const QUuid &laneID);

    void installWorkspaceObservers();
    void removeWorkspaceObservers();
    bool hasWorkspaceObservers() const { return bool(m_workspaceTerminateObserver) || bool(m_workspaceLaunchObserver); }
    // An application launched or quit. Lanes are re-evaluated for an application that guards
    // some folder (an enabled profile's, or one a folder names for itself), matched as the
    // lanes' guard matches it: by identifier, also through launchers, scripts and sandboxes.
    void handleDAWStateChange(const std::optional<QString> &bundleIdentifier);

    // Routes the client's multipart progress to this lane, replacing the lane before.
    void installProgressHandler(const std::shared_ptr<SyncLaneInterface> &lane);

    // --- Recovery (SyncEngineRecovery.cpp): hydration, hibernation, the storage monitor.
    static constexpr double maximumHibernationInterval = 300.0;
    static constexpr std::chrono::seconds storageCheckInterval{300};

    // Every folder record, enabled or not, by sortOrder; nothing without a context or when
    // the fetch fails.
    std::vector<std::shared_ptr<SyncFolder>> fetchAllFolders() const;
    // Once per run (until stop): creates a disabled folder without a location for each sync
    // folder of the account that the store does not hold. An unreachable service starts
    // hibernation; any failure lets the next call try again. A stop while it waits ends it
    // without a trace. Never throws.
    QCoro::Task<> hydrateSyncFolders();
    // The kind of a folder in the account's registry, as hydration reads it: nothing for the
    // plan mirror's kind, a projects folder for any word it does not know.
    static std::optional<SyncFolderType> registeredFolderType(const QString &text);
    // Whether a hydration failure means the service cannot be reached (hibernate) rather
    // than that it refused.
    static bool isServerUnreachable(const std::exception_ptr &error);
    // Stops every lane and the liveness reporter and retries hydration after the current
    // interval (doubling up to maximumHibernationInterval after each failed retry).
    void enterHibernation();
    // Ends a hibernation and its retry; the next one waits initialHibernationInterval again.
    void cancelHibernation();
    // Checks the account's storage at once, then every storageCheckInterval; a later start
    // replaces the loop. "Full" is set by an enforced limit or a lane's HTTP 507, and cleared
    // by an upload that went through or by a check that says "not enforced" unless a 507
    // arrived while that check was under way.
    void startStorageMonitor();
    // True while the monitor's task (also one stopped but not yet ended) runs.
    bool isStorageMonitorRunning() const { return m_storageMonitorTask.isRunning(); }
    // Storage found not full (a check, or an upload after a 507) tells every lane, whose
    // uploads refused for storage are owed again.
    void handleUploadSucceeded();
    // The network came back or changed: every lane tries again what failed on the old one.
    void handleNetworkChange();

    // How long every lane stays out of a pass before the heap's freed pages go back.
    static constexpr std::chrono::seconds freedMemoryDelay{2};
    // Tests count the returns instead of trimming the heap.
    void setFreedMemoryReturnForTesting(std::function<void()> giveBack) { m_returnFreedMemory = std::move(giveBack); }

private:
    // A stop makes every hydration and retry in flight one of an earlier epoch: they end
    // without touching a flag, a log or a lane.
    void endRecoveryWork();
    static QCoro::Task<> hydrate(QPointer<SyncEngine> self);
    static QCoro::Task<> hibernationRetry(QPointer<SyncEngine> self, Clock &clock, double interval, quint64 epoch,
                                          std::stop_token stop);
    static QCoro::Task<> storageMonitorLoop(QPointer<SyncEngine> self, Clock &clock, std::stop_token stop);
    static QCoro::Task<> checkStorage(QPointer<SyncEngine> self, std::stop_token stop);
    void releaseStorageHolds();
    // Once every lane left its pass: after freedMemoryDelay with none back in one, what the
    // passes freed is given back to the system (once per settle; a new pass cancels it).
    void noteSyncingChanged(bool anySyncing);
    static QCoro::Task<> returnFreedMemoryWhenSettled(QPointer<SyncEngine> self, Clock &clock, std::stop_token stop);

    // Requests stop when the engine goes, so a hydration request in flight ends with it.
    struct RecoveryStop
    {
        std::stop_source source;
        ~RecoveryStop() { source.request_stop(); }
    };
    quint64 m_recoveryEpoch = 0;
    RecoveryStop m_recoveryStop;
    // Storage-full reports from lanes (HTTP 507) so far.
    quint64 m_storageFullReports = 0;

Q_SIGNALS:
    void syncStateChanged();
    void lastSyncAtChanged();
    void lastErrorChanged();
    void isPausedChanged();
    void isHibernatingChanged();
    void isStorageFullChanged();
    void recentSyncedFilesChanged();
    void filesPendingChanged();
    void filesSyncingChanged();
    void filesInErrorChanged();
    void conflictsToReviewChanged();
    void currentFileNameChanged();
    void syncErrorsChanged();
    void filesTotalThisPassChanged();
    void filesCompletedThisPassChanged();
    void foldersWithChangesChanged();
    void heldDownloadNoticeChanged();
    void hasHydratedThisSessionChanged();
    void hibernationIntervalChanged();
    void isSyncingNowChanged();
    void storedModelContextChanged();
    // Any change the shell's status shows: one of the properties above that the status line
    // and the tray read (not the lists, the pass counts or the folders with changes), the
    // multi-device warning, or the service's silence.
    void statusChanged();

private:
    // One row of the lane table, or a folder refused for overlapping another; both are
    // ordered by (sortOrder, insertion).
    struct LaneEntry
    {
        QUuid id;
        qint64 sortOrder = 0;
        quint64 sequence = 0;
        std::shared_ptr<SyncLaneInterface> lane;
    };
    struct RefusedFolder
    {
        QUuid id;
        qint64 sortOrder = 0;
        quint64 sequence = 0;
        QString message;
    };

    template<typename T>
    void assign(T &field, T value, void (SyncEngine::*changed)())
    {
        if (field == value)
            return;
        field = std::move(value);
        Q_EMIT(this->*changed)();
    }

    void setSyncState(SyncEngineState value);
    void setHibernationInterval(double value);
    void installCallbacks(const std::shared_ptr<SyncLaneInterface> &lane);
    // The folder as stored now; the fallback without a context or when the fetch fails.
    std::shared_ptr<SyncFolder> currentFolder(const QUuid &id, const std::shared_ptr<SyncFolder> &fallback) const;
    // Keeps a removed lane alive until a later turn: it may be the caller's own lane.
    void releaseLater(std::shared_ptr<SyncLaneInterface> lane);
    // The folder of another lane whose location is the folder's, lies inside it or holds it.
    std::shared_ptr<SyncFolder> overlappingLaneFolder(const SyncFolder &folder) const;
    void refuse(const SyncFolder &folder, const SyncFolder &holder);
    void forgetRefusal(const QUuid &id);
    // The identifiers of the profiles that guard some folder; none when they cannot be read.
    std::optional<QSet<QString>> guardingProfileIdentifiers() const;
    // The bundle identifiers of the running applications those profiles name; none when the
    // list of running applications cannot tell.
    std::optional<QSet<QString>> runningGuardApplications(const QSet<QString> &profileIdentifiers) const;

    std::shared_ptr<LibraryAPIClient> m_apiClient;
    KeychainVault &m_vault;
    Clock &m_clock;
    ApplicationEvents &m_applicationEvents;
    LaneFactory m_laneFactory;
    std::shared_ptr<BookmarkManager> m_bookmarkManager;
    std::shared_ptr<RulesEngine> m_rulesEngine;
    std::shared_ptr<ConflictResolver> m_conflictResolver;
    std::unique_ptr<DAWLivenessReporter> m_dawReporter;

    SyncEngineState m_syncState = SyncEngineState::idle();
    std::optional<QDateTime> m_lastSyncAt;
    std::optional<QString> m_lastError;
    bool m_isPaused = false;
    bool m_isHibernating = false;
    bool m_isStorageFull = false;
    QList<RecentFile> m_recentSyncedFiles;
    qint64 m_filesPending = 0;
    qint64 m_filesSyncing = 0;
    qint64 m_filesInError = 0;
    qint64 m_conflictsToReview = 0;
    std::optional<QString> m_currentFileName;
    QList<RecentFile> m_syncErrors;
    qint64 m_filesTotalThisPass = 0;
    qint64 m_filesCompletedThisPass = 0;
    QSet<QUuid> m_foldersWithChanges;
    std::optional<QString> m_heldDownloadNotice;
    bool m_hasHydratedThisSession = false;
    TaskHandle m_hibernationTask;
    bool m_anyLaneSyncing = false;
    TaskHandle m_freedMemoryTask;
    std::function<void()> m_returnFreedMemory;
    double m_hibernationInterval = initialHibernationInterval;
    QMetaObject::Connection m_workspaceTerminateObserver;
    QMetaObject::Connection m_workspaceLaunchObserver;
    // The running guards as the last application change (or the observers' installation) saw them.
    std::optional<QSet<QString>> m_runningGuardApplications;
    std::vector<LaneEntry> m_lanes; // sorted by (sortOrder, sequence)
    std::vector<RefusedFolder> m_refused; // sorted likewise
    quint64 m_nextSequence = 0;
    std::shared_ptr<ModelContext> m_storedModelContext;
    bool m_isSyncingNow = false;
    TaskHandle m_storageMonitorTask;
    // The first start removes the staged copies an earlier run left behind.
    bool m_stagingCleanedUp = false;
    TaskHandle m_stagingCleanupTask;

    // --- Folder operations (SyncEngineFolderOps.cpp): what the panel, the settings window and
    // the shell ask of the engine beside start and stop. None throws: a failure ends in the
    // activity log. They take the folder's stableID from the record they are given and work on
    // the engine's own record of it, so callers save their change first.
public:
    // "Sync Now": one delta pass of every lane at once, each lane's failed passes forgiven
    // and its files in error owed again first. Nothing while paused or without lanes; a
    // request while one runs starts another.
    // Returns at once; each pass holds its lane until it ends. Logs "Manual sync complete",
    // "Manual sync failed: <why>" when a pass could not read its feed, or nothing when a stop
    // or a hibernation ended the passes.
    void requestManualSync();
    // The user acknowledged a conflict of the folder (saved): its lane shows it no more, at
    // once, paused or not. Where the conflict held an edit back (`editOwed`), the lane also
    // runs a pass (at the folder's priority) that sends the edit.
    void conflictAcknowledged(const QUuid &folderID, const QString &localPath, bool editOwed);
    void pauseAll();
    // Starts every lane again, running or not; folders without a lane get none.
    void resumeAll();
    // The folder was given a new location (its bookmark saved). A switched-off folder only
    // forgets its records and is marked for a resync when switched on. A location that
    // overlaps another lane's folder is refused as createLane refuses it: no lane, records
    // forgotten, the overlap shown as an error.
    QCoro::Task<> folderLocationChanged(std::shared_ptr<SyncFolder> folder);
    void folderSettingsChanged(const std::shared_ptr<SyncFolder> &folder);
    QCoro::Task<> folderEnabled(std::shared_ptr<SyncFolder> folder);
    // Stops and drops the folder's lane; the record, bookmark and tracked files stay.
    void folderDisabled(const std::shared_ptr<SyncFolder> &folder);
    // Replaces the local copy with the service's: removes only the files the service holds
    // as they are here (synced, unchanged, in scope; nothing in an upload-only folder), forgets
    // the folder's records and cursor and starts a new lane. Refused for "/", the home folder,
    // a mount root and a folder holding another sync folder.
    QCoro::Task<> resetAndRedownload(std::shared_ptr<SyncFolder> folder);
    // Before the sign-out: stops the engine and deletes every folder, tracked file, rule,
    // application profile and interrupted upload with the folders' bookmarks; one SyncSettings
    // stays. Finished, with no lane left, when it returns (the vault writes follow in order).
    void wipeLocalState();
    // The one SyncSettings, made when missing; null without a context.
    std::shared_ptr<SyncSettings> fetchOrCreateSettings();
    // Folders whose files an operation works on now: no lane is made for them meanwhile.
    bool isFolderHeld(const QUuid &folderID) const { return m_heldFolders.contains(folderID); }

private:
    static QCoro::Task<> runManualSync(QPointer<SyncEngine> engine, quint64 epoch);
    void deleteTrackedFiles(const QUuid &folderID);
    // Asks the service to forget the files of the folder's kind, only while neither the store
    // nor the account's folder registry (any device) holds another folder of that kind, and
    // never for the plan mirror or a folder without a cursor; never throws.
    QCoro::Task<> resetFolderOnServer(std::shared_ptr<SyncFolder> folder);
    // The engine's record of the folder; null without a context, when gone or unreadable.
    std::shared_ptr<SyncFolder> storedFolder(const QUuid &id) const;
    std::shared_ptr<SyncLaneInterface> takeLane(const QUuid &id);
    void saveQuietly();
    void holdFolder(const QUuid &id);
    void releaseFolder(const QUuid &id);
    // An operation begun in `epoch` may still make lanes: no stop since, or started again.
    bool mayCreateLanesSince(quint64 epoch) const;

    // Bumped by stop(): work begun before a stop makes no lane for a stopped engine.
    quint64 m_folderOpsEpoch = 0;
    QHash<QUuid, int> m_heldFolders;
    std::vector<TaskHandle> m_manualSyncTasks;
    TaskHandle m_wipeCleanupTask;
};

} // namespace quillmere
