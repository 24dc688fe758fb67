// A folder's first sync (activation, full sync, queue) into the fake service, run as a program
// of its own on loopback, for (a) 10,000 small files (1-64 KiB of random bytes, 100
// sub-folders) and (b) 20 files of 50 MiB; prints files/s, MiB/s and the peak memory of the
// client alone (this process; the fake's own beside it). Beside it, in the same run and timed
// the same way: the minimal client (MinimalClient.h: the same three requests per file, four
// files at a time) against a fresh fake, and `rclone copy` of the same tree to `rclone serve
// webdav` on loopback (rclone's default of four transfers, like the queue's four slots), with
// the ratios. Without rclone that peer is skipped.
// Usage: initial_sync_bench [small|large|both] [small count] [large count] [large MiB]
//        (default both 10000 20 50)

#include "BenchLane.h"
#include "FakeProcess.h"
#include "MinimalClient.h"

#include "Platform/Memory/FreedMemory.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <cstdio>
#include <ctime>

using namespace quillmere;
using namespace quillmere::bench;

namespace {

struct Tree
{
    int files = 0;
    qint64 bytes = 0;
};

// Writes the tree under `root`: `count` files of sizes drawn from [minSize, maxSize], 100 to a
// sub-folder, random content (nothing along the way can shortcut it).
Tree writeTree(const QString &root, int count, qint64 minSize, qint64 maxSize, quint32 seed)
{
    QRandomGenerator rng(seed);
    Tree tree;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < count; ++i) {
        const QString folder = root + QStringLiteral("/Session %1").arg(i / 100, 3, 10, QChar(u'0'));
        QDir().mkpath(folder);
        QFile file(folder + QStringLiteral("/Take_%1.wav").arg(i));
        if (!file.open(QIODevice::WriteOnly))
            return {};
        const qint64 size = minSize + qint64(rng.bounded(quint64(maxSize - minSize + 1)));
        for (qint64 left = size; left > 0;) {
            const qint64 piece = std::min<qint64>(left, block.size());
            rng.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
            if (file.write(block.constData(), piece) != piece)
                return {};
            left -= piece;
        }
        ++tree.files;
        tree.bytes += size;
    }
    return tree;
}

Tree countTree(const QString &root)
{
    Tree tree;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++tree.files;
        tree.bytes += it.fileInfo().size();
    }
    return tree;
}

// The peak resident set is reset (Linux 4.0 and later), so each case reports its own.
void resetPeakResident()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

struct Figures
{
    double seconds = 0;
    bool complete = false;
};

Figures syncOurs(const QString &label, int count, qint64 minSize, qint64 maxSize, quint32 seed, Tree *written)
{
    FakeProcess service;
    if (!service.start(QStringLiteral(QUILLMERE_FAKE_SERVICE))) {
        std::printf("%s: the fake service did not start\n", qPrintable(label));
        return {};
    }
    // Every file goes by a presigned PUT, as the service offers (the fake's --bench).
    BenchLane bench(QStringLiteral("Loops"), service.address);
    *written = writeTree(bench.folderPath, count, minSize, maxSize, seed);
    if (written->files != count) {
        std::printf("%s: cannot write the tree\n", qPrintable(label));
        return {};
    }
    // Past the lane's settle window, so no file waits for its writing to settle.
    QThread::msleep(1000);
    auto lane = bench.makeLane();
    // QUILLMERE_BENCH_CHUNK=n: the full sync's chunk size (a size above the file count runs it
    // in one piece, the way to compare with the whole-folder pass).
    if (const int chunk = qEnvironmentVariableIntValue("QUILLMERE_BENCH_CHUNK"); chunk > 0)
        lane->setFullSyncChunkSizeForTesting(chunk);

    resetPeakResident();
    const long before = peakResidentKiB();
    QElapsedTimer timer;
    timespec started{};
    clock_gettime(CLOCK_REALTIME, &started);
    timer.start();
    lane->start();
    const qint64 limit = 30LL * 60 * 1000;
    long stored = 0;
    // The service is asked only once the lane is settled.
    turnUntil([&] {
        if (timer.elapsed() > limit)
            return true;
        if (!lane->isSettled())
            return false;
        stored = service.libraryFileCount();
        return stored >= count;
    });
    Figures figures;
    figures.seconds = double(timer.nsecsElapsed()) / 1e9;
    figures.complete = stored == count;
    const long peak = peakResidentKiB();
    lane->stop();
    const qint64 firstUpload = service.firstUploadNs();
    const qint64 startedNs = qint64(started.tv_sec) * 1'000'000'000 + started.tv_nsec;

    const double mib = double(written->bytes) / 1048576.0;
    std::printf("%s ours: %ld of %d files at the service in %.2f s: %.0f files/s, %.1f MiB/s\n", qPrintable(label),
                stored, count, figures.seconds, double(stored) / figures.seconds, mib / figures.seconds);
    std::printf("%s ours: peak memory of the client alone (VmHWM of this process) %ld MiB, %ld MiB at the start; "
                "the fake, in its own process, peaked at %ld MiB (%.0f MiB sent in all)\n",
                qPrintable(label), peak / 1024, before / 1024, service.peakResidentKiB() / 1024, mib);
    if (firstUpload > 0)
        std::printf("%s ours: first file's bytes at the service %.3f s after the lane's start (goal < 0.1 s for "
                    "small files)\n",
                    qPrintable(label), double(firstUpload - startedNs) / 1e9);
    else
        std::printf("%s ours: no file's bytes reached the service\n", qPrintable(label));
    return figures;
}

// The minimal client over the tree at `root` into a fresh fake; its time, 0 when it failed.
double syncMinimal(const QString &label, const QString &root, const Tree &tree)
{
    FakeProcess service;
    if (!service.start(QStringLiteral(QUILLMERE_FAKE_SERVICE))) {
        std::printf("%s minimal: the fake service did not start; peer skipped\n", qPrintable(label));
        return 0;
    }
    std::vector<MinimalFile> files;
    QDirIterator it(root, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        files.push_back({QFile::encodeName(it.filePath()).toStdString(), it.fileName().toStdString(),
                         QDir(root).relativeFilePath(it.fileInfo().path()).toStdString()});
    }
    const MinimalService target{service.address.baseURL.toString().toStdString(), service.address.token.toStdString()};
    const MinimalRun run = runMinimalClient(target, files);
    const long stored = service.libraryFileCount();
    const double mib = double(tree.bytes) / 1048576.0;
    std::printf("%s minimal: %ld of %d files at the service (%d failed) in %.2f s: %.0f files/s, %.1f MiB/s\n",
                qPrintable(label), stored, tree.files, run.failed, run.seconds, double(stored) / run.seconds,
                mib / run.seconds);
    return stored == tree.files ? run.seconds : 0;
}

int freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

bool waitForListening(int port, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(port));
        if (socket.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

// rclone copy of the tree to rclone serve webdav on loopback; 0 when rclone is missing or fails.
double syncRclone(const QString &label, const QString &rclone, const QString &source, const Tree &tree)
{
    QTemporaryDir target;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // No configuration of the user's is read or written.
    environment.insert(QStringLiteral("RCLONE_CONFIG"), target.filePath(QStringLiteral("rclone.conf")));
    const QString served = target.filePath(QStringLiteral("served"));
    QDir().mkpath(served);
    const int port = freePort();
    QProcess server;
    server.setProcessEnvironment(environment);
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.setStandardOutputFile(QProcess::nullDevice());
    server.start(rclone, {QStringLiteral("serve"), QStringLiteral("webdav"), served, QStringLiteral("--addr"),
                          QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("--log-level"),
                          QStringLiteral("ERROR")});
    if (!server.waitForStarted() || !waitForListening(port, 10'000)) {
        std::printf("%s rclone: serve webdav did not start; peer skipped\n", qPrintable(label));
        server.kill();
        server.waitForFinished();
        return 0;
    }

    QElapsedTimer timer;
    timer.start();
    QProcess copy;
    copy.setProcessEnvironment(environment);
    copy.setProcessChannelMode(QProcess::ForwardedChannels);
    copy.start(rclone, {QStringLiteral("copy"), source, QStringLiteral(":webdav:"), QStringLiteral("--webdav-url"),
                        QStringLiteral("http://127.0.0.1:%1").arg(port), QStringLiteral("--log-level"),
                        QStringLiteral("ERROR")});
    copy.waitForFinished(-1);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    server.terminate();
    if (!server.waitForFinished(5000)) {
        server.kill();
        server.waitForFinished();
    }
    const Tree arrived = countTree(served);
    const double mib = double(tree.bytes) / 1048576.0;
    if (copy.exitStatus() != QProcess::NormalExit || copy.exitCode() != 0 || arrived.files != tree.files) {
        std::printf("%s rclone: copy failed (exit %d, %d of %d files arrived); peer skipped\n", qPrintable(label),
                    copy.exitCode(), arrived.files, tree.files);
        return 0;
    }
    std::printf("%s rclone: %d files in %.2f s: %.0f files/s, %.1f MiB/s\n", qPrintable(label), arrived.files,
                seconds, double(arrived.files) / seconds, mib / seconds);
    return seconds;
}

void runCase(const QString &label, int count, qint64 minSize, qint64 maxSize, quint32 seed, double rcloneGoal,
             double minimalGoal)
{
    Tree tree;
    const Figures ours = syncOurs(label, count, minSize, maxSize, seed, &tree);
    if (tree.files == 0)
        return;
    if (!ours.complete)
        std::printf("%s ours: INCOMPLETE\n", qPrintable(label));
    // The same tree again (the same seed), in a folder of its own, for the peers.
    QTemporaryDir source;
    if (writeTree(source.path(), count, minSize, maxSize, seed).bytes != tree.bytes)
        return;
    const double minimal = syncMinimal(label, source.path(), tree);
    if (minimal > 0 && ours.seconds > 0)
        std::printf("%s: ours/minimal speed %.2f%s\n", qPrintable(label), minimal / ours.seconds,
                    minimalGoal > 0 ? qPrintable(QStringLiteral(" (goal >= %1)").arg(minimalGoal)) : "");
    const QString rclone = QStandardPaths::findExecutable(QStringLiteral("rclone"));
    if (rclone.isEmpty()) {
        std::printf("%s rclone: not installed (apt-get install rclone); peer skipped\n", qPrintable(label));
        return;
    }
    const double theirs = syncRclone(label, rclone, source.path(), tree);
    if (theirs > 0 && ours.seconds > 0)
        std::printf("%s: ours/rclone speed %.2f (goal >= %.1f)\n", qPrintable(label), theirs / ours.seconds, rcloneGoal);
}

} // namespace

int main(int argc, char **argv)
{
    // The client's heap as the program sets it up.
    limitHeapArenas(4);
    keepLargeBlocksApart(2 * 1024 * 1024);
    QCoreApplication app(argc, argv);
    const QByteArray which = argc > 1 ? QByteArray(argv[1]) : QByteArray("both");
    const int smallCount = argc > 2 ? std::max(1, QByteArray(argv[2]).toInt()) : 10'000;
    const int largeCount = argc > 3 ? std::max(1, QByteArray(argv[3]).toInt()) : 20;
    const qint64 largeMiB = argc > 4 ? std::max(1LL, QByteArray(argv[4]).toLongLong()) : 50;

    if (which == "small" || which == "both")
        runCase(QStringLiteral("(a) %1 small files").arg(smallCount), smallCount, 1024, 64 * 1024, 11, 3.0, 0.6);
    if (which == "large" || which == "both")
        runCase(QStringLiteral("(b) %1 x %2 MiB").arg(largeCount).arg(largeMiB), largeCount, largeMiB << 20,
                largeMiB << 20, 12, 1.2, 0);
    return 0;
}
