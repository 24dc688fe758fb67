#include "Platform/Files/HashingCopy.h"

#include "Platform/Async/CancelledError.h"
#include "Platform/Files/FileReadError.h"

#include <QFile>

#include <openssl/evp.h>

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace quillmere {

namespace {

constexpr size_t kChunk = 256 * 1024;

struct Fd
{
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct DigestFree
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

int openRetrying(const QByteArray &path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path.constData(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void writeAll(int fd, const unsigned char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FileReadError(errno);
        }
        data += n;
        size -= size_t(n);
    }
}

QString copyHashingInto(int in, int out, const std::stop_token &stop)
{
    std::unique_ptr<EVP_MD_CTX, DigestFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        throw FileReadError(ENOMEM);
    auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kChunk);
    for (;;) {
        throwIfStopped(stop);
        const ssize_t n = ::read(in, buffer.get(), kChunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FileReadError(errno);
        }
        if (n == 0)
            break;
        if (EVP_DigestUpdate(ctx.get(), buffer.get(), size_t(n)) != 1)
            throw FileReadError(ENOMEM);
        writeAll(out, buffer.get(), size_t(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1)
        throw FileReadError(ENOMEM);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

} // namespace

QString copyFileHashing(const QString &source, const QString &destination, std::stop_token stop)
{
    throwIfStopped(stop);
    Fd in{openRetrying(QFile::encodeName(source), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0)
        throw FileReadError(errno);
    ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    const QByteArray target = QFile::encodeName(destination);
    Fd out{openRetrying(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    if (out.fd < 0)
        throw FileReadError(errno);
    try {
        return copyHashingInto(in.fd, out.fd, stop);
    } catch (...) {
        ::unlink(target.constData());
        throw;
    }
}

} // namespace quillmere
