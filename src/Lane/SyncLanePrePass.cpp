#include "Lane/SyncLane.h"

#include "Accounts/DeviceIdentity.h"
#include "ActivityLog/SyncLogger.h"
#include "FileServices/FileTypes.h"
#include "Model/LaneQueries.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Background.h"
#include "Platform/Async/CancelledError.h"

#include <QFile>
#include <QMap>

#include <sys/stat.h>

#include <algorithm>

namespace quillmere {

namespace {

// At most this many files go into one batch request: the service refuses larger batches.
constexpr qsizetype batchSize = 100;

void logBatchLine(const QString &detail)
{
    SyncLogger::shared().log(SyncLogger::Event::deltaSync, SyncLogger::Direction::none, QString(), detail);
}

QString describe(const std::exception &error)
{
    return QString::fromUtf8(error.what());
}

QString lastComponent(const QString &path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

// Full key: hash, drive path and name; the fallback key leaves the name empty.
QString confirmationKey(const QString &checksum, const QString &drivePath, const QString &filename)
{
    return checksum + u'|' + drivePath + u'|' + filename;
}

} // namespace

std::optional<SyncLane::FileStamp> SyncLane::fileStamp(const QString &path)
{
    struct stat status{};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return FileStamp{qint64(status.st_size), qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec,
                     qint64(status.st_ino), qint64(status.st_dev)};
}

QCoro::Task<QList<SyncLane::PrePassChecksum>>
SyncLane::computePrePassChecksums(std::shared_ptr<ChecksumCache> checksums, QString root, QStringList paths,
                                  std::stop_token stop)
{
    // Nothing behind a link is read: its content is not the folder's, and not even its hash
    // goes to the service.
    auto sorting = [root, paths, stop] {
        QStringList files;
        for (const QString &path : paths) {
            throwIfStopped(stop);
            if (regularFileStampBelow(root, path))
                files.append(path);
        }
        return files;
    };
    auto sorted = runInBackground(std::move(sorting));
    const QStringList files = co_await std::move(sorted);
    // Taken through the pass's checksums (a file reconciliation hashed is not read again),
    // then each is kept only for the file itself as it is now: a link, or a file changed
    // since, gets none.
    auto hashing = checksumsConcurrently(std::move(checksums), files, stop);
    const QList<std::optional<StampedChecksum>> hashed = co_await std::move(hashing);
    QHash<QString, StampedChecksum> taken;
    for (qsizetype i = 0; i < files.size(); ++i)
        if (hashed[i])
            taken.insert(files[i], *hashed[i]);
    auto stamping = [paths = std::move(paths), taken = std::move(taken), stop] {
        QList<PrePassChecksum> results;
        results.reserve(paths.size());
        for (qsizetype i = 0; i < paths.size(); ++i) {
            throwIfStopped(stop);
            const QString &path = paths[i];
            PrePassChecksum result{path, QString(), 0, lastComponent(path), fileStamp(path)};
            if (result.stamp)
                result.fileSize = result.stamp->size;
            // Without a stamp nothing could tell later whether the hash still holds.
            const auto found = taken.constFind(path);
            if (result.stamp && found != taken.cend() && found->stamp.size == result.stamp->size
                && found->stamp.modifiedNs == result.stamp->modifiedNs
                && qint64(found->stamp.inode) == result.stamp->inode
                && qint64(found->stamp.device) == result.stamp->device)
                result.checksum = found->checksum;
            results.append(std::move(result));
        }
        return results;
    };
    co_return co_await runInBackground(std::move(stamping));
}

QList<const FileSyncAPI::BatchDedupConfirmed *>
SyncLane::matchConfirmedEntries(const QList<FileSyncAPI::BatchDedupConfirmed> &confirmed,
                                const QList<ConfirmationTarget> &targets)
{
    QHash<QString, QList<const FileSyncAPI::BatchDedupConfirmed *>> byKey;
    for (const auto &entry : confirmed)
        byKey[confirmationKey(entry.contentSHA256, entry.drivePath.value_or(QString()),
                              entry.filename.value_or(QString()))]
            .append(&entry);

    QList<const FileSyncAPI::BatchDedupConfirmed *> matched(targets.size(), nullptr);
    // Exact matches first, for every target, so a reply without names never takes the entry
    // that names another target.
    auto take = [&](qsizetype index, const QString &key) {
        auto found = byKey.find(key);
        if (found == byKey.end() || found->isEmpty())
            return;
        matched[index] = found->takeFirst();
    };
    for (qsizetype i = 0; i < targets.size(); ++i)
        take(i, confirmationKey(targets[i].checksum, targets[i].drivePath, targets[i].filename));
    for (qsizetype i = 0; i < targets.size(); ++i)
        if (!matched[i])
            take(i, confirmationKey(targets[i].checksum, targets[i].drivePath, QString()));
    return matched;
}

QList<std::optional<qint64>> SyncLane::matchConfirmations(const QList<FileSyncAPI::BatchDedupConfirmed> &confirmed,
                                                          const QList<ConfirmationTarget> &targets)
{
    QList<std::optional<qint64>> ids;
    for (const auto *entry : matchConfirmedEntries(confirmed, targets))
        ids.append(entry ? std::optional<qint64>(entry->fileId) : std::nullopt);
    return ids;
}

QString SyncLane::drivePathKey(const QString &localPath) const
{
    const QString drivePath = relativePath(localPath);
    return drivePath == QLatin1String(".") ? QString() : drivePath;
}

bool SyncLane::isAsPrePassed(const SyncFile &record, qint64 generation) const
{
    if (record.desiredState() != SyncFileDesiredState::uploadPending || record.syncStatus() != SyncFileStatus::pending
        || record.generation() != generation)
        return false;
    const auto hashed = m_prePassStamps.constFind(record.localPath());
    return hashed != m_prePassStamps.cend() && fileStamp(record.localPath()) == *hashed;
}

void SyncLane::markConfirmed(SyncFile &record, const QString &checksum, const FileSyncAPI::BatchDedupConfirmed &entry)
{
    record.setLocalChecksum(checksum);
    record.setRemoteChecksum(checksum);
    record.setRemoteId(entry.fileId);
    // The service's commit of this very file: the base a later edit's upload names, so the
    // service can tell it met another device's version. It is the commit of this content.
    if (!entry.commitSha.isEmpty()) {
        record.setBaseCommitSha(entry.commitSha);
        record.setLfsOid(checksum);
    }
    // Settled: a back-off left from an earlier failed try of the upload goes with it.
    record.markSynced();
    stampSettled(record);
    if (!record.inode()) {
        if (const auto stamp = fileStamp(record.localPath()))
            record.setInode(stamp->inode);
    }
}

QCoro::Task<> SyncLane::runBatchPrePass(std::stop_token stop)
{
    std::vector<std::shared_ptr<SyncFile>> pending;
    try {
        auto request = SyncFile::inFolder(laneID());
        request.equals(SyncFile::Field::desiredState, SyncFileDesiredState::uploadPending);
        request.equals(SyncFile::Field::syncStatus, SyncFileStatus::pending);
        pending = m_modelContext->fetch(request);
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the owed uploads", error);
        pending.clear();
    }

    dropPrePassTables();
    // Only what this pass may send: a change still settling is checked by the pass that
    // takes it, not by every pass that runs while it settles.
    const QDateTime now = m_clock.currentDateTime();
    std::erase_if(pending, [&](const auto &record) { return isSettling(*record, settleWindow, now); });

    if (pending.empty() || syncFolder()->policy().mirrorsPlanLayout)
        co_return;
    const QString folderName = syncFolder()->name();
    logBatchLine(QStringLiteral("Batch pre-pass: %1 pending uploads for %2").arg(QString::number(pending.size()), folderName));

    // Only paths and generations cross the waits; records are fetched again by path after.
    QHash<QString, qint64> generations;
    QStringList paths;
    paths.reserve(qsizetype(pending.size()));
    for (const auto &record : pending) {
        // The service already has this file at its place (a held download edited here, an
        // edit of a synced file, or the watcher's late word on the lane's own upload): only
        // the file's own upload names the version it was based on and updates that entry. A
        // pointer would add a second entry beside it, and content settled by a listing older
        // than the service's version would forget a conflict unseen. A file moved here that
        // met another device's file at its new place knows that file's content only.
        if (record->isDeleted() || record->remoteId() || record->remoteChecksum())
            continue;
        generations.insert(record->localPath(), record->generation());
        paths.append(record->localPath());
    }
    pending.clear();
    co_await prePassFiles(std::move(paths), std::move(generations), std::move(stop));
}

std::vector<std::shared_ptr<SyncFile>> SyncLane::fetchRecordsAt(const QStringList &paths)
{
    if (paths.isEmpty())
        return {};
    auto request = SyncFile::inFolder(laneID());
    request.in(SyncFile::Field::localPath, std::vector<QString>(paths.cbegin(), paths.cend()));
    try {
        return m_modelContext->fetch(request);
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading records by path", error);
        return {};
    }
}

QCoro::Task<qsizetype> SyncLane::prePassFiles(QStringList paths, QHash<QString, qint64> generations, std::stop_token stop,
                                     bool chunked)
{
    const quint64 epoch = m_epoch;
    const std::weak_ptr<SyncLane> weak = weak_from_this();
    const SyncFolderType kind = syncFolder()->folderType();
    const QString folderName = syncFolder()->name();
    const QString folderUUID = laneID().toString(QUuid::WithoutBraces).toUpper();
    const std::shared_ptr<FileSyncAPI> api = m_apiClient;
    QStringList settled; // set up or linked at the service: nothing left to send
    if (paths.isEmpty())
        co_return 0;

    QList<PrePassChecksum> results;
    try {
        const QString root = syncFolder()->folderPath().value_or(QString());
        auto hashing = computePrePassChecksums(m_checksums, root, paths, stop);
        results = co_await std::move(hashing);
    } catch (const std::exception &) {
        // Only a stop ends the hashing early.
        co_return settled.size();
    }
    auto alive = weak.lock();
    if (!alive || !isCurrent(epoch, stop))
        co_return settled.size();

    QList<PrePassChecksum> valid;
    for (auto &result : results) {
        if (result.checksum.isEmpty())
            continue;
        m_prePassChecksums.insert(result.localPath, result.checksum);
        m_prePassStamps.insert(result.localPath, *result.stamp);
        valid.append(std::move(result));
    }

    QList<FileSyncAPI::BatchHashEntry> hashEntries;
    hashEntries.reserve(valid.size());
    for (const auto &result : valid)
        hashEntries.append({result.filename, relativePath(result.localPath), result.checksum, result.fileSize});

    QSet<QString> syncedHashes;
    QSet<QString> dedupReadyHashes;
    for (qsizetype start = 0; start < hashEntries.size(); start += batchSize) {
        alive.reset();
        try {
            auto checking = api->checkHashBatch(folderUUID, kind, hashEntries.mid(start, batchSize), stop);
            const auto reply = co_await std::move(checking);
            alive = weak.lock();
            if (!alive || !isCurrent(epoch, stop))
                co_return settled.size();
            syncedHashes.unite(reply.synced);
            for (const auto &content : reply.deduplicated)
                dedupReadyHashes.insert(content.contentSHA256);
            // The reply's cursor is never taken: it postdates the full sync's listing, so a
            // change made at the service in between would never be applied here. The first
            // delta pass starts from the service's own history instead.
        } catch (const std::exception &error) {
            alive = weak.lock();
            if (!alive || !isCurrent(epoch, stop))
                co_return settled.size();
            logBatchLine(QStringLiteral("Batch pre-pass check unavailable — falling back to per-file (%1)")
                             .arg(describe(error)));
            co_return settled.size();
        }
    }
    logBatchLine(QStringLiteral("Batch pre-pass: %1 synced, %2 dedup-ready, %3 need upload (%4)")
                     .arg(QString::number(syncedHashes.size()), QString::number(dedupReadyHashes.size()),
                          QString::number(valid.size() - syncedHashes.size() - dedupReadyHashes.size()), folderName));

    // The listing of the last full sync, by content and place: a file counts as synced only
    // where the service lists that content under that very name, and the file has been
    // neither deleted nor changed since (as far as this lane heard).
    const std::optional<ListedFiles> &listed = m_listed;

    // Content the service holds, but not at this file's place: confirmed as a pointer here.
    QList<qsizetype> candidates;
    // Content listed at this file's place: settled as synced with that file.
    QList<QPair<qsizetype, qint64>> listedHere;
    for (qsizetype i = 0; i < valid.size(); ++i) {
        const auto &result = valid[i];
        const bool dedupReady = dedupReadyHashes.contains(result.checksum);
        if (!dedupReady && !syncedHashes.contains(result.checksum))
            continue;
        // The sets are by content: one content can be at this place and elsewhere too.
        const auto remote = listed ? listed->idAt(result.checksum, drivePathKey(result.localPath), result.filename)
                                   : std::nullopt;
        if (remote)
            listedHere.append({i, *remote});
        else if (dedupReady || listed)
            // Without a listing, content reported at this folder may be this very file: the
            // upload asks for it alone.
            candidates.append(i);
    }

    // A pointer at a new file's place is its first upload, as sure to replace another
    // device's file there as bytes are, and a listing is as old as its full sync: in a
    // two-way folder both stand only on a read of the feed asked after the checks were
    // answered. A file whose place the read shows another file at, or whose listed file it
    // shows deleted or changed, goes the single upload's way, which meets that version; so
    // does every such file when the feed cannot be read.
    const bool judged = syncFolder()->policy().appliesRemoteInFullSync;
    if (judged && (!candidates.isEmpty() || !listedHere.isEmpty())) {
        const quint64 checked = m_learnings;
        alive.reset();
        try {
            auto reading = readServiceState(epoch, stop, checked);
            co_await std::move(reading);
        } catch (const CancelledError &) {
        }
        alive = weak.lock();
        if (!alive || !isCurrent(epoch, stop) || !m_heard)
            co_return settled.size();
        const Heard &heard = *m_heard;
        candidates.removeIf([&](qsizetype i) { return placeTakenOnRead(valid[i].localPath); });
        listedHere.removeIf([&](const QPair<qsizetype, qint64> &entry) {
            const auto &[i, id] = entry;
            if (placeTakenOnRead(valid[i].localPath, id))
                return true;
            // Told of since the listing: it must still be that content at this very place.
            const auto told = heard.versions.constFind(id);
            return told != heard.versions.cend()
                   && !(told->live && told->checksum && *told->checksum == valid[i].checksum.toLower()
                        && heard.livePlaces.value(servicePlace(valid[i].localPath)) == id);
        });
    }

    qsizetype resolvedSynced = 0;
    qsizetype resolvedConfirmed = 0;
    for (const auto &[i, remote] : std::as_const(listedHere)) {
        const auto &result = valid[i];
        auto record = fetchRecord(result.localPath);
        if (!record || !isAsPrePassed(*record, generations.value(result.localPath, -1)))
            continue;
        record->setLocalChecksum(result.checksum);
        record->setRemoteChecksum(result.checksum);
        record->setRemoteId(remote);
        record->markSynced();
        stampSettled(*record);
        settled.append(result.localPath);
        ++resolvedSynced;
    }

    QList<qsizetype> sendable;
    QList<FileSyncAPI::BatchDedupConfirmEntry> confirmEntries;
    for (const qsizetype i : candidates) {
        const auto &result = valid[i];
        // A pointer made at the service for content the file no longer has would be wrong there.
        auto record = fetchRecord(result.localPath);
        if (!record || !isAsPrePassed(*record, generations.value(result.localPath, -1)))
            continue;
        const QString drivePath = drivePathKey(result.localPath);
        sendable.append(i);
        confirmEntries.append({result.checksum, result.filename, result.fileSize, mimeTypeForPath(result.localPath),
                               drivePath.isEmpty() ? std::nullopt : std::optional<QString>(drivePath),
                               record->fileUUID(), std::nullopt, std::nullopt});
    }
    const QString deviceID = confirmEntries.isEmpty() ? QString() : DeviceIdentity::deviceID();
    std::optional<quint64> previousReply;
    for (qsizetype start = 0; start < confirmEntries.size(); start += batchSize) {
        QList<qsizetype> chunk = sendable.mid(start, batchSize);
        QList<FileSyncAPI::BatchDedupConfirmEntry> chunkEntries = confirmEntries.mid(start, batchSize);
        if (judged && previousReply) {
            // The read the first chunk stood on is as old as that chunk's round-trip (minutes,
            // on a first sync of thousands of files): each later chunk stands on a read asked
            // after the previous one was answered, and a place taken since goes the single
            // upload's way.
            alive.reset();
            try {
                auto reading = readServiceState(epoch, stop, *previousReply);
                co_await std::move(reading);
            } catch (const CancelledError &) {
            }
            alive = weak.lock();
            if (!alive || !isCurrent(epoch, stop) || !m_heard)
                co_return settled.size();
            for (qsizetype j = chunk.size() - 1; j >= 0; --j)
                if (placeTakenOnRead(valid[chunk[j]].localPath)) {
                    chunk.removeAt(j);
                    chunkEntries.removeAt(j);
                }
            if (chunk.isEmpty())
                continue;
        }
        alive.reset();
        FileSyncAPI::BatchDedupConfirmResult reply;
        try {
            auto confirming = api->dedupConfirmBatch(folderUUID, kind, chunkEntries, deviceID, std::nullopt, stop);
            reply = co_await std::move(confirming);
        } catch (const std::exception &error) {
            alive = weak.lock();
            if (!alive || !isCurrent(epoch, stop))
                co_return settled.size();
            previousReply = m_learnings;
            logBatchLine(QStringLiteral("Batch dedup-confirm unavailable — falling back to per-file (%1)")
                             .arg(describe(error)));
            continue;
        }
        alive = weak.lock();
        if (!alive || !isCurrent(epoch, stop))
            co_return settled.size();
        previousReply = m_learnings;

        // A reply answers for its own chunk only.
        QList<ConfirmationTarget> targets;
        for (const qsizetype i : chunk)
            targets.append({valid[i].checksum, drivePathKey(valid[i].localPath), valid[i].filename});
        const auto entries = matchConfirmedEntries(reply.confirmed, targets);
        for (qsizetype j = 0; j < chunk.size(); ++j) {
            if (!entries[j])
                continue;
            const auto &result = valid[chunk[j]];
            auto record = fetchRecord(result.localPath);
            if (!record || !isAsPrePassed(*record, generations.value(result.localPath, -1)))
                continue;
            markConfirmed(*record, result.checksum, *entries[j]);
            settled.append(result.localPath);
            ++resolvedConfirmed;
        }
        if (!reply.failed.isEmpty())
            logBatchLine(QStringLiteral("Batch dedup-confirm: %1 confirmed, %2 failed (falling back per-file)")
                             .arg(reply.confirmed.size())
                             .arg(reply.failed.size()));
        else
            logBatchLine(QStringLiteral("Batch dedup-confirm: %1 confirmed in one round-trip (%2)")
                             .arg(QString::number(reply.confirmed.size()), folderName));
    }

    // Of several pending files with one content, the first by path is sent; the others wait
    // behind it. Content the service holds already is never held.
    QMap<QString, QStringList> groups;
    for (const auto &result : valid)
        if (!syncedHashes.contains(result.checksum) && !dedupReadyHashes.contains(result.checksum))
            groups[result.checksum].append(result.localPath);
    qsizetype heldCount = 0;
    for (auto group = groups.begin(); group != groups.end(); ++group) {
        // A later chunk's copies all wait behind the representative an earlier chunk chose.
        const auto existing = m_heldDuplicates.find(group.key());
        const bool joining = existing != m_heldDuplicates.end();
        if (group->size() < 2 && !joining)
            continue;
        QStringList sorted = *group;
        std::sort(sorted.begin(), sorted.end());
        QList<QPair<QString, qint64>> held;
        for (qsizetype i = joining ? 0 : 1; i < sorted.size(); ++i)
            held.append({sorted[i], generations.value(sorted[i], 0)});
        heldCount += held.size();
        if (joining)
            existing->append(held);
        else
            m_heldDuplicates.insert(group.key(), std::move(held));
    }
    if (heldCount > 0)
        logBatchLine(QStringLiteral("Batch pre-pass: holding %1 intra-batch duplicate(s) behind their representative (%2)")
                         .arg(QString::number(heldCount), folderName));
    if (resolvedSynced + resolvedConfirmed > 0) {
        logBatchLine(QStringLiteral("Batch pre-pass resolved: %1 synced, %2 batch-confirmed (%3)")
                         .arg(QString::number(resolvedSynced), QString::number(resolvedConfirmed), folderName));
        saveQuietly();
    }
    // What is settled is never sent: in a chunked first sync its checksum and stamp would only
    // take room until the pass ends, one of each file.
    if (!chunked)
        co_return settled.size();
    for (const QString &path : std::as_const(settled)) {
        m_prePassChecksums.remove(path);
        m_prePassStamps.remove(path);
    }
    m_checksums->forget(settled);
    co_return settled.size();
}

} // namespace quillmere
