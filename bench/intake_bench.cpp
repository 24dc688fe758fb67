// The watcher intake at 100,000 tracked records of one folder, on the real clock: the time from
// handing a merged batch to the lane (processDebouncedPaths) until its records are saved.
//  - a batch of 1,000 changes: 500 tracked files modified, 250 new files, 250 tracked files
//    deleted (each deletion proven; the modified files were synced just now, so each is
//    hashed before it counts as changed, the intake's dearest case);
//  - a folder of 10,000 tracked files renamed (the watcher reports the old and the new
//    folder): every record follows, each leaving a move origin for the service's old file.
// Goal: under 1 s each. Usage: intake_bench [tracked]   (default 100000)

#include "BenchLane.h"

#include "Model/LaneQueries.h"
#include "Model/SyncFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

using namespace quillmere;
using namespace quillmere::bench;

namespace {

constexpr int renamedFolderSize = 10'000;
constexpr int modified = 500;
constexpr int created = 250;
constexpr int deleted = 250;

bool writeSmallFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

double timeIntake(SyncLane &lane, const QSet<QString> &paths)
{
    QElapsedTimer timer;
    timer.start();
    QCoro::waitFor(lane.processDebouncedPaths(paths));
    return double(timer.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int tracked = argc > 1 ? std::max(renamedFolderSize + modified + deleted, QByteArray(argv[1]).toInt()) : 100'000;

    BenchLane bench;
    const QUuid folderID = bench.folder->stableID();
    const QDateTime anHourAgo = QDateTime::currentDateTimeUtc().addSecs(-3600);
    QElapsedTimer timer;
    timer.start();
    // Every record synced; files on disk only where the intake looks.
    auto addRecord = [&](const QString &relative, qint64 id, const QDateTime &syncedAt) {
        const QString path = bench.folderPath + u'/' + relative;
        auto record = std::make_shared<SyncFile>(path, QFileInfo(path).fileName());
        record->setFolderID(folderID);
        record->setRemoteId(id);
        record->setLocalChecksum(QString(64, u'0'));
        record->setRemoteChecksum(QString(64, u'0'));
        record->setLastSyncedAt(syncedAt);
        record->setSyncStatus(SyncFileStatus::synced);
        record->setDesiredState(SyncFileDesiredState::syncedLocal);
        bench.context->insert(std::move(record));
        return path;
    };
    QSet<QString> changes;
    qint64 id = 1;
    for (int i = 0; i < renamedFolderSize; ++i) {
        const QString path = addRecord(QStringLiteral("Album/Take_%1.wav").arg(i), id++, anHourAgo);
        if (!writeSmallFile(path, wavBytes(2048, quint32(i)))) {
            std::printf("cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    for (int i = 0; i < modified + deleted; ++i) {
        const QString path = addRecord(QStringLiteral("Changed/Take_%1.wav").arg(i), id++, QDateTime::currentDateTimeUtc());
        if (i < modified && !writeSmallFile(path, wavBytes(2048, quint32(1'000'000 + i))))
            return 1;
        changes.insert(path);
    }
    for (int i = 0; i < created; ++i) {
        const QString path = bench.folderPath + QStringLiteral("/Changed/New_%1.wav").arg(i);
        if (!writeSmallFile(path, wavBytes(2048, quint32(2'000'000 + i))))
            return 1;
        changes.insert(path);
    }
    for (int i = 0; id <= tracked; ++i)
        addRecord(QStringLiteral("Session %1/Take_%2.wav").arg(i / 100).arg(i), id++, anHourAgo);
    bench.context->save();
    std::printf("setup: %lld tracked records, %d files on disk, in %.1f s\n", id - 1,
                renamedFolderSize + modified + created, double(timer.nsecsElapsed()) / 1e9);

    // Not started: the intake alone, no queue pass after it.
    auto lane = bench.makeLane();

    const double batchSeconds = timeIntake(*lane, changes);
    auto owedUploads = SyncFile::inFolder(folderID);
    owedUploads.equals(SyncFile::Field::desiredState, SyncFileDesiredState::uploadPending);
    auto owedDeletes = SyncFile::inFolder(folderID);
    owedDeletes.equals(SyncFile::Field::desiredState, SyncFileDesiredState::deletedRemote);
    const size_t uploads = bench.context->fetch(owedUploads).size();
    const size_t deletes = bench.context->fetch(owedDeletes).size();
    std::printf("batch of %lld changes: %.3f s to records saved (%zu owed uploads, %zu owed deletes) — goal < 1 s\n",
                qint64(changes.size()), batchSeconds, uploads, deletes);

    const QString from = bench.folderPath + QStringLiteral("/Album");
    const QString to = bench.folderPath + QStringLiteral("/Album (final)");
    if (!QDir().rename(from, to)) {
        std::printf("cannot rename %s\n", qPrintable(from));
        return 1;
    }
    const double renameSeconds = timeIntake(*lane, {from, to});
    const size_t moved = fetchRecordsUnderDirectory(*bench.context, folderID, to).size();
    const size_t origins = fetchRecordsUnderDirectory(*bench.context, folderID, from).size();
    std::printf("folder of %d tracked files renamed: %.3f s to records saved (%zu records moved, %zu origins kept) "
                "— goal < 1 s\n",
                renamedFolderSize, renameSeconds, moved, origins);
    std::printf("peak memory (VmHWM): %ld MiB\n", peakResidentKiB() / 1024);

    const bool right = uploads == size_t(modified + created) && deletes == size_t(deleted)
                       && moved == size_t(renamedFolderSize) && origins == size_t(renamedFolderSize);
    return right ? 0 : 1;
}
