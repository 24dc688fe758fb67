#pragma once

#include <QByteArray>

namespace quillmere {

// The hidden file a download streams into, beside its destination, renamed over the
// destination only once every byte is on disk. Its name holds ".quillmere-tmp" so scans and
// the file watcher skip it, and stays within 255 bytes however long the destination's name.
// Every member blocks on the file system: call them off the main thread. Failures throw
// LocalFileError. Destroying an uncommitted file removes it.
class TemporaryDownloadFile
{
public:
    // Refuses (before anything is created) an empty, "." or ".." name, a missing folder and a
    // destination that is a directory.
    static void checkDestination(const QByteArray &destinationPath);

    explicit TemporaryDownloadFile(QByteArray destinationPath);
    ~TemporaryDownloadFile();
    TemporaryDownloadFile(const TemporaryDownloadFile &) = delete;
    TemporaryDownloadFile &operator=(const TemporaryDownloadFile &) = delete;

    void create();
    void write(const QByteArray &bytes);
    // fsync, then rename(2) over the destination, then fsync the folder.
    void commit();
    void discard();

    const QByteArray &path() const { return m_path; }
    static QByteArray temporaryName(const QByteArray &destinationName, const QByteArray &randomPart);

private:
    QByteArray m_destination;
    QByteArray m_path;
    int m_fd = -1;
    qint64 m_written = 0;
    qint64 m_writebackStart = 0;
};

} // namespace quillmere
