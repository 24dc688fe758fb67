// Times the verified local copy an upload makes before (or while) sending: copy and SHA-256 in
// one pass, as copyFileHashing does it, beside a plain read+hash and a plain cp of the same file.
// Usage: copy_bench [MiB] [runs]   (default 1024 MiB, 3 runs)

#include "ServiceAPI/TransferFiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

using namespace quillmere;

namespace {

double mibPerSecond(qint64 bytes, const QElapsedTimer &timer)
{
    return double(bytes) / (1024.0 * 1024.0) / (double(timer.nsecsElapsed()) / 1e9);
}

void runQuietly(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    process.waitForFinished(-1);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const int runs = argc > 2 ? QByteArray(argv[2]).toInt() : 3;
    const qint64 size = mib * 1024 * 1024;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.bin"));
    {
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < block.size(); ++i)
            block[i] = char((i * 2654435761u) >> 24);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        for (qint64 i = 0; i < mib; ++i) {
            block[0] = char(i);
            file.write(block);
        }
    }

    const QString copy = dir.filePath(QStringLiteral("copy.bin"));
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        const CopiedFile copied = copyFileHashing(path, copy, {});
        const double ours = mibPerSecond(size, timer);
        QFile::remove(copy);

        timer.restart();
        runQuietly(QStringLiteral("cp"), {path, copy});
        const double cp = mibPerSecond(size, timer);
        QFile::remove(copy);

        timer.restart();
        runQuietly(QStringLiteral("sha256sum"), {path});
        const double sum = mibPerSecond(size, timer);
        std::printf("copy+hash: %.0f MiB/s (%lld bytes); cp: %.0f MiB/s; sha256sum: %.0f MiB/s\n", ours,
                    static_cast<long long>(copied.size), cp, sum);
    }
    return 0;
}
