#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>

struct evp_md_ctx_st;

namespace quillmere::test {

// SHA-256 through OpenSSL, which uses the processor's SHA instructions: the fake hashes every
// body it receives, and Qt's software digest would make it the slowest party of a benchmark.
class FakeSha256
{
public:
    FakeSha256();
    ~FakeSha256();
    FakeSha256(const FakeSha256 &) = delete;
    FakeSha256 &operator=(const FakeSha256 &) = delete;

    void add(const char *data, size_t length);
    void add(QByteArrayView bytes) { add(bytes.data(), size_t(bytes.size())); }
    // 64 lower-case hexadecimal digits.
    QString finishHex();

    static QString hexOf(QByteArrayView bytes);

private:
    evp_md_ctx_st *m_context = nullptr;
};

// An unnamed temporary file holding one large body; it goes with its last holder. Writes are
// gathered into large blocks, so a body arriving in small reads costs few system calls.
class FakeSpillFile
{
public:
    FakeSpillFile(); // throws std::runtime_error when no file can be made
    ~FakeSpillFile();
    FakeSpillFile(const FakeSpillFile &) = delete;
    FakeSpillFile &operator=(const FakeSpillFile &) = delete;

    bool append(const char *data, size_t length);
    // Every byte appended so far, in order, in blocks of at most 1 MiB.
    void forEachBlock(const std::function<void(const char *, qsizetype)> &take) const;
    // Copies up to `length` bytes from `offset`; how many, or -1 when the file cannot be read.
    qint64 readAt(qint64 offset, char *into, qint64 length) const;

private:
    bool flush();

    int m_fd = -1;
    qint64 m_written = 0; // bytes in the file; `m_pending` follows them
    QByteArray m_pending;
};

// Bytes that arrived in a PUT to a presigned URL, hashed as they streamed in. Small bodies stay
// in memory; larger ones go to a temporary file, so a 1 GiB upload is held whole without
// sitting in memory. Copies share the bytes (the spill file, or Qt's shared array).
struct FakeReceivedBody
{
    static constexpr qint64 inMemoryLimit = 4 * 1024 * 1024;

    qint64 size = 0;
    QString sha256;                         // lower-case hexadecimal
    QByteArray content;                     // the bytes, when size <= inMemoryLimit
    std::shared_ptr<FakeSpillFile> spilled; // the bytes, when larger
    bool dropLarge = false;                 // set before the first byte: keep nothing past the limit
    bool dropped = false;                   // bytes were not kept: only the size and hash are known

    // A body already whole in memory, hashed here.
    static FakeReceivedBody of(const QByteArray &bytes);

    // While the body arrives; false when the bytes could not be kept.
    bool append(const char *data, size_t length);
    void forEachBlock(const std::function<void(const char *, qsizetype)> &take) const;
    QByteArray bytes() const;
    // Copies up to `length` bytes from `offset`; how many, or -1 when they cannot be read.
    qint64 readAt(qint64 offset, char *into, qint64 length) const;
};

} // namespace quillmere::test
