#include "FileServices/ChecksumCache.h"

#include "FileServices/FileChecksum.h"
#include "FileServices/FileScan.h"
#include "Platform/Async/Background.h"
#include "Platform/Async/CancelledError.h"

#include <QFile>

#include <atomic>
#include <exception>
#include <vector>

#include <sys/stat.h>

namespace quillmere {

std::optional<FileStamp> regularFileStamp(const QString &path)
{
    struct stat status{};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return FileStamp::of(status);
}

std::optional<FileStamp> regularFileStampBelow(const QString &root, const QString &path)
{
    if (localPresence(root, path) != LocalPresence::present)
        return std::nullopt;
    struct stat folder{};
    if (::stat(QFile::encodeName(normalizedPath(root)).constData(), &folder) != 0)
        return std::nullopt;
    const auto stamp = regularFileStamp(path);
    if (!stamp || stamp->device != quint64(folder.st_dev))
        return std::nullopt;
    return stamp;
}

ChecksumCache::ChecksumCache(HashFunction hash)
    : m_hash(hash ? std::move(hash)
                  : HashFunction([](const QString &path, std::stop_token stop) {
                        return computeFileChecksumSync(path, std::move(stop));
                    }))
{
}

std::optional<StampedChecksum> ChecksumCache::checksum(const QString &path, const std::stop_token &stop)
{
    throwIfStopped(stop);
    const auto before = regularFileStamp(path);
    if (!before) {
        std::lock_guard lock(m_mutex);
        m_entries.remove(path);
        return std::nullopt;
    }
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_entries.constFind(path);
        if (found != m_entries.cend() && found->stamp == *before)
            return *found;
    }
    QString checksum;
    try {
        checksum = m_hash(path, stop);
    } catch (const FileChecksumError &) {
        return std::nullopt;
    }
    // The hash describes one version only when the file kept its stamp while it was read.
    const auto after = regularFileStamp(path);
    std::lock_guard lock(m_mutex);
    if (!after || *after != *before) {
        m_entries.remove(path);
        return std::nullopt;
    }
    StampedChecksum taken{std::move(checksum), *after};
    m_entries.insert(path, taken);
    return taken;
}

std::optional<StampedChecksum> ChecksumCache::held(const QString &path) const
{
    std::lock_guard lock(m_mutex);
    const auto found = m_entries.constFind(path);
    if (found == m_entries.cend())
        return std::nullopt;
    return *found;
}

void ChecksumCache::forget(const QStringList &paths)
{
    std::lock_guard lock(m_mutex);
    for (const QString &path : paths)
        m_entries.remove(path);
}

void ChecksumCache::clear()
{
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

namespace {

// What the workers of one call share; held by each of them, so a caller that goes away
// mid-way leaves nothing dangling.
struct ConcurrentHashing
{
    ConcurrentHashing(std::shared_ptr<ChecksumCache> cache, QStringList paths, std::stop_token stop)
        : cache(std::move(cache)), paths(std::move(paths)), stop(std::move(stop)), results(std::size_t(this->paths.size()))
    {
    }

    const std::shared_ptr<ChecksumCache> cache;
    // Only ever read (a detach of a list that is still shared is a write): several workers
    // read it at once.
    const QStringList paths;
    const std::stop_token stop;
    std::atomic<qsizetype> next{0};
    std::vector<std::optional<StampedChecksum>> results;
};

void hashUntilDone(const std::shared_ptr<ConcurrentHashing> &shared)
{
    for (;;) {
        const qsizetype index = shared->next.fetch_add(1);
        if (index >= shared->paths.size())
            return;
        // Each slot is written by the one worker that took its index.
        shared->results[std::size_t(index)] = shared->cache->checksum(shared->paths.at(index), shared->stop);
    }
}

} // namespace

QCoro::Task<QList<std::optional<StampedChecksum>>> checksumsConcurrently(std::shared_ptr<ChecksumCache> cache,
                                                                         QStringList paths, std::stop_token stop,
                                                                         int workers)
{
    auto shared = std::make_shared<ConcurrentHashing>(std::move(cache), std::move(paths), std::move(stop));

    const qsizetype count = std::min<qsizetype>(std::max(workers, 1), shared->paths.size());
    std::vector<QCoro::Task<void>> running;
    running.reserve(std::size_t(count));
    for (qsizetype i = 0; i < count; ++i) {
        auto work = [shared] { hashUntilDone(shared); };
        running.push_back(runInBackground(std::move(work)));
    }
    // Every worker is awaited, even after one failed: none is left running on a stopped call.
    std::exception_ptr failure;
    for (auto &worker : running) {
        try {
            co_await std::move(worker);
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
            // The other workers end at their next file too.
            shared->next.store(shared->paths.size());
        }
    }
    if (failure)
        std::rethrow_exception(failure);
    co_return QList<std::optional<StampedChecksum>>(shared->results.begin(), shared->results.end());
}

} // namespace quillmere
