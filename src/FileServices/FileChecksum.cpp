#include "FileServices/FileChecksum.h"

#include "Platform/Async/Background.h"
#include "Platform/Async/CancelledError.h"
#include "Platform/Files/Sha256Digest.h"

#include <QFile>

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

FileOpenedForReading::FileOpenedForReading(const QByteArray &nativePath)
{
    do {
        m_fd = ::open(nativePath.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0)
        throw FileChecksumError(errno);
    if (::fstat(m_fd, &m_status) != 0) {
        const int error = errno;
        ::close(m_fd);
        throw FileChecksumError(error);
    }
    if (isRegular())
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
}

FileOpenedForReading::~FileOpenedForReading()
{
    ::close(m_fd);
}

QString computeFileChecksumSync(const QString &path, std::stop_token stop)
{
    throwIfStopped(stop);
    const FileOpenedForReading file(QFile::encodeName(path));
    return computeFileChecksumSync(file, stop);
}

QString computeFileChecksumSync(const FileOpenedForReading &file, const std::stop_token &stop)
try {
    throwIfStopped(stop);

    // Only a regular file is read.
    if (S_ISDIR(file.status().st_mode))
        throw FileChecksumError(EISDIR);
    if (!file.isRegular())
        throw FileChecksumError(EINVAL);
    const int fd = file.fd();
    if (::lseek(fd, 0, SEEK_SET) < 0)
        throw FileChecksumError(errno);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    Sha256Digest digest;
    auto buffer = std::make_unique_for_overwrite<unsigned char[]>(FileChecksum::readSize);
    for (;;) {
        throwIfStopped(stop);
        const ssize_t n = ::read(fd, buffer.get(), FileChecksum::readSize);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // A directory opens fine and fails here (EISDIR): never report it as empty content.
            throw FileChecksumError(errno);
        }
        if (n == 0)
            break;
        digest.add(buffer.get(), static_cast<std::size_t>(n));
    }
    return QString::fromLatin1(digest.finishHex());
} catch (const Sha256Digest::Error &) {
    throw FileChecksumError(0);
}

QCoro::Task<QString> computeFileChecksum(QString path, std::stop_token stop)
{
    // Not a coroutine itself: the work lambda must not be a temporary inside a co_await
    // expression, which this compiler may destroy twice.
    return runInBackground(
        [path = std::move(path), stop = std::move(stop)]() { return computeFileChecksumSync(path, stop); });
}

} // namespace quillmere
