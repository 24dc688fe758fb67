#pragma once

#include "Platform/Async/WaitQueue.h"

#include <QByteArray>
#include <QCoroTask>
#include <QObject>

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace quillmere {

class TemporaryDownloadFile;

// Writes a download's body on its own thread while the main thread goes on reading from the
// network. At most `queueLimit` bytes wait in memory; a writer that falls behind makes
// write() wait, so memory stays bounded however fast the network is. Main-thread members only.
class DownloadWriter
{
public:
    DownloadWriter(TemporaryDownloadFile &file, qint64 queueLimit);
    // Drops what is still queued and joins the thread, which may first finish the write it is
    // in: await finish() or stop() before, so the main thread never waits on the disk.
    ~DownloadWriter();
    DownloadWriter(const DownloadWriter &) = delete;
    DownloadWriter &operator=(const DownloadWriter &) = delete;

    // Queues the chunk (shared, not copied). Rethrows a failed write's LocalFileError.
    QCoro::Task<> write(QByteArray chunk);
    // Returns once every queued byte is written and the thread has ended; rethrows a failed
    // write's error.
    QCoro::Task<> finish();
    // Drops what is still queued and returns once the thread has ended.
    QCoro::Task<> stop();

private:
    struct Shared;
    void run();
    void rethrowFailure();
    QCoro::Task<> endThread(bool dropQueued);

    TemporaryDownloadFile &m_file;
    const qint64 m_queueLimit;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

} // namespace quillmere
