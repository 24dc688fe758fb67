#pragma once

#include <QFile>
#include <QIODevice>

namespace quillmere {

// A read-only, seekable view of `length` bytes of a file starting at `offset`: one part of a
// multipart upload, sent without copying the part anywhere. open() fails when the file is
// shorter than the slice, so a file that shrank is never sent short.
class FileSliceDevice : public QIODevice
{
public:
    FileSliceDevice(const QString &path, qint64 offset, qint64 length, QObject *parent = nullptr);
    ~FileSliceDevice() override;

    bool open(OpenMode mode) override;
    void close() override;
    bool isSequential() const override { return false; }
    qint64 size() const override { return m_length; }
    bool seek(qint64 pos) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QFile m_file;
    qint64 m_offset;
    qint64 m_length;
    qint64 m_position = 0;
};

} // namespace quillmere
