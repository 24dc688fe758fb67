#include "ActivityLog/SyncLogger.h"

#include <QCoreApplication>
#include <QLocale>
#include <QMetaObject>
#include <QStringEncoder>
#include <QThread>
#include <QVarLengthArray>

#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <string_view>

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace quillmere {

namespace {

struct EventInfo
{
    SyncLogger::Event event;
    QStringView word;
};

constexpr EventInfo eventTable[] = {
    {SyncLogger::Event::connected, u"Connected"},
    {SyncLogger::Event::disconnected, u"Disconnected"},
    {SyncLogger::Event::syncStarted, u"Sync Started"},
    {SyncLogger::Event::syncCompleted, u"Sync Completed"},
    {SyncLogger::Event::syncFailed, u"Sync Failed"},
    {SyncLogger::Event::pendingRetry, u"Pending Retry"},
    {SyncLogger::Event::fileUploaded, u"Upload"},
    {SyncLogger::Event::fileDownloaded, u"Download"},
    {SyncLogger::Event::fileDeduplicated, u"Deduplicated"},
    {SyncLogger::Event::fileSkipped, u"Skipped"},
    {SyncLogger::Event::fileConflict, u"Conflict"},
    {SyncLogger::Event::folderConfigured, u"Folder Configured"},
    {SyncLogger::Event::folderCleared, u"Folder Cleared"},
    {SyncLogger::Event::bookmarkRefreshed, u"Bookmark Refreshed"},
    {SyncLogger::Event::deltaSync, u"Delta Sync"},
};

constexpr char16_t upArrow = u'\u2191';
constexpr char16_t downArrow = u'\u2193';
constexpr char16_t emDash = u'\u2014';

QStringView eventWord(SyncLogger::Event event)
{
    for (const auto &info : eventTable) {
        if (info.event == event)
            return info.word;
    }
    return {};
}

// Static text: the word of an event and the arrow of a direction are shared, never copied.
QString staticText(QStringView text)
{
    return QString::fromRawData(reinterpret_cast<const QChar *>(text.utf16()), text.size());
}

QStringView directionMark(SyncLogger::Direction direction)
{
    static constexpr char16_t marks[] = {upArrow, downArrow, emDash};
    switch (direction) {
    case SyncLogger::Direction::upload:
        return QStringView(marks, 1);
    case SyncLogger::Direction::download:
        return QStringView(marks + 1, 1);
    case SyncLogger::Direction::none:
        break;
    }
    return QStringView(marks + 2, 1);
}

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

QString formatTime(const QDateTime &timestamp, const QLocale &locale)
{
    return locale.toString(timestamp.toLocalTime().time(),
                           timeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat)));
}

// A pass writes a few lines per file, many within one second. The local time of a second and
// its text in the locale's format cost more than the rest of a line (the conversion asks the
// C library, which looks at the zone file again each time), so the text of the last second
// formatted is kept. A change of zone shows from the next second on.
QString timeText(const QDateTime &timestamp)
{
    const QLocale locale;
    if (!timestamp.isValid())
        return formatTime(timestamp, locale);
    struct LastSecond
    {
        std::mutex mutex;
        qint64 second = std::numeric_limits<qint64>::min();
        QLocale locale;
        QString text;
    };
    // Never destroyed: other threads may still log while statics are torn down.
    static LastSecond *const last = new LastSecond;
    const qint64 msecs = timestamp.toMSecsSinceEpoch();
    const qint64 second = msecs >= 0 ? msecs / 1000 : (msecs - 999) / 1000;
    {
        const std::lock_guard lock(last->mutex);
        if (last->second == second && last->locale == locale)
            return last->text;
    }
    QString text = formatTime(timestamp, locale);
    const std::lock_guard lock(last->mutex);
    last->second = second;
    last->locale = locale;
    last->text = text;
    return text;
}

// The pieces of a line in order, "[<time>] <arrow> <event word>[ <file name>][ (<detail>)]",
// each handed to `out` as it is: the line is joined once, in whatever encoding `out` writes.
template <typename Out>
void composeLine(QStringView time, SyncLogger::Direction direction, SyncLogger::Event event, QStringView filename,
                 std::optional<QStringView> detail, Out &&out)
{
    out(u"[");
    out(time);
    out(u"] ");
    out(directionMark(direction));
    out(u" ");
    out(eventWord(event));
    if (!filename.isEmpty()) {
        out(u" ");
        out(filename);
    }
    if (detail) {
        out(u" (");
        out(*detail);
        out(u")");
    }
}

// The detail as the system log shows it.
std::optional<QStringView> systemLogDetail(const SyncLogger::Entry &entry)
{
    if (!entry.detail)
        return std::nullopt;
    // The journal is readable by more than the user's own session: paths and folder names
    // stay in the in-memory list only.
    if (SyncLogger::isPrivate(entry))
        return QStringView(u"<private>");
    return QStringView(*entry.detail);
}

// Every entry needs an id of its own, but 128 fresh random bits cost more than the rest of
// the line. One random id is drawn per process and a counter folded into its first 48 bits:
// ids never repeat in a process, differ between processes, and keep the random-UUID version
// and variant.
QUuid nextEntryID()
{
    static const QUuid base = QUuid::createUuid();
    static std::atomic<quint64> issued{0};
    const quint64 n = issued.fetch_add(1, std::memory_order_relaxed);
    QUuid id = base;
    id.data1 ^= quint32(n);
    id.data2 ^= quint16(n >> 32);
    return id;
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
    const QString time = timeText(timestamp);
    QString line;
    line.reserve(32 + time.size() + filename.size() + (detail ? detail->size() : 0));
    composeLine(time, direction, event, filename, detail ? std::optional<QStringView>(*detail) : std::nullopt,
                [&line](QStringView piece) { line += piece; });
    return line;
}

QString SyncLogger::rawValue(Event event)
{
    return staticText(eventWord(event));
}

std::optional<SyncLogger::Event> SyncLogger::eventFromRawValue(const QString &raw)
{
    for (const auto &info : eventTable) {
        if (raw == info.word)
            return info.event;
    }
    return std::nullopt;
}

QString SyncLogger::rawValue(Direction direction)
{
    return staticText(directionMark(direction));
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
    const QString time = timeText(entry.timestamp);
    QString line;
    composeLine(time, entry.direction, entry.event, entry.filename, systemLogDetail(entry),
                [&line](QStringView piece) { line += piece; });
    return line;
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

// A line of usual length is joined on the stack.
using Utf8Line = QVarLengthArray<char, 512>;

// The entry's system-log line in UTF-8, after `prefix`, ended by `last`.
void appendSystemLogBytes(const SyncLogger::Entry &entry, std::string_view prefix, char last, Utf8Line &out)
{
    const QString time = timeText(entry.timestamp);
    out.append(prefix.data(), qsizetype(prefix.size()));
    QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    composeLine(time, entry.direction, entry.event, entry.filename, systemLogDetail(entry),
                [&out, &encoder](QStringView piece) {
                    const qsizetype at = out.size();
                    out.resize(at + encoder.requiredSpace(piece.size()));
                    const char *end = encoder.appendToBuffer(out.data() + at, piece);
                    out.resize(end - out.data());
                });
    out.append(last);
}

// One write per line, so lines of several threads never interleave. Standard error may be a
// pipe whose reader has gone: the line is then dropped, and the SIGPIPE that the write raises
// (held back on this thread meanwhile) is taken here instead of ending the process.
void writeToStandardError(const Utf8Line &bytes)
{
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;

    bool broken = false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(STDERR_FILENO, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            broken = written < 0 && errno == EPIPE;
            break;
        }
        done += written;
    }
    if (broken && !alreadyPending) {
        const timespec noWait{};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
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
    // The moment in UTC: the local time is worked out only where the line is shown.
    Entry entry{nextEntryID(), QDateTime::currentDateTimeUtc(), event, direction, filename, detail};

    // The system-log copy is written on the caller's thread at once, so it may precede the
    // in-memory entry of a call that had to hop to the main thread.
    // With no system logger the same lines, private parts hidden alike, go to standard error.
    Utf8Line bytes;
    if (systemLogListening()) {
        appendSystemLogBytes(entry, {}, '\0', bytes);
        ::syslog(systemLogPriority(event), "%s", bytes.constData());
    } else {
        appendSystemLogBytes(entry, "app.quillmere.Quillmere: ", '\n', bytes);
        writeToStandardError(bytes);
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
