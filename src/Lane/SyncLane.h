#pragma once

#include "Engine/SyncLaneInterface.h"
#include "Model/SyncFile.h"
#include "Platform/Async/Clock.h"
#include "Platform/Async/TaskHandle.h"
#include "ServiceAPI/FileSyncAPI.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace quillmere {

class Debouncer;
class FileWatcher;
class OperationResolution;

// The sync worker of one folder. A main-thread object owned by the engine through shared_ptr.
//
// Every task the lane starts is a TaskHandle member. Long-lived loops and the watcher's
// deliveries hold the lane weakly; the activation holds it strongly until it ends. stop()
// cancels every task and bumps the epoch: whatever a task began under an older epoch (a
// request, a hash, a removal in flight) is dropped when it returns: no record is written, no
// state changes and no callback is called. Cancellation is never a failure.
class SyncLane final : public SyncLaneInterface, public std::enable_shared_from_this<SyncLane>
{
    Q_OBJECT

public:
    static constexpr std::chrono::seconds maxDeltaSyncInterval{300};
    static constexpr std::chrono::milliseconds settleWindow{400};
    static constexpr int maxRetries = 5;
    static constexpr int maxRecentFiles = 5;
    static constexpr int maxSyncErrors = 50;

    explicit SyncLane(const LaneServices &services);
    ~SyncLane() override;

    void start() override;
    void stop() override;
    void pause() override;
    void refreshPriority() override;
    QCoro::Task<> performDeltaSync() override;
    QCoro::Task<> reset() override;
    void resetDeltaFailureCount() override { m_consecutiveDeltaFailures = 0; }

    // Starters used by the activation; each replaces (and ends) what ran before.
    void startFileWatcher(const QString &path);
    void startDeltaSyncTask();
    void startLivenessTask();

    void recordRecentFile(const QString &filename, SyncFileDirection direction, RecentFile::Kind kind);
    void appendSyncError(const QString &filename, SyncFileDirection direction, const QString &message);
    // Names are compared in NFC, so a decomposed name from the file system matches.
    void clearErrors(const QString &filename);

    // Checks the folder, follows a move, drops the state of a deleted folder, cleans up
    // interrupted uploads, registers the folder and sets the lane going.
    QCoro::Task<> readBookmarkAndActivate(QString folderPath, std::stop_token stop);
    QCoro::Task<> activate(QByteArray bookmarkData, QString folderPath, std::stop_token stop);
    QCoro::Task<> cleanUpInterruptedMultipartUploads(std::stop_token stop);

    // Every SyncFile of this folder in store order; empty when the fetch fails.
    std::vector<std::shared_ptr<SyncFile>> fetchFolderRecords();
    // This folder's record at the path (one indexed lookup), or null.
    std::shared_ptr<SyncFile> fetchRecord(const QString &localPath);

    // A batch from the watcher, on the main thread.
    void handleFileEvents(const QSet<QString> &paths);

    // Work that later stages fill in; each is called from where it belongs already.
    // The first full sync of an activation (scan and reconciliation arrive later).
    QCoro::Task<> performFullSync(std::stop_token stop);
    // The debounced intake of watcher paths (recording local changes arrives later).
    QCoro::Task<> processFileEvents(QSet<QString> paths);
    // Re-decides the priority and schedules the queue (priority scheduling arrives later).
    QCoro::Task<> reevaluatePriority(std::stop_token stop);

    // Full sync and reconciliation.

    // The work queue and its failure rules.

    // Per-file operations: upload, download, deletes.
    // Each throws the client's error unchanged and CancelledError when the lane was stopped
    // or the token cancelled meanwhile; a failed journal save undoes this record's changes
    // only and throws. Success leaves completion (desiredState, retries) to the queue.
    QCoro::Task<> uploadRecord(QString localPath, std::optional<QString> drivePath, std::stop_token stop);
    // Never replaces content of a two-way folder that the service does not know: such a file
    // is kept and queued for upload instead (its generation moves on).
    QCoro::Task<> downloadRecord(qint64 fileID, QString localPath, std::stop_token stop);
    // 404 and 410 count as done. The record goes only when its generation and desired state
    // are still those it was dispatched with.
    QCoro::Task<> deleteRemoteRecord(std::shared_ptr<SyncFile> record, std::stop_token stop);
    // Unlinks one regular file whose content is the record's last synced content (any content
    // in a download-only folder); a locally edited file of a two-way folder is kept and queued
    // for upload. "Not found" counts as done; any other failure throws.
    QCoro::Task<> deleteLocalRecord(std::shared_ptr<SyncFile> record, std::stop_token stop);
    // Writes the conflict fields from the service's conflict, clearing them without one.
    static void applyConflict(const std::optional<FileSyncAPI::UploadConflict> &conflict, SyncFile &record);
    // The text, or nullopt when absent or empty.
    static std::optional<QString> nonEmpty(const std::optional<QString> &text);

    // The batch pre-pass and held duplicates.

    // Read access for the engine and tests.
    bool hasFileWatcher() const { return m_fileWatcher != nullptr; }
    const QString &watchedPath() const { return m_watchedPath; }
    const TaskHandle &syncTask() const { return m_syncTask; }
    const TaskHandle &deltaSyncTask() const { return m_deltaSyncTask; }
    const TaskHandle &livenessTask() const { return m_livenessTask; }
    const TaskHandle &prioritySleepTask() const { return m_prioritySleepTask; }
    int consecutiveDeltaFailures() const { return m_consecutiveDeltaFailures; }
    bool isProcessingQueue() const { return m_isProcessingQueue; }
    quint64 epoch() const { return m_epoch; }
    // Nothing the lane owes runs or waits: no activation, root check, debounced delivery,
    // priority wait or queue pass. The delta loop and the watchdog do not count.
    bool isSettled() const;

    const std::optional<QList<FileSyncAPI::RemoteFile>> &lastRemoteFiles() const { return m_lastRemoteFiles; }
    const QHash<QString, QList<QPair<QString, qint64>>> &heldDuplicates() const { return m_heldDuplicates; }
    const QSet<QString> &activeRepresentatives() const { return m_activeRepresentatives; }
    const QHash<QString, QString> &prePassChecksums() const { return m_prePassChecksums; }

    // The user-facing error texts.
    static QString accessLostMessage();
    static QString folderMissingMessage();

private:
    // Whether work begun under `epoch` may still act: not stopped since, and not cancelled.
    bool isCurrent(quint64 epoch, const std::stop_token &stop) const
    {
        return epoch == m_epoch && !stop.stop_requested();
    }
    void dropFolderState();
    void saveQuietly();
    void showAccessLost(const QString &folderPath);
    void deliverWatcherEvents(quint64 generation, const QSet<QString> &paths);
    static QCoro::Task<> checkVanishedRoot(std::weak_ptr<SyncLane> weak, QString folderPath, quint64 epoch,
                                           std::stop_token stop);
    QString debounceKey() const;
    static QCoro::Task<> runPriorityReevaluation(std::weak_ptr<SyncLane> weak, std::stop_token stop);
    static QCoro::Task<> runIntake(std::weak_ptr<SyncLane> weak, QSet<QString> paths);
    static QCoro::Task<> deltaSyncLoop(std::weak_ptr<SyncLane> weak, std::stop_token stop);
    static QCoro::Task<> livenessLoop(std::weak_ptr<SyncLane> weak, std::stop_token stop);
    void recoverInterruptedTransfers();

    const std::shared_ptr<FileSyncAPI> m_apiClient;
    const std::shared_ptr<BookmarkManager> m_bookmarkManager;
    const std::shared_ptr<RulesEngine> m_rulesEngine;
    const std::shared_ptr<ConflictResolver> m_conflictResolver;
    const std::shared_ptr<ModelContext> m_modelContext;
    KeychainVault *const m_vault;
    Clock &m_clock;

    std::unique_ptr<Debouncer> m_debouncer;
    std::unique_ptr<FileWatcher> m_fileWatcher;
    QString m_watchedPath;
    quint64 m_watcherGeneration = 0;

    TaskHandle m_syncTask;
    TaskHandle m_deltaSyncTask;
    TaskHandle m_livenessTask;
    TaskHandle m_prioritySleepTask;
    TaskHandle m_rootCheckTask;
    TaskHandle m_priorityTask;

    int m_consecutiveDeltaFailures = 0;
    bool m_isProcessingQueue = false;
    std::optional<QList<FileSyncAPI::RemoteFile>> m_lastRemoteFiles;
    QHash<QString, QList<QPair<QString, qint64>>> m_heldDuplicates;
    QSet<QString> m_activeRepresentatives;
    QHash<QString, QString> m_prePassChecksums;

    quint64 m_epoch = 0;

    // Full sync and reconciliation (private).

    // The work queue and its failure rules (private).

    // Per-file operations: upload, download, deletes (private).
    struct UploadBefore
    {
        std::optional<QString> path;
        std::optional<QString> checksum;
        std::optional<QString> baseCommit;
    };
    // Writes a successful upload onto the record at the path (made anew when it vanished)
    // and the folder's head commit; returns the journal row, not yet inserted.
    std::shared_ptr<OperationResolution> recordUploadSuccess(const QString &localPath,
                                                             const FileSyncAPI::UploadResult &result,
                                                             const std::optional<QString> &checksum, bool isConflict,
                                                             const QString &fileUUID,
                                                             const std::optional<QString> &commit,
                                                             const UploadBefore &before, const QDateTime &attemptedAt);
    // The record at the path, or a new one of this folder inserted for it.
    std::shared_ptr<SyncFile> fetchOrCreateRecord(const QString &localPath);
    // Inserts the row and saves; on failure undoes the row and the record's unsaved changes
    // (nothing of other records) and rethrows.
    void saveJournaled(const std::shared_ptr<OperationResolution> &row, const std::shared_ptr<SyncFile> &record);
    // A locally changed file that a download or a local delete must not replace or remove:
    // the record becomes owed an upload (a new generation, so completion leaves it pending).
    void keepLocalEdit(const QString &localPath, const QString &why);

    // The batch pre-pass and held duplicates (private).
};

// Builds SyncLanes for the engine.
LaneFactory makeSyncLaneFactory();

} // namespace quillmere
