#pragma once

#include <QtGlobal>

struct stat;

namespace quillmere {

// One version of one file as lstat(2) describes it. Two equal stamps are the same file,
// unchanged as far as the file system can tell: a save that rewrites the file moves its time
// (or size), a save that replaces it changes the inode.
struct FileStamp
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0; // st_mtim in nanoseconds since the epoch

    static FileStamp of(const struct stat &status);

    friend bool operator==(const FileStamp &, const FileStamp &) = default;
};

} // namespace quillmere
