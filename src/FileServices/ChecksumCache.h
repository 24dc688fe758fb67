#pragma once

#include "Platform/Files/FileStamp.h"

#include <QCoroTask>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

namespace quillmere {

// A file's checksum and the stamp (device, inode, size, modification time) the file had both
// before and after it was read: the checksum holds for as long as the file keeps that stamp.
struct StampedChecksum
{
    QString checksum;
    FileStamp stamp;

    friend bool operator==(const StampedChecksum &, const StampedChecksum &) = default;
};

// The checksums one sync pass took, so that the steps of the pass (reconciliation, the batch
// check, the upload) read and hash each file once. A held checksum is given out only after the
// file was stat'ed again and still has the stamp it was taken at; a file replaced or rewritten
// since (even at the same size) is read again. Any thread.
class ChecksumCache
{
public:
    // Reads and hashes a file (computeFileChecksumSync unless a test counts the reads).
    using HashFunction = std::function<QString(const QString &path, std::stop_token stop)>;

    explicit ChecksumCache(HashFunction hash = {});
    ChecksumCache(const ChecksumCache &) = delete;
    ChecksumCache &operator=(const ChecksumCache &) = delete;

    // Blocking. The checksum of the regular file at `path` (never through a link at its name)
    // as it is now: the held one while the stamp is unchanged, else the file is read and
    // hashed afresh.
    // Nothing when the file is missing, not a regular file, cannot be read, or changed while
    // it was read (it is then no version at all). CancelledError when stopped.
    std::optional<StampedChecksum> checksum(const QString &path, const std::stop_token &stop);

    // What is held for the path, without looking at the file: its user must compare the
    // stamp with the file's own right before relying on it.
    std::optional<StampedChecksum> held(const QString &path) const;

    // Lets go of what is held for these paths: files the pass will not read again.
    void forget(const QStringList &paths);
    void clear();

private:
    HashFunction m_hash;
    mutable std::mutex m_mutex;
    QHash<QString, StampedChecksum> m_entries;
};

// The file's stamp as lstat(2) sees it (a link at the name is not followed); nothing for a
// missing path or anything but a regular file.
std::optional<FileStamp> regularFileStamp(const QString &path);
// The same for a file of the folder at `root` only: reached through real folders on the
// root's file system (localPresence present) and on that file system itself. Nothing for a
// link in the file's place or on the way to it, as for anything regularFileStamp refuses.
std::optional<FileStamp> regularFileStampBelow(const QString &root, const QString &path);

// The checksums of `paths`, in their order, taken through `cache` on up to `workers` threads
// of the global pool at once. A stop ends every worker at its next file (CancelledError).
QCoro::Task<QList<std::optional<StampedChecksum>>> checksumsConcurrently(std::shared_ptr<ChecksumCache> cache,
                                                                         QStringList paths, std::stop_token stop,
                                                                         int workers = 4);

} // namespace quillmere
