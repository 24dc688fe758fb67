#include "ServiceAPI/TransferFiles.h"

#include "Platform/Async/CancelledError.h"
#include "Platform/Http/LocalFileError.h"

#include <QFile>

#include <openssl/evp.h>

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace quillmere {

namespace {

constexpr std::size_t kCopyChunk = 1024 * 1024;
constexpr qsizetype kNameMax = 255;

struct Descriptor
{
    int fd = -1;
    ~Descriptor()
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

void writeAll(int fd, const unsigned char *data, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw LocalFileError(errno);
        }
        data += n;
        length -= std::size_t(n);
    }
}

CopiedFile copyInto(int in, int out, const std::stop_token &stop, const CopyProgress &written)
{
    std::unique_ptr<EVP_MD_CTX, DigestFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        throw LocalFileError(ENOMEM);
    auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyChunk);
    CopiedFile copied;
    for (;;) {
        throwIfStopped(stop);
        const ssize_t n = ::read(in, buffer.get(), kCopyChunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw LocalFileError(errno);
        }
        if (n == 0)
            break;
        if (EVP_DigestUpdate(ctx.get(), buffer.get(), std::size_t(n)) != 1)
            throw LocalFileError(EIO);
        writeAll(out, buffer.get(), std::size_t(n));
        copied.size += n;
        if (written)
            written(copied.size);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1)
        throw LocalFileError(EIO);
    copied.sha256 = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
    return copied;
}

} // namespace

CopiedFile copyFileHashing(const QString &source, const QString &destination, std::stop_token stop,
                           const CopyProgress &written)
{
    throwIfStopped(stop);
    Descriptor in{openRetrying(QFile::encodeName(source), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0)
        throw LocalFileError(errno);
    ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    const QByteArray target = QFile::encodeName(destination);
    Descriptor out{openRetrying(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    if (out.fd < 0)
        throw LocalFileError(errno);
    try {
        CopiedFile copied = copyInto(in.fd, out.fd, stop, written);
        if (::close(std::exchange(out.fd, -1)) != 0 && errno != EINTR)
            throw LocalFileError(errno);
        return copied;
    } catch (...) {
        ::unlink(target.constData());
        throw;
    }
}

QString boundedCopyName(const QString &prefix, const QString &name)
{
    QString result = prefix + QLatin1Char('-');
    qsizetype bytes = result.toUtf8().size();
    // Walk whole code points so a surrogate pair is never split.
    for (qsizetype i = 0; i < name.size();) {
        const qsizetype width = (name.at(i).isHighSurrogate() && i + 1 < name.size()) ? 2 : 1;
        const QString piece = name.mid(i, width);
        const qsizetype pieceBytes = piece.toUtf8().size();
        if (bytes + pieceBytes > kNameMax)
            break;
        result += piece;
        bytes += pieceBytes;
        i += width;
    }
    return result;
}

} // namespace quillmere
