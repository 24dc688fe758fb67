#include "Model/WalCheckpointer.h"

#include "Model/StoreError.h"
#include "Model/StoreLog.h"

#include <sqlite3.h>

#include <system_error>

namespace quillmere {

WalCheckpointer::WalCheckpointer(const QString &storePath, sqlite3 *mainConnection, CheckpointPolicy policy)
    : m_main(mainConnection)
    , m_policy(policy)
{
    // Never SQLITE_OPEN_CREATE: this connection only ever reaches a store the main one opened.
    const int rc = sqlite3_open_v2(storePath.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE, nullptr);
    // A checkpoint of a connection that has read nothing yet does nothing (its pager has not
    // seen that the file is in WAL mode): one read opens the log.
    if (rc != SQLITE_OK || sqlite3_exec(m_db, "PRAGMA synchronous=NORMAL; SELECT 1 FROM sqlite_master LIMIT 1",
                                        nullptr, nullptr, nullptr)
                               != SQLITE_OK) {
        const QString detail = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("out of memory");
        sqlite3_close(m_db);
        throw StoreError(StoreError::Kind::cannotOpen, detail);
    }
    // No busy handler: a cut that meets the writer or a reader gives up at once and comes
    // again at the next quiet moment, instead of holding the writer lock while it waits.
    sqlite3_busy_timeout(m_db, 0);
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error &e) {
        sqlite3_close(m_db);
        throw StoreError(StoreError::Kind::cannotOpen, QString::fromUtf8(e.what()));
    }
    // Replaces SQLite's checkpoint on the committing connection (wal_autocheckpoint=0 too).
    sqlite3_wal_hook(m_main, committed, this);
}

WalCheckpointer::~WalCheckpointer()
{
    sqlite3_wal_autocheckpoint(m_main, 1000);
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

int WalCheckpointer::committed(void *self, sqlite3 *db, const char *name, int walPages)
{
    // Busy while the thread's last copy still runs: the next commit tries again. There is
    // no other writer, so this copy is complete and the next commit starts the log over.
    if (static_cast<WalCheckpointer *>(self)->noteCommit(walPages))
        sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return SQLITE_OK;
}

bool WalCheckpointer::committerCopies() const
{
    // Only once the thread has handed over: one large save alone makes a log this long, and
    // the thread copies it while the main thread goes on.
    return m_handOver && m_walPages >= m_policy.committerPages;
}

bool WalCheckpointer::copyDue() const
{
    return m_walPages >= m_policy.pages && m_commits != m_copiedAt && !committerCopies();
}

bool WalCheckpointer::noteCommit(int walPages)
{
    bool wake;
    bool copyHere;
    {
        std::lock_guard lock(m_mutex);
        if (walPages < m_policy.committerPages)
            m_handOver = false; // started over, or still short
        // The thread waits without a deadline only while nothing is left to copy.
        const bool waitsForCommits = m_commits == m_truncatedAt;
        ++m_commits;
        m_walPages = walPages;
        copyHere = committerCopies();
        wake = waitsForCommits || (walPages >= m_policy.pages && !copyHere);
    }
    if (wake)
        m_wake.notify_one();
    return copyHere;
}

void WalCheckpointer::checkpoint(int mode)
{
    const int rc = sqlite3_wal_checkpoint_v2(m_db, nullptr, mode, nullptr, nullptr);
    // Busy: another checkpoint runs, or (for a cut) the writer or a reader is active.
    if (rc != SQLITE_OK && (rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED)
        qCWarning(storeLog) << "Checkpoint of the store failed:" << sqlite3_errmsg(m_db);
}

void WalCheckpointer::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (copyDue()) {
            // Commits that land during the copy stay in the log; while it is long, every
            // commit asks for another copy, and the first commit after a complete one
            // starts the log over (when there was a pause between two commits).
            m_copiedAt = m_commits;
            lock.unlock();
            checkpoint(SQLITE_CHECKPOINT_PASSIVE);
            lock.lock();
            // Still this long after a copy: commits come without a pause, and the committing
            // thread is to copy the rest.
            m_handOver = m_walPages >= m_policy.committerPages;
            continue;
        }
        if (m_commits != m_truncatedAt) {
            const std::uint64_t before = m_commits;
            if (m_wake.wait_for(lock, m_policy.idle, [&] { return m_stopping || copyDue(); }))
                continue;
            if (m_commits != before)
                continue; // not quiet for a whole period yet
            m_copiedAt = m_truncatedAt = m_commits;
            lock.unlock();
            // The copy first, without the writer lock; the cut then holds it only briefly.
            checkpoint(SQLITE_CHECKPOINT_PASSIVE);
            checkpoint(SQLITE_CHECKPOINT_TRUNCATE);
            lock.lock();
            continue;
        }
        m_wake.wait(lock, [this] { return m_stopping || m_commits != m_truncatedAt; });
    }
    lock.unlock();
    // The main connection is idle while its container closes: the log is cut to nothing
    // even if that connection's own close cannot remove it (another process reading).
    checkpoint(SQLITE_CHECKPOINT_TRUNCATE);
    sqlite3_close(m_db);
    m_db = nullptr;
}

} // namespace quillmere
