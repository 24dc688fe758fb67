// The work queue at 100,000 tracked records of one folder, 10,000 of them owed an upload of a
// real small file (the others synced), against the in-process fake service on loopback, which
// answers at once. Two figures, on the real clock:
//  - dispatch: the lane's dequeue (pick the most urgent due record, mark it syncing, save)
//    taken 10,000 times in a row, as a pass takes them; each timed on its own;
//  - the whole pass: processQueue (pre-pass hashing, batch checks, four slots of uploads)
//    from start to end, in files per second;
//  - beside the pass, in the same run: the minimal client (MinimalClient.h: the same three
//    requests per file, four at a time) sending the same owed files into a fresh fake, timed
//    the same way, and the fake's own ceiling: the minimal client with every file read and
//    hashed before the clock starts, into another fresh fake;
//  - for reference, the client's uploadFile alone, four at a time (no lane, no store), of
//    1,000 other files of the same sizes into the same fake: what the transfers cost.
// The heap is set up as the program sets it up (four arenas, large blocks apart), so the
// peak memory printed includes the in-process fake's bodies.
// Usage: queue_bench [tracked] [owed]   (default 100000 10000)

#include "BenchLane.h"
#include "MinimalClient.h"

#include "Model/SyncFile.h"
#include "Platform/Async/TaskGroup.h"
#include "Platform/Memory/FreedMemory.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace quillmere;
using namespace quillmere::bench;

namespace {

double percentile(std::vector<double> sorted, double p)
{
    if (sorted.empty())
        return 0;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))];
}

double mean(const std::vector<double> &values, size_t from, size_t to)
{
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += values[i];
    return to > from ? sum / double(to - from) : 0;
}

// Writes a small WAV file (1-16 KiB) at the path; returns its size, or -1.
qint64 writeSmallFile(const QString &path, quint32 seed)
{
    const QByteArray bytes = wavBytes(1024 + qsizetype((seed * 2654435761u) % (15 * 1024)), seed);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return -1;
    return bytes.size();
}

QCoro::Task<> uploadOne(std::shared_ptr<LibraryAPIClient> client, FileSyncAPI::UploadRequest request, int *failures)
{
    try {
        auto uploading = client->uploadFile(std::move(request));
        co_await std::move(uploading);
    } catch (const std::exception &) {
        ++*failures;
    }
}

// The files through the client, four at a time, as the queue's slots would send them.
QCoro::Task<> uploadAll(std::shared_ptr<LibraryAPIClient> client, QStringList paths, QString folderID, int *failures)
{
    TaskGroup group(SyncLane::queueSlots);
    for (const QString &path : paths) {
        FileSyncAPI::UploadRequest request;
        request.filePath = path;
        request.drivePath = QStringLiteral("client-alone");
        request.fileUUID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        request.syncFolderID = folderID;
        auto body = [client, request, failures](std::stop_token) { return uploadOne(client, request, failures); };
        co_await group.spawn(std::move(body));
    }
    co_await group.waitForAll();
}

} // namespace

int main(int argc, char **argv)
{
    // The heap as the program sets it up.
    limitHeapArenas(4);
    keepLargeBlocksApart(2 * 1024 * 1024);
    QCoreApplication app(argc, argv);
    const int tracked = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 100'000;
    const int owed = argc > 2 ? std::clamp(QByteArray(argv[2]).toInt(), 1, tracked) : 10'000;
    const int stride = tracked / owed;

    BenchLane bench;
    // Each owed file is sent as the service asks: by its presigned PUT.
    bench.fake.setPresignedUploads(true, true);

    QElapsedTimer timer;
    timer.start();
    const QDateTime anHourAgo = QDateTime::currentDateTimeUtc().addSecs(-3600);
    qint64 owedBytes = 0;
    int written = 0;
    std::vector<MinimalFile> owedFiles; // for the minimal client
    owedFiles.reserve(size_t(owed));
    for (int i = 0; i < tracked; ++i) {
        const QString relative = QStringLiteral("Session %1/Take_%2.wav").arg(i / 100).arg(i);
        const QString path = bench.folderPath + u'/' + relative;
        auto record = std::make_shared<SyncFile>(path, QFileInfo(path).fileName());
        record->setFolderID(bench.folder->stableID());
        record->setLocalModifiedAt(anHourAgo);
        if (i % stride == 0 && written < owed) {
            const qint64 size = writeSmallFile(path, quint32(i));
            if (size < 0) {
                std::printf("cannot write %s\n", qPrintable(path));
                return 1;
            }
            owedBytes += size;
            ++written;
            owedFiles.push_back({QFile::encodeName(path).toStdString(), QFileInfo(path).fileName().toStdString(),
                                 QStringLiteral("Session %1").arg(i / 100).toStdString()});
            record->setFileSize(size);
            record->setSyncStatus(SyncFileStatus::pending);
            record->setDesiredState(SyncFileDesiredState::uploadPending);
        } else {
            record->setFileSize(1 << 20);
            record->setRemoteId(1'000'000 + i);
            record->setLocalChecksum(QString(64, u'0'));
            record->setLastSyncedAt(anHourAgo);
            record->setSyncStatus(SyncFileStatus::synced);
            record->setDesiredState(SyncFileDesiredState::syncedLocal);
        }
        bench.context->insert(std::move(record));
    }
    bench.context->save();
    std::printf("setup: %d records (%d owed, %.1f MiB of files) in %.1f s\n", tracked, written,
                double(owedBytes) / 1048576.0, double(timer.nsecsElapsed()) / 1e9);

    auto lane = bench.makeLane();

    // Dispatch: every owed record taken once, in the pass's order.
    std::vector<double> micros;
    micros.reserve(size_t(written));
    std::vector<std::shared_ptr<SyncFile>> taken;
    taken.reserve(size_t(written));
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        auto record = lane->dequeueDueRecords();
        const auto end = std::chrono::steady_clock::now();
        if (!record)
            break;
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        taken.push_back(std::move(record));
    }
    const size_t n = micros.size();
    std::printf("dispatch: %zu records, %.1f us each (median %.1f, p99 %.1f, worst %.1f; first tenth %.1f, last "
                "tenth %.1f) — goal: mean < 50 us, p99 < 200 us\n",
                n, mean(micros, 0, n), percentile(micros, 0.5), percentile(micros, 0.99),
                n ? *std::max_element(micros.begin(), micros.end()) : 0.0, mean(micros, 0, n / 10),
                mean(micros, n - n / 10, n));
    // Back to owed, as an interrupted pass leaves them.
    for (const auto &record : taken)
        record->setSyncStatus(SyncFileStatus::pending);
    bench.context->save();
    taken.clear();
    lane->setFilesTotalThisPass(0);

    // The whole pass.
    const long peakBefore = peakResidentKiB();
    timer.restart();
    QCoro::waitFor(lane->processQueue({}));
    const double seconds = double(timer.nsecsElapsed()) / 1e9;

    auto syncedRequest = SyncFile::inFolder(bench.folder->stableID());
    syncedRequest.equals(SyncFile::Field::desiredState, SyncFileDesiredState::uploadPending);
    const size_t stillOwed = bench.context->fetch(syncedRequest).size();
    const size_t stored = bench.fake.fileCount(bench.account);
    std::printf("pass: %zu files at the service, %zu still owed, %.2f s: %.0f files/s, %.1f MiB/s — goal >= 2000 "
                "files/s\n",
                stored, stillOwed, seconds, double(stored) / seconds, double(owedBytes) / 1048576.0 / seconds);
    std::printf("peak memory (VmHWM): %ld MiB, %ld MiB before the pass (the fake in this process keeps every body it "
                "receives)\n",
                peakResidentKiB() / 1024, peakBefore / 1024);

    // The minimal client beside the pass, each run into a fake of its own set up as the
    // bench's (presigned PUTs, uncompressed replies).
    const auto minimalInto = [&owedFiles](bool prepared) {
        test::FakeHarborly peer;
        peer.setPresignedUploads(true, true);
        peer.setCompressReplies(false);
        peer.start();
        const qint64 account = peer.addAccount();
        const MinimalService target{peer.baseURL().toString().toStdString(), peer.issueToken(account).toStdString()};
        MinimalRun run = runMinimalClient(target, owedFiles, SyncLane::queueSlots, prepared);
        run.stored = int(peer.fileCount(account));
        return run;
    };
    const MinimalRun minimal = minimalInto(false);
    const double oursRate = double(stored) / seconds;
    const double minimalRate = double(minimal.stored) / minimal.seconds;
    std::printf("minimal client: %d files at the service (%d failed), %.2f s: %.0f files/s; ours/minimal speed %.2f "
                "(goal >= 0.6)\n",
                minimal.stored, minimal.failed, minimal.seconds, minimalRate, oursRate / minimalRate);
    const MinimalRun ceiling = minimalInto(true);
    std::printf("the fake's ceiling (the minimal client's requests alone, every file read and hashed beforehand): %d "
                "files (%d failed), %.2f s: %.0f files/s; ours/ceiling %.2f\n",
                ceiling.stored, ceiling.failed, ceiling.seconds, double(ceiling.stored) / ceiling.seconds,
                oursRate / (double(ceiling.stored) / ceiling.seconds));

    // The client alone, for reference.
    constexpr int aloneCount = 1000;
    QStringList alone;
    qint64 aloneBytes = 0;
    for (int i = 0; i < aloneCount; ++i) {
        alone.append(bench.rootPath + QStringLiteral("/alone/Take_%1.wav").arg(i));
        aloneBytes += writeSmallFile(alone.back(), quint32(tracked + 1 + i));
    }
    int failures = 0;
    timer.restart();
    QCoro::waitFor(uploadAll(bench.client, alone,
                             bench.folder->stableID().toString(QUuid::WithoutBraces).toUpper(), &failures));
    const double aloneSeconds = double(timer.nsecsElapsed()) / 1e9;
    std::printf("client alone: %d files (%d failed), %.2f s: %.0f files/s, %.1f MiB/s\n", aloneCount, failures,
                aloneSeconds, aloneCount / aloneSeconds, double(aloneBytes) / 1048576.0 / aloneSeconds);
    return stored == size_t(written) && stillOwed == 0 ? 0 : 1;
}
