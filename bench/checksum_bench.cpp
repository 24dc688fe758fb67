// Usage: checksum_bench FILE [RUNS]
// Prints the SHA-256 of FILE and the throughput of the blocking checksum, best of RUNS
// (default 3) passes. Run it on a warm cache next to `openssl dgst -sha256 FILE`.
#include "FileServices/FileChecksum.h"

#include <QFileInfo>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const double mib = double(QFileInfo(path).size()) / (1024.0 * 1024.0);

    QString digest;
    double best = 0;
    try {
        for (int i = 0; i < runs; ++i) {
            const auto start = std::chrono::steady_clock::now();
            digest = quillmere::computeFileChecksumSync(path);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            const double rate = mib / took.count();
            std::printf("run %d: %.3f s, %.1f MiB/s\n", i + 1, took.count(), rate);
            best = std::max(best, rate);
        }
    } catch (const quillmere::FileChecksumError &e) {
        std::fprintf(stderr, "%s (errno %d)\n", e.what(), e.errorNumber());
        return 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("sha256 %s\n", qPrintable(digest));
    std::printf("size %.1f MiB, best %.1f MiB/s\n", mib, best);
    return 0;
}
