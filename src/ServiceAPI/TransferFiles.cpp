#include "ServiceAPI/TransferFiles.h"

#include "Platform/Async/CancelledError.h"
#include "Platform/Files/Sha256Digest.h"
#include "Platform/Http/LocalFileError.h"
#include "ServiceAPI/LibraryAPIClient.h"

#include <QFile>
#include <QThreadPool>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <new>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

namespace {

// Large blocks keep the hash and the system calls efficient; three of them let one be read
// and hashed while another is written.
constexpr std::size_t kCopyChunk = 2 * 1024 * 1024;
constexpr int kCopyBuffers = 3;
constexpr qint64 kWritebackStep = 8 * 1024 * 1024;
constexpr std::size_t kKernelStep = 8 * 1024 * 1024;

struct Descriptor
{
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

int openRetrying(const QByteArray &path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path.constData(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A copy block mapped straight from the kernel and given back when it goes. Blocks of this size
// from malloc would, once one was freed, come from the arena of whichever pool thread asked and
// stay there: with copies spread over many threads, each arena would keep blocks of its own.
class PageBuffer
{
public:
    explicit PageBuffer(std::size_t size) : m_size(size)
    {
        void *mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            throw std::bad_alloc();
        m_data = static_cast<unsigned char *>(mapped);
    }
    ~PageBuffer() { ::munmap(m_data, m_size); }
    PageBuffer(const PageBuffer &) = delete;
    PageBuffer &operator=(const PageBuffer &) = delete;

    unsigned char *get() const { return m_data; }

private:
    unsigned char *m_data = nullptr;
    std::size_t m_size;
};

// The second hand of a copy (writing behind it, or copying in the kernel ahead of its hash)
// runs on a worker of a pool kept for them: a copy starts no thread of its own. The copy
// itself runs on the global pool, so a helper never waits for a worker its copy holds.
QThreadPool &helperPool()
{
    static QThreadPool *const pool = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(32);
        return created;
    }();
    return *pool;
}

// One piece of work on the helper pool; join() waits until it has ended. It must be joined
// before anything it uses goes away.
class PooledHelper
{
public:
    explicit PooledHelper(std::function<void()> work) : m_state(std::make_shared<State>())
    {
        auto job = [state = m_state, work = std::move(work)] {
            work();
            {
                std::lock_guard lock(state->mutex);
                state->done = true;
            }
            state->ended.notify_all();
        };
        helperPool().start(std::move(job));
    }
    PooledHelper(const PooledHelper &) = delete;
    PooledHelper &operator=(const PooledHelper &) = delete;

    void join()
    {
        std::unique_lock lock(m_state->mutex);
        m_state->ended.wait(lock, [this] { return m_state->done; });
    }

private:
    struct State
    {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
    };
    std::shared_ptr<State> m_state;
};

void writeAll(int fd, const unsigned char *data, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw LocalFileError(errno);
        }
        data += n;
        length -= std::size_t(n);
    }
}

// Writes the copy on a helper, so reading and hashing the next block overlaps
// writing the last one. The blocks rotate through a fixed set of buffers: the reader waits for
// a free one, so memory stays bounded whatever the disk does.
class WriteBehind
{
public:
    WriteBehind(int fd, const CopyProgress &written)
        : m_fd(fd), m_written(written)
    {
        for (int i = 0; i < kCopyBuffers; ++i) {
            m_buffers.push_back(std::make_unique<PageBuffer>(kCopyChunk));
            m_free.push_back(m_buffers.back()->get());
        }
        m_helper.emplace([this] { run(); });
    }

    ~WriteBehind()
    {
        {
            std::lock_guard lock(m_mutex);
            m_closing = true;
        }
        m_changed.notify_all();
        m_helper->join();
    }

    WriteBehind(const WriteBehind &) = delete;
    WriteBehind &operator=(const WriteBehind &) = delete;

    // A buffer to read the next block into; the writer's failure, if any, instead.
    unsigned char *take()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_free.empty() || m_error != 0; });
        if (m_error != 0)
            throw LocalFileError(m_error);
        unsigned char *buffer = m_free.front();
        m_free.pop_front();
        return buffer;
    }

    void giveBack(unsigned char *buffer)
    {
        {
            std::lock_guard lock(m_mutex);
            m_free.push_back(buffer);
        }
        m_changed.notify_all();
    }

    void submit(unsigned char *buffer, std::size_t length)
    {
        {
            std::lock_guard lock(m_mutex);
            m_pending.emplace_back(buffer, length);
        }
        m_changed.notify_all();
    }

    // Waits until every submitted block is written.
    void drain()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return (m_pending.empty() && !m_busy) || m_error != 0; });
        if (m_error != 0)
            throw LocalFileError(m_error);
    }

private:
    void run()
    {
        qint64 total = 0;
        qint64 flushed = 0;
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return !m_pending.empty() || m_closing; });
            if (m_pending.empty())
                return;
            const auto [buffer, length] = m_pending.front();
            m_pending.pop_front();
            if (m_error != 0) {
                m_free.push_back(buffer);
                continue;
            }
            m_busy = true;
            lock.unlock();
            int error = 0;
            try {
                writeAll(m_fd, buffer, length);
                total += qint64(length);
                // Start writeback early, as the download path does: a copy of gigabytes
                // otherwise piles up dirty pages until the kernel throttles every writer.
                if (total - flushed >= kWritebackStep) {
                    ::sync_file_range(m_fd, flushed, total - flushed, SYNC_FILE_RANGE_WRITE);
                    flushed = total;
                }
                if (m_written)
                    m_written(total);
            } catch (const LocalFileError &failure) {
                error = failure.errorNumber() != 0 ? failure.errorNumber() : EIO;
            } catch (...) {
                error = EIO;
            }
            lock.lock();
            m_busy = false;
            if (error != 0)
                m_error = error;
            m_free.push_back(buffer);
            m_changed.notify_all();
        }
    }

    const int m_fd;
    const CopyProgress &m_written;
    std::vector<std::unique_ptr<PageBuffer>> m_buffers;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<unsigned char *> m_free;
    std::deque<std::pair<unsigned char *, std::size_t>> m_pending;
    bool m_busy = false;
    bool m_closing = false;
    int m_error = 0;
    std::optional<PooledHelper> m_helper; // last: it runs on the members above
};

// The kernel copies the file (no trip through our memory; a reflink where the file system
// can), and the copy's own bytes are read back and hashed: what is hashed is exactly what the
// copy holds. Copying the next stretch overlaps hashing the last. Returns nothing when the
// file system cannot copy this way, before anything was written.
std::optional<CopiedFile> copyInKernel(int in, int out, const std::stop_token &stop, const CopyProgress &written)
{
    struct Shared
    {
        std::mutex mutex;
        std::condition_variable changed;
        qint64 copied = 0;
        bool done = false;
        bool quit = false;
        int error = 0;
    } shared;

    Sha256Digest digest;

    // The first stretch on this thread: when the kernel refuses, the caller copies by hand.
    ssize_t first;
    do {
        first = ::copy_file_range(in, nullptr, out, nullptr, kKernelStep, 0);
    } while (first < 0 && errno == EINTR);
    if (first < 0) {
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF)
            return std::nullopt;
        throw LocalFileError(errno);
    }
    shared.copied = first;
    shared.done = first == 0;
    if (written && first > 0)
        written(first);

    PooledHelper copier([&] {
        std::unique_lock lock(shared.mutex);
        while (!shared.done && !shared.quit) {
            lock.unlock();
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kKernelStep, 0);
            const int error = n < 0 ? errno : 0;
            if (n > 0 && written)
                written(shared.copied + n); // only this thread changes `copied` now
            lock.lock();
            if (n < 0 && error != EINTR) {
                shared.error = error;
                shared.done = true;
            } else if (n == 0) {
                shared.done = true;
            } else if (n > 0) {
                shared.copied += n;
            }
            shared.changed.notify_all();
        }
    });
    struct Joiner
    {
        Shared &shared;
        PooledHelper &helper;
        ~Joiner()
        {
            {
                std::lock_guard lock(shared.mutex);
                shared.quit = true;
            }
            helper.join();
        }
    } joiner{shared, copier};

    const PageBuffer buffer(kCopyChunk);
    CopiedFile copied;
    for (;;) {
        throwIfStopped(stop);
        qint64 available;
        {
            std::unique_lock lock(shared.mutex);
            shared.changed.wait(lock, [&] { return shared.copied > copied.size || shared.done; });
            if (shared.error != 0)
                throw LocalFileError(shared.error);
            available = shared.copied;
            if (available == copied.size && shared.done)
                break;
        }
        const std::size_t want = std::size_t(std::min<qint64>(available - copied.size, qint64(kCopyChunk)));
        const ssize_t n = ::pread(out, buffer.get(), want, copied.size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw LocalFileError(errno);
        }
        if (n == 0)
            throw LocalFileError(EIO); // the copy is shorter than what was copied into it
        digest.add(buffer.get(), std::size_t(n));
        copied.size += n;
    }
    copied.sha256 = QString::fromLatin1(digest.finishHex());
    return copied;
}

CopiedFile copyInto(int in, int out, const std::stop_token &stop, const CopyProgress &written)
{
    Sha256Digest digest;
    WriteBehind writer(out, written);
    CopiedFile copied;
    for (;;) {
        throwIfStopped(stop);
        unsigned char *buffer = writer.take();
        // The block goes to the writer only once hashed: the bytes written are the bytes hashed.
        std::size_t filled = 0;
        while (filled < kCopyChunk) {
            const ssize_t n = ::read(in, buffer + filled, kCopyChunk - filled);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                const int error = errno;
                writer.giveBack(buffer);
                throw LocalFileError(error);
            }
            if (n == 0)
                break;
            filled += std::size_t(n);
        }
        if (filled == 0) {
            writer.giveBack(buffer);
            break;
        }
        try {
            digest.add(buffer, filled);
        } catch (...) {
            writer.giveBack(buffer);
            throw;
        }
        writer.submit(buffer, filled);
        copied.size += qint64(filled);
    }
    writer.drain();
    copied.sha256 = QString::fromLatin1(digest.finishHex());
    return copied;
}

} // namespace

CopiedFile copyFileHashing(const QString &source, const QString &destination, std::stop_token stop,
                           const CopyProgress &written, const std::optional<FileStamp> &version)
{
    throwIfStopped(stop);
    // Not blocking on the opening: a FIFO in the file's place would wait for a writer.
    Descriptor in{openRetrying(QFile::encodeName(source), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
    if (in.fd < 0) {
        if (errno == ELOOP && version)
            throw LibraryAPIClient::ContentChangedError(); // a link now, where the file was
        throw LocalFileError(errno);
    }
    struct stat opened{};
    if (::fstat(in.fd, &opened) != 0)
        throw LocalFileError(errno);
    if (version && (!S_ISREG(opened.st_mode) || FileStamp::of(opened) != *version))
        throw LibraryAPIClient::ContentChangedError();
    if (!S_ISREG(opened.st_mode))
        throw LocalFileError(S_ISDIR(opened.st_mode) ? EISDIR : EINVAL);
    ::fcntl(in.fd, F_SETFL, ::fcntl(in.fd, F_GETFL) & ~O_NONBLOCK);
    ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    const QByteArray target = QFile::encodeName(destination);
    Descriptor out{openRetrying(target, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    if (out.fd < 0)
        throw LocalFileError(errno);
    try {
        std::optional<CopiedFile> fast = copyInKernel(in.fd, out.fd, stop, written);
        CopiedFile copied = fast ? *fast : copyInto(in.fd, out.fd, stop, written);
        if (::close(std::exchange(out.fd, -1)) != 0 && errno != EINTR)
            throw LocalFileError(errno);
        return copied;
    } catch (const Sha256Digest::Error &) {
        ::unlink(target.constData());
        throw LocalFileError(EIO);
    } catch (...) {
        ::unlink(target.constData());
        throw;
    }
}

} // namespace quillmere
