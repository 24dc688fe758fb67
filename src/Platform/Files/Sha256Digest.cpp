#include "Platform/Files/Sha256Digest.h"

#include <openssl/evp.h>

namespace quillmere {

void Sha256Digest::Free::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}

Sha256Digest::Sha256Digest() : m_context(EVP_MD_CTX_new())
{
    if (!m_context || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1)
        throw Error();
}

Sha256Digest::~Sha256Digest() = default;

void Sha256Digest::add(const void *data, std::size_t length)
{
    if (length > 0 && EVP_DigestUpdate(m_context.get(), data, length) != 1)
        throw Error();
}

QByteArray Sha256Digest::finishHex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(m_context.get(), digest, &length) != 1
        || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1)
        throw Error();
    return QByteArray(reinterpret_cast<const char *>(digest), qsizetype(length)).toHex();
}

} // namespace quillmere
