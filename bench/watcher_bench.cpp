// File watcher completeness and latency: creates 10,000 files in a watched tree, half in
// folders that exist when watching starts and half in folders created afterwards, then
// prints how long it took until every file was reported and how many never were.
#include "FileServices/FileWatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    constexpr int total = 10000;
    constexpr int folders = 20;
    QTemporaryDir temp;
    const QString root = temp.path();

    for (int f = 0; f < folders / 2; ++f)
        QDir().mkpath(QStringLiteral("%1/early%2").arg(root).arg(f));

    std::mutex mutex;
    std::condition_variable changed;
    QSet<QString> reported;
    int batches = 0;
    quillmere::FileWatcher watcher([&](const QSet<QString> &paths) {
        std::lock_guard lock(mutex);
        reported.unite(paths);
        ++batches;
        changed.notify_all();
    });
    watcher.start(root);
    // Sub-folders present at start get their watches from the watcher's thread.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    QSet<QString> expected;
    const auto begin = std::chrono::steady_clock::now();
    for (int f = 0; f < folders; ++f) {
        const QString dir = f < folders / 2 ? QStringLiteral("%1/early%2").arg(root).arg(f)
                                            : QStringLiteral("%1/late%2/inner").arg(root).arg(f);
        if (f >= folders / 2)
            QDir().mkpath(dir);
        for (int i = 0; i < total / folders; ++i) {
            const QString path = QStringLiteral("%1/take%2.wav").arg(dir).arg(i);
            const int fd = open(QFile::encodeName(path).constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd >= 0) {
                [[maybe_unused]] const ssize_t written = write(fd, "RIFF", 4);
                close(fd);
            }
            expected.insert(path);
        }
    }
    const auto written = std::chrono::steady_clock::now();

    std::unique_lock lock(mutex);
    const bool complete = changed.wait_for(lock, std::chrono::seconds(15), [&] { return reported.contains(expected); });
    const auto end = std::chrono::steady_clock::now();
    const qsizetype missed = expected.size() - QSet<QString>(expected).intersect(reported).size();
    const int batchCount = batches;
    lock.unlock();
    watcher.stop();

    using ms = std::chrono::duration<double, std::milli>;
    std::printf("files created: %d in %d folders (%d created while watched)\n", total, folders, folders / 2);
    std::printf("writing took: %.0f ms\n", ms(written - begin).count());
    std::printf("all reported after: %s%.0f ms from the first write (%.0f ms after the last; window 500 ms)\n",
                complete ? "" : "NOT COMPLETE, gave up at ", ms(end - begin).count(), ms(end - written).count());
    std::printf("batches: %d, missed: %lld (goal: 0)\n", batchCount, static_cast<long long>(missed));
    return missed == 0 ? 0 : 1;
}
