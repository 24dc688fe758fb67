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
#include <cstring>
#include <unordered_set>
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

// An untracked listed entry the scan found a file at: the entry's id and checksum, and where
// the scan lists the file.
struct ListedOnDisk
{
    qint64 id = 0;
    std::optional<QString> checksum;
    qsizetype scanIndex = 0;
};

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

RemotePlacement placeRemoteFilesBeside(
    const QString &root, const QList<FileSyncAPI::RemoteFile> &remoteFiles, const QSet<qint64> &trackedIds,
    const std::function<bool(const QString &)> &isLocal, const QStringList &unreadable, const FolderScope &scope,
    FolderMaking making, const std::function<void(const FileSyncAPI::RemoteFile &, const QString &)> &foundOnDisk)
{
    RemotePlacement placement;
    // The places taken as digests: a listing of the whole folder keeps no path of its own here.
    struct DigestHash
    {
        size_t operator()(const PathDigests::Digest &digest) const
        {
            size_t value = 0;
            std::memcpy(&value, digest.data(), sizeof value);
            return value;
        }
    };
    std::unordered_set<PathDigests::Digest, DigestHash> taken;
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
        if (isUnder(*path, unreadable) || !taken.insert(PathDigests::digestOf(*path)).second)
            continue;
        if (isLocal(*path)) {
            if (foundOnDisk)
                foundOnDisk(remote, *path);
            else
                placement.onDisk.append({remote.id, remote.filename, remote.fileChecksum, *path});
            continue;
        }
        if (making == FolderMaking::forDownloads)
            QDir().mkpath(QFileInfo(*path).path());
        placement.downloads.append({remote.id, remote.filename, remote.fileChecksum, *path});
    }
    return placement;
}

} // namespace lane

// What one reconciliation carries from step to step: the listing, indexed by id, and the scan.
struct SyncLane::Reconciliation
{
    quint64 epoch = 0;
    std::stop_token stop;
    QString folderPath;
    FolderPolicy policy;
    FolderScope scope;
    QString name;
    // Copied into background work by reference count only: nothing writes it while a step reads.
    QList<FileSyncAPI::RemoteFile> remoteFiles;
    QSet<qint64> remoteIds;
    // A listed size of 0 may only mean the listing left it out: not enforced.
    QHash<qint64, qint64> listedSizes;
    // Each id's entry of the listing (the last that names it): where the service keeps the
    // file (below the folder, as it names it) and its content are read from it when asked,
    // not copied for every file.
    QHash<qint64, qsizetype> listedEntries;
    // When the listing was asked for: a record synced since knows better than the listing.
    std::optional<QDateTime> listedAt;
    // The whole scan as digests: every decision that asks "is it on disk" asks this.
    std::shared_ptr<const PathDigests> localPaths;
    QStringList localFiles;
    std::vector<PathDigests::Digest> localDigests;
    QStringList unreadableFolders;
    // The files adoptListedFiles recorded as synced with the checksum just taken: matched.
    PathDigests settledByAdoption;
    // Matched files whose record holds a service file the listing does not name.
    QStringList unlistedMatches;
    // The files the store does not know yet, recorded last, in chunks.
    QStringList newFiles;
    // The pass holds the large reconciliation turn.
    bool holdsTurn = false;
    UploadTally tally;

    QString listedPlace(qint64 id) const
    {
        const auto entry = listedEntries.constFind(id);
        return entry == listedEntries.cend()
                   ? QString()
                   : lane::entryPath(remoteFiles[*entry].drivePath, remoteFiles[*entry].filename);
    }
    std::optional<QString> listedChecksum(qint64 id) const
    {
        const auto entry = listedEntries.constFind(id);
        return entry == listedEntries.cend() ? std::nullopt : lane::lowerChecksum(remoteFiles[*entry].fileChecksum);
    }
    std::optional<qint64> listedSize(qint64 id) const
    {
        return listedSizes.contains(id) ? std::optional<qint64>(listedSizes.value(id)) : std::nullopt;
    }
    bool isCurrent(const SyncLane &lane) const { return lane.isCurrent(epoch, stop); }
};

QCoro::Task<> SyncLane::reconcile(QList<FileSyncAPI::RemoteFile> remoteFiles, LocalScan local,
                                  std::vector<std::shared_ptr<SyncFile>> trackedRecords, QString folderPath,
                                  std::stop_token stop, std::shared_ptr<ChunkFeed> feed,
                                  std::function<void()> firstChunkSaved, std::optional<AsyncMutex::Lock> turn)
{
    trackedRecords.clear(); // read afresh by every step, after every wait
    if (!turn && std::max(remoteFiles.size(), local.files.size()) >= largeReconciliationFiles()) {
        const quint64 epoch = m_epoch;
        auto waiting = takeLargeReconciliationTurn();
        turn.emplace(co_await std::move(waiting));
        if (!isCurrent(epoch, stop))
            co_return;
    }
    Reconciliation pass = startReconciliation(std::move(remoteFiles), std::move(local), std::move(folderPath),
                                              std::move(stop));
    pass.holdsTurn = turn.has_value();
    if (!co_await adoptListedFiles(pass))
        co_return;
    if (pass.policy.sendsLocalChanges && !co_await matchTrackedFiles(pass))
        co_return;
    repairSharedServiceFiles(pass);
    rejudgeFailedRecords(pass);
    QSet<qint64> trackedIds;
    if (!co_await judgeStaleRecords(pass, trackedIds))
        co_return;
    if (pass.policy.appliesRemoteInFullSync && !co_await placeListedDownloads(pass, std::move(trackedIds)))
        co_return;
    // What only the whole-folder steps read goes before the new files are recorded, which may
    // take as long as their uploads; so does the turn of a large reconciliation.
    pass.remoteFiles.clear();
    pass.listedEntries.clear();
    pass.remoteIds.clear();
    pass.listedSizes.clear();
    pass.localPaths.reset();
    pass.settledByAdoption = PathDigests();
    if (turn) {
        turn.reset();
        // The heap's freed pages go back, as after a long feed: the next large folder's turn
        // would otherwise grow the heap from the height this one left.
        returnFreedMemoryAfterFeed();
    }
    if (!pass.policy.sendsLocalChanges)
        co_return;
    co_await recordNewFiles(std::move(pass.newFiles), pass.tally, pass.epoch, pass.stop, std::move(feed),
                            std::move(firstChunkSaved));
}

AsyncMutex &SyncLane::largeReconciliationGate()
{
    static AsyncMutex gate;
    return gate;
}

QCoro::Task<AsyncMutex::Lock> SyncLane::takeLargeReconciliationTurn()
{
    // Its caller holds the lane through the wait.
    m_waitingForTurn = true;
    auto waiting = largeReconciliationGate().lock();
    auto lock = co_await std::move(waiting);
    m_waitingForTurn = false;
    co_return lock;
}

SyncLane::Reconciliation SyncLane::startReconciliation(QList<FileSyncAPI::RemoteFile> remoteFiles, LocalScan local,
                                                       QString folderPath, std::stop_token stop)
{
    const auto folder = syncFolder();
    Reconciliation pass;
    pass.epoch = m_epoch;
    pass.stop = std::move(stop);
    pass.folderPath = std::move(folderPath);
    pass.policy = folder->policy();
    pass.scope = folderScope();
    pass.name = folder->name();
    pass.listedAt = m_listingAskedAt;
    if (local.digests.size() != size_t(local.files.size())) {
        local.digests.clear();
        for (const QString &path : std::as_const(local.files))
            local.digests.push_back(PathDigests::digestOf(path));
    }
    auto localPaths = std::make_shared<PathDigests>();
    for (const auto &digest : local.digests)
        localPaths->add(digest);
    localPaths->finish();
    pass.localPaths = std::move(localPaths);
    pass.localFiles = std::move(local.files);
    pass.localDigests = std::move(local.digests);
    pass.unreadableFolders = std::move(local.unreadableFolders);
    pass.remoteFiles = std::move(remoteFiles);
    for (qsizetype i = 0; i < pass.remoteFiles.size(); ++i) {
        const auto &remote = pass.remoteFiles[i];
        pass.remoteIds.insert(remote.id);
        if (remote.fileSize > 0)
            pass.listedSizes.insert(remote.id, remote.fileSize);
        pass.listedEntries.insert(remote.id, i);
    }
    return pass;
}

QCoro::Task<std::optional<QList<SyncLane::FileInfo>>> SyncLane::hashChunk(Reconciliation &pass, QStringList paths)
{
    QList<FileInfo> infos;
    try {
        auto hashing = computeChecksum(m_checksums, std::move(paths), pass.stop);
        infos = co_await std::move(hashing);
    } catch (...) {
        co_return std::nullopt; // stopped
    }
    if (!pass.isCurrent(*this))
        co_return std::nullopt;
    co_return infos;
}

QCoro::Task<bool> SyncLane::adoptListedFiles(Reconciliation &pass)
{
    // A listed file already here that no record holds (a new link, a re-link, a second device
    // whose files match): recorded, so the feed's later edits and deletes reach it, and
    // nothing identical is fetched again.
    QSet<qint64> trackedIds;
    if (!visitFolderOutlines(*m_modelContext, laneID(), [&trackedIds](const RecordOutline &outline) {
            if (outline.remoteId)
                trackedIds.insert(*outline.remoteId);
        }))
        trackedIds.clear(); // as a failed read of the records: each chunk checks its own paths
    // A file the feed told deleted since a listing was first asked, which this listing does not
    // name (asked again after a failed one, or made after the delete): a copy at the place it
    // lived is found as a listed one is, and judged as deleted since, not taken for a new file.
    QList<FileSyncAPI::RemoteFile> toldDeleted;
    if (m_fedSinceListing)
        for (auto told = m_fedSinceListing->cbegin(); told != m_fedSinceListing->cend(); ++told)
            if (told->deleted && !told->filename.isEmpty() && !pass.remoteIds.contains(told.key())) {
                FileSyncAPI::RemoteFile file;
                file.id = told.key();
                file.filename = told->filename;
                file.drivePath = told->drivePath;
                file.fileChecksum = told->checksum;
                toldDeleted.append(std::move(file));
            }
    // Each file found is kept as its entry's id and checksum and the place of its path in the
    // scan (which holds that path already), not as a path of its own.
    auto find = [root = pass.folderPath, remoteFiles = pass.remoteFiles, toldDeleted = std::move(toldDeleted),
                 trackedIds = std::move(trackedIds), digests = pass.localPaths, scanned = pass.localDigests,
                 unreadable = pass.unreadableFolders, scope = pass.scope] {
        const auto isLocal = [&digests](const QString &path) { return digests->contains(path); };
        std::vector<std::pair<PathDigests::Digest, qsizetype>> places;
        places.reserve(scanned.size());
        for (size_t i = 0; i < scanned.size(); ++i)
            places.emplace_back(scanned[i], qsizetype(i));
        std::sort(places.begin(), places.end());
        std::vector<ListedOnDisk> found;
        const auto keep = [&](const FileSyncAPI::RemoteFile &listed, const QString &path) {
            const auto digest = PathDigests::digestOf(path);
            const auto place = std::lower_bound(places.begin(), places.end(), std::pair(digest, qsizetype(0)));
            if (place != places.end() && place->first == digest)
                found.push_back({listed.id, listed.fileChecksum, place->second});
        };
        lane::placeRemoteFilesBeside(root, remoteFiles, trackedIds, isLocal, unreadable, scope,
                                     lane::FolderMaking::none, keep);
        if (!toldDeleted.isEmpty()) {
            // A place the listing gives a live file keeps that one.
            QSet<qsizetype> listedHere;
            for (const auto &entry : found)
                listedHere.insert(entry.scanIndex);
            const auto keepUnlisted = [&](const FileSyncAPI::RemoteFile &told, const QString &path) {
                const auto digest = PathDigests::digestOf(path);
                const auto place = std::lower_bound(places.begin(), places.end(), std::pair(digest, qsizetype(0)));
                if (place != places.end() && place->first == digest && !listedHere.contains(place->second))
                    found.push_back({told.id, told.fileChecksum, place->second});
            };
            lane::placeRemoteFilesBeside(root, toldDeleted, trackedIds, isLocal, unreadable, scope,
                                         lane::FolderMaking::none, keepUnlisted);
        }
        return found;
    };
    const std::vector<ListedOnDisk> onDisk = co_await runInBackground(std::move(find));
    if (!pass.isCurrent(*this))
        co_return false;

    const QUuid folderID = laneID();
    qsizetype adopted = 0;
    qsizetype differing = 0;
    const auto found = qsizetype(onDisk.size());
    for (qsizetype start = 0; start < found; start += m_fullSyncChunkSize) {
        QHash<QString, const ListedOnDisk *> byPath;
        QStringList paths;
        for (qsizetype i = start; i < std::min(start + m_fullSyncChunkSize, found); ++i) {
            const ListedOnDisk &entry = onDisk[size_t(i)];
            const QString &path = pass.localFiles[entry.scanIndex];
            byPath.insert(path, &entry);
            paths.append(path);
        }
        const auto hashed = co_await hashChunk(pass, paths);
        if (!hashed)
            co_return false;
        const QList<FileInfo> &infos = *hashed;
        QSet<QString> recorded;
        for (const auto &record : fetchRecordsAt(paths))
            recorded.insert(record->localPath()); // recorded meanwhile: the steps below judge it
        // Those recorded as they are here are settled now, as the match of tracked files would
        // settle them: their checksums are not held until then, nor are they read again.
        QStringList settled;
        for (const auto &info : infos) {
            if (recorded.contains(info.path) || info.checksum.isEmpty())
                continue;
            const ListedOnDisk &listed = *byPath.value(info.path);
            const std::optional<QString> service = lane::lowerChecksum(listed.checksum);
            const bool same = service && *service == info.checksum.toLower();
            // The feed told of the file since the listing was asked: the listing no longer
            // says what the service holds. A file changed there met this copy when the feed's
            // pass applied it (a record at this path, passed over above, or a new file here
            // that meets that version when it goes up); a file deleted there is deleted here
            // as any delete from another device, once recorded as the copy it was.
            std::optional<bool> toldDeleted;
            if (m_fedSinceListing)
                if (const auto told = m_fedSinceListing->constFind(listed.id); told != m_fedSinceListing->cend())
                    toldDeleted = told->deleted;
            if (toldDeleted == false)
                continue;
            const bool deletedSince = toldDeleted.value_or(false);
            if (deletedSince && !same && pass.policy.localEditsSurviveDownload)
                continue; // content the service never had here: a new file, sent
            if (!same && !deletedSince && pass.policy.sendsLocalChanges && !pass.policy.appliesRemoteInFullSync)
                continue; // an upload-only folder sends its own version, as any new file
            auto record = std::make_shared<SyncFile>(info.path, QFileInfo(info.path).fileName());
            record->setFolderID(folderID);
            record->setRemoteId(listed.id);
            record->setRemoteChecksum(service);
            record->setInode(info.inode);
            if (deletedSince) {
                // Removed only as a delete from the feed removes: holding this content still
                // (any content in a download-only folder), checked on the spot.
                record->setLocalChecksum(same ? service : std::optional<QString>(info.checksum.toLower()));
                record->markSynced();
                stampSettled(*record);
                record->oweLocalDelete();
                record->setSyncStatus(SyncFileStatus::pending);
                ++differing;
            } else if (same) {
                record->setLocalChecksum(service);
                record->markSynced();
                stampSettled(*record);
                ++adopted;
                if (*service == info.checksum) {
                    settled.append(info.path);
                    pass.settledByAdoption.add(info.path);
                }
            } else if (!pass.policy.localEditsSurviveDownload) {
                // The folder holds the service's version alone.
                record->oweDownload();
                record->setSyncStatus(SyncFileStatus::pending);
                noteListedSize(listed.id, pass.listedSize(listed.id));
                ++differing;
            } else {
                // Both versions are unknown to each other: the upload meets the service's
                // version as a conflict, and neither replaces the other unseen.
                oweUpload(*record);
                ++differing;
            }
            m_modelContext->insert(std::move(record));
        }
        saveQuietly();
        pass.tally.matched += settled.size();
        m_checksums->forget(settled);
    }
    pass.settledByAdoption.finish();
    if (adopted + differing > 0)
        logLine(SyncLogger::Event::syncStarted,
                QStringLiteral("%1: %2 listed files already here recorded as synced, %3 differ from the service's")
                    .arg(pass.name, QString::number(adopted), QString::number(differing)));
    co_return true;
}

QCoro::Task<bool> SyncLane::matchTrackedFiles(Reconciliation &pass)
{
    // Tracked files whose content is not what their record last synced are owed an upload;
    // the others are settled without being read again in this pass.
    QStringList trackedFiles;
    UploadTally &tally = pass.tally;
    {
        PathDigests trackedPaths;
        // A conflict that holds an edit back waits for the user as it is: its edit is owed
        // already and goes up as the file is then, so its file is neither read nor judged again.
        PathDigests heldConflicts;
        if (!visitFolderOutlines(*m_modelContext, laneID(), [&](const RecordOutline &outline) {
                (outline.holdsEditBack ? heldConflicts : trackedPaths).add(outline.localPath);
            })) {
            trackedPaths = PathDigests(); // as a failed read of the records
            heldConflicts = PathDigests();
        }
        trackedPaths.finish();
        heldConflicts.finish();
        if (trackedPaths.size() == 0 && heldConflicts.size() == 0) {
            pass.newFiles = std::move(pass.localFiles);
        } else {
            for (qsizetype i = 0; i < pass.localFiles.size(); ++i) {
                const auto &digest = pass.localDigests[size_t(i)];
                if (pass.settledByAdoption.contains(digest))
                    continue; // matched as it was recorded (counted there)
                if (heldConflicts.contains(digest)) {
                    ++tally.inProgress;
                    continue;
                }
                (trackedPaths.contains(digest) ? trackedFiles : pass.newFiles).append(std::move(pass.localFiles[i]));
            }
        }
        pass.localFiles.clear();
        pass.localDigests = {};
    }

    for (qsizetype start = 0; start < trackedFiles.size(); start += m_fullSyncChunkSize) {
        QStringList paths;
        for (qsizetype i = start; i < std::min(start + m_fullSyncChunkSize, trackedFiles.size()); ++i)
            paths.append(std::exchange(trackedFiles[i], QString()));
        const auto hashed = co_await hashChunk(pass, paths);
        if (!hashed)
            co_return false;
        const QList<FileInfo> &infos = *hashed;

        QHash<QString, std::shared_ptr<SyncFile>> byPath;
        for (auto &record : fetchRecordsAt(paths))
            byPath.insert(record->localPath(), std::move(record));
        QStringList settled;
        for (const auto &info : infos) {
            const auto found = byPath.constFind(info.path);
            if (found == byPath.cend()) {
                // Gone from the store while the file was read: a new file after all.
                ++tally.candidates;
                pass.newFiles.append(info.path);
                continue;
            }
            SyncFile &record = **found;
            // Running, or held as a conflict while the file was read: left as it is.
            if (record.syncStatus() == SyncFileStatus::syncing || record.holdsEditBack()) {
                ++tally.inProgress;
            } else if (record.remoteId() && record.localChecksum() && *record.localChecksum() == info.checksum) {
                ++tally.matched;
                settled.append(info.path);
                if (isUnlisted(pass, record))
                    pass.unlistedMatches.append(info.path);
            } else {
                ++tally.candidates;
                oweUpload(record);
            }
        }
        // A file that matches its record is not read again in this pass.
        m_checksums->forget(settled);
        saveQuietly();
    }
    if (!pass.unlistedMatches.isEmpty() && !co_await sendUnlistedMatches(pass))
        co_return false;
    tally.candidates += pass.newFiles.size();
    SyncLogger::shared().log(SyncLogger::Event::deltaSync, SyncLogger::Direction::none, QString(),
                             QStringLiteral("Phase 1 complete: %1 candidates, %2 already matched, %3 in-progress (%4)")
                                 .arg(QString::number(tally.candidates), QString::number(tally.matched),
                                      QString::number(tally.inProgress), pass.name));
    co_return true;
}

bool SyncLane::isUnlisted(const Reconciliation &pass, const SyncFile &record) const
{
    // Synced, or told of by the feed, since the listing was asked: newer than the listing.
    const qint64 id = *record.remoteId();
    return !pass.remoteIds.contains(id) && !(m_fedSinceListing && m_fedSinceListing->contains(id))
           && !(pass.listedAt && record.lastSyncedAt() && *record.lastSyncedAt() > *pass.listedAt);
}

QCoro::Task<bool> SyncLane::sendUnlistedMatches(Reconciliation &pass)
{
    // A file on disk as it was synced, whose service file the listing does not name: deleted
    // at the service. Where the feed from the stored cursor still tells of that delete, the
    // feed's pass applies it as any delete from another device. Where it does not (read long
    // ago, or the feed no longer holds it), it was deleted elsewhere after this device synced
    // it, and goes here too (a file changed here since is not matched here, and the local
    // delete checks its content again on the spot). Only where the service's own times show
    // the record was settled on a file already gone (its stamp, a service time, later than the
    // delete's) is it sent again. This device's clock is never set against the service's.
    const QStringList paths = std::exchange(pass.unlistedMatches, {});
    std::optional<FileSyncAPI::FeedDeletes> fromCursor;
    try {
        auto fetching = requestDeletes(syncFolder()->deltaCursor(), pass.stop);
        fromCursor = co_await std::move(fetching);
    } catch (...) {
        // Not told now (a cursor refused brings a full sync of its own): judged again then.
    }
    if (!pass.isCurrent(*this) || !fromCursor)
        co_return pass.isCurrent(*this);
    const auto unexplained = [&] {
        std::vector<std::shared_ptr<SyncFile>> found;
        for (const auto &[path, record] : fetchRecordsAtPaths(*m_modelContext, laneID(), paths).asKeyValueRange()) {
            if (!record->remoteId() || record->syncStatus() != SyncFileStatus::synced
                || record->desiredState().value_or(SyncFileDesiredState::syncedLocal)
                       != SyncFileDesiredState::syncedLocal
                || !isUnlisted(pass, *record))
                continue;
            if (fromCursor->deleted.contains(*record->remoteId()))
                continue; // the feed's pass applies that delete
            found.push_back(record);
        }
        return found;
    };
    const auto first = unexplained();
    if (first.empty())
        co_return true;
    // Only a stamped record can have been settled after its delete: without one, nothing
    // tells, and the whole feed is not read for it.
    const QHash<qint64, std::optional<QDateTime>> *whole = nullptr;
    if (std::any_of(first.begin(), first.end(), [](const auto &record) { return record->remoteModifiedAt(); })) {
        auto reading = wholeFeedDeletes(pass);
        whole = co_await std::move(reading);
        if (!pass.isCurrent(*this))
            co_return false;
        if (!whole)
            co_return true; // judged again at the next full sync
    }
    qsizetype sent = 0;
    qsizetype deleted = 0;
    for (const auto &record : unexplained()) {
        const auto settled = record->remoteModifiedAt();
        const std::optional<QDateTime> deletedAt =
            whole && settled ? whole->value(*record->remoteId()) : std::optional<QDateTime>();
        if (!(deletedAt && *settled > *deletedAt)) {
            record->oweLocalDelete();
            record->setSyncStatus(SyncFileStatus::pending);
            ++deleted;
            continue;
        }
        forgetServiceFile(*record);
        oweUpload(*record);
        ++sent;
    }
    if (sent > 0) {
        pass.tally.matched -= sent;
        pass.tally.candidates += sent;
        logLine(SyncLogger::Event::syncStarted,
                QStringLiteral("%1: %2 files recorded as synced were settled on a file Harborly had already "
                               "deleted: sending them again")
                    .arg(pass.name, QString::number(sent)));
    }
    if (deleted > 0)
        logLine(SyncLogger::Event::syncStarted,
                QStringLiteral("%1: %2 files were deleted at Harborly since they were synced: deleting them here")
                    .arg(pass.name, QString::number(deleted)));
    if (sent + deleted > 0)
        saveQuietly();
    co_return true;
}

QCoro::Task<const QHash<qint64, std::optional<QDateTime>> *> SyncLane::wholeFeedDeletes(Reconciliation &pass)
{
    if (m_wholeFeedDeletes)
        co_return &*m_wholeFeedDeletes;
    // The whole history of the feed: as large a read as a large folder's listing, so it
    // takes the same turn (unless this pass holds it already).
    std::optional<AsyncMutex::Lock> turn;
    if (!pass.holdsTurn) {
        auto waiting = takeLargeReconciliationTurn();
        turn.emplace(co_await std::move(waiting));
        if (!pass.isCurrent(*this))
            co_return nullptr;
        if (m_wholeFeedDeletes)
            co_return &*m_wholeFeedDeletes;
    }
    std::optional<FileSyncAPI::FeedDeletes> read;
    try {
        auto fetching = requestDeletes(std::nullopt, pass.stop);
        read = co_await std::move(fetching);
    } catch (...) {
        // Not read now: the next full sync asks again.
    }
    if (!pass.isCurrent(*this) || !read)
        co_return nullptr;
    m_wholeFeedDeletes = std::move(read->deleted);
    if (turn) {
        turn.reset();
        returnFreedMemoryAfterFeed();
    }
    co_return &*m_wholeFeedDeletes;
}

void SyncLane::repairSharedServiceFiles(Reconciliation &pass)
{
    // One service file, one record. A store that has two records holding one id (an old name
    // kept beside a rename the service made) keeps it on the record at the listed place; the
    // others let go of it: a copy on disk is removed while it holds its last synced content
    // (checked on the spot), else kept as a new file; a record with nothing on disk goes.
    // Only the ids held twice are looked for (one grouped query), and only their records read.
    const QString prefix = pass.folderPath + u'/';
    const QList<qint64> shared = fetchSharedRemoteIds(*m_modelContext, laneID());
    if (shared.isEmpty())
        return;
    QHash<qint64, std::vector<std::shared_ptr<SyncFile>>> holders;
    for (const auto &record : fetchRecordsHoldingIds(*m_modelContext, laneID(), shared))
        if (record->remoteId() && record->desiredState() != SyncFileDesiredState::deletedRemote)
            holders[*record->remoteId()].push_back(record);
    bool repaired = false;
    for (auto group = holders.begin(); group != holders.end(); ++group) {
        auto &records = group.value();
        if (records.size() < 2)
            continue;
        const QString listed = pass.listedPlace(group.key());
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
            if (!pass.localPaths->contains(other->localPath())) {
                m_modelContext->remove(other);
                continue;
            }
            other->oweLocalDelete();
            other->clearFailure();
        }
    }
    if (repaired) {
        logLine(SyncLogger::Event::syncStarted,
                QStringLiteral("%1: a service file was held by more than one record; the others let go of it")
                    .arg(pass.name));
        saveQuietly();
    }
}

void SyncLane::rejudgeFailedRecords(Reconciliation &pass)
{
    // Records that failed for good are judged again against the listing.
    std::vector<std::shared_ptr<SyncFile>> failed;
    try {
        auto request = SyncFile::inFolder(laneID());
        request.equals(SyncFile::Field::syncStatus, SyncFileStatus::error);
        failed = m_modelContext->fetch(request);
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the failed records", error);
    }
    bool changed = false;
    for (const auto &record : failed) {
        const auto id = record->remoteId();
        if (!id || !pass.localPaths->contains(record->localPath()))
            continue; // the stale records, or a file the service never had
        record->clearFailure();
        if (!pass.remoteIds.contains(*id)) {
            // Gone at the service: the local delete is owed again (it keeps an edit).
            record->oweLocalDelete();
        } else if (const auto listed = pass.listedChecksum(*id);
                   listed.value_or(QString()) != lastSyncedContent(*record)) {
            record->setRemoteChecksum(listed);
            record->oweDownload();
            noteListedSize(*id, pass.listedSize(*id));
        } else if (record->desiredState() != SyncFileDesiredState::uploadPending) {
            // The service's version is the one here: nothing is owed.
            stampSettled(*record);
            record->setSyncStatus(SyncFileStatus::synced);
            record->setDesiredState(SyncFileDesiredState::syncedLocal);
        }
        changed = true;
    }
    if (changed)
        saveQuietly();
}

QCoro::Task<bool> SyncLane::judgeStaleRecords(Reconciliation &pass, QSet<qint64> &trackedIds)
{
    // Stale records: tracked, but not on disk. Decided on the records as they are now, before
    // new download records (which are not on disk either) join them. Only a record the scan
    // could have listed is judged, and only a path proven empty counts as gone. Every listed
    // record learns the service's version, so no later delete or upload goes over a version
    // this device never saw.
    QList<StaleRecord> stale;
    QStringList toOweDownload;
    bool learned = false;
    // The folder's records are looked at in outline; only those with something to judge (not
    // on disk where the scan could have listed them, or a listed version they do not know)
    // are read whole, a chunk at a time. Nothing waits in between: the outlines still hold.
    const auto notStale = [&pass](const QString &path) {
        return pass.localPaths->contains(path) || isUnder(path, pass.unreadableFolders)
               || !pass.scope.includes(pass.folderPath, path);
    };
    QStringList toJudge;
    if (!visitFolderOutlines(*m_modelContext, laneID(), [&](const RecordOutline &outline) {
            const auto &id = outline.remoteId;
            if (id)
                trackedIds.insert(*id);
            const bool listed = id && pass.remoteIds.contains(*id);
            bool unlearned = false;
            if (listed) {
                const auto checksum = pass.listedChecksum(*id);
                unlearned = checksum && lane::lowerChecksum(outline.remoteChecksum) != checksum;
            }
            if (unlearned || !notStale(outline.localPath))
                toJudge.append(outline.localPath);
        })) {
        trackedIds.clear(); // as a failed read of the records: nothing is judged
        toJudge.clear();
    }
    for (qsizetype start = 0; start < toJudge.size(); start += m_fullSyncChunkSize) {
        const QStringList paths = toJudge.mid(start, m_fullSyncChunkSize);
        const auto records = fetchRecordsAtPaths(*m_modelContext, laneID(), paths);
        for (const QString &candidate : paths) {
            const auto found = records.constFind(candidate);
            if (found == records.cend())
                continue;
            const std::shared_ptr<SyncFile> &record = *found;
            const auto id = record->remoteId();
            const bool listed = id && pass.remoteIds.contains(*id);
            if (listed && learnListedVersion(pass, *record))
                learned = true;
            const QString &path = record->localPath();
            if (notStale(path))
                continue;
            // The service's file at a place the local file moved away from: deleted once the
            // move's upload is confirmed, not before (the queue pass releases it).
            if (isMoveOrigin(*record))
                continue;
            const StaleRecord judged{path, record->generation(), record->desiredState(), true};
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
            // Deleted here, but another device saved a newer version since: an edit beats a delete.
            if (!wasPresentLocally(*record) || (pass.policy.deletesAtService && hasNewerServiceVersion(*record)))
                toOweDownload.append(path);
            else
                stale.append({path, judged.generation, desired, !pass.policy.deletesAtService});
        }
    }
    if (learned)
        saveQuietly();

    QList<LocalPresence> presence;
    if (!stale.isEmpty()) {
        QStringList paths;
        for (const auto &record : stale)
            paths.append(record.path);
        auto probe = [folderPath = pass.folderPath, paths] {
            QList<LocalPresence> found;
            for (const QString &path : paths)
                found.append(localPresence(folderPath, path));
            return found;
        };
        presence = co_await runInBackground(std::move(probe));
        if (!pass.isCurrent(*this))
            co_return false;
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
                    .arg(QString::number(kept), pass.name));
    const auto owingDownload = fetchRecordsAtPaths(*m_modelContext, laneID(), toOweDownload);
    for (const QString &path : toOweDownload) {
        if (const auto record = owingDownload.value(path); record && record->syncStatus() != SyncFileStatus::syncing) {
            record->oweDownload();
            record->clearFailure();
            if (const auto id = record->remoteId())
                noteListedSize(*id, pass.listedSize(*id));
            changed = true;
        }
    }
    if (changed)
        saveQuietly();
    co_return true;
}

bool SyncLane::learnListedVersion(const Reconciliation &pass, SyncFile &record)
{
    // A transfer in flight settles the record itself; one synced after the listing was asked
    // for knows a newer version than the listing does.
    if (record.syncStatus() == SyncFileStatus::syncing
        || (pass.listedAt && record.lastSyncedAt() && *record.lastSyncedAt() > *pass.listedAt))
        return false;
    // The feed told of this file after the listing was asked for: its word is the newer one.
    if (m_fedSinceListing && m_fedSinceListing->contains(*record.remoteId()))
        return false;
    const auto listed = pass.listedChecksum(*record.remoteId());
    if (!listed || lane::lowerChecksum(record.remoteChecksum()) == listed)
        return false;
    record.setRemoteChecksum(listed);
    return true;
}

QCoro::Task<bool> SyncLane::placeListedDownloads(Reconciliation &pass, QSet<qint64> trackedIds)
{
    // The listed files this folder lacks: each gets a record owed its download.
    auto place = [folderPath = pass.folderPath, remoteFiles = pass.remoteFiles, trackedIds = std::move(trackedIds),
                  digests = pass.localPaths, unreadable = pass.unreadableFolders, scope = pass.scope] {
        const auto isLocal = [&digests](const QString &path) { return digests->contains(path); };
        return lane::placeRemoteFilesBeside(folderPath, remoteFiles, trackedIds, isLocal, unreadable, scope,
                                            lane::FolderMaking::forDownloads);
    };
    const auto placement = co_await runInBackground(std::move(place));
    if (!pass.isCurrent(*this))
        co_return false;
    // Each refused or out-of-scope entry is logged once while the lane runs.
    for (const auto &[id, rejected] : placement.rejected)
        if (!std::exchange(m_refusedEntriesLogged[id], true))
            logLine(SyncLogger::Event::syncFailed,
                    QStringLiteral("Skipped %1 from %2: not a usable path in the folder").arg(rejected, pass.name));
    for (const auto &[id, relative] : placement.outOfScope)
        if (!std::exchange(m_refusedEntriesLogged[id], true))
            logLine(SyncLogger::Event::fileSkipped,
                    QStringLiteral("Not downloading %1 to %2: the folder does not sync files there")
                        .arg(relative, pass.name));
    QStringList placed;
    placed.reserve(placement.downloads.size());
    for (const auto &download : placement.downloads)
        placed.append(download.path);
    // Tracked meanwhile: one query per chunk of paths, and the places this loop fills.
    const auto tracked = fetchRecordsAtPaths(*m_modelContext, laneID(), placed);
    QSet<QString> taken(tracked.keyBegin(), tracked.keyEnd());
    const QUuid folderID = laneID();
    for (const auto &download : placement.downloads) {
        if (taken.contains(download.path))
            continue; // tracked meanwhile, or placed by an earlier entry
        taken.insert(download.path);
        auto record = std::make_shared<SyncFile>(download.path, download.filename);
        record->setRemoteId(download.id);
        record->setRemoteChecksum(download.checksum);
        noteListedSize(download.id, pass.listedSize(download.id));
        record->setSyncDirection(SyncFileDirection::download);
        record->setDesiredState(SyncFileDesiredState::downloadPending);
        record->setSyncStatus(SyncFileStatus::pending);
        record->setFolderID(folderID);
        m_modelContext->insert(std::move(record));
    }
    saveQuietly();
    co_return true;
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
