#pragma once

#include <QString>

#include <memory>

namespace quillmere {

// An exclusive flock(2) on "<store>.lock" beside the store, held for as long as this
// object lives. A second instance cannot take it, so it neither opens, quarantines nor
// deletes a store that a running instance holds.
class StoreLock
{
public:
    // Throws StoreError: locked when another holder has it; noSpace or noAccess when the lock
    // file cannot be made (a full disk or I/O error, or anything else).
    static std::shared_ptr<StoreLock> acquire(const QString &storePath);
    // Null when the lock is held elsewhere or cannot be made.
    static std::shared_ptr<StoreLock> tryAcquire(const QString &storePath);
    static QString lockPath(const QString &storePath) { return storePath + QStringLiteral(".lock"); }

    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;
    ~StoreLock();

private:
    explicit StoreLock(int fd)
        : m_fd(fd)
    {
    }
    int m_fd;
};

} // namespace quillmere
