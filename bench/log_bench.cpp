// The activity log's cost per line, as a pass pays it: three lines per synced file (the start,
// the transfer with its file name, the completion), written on the main thread. Prints the
// time and the heap allocations of one SyncLogger::log() call, and apart from it the line's
// formatting alone. Where no system logger listens (a container) the lines go to standard
// error: run it with 2>/dev/null, or the terminal is what is timed.
// Usage: log_bench [files]   (default 100000)

#include "ActivityLog/SyncLogger.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

// Every heap allocation of the process is counted: glibc's own allocator is called through
// its exported names, this program's malloc stands in front of it.
namespace {
std::atomic<long long> allocations{0};
}

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *pointer, std::size_t size);

void *malloc(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

void *calloc(std::size_t count, std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

void *realloc(void *pointer, std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}
}

using namespace quillmere;
using Clock = std::chrono::steady_clock;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int files = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 100'000;
    auto &logger = SyncLogger::shared();

    // The names and details built beforehand: the lane builds them whether or not it logs.
    QStringList names, started, completed, ids;
    for (int i = 0; i < 1000; ++i) {
        names.append(QStringLiteral("Take_%1.wav").arg(i));
        started.append(QStringLiteral("→ uploadPending ") + names.back());
        completed.append(QStringLiteral("✓ ") + names.back());
        ids.append(QStringLiteral("id:%1").arg(1'000'000 + i));
    }
    const auto writeFile = [&](int i) {
        const int k = i % 1000;
        logger.log(SyncLogger::Event::syncStarted, SyncLogger::Direction::none, QString(), started.at(k));
        logger.log(SyncLogger::Event::fileUploaded, SyncLogger::Direction::upload, names.at(k), ids.at(k));
        logger.log(SyncLogger::Event::syncCompleted, SyncLogger::Direction::none, QString(), completed.at(k));
    };
    for (int i = 0; i < 2000; ++i) // warm: the list full, the locale's formats read
        writeFile(i);

    const long long allocationsBefore = allocations.load();
    const auto start = Clock::now();
    for (int i = 0; i < files; ++i)
        writeFile(i);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long long lines = 3LL * files;
    const double perLine = double(allocations.load() - allocationsBefore) / double(lines);
    std::printf("log(): %lld lines, %.0f ns per line, %.1f heap allocations per line (%.2f s in all)\n", lines,
                seconds * 1e9 / double(lines), perLine, seconds);

    // The formatting alone, of entries as the list holds them.
    const auto &entries = logger.entries();
    const long long formatAllocationsBefore = allocations.load();
    const auto formatStart = Clock::now();
    qsizetype characters = 0;
    int formatted = 0;
    for (int round = 0; round < std::max(1, files / 100); ++round) {
        for (const auto &entry : entries) {
            characters += entry.formattedLine().size();
            ++formatted;
        }
    }
    const double formatSeconds = std::chrono::duration<double>(Clock::now() - formatStart).count();
    std::printf("formattedLine(): %d lines, %.0f ns per line, %.1f heap allocations per line (%lld characters)\n",
                formatted, formatSeconds * 1e9 / formatted,
                double(allocations.load() - formatAllocationsBefore) / formatted, static_cast<long long>(characters));
    return 0;
}
