#pragma once

#include "Engine/RulesEngine.h"
#include "Engine/SyncLaneInterface.h"
#include "Engine/SyncPriority.h"
#include "FileServices/ChecksumCache.h"
#include "FileServices/FileScan.h"
#include "Lane/ListedFiles.h"
#include "Model/RetryPolicy.h"
#include "Model/SyncFile.h"
#include "Platform/Async/AsyncMutex.h"
#include "Platform/Async/CancelledError.h"
#include "Platform/Async/Clock.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/Async/WaitQueue.h"
#include "ServiceAPI/FileSyncAPI.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <vector>

namespace quillmere {

class DAWRunningStateProvider;
class Debouncer;
class FileWatcher;
class OperationResolution;
struct StoreChanges;

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
    // SyncLane.cpp: construction, the engine's controls, the folder's records, the user-facing lists
    static constexpr int maxRecentFiles = 5;
    static constexpr int maxSyncErrors = 50;
    static constexpr std::chrono::milliseconds settleWindow{400};
    explicit SyncLane(const LaneServices &services);
    ~SyncLane() override;
    void start() override;
    void stop() override;
    void pause() override;
    void refreshPriority() override;
    QCoro::Task<> reset() override;
    void conflictAcknowledged(const QString &localPath, bool editOwed) override;
    // Starters used by the activation; each replaces (and ends) what ran before.
    void startFileWatcher(const QString &path);
    void startDeltaSyncTask();
    void startLivenessTask();
    // Checks the folder, follows a move, drops the state of a deleted folder, cleans up
    // interrupted uploads, registers the folder and sets the lane going.
    QCoro::Task<> readBookmarkAndActivate(QString folderPath, std::stop_token stop);
    void recordRecentFile(const QString &filename, SyncFileDirection direction, RecentFile::Kind kind);
    // The new entry's id.
    QUuid appendSyncError(const QString &filename, SyncFileDirection direction, const QString &message);
    // Entries of the name that belong to no record still failing. Names are compared in NFC,
    // so a decomposed name from the file system matches.
    void clearErrors(const QString &filename);
    // Every SyncFile of this folder in store order; empty when the fetch fails.
    std::vector<std::shared_ptr<SyncFile>> fetchFolderRecords();
    // This folder's record at the path (one indexed lookup), or null.
    std::shared_ptr<SyncFile> fetchRecord(const QString &localPath);
    // A batch from the watcher, on the main thread.
    void handleFileEvents(const QSet<QString> &paths);
    // Nothing the lane owes runs or waits: no activation, root check, debounced delivery,
    // priority wait, queue pass (or one asked for to follow it) or scheduled retry of a full
    // sync or a pass. The delta loop and the watchdog do not count.
    bool isSettled() const;
    // The user-facing error texts.
    static QString accessLostMessage();
    static QString folderMissingMessage();

    // SyncLaneActivation.cpp: the activation
    QCoro::Task<> activate(QByteArray bookmarkData, QString folderPath, std::stop_token stop);
    QCoro::Task<> cleanUpInterruptedMultipartUploads(std::stop_token stop);

    // SyncLaneTimers.cpp: the lane timers, the delta loop and the liveness watchdog
    static constexpr std::chrono::seconds maxDeltaSyncInterval{300};
    static constexpr std::chrono::seconds deltaSyncTick{60};
    static constexpr std::chrono::seconds livenessPeriod{180};
    // The wait before the next delta pass after `failures` failed passes in a row: 60 s,
    // doubling per failure up to maxDeltaSyncInterval. A full sync that failed on the network
    // or a rate limit waits the same before it runs again.
    static std::chrono::seconds deltaSyncInterval(int failures);

    // SyncLaneFullSync.cpp: the full sync
    // While a full sync still reads its chunks, the queue pass that sends the first ones waits
    // here for more rather than ending when nothing is due.
    struct ChunkFeed
    {
        bool open = true;
        quint64 chunks = 0;
        qint64 owed = 0; // files left owed by the chunks handed over since the pass began
        // The chunk being settled against the service: not the queue's until handed over.
        QSet<QString> reading;
        WaitQueue waiting;
    };
    // The local listing of a full sync, with the folders it could not read: the records
    // under those are neither deleted nor marked.
    struct LocalScan
    {
        QStringList files;
        QStringList unreadableFolders;
        // PathDigests::digestOf each file, in its order, taken off the main thread (empty
        // when the scan was made by hand: reconcile takes them then).
        std::vector<std::array<unsigned char, 32>> digests = {};
    };
    // The first full sync of an activation: listing, scan, reconciliation, then the queue.
    QCoro::Task<> performFullSync(std::stop_token stop);
    // The folder's files as the full sync sees them, listed off the main thread: the whole
    // tree for project and reference folders, the root's files of the folder's extensions
    // for unorganised audio.
    static QCoro::Task<LocalScan> scanLocalFiles(QString folderPath, FolderScope scope);

    // SyncLaneHelpers.cpp: lookups and checksums of the full sync and reconciliation
    // One scanned local file; the checksum is empty when the file could not be hashed.
    struct FileInfo
    {
        QString path;
        QString filename;
        QString checksum;
        qint64 fileSize = 0;
        // The inode the checksum was taken at; none with no checksum.
        std::optional<qint64> inode = std::nullopt;
    };
    struct RenamePair
    {
        QString oldPath;
        QString newPath;
        friend bool operator==(const RenamePair &, const RenamePair &) = default;
    };
    // The folder's records with work owed (one COUNT query); 0 when the count fails.
    qint64 fetchOutstandingRecords();
    // The folder-relative directory of a path, the service's drive path: "." for the root,
    // and always "." in a folder that keeps no sub-folders (unorganised audio, plan mirror).
    QString relativePath(const QString &localPath) const;
    // Which files the folder syncs (its kind, and the extensions of a flat folder).
    FolderScope folderScope() const;
    // This folder's record with the file id, or null (an id is unique within one folder only).
    std::shared_ptr<SyncFile> fetchRecordByFileUUID(const std::optional<QString> &fileUUID);
    // Hashes the files one at a time on the thread pool, in order; throws CancelledError
    // once stop is requested.
    static QCoro::Task<QList<FileInfo>> computeChecksum(std::shared_ptr<ChecksumCache> checksums, QStringList paths,
                                                        std::stop_token stop);
    static QList<RenamePair> inodeRenamePairs(const QHash<qint64, QString> &oldMap,
                                              const QHash<qint64, QString> &newMap);
    static QList<RenamePair> renamePairs(const QString &oldDirectory, const QString &newDirectory,
                                         const QStringList &paths);
    static bool allRenamedPathsExist(const QString &oldDirectory, const QString &newDirectory,
                                     const QStringList &paths);
    // The folder was found at another path than the one its records carry (renamed or moved
    // since they were written): the folder and every record under the old path move to the
    // new one in one save, before anything compares paths.
    void followFolderMove(const QString &from, const QString &to);

    // SyncLaneReconcile.cpp: reconciliation
    // Decides from the three views which records are owed an upload, a download or a delete
    // at the service, and which are forgotten. Never throws.
    // Files are taken in chunks of fullSyncChunkSize(), so that one chunk's records and strings
    // are alive at a time. Given a feed, a folder with more new files than one chunk has each
    // chunk's new files settled against the service (the batch pre-pass), saved and handed over
    // through the feed (`firstChunkSaved` after the first): the queue pass sends them while
    // the next chunks are read.
    QCoro::Task<> reconcile(QList<FileSyncAPI::RemoteFile> remoteFiles, LocalScan local,
                            std::vector<std::shared_ptr<SyncFile>> trackedRecords, QString folderPath,
                            std::stop_token stop, std::shared_ptr<ChunkFeed> feed = {},
                            std::function<void()> firstChunkSaved = {},
                            std::optional<AsyncMutex::Lock> turn = std::nullopt);
    // A reconciliation of at least this many chunks of files (listed, scanned or tracked) is
    // large. Its whole-folder steps hold the folder's listing, scan and tables and read every
    // file: large ones take turns through one process-wide gate (every folder's at once is
    // what a link of a large library peaked at), and let go of it before their new files are
    // recorded. A full sync takes its turn (`turn`, given to reconcile) before its listing when
    // the store shows the folder large, before its scan when only the listing does (see
    // performFullSync), else reconcile takes it. A delta pass with no cursor (the whole feed)
    // takes it before its read and lets go of it once the feed is applied.
    static constexpr qsizetype largeReconciliationChunks = 10;
    static AsyncMutex &largeReconciliationGate();
    qsizetype largeReconciliationFiles() const { return largeReconciliationChunks * m_fullSyncChunkSize; }
    // A full sync or a first feed catch-up waits for its turn at the gate.
    bool isWaitingForTurn() const { return m_waitingForTurn; }
    // Waits for the gate, shown by isWaitingForTurn meanwhile.
    QCoro::Task<AsyncMutex::Lock> takeLargeReconciliationTurn();
    // The reconciliation's count of scanned files, for its log.
    struct UploadTally
    {
        qsizetype candidates = 0;
        qsizetype matched = 0;
        qsizetype inProgress = 0;
    };
    // Records the folder's files the store does not know yet, chunk by chunk (see reconcile).
    QCoro::Task<> recordNewFiles(QStringList newFiles, UploadTally tally, quint64 epoch, std::stop_token stop,
                                 std::shared_ptr<ChunkFeed> feed, std::function<void()> firstChunkSaved);
    // The steps of reconcile, in their order. Each returns false when the lane stopped meanwhile.
    struct Reconciliation;
    Reconciliation startReconciliation(QList<FileSyncAPI::RemoteFile> remoteFiles, LocalScan local,
                                       QString folderPath, std::stop_token stop);
    // Records listed files already on disk that no record holds: synced when identical; else the
    // service's version is owed (download-only) or the file meets it as a conflict (two-way).
    QCoro::Task<bool> adoptListedFiles(Reconciliation &pass);
    // One chunk's checksums through the pass's cache; none when the lane stopped meanwhile.
    QCoro::Task<std::optional<QList<FileInfo>>> hashChunk(Reconciliation &pass, QStringList paths);
    // Hashes the tracked files: one changed since its record is owed an upload.
    QCoro::Task<bool> matchTrackedFiles(Reconciliation &pass);
    // Whether the record's service file is missing from the listing, and the record is not
    // newer than the listing.
    bool isUnlisted(const Reconciliation &pass, const SyncFile &record) const;
    // The matched files whose service file the listing misses and no delete from the stored
    // cursor explains: deleted here, unless the service's times show they were settled on a
    // file already gone (then sent again).
    QCoro::Task<bool> sendUnlistedMatches(Reconciliation &pass);
    // The whole feed's deletes, read once per run of the lane; none when it cannot be read.
    QCoro::Task<const QHash<qint64, std::optional<QDateTime>> *> wholeFeedDeletes(Reconciliation &pass);
    // One service file, one record: the records beside the listed place let go of it.
    void repairSharedServiceFiles(Reconciliation &pass);
    // Records that failed for good are judged again against the listing.
    void rejudgeFailedRecords(Reconciliation &pass);
    // Records not on disk: owed a delete at the service, forgotten or owed a download; every
    // listed record learns the listed version. Fills `trackedIds` with the ids records hold.
    QCoro::Task<bool> judgeStaleRecords(Reconciliation &pass, QSet<qint64> &trackedIds);
    bool learnListedVersion(const Reconciliation &pass, SyncFile &record);
    // Listed files the folder lacks get records owed their download.
    QCoro::Task<bool> placeListedDownloads(Reconciliation &pass, QSet<qint64> trackedIds);

    // SyncLanePrePass.cpp: the batch pre-pass
    // The file's size, change time and identity when it was hashed: content settled from
    // a hash is only trusted while the file still shows the same stamp.
    struct FileStamp
    {
        qint64 size = 0;
        qint64 modifiedNs = 0;
        qint64 inode = 0;
        qint64 device = 0;
        friend bool operator==(const FileStamp &, const FileStamp &) = default;
    };
    // One pending file as the pre-pass hashed it. The checksum is empty when the file could
    // not be read, or changed while it was read.
    struct PrePassChecksum
    {
        QString localPath;
        QString checksum;
        qint64 fileSize = 0;
        QString filename;
        std::optional<FileStamp> stamp;
    };
    // Where a confirmed pointer belongs: content hash, drive path ("" for the folder root) and
    // file name.
    struct ConfirmationTarget
    {
        QString checksum;
        QString drivePath;
        QString filename;
    };
    // Before each queue pass: hashes the pending uploads off the main thread, settles the ones
    // the service already holds and holds identical contents behind one representative.
    // Never throws; whatever it cannot settle stays pending for per-file dispatch.
    QCoro::Task<> runBatchPrePass(std::stop_token stop);
    // The pre-pass of the given pending uploads only (path and generation as read), adding to
    // the pass's tables rather than replacing them; `chunked` (a first sync's chunk) lets go
    // of what it settled. Never throws.
    // Returns how many it settled.
    QCoro::Task<qsizetype> prePassFiles(QStringList paths, QHash<QString, qint64> generations, std::stop_token stop,
                                        bool chunked = false);
    // This folder's records at these paths, in one query.
    std::vector<std::shared_ptr<SyncFile>> fetchRecordsAt(const QStringList &paths);
    // One result per path, in order, hashed on several workers through the pass's checksums.
    // Only regular files of the folder at `root` are read (regularFileStampBelow): a path with
    // a link in the file's place or on the way to it gets no checksum. Throws CancelledError
    // when stopped.
    static QCoro::Task<QList<PrePassChecksum>> computePrePassChecksums(std::shared_ptr<ChecksumCache> checksums,
                                                                       QString root, QStringList paths,
                                                                       std::stop_token stop);
    // lstat of the path; none when it is not there or not a regular file.
    static std::optional<FileStamp> fileStamp(const QString &path);
    // The reply entry's file id for each target, in target order: every target is first
    // matched by hash, drive path and name, then the rest by hash and drive path alone
    // (replies that leave the name out); an entry serves one target only.
    static QList<std::optional<qint64>> matchConfirmations(const QList<FileSyncAPI::BatchDedupConfirmed> &confirmed,
                                                           const QList<ConfirmationTarget> &targets);
    // The same, as the matched reply entries themselves (null where none matched); they point
    // into `confirmed`.
    static QList<const FileSyncAPI::BatchDedupConfirmed *>
    matchConfirmedEntries(const QList<FileSyncAPI::BatchDedupConfirmed> &confirmed,
                          const QList<ConfirmationTarget> &targets);

    // SyncLaneHeldDuplicates.cpp: the held duplicates
    // After the representative of `checksum` has been sent: confirms the files held behind it
    // as pointers to that content in one request. Never throws.
    QCoro::Task<> confirmHeldDuplicates(QString checksum, std::stop_token stop);

    // SyncLaneDeltaSync.cpp: delta sync, the change feed applied to the folder
    // A feed this long gives the heap's freed pages back, freedMemoryDelay after it was
    // applied: by then the pass and whatever it handed on have let go of their memory too.
    static constexpr qsizetype largeFeed = 1000;
    static constexpr std::chrono::seconds freedMemoryDelay{2};
    QCoro::Task<std::optional<QString>> performDeltaSync() override;
    // fetchRecord, answered from the lookup of the feed chunk being applied when it holds
    // the path.
    std::shared_ptr<SyncFile> fetchDeltaRecord(const QString &localPath);
    // After a feed of at least largeFeed changes: the heap's freed pages go back.
    void returnFreedMemoryAfterFeed();
    // What a local path holds, read off the main thread without following a link; the
    // checksum is empty when the file could not be read or changed while it was.
    struct LocalLook
    {
        enum class Kind { absent, regularFile, other, unreadable } kind = Kind::absent;
        QString checksum;
        std::optional<FileStamp> stamp;
    };
    // The file at a path against the version the service is about to hand over.
    enum class LocalHashCheck {
        missing,         // nothing there (lstat: ENOENT)
        matchesExpected, // already the expected content
        syncedOnService, // a version the service holds for this very place
        unconfirmed,     // anything else: content the service may not have
        notAFile,        // a folder, a link or a device: never replaced, hashed or sent
    };
    struct HashCheck
    {
        LocalHashCheck verdict = LocalHashCheck::unconfirmed;
        std::optional<FileStamp> stamp;
    };
    // How old a read of the feed may be and still stand for what the service holds now, for a
    // request that goes over the service's version with nothing the service can check it by.
    static constexpr std::chrono::seconds feedFreshness{5};
    // A version at the service the record's own fields cannot carry: a live file whose content
    // the service did not name, or another file of the service at the record's place while
    // the record's own file lives on. Nothing may go over it unseen.
    struct UnseenVersion
    {
        std::optional<QString> checksum; // none: the service did not name its content
    };
    // Makes sure this queue pass has read the feed within feedFreshness (one read serves every
    // delete and upload that asks meanwhile) and lets the record `localPath` (dispatched at
    // `generation`) learn what the feed says the service holds now, at its file's id and, with
    // `atPlace`, at its place: a DELETE carries no precondition, and an upload without a base
    // commit of the file's own none the service can judge, so only a fresh read tells whether
    // another device saved a newer version (or a new file of the same name). A read never
    // lowers what the record knows: nothing the feed's pass or an upload taught the record
    // after the read was taken is set back by it. The read applies nothing else (the feed's
    // own pass does). Returns what the record's fields cannot carry. When the feed cannot be
    // read, the record waits for the back-off and the call throws CancelledError; also when
    // the record changed meanwhile, which the queue then dispatches again as it is now.
    // With `askedAfter`, only a read asked after that point of the lane's count (m_learnings)
    // stands, however fresh an earlier one is: the judge at a commit point.
    QCoro::Task<std::optional<UnseenVersion>> hearServiceFirst(QString localPath, qint64 generation, quint64 epoch,
                                                               std::stop_token stop, bool atPlace = false,
                                                               std::optional<quint64> askedAfter = std::nullopt);
    // Makes sure this queue pass has read the feed within feedFreshness (m_heard, answered or
    // refused), or, with `askedAfter`, that its read was asked after that point of the count.
    // Throws CancelledError when the lane stopped meanwhile.
    QCoro::Task<> readServiceState(quint64 epoch, std::stop_token stop, std::optional<quint64> askedAfter = std::nullopt);
    // Whether the last read shows a live file other than `own` at the place of `localPath`;
    // true when there is no read or it failed.
    bool placeTakenOnRead(const QString &localPath, std::optional<qint64> own = std::nullopt) const;
    // "<drive path>/<name>" of a local path, as the feed names places.
    QString servicePlace(const QString &localPath) const;
    // What the record knows of its file's id was learned from a request asked at `asked` (a
    // point of m_learnings): a read of the feed asked before it does not set it back, one
    // asked after it does.
    void noteLearned(qint64 remoteId, quint64 asked);
    // The same for the feed page being applied (m_pageAsked), which comes from the stored
    // cursor and may end before what a read asked earlier told: it stands over that read only
    // where it named the read's word of the id.
    void noteLearnedFromPage(qint64 remoteId);
    // Owes the local delete of a file the feed told deleted while it came down, now that the
    // download has ended.
    void applyDeleteToldDuringDownload(qint64 id);
    // After a feed page was applied and its cursor `storedCursor` stored: lets go of what the
    // reads told that the stored cursor has reached.
    void forgetReachedByPage(const QList<FileSyncAPI::DeltaChange> &page, const std::optional<QString> &storedCursor);
    // Lets go of the learned stamps no fact of the account and no read on its way is older than:
    // those the reads on their way have all passed, and, with `everyFact` (the account's facts
    // were let go or replaced), every stamp past them all; else those of `toldAgain`, whose
    // facts were just told again.
    void forgetOlderLearnings(const QList<FileSyncAPI::DeltaChange> &toldAgain = {}, bool everyFact = false);
    // Raises the stamp of an id from `before` to its entry's latest, keeping the index.
    void restampLearned(qint64 remoteId, quint64 before);
    // The feed request of this folder from `cursor` (none: from the start).
    QCoro::Task<FileSyncAPI::ChangeFeed> requestChanges(std::optional<QString> cursor, std::stop_token stop);
    // The same request folded into the deletes it tells (none: from the start).
    QCoro::Task<FileSyncAPI::FeedDeletes> requestDeletes(std::optional<QString> cursor, std::stop_token stop);
    // The kind the folder's feed is asked for: none in the plan mirror, which takes every plan's.
    std::optional<SyncFolderType> feedKind() const;
    // The newest time of the service this lane has read (a change's or a listed file's).
    void noteServiceTime(const std::optional<QDateTime> &time);
    // A record settled as synced now carries that time: what tells, against a delete's time
    // at the service, whether the delete came after (see sendUnlistedMatches).
    void stampSettled(SyncFile &record) const { record.setRemoteModifiedAt(m_serviceTimeRead); }
    // One pass over the change feed since the folder's cursor; passes of one lane never
    // overlap. Never throws. The cursor is stored only after every change was applied or
    // knowingly skipped, and only one the service gave.
    QCoro::Task<> runDeltaPass(std::stop_token stop);
    QCoro::Task<LocalHashCheck> checkFileHash(QString localPath, std::optional<QString> expected, std::stop_token stop);
    // Fetches or makes the record of the path and runs its download now, as the queue would;
    // a failure leaves it owed with its retry time. Never throws.
    QCoro::Task<> downloadRemoteFile(FileSyncAPI::DeltaChange change, QString localPath, std::stop_token stop);
    // The content last synced with the service at the record's own place: none for a record
    // that holds no service file there (a file moved here and not sent yet, a new file).
    static std::optional<QString> lastSyncedContent(const SyncFile &record);
    // A file made here: it holds no service file and carries no content from elsewhere (a
    // file moved here does), so taking up the service's file at its place makes no content
    // count as synced there.
    static bool isMadeHere(const SyncFile &record);
    // Whether the service is known (by the latest listing, change or upload) to hold another
    // version of the record's file than the one last synced here: then no delete of it is sent.
    static bool hasNewerServiceVersion(const SyncFile &record);
    // The record lets go of the service file it held: it is a file of this folder the service
    // does not know (its content stays as the last one seen here).
    static void forgetServiceFile(SyncFile &record);
    // A version whose content the feed did not name met a record in flight: remembered, and
    // the page is read again by the next pass.
    void deferUnnamedVersion(qint64 id);
    // The copy here became a version this folder did not upload: its base commit goes.
    static void forgetStaleBase(SyncFile &record);
    // The feed brings back the version this folder last uploaded (`incoming`) after telling of
    // another one, in this page or before: the content is this folder's, but the commit its
    // upload got is no longer the file's, and its base commit goes.
    void forgetBaseAfterOtherVersions(SyncFile &record, qint64 id, const std::optional<QString> &incoming) const;
    // The profile names of the running applications that guard this folder, as the settings
    // show them (none when its guards are off).
    QSet<QString> runningGuardDAWs();
    // Once no guarding application runs: each held download is fetched, marked synced or
    // kept as a local change. One release at a time per lane. Never throws.
    QCoro::Task<> releaseHeldDownloads(QByteArray bookmark, std::stop_token stop);
    static QString heldNotice(const QString &filename, const QSet<QString> &guards);

    // SyncLanePriority.cpp: priority scheduling
    // Re-decides the priority (settings changed, a guarding application launched or quit):
    // releases the held downloads when no guard runs, then schedules the pass.
    QCoro::Task<> reevaluatePriority(std::stop_token stop);
    // The wait before a pass at the priority: high 3 s, balanced 300 s, low 1800 s; none for
    // `none`, which runs no pass at all.
    static std::optional<std::chrono::seconds> priorityDelay(SyncPriority priority);
    // Every stored rule by ascending sortOrder, without the appNotRunning ones; empty when
    // the fetch fails.
    QList<RuleSnapshot> fetchSyncRules();
    // The folder's priority while `guards` (runningGuardDAWs) run: with none running, its
    // stored default (high when none is stored, and for a stored `none`, which only a
    // running guard may impose); else the rules' verdict for the folder's path.
    SyncPriority resolvePriority(const QSet<QString> &guards);
    // Replaces the pending priority wait with one pass after the priority's delay, or with
    // nothing for `none` (a pass already running then takes no more records). Nothing on a
    // stopped or paused lane.
    void schedulePrioritySync(SyncPriority priority, const QByteArray &bookmark);
    // The last priority decided was `none` and a guard still runs: no pass takes work.
    bool passesHeldByPriority();
    // A failed start of folder access for the priority pass: nothing for the network, a log
    // line for a rate limit, the lane's last error otherwise.
    void notePriorityStartFailure(const std::exception_ptr &error);

    // SyncLaneQueuePass.cpp: the queue pass
    // The queue pass: pre-pass, then the slots until nothing is due. Never throws. Passes of
    // one lane never overlap: a pass asked for while one runs is run once that one has ended
    // (under the epoch of that moment), unless the lane was stopped or paused meanwhile. When
    // records wait for a retry time afterwards, one pass is scheduled at the earliest of them.
    QCoro::Task<> processQueue(std::stop_token stop);

    // SyncLaneCommitGroup.cpp: the group commit
    // Group commit: outcomes (and the dispatch marks made meanwhile) go to the store together,
    // once commitGroupOutcomes outcomes or commitGroupMarks marks have gathered, or
    // commitGroupWindow after the group opened, whichever comes first. The caps keep the
    // unsaved records few: every query lays them over its statement, and one commit of many
    // scattered rows writes many pages at once (a dispatch that pays for it waits as long:
    // 4 marks keep that dispatch near 150 us at 100,000 records).
    static constexpr std::chrono::milliseconds commitGroupWindow{2};
    static constexpr int commitGroupOutcomes = 8;
    static constexpr int commitGroupMarks = 4;
    // A test program that kills a process inside the window widens it (process-wide).
    static void setCommitGroupForTesting(Clock::Duration window, int outcomes);
    // Commits the open group now (nothing when none is open); false when the store refused it.
    // A failed commit leaves every outcome of the group owed again.
    bool flushCommitGroup();
    // Outcomes and dispatch marks waiting for the group's commit.
    qsizetype commitGroupSize() const { return qsizetype(m_group.outcomes.size()) + m_group.marks; }

    // SyncLaneQueue.cpp: the work queue
    static constexpr int queueSlots = 4;
    // Runs the owed records of the folder, at most queueSlots at a time, until none is due or
    // the pass is stopped; awaits every record it started. Never throws.
    QCoro::Task<> runQueueTaskGroup(std::stop_token stop);
    // The most urgent due record, marked syncing and saved; null when none is due.
    std::shared_ptr<SyncFile> dequeueDueRecords();
    // Every path held behind a representative of the pre-pass; built again only after
    // m_heldDuplicates changed.
    const QSet<QString> &heldDuplicatePaths();
    // While a guarding application runs, the queue holds the folder's owed downloads instead
    // of fetching them (download-only folders excepted); true when it held any.
    bool holdGuardedDownloads();

    // SyncLaneFailures.cpp: the failure rules
    static constexpr int maxRetries = retry::maxRetries;
    static constexpr std::chrono::seconds rateLimitWait = retry::rateLimitWait;
    void storageAvailable() override;
    void networkChanged() override;
    // Every record of the folder in error whose operation the queue runs is owed again (its
    // back-off and message cleared, its operation kept) and a queue pass follows. Only the
    // user's Sync Now calls it: a file that keeps failing is not tried again on its own.
    void retryFailedFiles() override;
    // A record whose last operation failed and has not succeeded since: in error, or owed
    // work again after a failure (a retry count).
    static bool isStillFailing(const SyncFile &record);
    // A transport failure that says the network is down or unreachable.
    static bool isNetworkError(const std::exception_ptr &error);
    // The secure connection failed (the server's certificate refused, among others).
    static bool isSecureConnectionFailure(const std::exception_ptr &error);
    // A refusal that asking again will not change: the service refused the request itself (a
    // 4xx other than 401, 408, 421 or 429; a 501), or the local disk refused for good.
    static bool isLastingRefusal(const std::exception_ptr &error);
    // The service asked us to slow down: status 429, or "429" in the service's own message.
    static bool isRateLimited(const std::exception_ptr &error);
    // The text shown for a failed operation, by HTTP status (none: a network failure).
    static QString userMessage(std::optional<int> status);
    // The errno of a failure of the local file system (LocalFileError, also when the client
    // wrapped it), or none.
    static std::optional<int> localErrorNumber(const std::exception_ptr &error);
    // The text shown for a local file-system failure: the file's name, what the lane was doing
    // with it (by the operation's desired state) and what stood in its way.
    static QString localFileMessage(int errorNumber, const QString &filename, SyncFileDesiredState state);
    // Whether a local failure may pass by itself (a full disk, an I/O error) and is retried on
    // the back-off; a clash of names, a refused permission or a read-only disk is not.
    static bool isTransientLocalError(int errorNumber);
    // The wait before the next attempt after the n-th transient failure in a row (n >= 1; see
    // Model/RetryPolicy.h).
    static constexpr std::chrono::seconds retryDelay(qint64 failureCount) { return retry::delay(failureCount); }
    // Whether a record owed work still waits for its retry time: a time further ahead than
    // any back-off the lane sets (the clock ran ahead when it was set) does not hold it.
    bool waitsForRetry(const SyncFile &record) const;

    // SyncLaneUpload.cpp: per-file operations, the upload
    // Per-file operations: upload, download, deletes.
    // Each throws the client's error unchanged and CancelledError when the lane was stopped
    // or the token cancelled meanwhile. A success's outcome and journal row ride with the
    // group commit (a failed commit leaves every outcome of the group owed again); completion
    // (desiredState, retries) is left to the queue.
    // `dispatched`: the queue's record and its generation when dispatched. When the record
    // written is that one, its completion goes into the upload's own save, and the result
    // says so: the queue then has nothing left to complete.
    struct Dispatched
    {
        std::shared_ptr<SyncFile> record;
        qint64 generation = 0;
    };
    QCoro::Task<bool> uploadRecord(QString localPath, std::optional<QString> drivePath, std::stop_token stop,
                                   std::optional<Dispatched> dispatched = std::nullopt);
    // Writes the conflict fields from the service's conflict, clearing them without one.
    static void applyConflict(const std::optional<FileSyncAPI::UploadConflict> &conflict, SyncFile &record);
    // The text, or nullopt when absent or empty.
    static std::optional<QString> nonEmpty(const std::optional<QString> &text);
    // The service file `id` lives at `localPath` now: any other record holding it lets go.
    void releaseStaleHolders(qint64 id, const QString &localPath);

    // SyncLaneDownloadsAndDeletes.cpp: per-file operations, downloads and deletes
    // Never replaces content of a two-way folder that the service does not know: such a file
    // is kept and queued for upload instead (its generation moves on).
    QCoro::Task<> downloadRecord(qint64 fileID, QString localPath, std::stop_token stop);
    // A download answered "gone" (404, 410): the service file was deleted meanwhile, and the
    // record is settled as a delete from the change feed would settle it.
    QCoro::Task<> settleGoneAtService(qint64 fileID, QString localPath, std::stop_token stop);
    // 404 and 410 count as done. The record goes only when its generation and desired state
    // are still those it was dispatched with.
    QCoro::Task<> deleteRemoteRecord(std::shared_ptr<SyncFile> record, std::stop_token stop);
    // How long a delete whose proof has ended waits for the proofs of the deletes dispatched
    // beside it, so that one read of the service asked after all of them serves the batch.
    static constexpr std::chrono::seconds otherProofsWait{2};
    // Parks until no other delete is proving, otherProofsWait has passed, or the lane stops:
    // a proof that never ends (a dead network mount) holds only its own delete.
    QCoro::Task<> awaitOtherProofs(quint64 epoch, std::stop_token stop);
    // Ends one delete's proof; the last to end wakes the deletes waiting for it.
    void endDeletionProof();
    // Unlinks one regular file whose content is the record's last synced content (any content
    // in a download-only folder); a locally edited file of a two-way folder is kept and queued
    // for upload. "Not found" counts as done; any other failure throws.
    QCoro::Task<> deleteLocalRecord(std::shared_ptr<SyncFile> record, std::stop_token stop);

    // SyncLaneIntake.cpp: watcher intake, the folder's own changes recorded on their records
    // What one batch found on disk, and what its follow-up read there (SyncLaneIntake.cpp).
    struct IntakeBatch;
    // One merged batch of watcher paths. Moves of tracked files and folders follow their
    // records; every other path the folder syncs is recorded as changed, or as deleted once
    // its absence is proven; a queue pass is then asked for. The file system is read off the
    // main thread (one call per batch; a second only to hash files synced just now or to test
    // directory moves), the records are written in one save, and batches of a lane run one
    // after another. Dropped when the lane is stopped or paused meanwhile. Never throws.
    QCoro::Task<> processDebouncedPaths(QSet<QString> paths);
    // The file at the path is a local change to send: recorded as owed an upload (or the
    // transfer in flight told, through its generation). `stamp` is the file as last looked at.
    void trackLocalChange(const QString &path, const std::optional<FileStamp> &stamp);
    // The tracked file at the path is gone, as proven by the caller (localPresence absent):
    // owed a delete at the service when it is there; forgotten when it never got there; left
    // alone when it was never on this disk (owed or held download), is already on its way
    // out or is outside the folder's scope. Saves.
    void trackLocalDeletion(const QString &path);
    // The file of the record at oldPath (proven gone from there) now lives at newPath, in the
    // folder's scope. The record follows and is owed an upload; the service's file at the
    // old place stays behind on a record of its own (a move origin), deleted once the upload
    // at the new place is confirmed. Onto a tracked path, that record keeps the path and is
    // owed an upload, and the one at oldPath counts as deleted. False without a record at
    // oldPath. Saves.
    bool applyLocalRename(const QString &oldPath, const QString &newPath, const std::optional<FileStamp> &newStamp);
    // Asks for a queue pass after the folder's priority wait (every batch restarts it).
    void scheduleAfterLocalChanges(const QByteArray &bookmark);
    // Move origins whose moved file is no longer owed an upload are owed their delete now:
    // from `settleFrom` on (none: at once). True when one was released; not saved.
    bool releaseMoveOrigins(const std::optional<QDateTime> &settleFrom);
    // A record that only holds the service's file at a place the local file moved away from.
    static bool isMoveOrigin(const SyncFile &record);

    // SyncLanePlanFolders.cpp: plan folders, the plan mirror's layout
    // Makes sure every plan has its directory under the root (moving one found by its id
    // prefix) and downloads the plan files missing there, one at a time, each as the queue runs
    // one record: a failed one stays owed and is retried on the queue's back-off. Throws the
    // plans request's error (nothing is touched then), and CancelledError when the lane was
    // stopped meanwhile. Service names reach the disk only through SafeJoin.
    QCoro::Task<> hydratePlans(QString root, std::stop_token stop);
    // Plan id -> the absolute directory of its files, as the last layout left it. A plan file's
    // place is decided only by this layout: its plan's directory, the track directory of its
    // drive path's first component, the rest of the drive path, its name.
    const QHash<qint64, QString> &planDirectories() const { return m_planDirectories; }

    // Inline here: read access for the engine and tests, and the tests' hooks
    void resetDeltaFailureCount() override { m_consecutiveDeltaFailures = 0; }
    // Delta passes begun, of the loop and manual ones.
    int deltaPassesRun() const { return m_deltaPassesRun; }
    // A delta pass has begun and not ended yet.
    bool isDeltaPassRunning() const { return m_deltaPassesActive > 0; }
    bool hasFileWatcher() const { return m_fileWatcher != nullptr; }
    const QString &watchedPath() const { return m_watchedPath; }
    const TaskHandle &syncTask() const { return m_syncTask; }
    const TaskHandle &deltaSyncTask() const { return m_deltaSyncTask; }
    const TaskHandle &livenessTask() const { return m_livenessTask; }
    const TaskHandle &prioritySleepTask() const { return m_prioritySleepTask; }
    const TaskHandle &fullSyncRetryTask() const { return m_fullSyncRetryTask; }
    qsizetype fullSyncChunkSize() const { return m_fullSyncChunkSize; }
    void setFullSyncChunkSizeForTesting(qsizetype files) { m_fullSyncChunkSize = std::max<qsizetype>(1, files); }
    const TaskHandle &queueRetryTask() const { return m_queueRetryTask; }
    int consecutiveDeltaFailures() const { return m_consecutiveDeltaFailures; }
    bool isProcessingQueue() const { return m_isProcessingQueue; }
    quint64 epoch() const { return m_epoch; }
    // What the last full sync's listing said of each place.
    const std::optional<ListedFiles> &listedFiles() const { return m_listed; }
    const QHash<QString, QList<QPair<QString, qint64>>> &heldDuplicates() const { return m_heldDuplicates; }
    const QSet<QString> &activeRepresentatives() const { return m_activeRepresentatives; }
    const QHash<QString, QString> &prePassChecksums() const { return m_prePassChecksums; }
    // Tells which applications guarding the folder run (the engine's, or a test's).
    const std::shared_ptr<DAWRunningStateProvider> &dawRunningStateProvider() const { return m_dawRunningStateProvider; }
    // Tests count the returns instead of trimming the heap.
    void setFreedMemoryReturnForTesting(std::function<void()> giveBack) { m_returnFreedMemory = std::move(giveBack); }
    // Tests that look at one step of a lane at a time keep its timed passes out of the way.
    void setDeltaLoopEnabledForTesting(bool enabled) { m_deltaLoopEnabled = enabled; }
    // Every read of a file's content for its checksum goes through `hash` (a test counts them).
    void setChecksumFunctionForTesting(ChecksumCache::HashFunction hash)
    {
        m_checksums = std::make_shared<ChecksumCache>(std::move(hash));
    }
    void setConsecutiveDeltaFailuresForTesting(int failures) { m_consecutiveDeltaFailures = failures; }
    // Runs on the worker before each delete's proof that its file is gone here (a test holds one).
    void setDeletionProofHookForTesting(std::function<void(const QString &)> hook)
    {
        m_deletionProofHook = std::move(hook);
    }
    // Tests stand in for the full sync's listing of the folder.
    void setLastRemoteFilesForTesting(const std::optional<QList<FileSyncAPI::RemoteFile>> &files)
    {
        m_listed.reset();
        if (files)
            m_listed.emplace(*files);
    }

private:
    // Inline here: whether work of an epoch may still act
    // Whether work begun under `epoch` may still act: not stopped since, and not cancelled.
    bool isCurrent(quint64 epoch, const std::stop_token &stop) const
    {
        return epoch == m_epoch && !stop.stop_requested();
    }
    // Awaits one step of work begun under `epoch`. When the lane was stopped meanwhile,
    // whatever the step gave, a result or a failure, becomes a CancelledError. The caller
    // holds the lane for the whole wait.
    template<typename T>
    QCoro::Task<T> awaitStep(QCoro::Task<T> step, quint64 epoch, std::stop_token stop)
    {
        std::exception_ptr failure;
        if constexpr (std::is_void_v<T>) {
            try {
                co_await std::move(step);
            } catch (...) {
                failure = std::current_exception();
            }
            if (!isCurrent(epoch, stop))
                throw CancelledError();
            if (failure)
                std::rethrow_exception(failure);
        } else {
            std::optional<T> result;
            try {
                result.emplace(co_await std::move(step));
            } catch (...) {
                failure = std::current_exception();
            }
            if (!isCurrent(epoch, stop))
                throw CancelledError();
            if (failure)
                std::rethrow_exception(failure);
            co_return std::move(*result);
        }
    }

    // SyncLane.cpp: the folder's state, store failures, the watcher's deliveries
    void dropFolderState();
    // Saves; a failure leaves the changes in the context for the next save (traced). False when
    // the store refused it.
    bool saveQuietly();
    // What the store was doing when it failed, for the lane's trace of the failures it carries
    // on past.
    enum class StoreStep { save, read };
    // A store failure the lane carries on past (the changes stay for the next save, a failed
    // read counts as nothing found): one warning line with the error per lane and step, so a
    // store that keeps refusing shows in the log without filling it.
    void traceStoreFailure(StoreStep step, const char *doing, const std::exception &error);
    void showAccessLost(const QString &folderPath);
    void deliverWatcherEvents(quint64 generation, const QSet<QString> &paths);
    static QCoro::Task<> checkVanishedRoot(std::weak_ptr<SyncLane> weak, QString folderPath, quint64 epoch,
                                           std::stop_token stop);
    QString debounceKey() const;
    static QCoro::Task<> runPriorityReevaluation(std::weak_ptr<SyncLane> weak, std::stop_token stop);
    static QCoro::Task<> runIntake(std::weak_ptr<SyncLane> weak, QSet<QString> paths);

    // SyncLaneActivation.cpp: the activation
    void recoverInterruptedTransfers();

    // SyncLaneTimers.cpp: the lane timers
    // Something of the lane still works or is meant to rest: its watcher, a delta loop or an
    // activation that nobody cancelled (finished ones count), a pause, or the plan mirror's kind.
    bool hasVitalSign() const;
    // The folder could not be reached (another folder at its path, its drive unplugged).
    bool isAccessLost() const;
    static QCoro::Task<> deltaSyncLoop(std::weak_ptr<SyncLane> weak, std::stop_token stop);
    static QCoro::Task<> livenessLoop(std::weak_ptr<SyncLane> weak, std::stop_token stop);

    // SyncLaneFullSync.cpp: the full sync's retries
    static QCoro::Task<> runFullSyncRetry(std::weak_ptr<SyncLane> weak, Clock::Duration delay, quint64 generation,
                                          std::stop_token stop);
    void scheduleFullSyncRetry();
    // A full sync after `delay` (of its own, or because the change feed asked for one).
    void scheduleFullSync(Clock::Duration delay);
    void cancelScheduledPasses();
    QCoro::Task<> renewBookmarkIfStale(QByteArray bookmarkData, QString folderPath, quint64 epoch,
                                       std::stop_token stop);

    // SyncLaneQueuePass.cpp: the queue pass and its scheduling
    // Sleeps on the lane's clock without holding it; then the lane, or null when it is gone,
    // the sleep was stopped or the lane is paused.
    static QCoro::Task<std::shared_ptr<SyncLane>> sleepUnpaused(std::weak_ptr<SyncLane> weak, Clock::Duration delay,
                                                                std::stop_token stop);
    static QCoro::Task<> runScheduledQueuePass(std::weak_ptr<SyncLane> weak, Clock::Duration delay,
                                               std::stop_token stop);
    void scheduleQueuePassForRetries();
    // Whether the dispatch would take a record now, leaving out what the pass found no file for.
    bool hasDueRecord();
    // The end of every pass, however it ends: clears the pass flag and starts the pass asked
    // for meanwhile (on the next turn, in m_queueRetryTask).
    void endQueuePass();
    // What a pre-pass worked out (checksums, held duplicates) serves its own pass only.
    void dropPrePassTables();
    static QCoro::Task<> runQueueRerun(std::weak_ptr<SyncLane> weak, std::stop_token stop);

    // SyncLaneQueue.cpp: the work queue
    // What a per-record task takes from its record when it starts.
    struct DispatchContext
    {
        QString localPath;
        QString name; // last path component of localPath
        SyncFileDesiredState state = SyncFileDesiredState::syncedLocal;
        SyncFileDirection direction = SyncFileDirection::upload;
        qint64 generation = 0;
        std::optional<QString> fileUUID;
    };
    // The outstanding count as the queue keeps it between recounts: the records in flight
    // with whether each owed work when last seen, and whether a save by someone else (or
    // of a record not in flight) may have changed the count since.
    struct OutstandingTally
    {
        bool valid = false;
        qint64 count = 0;
        QHash<qint64, QPair<std::shared_ptr<SyncFile>, bool>> inFlight; // row id -> record, owed
    };
    static DispatchContext dispatchContext(const SyncFile &record);
    QCoro::Task<> syncRecord(std::shared_ptr<SyncFile> record, std::stop_token stop);
    // True when the operation completed the record itself (see uploadRecord).
    QCoro::Task<bool> performOperation(std::shared_ptr<SyncFile> record, std::stop_token stop);
    // An upload whose path holds no regular file of the folder (a link in its place or on the
    // way to it, a folder): nothing was read, sent or deleted, and the record stays as it is.
    // Logged once per version of the record; not dispatched again in this pass. Throws
    // CancelledError, so the queue lets go of the record without counting a failure.
    [[noreturn]] void leaveNotAFile(const QString &localPath, qint64 generation);
    void completeOperation(const std::optional<QString> &fileUUID, const QString &localPath,
                           SyncFileDesiredState state, qint64 generation);
    // What completion makes of a record that stays: still owed when it changed while its
    // operation ran (another generation), else settled.
    void settleCompleted(SyncFile &record, SyncFileDesiredState state, qint64 generation);
    void returnToPending(const DispatchContext &context);
    std::shared_ptr<SyncFile> findDispatchedRecord(const DispatchContext &context);
    qint64 outstandingCount();
    void refreshFilesPending();
    void noteStoreSaved(const StoreChanges &changes);

    // SyncLaneCommitGroup.cpp: the group commit
    // One record's outcome in the group: the record, what its operation was dispatched to do,
    // and what the outcome left it with (a record that no longer shows that was changed since).
    struct GroupOutcome
    {
        std::shared_ptr<SyncFile> record;
        SyncFileDesiredState owed = SyncFileDesiredState::syncedLocal;
        SyncFileStatus status = SyncFileStatus::pending;
        std::optional<SyncFileDesiredState> desired;
        qint64 generation = 0;
        QString localPath;
        bool removed = false;
        // Failed attempts in a row the record carried when its run was dispatched: the
        // completion has reset them, and a refused commit is one more.
        qint64 retries = 0;
    };
    // Starts the window (and its timer) unless a group is open already.
    void openGroup();
    // The dispatch mark just made rides with the group.
    void groupDispatchMark();
    // An operation's outcome, written on `record` (may be null: nothing left to write) with its
    // journal row (may be null), rides with the group instead of a save of its own.
    void groupOutcome(const std::shared_ptr<SyncFile> &record, const std::shared_ptr<OperationResolution> &row);
    bool groupIsOpen() const { return !m_group.outcomes.empty() || !m_group.rows.empty() || m_group.marks > 0; }
    bool groupHolds(const SyncFile *record) const;
    // A save of the context went through: what the group held is in the store.
    void closeGroup();
    // A save that carried the group failed: its journal rows go, and each record that still
    // holds its outcome is owed its operation again on the back-off, whether or not that run
    // has ended; a record changed since by anyone else (the feed, the intake, a dispatch of its
    // own) keeps that change, which says what it owes.
    void failGroup();
    // Owes the record of a refused outcome its operation again, unless it was changed since;
    // true when it did.
    bool oweOutcomeAgain(const GroupOutcome &outcome);
    static QCoro::Task<> runGroupTimer(std::weak_ptr<SyncLane> weak, Clock::Duration window, std::stop_token stop);

    // SyncLaneFailures.cpp: the failure rules
    QCoro::Task<> handleFailure(std::exception_ptr error, DispatchContext context, std::stop_token stop);
    std::shared_ptr<OperationResolution> recordPermanentFailure(const std::shared_ptr<SyncFile> &found,
                                                                const QString &message,
                                                                const std::optional<QString> &fileUUID,
                                                                SyncFileDesiredState state, const QString &dispatchedPath);
    std::shared_ptr<OperationResolution> recordTransientFailure(const std::shared_ptr<SyncFile> &found,
                                                                const QString &message, SyncFileDesiredState state,
                                                                const QString &dispatchedPath);
    // Inserts the failure's journal row and saves. When that fails, undoes the row and this
    // record's unsaved changes only (ModelContext::rollback of the two); the record, whose
    // failure is then on record nowhere, goes back to pending at a back-off retry time.
    void saveFailureRow(const std::shared_ptr<OperationResolution> &row, const std::shared_ptr<SyncFile> &found);
    // Owed again at the back-off's retry time after its attempt-th failure in a row, counted
    // from `failedAt` (now when not given).
    void retryOnBackOff(SyncFile &record, qint64 attempt, std::optional<QDateTime> failedAt = std::nullopt);
    void finishFailure();
    // The failure of a record, newer than every one noted before; `entry`: its error list
    // entry, which replaces the one noted for the record before.
    void noteFailure(const std::shared_ptr<SyncFile> &record, const QString &shown,
                     std::optional<QUuid> entry = std::nullopt);
    // A save changed or removed records: those no longer failing leave the notes, and their
    // entries the error list.
    void followFailingRecords(const StoreChanges &changes);
    // The last error is the newest failure of a record still failing, or none; the counts
    // are taken again from the store.
    void showRecordFailures();
    // filesInError and conflictsToReview, one count each; recent uploads taken with a
    // conflict no longer listed read as the uploads they were.
    void refreshRecordCounts();
    // After the count: recent uploads taken with a conflict whose file the folder no longer
    // lists as a conflict to review (acknowledged, or sent again without one) become plain
    // uploads, as the record's own direction does. Names are compared in NFC.
    void settleReviewedConflictEntries();
    // Owes the records again (clearFailure), saves, and runs a queue pass now on a started,
    // unpaused lane (else its next start runs them).
    void oweFailedRecordsAgain(const std::vector<std::shared_ptr<SyncFile>> &records);
    // A failure of one of the folder's own requests (the feed, a priority start) shown as the
    // last error, and remembered in `shown` so that the same request going through takes it
    // away again, unless something newer took its place.
    void showPathFailure(std::optional<QString> &shown, const QString &message);
    void clearPathFailure(std::optional<QString> &shown);

    // SyncLaneUpload.cpp: per-file operations, the upload
    struct UploadBefore
    {
        std::optional<QString> path;
        std::optional<QString> checksum;
        std::optional<QString> baseCommit;
        // The content last synced at the place (or acknowledged there) before the upload.
        std::optional<QString> lastSynced;
    };
    // Whether a service object id (a conflict's server version) names this content.
    static bool namesContent(const std::optional<QString> &objectId, const std::optional<QString> &checksum);
    // Writes a successful upload onto the record at the path (the dispatched one while it
    // holds the place; made anew when it vanished) and the folder's head commit; returns the
    // journal row for the caller to insert, and sets `written` to the record it wrote.
    std::shared_ptr<OperationResolution> recordUploadSuccess(std::shared_ptr<SyncFile> &written,
                                                             const QString &localPath,
                                                             const FileSyncAPI::UploadResult &result,
                                                             const std::optional<QString> &checksum, bool isConflict,
                                                             const QString &fileUUID,
                                                             const std::optional<QString> &commit,
                                                             const UploadBefore &before, const QDateTime &attemptedAt,
                                                             const std::optional<Dispatched> &dispatched);
    // The queue's record when it still holds the place (stored, at the path, of this
    // folder), else the record found at the path, or null.
    std::shared_ptr<SyncFile> holdingPlace(const std::optional<Dispatched> &dispatched, const QString &localPath);
    // The record at the path, or a new one of this folder inserted for it.
    std::shared_ptr<SyncFile> fetchOrCreateRecord(const QString &localPath);
    // Keeps a MultipartUploadState of the upload of `localPath` while the service holds it
    // open: saved as soon as it is opened, removed when it is closed (saved with whatever the
    // upload saves next), so the activation after a kill aborts what was left open.
    FileSyncAPI::MultipartJournal multipartJournal(const QString &localPath);
    // Inserts the row and saves; on failure undoes the row and the record's unsaved changes
    // (nothing of other records) and rethrows.
    void saveJournaled(const std::shared_ptr<OperationResolution> &row, const std::shared_ptr<SyncFile> &record);
    // A locally changed file that a download or a local delete must not replace or remove:
    // the record becomes owed an upload (a new generation, so completion leaves it pending).
    void keepLocalEdit(const QString &localPath, const QString &why);
    // Whether an upload of the record would go over a service version this device never
    // synced here with no base commit of the file's own for the service to judge it by.
    static bool meetsUnseenVersion(const SyncFile &record);
    // Both sides changed: nothing is sent, the record shows as a conflict, its edit stays owed.
    // `serviceChecksum` none: the service did not name its version's content.
    void holdBothVersions(const std::shared_ptr<SyncFile> &record, const std::optional<QString> &serviceChecksum,
                          const std::optional<Dispatched> &dispatched);
    // The upload of `localPath` meets a version at the service this device never synced
    // (meetsUnseenVersion, or `unseen` that the read told of): the file is hashed and, when it
    // differs, both versions are held (true: the queue's completion ends it); the same content
    // settles with nothing sent (false). None: nothing unseen, the upload goes on.
    QCoro::Task<std::optional<bool>> meetServiceVersion(std::optional<Dispatched> dispatched, QString localPath,
                                                        std::optional<UnseenVersion> unseen, quint64 epoch,
                                                        std::stop_token stop);
    // Run by the upload right before it confirms (its commit point) when it names no base
    // commit: the service's state is heard again on a read asked after the call (after the
    // upload's last byte, or the check that found its content known; one read serves every
    // confirmation waiting for it) and an unseen version stops the confirmation with
    // UnseenVersionMet.
    struct UnseenVersionMet : std::exception
    {
        explicit UnseenVersionMet(std::optional<UnseenVersion> version) : unseen(std::move(version)) {}
        const char *what() const noexcept override { return "a version at the service not seen here"; }
        std::optional<UnseenVersion> unseen;
    };
    QCoro::Task<> judgeBeforeConfirm(QString localPath, quint64 epoch, std::stop_token stop);

    // SyncLaneDownloadsAndDeletes.cpp: per-file operations, downloads and deletes
    // After a deletion: forgets the record unless it changed since the dispatch, and journals it.
    // True when the record was forgotten.
    bool finishDeletion(const QString &operationType, const QString &localPath, const std::optional<QString> &fileUUID,
                        qint64 generation, const std::optional<SyncFileDesiredState> &desiredState,
                        const std::optional<qint64> &serverFileID, const QDateTime &attemptedAt);

    // SyncLanePrePass.cpp: the batch pre-pass
    // The drive path as a confirmation key and request field: "" for the folder root.
    QString drivePathKey(const QString &localPath) const;
    // Whether the record still waits for the same upload, unchanged since the pre-pass hashed it.
    bool isAsPrePassed(const SyncFile &record, qint64 generation) const;
    void markConfirmed(SyncFile &record, const QString &checksum, const FileSyncAPI::BatchDedupConfirmed &entry);

    // SyncLaneHeldDuplicates.cpp: the held duplicates
    // The request entry of one held duplicate, or none when its file is gone or not as hashed.
    std::optional<FileSyncAPI::BatchDedupConfirmEntry> dedupConfirmEntry(const SyncFile &record,
                                                                         const QString &checksum) const;

    // SyncLanePriority.cpp: priority scheduling
    void startPrioritySleep(Clock::Duration delay, const QByteArray &bookmark);
    // The body of m_prioritySleepTask: holds the lane weakly while it waits.
    static QCoro::Task<> prioritySleepThenSync(std::weak_ptr<SyncLane> weak, Clock::Duration delay,
                                               QByteArray bookmark, std::stop_token stop);

    // SyncLaneDeltaSync.cpp: delta sync
    // Applies the changes in order; false when the pass was stopped before the last one.
    QCoro::Task<bool> applyChanges(QList<FileSyncAPI::DeltaChange> changes, QString root, std::stop_token stop);
    QCoro::Task<> applyUpsert(FileSyncAPI::DeltaChange change, QString localPath, std::stop_token stop);
    QCoro::Task<> applyDeletion(FileSyncAPI::DeltaChange change, QString localPath, std::stop_token stop);
    // The change names a service file that a record at another path holds: the service moved
    // it. The record follows (its file moved along when that is safe); a copy left behind is
    // removed only while it holds the last synced content, else kept as a new local file.
    // Returns true when the change is fully handled here and the caller applies nothing more.
    QCoro::Task<bool> followRemoteMove(FileSyncAPI::DeltaChange change, QString localPath, std::stop_token stop);
    // The folder's live records holding the id (answered from the feed chunk's lookup when it has it).
    std::vector<std::shared_ptr<SyncFile>> fetchDeltaHolders(qint64 id);
    // What a page told of each id (its last entry, `lastOfId`), for a listing asked before it.
    void noteFedSinceListing(const QList<FileSyncAPI::DeltaChange> &changes, const QHash<qint64, qsizetype> &lastOfId);
    QCoro::Task<HashCheck> hashCheck(QString localPath, std::optional<QString> expected, std::stop_token stop);
    // Whether the service holds this content at this very place: the last listing shows it at
    // the file's drive path and name, and the service confirms it. False on any failure.
    QCoro::Task<bool> serviceHoldsHere(QString localPath, QString checksum, qint64 size, std::stop_token stop);
    // The last full sync's listing shows this content at the file's drive path and name.
    bool listedHere(const QString &localPath, const QString &checksum) const;
    // A file whose content no download may replace: kept and owed an upload (keepLocalEdit),
    // in the plan mirror kept as it is (it never sends anything back).
    void keepUnsyncedContent(const QString &localPath, const QString &why);
    // Runs one owed record through the queue's dispatch at once (marked in flight first).
    QCoro::Task<> dispatchNow(std::shared_ptr<SyncFile> record, std::stop_token stop);
    void holdDownload(const FileSyncAPI::DeltaChange &change, const QString &localPath, const QSet<QString> &guards);
    // The size the service gave for a file owed a download (none: forget it); its download
    // stops at the first byte beyond it.
    void noteListedSize(qint64 remoteId, std::optional<qint64> size);

    // SyncLanePlanFolders.cpp: plan folders
    // (parent directory relative to the root, id prefix) -> the directory chosen for it this run.
    using PrefixResolutions = QHash<QPair<QString, QString>, QString>;
    // One plan file: placed, and downloaded when nothing is at its path. True when it ran or
    // waits for the queue's retry.
    QCoro::Task<bool> hydratePlanFile(QString root, QString planDirectory, FileSyncAPI::PlanFileSummary file,
                                      PrefixResolutions &resolved, quint64 epoch, std::stop_token stop);
    // The directory (relative to the root) of a file with this drive path in the plan directory,
    // a leading track directory resolved by its id prefix; none when a name is refused.
    QCoro::Task<std::optional<QString>> matchTrackPrefix(QString root, QString planDirectory, QString drivePath,
                                                         PrefixResolutions &resolved, quint64 epoch,
                                                         std::stop_token stop);
    // parent/name (relative to the root) after making sure a directory is there: a directory of
    // the parent whose name begins with idPrefix and under which this folder tracks files is
    // moved to that name; else it is made. None when SafeJoin refuses the name.
    QCoro::Task<std::optional<QString>> detectIdPrefixRenames(QString root, QString parent, QString name,
                                                              QString idPrefix, PrefixResolutions &resolved,
                                                              quint64 epoch, std::stop_token stop);
    // Moves the folder's tracked paths from under oldPrefix to under newPrefix (both end in "/"),
    // with one range query. Where a record already holds a new path, the one whose file is there
    // (`onDisk`: the new paths found holding something) stays and the other goes.
    void rewriteTrackedPaths(const QString &oldPrefix, const QString &newPrefix, const QSet<QString> &onDisk);

    // SyncLaneIntake.cpp: watcher intake
    // Applies the batch's moves (files by inode, then folders) and returns the paths they
    // accounted for.
    QSet<QString> detectLocalRenames(const IntakeBatch &batch, const QString &root, const FolderScope &scope);
    // Chooses what the follow-up call reads: the synced files to hash and the vanished
    // folders to test; returns the files.
    QList<QPair<QString, FileStamp>> planFollowUp(IntakeBatch &batch, const QString &root, const FolderScope &scope);
    void applyIntake(const IntakeBatch &batch, const QString &root, const FolderScope &scope);
    // The record steps without a save: a batch saves once.
    void recordLocalChange(const QString &path, const std::optional<FileStamp> &stamp);
    void recordLocalDeletion(const QString &path, const QString &root, const FolderScope &scope);
    // A tracked file moved to newPath (proven gone from its old path): onto another tracked
    // file that one changed and this one gone; while its transfer runs, gone here and new
    // there (the transfer writes to the old path's record); otherwise the record follows.
    void followMove(const std::shared_ptr<SyncFile> &record, const QString &newPath,
                    const std::optional<FileStamp> &newStamp, bool targetTracked, const QString &root,
                    const FolderScope &scope);
    void moveRecord(const std::shared_ptr<SyncFile> &record, const QString &newPath,
                    const std::optional<FileStamp> &newStamp);

    // Data: what the lane was built with
    const std::shared_ptr<FileSyncAPI> m_apiClient;
    const std::shared_ptr<BookmarkManager> m_bookmarkManager;
    const std::shared_ptr<RulesEngine> m_rulesEngine;
    const std::shared_ptr<DAWRunningStateProvider> m_dawRunningStateProvider;
    const std::shared_ptr<ConflictResolver> m_conflictResolver;
    const std::shared_ptr<ModelContext> m_modelContext;
    KeychainVault *const m_vault;
    Clock &m_clock;

    // Data: the watcher and the lane's tasks
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
    quint64 m_epoch = 0;
    // Between start() and stop().
    bool m_started = false;

    // Data: the passes, the full sync's listing and the pre-pass
    int m_deltaPassesRun = 0;
    int m_deltaPassesActive = 0;
    bool m_deltaLoopEnabled = true;
    int m_consecutiveDeltaFailures = 0;
    // Why the latest delta pass could not read the feed, for a manual pass to report.
    std::optional<QString> m_deltaPassFailure;
    // What a failed feed request shows until the feed answers again.
    std::optional<QString> m_feedFailureShown;
    bool m_isProcessingQueue = false;
    bool m_queueRerunRequested = false;
    std::optional<ListedFiles> m_listed;
    // When the full sync asked for the listing it reconciles (the lane's clock).
    std::optional<QDateTime> m_listingAskedAt;
    std::shared_ptr<ChunkFeed> m_chunkFeed;
    qsizetype m_fullSyncChunkSize = 1000;
    bool m_waitingForTurn = false;
    QHash<QString, QList<QPair<QString, qint64>>> m_heldDuplicates;
    // The m_heldDuplicates that m_heldPaths was built from, shared with it until it changes.
    QHash<QString, QList<QPair<QString, qint64>>> m_heldPathsSource;
    QSet<QString> m_heldPaths;
    QSet<QString> m_activeRepresentatives;
    QHash<QString, QString> m_prePassChecksums;
    // The checksums a full sync's steps took (reconciliation, the pre-pass, the uploads): each
    // file is read once per pass while its stamp holds. Emptied when a full sync begins and ends.
    std::shared_ptr<ChecksumCache> m_checksums = std::make_shared<ChecksumCache>();
    // The stamp of every file the current pass's pre-pass hashed, by local path.
    QHash<QString, FileStamp> m_prePassStamps;

    // Data: the full sync's retries and the scheduled passes
    TaskHandle m_fullSyncRetryTask;
    TaskHandle m_queueRetryTask;
    TaskHandle m_freedMemoryTask;
    // Service entries already logged as refused or outside the folder's scope, by id: each is
    // logged once while the lane lives.
    QHash<qint64, bool> m_refusedEntriesLogged;
    // While a long feed is applied: its current chunk's records by path (fetchDeltaRecord).
    const QHash<QString, std::shared_ptr<SyncFile>> *m_deltaRecords = nullptr;
    std::function<void()> m_returnFreedMemory;
    int m_failedFullSyncs = 0;
    quint64 m_fullSyncGeneration = 0;

    // Data: the work queue and its failures
    OutstandingTally m_tally;
    bool m_countingSaves = false;

    // Data: the group commit
    struct CommitGroup
    {
        std::vector<GroupOutcome> outcomes;                       // one entry per record
        std::vector<std::shared_ptr<OperationResolution>> rows; // their journal rows
        qsizetype marks = 0;                                      // dispatch marks
        std::optional<Clock::Duration> openedAt;
        // The folder's head commit before the group's first upload moved it.
        std::optional<std::optional<QString>> headBefore;
    };
    CommitGroup m_group;
    TaskHandle m_groupTimer;
    // Records whose operation runs (the queue's and dispatchNow's), with how many runs each
    // and what the latest was dispatched to do.
    struct Running
    {
        int runs = 0;
        SyncFileDesiredState owed = SyncFileDesiredState::syncedLocal;
        qint64 retries = 0; // the record's failed attempts in a row at the latest dispatch
    };
    QHash<const SyncFile *, Running> m_running;
    // Saves of the context the store refused, counted while the lane lives.
    quint64 m_failedSaves = 0;

    // The records whose failure is shown, by row id: what the last error says of it, when it
    // failed (a sequence) and its entry in the error list, if it has one.
    struct FailureNote
    {
        QString shown;
        quint64 sequence = 0;
        std::optional<QUuid> entry;
    };
    QHash<qint64, FailureNote> m_failures;
    // The StoreSteps whose failure this lane has logged (one bit each).
    quint8 m_tracedStoreSteps = 0;
    quint64 m_failureSequence = 0;

    // Data: priority scheduling
    bool m_priorityHoldsPasses = false;
    int m_failedPriorityStarts = 0;
    // What a failed priority start shows until a start goes through.
    std::optional<QString> m_priorityFailureShown;

    // Data: delta sync
    // Where the page being applied leaves each id it names (none: deleted).
    const QHash<qint64, std::optional<QString>> *m_pagePlaces = nullptr;
    // The first version each id's live entries of that page name (an empty text for one that
    // names no content), and whether they name another: a version saved and replaced within
    // the page is no less another device's.
    struct PageVersions
    {
        QString first;
        bool several = false;
    };
    const QHash<qint64, PageVersions> *m_pageVersions = nullptr;
    const QHash<qint64, std::vector<std::shared_ptr<SyncFile>>> *m_deltaHolders = nullptr;
    // Set while a page is applied when one of its changes waits for a later pass (its record
    // was in flight); such a page stores no cursor.
    bool m_pageDeferred = false;
    // Set while a first catch-up (holding the large-reconciliation turn) applies its page.
    bool m_downloadsLeftToQueue = false;
    QHash<qint64, qint64> m_listedSizes;
    AsyncMutex m_deltaPassMutex;
    // Queue passes begun; a read of the feed stands for the service's state only within the
    // pass it was made in.
    quint64 m_queuePasses = 0;
    // What the lane's reads of the feed told of the service since the folder's stored cursor:
    // the one account a delete, an upload, a pointer and a listed settle ask. Each read asks
    // only what came after the last reply it holds (`cursor`) and folds it in, every fact
    // stamped with the read that told it. A fact is let go only once the stored cursor has
    // reached the reply that told it (the records hold it, or something newer): the feed's
    // own pass reads from the stored cursor, which may lie behind the reads' replies, and a
    // page asked later may still end before them (a catch-up or a burst spans several pages).
    // The latest read stands for what the service holds now only within the queue pass it was
    // made in (and for a while, or only when asked after a given point).
    struct Heard
    {
        struct Told
        {
            bool live = false;
            std::optional<QString> checksum; // of a live file; none: not named
            quint64 asked = 0;               // the read that told it (a point of m_learnings)
        };
        quint64 pass = 0;
        QDateTime at;
        // Where the latest read stands among the lane's learnings (m_learnings).
        quint64 sequence = 0;
        QHash<qint64, Told> versions;
        // The live file at each place the feed named ("<drive path>/<name>"), and back.
        QHash<QString, qint64> livePlaces;
        QHash<qint64, QString> placeOf;
        // Where the next read goes on from: the cursor of the last reply folded in (none: the
        // folder's stored cursor).
        std::optional<QString> cursor;
        // The cursors of the replies folded in since the account last stood at the stored
        // cursor, in the feed's order, each with the read that brought it.
        std::deque<std::pair<QString, quint64>> replies;
        // Why the latest read failed: nothing it would have told is known.
        std::exception_ptr failure;

        void fold(const QList<FileSyncAPI::DeltaChange> &changes, quint64 asked);
        // Lets go of what is known of the id, and of its place.
        void forget(qint64 id);
        // What a fact says of its id, as a page's entry would: "-" gone, "?" a version whose
        // content was not named, else its checksum.
        static QString wordOf(const Told &told);
        static QString wordOf(const FileSyncAPI::DeltaChange &change);
    };
    std::optional<Heard> m_heard;
    // Raised whenever the account is let go for a refused cursor: a read asked before adds
    // nothing when it lands after.
    quint64 m_heardResets = 0;
    // Counts the requests that teach what the service holds, as they are asked; for each id
    // learned from a request asked after a read that stands or is on its way, that count.
    quint64 m_learnings = 0;
    struct Learned
    {
        // From an upload's answer: newer than any read asked before it.
        quint64 asked = 0;
        // From a feed page, with what it named of the id: newer only than a read whose word of
        // the id it named (else the page ended before that read's reply).
        quint64 paged = 0;
        QStringList pageWords;
        quint64 latest() const { return std::max(asked, paged); }
    };
    QHash<qint64, Learned> m_learnedAt;
    // The stamps some read on its way is older than, by stamp: as the reads land, these are
    // looked at from the oldest on. A stamp past every read (no later read can be older) stays
    // only while its id's fact is older, and is looked at again where that fact changes.
    std::set<std::pair<quint64, qint64>> m_learnedByStamp;
    // The page being applied, and what it names of each id (built when first asked).
    const QList<FileSyncAPI::DeltaChange> *m_pageChanges = nullptr;
    std::optional<QHash<qint64, QStringList>> m_pageWords;
    // The counts of the reads on their way, and those waiting for one of them to land.
    std::set<quint64> m_readsOnTheirWay;
    WaitQueue m_readLanded;
    // The count of the feed page being applied, asked before it was fetched.
    quint64 m_pageAsked = 0;
    // Ids whose newest version the service told of without naming its content, while a
    // record holds local work over them (an edit or a delete owed, or a transfer running):
    // that work meets the version as unseen. Let go wherever the record learns the service's
    // content (a change or a listing that names it, a transfer settled, the conflict held),
    // where the record is forgotten, and at stop; a page that told it over a transfer stores
    // no cursor, so a restart reads it again.
    QSet<qint64> m_unnamedVersions;
    // Deletes of the queue finding out, off the main thread, whether their file is gone here.
    int m_deletesProving = 0;
    WaitQueue m_proofsEnded;
    std::function<void(const QString &)> m_deletionProofHook;
    // Ids the feed told deleted while their download ran.
    QSet<qint64> m_deletesAfterDownload;
    // What the feed told of a service file since a full sync first asked for a listing.
    struct FedSinceListing
    {
        bool deleted = false; // the feed's last word was its delete
        // Of a deleted file, where known: where it lived and the content it last held, so a
        // copy here that no record holds is known for the deleted version it is.
        std::optional<QString> drivePath;
        QString filename;
        std::optional<QString> checksum;
    };
    // Ids of service files the feed told of since a full sync first asked for its listing: a
    // listing is older than what the feed said of them. Engaged from that first ask through
    // every failed attempt (a listing cut, refused or timed out, and the full syncs that try
    // again) until a listing is reconciled: what was told while one failed is not told again.
    std::optional<QHash<qint64, FedSinceListing>> m_fedSinceListing;
    // The newest time of the service read (never this device's clock): see stampSettled.
    std::optional<QDateTime> m_serviceTimeRead;
    // The whole feed's deletes with their times, read once per run (see sendUnlistedMatches).
    std::optional<QHash<qint64, std::optional<QDateTime>>> m_wholeFeedDeletes;
    AsyncMutex m_releaseMutex;
    // Ends a pass run outside a task's own token (a manual delta pass, the priority pass) on
    // stop() and pause(), as the loop's token ends the loop's.
    std::stop_source m_manualPassStop;

    // Data: plan folders
    QHash<qint64, QString> m_planDirectories;

    // Edits the user chose over the service's version by acknowledging their conflict, until
    // their upload lands (shown then as replacing that version).
    QSet<QString> m_acknowledgedEdits;

    // Data: watcher intake
    AsyncMutex m_intakeMutex;
    // Ends a running intake on stop() and pause().
    std::stop_source m_intakeStop;
    int m_intakesInFlight = 0;
    // When the first batch of the burst now waiting in the debouncer arrived (real time, ns).
    std::optional<qint64> m_burstArrivedNs;
    // Files found to hold their record's last synced content (the lane's own downloads among
    // them), as they were then: reported again unchanged, they are not hashed again.
    QHash<QString, FileStamp> m_verifiedStamps;
    // Uploads left because their path held no regular file of the folder: the paths this pass
    // (not dispatched again in it), and the record generation each was last logged for.
    QSet<QString> m_notFilesThisPass;
    QHash<QString, qint64> m_notFilesLogged;
};

// Builds SyncLanes for the engine.
LaneFactory makeSyncLaneFactory();

} // namespace quillmere
