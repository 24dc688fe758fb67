#pragma once

#include <QByteArray>
#include <QIODevice>

#include <memory>

namespace quillmere {

// prefix bytes, then every byte of a seekable device, then suffix bytes: a multipart form
// body whose file part streams from disk. Seekable, so the body can be sent again.
class ConcatenatedBodyDevice : public QIODevice
{
public:
    // `middle` must be seekable with a known size; it is opened read-only here when closed.
    ConcatenatedBodyDevice(QByteArray prefix, std::unique_ptr<QIODevice> middle, QByteArray suffix,
                           QObject *parent = nullptr);
    ~ConcatenatedBodyDevice() override;

    bool open(OpenMode mode) override;
    void close() override;
    bool isSequential() const override { return false; }
    qint64 size() const override;
    bool seek(qint64 pos) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_prefix;
    std::unique_ptr<QIODevice> m_middle;
    QByteArray m_suffix;
    qint64 m_middleSize = 0;
    qint64 m_position = 0;
};

} // namespace quillmere
