#include "ActivityLog/SyncLogger.h"

#include <QCoreApplication>
#include <QLocale>
#include <QMetaObject>
#include <QThread>

#include <atomic>
#include <chrono>
#include <mutex>

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace quillmere {

namespace {

struct EventInfo
{
    SyncLogger::Event event;
    const char *word;
};

constexpr EventInfo eventTable[] = {
    {SyncLogger::Event::connected, "Connected"},
    {SyncLogger::Event::disconnected, "Disconnected"},
    {SyncLogger::Event::syncStarted, "Sync Started"},
    {SyncLogger::Event::syncCompleted, "Sync Completed"},
    {SyncLogger::Event::syncFailed, "Sync Failed"},
    {SyncLogger::Event::pendingRetry, "Pending Retry"},
    {SyncLogger::Event::fileUploaded, "Upload"},
    {SyncLogger::Event::fileDownloaded, "Download"},
    {SyncLogger::Event::fileDeduplicated, "Deduplicated"},
    {SyncLogger::Event::fileSkipped, "Skipped"},
    {SyncLogger::Event::fileConflict, "Conflict"},
    {SyncLogger::Event::folderConfigured, "Folder Configured"},
    {SyncLogger::Event::folderCleared, "Folder Cleared"},
    {SyncLogger::Event::bookmarkRefreshed, "Bookmark Refreshed"},
    {SyncLogger::Event::deltaSync, "Delta Sync"},
};

constexpr char16_t upArrow = u'\u2191';
constexpr char16_t downArrow = u'\u2193';
constexpr char16_t emDash = u'\u2014';

// The locale's long time format names the time zone ("t"); the log shows hours, minutes and
// seconds only, so the zone and the blank that separates it are dropped. Quoted literals are
// left alone.
QString timeFormatWithoutZone(const QString &format)
{
    QString out;
    out.reserve(format.size());
    bool quoted = false;
    bool droppedZone = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c == u'\'') {
            quoted = !quoted;
            out.append(c);
            continue;
        }
        if (!quoted && c == u't') {
            while (i + 1 < format.size() && format.at(i + 1) == u't')
                ++i;
            if (!out.isEmpty() && out.back().isSpace()) {
                while (!out.isEmpty() && out.back().isSpace())
                    out.chop(1);
            } else {
                droppedZone = true; // the zone led: drop the blank that follows instead
            }
            continue;
        }
        if (droppedZone && c.isSpace())
            continue;
        droppedZone = false;
        out.append(c);
    }
    return out.trimmed();
}

void openSystemLog()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // syslog keeps the pointer: the ident must live for the whole process.
        static const char ident[] = "app.quillmere.Quillmere";
        ::openlog(ident, LOG_PID | LOG_NDELAY, LOG_USER);
    });
}

} // namespace

QString SyncLogger::Entry::formattedLine() const
{
    const QLocale locale;
    const QString timeText = locale.toString(timestamp.toLocalTime().time(),
                                             timeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat)));
    QString line;
    line.reserve(32 + filename.size() + (detail ? detail->size() : 0));
    line += u'[';
    line += timeText;
    line += QStringLiteral("] ");
    line += SyncLogger::rawValue(direction);
    line += u' ';
    line += SyncLogger::rawValue(event);
    if (!filename.isEmpty()) {
        line += u' ';
        line += filename;
    }
    if (detail) {
        line += QStringLiteral(" (");
        line += *detail;
        line += u')';
    }
    return line;
}

QString SyncLogger::rawValue(Event event)
{
    for (const auto &info : eventTable) {
        if (info.event == event)
            return QString::fromLatin1(info.word);
    }
    return QString();
}

std::optional<SyncLogger::Event> SyncLogger::eventFromRawValue(const QString &raw)
{
    for (const auto &info : eventTable) {
        if (raw == QLatin1String(info.word))
            return info.event;
    }
    return std::nullopt;
}

QString SyncLogger::rawValue(Direction direction)
{
    switch (direction) {
    case Direction::upload:
        return QString(QChar(upArrow));
    case Direction::download:
        return QString(QChar(downArrow));
    case Direction::none:
        break;
    }
    return QString(QChar(emDash));
}

std::optional<SyncLogger::Direction> SyncLogger::directionFromRawValue(const QString &raw)
{
    if (raw.size() != 1)
        return std::nullopt;
    switch (raw.at(0).unicode()) {
    case upArrow:
        return Direction::upload;
    case downArrow:
        return Direction::download;
    case emDash:
        return Direction::none;
    default:
        return std::nullopt;
    }
}

const std::array<SyncLogger::Event, 15> &SyncLogger::allEvents()
{
    static const std::array<Event, 15> events = [] {
        std::array<Event, 15> out{};
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = eventTable[i].event;
        return out;
    }();
    return events;
}

bool SyncLogger::isPrivate(const Entry &entry)
{
    return entry.event == Event::syncStarted || entry.event == Event::folderConfigured ||
           (entry.detail && entry.detail->contains(u'/'));
}

int SyncLogger::systemLogPriority(Event event)
{
    return (event == Event::syncFailed || event == Event::fileConflict) ? LOG_ERR : LOG_INFO;
}

QString SyncLogger::systemLogLine(const Entry &entry)
{
    if (!isPrivate(entry) || !entry.detail)
        return entry.formattedLine();
    // The journal is readable by more than the user's own session: paths and folder names
    // stay in the in-memory list only.
    Entry redacted = entry;
    redacted.detail = QStringLiteral("<private>");
    return redacted.formattedLine();
}

SyncLogger &SyncLogger::shared()
{
    // Never destroyed: other threads may still log while statics are torn down.
    static SyncLogger *instance = [] {
        auto *logger = new SyncLogger;
        if (auto *app = QCoreApplication::instance(); app && logger->thread() != app->thread())
            logger->moveToThread(app->thread());
        return logger;
    }();
    return *instance;
}

// Where no system logger listens, every syslog() call tries to connect again (a socket, a
// connect, a close), once per line and on whichever thread logs, the main one included. The
// socket is looked for at most every 30 s instead; a logger that starts later gets the lines
// from then on. A socket file left behind by a logger that is gone counts as no logger: only a
// socket that takes a connection listens.
namespace {

std::mutex systemLogSocketMutex;
QByteArray systemLogSocket = QByteArrayLiteral("/dev/log");
std::atomic<std::chrono::steady_clock::rep> systemLogCheckedAt{0};
std::atomic<bool> systemLogListens{true};

bool socketTakesConnections(const QByteArray &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || std::size_t(path.size()) >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        const bool connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
        ::close(fd);
        if (connected)
            return true;
    }
    return false;
}

bool systemLogListening()
{
    using Clock = std::chrono::steady_clock;
    const Clock::rep now = Clock::now().time_since_epoch().count();
    Clock::rep last = systemLogCheckedAt.load(std::memory_order_relaxed);
    const Clock::rep period = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(30)).count();
    if ((last == 0 || now - last >= period) && systemLogCheckedAt.compare_exchange_strong(last, now)) {
        QByteArray path;
        {
            const std::lock_guard lock(systemLogSocketMutex);
            path = systemLogSocket;
        }
        systemLogListens.store(socketTakesConnections(path), std::memory_order_relaxed);
    }
    return systemLogListens.load(std::memory_order_relaxed);
}

// One write per line, so lines of several threads never interleave.
void writeToStandardError(const QString &line)
{
    const QByteArray bytes = QByteArrayLiteral("app.quillmere.Quillmere: ") + line.toUtf8() + '\n';
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(STDERR_FILENO, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += written;
    }
}

} // namespace

void SyncLogger::setSystemLogSocketForTesting(const QByteArray &path)
{
    {
        const std::lock_guard lock(systemLogSocketMutex);
        systemLogSocket = path;
    }
    systemLogCheckedAt.store(0);
}

SyncLogger::SyncLogger()
{
    openSystemLog();
}

void SyncLogger::log(Event event, Direction direction, const QString &filename,
                     const std::optional<QString> &detail)
{
    Entry entry{QUuid::createUuid(), QDateTime::currentDateTime(), event, direction, filename, detail};

    // The system-log copy is written on the caller's thread at once, so it may precede the
    // in-memory entry of a call that had to hop to the main thread.
    // With no system logger the same lines, private parts hidden alike, go to standard error.
    if (systemLogListening()) {
        const QByteArray line = systemLogLine(entry).toUtf8();
        ::syslog(systemLogPriority(event), "%s", line.constData());
    } else {
        writeToStandardError(systemLogLine(entry));
    }

    if (QThread::currentThread() == thread()) {
        append(std::move(entry));
    } else {
        QMetaObject::invokeMethod(
            this, [this, entry = std::move(entry)]() mutable { append(std::move(entry)); },
            Qt::QueuedConnection);
    }
}

void SyncLogger::clear()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this]() { clear(); }, Qt::QueuedConnection);
        return;
    }
    m_entries.clear();
    Q_EMIT entriesChanged();
}

void SyncLogger::append(Entry entry)
{
    m_entries.push_back(std::move(entry));
    Q_EMIT entriesChanged();
    if (m_entries.size() > static_cast<std::size_t>(maxEntries)) {
        m_entries.erase(m_entries.begin(), m_entries.end() - maxEntries);
        Q_EMIT entriesChanged();
    }
}

} // namespace quillmere
