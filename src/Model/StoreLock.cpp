#include "Model/StoreLock.h"

#include "Model/StoreError.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quillmere {

namespace {
int openAndLock(const QString &storePath, int &error)
{
    const QByteArray path = StoreLock::lockPath(storePath).toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

std::shared_ptr<StoreLock> StoreLock::tryAcquire(const QString &storePath)
{
    int error = 0;
    const int fd = openAndLock(storePath, error);
    return fd < 0 ? nullptr : std::shared_ptr<StoreLock>(new StoreLock(fd));
}

std::shared_ptr<StoreLock> StoreLock::acquire(const QString &storePath)
{
    int error = 0;
    const int fd = openAndLock(storePath, error);
    if (fd >= 0)
        return std::shared_ptr<StoreLock>(new StoreLock(fd));
    if (error == EWOULDBLOCK)
        throw StoreError(StoreError::Kind::locked, lockPath(storePath));
    const bool noSpace = error == ENOSPC || error == EDQUOT || error == EIO;
    throw StoreError(noSpace ? StoreError::Kind::noSpace : StoreError::Kind::noAccess,
                     QStringLiteral("cannot create the lock file: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
}

StoreLock::~StoreLock()
{
    ::close(m_fd);
}

} // namespace quillmere
