#include "Lane/SyncLane.h"

#include "Accounts/DeviceIdentity.h"
#include "ActivityLog/SyncLogger.h"
#include "FileServices/FileTypes.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"

namespace quillmere {

namespace {

void logDedupLine(const QString &detail)
{
    SyncLogger::shared().log(SyncLogger::Event::deltaSync, SyncLogger::Direction::none, QString(), detail);
}

} // namespace

std::optional<FileSyncAPI::BatchDedupConfirmEntry> SyncLane::dedupConfirmEntry(const SyncFile &record,
                                                                               const QString &checksum) const
{
    // The size announced is the one the file had when its content was hashed.
    const auto stamp = fileStamp(record.localPath());
    if (!stamp)
        return std::nullopt;
    const QString drivePath = drivePathKey(record.localPath());
    return FileSyncAPI::BatchDedupConfirmEntry{checksum,
                                               record.filename(),
                                               stamp->size,
                                               mimeTypeForPath(record.localPath()),
                                               drivePath.isEmpty() ? std::nullopt : std::optional<QString>(drivePath),
                                               record.fileUUID(),
                                               std::nullopt,
                                               std::nullopt};
}

QCoro::Task<> SyncLane::confirmHeldDuplicates(QString checksum, std::stop_token stop)
{
    const auto group = m_heldDuplicates.constFind(checksum);
    if (group == m_heldDuplicates.cend())
        co_return;
    const QList<QPair<QString, qint64>> held = *group;
    const quint64 epoch = m_epoch;
    const std::weak_ptr<SyncLane> weak = weak_from_this();

    // The group stays held, its representative active, until the reply is in: a file the queue
    // sent meanwhile could also be confirmed as a pointer, and the service would hold it twice.
    auto release = [this, &checksum] {
        m_heldDuplicates.remove(checksum);
        m_activeRepresentatives.remove(checksum);
    };

    struct Candidate
    {
        QString localPath;
        qint64 generation = 0;
        ConfirmationTarget target;
    };
    const SyncFolderType kind = syncFolder()->folderType();
    const bool planMirror = syncFolder()->policy().mirrorsPlanLayout;
    qsizetype candidates = 0;
    QList<Candidate> sent;
    QList<FileSyncAPI::BatchDedupConfirmEntry> entries;
    for (const auto &[path, generation] : held) {
        const auto record = planMirror ? nullptr : fetchRecord(path);
        if (!record || !isAsPrePassed(*record, generation))
            continue;
        ++candidates;
        if (auto entry = dedupConfirmEntry(*record, checksum)) {
            entries.append(std::move(*entry));
            sent.append({path, generation, {checksum, drivePathKey(path), record->filename()}});
        }
    }
    if (entries.isEmpty()) {
        release();
        co_return;
    }

    // Each pointer is a new file's first upload at its place: in a two-way folder it stands
    // only on a read of the feed asked after the content it points to was confirmed. A place
    // another device's file holds now is left to the file's own upload, which meets that
    // version; every one is when the feed cannot be read.
    if (syncFolder()->policy().appliesRemoteInFullSync) {
        const quint64 confirmedAt = m_learnings;
        try {
            auto reading = readServiceState(epoch, stop, confirmedAt);
            co_await std::move(reading);
        } catch (const CancelledError &) {
        }
        const auto alive = weak.lock();
        if (!alive || !isCurrent(epoch, stop))
            co_return;
        for (qsizetype i = sent.size() - 1; i >= 0; --i)
            if (placeTakenOnRead(sent[i].localPath)) {
                sent.removeAt(i);
                entries.removeAt(i);
            }
        if (entries.isEmpty()) {
            release();
            logDedupLine(QStringLiteral("Intra-batch dedup: %1 duplicate(s) left to their own uploads (%2)")
                             .arg(QString::number(candidates), syncFolder()->name()));
            co_return;
        }
    }

    const QString folderName = syncFolder()->name();
    const QString folderUUID = laneID().toString(QUuid::WithoutBraces).toUpper();
    const std::shared_ptr<FileSyncAPI> api = m_apiClient;
    const QString deviceID = DeviceIdentity::deviceID();
    FileSyncAPI::BatchDedupConfirmResult reply;
    try {
        auto confirming = api->dedupConfirmBatch(folderUUID, kind, std::move(entries), deviceID, std::nullopt, stop);
        reply = co_await std::move(confirming);
    } catch (const std::exception &error) {
        const auto alive = weak.lock();
        // A stopped lane has moved on: what it holds now may be another pass's.
        if (!alive || !isCurrent(epoch, stop))
            co_return;
        release();
        logDedupLine(QStringLiteral("Intra-batch dedup confirm unavailable — releasing %1 for per-file dispatch (%2)")
                         .arg(QString::number(candidates), QString::fromUtf8(error.what())));
        co_return;
    }
    const auto alive = weak.lock();
    if (!alive || !isCurrent(epoch, stop))
        co_return;
    release();

    QList<ConfirmationTarget> targets;
    for (const auto &candidate : sent)
        targets.append(candidate.target);
    const auto matched = matchConfirmedEntries(reply.confirmed, targets);
    qsizetype confirmed = 0;
    for (qsizetype i = 0; i < sent.size(); ++i) {
        if (!matched[i])
            continue;
        const auto record = fetchRecord(sent[i].localPath);
        if (!record || !isAsPrePassed(*record, sent[i].generation))
            continue;
        record->setLfsOid(checksum);
        record->setLastSyncedAt(m_clock.currentDateTime());
        markConfirmed(*record, checksum, *matched[i]);
        ++confirmed;
    }
    if (confirmed > 0) {
        logDedupLine(QStringLiteral("Intra-batch dedup: %1 duplicate(s) confirmed as pointer writes (%2)")
                         .arg(QString::number(confirmed), folderName));
        saveQuietly();
    }
}

} // namespace quillmere
