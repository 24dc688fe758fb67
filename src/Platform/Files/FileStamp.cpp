#include "Platform/Files/FileStamp.h"

#include <sys/stat.h>

namespace quillmere {

FileStamp FileStamp::of(const struct stat &status)
{
    return FileStamp{quint64(status.st_dev), quint64(status.st_ino), qint64(status.st_size),
                     qint64(status.st_mtim.tv_sec) * 1'000'000'000 + qint64(status.st_mtim.tv_nsec)};
}

} // namespace quillmere
