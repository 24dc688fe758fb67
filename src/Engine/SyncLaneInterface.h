#pragma once

#include "Engine/LaneActivity.h"
#include "Engine/SyncEngineState.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>

#include <QCoroTask>

#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

class BookmarkManager;
class Clock;
class ConflictResolver;
class DAWRunningStateProvider;
class FileSyncAPI;
class KeychainVault;
class ModelContext;
class RulesEngine;
class SyncFolder;

// A sync lane as the engine sees it: the state it aggregates, the callbacks it installs and
// the operations it calls. The lane itself lives in the layer above; the application gives
// the engine a factory that builds them, and tests give it scripted lanes.
//
// Lanes are main-thread objects owned by the engine through shared_ptr. Writing a field with
// a value equal to the current one changes nothing.
class SyncLaneInterface : public QObject
{
    Q_OBJECT

public:
    struct Callbacks
    {
        std::function<void()> onStateChanged;
        std::function<void()> onStorageFull;
        std::function<void(QUuid)> onLaneDied;
        // The service took the bytes of an upload: its storage is not full.
        std::function<void()> onUploadSucceeded{};
    };

    SyncLaneInterface(QUuid laneID, std::shared_ptr<SyncFolder> folder)
        : m_laneID(laneID), m_syncFolder(std::move(folder))
    {
    }

    // The folder's stableID at construction.
    QUuid laneID() const { return m_laneID; }
    const std::shared_ptr<SyncFolder> &syncFolder() const { return m_syncFolder; }

    // Begins or restarts the lane's work.
    virtual void start() = 0;
    // Ends all of the lane's work and leaves it idle; nothing it started may act afterwards.
    virtual void stop() = 0;
    virtual void pause() = 0;
    // Re-decides the folder's priority (its settings or the running applications changed).
    virtual void refreshPriority() = 0;
    // One pass over the service's change feed (manual sync); returns at once on a stopped lane.
    // Why the pass could not read the feed (the network, a refusal); nothing when it read it
    // or was stopped.
    virtual QCoro::Task<std::optional<QString>> performDeltaSync() = 0;
    // Forgets every tracked file of the folder and starts again.
    virtual QCoro::Task<> reset() = 0;
    // Manual sync forgives earlier failed delta passes.
    virtual void resetDeltaFailureCount() = 0;
    // Manual sync gives the files that failed for good another try: each owes what it owed,
    // from now.
    virtual void retryFailedFiles() = 0;
    // The service's storage is not full (any more): uploads it refused for that are owed again.
    virtual void storageAvailable() = 0;
    // The network changed: work that failed on the connection is tried again now.
    virtual void networkChanged() = 0;
    // The user acknowledged the conflict of the file at `localPath` (saved through another
    // context): what the lane shows of conflicts (the count, the recent files) follows, and an
    // edit it held back (`editOwed`) is shown, once sent, as replacing the service's version.
    virtual void conflictAcknowledged(const QString &localPath, bool editOwed) = 0;

    const SyncEngineState &syncState() const { return m_syncState; }
    void setSyncState(SyncEngineState value) { m_syncState = std::move(value); }
    const std::optional<QDateTime> &lastSyncAt() const { return m_lastSyncAt; }
    void setLastSyncAt(std::optional<QDateTime> value) { m_lastSyncAt = std::move(value); }
    const std::optional<QString> &lastError() const { return m_lastError; }
    void setLastError(std::optional<QString> value) { m_lastError = std::move(value); }
    bool isPaused() const { return m_isPaused; }
    void setIsPaused(bool value) { m_isPaused = value; }
    // Newest first, at most 5.
    const QList<RecentFile> &recentSyncedFiles() const { return m_recentSyncedFiles; }
    void setRecentSyncedFiles(QList<RecentFile> value) { m_recentSyncedFiles = std::move(value); }
    qint64 filesPending() const { return m_filesPending; }
    void setFilesPending(qint64 value) { m_filesPending = value; }
    qint64 filesSyncing() const { return m_filesSyncing; }
    void setFilesSyncing(qint64 value) { m_filesSyncing = value; }
    // Files waiting in error (failed for good until a change, a full sync or a manual sync).
    qint64 filesInError() const { return m_filesInError; }
    void setFilesInError(qint64 value) { m_filesInError = value; }
    // Files the panel lists as conflicts to review (waiting for the user's Acknowledge).
    qint64 conflictsToReview() const { return m_conflictsToReview; }
    void setConflictsToReview(qint64 value) { m_conflictsToReview = value; }
    const std::optional<QString> &currentFile() const { return m_currentFile; }
    void setCurrentFile(std::optional<QString> value) { m_currentFile = std::move(value); }
    // Newest first, at most 50.
    const QList<RecentFile> &syncErrors() const { return m_syncErrors; }
    void setSyncErrors(QList<RecentFile> value) { m_syncErrors = std::move(value); }
    qint64 filesTotalThisPass() const { return m_filesTotalThisPass; }
    void setFilesTotalThisPass(qint64 value) { m_filesTotalThisPass = value; }
    qint64 filesCompletedThisPass() const { return m_filesCompletedThisPass; }
    void setFilesCompletedThisPass(qint64 value) { m_filesCompletedThisPass = value; }
    bool hasLocalChanges() const { return m_hasLocalChanges; }
    void setHasLocalChanges(bool value) { m_hasLocalChanges = value; }
    const std::optional<QString> &heldDownloadNotice() const { return m_heldDownloadNotice; }
    void setHeldDownloadNotice(std::optional<QString> value) { m_heldDownloadNotice = std::move(value); }
    const std::optional<MultipartProgress> &multipartProgress() const { return m_multipartProgress; }
    void setMultipartProgress(std::optional<MultipartProgress> value) { m_multipartProgress = std::move(value); }

    const Callbacks &callbacks() const { return m_callbacks; }
    void setCallbacks(Callbacks callbacks) { m_callbacks = std::move(callbacks); }
    // Each calls its callback when one is installed. The callback may destroy the lane (the
    // engine replaces a dead lane from inside it): a caller holds the lane or touches nothing
    // of it afterwards.
    void notifyStateChanged()
    {
        if (auto callback = m_callbacks.onStateChanged)
            callback();
    }
    void notifyStorageFull()
    {
        if (auto callback = m_callbacks.onStorageFull)
            callback();
    }
    void notifyLaneDied()
    {
        if (auto callback = m_callbacks.onLaneDied)
            callback(m_laneID);
    }
    void notifyUploadSucceeded()
    {
        if (auto callback = m_callbacks.onUploadSucceeded)
            callback();
    }

private:
    const QUuid m_laneID;
    const std::shared_ptr<SyncFolder> m_syncFolder;

    SyncEngineState m_syncState;
    std::optional<QDateTime> m_lastSyncAt;
    std::optional<QString> m_lastError;
    bool m_isPaused = false;
    QList<RecentFile> m_recentSyncedFiles;
    qint64 m_filesPending = 0;
    qint64 m_filesSyncing = 0;
    qint64 m_filesInError = 0;
    qint64 m_conflictsToReview = 0;
    std::optional<QString> m_currentFile;
    QList<RecentFile> m_syncErrors;
    qint64 m_filesTotalThisPass = 0;
    qint64 m_filesCompletedThisPass = 0;
    bool m_hasLocalChanges = false;
    std::optional<QString> m_heldDownloadNotice;
    std::optional<MultipartProgress> m_multipartProgress;
    Callbacks m_callbacks;
};

// What the engine hands the factory for each lane. The shared services outlive every lane
// that holds them; the vault and the clock are the application's and outlive everything.
struct LaneServices
{
    std::shared_ptr<SyncFolder> folder;
    std::shared_ptr<FileSyncAPI> apiClient;
    std::shared_ptr<BookmarkManager> bookmarkManager;
    std::shared_ptr<RulesEngine> rulesEngine;
    std::shared_ptr<ConflictResolver> conflictResolver;
    std::shared_ptr<ModelContext> modelContext;
    KeychainVault *vault = nullptr;
    Clock *clock = nullptr;
    // Which of the applications guarding the folder run; one per lane.
    std::shared_ptr<DAWRunningStateProvider> dawRunningStateProvider{};
};

// Builds one lane in its initial state (idle, nothing running, no callbacks).
using LaneFactory = std::function<std::shared_ptr<SyncLaneInterface>(const LaneServices &)>;

} // namespace quillmere
