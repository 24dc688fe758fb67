#include "Platform/Http/DownloadWriter.h"

#include "Platform/Http/TemporaryDownloadFile.h"

namespace quillmere {

// What the writer thread and the main thread both touch. The main-thread part (context,
// waiters) lives here too so that a wake-up posted by the thread dies with the writer.
struct DownloadWriter::Shared
{
    std::mutex mutex;
    std::condition_variable wakeWriter;
    std::deque<QByteArray> queue;
    qint64 queuedBytes = 0;
    bool closing = false;
    bool exited = false;
    bool stopping = false;
    std::exception_ptr failure;

    // Main thread only.
    QObject context;
    WaitQueue waiters;

    // From the writer thread: resume whatever waits on the main thread.
    void wakeMainThread()
    {
        QMetaObject::invokeMethod(&context, [this] { waiters.resumeAll(); }, Qt::QueuedConnection);
    }
};

DownloadWriter::DownloadWriter(TemporaryDownloadFile &file, qint64 queueLimit)
    : m_file(file), m_queueLimit(queueLimit), m_shared(std::make_shared<Shared>())
{
    m_thread = std::thread([this] { run(); });
}

DownloadWriter::~DownloadWriter()
{
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->stopping = true;
        m_shared->queue.clear();
    }
    m_shared->wakeWriter.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void DownloadWriter::run()
{
    Shared &shared = *m_shared;
    for (;;) {
        QByteArray chunk;
        {
            std::unique_lock lock(shared.mutex);
            shared.wakeWriter.wait(lock, [&] { return shared.stopping || shared.closing || !shared.queue.empty(); });
            if (shared.stopping || shared.queue.empty())
                break;
            chunk = std::move(shared.queue.front());
            shared.queue.pop_front();
        }
        std::exception_ptr failure;
        try {
            m_file.write(chunk);
        } catch (...) {
            failure = std::current_exception();
        }
        const qint64 size = chunk.size();
        chunk = QByteArray(); // freed here, off the main thread
        {
            std::lock_guard lock(shared.mutex);
            shared.queuedBytes -= size;
            shared.failure = failure;
        }
        if (failure)
            break;
        shared.wakeMainThread();
    }
    {
        std::lock_guard lock(shared.mutex);
        shared.exited = true;
        shared.queue.clear();
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
    shared->wakeWriter.notify_one();
}

QCoro::Task<> DownloadWriter::finish()
{
    co_await endThread(false);
    rethrowFailure();
}

QCoro::Task<> DownloadWriter::stop()
{
    co_await endThread(true);
}

QCoro::Task<> DownloadWriter::endThread(bool dropQueued)
{
    const auto shared = m_shared;
    {
        std::lock_guard lock(shared->mutex);
        shared->closing = true;
        shared->stopping = shared->stopping || dropQueued;
    }
    shared->wakeWriter.notify_one();
    for (;;) {
        {
            std::lock_guard lock(shared->mutex);
            if (shared->exited)
                break;
        }
        co_await shared->waiters.wait();
    }
    if (m_thread.joinable())
        m_thread.join(); // the thread has left its loop: this returns at once
}

} // namespace quillmere
