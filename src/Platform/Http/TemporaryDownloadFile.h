#pragma once

#include "Platform/Files/FileStamp.h"

#include <QByteArray>

#include <chrono>
#include <optional>

namespace quillmere {

// What a caller found at a download's destination before the transfer: nothing (no stamp),
// or that version of a file.
struct JudgedDestination
{
    std::optional<FileStamp> stamp;
};

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
    // Also counts the bytes, so the size checked is exactly what is on disk.
    void write(const QByteArray &bytes);
    qint64 bytesWritten() const { return m_written; }
    // fsync, then rename(2) over the destination, then fsync the folder. With `judged`, the
    // destination must still be what was judged (see ExpectedDownload::destination), else
    // DestinationChangedError and nothing is renamed.
    void commit(const std::optional<JudgedDestination> &judged = std::nullopt);
    void discard();

    const QByteArray &path() const { return m_path; }
    static QByteArray temporaryName(const QByteArray &destinationName, const QByteArray &randomPart);
    // Whether a file name is one temporaryName() makes.
    static bool isTemporaryName(const QByteArray &name);

    struct LeftoverCleanup
    {
        int removed = 0;
        // Leftovers that could not be removed and folders that could not be read.
        int failed = 0;
    };
    // Removes, in `folder` and every folder below it that is not hidden, the temporary files
    // that downloads interrupted by a crash left behind: regular files with a temporary name,
    // last changed before `olderThan`. Symbolic links below `folder` are neither followed nor
    // removed; other file systems mounted below it are not entered.
    static LeftoverCleanup removeLeftovers(const QByteArray &folder, std::chrono::system_clock::time_point olderThan);
    // The same for the files of earlier runs: not named by this process (each process begins
    // the random part of its names with a tag of its own) and older than its start, so a
    // download of this process is never touched, whatever its file's time says.
    static LeftoverCleanup removeLeftoversOfEarlierRuns(const QByteArray &folder);

private:
    void renameWithoutReplacing();

    QByteArray m_destination;
    QByteArray m_path;
    int m_fd = -1;
    qint64 m_written = 0;
    qint64 m_writebackStart = 0;
};

} // namespace quillmere
