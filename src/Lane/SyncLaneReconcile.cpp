#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"
#include "Lane/PathDigests.h"
#include "Lane/RemotePlacement.h"

#include "ActivityLog/SyncLogger.h"
#include "Model/LaneQueries.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Background.h"
#include "Platform/Files/SafeJoin.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <algorithm>
#include <utility>

namespace quillmere {

namespace {

using lane::logLine;

bool isUnder(const QString &path, const QStringList &folders)
{
    for (const QString &folder : folders)
        if (path == folder || path.startsWith(folder.endsWith(u'/') ? folder : folder + u'/'))
            return true;
    return false;
}

// Whether the file was ever on this disk in the state the record describes: synced, or
// uploaded or downloaded once. A record that never was (its download failed or never ran)
// proves nothing about a deletion.
bool wasPresentLocally(const SyncFile &record)
{
    return record.syncStatus() == SyncFileStatus::synced
           || (record.localChecksum() && !record.localChecksum()->isEmpty()) || record.lastSyncedAt().has_value();
}

void oweUpload(SyncFile &record)
{
    record.oweUpload();
    record.setSyncStatus(SyncFileStatus::pending);
    record.setLocalModifiedAt(std::nullopt);
}

// A record the stale pass would delete at the service or forget, with what it was when judged.
struct StaleRecord
{
    QString path;
    qint64 generation = 0;
    std::optional<SyncFileDesiredState> desired;
    bool forget = false; // forget the record; otherwise owe a delete at the service
};

} // namespace

namespace lane {

RemotePlacement placeRemoteFiles(const QString &root, const QList<FileSyncAPI::RemoteFile> &remoteFiles,
                                 const QSet<qint64> &trackedIds, const QSet<QString> &localPaths,
                                 const QStringList &unreadable, const FolderScope &scope)
{
    const auto isLocal = [&localPaths](const QString &path) { return localPaths.contains(path); };
    return placeRemoteFilesBeside(root, remoteFiles, trackedIds, isLocal, unreadable, scope);
}

RemotePlacement placeRemoteFilesBeside(const QString &root, const QList<FileSyncAPI::RemoteFile> &remoteFiles,
                                       const QSet<qint64> &trackedIds,
                                       const std::function<bool(const QString &)> &isLocal,
                                       const QStringList &unreadable, const FolderScope &scope)
{
    RemotePlacement placement;
    QSet<QString> taken;
    SafeJoiner joiner(root);
    for (const auto &remote : remoteFiles) {
        if (trackedIds.contains(remote.id))
            continue;
        const QString directory = remote.drivePath.value_or(QString());
        const auto path = joiner.join(directory, remote.filename);
        if (!path) {
            placement.rejected.append({remote.id, directory.isEmpty() ? remote.filename : directory + u'/' + remote.filename});
            continue;
        }
        // A file the scan would never list would look deleted at the next full sync.
        if (const QString relative = entryPath(remote.drivePath, remote.filename); !scope.includes(relative)) {
            placement.outOfScope.append({remote.id, relative});
            continue;
        }
        // Two listings at one path (one "." and one root, say) make one record.
        if (isLocal(*path) || isUnder(*path, unreadable) || taken.contains(*path))
            continue;
        taken.insert(*path);
        QDir().mkpath(QFileInfo(*path).path());
        placement.downloads.append({remote.id, remote.filename, remote.fileChecksum, *path});
    }
    return placement;
}

} // namespace lane

QCoro::Task<> SyncLane::reconcile(QList<FileSyncAPI::RemoteFile> remoteFiles, LocalScan local,
                                  std::vector<std::shared_ptr<SyncFile>> trackedRecords, QString folderPath,
                                  std::stop_token stop, std::shared_ptr<ChunkFeed> feed,
                                  std::function<void()> firstChunkSaved)
{
    const quint64 epoch = m_epoch;
    const auto folder = syncFolder();
    const FolderPolicy policy = folder->policy();
    const QString name = folder->name();
    const QUuid folderID = laneID();
    const qsizetype chunkSize = m_fullSyncChunkSize;
    // The whole scan as digests: every decision below that asks "is it on disk" asks this.
    if (local.digests.size() != size_t(local.files.size())) {
        local.digests.clear();
        for (const QString &path : std::as_const(local.files))
            local.digests.push_back(PathDigests::digestOf(path));
    }
    PathDigests localPaths;
    for (const auto &digest : local.digests)
        localPaths.add(digest);
    localPaths.finish();
    QSet<qint64> remoteIds;
    // A listed size of 0 may only mean the listing left it out: not enforced.
    QHash<qint64, qint64> listedSizes;
    // Each id's entry of the listing (the last that names it): where the service keeps the
    // file (below the folder, as it names it) and its content are read from it when asked,
    // not copied for every file.
    QHash<qint64, qsizetype> listedEntries;
    for (qsizetype i = 0; i < remoteFiles.size(); ++i) {
        const auto &remote = remoteFiles[i];
        remoteIds.insert(remote.id);
        if (remote.fileSize > 0)
            listedSizes.insert(remote.id, remote.fileSize);
        listedEntries.insert(remote.id, i);
    }
    const auto listedPlace = [&](qint64 id) {
        const auto entry = listedEntries.constFind(id);
        return entry == listedEntries.cend()
                   ? QString()
                   : lane::entryPath(remoteFiles[*entry].drivePath, remoteFiles[*entry].filename);
    };
    const auto listedChecksum = [&](qint64 id) -> std::optional<QString> {
        const auto entry = listedEntries.constFind(id);
        if (entry == listedEntries.cend())
            return std::nullopt;
        const auto &checksum = remoteFiles[*entry].fileChecksum;
        if (!checksum || checksum->isEmpty())
            return std::nullopt;
        return checksum->toLower();
    };
    trackedRecords.clear(); // re-read after every wait below

    // The files the store does not know yet: recorded in chunks once every decision about
    // the tracked records is taken, since nothing below concerns them.
    QStringList newFiles;
    qsizetype candidateCount = 0;
    qsizetype matched = 0;
    qsizetype inProgress = 0;
    if (policy.sendsLocalChanges) {
        QStringList trackedFiles;
        {
            PathDigests trackedPaths;
            for (const auto &record : fetchFolderRecords())
                trackedPaths.add(record->localPath());
            trackedPaths.finish();
            if (trackedPaths.size() == 0) {
                newFiles = std::move(local.files);
            } else {
                for (qsizetype i = 0; i < local.files.size(); ++i)
                    (trackedPaths.contains(local.digests[size_t(i)]) ? trackedFiles : newFiles)
                        .append(std::move(local.files[i]));
            }
            local.files.clear();
            local.digests = {};
        }

        for (qsizetype start = 0; start < trackedFiles.size(); start += chunkSize) {
            QStringList paths;
            for (qsizetype i = start; i < std::min(start + chunkSize, trackedFiles.size()); ++i)
                paths.append(std::exchange(trackedFiles[i], QString()));
            QList<FileInfo> infos;
            try {
                auto hashing = computeChecksum(m_checksums, paths, stop);
                infos = co_await std::move(hashing);
            } catch (...) {
                co_return; // stopped
            }
            if (!isCurrent(epoch, stop))
                co_return;

            QHash<QString, std::shared_ptr<SyncFile>> byPath;
            for (auto &record : fetchRecordsAt(paths))
                byPath.insert(record->localPath(), std::move(record));
            QStringList settled;
            for (const auto &info : infos) {
                const auto found = byPath.constFind(info.path);
                if (found == byPath.cend()) {
                    // Gone from the store while the file was read: a new file after all.
                    ++candidateCount;
                    newFiles.append(info.path);
                    continue;
                }
                SyncFile &record = **found;
                if (record.syncStatus() == SyncFileStatus::syncing) {
                    ++inProgress;
                } else if (record.remoteId() && record.localChecksum() && *record.localChecksum() == info.checksum) {
                    ++matched;
                    settled.append(info.path);
                } else {
                    ++candidateCount;
                    oweUpload(record);
                }
            }
            // A file that matches its record is not read again in this pass.
            m_checksums->forget(settled);
            saveQuietly();
        }
        candidateCount += newFiles.size();
        SyncLogger::shared().log(SyncLogger::Event::deltaSync, SyncLogger::Direction::none, QString(),
                                 QStringLiteral("Phase 1 complete: %1 candidates, %2 already matched, %3 in-progress (%4)")
                                     .arg(QString::number(candidateCount), QString::number(matched),
                                          QString::number(inProgress), name));
    }

    // One service file, one record. A store that has two records holding one id (an old name
    // kept beside a rename the service made) keeps it on the record at the listed place; the
    // others let go of it: a copy on disk is removed while it holds its last synced content
    // (checked on the spot), else kept as a new file; a record with nothing on disk goes.
    // Records that failed for good are judged again against the listing.
    {
        const QString prefix = folderPath + u'/';
        QHash<qint64, std::vector<std::shared_ptr<SyncFile>>> holders;
        for (const auto &record : fetchFolderRecords())
            if (record->remoteId() && record->desiredState() != SyncFileDesiredState::deletedRemote)
                holders[*record->remoteId()].push_back(record);
        bool repaired = false;
        for (auto group = holders.begin(); group != holders.end(); ++group) {
            auto &records = group.value();
            if (records.size() < 2)
                continue;
            const QString listed = listedPlace(group.key());
            const auto keeper = std::find_if(records.begin(), records.end(), [&](const auto &record) {
                return record->localPath().startsWith(prefix) && record->localPath().mid(prefix.size()) == listed;
            });
            if (keeper != records.end())
                std::iter_swap(records.begin(), keeper); // else the first in store order keeps it
            for (size_t i = 1; i < records.size(); ++i) {
                const auto &other = records[i];
                if (other->syncStatus() == SyncFileStatus::syncing)
                    continue; // its transfer ends first; the next full sync decides
                forgetServiceFile(*other);
                repaired = true;
                if (!localPaths.contains(other->localPath())) {
                    m_modelContext->remove(other);
                    continue;
                }
                other->oweLocalDelete();
                other->clearFailure();
            }
        }
        if (repaired)
            logLine(SyncLogger::Event::syncStarted,
                    QStringLiteral("%1: a service file was held by more than one record; the others let go of it")
                        .arg(name));

        std::vector<std::shared_ptr<SyncFile>> failed;
        try {
            auto request = SyncFile::inFolder(folderID);
            request.equals(SyncFile::Field::syncStatus, SyncFileStatus::error);
            failed = m_modelContext->fetch(request);
        } catch (const std::exception &error) {
            traceStoreFailure(StoreStep::read, "reading the failed records", error);
        }
        for (const auto &record : failed) {
            const auto id = record->remoteId();
            if (!id || !localPaths.contains(record->localPath()))
                continue; // the stale records below, or a file the service never had
            record->clearFailure();
            if (!remoteIds.contains(*id)) {
                // Gone at the service: the local delete is owed again (it keeps an edit).
                record->oweLocalDelete();
            } else if (const auto listed = listedChecksum(*id); listed.value_or(QString()) != lastSyncedContent(*record)) {
                record->setRemoteChecksum(listed);
                record->oweDownload();
                noteListedSize(*id, listedSizes.contains(*id) ? std::optional<qint64>(listedSizes.value(*id))
                                                              : std::nullopt);
            } else if (record->desiredState() != SyncFileDesiredState::uploadPending) {
                // The service's version is the one here: nothing is owed.
                record->setSyncStatus(SyncFileStatus::synced);
                record->setDesiredState(SyncFileDesiredState::syncedLocal);
            }
            repaired = true;
        }
        if (repaired)
            saveQuietly();
    }

    // Stale records: tracked, but not on disk. Decided on the records as they are now, before
    // new download records (which are not on disk either) join them. Only a record the scan
    // could have listed is judged, and only a path proven empty counts as gone.
    const FolderScope scope = folderScope();
    QList<StaleRecord> stale;
    QStringList toOweDownload;
    QSet<qint64> trackedIds;
    for (const auto &record : fetchFolderRecords()) {
        if (record->remoteId())
            trackedIds.insert(*record->remoteId());
        const QString &path = record->localPath();
        if (localPaths.contains(path) || isUnder(path, local.unreadableFolders) || !scope.includes(folderPath, path))
            continue;
        // The service's file at a place the local file moved away from: deleted once the
        // move's upload is confirmed, not before (the queue pass releases it).
        if (isMoveOrigin(*record))
            continue;
        const StaleRecord judged{path, record->generation(), record->desiredState(), true};
        const bool listed = record->remoteId() && remoteIds.contains(*record->remoteId());
        if (!listed) {
            stale.append(judged);
            continue;
        }
        const auto desired = record->desiredState();
        if (desired == SyncFileDesiredState::downloadHeld)
            continue;
        if (desired == SyncFileDesiredState::downloadPending) {
            if (record->syncStatus() == SyncFileStatus::error)
                toOweDownload.append(path);
            continue;
        }
        if (!wasPresentLocally(*record))
            toOweDownload.append(path);
        else
            stale.append({path, judged.generation, desired, !policy.deletesAtService});
    }

    QList<LocalPresence> presence;
    if (!stale.isEmpty()) {
        QStringList paths;
        for (const auto &record : stale)
            paths.append(record.path);
        auto probe = [folderPath, paths] {
            QList<LocalPresence> found;
            for (const QString &path : paths)
                found.append(localPresence(folderPath, path));
            return found;
        };
        presence = co_await runInBackground(std::move(probe));
        if (!isCurrent(epoch, stop))
            co_return;
    }
    bool changed = false;
    int kept = 0;
    // Read afresh after the wait, all at once: one query per chunk of paths, not one per record.
    QStringList stalePaths;
    stalePaths.reserve(stale.size());
    for (const auto &entry : stale)
        stalePaths.append(entry.path);
    const auto staleRecords = fetchRecordsAtPaths(*m_modelContext, laneID(), stalePaths);
    for (qsizetype i = 0; i < stale.size(); ++i) {
        const auto record = staleRecords.value(stale[i].path);
        if (!record || record->generation() != stale[i].generation || record->desiredState() != stale[i].desired
            || record->syncStatus() == SyncFileStatus::syncing)
            continue; // changed while the paths were looked at: the next pass judges it again
        if (presence[i] != LocalPresence::absent) {
            ++kept;
            continue;
        }
        changed = true;
        if (stale[i].forget) {
            m_modelContext->remove(record);
            continue;
        }
        record->oweRemoteDelete();
        record->setSyncStatus(SyncFileStatus::pending);
    }
    if (kept > 0)
        logLine(SyncLogger::Event::syncStarted,
                QStringLiteral("Kept %1 records of %2 whose files the scan did not list but are not gone "
                               "(a link, another drive or an unreadable path on the way)")
                    .arg(QString::number(kept), name));
    const auto owingDownload = fetchRecordsAtPaths(*m_modelContext, laneID(), toOweDownload);
    for (const QString &path : toOweDownload) {
        if (const auto record = owingDownload.value(path); record && record->syncStatus() != SyncFileStatus::syncing) {
            record->oweDownload();
            record->clearFailure();
            if (const auto id = record->remoteId())
                noteListedSize(*id, listedSizes.contains(*id) ? std::optional<qint64>(listedSizes.value(*id))
                                                              : std::nullopt);
            changed = true;
        }
    }
    if (changed)
        saveQuietly();

    if (policy.appliesRemoteInFullSync) {
        auto isLocal = [digests = std::move(localPaths)](const QString &path) { return digests.contains(path); };
        auto place = [folderPath, remoteFiles = std::move(remoteFiles), trackedIds, isLocal = std::move(isLocal),
                      unreadable = local.unreadableFolders, scope] {
            return lane::placeRemoteFilesBeside(folderPath, remoteFiles, trackedIds, isLocal, unreadable, scope);
        };
        const auto placement = co_await runInBackground(std::move(place));
        if (!isCurrent(epoch, stop))
            co_return;
        // Each refused or out-of-scope entry is logged once while the lane runs.
        for (const auto &[id, rejected] : placement.rejected)
            if (!std::exchange(m_refusedEntriesLogged[id], true))
                logLine(SyncLogger::Event::syncFailed,
                        QStringLiteral("Skipped %1 from %2: not a usable path in the folder").arg(rejected, name));
        for (const auto &[id, relative] : placement.outOfScope)
            if (!std::exchange(m_refusedEntriesLogged[id], true))
                logLine(SyncLogger::Event::fileSkipped,
                        QStringLiteral("Not downloading %1 to %2: the folder does not sync files there")
                            .arg(relative, name));
        QStringList placed;
        placed.reserve(placement.downloads.size());
        for (const auto &download : placement.downloads)
            placed.append(download.path);
        // Tracked meanwhile: one query per chunk of paths, and the places this loop fills.
        const auto tracked = fetchRecordsAtPaths(*m_modelContext, laneID(), placed);
        QSet<QString> taken(tracked.keyBegin(), tracked.keyEnd());
        for (const auto &download : placement.downloads) {
            if (taken.contains(download.path))
                continue; // tracked meanwhile, or placed by an earlier entry
            taken.insert(download.path);
            auto record = std::make_shared<SyncFile>(download.path, download.filename);
            record->setRemoteId(download.id);
            record->setRemoteChecksum(download.checksum);
            noteListedSize(download.id, listedSizes.contains(download.id)
                                            ? std::optional<qint64>(listedSizes.value(download.id))
                                            : std::nullopt);
            record->setSyncDirection(SyncFileDirection::download);
            record->setDesiredState(SyncFileDesiredState::downloadPending);
            record->setSyncStatus(SyncFileStatus::pending);
            record->setFolderID(folderID);
            m_modelContext->insert(std::move(record));
        }
        saveQuietly();
    }
    remoteFiles.clear();
    listedEntries.clear();

    if (!policy.sendsLocalChanges)
        co_return;
    co_await recordNewFiles(std::move(newFiles), {candidateCount, matched, inProgress}, epoch, std::move(stop),
                            std::move(feed), std::move(firstChunkSaved));
}

QCoro::Task<> SyncLane::recordNewFiles(QStringList newFiles, UploadTally tally, quint64 epoch,
                                       std::stop_token stop, std::shared_ptr<ChunkFeed> feed,
                                       std::function<void()> firstChunkSaved)
{
    const QUuid folderID = laneID();
    const qsizetype chunkSize = m_fullSyncChunkSize;
    // A folder of one chunk is recorded whole and left to the queue pass's own pre-pass.
    const bool feeding = feed && newFiles.size() > chunkSize;
    if (feeding) {
        m_chunkFeed = feed;
        // The uploads owed before (tracked files changed) are settled first, as one group.
        co_await runBatchPrePass(stop);
        if (!isCurrent(epoch, stop))
            co_return;
    }
    qsizetype created = 0;
    for (qsizetype start = 0; start < newFiles.size();) {
        // The first chunk is a tenth of the others: the queue has work to send sooner.
        const qsizetype size = feeding && start == 0 ? std::max<qsizetype>(1, chunkSize / 10) : chunkSize;
        QStringList paths;
        for (qsizetype i = start; i < std::min(start + size, newFiles.size()); ++i)
            paths.append(std::exchange(newFiles[i], QString()));
        start += size;
        auto readInodes = [paths] {
            QHash<QString, qint64> found;
            for (const QString &path : paths) {
                struct stat status{};
                if (::stat(QFile::encodeName(path).constData(), &status) == 0)
                    found.insert(path, qint64(status.st_ino));
            }
            return found;
        };
        const QHash<QString, qint64> inodes = co_await runInBackground(std::move(readInodes));
        if (!isCurrent(epoch, stop))
            co_return;

        if (feeding)
            feed->reading = QSet<QString>(paths.cbegin(), paths.cend());
        qint64 owed = 0;
        {
            QHash<QString, std::shared_ptr<SyncFile>> existing;
            for (auto &record : fetchRecordsAt(paths))
                existing.insert(record->localPath(), std::move(record));
            for (const QString &path : std::as_const(paths)) {
                if (const auto found = existing.constFind(path); found != existing.cend()) {
                    // Recorded meanwhile (the watcher's word); a transfer that began owns it.
                    if ((*found)->syncStatus() != SyncFileStatus::syncing) {
                        oweUpload(**found);
                        ++owed;
                    }
                    continue;
                }
                auto record = std::make_shared<SyncFile>(path, path.mid(path.lastIndexOf(u'/') + 1));
                oweUpload(*record);
                record->setFolderID(folderID);
                const auto inode = inodes.constFind(path);
                record->setInode(inode == inodes.cend() ? std::nullopt : std::optional<qint64>(*inode));
                m_modelContext->insert(std::move(record));
                ++created;
                ++owed;
            }
            saveQuietly();
        }
        if (!feeding)
            continue;

        // Settled against the service before the queue sees them: the files it holds
        // already are linked in one batch, not sent one by one.
        QStringList pending;
        QHash<QString, qint64> pendingGenerations;
        for (const auto &record : fetchRecordsAt(paths)) {
            if (record->desiredState() != SyncFileDesiredState::uploadPending
                || record->syncStatus() != SyncFileStatus::pending || record->remoteId() || record->remoteChecksum())
                continue;
            pending.append(record->localPath());
            pendingGenerations.insert(record->localPath(), record->generation());
        }
        owed -= co_await prePassFiles(std::move(pending), std::move(pendingGenerations), stop, true);
        if (!isCurrent(epoch, stop))
            co_return;
        if (releaseMoveOrigins(std::nullopt))
            saveQuietly();
        feed->reading.clear();
        if (++feed->chunks == 1) {
            // The pass counts what the first chunk left owed itself.
            firstChunkSaved();
        } else {
            feed->owed += owed;
            feed->waiting.resumeAll();
        }
        if (!isCurrent(epoch, stop))
            co_return;
    }
    logLine(SyncLogger::Event::syncStarted, QStringLiteral("Upload diff: %1 to-upload, %2 already-synced, %3 "
                                                           "in-progress, %4 new")
                                                .arg(tally.candidates - created)
                                                .arg(tally.matched)
                                                .arg(tally.inProgress)
                                                .arg(created));
}

} // namespace quillmere
