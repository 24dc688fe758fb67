#include "fake-service/FakeBody.h"

#include <QDir>
#include <QFile>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace quillmere::test {

namespace {

constexpr qint64 kBlock = 1024 * 1024;

} // namespace

FakeSha256::FakeSha256() : m_context(EVP_MD_CTX_new())
{
    if (!m_context || EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("the fake service cannot hash");
}

FakeSha256::~FakeSha256()
{
    EVP_MD_CTX_free(m_context);
}

void FakeSha256::add(const char *data, size_t length)
{
    if (length > 0)
        EVP_DigestUpdate(m_context, data, length);
}

QString FakeSha256::finishHex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context, digest, &length);
    EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

QString FakeSha256::hexOf(QByteArrayView bytes)
{
    FakeSha256 digest;
    digest.add(bytes);
    return digest.finishHex();
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
    m_pending.reserve(kBlock + 64 * 1024);
}

FakeSpillFile::~FakeSpillFile()
{
    ::close(m_fd);
}

bool FakeSpillFile::append(const char *data, size_t length)
{
    m_pending.append(data, qsizetype(length));
    return m_pending.size() < kBlock || flush();
}

bool FakeSpillFile::flush()
{
    const char *data = m_pending.constData();
    size_t length = size_t(m_pending.size());
    while (length > 0) {
        const ssize_t n = ::pwrite(m_fd, data, length, m_written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
        m_written += n;
    }
    m_pending.resize(0);
    return true;
}

void FakeSpillFile::forEachBlock(const std::function<void(const char *, qsizetype)> &take) const
{
    QByteArray block(kBlock, Qt::Uninitialized);
    for (qint64 at = 0; at < m_written;) {
        const ssize_t n = ::pread(m_fd, block.data(), size_t(std::min(kBlock, m_written - at)), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("the fake service cannot read back a large body");
        take(block.constData(), qsizetype(n));
        at += n;
    }
    if (!m_pending.isEmpty())
        take(m_pending.constData(), m_pending.size());
}

qint64 FakeSpillFile::readAt(qint64 offset, char *into, qint64 length) const
{
    qint64 done = 0;
    while (offset < m_written && done < length) {
        const ssize_t n = ::pread(m_fd, into + done, size_t(std::min(length - done, m_written - offset)), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += n;
        offset += n;
    }
    if (done < length && offset >= m_written && offset - m_written < m_pending.size()) {
        const qint64 n = std::min(length - done, qint64(m_pending.size()) - (offset - m_written));
        std::memcpy(into + done, m_pending.constData() + (offset - m_written), size_t(n));
        done += n;
    }
    return done;
}

FakeReceivedBody FakeReceivedBody::of(const QByteArray &bytes)
{
    FakeReceivedBody body;
    body.size = bytes.size();
    body.content = bytes;
    body.sha256 = FakeSha256::hexOf(bytes);
    return body;
}

bool FakeReceivedBody::append(const char *data, size_t length)
{
    if (dropped || (dropLarge && size + qint64(length) > inMemoryLimit)) {
        dropped = true;
        content = QByteArray();
        size += qint64(length);
        return true;
    }
    if (!spilled && size + qint64(length) > inMemoryLimit) {
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
    if (!spilled)
        return content; // shared, not copied
    QByteArray all;
    all.reserve(size);
    forEachBlock([&all](const char *data, qsizetype length) { all.append(data, length); });
    return all;
}

qint64 FakeReceivedBody::readAt(qint64 offset, char *into, qint64 length) const
{
    if (dropped)
        return -1;
    if (spilled)
        return spilled->readAt(offset, into, length);
    const qint64 n = std::clamp<qint64>(content.size() - offset, 0, length);
    std::memcpy(into, content.constData() + offset, size_t(n));
    return n;
}

} // namespace quillmere::test
