#include "Lane/PathDigests.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cstring>

namespace quillmere {

PathDigests::Digest PathDigests::digestOf(QStringView path)
{
    // The UTF-16 text as it is: no conversion per path.
    const QByteArrayView bytes(reinterpret_cast<const char *>(path.utf16()), path.size() * qsizetype(sizeof(char16_t)));
    const QByteArray hash = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    Digest digest;
    std::memcpy(digest.data(), hash.constData(), digest.size());
    return digest;
}

void PathDigests::finish()
{
    std::sort(m_digests.begin(), m_digests.end());
    m_digests.erase(std::unique(m_digests.begin(), m_digests.end()), m_digests.end());
    m_digests.shrink_to_fit();
}

bool PathDigests::contains(const Digest &digest) const
{
    return std::binary_search(m_digests.begin(), m_digests.end(), digest);
}

} // namespace quillmere
