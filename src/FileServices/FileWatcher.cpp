#include "FileServices/FileWatcher.h"

#include "FileServices/FileScan.h"
#include "Platform/Async/ThreadStopSignal.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QLoggingCategory>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace quillmere {

namespace {

Q_LOGGING_CATEGORY(fileWatcherLog, "app.quillmere.Quillmere.FileWatcher")

using SteadyClock = std::chrono::steady_clock;

// IN_ATTRIB is left out on purpose: permission and timestamp changes alone are not changes.
constexpr uint32_t eventMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY
                               | IN_DELETE_SELF | IN_MOVE_SELF | IN_EXCL_UNLINK;
constexpr uint32_t directoryMask = eventMask | IN_ONLYDIR | IN_DONT_FOLLOW;

QByteArray joined(const QByteArray &dir, const char *name)
{
    QByteArray path = dir;
    if (path != "/")
        path += '/';
    path += name;
    return path;
}

bool isSameOrBelow(const QByteArray &path, const QByteArray &dir)
{
    return path == dir || (path.startsWith(dir) && path.size() > dir.size() && path[dir.size()] == '/');
}

} // namespace

struct FileWatcher::Session
{
    Callback callback;
    std::chrono::milliseconds window;
    QByteArray root;
    int inotifyFd = -1;
    int rootWatch = -1;
    ThreadStopSignal stop;

    std::unordered_map<int, QByteArray> pathOfWatch;
    QHash<QByteArray, int> watchOfPath;
    // Directories moved away, by cookie, until their arrival (or its absence) is known.
    std::unordered_map<uint32_t, QByteArray> departedDirectories;

    std::vector<char> buffer = std::vector<char>(256 * 1024);
    QSet<QByteArray> pending;
    SteadyClock::time_point flushAt;
    bool warnedNoSpace = false;

    ~Session()
    {
        if (inotifyFd >= 0)
            close(inotifyFd);
    }

    void run();
    void drainEvents();
    void handle(const inotify_event &event, const char *name);
    void note(const QByteArray &path);
    void flush();

    void registerWatch(int wd, const QByteArray &path);
    void eraseWatch(int wd);
    void watchTree(const QByteArray &dir, bool reportFiles);
    void renameWatches(const QByteArray &from, const QByteArray &to);
    void dropWatches(const QByteArray &dir);
    void forgetWatches(const QByteArray &dir);
    void dropAllWatches();
    std::vector<int> watchesUnder(const QByteArray &dir) const;
};

void FileWatcher::Session::note(const QByteArray &path)
{
    if (pending.isEmpty())
        flushAt = SteadyClock::now() + window;
    pending.insert(path);
}

void FileWatcher::Session::registerWatch(int wd, const QByteArray &path)
{
    // The same directory reached under a new name keeps its descriptor: forget the old name.
    auto existing = pathOfWatch.find(wd);
    if (existing != pathOfWatch.end() && existing->second != path)
        eraseWatch(wd);
    pathOfWatch[wd] = path;
    watchOfPath.insert(path, wd);
}

// A directory replaced by another moved onto its name leaves two descriptors with one path
// for a moment: the reverse entry belongs to whichever registered last.
void FileWatcher::Session::eraseWatch(int wd)
{
    auto found = pathOfWatch.find(wd);
    if (found == pathOfWatch.end())
        return;
    auto reverse = watchOfPath.find(found->second);
    if (reverse != watchOfPath.end() && reverse.value() == wd)
        watchOfPath.erase(reverse);
    pathOfWatch.erase(found);
}

void FileWatcher::Session::watchTree(const QByteArray &dir, bool reportFiles)
{
    // The watch goes on before the listing: anything created in between shows up in the
    // listing, anything later as an event; the set merges the two.
    const int wd = inotify_add_watch(inotifyFd, dir.constData(), directoryMask);
    if (wd >= 0) {
        registerWatch(wd, dir);
    } else if (errno == ENOSPC) {
        if (!warnedNoSpace) {
            warnedNoSpace = true;
            qCWarning(fileWatcherLog, "out of inotify watches (fs.inotify.max_user_watches); "
                      "changes in some folders will only be seen by the next full scan");
        }
    } else {
        // Gone again, or no folder any more: nothing to watch. Anything else is said once
        // per folder; the next full scan reports the folder as unreadable.
        if (errno != ENOENT && errno != ENOTDIR)
            qCWarning(fileWatcherLog, "cannot watch folder %s: %s", dir.constData(), std::strerror(errno));
        return;
    }

    const int fd = open(dir.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    DIR *listing = fdopendir(fd);
    if (!listing) {
        close(fd);
        return;
    }
    std::vector<QByteArray> subdirectories;
    while (const dirent *entry = readdir(listing)) {
        if (entry->d_name[0] == '.')
            continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR)
            subdirectories.push_back(joined(dir, entry->d_name));
        else if (type == DT_REG && reportFiles)
            note(joined(dir, entry->d_name));
    }
    closedir(listing);
    for (const QByteArray &sub : subdirectories)
        watchTree(sub, reportFiles);
}

std::vector<int> FileWatcher::Session::watchesUnder(const QByteArray &dir) const
{
    std::vector<int> found;
    for (const auto &[wd, path] : pathOfWatch) {
        if (isSameOrBelow(path, dir))
            found.push_back(wd);
    }
    return found;
}

void FileWatcher::Session::renameWatches(const QByteArray &from, const QByteArray &to)
{
    for (int wd : watchesUnder(from)) {
        const QByteArray old = pathOfWatch[wd];
        registerWatch(wd, to + old.mid(from.size()));
    }
}

void FileWatcher::Session::forgetWatches(const QByteArray &dir)
{
    for (int wd : watchesUnder(dir))
        eraseWatch(wd);
}

void FileWatcher::Session::dropWatches(const QByteArray &dir)
{
    for (int wd : watchesUnder(dir)) {
        inotify_rm_watch(inotifyFd, wd);
        eraseWatch(wd);
    }
}

void FileWatcher::Session::dropAllWatches()
{
    for (const auto &[wd, path] : pathOfWatch)
        inotify_rm_watch(inotifyFd, wd);
    pathOfWatch.clear();
    watchOfPath.clear();
    rootWatch = -1;
}

void FileWatcher::Session::handle(const inotify_event &event, const char *name)
{
    if (event.mask & IN_Q_OVERFLOW) {
        // Events were lost, possibly directory creations too: re-establish every watch and
        // let the owner rescan from the root.
        note(root);
        if (rootWatch >= 0)
            watchTree(root, false);
        return;
    }
    auto found = pathOfWatch.find(event.wd);
    if (found == pathOfWatch.end())
        return;
    const QByteArray dir = found->second;

    if (event.mask & IN_IGNORED) {
        eraseWatch(event.wd);
        if (event.wd == rootWatch)
            rootWatch = -1;
        return;
    }
    if (event.mask & IN_UNMOUNT) {
        note(root);
        return;
    }
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
        if (event.wd == rootWatch) {
            note(root);
            // Under a new name every path we would report is wrong; watching ends here.
            if (event.mask & IN_MOVE_SELF)
                dropAllWatches();
        }
        return;
    }
    if (event.len == 0)
        return;

    const QByteArray path = joined(dir, name);
    const bool hidden = name[0] == '.';
    const bool isDirectory = event.mask & IN_ISDIR;

    if (event.mask & IN_MOVED_FROM) {
        if (isDirectory)
            departedDirectories[event.cookie] = path;
    } else if (event.mask & IN_MOVED_TO) {
        if (isDirectory) {
            auto departed = departedDirectories.find(event.cookie);
            if (departed != departedDirectories.end()) {
                const QByteArray from = departed->second;
                departedDirectories.erase(departed);
                if (hidden)
                    dropWatches(from);
                else if (watchOfPath.contains(from))
                    renameWatches(from, path);
                else
                    watchTree(path, true);
            } else if (!hidden) {
                watchTree(path, true);
            }
        }
    } else if (event.mask & IN_CREATE) {
        if (isDirectory && !hidden)
            watchTree(path, true);
    } else if (event.mask & IN_DELETE) {
        if (isDirectory)
            forgetWatches(path);
    }
    if (!hidden)
        note(path);
}

void FileWatcher::Session::drainEvents()
{
    for (;;) {
        const ssize_t length = read(inotifyFd, buffer.data(), buffer.size());
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            break;
        for (ssize_t offset = 0; offset < length;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            const char *name = event.len ? buffer.data() + offset + sizeof(inotify_event) : "";
            handle(event, name);
            offset += ssize_t(sizeof(inotify_event) + event.len);
        }
        // Under a steady stream of changes the queue may never run dry: a due batch still
        // goes out, and the reading resumes after it.
        if (!pending.isEmpty() && SteadyClock::now() >= flushAt)
            return;
    }
    // The two halves of a rename are queued together, so a departure still unmatched once
    // the queue is empty left the tree.
    for (const auto &[cookie, from] : departedDirectories)
        dropWatches(from);
    departedDirectories.clear();
}

void FileWatcher::Session::flush()
{
    QSet<QString> batch;
    batch.reserve(pending.size());
    for (const QByteArray &path : std::as_const(pending)) {
        if (path == root) {
            batch.insert(QFile::decodeName(path));
            continue;
        }
        if (hasHiddenComponent(root, path))
            continue;
        struct stat st;
        bool report = false;
        if (lstat(path.constData(), &st) != 0)
            report = true; // vanished: nothing left to judge it by
        else if (S_ISDIR(st.st_mode))
            report = true;
        else if (S_ISREG(st.st_mode))
            report = !isExcludedFileName(path.constData() + path.lastIndexOf('/') + 1);
        if (report)
            batch.insert(QFile::decodeName(path));
    }
    pending.clear();
    if (batch.isEmpty())
        return;
    try {
        callback(batch);
    } catch (const std::exception &error) {
        qCWarning(fileWatcherLog, "callback failed: %s", error.what());
    } catch (...) {
        qCWarning(fileWatcherLog, "callback failed");
    }
}

void FileWatcher::Session::run()
{
    // The root watch exists already; the rest of the tree is watched from here so the
    // owner's thread never walks it. Without it there is nothing to watch: the root's report
    // is all this run delivers.
    if (rootWatch >= 0)
        watchTree(root, false);

    while (!stop.requested()) {
        int timeout = -1;
        if (!pending.isEmpty()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(flushAt - SteadyClock::now());
            timeout = int(std::max<std::chrono::milliseconds::rep>(0, left.count()));
        }
        pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {stop.fd(), POLLIN, 0}};
        const int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR)
            break;
        if (stop.requested())
            break;
        if (ready > 0 && (fds[0].revents & POLLIN))
            drainEvents();
        if (!pending.isEmpty() && SteadyClock::now() >= flushAt)
            flush();
    }
}

FileWatcher::FileWatcher(Callback callback, std::chrono::milliseconds window)
    : m_callback(std::move(callback))
    , m_window(window)
{
}

FileWatcher::~FileWatcher()
{
    stop();
}

void FileWatcher::start(const QString &path)
{
    stop();
    auto session = std::make_shared<Session>();
    session->callback = m_callback;
    session->window = m_window;
    session->root = QFile::encodeName(normalizedPath(path));
    session->inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (session->inotifyFd < 0 || !session->stop.isValid()) {
        qCWarning(fileWatcherLog, "cannot create an inotify instance: %s", std::strerror(errno));
        return;
    }
    // The root's watch is in place before start() returns, so a change right after it is
    // seen; the root may be a link the user chose, so it alone is followed.
    session->rootWatch = inotify_add_watch(session->inotifyFd, session->root.constData(), eventMask | IN_ONLYDIR);
    if (session->rootWatch >= 0) {
        session->registerWatch(session->rootWatch, session->root);
    } else {
        // Gone, or no folder any more, since the owner last looked: it hears of it as of a
        // root that goes while watched, instead of waiting on a watcher that sees nothing.
        if (errno != ENOENT && errno != ENOTDIR)
            qCWarning(fileWatcherLog, "cannot watch folder %s: %s", session->root.constData(), std::strerror(errno));
        session->note(session->root);
    }
    m_session = session;
    m_thread = std::thread([session] { session->run(); });
}

void FileWatcher::stop()
{
    if (!m_session)
        return;
    // Run on the watcher's own thread, the session lives on in it until its loop sees the stop.
    m_session->stop.requestAndJoin(m_thread);
    m_session.reset();
}

} // namespace quillmere
