// Recursive scan throughput: scan_bench DIR, or scan_bench [--make N] to build a tree of N
// files in a temporary folder first. Reports a cold-ish first pass and the best warm pass.
#include "FileServices/FileScan.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Roughly the shape of a sound library: folders of a few hundred files, two levels deep.
void makeTree(const QString &root, int files)
{
    constexpr int perFolder = 250;
    for (int i = 0; i < files; ++i) {
        const int folder = i / perFolder;
        const QString dir = QStringLiteral("%1/Pack%2/Kit%3").arg(root).arg(folder / 10).arg(folder);
        if (i % perFolder == 0)
            QDir().mkpath(dir);
        const QByteArray path = QFile::encodeName(QStringLiteral("%1/sample%2.wav").arg(dir).arg(i));
        const int fd = open(path.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
    }
}

double secondsToScan(const QString &root, qsizetype &count)
{
    const auto begin = std::chrono::steady_clock::now();
    QStringList out;
    QStringList unreadable;
    quillmere::scanDirectoryRecursively(root, out, unreadable);
    count = out.size();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QTemporaryDir temp;
    QString root;
    if (args.size() >= 1 && args[0] != QLatin1String("--make")) {
        root = args[0];
    } else {
        const int files = args.size() >= 2 ? args[1].toInt() : 100000;
        root = temp.path();
        std::printf("creating %d files in %s\n", files, qPrintable(root));
        makeTree(root, files);
    }

    qsizetype count = 0;
    const double first = secondsToScan(root, count);
    std::printf("first pass: %lld files in %.3f s = %.0f files/s\n", static_cast<long long>(count), first,
                count / first);
    double best = first;
    for (int i = 0; i < 5; ++i)
        best = std::min(best, secondsToScan(root, count));
    std::printf("warm (best of 5): %lld files in %.3f s = %.0f files/s (goal: 50000 files/s)\n",
                static_cast<long long>(count), best, count / best);
    return 0;
}
