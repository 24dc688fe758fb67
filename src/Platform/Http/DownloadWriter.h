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
#include <optional>
#include <thread>

namespace quillmere {

class TemporaryDownloadFile;

// Writes a download's body on its own thread while the main thread goes on reading from the
// network and, when asked, hashes the same chunks on a second thread: hashing as fast as the
// processor allows is still slower than the page cache takes bytes, so the two run side by
// side instead of one after the other. What is hashed is exactly what was written: both
// threads read the one chunk the network gave. At most `queueLimit` bytes wait in memory (a
// chunk counts until both threads are done with it); a thread that falls behind makes write()
// wait, so memory stays bounded however fast the network is. Main-thread members only.
class DownloadWriter
{
public:
    DownloadWriter(TemporaryDownloadFile &file, qint64 queueLimit, bool hashing);
    // Drops what is still queued and joins the threads, which may first finish the chunk they
    // are on: await finish() or stop() before, so the main thread never waits on the disk.
    ~DownloadWriter();
    DownloadWriter(const DownloadWriter &) = delete;
    DownloadWriter &operator=(const DownloadWriter &) = delete;

    // Queues the chunk (shared, not copied). Rethrows a failed write's LocalFileError.
    QCoro::Task<> write(QByteArray chunk);
    // Returns once every queued byte is written (and hashed) and the threads have ended;
    // rethrows a failed write's error.
    QCoro::Task<> finish();
    // Drops what is still queued and returns once the threads have ended.
    QCoro::Task<> stop();

    // After finish(): SHA-256 of every byte written, lower-case hex; nothing when not hashing.
    const std::optional<QByteArray> &sha256Hex() const { return m_sha256Hex; }

private:
    struct Shared;
    enum class Role { write, hash };
    void run(Role role);
    void rethrowFailure();
    QCoro::Task<> endThreads(bool dropQueued);
    void joinThreads();

    TemporaryDownloadFile &m_file;
    const qint64 m_queueLimit;
    const bool m_hashing;
    std::shared_ptr<Shared> m_shared;
    std::optional<QByteArray> m_sha256Hex;
    std::thread m_writer;
    std::thread m_hasher;
};

} // namespace quillmere
