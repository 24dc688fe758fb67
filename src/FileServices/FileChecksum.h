#pragma once

#include <QCoroTask>
#include <QString>

#include <exception>
#include <stop_token>

#include <sys/stat.h>

namespace quillmere {

// The content fingerprint used everywhere a file is compared with the service: SHA-256 of its
// bytes as 64 lower-case hexadecimal characters.
class FileChecksum
{
public:
    // The file could not be opened or read to its end; errorNumber() is the errno (0 when the
    // hashing library itself failed).
    class Error : public std::exception
    {
    public:
        explicit Error(int errorNumber) : m_errorNumber(errorNumber) {}
        const char *what() const noexcept override
        {
            return "The file could not be read to compute its checksum.";
        }
        int errorNumber() const { return m_errorNumber; }

    private:
        int m_errorNumber;
    };

    static constexpr std::size_t readSize = 64 * 1024;
};

using FileChecksumError = FileChecksum::Error;

// Blocking. A file opened for reading without waiting (a FIFO put in a file's place would
// otherwise block the opening thread until some writer comes) and never through a link at its
// name (O_NOFOLLOW: a link there fails with ELOOP), with its status at the opening. Only a
// regular file is switched to blocking reads. Throws FileChecksumError when it cannot be
// opened or examined.
class FileOpenedForReading
{
public:
    explicit FileOpenedForReading(const QByteArray &nativePath);
    ~FileOpenedForReading();
    FileOpenedForReading(const FileOpenedForReading &) = delete;
    FileOpenedForReading &operator=(const FileOpenedForReading &) = delete;

    int fd() const { return m_fd; }
    const struct stat &status() const { return m_status; }
    bool isRegular() const { return S_ISREG(m_status.st_mode); }

private:
    int m_fd = -1;
    struct stat m_status{};
};

// Blocking: reads the file in 64 KiB chunks. Throws FileChecksumError when the file cannot be
// opened (a link at its name included) or a read fails, CancelledError when the token is
// stopped between chunks.
QString computeFileChecksumSync(const QString &path, std::stop_token stop = {});
// The same for a file already open, read from its start: the caller has made sure it is the
// file it means (its status against a stamp taken before).
QString computeFileChecksumSync(const FileOpenedForReading &file, const std::stop_token &stop);

// The same on the thread pool; the result or error comes back on the awaiting thread.
QCoro::Task<QString> computeFileChecksum(QString path, std::stop_token stop = {});

} // namespace quillmere
