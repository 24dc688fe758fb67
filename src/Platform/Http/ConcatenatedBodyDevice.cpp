#include "Platform/Http/ConcatenatedBodyDevice.h"

#include <cstring>

namespace quillmere {

ConcatenatedBodyDevice::ConcatenatedBodyDevice(QByteArray prefix, std::unique_ptr<QIODevice> middle,
                                               QByteArray suffix, QObject *parent)
    : QIODevice(parent), m_prefix(std::move(prefix)), m_middle(std::move(middle)), m_suffix(std::move(suffix))
{
}

ConcatenatedBodyDevice::~ConcatenatedBodyDevice() = default;

bool ConcatenatedBodyDevice::open(OpenMode mode)
{
    if ((mode & ReadWrite) != ReadOnly || !m_middle) {
        setErrorString(QStringLiteral("A concatenated body opens read-only."));
        return false;
    }
    if (!m_middle->isOpen() && !m_middle->open(QIODevice::ReadOnly)) {
        setErrorString(QStringLiteral("The file could not be opened."));
        return false;
    }
    if (m_middle->isSequential()) {
        setErrorString(QStringLiteral("The file part must be seekable."));
        return false;
    }
    m_middleSize = m_middle->size();
    m_position = 0;
    return QIODevice::open(ReadOnly | Unbuffered);
}

void ConcatenatedBodyDevice::close()
{
    QIODevice::close();
    if (m_middle)
        m_middle->close();
}

qint64 ConcatenatedBodyDevice::size() const
{
    return m_prefix.size() + m_middleSize + m_suffix.size();
}

bool ConcatenatedBodyDevice::seek(qint64 pos)
{
    if (pos < 0 || pos > size() || !QIODevice::seek(pos))
        return false;
    m_position = pos;
    return true;
}

qint64 ConcatenatedBodyDevice::readData(char *data, qint64 maxSize)
{
    qint64 done = 0;
    while (done < maxSize && m_position < size()) {
        const qint64 middleStart = m_prefix.size();
        const qint64 suffixStart = middleStart + m_middleSize;
        qint64 got = 0;
        if (m_position < middleStart) {
            got = std::min(maxSize - done, middleStart - m_position);
            std::memcpy(data + done, m_prefix.constData() + m_position, size_t(got));
        } else if (m_position < suffixStart) {
            if (!m_middle->seek(m_position - middleStart))
                return -1;
            got = m_middle->read(data + done, std::min(maxSize - done, suffixStart - m_position));
            if (got <= 0)
                return -1; // the file shrank: fail rather than send a short body
        } else {
            got = std::min(maxSize - done, size() - m_position);
            std::memcpy(data + done, m_suffix.constData() + (m_position - suffixStart), size_t(got));
        }
        done += got;
        m_position += got;
    }
    return done;
}

} // namespace quillmere
