#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstddef>
#include <memory>
#include <stdexcept>

struct evp_md_ctx_st;

namespace quillmere {

// SHA-256 through OpenSSL's EVP interface, which uses the processor's SHA instructions where
// it has them: every file and body the program hashes goes through this one class (Qt's own
// SHA-256 is software only and many times slower). Not thread-safe; one digest per stream.
class Sha256Digest
{
public:
    // The hashing library itself failed (no context, an update refused): never the data's fault.
    class Error : public std::runtime_error
    {
    public:
        Error() : std::runtime_error("The SHA-256 digest could not be computed.") {}
    };

    Sha256Digest();
    ~Sha256Digest();
    Sha256Digest(const Sha256Digest &) = delete;
    Sha256Digest &operator=(const Sha256Digest &) = delete;

    void add(const void *data, std::size_t length);
    void add(QByteArrayView bytes) { add(bytes.data(), std::size_t(bytes.size())); }
    // The digest of everything added since construction or the last finishHex(), as 64
    // lower-case hexadecimal characters; the digest then starts over.
    QByteArray finishHex();

private:
    struct Free
    {
        void operator()(evp_md_ctx_st *context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> m_context;
};

} // namespace quillmere
