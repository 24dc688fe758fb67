#include "Platform/Http/FileSliceDevice.h"

namespace quillmere {

FileSliceDevice::FileSliceDevice(const QString &path, qint64 offset, qint64 length, QObject *parent)
    : QIODevice(parent), m_file(path), m_offset(offset), m_length(length)
{
}

FileSliceDevice::~FileSliceDevice() = default;

bool FileSliceDevice::open(OpenMode mode)
{
    if ((mode & ReadWrite) != ReadOnly || m_offset < 0 || m_length < 0) {
        setErrorString(QStringLiteral("A file slice opens read-only."));
        return false;
    }
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        setErrorString(QStringLiteral("The file could not be opened."));
        return false;
    }
    if (m_file.size() < m_offset + m_length) {
        m_file.close();
        setErrorString(QStringLiteral("The file is shorter than the slice."));
        return false;
    }
    m_position = 0;
    return QIODevice::open(ReadOnly | Unbuffered);
}

void FileSliceDevice::close()
{
    QIODevice::close();
    m_file.close();
}

bool FileSliceDevice::seek(qint64 pos)
{
    if (pos < 0 || pos > m_length || !QIODevice::seek(pos))
        return false;
    m_position = pos;
    return true;
}

qint64 FileSliceDevice::readData(char *data, qint64 maxSize)
{
    const qint64 wanted = std::min(maxSize, m_length - m_position);
    if (wanted <= 0)
        return 0;
    if (!m_file.seek(m_offset + m_position))
        return -1;
    const qint64 got = m_file.read(data, wanted);
    if (got <= 0)
        return -1; // the file shrank under us: an error, never a short body
    m_position += got;
    return got;
}

} // namespace quillmere
