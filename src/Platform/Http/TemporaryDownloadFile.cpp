#include "Platform/Http/TemporaryDownloadFile.h"

#include "Platform/Http/LocalFileError.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <cstdio>
#include <fts.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

namespace {

constexpr qsizetype kNameLimit = 255;
constexpr char kMarker[] = ".quillmere-tmp-";
constexpr qint64 kWritebackStep = 8 * 1024 * 1024;
constexpr qsizetype kProcessTagLength = 8;
// Taken while the program loads, before any download of this process can have begun.
const std::chrono::system_clock::time_point processStart = std::chrono::system_clock::now();

// Begins the random part of every temporary this process creates. Timestamps alone cannot
// tell this run's files from an earlier run's: FAT keeps two-second times, a network share
// the server's clock, and the wall clock may be set back while a download runs.
const QByteArray &processTag()
{
    static const QByteArray tag = [] {
        constexpr quint64 range = 2821109907456ULL; // 36^8
        return QByteArray::number(QRandomGenerator::global()->generate64() % range, 36)
            .rightJustified(kProcessTagLength, '0');
    }();
    return tag;
}

// The random part of a name isTemporaryName() accepted.
QByteArray randomPartOf(const QByteArray &name)
{
    return name.mid(name.lastIndexOf(kMarker) + qsizetype(sizeof(kMarker) - 1));
}

QByteArray folderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

QByteArray nameOf(const QByteArray &path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

// Cuts at most `limit` bytes without splitting a UTF-8 sequence.
QByteArray utf8Prefix(const QByteArray &bytes, qsizetype limit)
{
    if (bytes.size() <= limit)
        return bytes;
    qsizetype end = limit;
    while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80)
        --end;
    return bytes.left(end);
}

} // namespace

void TemporaryDownloadFile::checkDestination(const QByteArray &destinationPath)
{
    const QByteArray name = nameOf(destinationPath);
    if (name.isEmpty() || name == "." || name == ".." || destinationPath.contains('\0'))
        throw LocalFileError(EINVAL);
    struct stat info {};
    if (::stat(folderOf(destinationPath).constData(), &info) != 0)
        throw LocalFileError(errno);
    if (!S_ISDIR(info.st_mode))
        throw LocalFileError(ENOTDIR);
    if (::lstat(destinationPath.constData(), &info) == 0 && S_ISDIR(info.st_mode))
        throw LocalFileError(EISDIR);
}

QByteArray TemporaryDownloadFile::temporaryName(const QByteArray &destinationName, const QByteArray &randomPart)
{
    const qsizetype room = kNameLimit - 1 - qsizetype(sizeof(kMarker) - 1) - randomPart.size();
    return '.' + utf8Prefix(destinationName, room) + kMarker + randomPart;
}

TemporaryDownloadFile::TemporaryDownloadFile(QByteArray destinationPath) : m_destination(std::move(destinationPath))
{
}

TemporaryDownloadFile::~TemporaryDownloadFile()
{
    discard();
}

void TemporaryDownloadFile::create()
{
    checkDestination(m_destination);
    const QByteArray folder = folderOf(m_destination);
    const QByteArray name = nameOf(m_destination);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray random = processTag() + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        const QByteArray candidate = (folder == "/" ? folder : folder + '/') + temporaryName(name, random);
        // O_EXCL never reuses an existing file; 0666 lets the umask decide, as for any new file.
        const int fd = ::open(candidate.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_fd = fd;
            m_path = candidate;
            return;
        }
        if (errno != EEXIST)
            throw LocalFileError(errno);
    }
    throw LocalFileError(EEXIST);
}

void TemporaryDownloadFile::write(const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(m_fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throw LocalFileError(errno);
        }
        data += written;
        left -= written;
        m_written += written;
    }
    // Start writing back what is complete so the final fsync has little left to wait for.
    if (m_written - m_writebackStart >= kWritebackStep) {
        ::sync_file_range(m_fd, m_writebackStart, m_written - m_writebackStart, SYNC_FILE_RANGE_WRITE);
        m_writebackStart = m_written;
    }
}

void TemporaryDownloadFile::commit(const std::optional<JudgedDestination> &judged)
{
    if (::fsync(m_fd) != 0)
        throw LocalFileError(errno);
    const int closed = ::close(m_fd);
    m_fd = -1;
    if (closed != 0)
        throw LocalFileError(errno);
    if (judged && !judged->stamp) {
        renameWithoutReplacing();
    } else {
        if (judged) {
            // The last look before the rename: a save that lands between the two is the one
            // case left to chance, and that window is the length of a system call.
            struct stat now {};
            if (::lstat(m_destination.constData(), &now) != 0) {
                if (errno != ENOENT && errno != ENOTDIR)
                    throw LocalFileError(errno);
                throw DestinationChangedError();
            }
            if (!S_ISREG(now.st_mode) || FileStamp::of(now) != *judged->stamp)
                throw DestinationChangedError();
        }
        // rename(2) refuses to put a file over a directory (EISDIR), so a folder that appeared
        // at the destination meanwhile is never replaced.
        if (::rename(m_path.constData(), m_destination.constData()) != 0)
            throw LocalFileError(errno);
    }
    m_path.clear();
    // Make the rename itself durable; a failure here loses nothing already visible.
    const int folder = ::open(folderOf(m_destination).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}

void TemporaryDownloadFile::renameWithoutReplacing()
{
    if (::renameat2(AT_FDCWD, m_path.constData(), AT_FDCWD, m_destination.constData(), RENAME_NOREPLACE) == 0)
        return;
    if (errno == EEXIST)
        throw DestinationChangedError();
    if (errno != EINVAL && errno != ENOSYS)
        throw LocalFileError(errno);
    // A file system that cannot be asked not to replace (some network and user-space ones):
    // link(2) never replaces either, and then the temporary name goes.
    if (::link(m_path.constData(), m_destination.constData()) == 0) {
        ::unlink(m_path.constData());
        return;
    }
    if (errno == EEXIST)
        throw DestinationChangedError();
    if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK)
        throw LocalFileError(errno);
    // Without links either: a last look, then the rename.
    struct stat now {};
    if (::lstat(m_destination.constData(), &now) == 0)
        throw DestinationChangedError();
    if (errno != ENOENT)
        throw LocalFileError(errno);
    if (::rename(m_path.constData(), m_destination.constData()) != 0)
        throw LocalFileError(errno);
}

void TemporaryDownloadFile::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_path.isEmpty()) {
        ::unlink(m_path.constData());
        m_path.clear();
    }
}

bool TemporaryDownloadFile::isTemporaryName(const QByteArray &name)
{
    // "." + destination name + marker + random part in base 36 (see create()).
    const qsizetype marker = name.lastIndexOf(kMarker);
    if (!name.startsWith('.') || marker < 1)
        return false;
    const QByteArray random = randomPartOf(name);
    return !random.isEmpty() && std::all_of(random.begin(), random.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
    });
}

namespace {

// Removes the regular files with a temporary name in the folder's tree that `expired` accepts.
// Hidden folders below the root are not entered: no download goes there (the scan skips them).
template<typename Expired>
TemporaryDownloadFile::LeftoverCleanup removeTemporaries(const QByteArray &folder, Expired expired)
{
    TemporaryDownloadFile::LeftoverCleanup result;
    QByteArray root = folder;
    char *roots[] = {root.data(), nullptr};
    // FTS_PHYSICAL: links are reported as links, never followed; only the root itself may be
    // one (the folder the user chose), as for the scan and the watcher.
    FTS *walk = ::fts_open(roots, FTS_PHYSICAL | FTS_COMFOLLOW | FTS_NOCHDIR | FTS_XDEV, nullptr);
    if (!walk) {
        ++result.failed;
        return result;
    }
    while (FTSENT *entry = ::fts_read(walk)) {
        switch (entry->fts_info) {
        case FTS_D:
            if (entry->fts_level > FTS_ROOTLEVEL && entry->fts_name[0] == '.')
                ::fts_set(walk, entry, FTS_SKIP);
            break;
        case FTS_DNR:
        case FTS_ERR:
        case FTS_NS:
            ++result.failed;
            break;
        case FTS_F: {
            const QByteArray name(entry->fts_name, entry->fts_namelen);
            if (!TemporaryDownloadFile::isTemporaryName(name))
                break;
            const struct stat &info = *entry->fts_statp;
            const qint64 changed = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
            if (!expired(name, changed))
                break;
            if (::unlink(entry->fts_path) == 0)
                ++result.removed;
            else
                ++result.failed;
            break;
        }
        default:
            break;
        }
    }
    ::fts_close(walk);
    return result;
}

qint64 nanosecondsOf(std::chrono::system_clock::time_point time)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

} // namespace

TemporaryDownloadFile::LeftoverCleanup TemporaryDownloadFile::removeLeftovers(
    const QByteArray &folder, std::chrono::system_clock::time_point olderThan)
{
    const qint64 limit = nanosecondsOf(olderThan);
    return removeTemporaries(folder, [limit](const QByteArray &, qint64 changed) { return changed < limit; });
}

TemporaryDownloadFile::LeftoverCleanup TemporaryDownloadFile::removeLeftoversOfEarlierRuns(const QByteArray &folder)
{
    const qint64 limit = nanosecondsOf(processStart);
    return removeTemporaries(folder, [limit](const QByteArray &name, qint64 changed) {
        const QByteArray random = randomPartOf(name);
        const bool ours = random.size() > kProcessTagLength && random.startsWith(processTag());
        return !ours && changed < limit;
    });
}

} // namespace quillmere
