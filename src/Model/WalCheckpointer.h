#pragma once

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct sqlite3;

namespace quillmere {

// When the write-ahead log is copied back into the store.
struct CheckpointPolicy
{
    // A log of this many pages is copied back while commits go on (PASSIVE: it never waits
    // for the writer, and the next commit after a complete copy starts the log over).
    int pages = 1000;
    // Commits without a pause never let a copy complete, so the log would only grow: when it
    // is still this long after a copy of the thread, the committing thread copies back the
    // rest itself (a sync or two, on that thread).
    int committerPages = 8000;
    // No commit for this long: the log is copied back and cut to nothing.
    std::chrono::milliseconds idle{2000};
};

// Copies the store's write-ahead log back into the database on a thread and connection of
// its own, so that no commit on the main connection waits for a checkpoint and its syncs
// (but see CheckpointPolicy::committerPages). It takes the place of SQLite's own checkpoints
// on the main connection, which reports each commit to it through the WAL hook. Destroying
// it gives them back, cuts the log to nothing, closes its connection and joins its thread:
// nothing of it outlives it.
class WalCheckpointer
{
public:
    // Opens the second connection; throws StoreError (cannotOpen) when it cannot, leaving
    // the main connection as it was.
    WalCheckpointer(const QString &storePath, sqlite3 *mainConnection, CheckpointPolicy policy);
    ~WalCheckpointer();
    WalCheckpointer(const WalCheckpointer &) = delete;
    WalCheckpointer &operator=(const WalCheckpointer &) = delete;

private:
    static int committed(void *self, sqlite3 *db, const char *name, int walPages);
    // True when the committing thread is to copy the rest (CheckpointPolicy::committerPages).
    bool noteCommit(int walPages);
    void run();
    void checkpoint(int mode);
    bool committerCopies() const;
    bool copyDue() const;

    sqlite3 *m_main;

    sqlite3 *m_db = nullptr;
    const CheckpointPolicy m_policy;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    // Guarded by m_mutex.
    std::uint64_t m_commits = 0;
    std::uint64_t m_copiedAt = 0;    // m_commits when the last copy began
    std::uint64_t m_truncatedAt = 0; // m_commits when the last cut began
    int m_walPages = 0;
    bool m_handOver = false;         // the committing thread is to copy (committerCopies)
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace quillmere
