#include "Platform/Http/DownloadWriter.h"

#include "Platform/Files/Sha256Digest.h"
#include "Platform/Http/LocalFileError.h"
#include "Platform/Http/TemporaryDownloadFile.h"

#include <cerrno>
#include <vector>

namespace quillmere {

// What the worker threads and the main thread share. The main-thread part (context, waiters)
// lives here too so that a wake-up posted by a worker dies with the writer.
struct DownloadWriter::Shared
{
    std::mutex mutex;
    std::condition_variable wakeWorkers;
    // The chunks some worker still needs, oldest first; done[role] of them that worker has
    // finished. A chunk leaves once every worker is done with it.
    std::deque<QByteArray> queue;
    std::size_t done[2] = {0, 0};
    int workers = 1;
    qint64 queuedBytes = 0;
    bool closing = false;
    bool stopping = false;
    int exited = 0;
    std::exception_ptr failure;
    // The hashing thread's own until it has been joined.
    std::optional<Sha256Digest> digest;

    // Main thread only.
    QObject context;
    WaitQueue waiters;

    // From a worker: resume whatever waits on the main thread.
    void wakeMainThread()
    {
        QMetaObject::invokeMethod(&context, [this] { waiters.resumeAll(); }, Qt::QueuedConnection);
    }

    // Under the lock: takes out the chunks every worker is done with. The caller lets them go
    // once the lock is released, so freeing them holds up no one.
    std::vector<QByteArray> takeFinished()
    {
        std::vector<QByteArray> finished;
        while (!queue.empty() && done[0] > 0 && (workers == 1 || done[1] > 0)) {
            queuedBytes -= queue.front().size();
            finished.push_back(std::move(queue.front()));
            queue.pop_front();
            --done[0];
            if (workers == 2)
                --done[1];
        }
        return finished;
    }
};

DownloadWriter::DownloadWriter(TemporaryDownloadFile &file, qint64 queueLimit, bool hashing)
    : m_file(file), m_queueLimit(queueLimit), m_hashing(hashing), m_shared(std::make_shared<Shared>())
{
    if (hashing) {
        m_shared->digest.emplace();
        m_shared->workers = 2;
    }
    m_writer = std::thread([this] { run(Role::write); });
    if (hashing)
        m_hasher = std::thread([this] { run(Role::hash); });
}

DownloadWriter::~DownloadWriter()
{
    std::deque<QByteArray> dropped;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->stopping = true;
        dropped.swap(m_shared->queue);
    }
    m_shared->wakeWorkers.notify_all();
    joinThreads();
}

void DownloadWriter::joinThreads()
{
    if (m_writer.joinable())
        m_writer.join();
    if (m_hasher.joinable())
        m_hasher.join();
}

void DownloadWriter::run(Role role)
{
    Shared &shared = *m_shared;
    const int index = int(role);
    for (;;) {
        QByteArray chunk;
        {
            std::unique_lock lock(shared.mutex);
            shared.wakeWorkers.wait(lock, [&] {
                return shared.stopping || shared.closing || shared.done[index] < shared.queue.size();
            });
            if (shared.stopping || shared.done[index] == shared.queue.size())
                break;
            chunk = shared.queue[shared.done[index]]; // shared, not copied
        }
        std::exception_ptr failure;
        try {
            if (role == Role::write)
                m_file.write(chunk);
            else
                shared.digest->add(chunk);
        } catch (const Sha256Digest::Error &) {
            failure = std::make_exception_ptr(LocalFileError(EIO));
        } catch (...) {
            failure = std::current_exception();
        }
        chunk = QByteArray();
        std::vector<QByteArray> finished;
        {
            std::lock_guard lock(shared.mutex);
            ++shared.done[index];
            if (failure) {
                if (!shared.failure)
                    shared.failure = failure;
                shared.stopping = true; // the other worker ends too
            }
            finished = shared.takeFinished();
        }
        if (failure) {
            shared.wakeWorkers.notify_all();
            break;
        }
        if (!finished.empty()) {
            finished.clear(); // freed here, off the main thread
            shared.wakeMainThread(); // room in the queue
        }
    }
    std::deque<QByteArray> dropped;
    {
        std::lock_guard lock(shared.mutex);
        if (++shared.exited == shared.workers)
            dropped.swap(shared.queue);
    }
    shared.wakeMainThread();
}

void DownloadWriter::rethrowFailure()
{
    std::exception_ptr failure;
    {
        std::lock_guard lock(m_shared->mutex);
        failure = m_shared->failure;
    }
    if (failure)
        std::rethrow_exception(failure);
}

QCoro::Task<> DownloadWriter::write(QByteArray chunk)
{
    const auto shared = m_shared;
    for (;;) {
        rethrowFailure();
        {
            std::lock_guard lock(shared->mutex);
            if (shared->queuedBytes < m_queueLimit) {
                shared->queuedBytes += chunk.size();
                shared->queue.push_back(std::move(chunk));
                break;
            }
        }
        co_await shared->waiters.wait();
    }
    shared->wakeWorkers.notify_all();
}

QCoro::Task<> DownloadWriter::finish()
{
    co_await endThreads(false);
    rethrowFailure();
    if (m_hashing) {
        try {
            m_sha256Hex = m_shared->digest->finishHex();
        } catch (const Sha256Digest::Error &) {
            throw LocalFileError(EIO);
        }
    }
}

QCoro::Task<> DownloadWriter::stop()
{
    co_await endThreads(true);
}

QCoro::Task<> DownloadWriter::endThreads(bool dropQueued)
{
    const auto shared = m_shared;
    {
        std::lock_guard lock(shared->mutex);
        shared->closing = true;
        shared->stopping = shared->stopping || dropQueued;
    }
    shared->wakeWorkers.notify_all();
    for (;;) {
        {
            std::lock_guard lock(shared->mutex);
            if (shared->exited == shared->workers)
                break;
        }
        co_await shared->waiters.wait();
    }
    joinThreads(); // both threads have left their loops: this returns at once
}

} // namespace quillmere
