#include "fake-service/FakeTransfers.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace quillmere::test {

namespace {

constexpr qint64 kReadBlock = 1024 * 1024;

} // namespace

std::string fakeETag(const QString &sha256)
{
    // Formatted by Qt: GCC 12 at -O3 warns falsely on a std::string built with operator+.
    return QStringLiteral("\"%1\"").arg(sha256.left(32)).toStdString();
}

FakeSpillFile::FakeSpillFile()
{
    const QByteArray folder = QFile::encodeName(QDir::tempPath());
    m_fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        // A file system without unnamed files: a named one, unlinked at once.
        QByteArray name = folder + "/fake-body-XXXXXX";
        m_fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (m_fd >= 0)
            ::unlink(name.constData());
    }
    if (m_fd < 0)
        throw std::runtime_error("the fake service cannot make a file for a large body");
}

FakeSpillFile::~FakeSpillFile()
{
    ::close(m_fd);
}

bool FakeSpillFile::append(const char *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::pwrite(m_fd, data, length, m_size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
        m_size += n;
    }
    return true;
}

void FakeSpillFile::forEachBlock(const std::function<void(const char *, qsizetype)> &take) const
{
    QByteArray block(kReadBlock, Qt::Uninitialized);
    for (qint64 at = 0; at < m_size;) {
        const ssize_t n = ::pread(m_fd, block.data(), size_t(std::min(kReadBlock, m_size - at)), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("the fake service cannot read back a large body");
        take(block.constData(), qsizetype(n));
        at += n;
    }
}

bool FakeReceivedBody::append(const char *data, size_t length)
{
    if (dropped || (dropLarge && size + qint64(length) > FakeTransfers::inMemoryBodyLimit)) {
        dropped = true;
        content = QByteArray();
        size += qint64(length);
        return true;
    }
    if (!spilled && size + qint64(length) > FakeTransfers::inMemoryBodyLimit) {
        spilled = std::make_shared<FakeSpillFile>();
        if (!spilled->append(content.constData(), size_t(content.size())))
            return false;
        content = QByteArray();
    }
    size += qint64(length);
    if (spilled)
        return spilled->append(data, length);
    content.append(data, qsizetype(length));
    return true;
}

void FakeReceivedBody::forEachBlock(const std::function<void(const char *, qsizetype)> &take) const
{
    if (spilled)
        spilled->forEachBlock(take);
    else if (!content.isEmpty())
        take(content.constData(), content.size());
}

QByteArray FakeReceivedBody::bytes() const
{
    QByteArray all;
    all.reserve(size);
    forEachBlock([&all](const char *data, qsizetype length) { all.append(data, length); });
    return all;
}

QByteArray FakeStoredObject::content() const
{
    QByteArray all;
    all.reserve(size);
    for (const FakeReceivedBody &piece : pieces)
        piece.forEachBlock([&all](const char *data, qsizetype length) { all.append(data, length); });
    return all;
}

QString FakeStoredObject::hashOfContent() const
{
    for (const FakeReceivedBody &piece : pieces)
        if (piece.dropped)
            return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const FakeReceivedBody &piece : pieces)
        piece.forEachBlock([&hash](const char *data, qsizetype length) { hash.addData(QByteArrayView(data, length)); });
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace quillmere::test
