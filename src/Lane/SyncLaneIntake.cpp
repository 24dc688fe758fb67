// The watcher intake: what the folder's file watcher reports, turned into records. A batch is
// read off the main thread, every path judged as a full sync judges it (walked from the root
// without following a link, on the root's file system only); moves are matched by inode and
// by folder; every other path the folder syncs is recorded as changed, or as deleted once its
// absence is proven; the records are written in one save and a queue pass is asked for.

#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"

#include "Accounts/KeychainVault.h"
#include "ActivityLog/SyncLogger.h"
#include "FileServices/Debouncer.h"
#include "FileServices/FileChecksum.h"
#include "FileServices/FileScan.h"
#include "Model/LaneQueries.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Background.h"
#include "Platform/Async/CancelledError.h"

#include <QDateTime>
#include <QFile>
#include <QScopeGuard>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>

namespace quillmere {

struct SyncLane::IntakeBatch
{
    enum class Found {
        absent,    // proven: nothing there, every existing folder on the way a real one
        file,      // a regular file on the root's file system
        directory, // a real folder on the root's file system
        other,     // a link, a FIFO, a device, or something on another file system
        unknown,   // cannot tell (an error, a link or a file on the way)
    };
    struct Probe
    {
        Found found = Found::unknown;
        FileStamp stamp; // of a file
        std::optional<qint64> bornNs; // of a file, where the file system keeps birth times
    };
    // A vanished path with tracked files below it that were on disk.
    struct FolderCheck
    {
        QString vanished;
        QStringList children;
    };

    // Files born from here on (real time, ns) may have been made within the batch: their
    // inode may be one a deleted file just gave back.
    qint64 startedNs = 0;
    QHash<QString, Probe> probes; // every path of the batch inside the root

    // The follow-up call's questions and answers.
    QList<FolderCheck> folderChecks;
    QStringList folderCandidates;           // existing folders of the batch that may hold synced files
    QHash<QString, QString> checksums;      // path -> content as stamped (empty: unreadable or changed)
    QHash<QString, QString> folderMoves;    // vanished folder -> its new place
    QHash<QString, LocalPresence> presence; // files below a vanished folder that went nowhere
};

namespace {

using lane::logLine;
using Found = SyncLane::IntakeBatch::Found;

// A watcher batch gathers changes for up to 0.5 s before it is delivered: the changes of a
// burst may have begun that long before its first delivery.
constexpr qint64 burstLeadNs = 600'000'000;

// The wall clock, as the file system stamps birth times (the lane's clock may be a test's).
qint64 realTimeNs()
{
    return QDateTime::currentMSecsSinceEpoch() * 1'000'000;
}

QString lastComponent(const QString &path)
{
    return path.section(u'/', -1);
}

// Blocking. What is at each path, judged without following anything: every folder between
// the root and the path must be a real folder on the root's file system, as for
// localPresence, or nothing can be told. Folders on the way are looked at once per batch.
void probePaths(const QString &root, const QStringList &paths, SyncLane::IntakeBatch &batch)
{
    struct stat rootStatus{};
    // The root itself may be reached through a link the user chose.
    if (::stat(QFile::encodeName(root).constData(), &rootStatus) != 0 || !S_ISDIR(rootStatus.st_mode))
        return;
    const dev_t device = rootStatus.st_dev;
    enum class Folder { real, absent, blocked };
    QHash<QString, Folder> folders;
    const QString prefix = root + u'/';

    for (const QString &path : paths) {
        SyncLane::IntakeBatch::Probe probe;
        if (path == root) {
            probe.found = Found::directory;
            batch.probes.insert(path, probe);
            continue;
        }
        const QStringList parts = path.mid(prefix.size()).split(u'/');
        const bool clean = std::none_of(parts.cbegin(), parts.cend(), [](const QString &part) {
            return part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..");
        });
        Folder way = clean ? Folder::real : Folder::blocked;
        QString current = root;
        for (qsizetype i = 0; way == Folder::real && i + 1 < parts.size(); ++i) {
            current += u'/' + parts[i];
            auto known = folders.constFind(current);
            if (known == folders.cend()) {
                struct stat status{};
                Folder state = Folder::real;
                if (::lstat(QFile::encodeName(current).constData(), &status) != 0)
                    state = errno == ENOENT ? Folder::absent : Folder::blocked;
                else if (!S_ISDIR(status.st_mode) || status.st_dev != device)
                    state = Folder::blocked;
                known = folders.insert(current, state);
            }
            way = *known;
        }
        if (way != Folder::real) {
            probe.found = way == Folder::absent ? Found::absent : Found::unknown;
            batch.probes.insert(path, probe);
            continue;
        }

        struct statx status{};
        if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_SYMLINK_NOFOLLOW,
                    STATX_BASIC_STATS | STATX_BTIME, &status)
            != 0) {
            probe.found = errno == ENOENT ? Found::absent : Found::unknown;
            batch.probes.insert(path, probe);
            continue;
        }
        if (makedev(status.stx_dev_major, status.stx_dev_minor) != device) {
            probe.found = Found::other;
        } else if (S_ISREG(status.stx_mode)) {
            probe.found = Found::file;
            probe.stamp = SyncLane::FileStamp{qint64(status.stx_size),
                                              qint64(status.stx_mtime.tv_sec) * 1'000'000'000 + status.stx_mtime.tv_nsec,
                                              qint64(status.stx_ino), qint64(device)};
            if (status.stx_mask & STATX_BTIME)
                probe.bornNs = qint64(status.stx_btime.tv_sec) * 1'000'000'000 + status.stx_btime.tv_nsec;
        } else if (S_ISDIR(status.stx_mode)) {
            probe.found = Found::directory;
        } else {
            probe.found = Found::other;
        }
        batch.probes.insert(path, probe);
    }
}

// Blocking. The file's content, when it is still the file that was stamped before and after
// the read; empty otherwise. Never opens anything but a regular file.
QString checksumIfUnchanged(const QString &path, const SyncLane::FileStamp &stamp, const std::stop_token &stop)
{
    if (SyncLane::fileStamp(path) != stamp)
        return {};
    QString checksum;
    try {
        checksum = computeFileChecksumSync(path, stop);
    } catch (const FileChecksumError &) {
        return {};
    }
    return SyncLane::fileStamp(path) == stamp ? checksum : QString();
}

// Blocking: the follow-up call. Throws CancelledError once stopped.
void followUp(const QString &root, SyncLane::IntakeBatch &batch,
              const QList<QPair<QString, SyncLane::FileStamp>> &toHash, const std::stop_token &stop)
{
    for (const auto &[path, stamp] : toHash) {
        throwIfStopped(stop);
        batch.checksums.insert(path, checksumIfUnchanged(path, stamp, stop));
    }
    for (const auto &check : std::as_const(batch.folderChecks)) {
        throwIfStopped(stop);
        const auto target = std::find_if(batch.folderCandidates.cbegin(), batch.folderCandidates.cend(),
                                         [&check](const QString &candidate) {
                                             return SyncLane::allRenamedPathsExist(check.vanished, candidate,
                                                                                   check.children);
                                         });
        if (target != batch.folderCandidates.cend()) {
            batch.folderMoves.insert(check.vanished, *target);
            continue;
        }
        for (const QString &child : check.children)
            batch.presence.insert(child, localPresence(root, child));
    }
}

// The record's file was on this disk: not owed or held for download, not owed a delete at the
// service (whose file left before).
bool wasOnDisk(const SyncFile &record)
{
    switch (record.desiredState().value_or(SyncFileDesiredState::syncedLocal)) {
    case SyncFileDesiredState::downloadPending:
    case SyncFileDesiredState::downloadHeld:
    case SyncFileDesiredState::deletedRemote:
        return false;
    default:
        return true;
    }
}

// How long after a transfer a report of its file may still be the lane's own writing (the
// watcher's window, the debounce and a busy main thread between).
constexpr qint64 ownWriteWindowMs = 120'000;

// Settled with the service: the file should hold the record's last synced content. A conflict
// the service reported over an upload is settled too (what was sent is on record): a report of
// that same content is no edit, and sending it again would end the listing nobody reviewed.
bool isSyncedCopy(const SyncFile &record)
{
    return (record.syncStatus() == SyncFileStatus::synced || record.syncStatus() == SyncFileStatus::conflict)
           && record.desiredState() == SyncFileDesiredState::syncedLocal && record.localChecksum()
           && !record.localChecksum()->isEmpty();
}

// Synced just now, by a download, say: the report may be of the lane's own writing, and the
// file is hashed before it counts as changed. Older files are not hashed here: the pass's
// pre-pass does, and the service answers for content it already has.
bool isFreshCopy(const SyncFile &record, const QDateTime &now)
{
    return isSyncedCopy(record) && record.lastSyncedAt() && record.lastSyncedAt()->msecsTo(now) < ownWriteWindowMs;
}

// A download of the record's file runs: whatever the lane writes there is the service's.
bool isBeingDownloaded(const SyncFile &record)
{
    return record.syncStatus() == SyncFileStatus::syncing
           && record.desiredState() == SyncFileDesiredState::downloadPending;
}

// Whether the folder syncs anything below this folder: a flat folder syncs none of its
// sub-folders, a tree none below a hidden one.
bool mayHoldSyncedFiles(const FolderScope &scope, const QString &root, const QString &folder)
{
    return !scope.isFlat() && scope.includes(root, folder + QStringLiteral("/f"));
}

} // namespace

bool SyncLane::isMoveOrigin(const SyncFile &record)
{
    return record.desiredState() == SyncFileDesiredState::deletedRemote
           && record.syncStatus() == SyncFileStatus::synced;
}

QCoro::Task<> SyncLane::processDebouncedPaths(QSet<QString> paths)
{
    const auto self = shared_from_this();
    // Taken before the first wait: the next burst may begin while this one waits its turn.
    const qint64 arrivedNs = std::exchange(m_burstArrivedNs, std::nullopt).value_or(realTimeNs());
    ++m_intakesInFlight;
    const auto done = qScopeGuard([this] { --m_intakesInFlight; });
    const quint64 epoch = m_epoch;
    const std::stop_token stop = m_intakeStop.get_token();
    const auto folder = syncFolder();
    const std::optional<QString> folderPath = folder->folderPath();
    // The folder may also have moved meanwhile: the activation then follows it and rescans.
    const auto current = [&] {
        return isCurrent(epoch, stop) && !isPaused() && !folder->isDeleted() && folder->folderPath() == folderPath;
    };

    auto locking = m_intakeMutex.lock();
    const AsyncMutex::Lock lock = co_await std::move(locking);
    if (!current() || !folderPath || !m_vault)
        co_return;
    // Without its bookmark the folder is not ours to read.
    auto reading = m_vault->entryAsync(KeychainVault::folderBookmarkKey(laneID()));
    const KeychainVault::Entry bookmark = co_await std::move(reading);
    if (!current() || !bookmark.value)
        co_return;

    const QString root = *folderPath;
    logLine(SyncLogger::Event::syncStarted,
            QStringLiteral("FileWatcher reported %1 paths for %2").arg(QString::number(paths.size()), folder->name()));
    QStringList inside;
    inside.reserve(paths.size());
    const QString prefix = root + u'/';
    for (const QString &path : std::as_const(paths))
        if (path == root || path.startsWith(prefix))
            inside.append(path);
    paths.clear();
    std::sort(inside.begin(), inside.end());

    auto probing = [root, inside, startedNs = arrivedNs - burstLeadNs] {
        IntakeBatch batch;
        batch.startedNs = startedNs;
        probePaths(root, inside, batch);
        return batch;
    };
    IntakeBatch batch = co_await runInBackground(std::move(probing));
    if (!current())
        co_return;

    const FolderScope scope = folderScope();
    const auto toHash = planFollowUp(batch, root, scope);
    if (!toHash.isEmpty() || !batch.folderChecks.isEmpty()) {
        auto following = [root, batch, toHash, stop] {
            IntakeBatch answered = batch;
            followUp(root, answered, toHash, stop);
            return answered;
        };
        try {
            batch = co_await runInBackground(std::move(following));
        } catch (...) {
            co_return; // stopped
        }
        if (!current())
            co_return;
    }
    // Records are read afresh from here on: the waits above may have changed any of them.
    applyIntake(batch, root, scope);
    scheduleAfterLocalChanges(*bookmark.value);
}

QList<QPair<QString, SyncLane::FileStamp>> SyncLane::planFollowUp(IntakeBatch &batch, const QString &root,
                                                                  const FolderScope &scope)
{
    QList<QPair<QString, FileStamp>> toHash;
    QStringList paths = batch.probes.keys();
    std::sort(paths.begin(), paths.end());
    for (const QString &path : std::as_const(paths)) {
        const IntakeBatch::Probe &probe = batch.probes[path];
        switch (probe.found) {
        case Found::file: {
            // A file that may hold its last synced content (the lane's own download, say) is
            // hashed before it counts as a change.
            const auto record = scope.includes(root, path) ? fetchRecord(path) : nullptr;
            if (!record || !(isFreshCopy(*record, m_clock.currentDateTime()) || isBeingDownloaded(*record)))
                break;
            if (const auto known = m_verifiedStamps.constFind(path);
                known == m_verifiedStamps.cend() || *known != probe.stamp)
                toHash.append({path, probe.stamp});
            break;
        }
        case Found::directory:
            if (path != root && mayHoldSyncedFiles(scope, root, path))
                batch.folderCandidates.append(path);
            break;
        case Found::absent: {
            if (fetchRecord(path))
                break; // a file
            QStringList children;
            for (const auto &record : fetchRecordsUnderDirectory(*m_modelContext, laneID(), path))
                if (wasOnDisk(*record))
                    children.append(record->localPath());
            if (!children.isEmpty())
                batch.folderChecks.append({path, children});
            break;
        }
        case Found::other:
        case Found::unknown:
            break;
        }
    }
    return toHash;
}

void SyncLane::applyIntake(const IntakeBatch &batch, const QString &root, const FolderScope &scope)
{
    const QSet<QString> handled = detectLocalRenames(batch, root, scope);
    QStringList paths = batch.probes.keys();
    std::sort(paths.begin(), paths.end());
    bool rootReported = false;
    for (const QString &path : std::as_const(paths)) {
        if (handled.contains(path))
            continue;
        const IntakeBatch::Probe &probe = batch.probes[path];
        if (path == root)
            rootReported = true;
        switch (probe.found) {
        case Found::directory:
            logLine(SyncLogger::Event::syncStarted, QStringLiteral("  skip dir: ") + lastComponent(path));
            break;
        case Found::absent:
            recordLocalDeletion(path, root, scope);
            break;
        case Found::file: {
            if (!scope.includes(root, path))
                break;
            if (const auto record = fetchRecord(path); record && isBeingDownloaded(*record)) {
                // The lane's own download (its rename into place), or the version it replaces
                // still there: no change of the user's. Other content is one, and the
                // transfer in flight learns of it through the new generation.
                if (const auto known = m_verifiedStamps.constFind(path);
                    known != m_verifiedStamps.cend() && *known == probe.stamp)
                    break;
                const auto checksum = batch.checksums.constFind(path);
                if (checksum != batch.checksums.cend() && !checksum->isEmpty()
                    && (checksum->compare(record->remoteChecksum().value_or(QString()), Qt::CaseInsensitive) == 0
                        || lastSyncedContent(*record) == checksum->toLower()))
                    break;
            }
            if (const auto record = fetchRecord(path); record && isSyncedCopy(*record)) {
                const auto known = m_verifiedStamps.constFind(path);
                bool unchanged = known != m_verifiedStamps.cend() && *known == probe.stamp;
                if (!unchanged) {
                    const auto checksum = batch.checksums.constFind(path);
                    unchanged = checksum != batch.checksums.cend() && !checksum->isEmpty()
                                && checksum->compare(*record->localChecksum(), Qt::CaseInsensitive) == 0;
                }
                if (unchanged) {
                    // Its last synced content, as the lane itself wrote it: nothing to send.
                    m_verifiedStamps.insert(path, probe.stamp);
                    if (record->inode() != probe.stamp.inode)
                        record->setInode(probe.stamp.inode);
                    break;
                }
            }
            m_verifiedStamps.remove(path);
            recordLocalChange(path, probe.stamp);
            break;
        }
        case Found::other:
        case Found::unknown:
            if (scope.includes(root, path))
                SyncLogger::shared().log(SyncLogger::Event::fileSkipped, SyncLogger::Direction::none,
                                         lastComponent(path),
                                         probe.found == Found::other
                                             ? QStringLiteral("Not synced: not a regular file of the folder's drive")
                                             : QStringLiteral("Not synced: cannot tell what is there"));
            break;
        }
    }
    saveQuietly();
    // The watcher reports the root itself when it lost events (its queue overflowed): only a
    // scan of the whole folder finds what they were. An activation still running scans anyway.
    if (rootReported && m_started && !m_syncTask.isRunning())
        scheduleFullSync(Clock::Duration::zero());
}

QSet<QString> SyncLane::detectLocalRenames(const IntakeBatch &batch, const QString &root, const FolderScope &scope)
{
    QSet<QString> handled;
    QStringList paths = batch.probes.keys();
    std::sort(paths.begin(), paths.end());
    QStringList vanished;
    QHash<qint64, QString> oldMap;
    QHash<qint64, QString> newMap;
    for (const QString &path : std::as_const(paths)) {
        const IntakeBatch::Probe &probe = batch.probes[path];
        if (probe.found == Found::absent) {
            vanished.append(path);
            if (const auto record = fetchRecord(path);
                record && record->inode() && wasOnDisk(*record) && scope.includes(root, path))
                oldMap.insert(*record->inode(), path);
        } else if (probe.found == Found::file && scope.includes(root, path)) {
            // A file made within the batch may have been given a deleted file's inode: that
            // is no move. Without birth times, every file counts as older.
            if (!probe.bornNs || *probe.bornNs < batch.startedNs)
                newMap.insert(probe.stamp.inode, path);
        }
    }

    for (const auto &pair : inodeRenamePairs(oldMap, newMap)) {
        const auto record = fetchRecord(pair.oldPath);
        if (!record)
            continue;
        const bool targetTracked = fetchRecord(pair.newPath) != nullptr;
        followMove(record, pair.newPath, batch.probes[pair.newPath].stamp, targetTracked, root, scope);
        handled.insert(pair.oldPath);
        handled.insert(pair.newPath);
    }

    for (const auto &check : batch.folderChecks) {
        if (handled.contains(check.vanished))
            continue;
        // Read again: the records may have changed while the folder was tested.
        const auto children = fetchRecordsUnderDirectory(*m_modelContext, laneID(), check.vanished);
        QStringList onDisk;
        for (const auto &record : children)
            if (wasOnDisk(*record))
                onDisk.append(record->localPath());
        if (onDisk != check.children)
            continue; // left to the next full sync
        const auto target = batch.folderMoves.constFind(check.vanished);
        if (target == batch.folderMoves.cend()) {
            // Gone as a whole (moved out of the folder, say): each file that is proven gone.
            for (const QString &child : check.children)
                if (batch.presence.value(child, LocalPresence::unknown) == LocalPresence::absent)
                    recordLocalDeletion(child, root, scope);
            continue;
        }
        // Every file of the folder moves in one go, with one query for what is tracked there.
        const QString &to = *target;
        QSet<QString> trackedThere;
        for (const auto &record : fetchRecordsUnderDirectory(*m_modelContext, laneID(), to))
            trackedThere.insert(record->localPath());
        for (const auto &record : children) {
            if (record->isDeleted() || record->desiredState() == SyncFileDesiredState::deletedRemote)
                continue; // owed a delete where the service has it: stays at the old place
            const QString oldPath = record->localPath();
            const QString newPath = to + oldPath.mid(check.vanished.size());
            followMove(record, newPath, std::nullopt, trackedThere.contains(newPath), root, scope);
            handled.insert(oldPath);
            handled.insert(newPath);
        }
        handled.insert(check.vanished);
        handled.insert(to);
    }
    return handled;
}

void SyncLane::followMove(const std::shared_ptr<SyncFile> &record, const QString &newPath,
                          const std::optional<FileStamp> &newStamp, bool targetTracked, const QString &root,
                          const FolderScope &scope)
{
    const QString oldPath = record->localPath();
    if (targetTracked) {
        // The record there names the service's file at that place: it keeps the place and
        // sends the new content; the moved file's own record counts as deleted.
        m_verifiedStamps.remove(newPath);
        recordLocalChange(newPath, newStamp);
        recordLocalDeletion(oldPath, root, scope);
        return;
    }
    if (record->syncStatus() == SyncFileStatus::syncing) {
        recordLocalDeletion(oldPath, root, scope);
        recordLocalChange(newPath, newStamp);
        return;
    }
    moveRecord(record, newPath, newStamp);
}

void SyncLane::moveRecord(const std::shared_ptr<SyncFile> &record, const QString &newPath,
                          const std::optional<FileStamp> &newStamp)
{
    const QString oldPath = record->localPath();
    const auto desired = record->desiredState();
    // A file owed or held for download was never here: it follows its folder and is fetched
    // there, still owed as it was.
    const bool owedDownload =
        desired == SyncFileDesiredState::downloadPending || desired == SyncFileDesiredState::downloadHeld;
    std::shared_ptr<SyncFile> origin;
    if (!owedDownload && record->remoteId()) {
        // The service keeps the file at the old place: a record of its own holds it there
        // until the upload at the new place is confirmed, then deletes it (releaseMoveOrigins).
        origin = std::make_shared<SyncFile>(oldPath, record->filename());
        origin->setFolderID(laneID());
        origin->setRemoteId(record->remoteId());
        origin->setRemoteChecksum(record->remoteChecksum());
        origin->setLocalChecksum(record->localChecksum());
        origin->setLfsOid(record->lfsOid());
        origin->setRemoteModifiedAt(record->remoteModifiedAt());
        origin->setLastSyncedAt(record->lastSyncedAt());
        origin->setFileSize(record->fileSize());
        origin->setFileUUID(record->fileUUID());
        origin->setBaseCommitSha(record->baseCommitSha());
        origin->setInode(record->inode());
        origin->setSyncDirection(SyncFileDirection::upload);
        origin->setDesiredState(SyncFileDesiredState::deletedRemote);
        origin->setSyncStatus(SyncFileStatus::synced);
        // The moved file is new to the service at its new place; its content (the checksum)
        // is what links it to the origin.
        forgetServiceFile(*record);
    }
    record->setLocalPath(newPath);
    record->setFilename(lastComponent(newPath));
    if (newStamp)
        record->setInode(newStamp->inode);
    m_verifiedStamps.remove(oldPath);
    m_verifiedStamps.remove(newPath);
    if (!owedDownload) {
        record->setSyncStatus(SyncFileStatus::pending);
        record->oweUpload();
        record->setLocalModifiedAt(m_clock.currentDateTime());
    }
    record->setFolderID(laneID());
    // After the move, so the old path is free for it.
    if (origin)
        m_modelContext->insert(std::move(origin));
}

bool SyncLane::applyLocalRename(const QString &oldPath, const QString &newPath, const std::optional<FileStamp> &newStamp)
{
    const auto record = fetchRecord(oldPath);
    const auto root = syncFolder()->folderPath();
    if (!record || !root)
        return false;
    followMove(record, newPath, newStamp, fetchRecord(newPath) != nullptr, *root, folderScope());
    saveQuietly();
    return true;
}

void SyncLane::trackLocalChange(const QString &path, const std::optional<FileStamp> &stamp)
{
    recordLocalChange(path, stamp);
    saveQuietly();
}

void SyncLane::trackLocalDeletion(const QString &path)
{
    const auto root = syncFolder()->folderPath();
    if (!root)
        return;
    recordLocalDeletion(path, *root, folderScope());
    saveQuietly();
}

void SyncLane::recordLocalChange(const QString &path, const std::optional<FileStamp> &stamp)
{
    // When the change was seen, on the lane's clock: the queue lets a file settle from then.
    // The file's own time could lie in the future (a copy from another machine) and would
    // keep it from ever being sent.
    const QDateTime modified = m_clock.currentDateTime();
    auto record = fetchRecord(path);
    if (!record) {
        record = std::make_shared<SyncFile>(path, lastComponent(path));
        record->setSyncStatus(SyncFileStatus::pending);
        record = m_modelContext->insert(std::move(record));
    } else if (record->syncStatus() == SyncFileStatus::syncing) {
        record->setGeneration(record->generation() + 1);
    } else if (record->syncStatus() == SyncFileStatus::error) {
        record->clearFailure();
    } else if (!record->nextRetryAt() || record->syncStatus() != SyncFileStatus::pending) {
        // A retry time holds only while the record waits on it; one left on a record settled
        // since would keep the new change from ever being taken.
        record->oweAgain();
    } else {
        record->setGeneration(record->generation() + 1);
    }
    record->setSyncDirection(SyncFileDirection::upload);
    record->setDesiredState(SyncFileDesiredState::uploadPending);
    record->setLocalModifiedAt(modified);
    record->setFolderID(laneID());
    if (stamp)
        record->setInode(stamp->inode);
}

void SyncLane::recordLocalDeletion(const QString &path, const QString &root, const FolderScope &scope)
{
    const auto record = fetchRecord(path);
    // A record the folder does not sync (its scope changed since) is never turned into a delete.
    if (!record || !scope.includes(root, path))
        return;
    switch (record->desiredState().value_or(SyncFileDesiredState::syncedLocal)) {
    case SyncFileDesiredState::downloadPending:
    case SyncFileDesiredState::downloadHeld:
        return; // never on this disk: nothing was deleted here
    case SyncFileDesiredState::deletedRemote:
    case SyncFileDesiredState::deletedLocal:
        return; // already on its way out
    default:
        break;
    }
    m_verifiedStamps.remove(path);
    if (record->syncStatus() == SyncFileStatus::syncing) {
        // The transfer in flight sees the new generation and leaves the record owed.
        record->setGeneration(record->generation() + 1);
    } else if (!record->remoteId()) {
        m_modelContext->remove(record); // never reached the service: nothing to delete there
        // It had met another file of the service at its place (both kept as a conflict): with
        // this one gone, that one comes down. Only a listing names its id.
        if (nonEmpty(record->remoteChecksum()))
            scheduleFullSync(Clock::Duration::zero());
        return;
    } else {
        record->setSyncStatus(SyncFileStatus::pending);
    }
    record->oweRemoteDelete();
}

bool SyncLane::releaseMoveOrigins(const std::optional<QDateTime> &settleFrom)
{
    std::vector<std::shared_ptr<SyncFile>> origins;
    std::vector<std::shared_ptr<SyncFile>> waiting;
    try {
        auto held = SyncFile::inFolder(laneID());
        held.equals(SyncFile::Field::syncStatus, SyncFileStatus::synced)
            .equals(SyncFile::Field::desiredState, SyncFileDesiredState::deletedRemote);
        origins = m_modelContext->fetch(held);
        if (origins.empty())
            return false;
        auto owed = SyncFile::inFolder(laneID());
        owed.equals(SyncFile::Field::desiredState, SyncFileDesiredState::uploadPending)
            .notNull(SyncFile::Field::localChecksum);
        waiting = m_modelContext->fetch(owed);
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the move origins", error);
        return false;
    }
    // A moved file still owed its upload carries the content it had when it moved.
    QSet<QString> unconfirmed;
    for (const auto &record : waiting)
        unconfirmed.insert(record->localChecksum()->toLower());
    bool released = false;
    for (const auto &origin : origins) {
        const auto content = origin->localChecksum() ? origin->localChecksum() : origin->remoteChecksum();
        if (content && unconfirmed.contains(content->toLower()))
            continue;
        origin->oweAgain();
        origin->setLocalModifiedAt(settleFrom);
        released = true;
    }
    return released;
}

void SyncLane::scheduleAfterLocalChanges(const QByteArray &bookmark)
{
    // The pass waits as the folder's priority says (none while a guard imposes `none`); the
    // settle window is shorter than any of those waits, and every change restarts it.
    schedulePrioritySync(resolvePriority(runningGuardDAWs()), bookmark);
}

} // namespace quillmere
