#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUuid>

#include <array>
#include <deque>
#include <optional>

namespace quillmere {

// The activity log: the newest 500 sync events in memory for the interface, each also
// written as one line to the system log (syslog, ident = bundle identifier), or to standard
// error where no system logger listens.
// One instance, on the main thread; log() and clear() may be called from any thread.
class SyncLogger : public QObject
{
    Q_OBJECT

public:
    enum class Event {
        connected,
        disconnected,
        syncStarted,
        syncCompleted,
        syncFailed,
        pendingRetry,
        fileUploaded,
        fileDownloaded,
        fileDeduplicated,
        fileSkipped,
        fileConflict,
        folderConfigured,
        folderCleared,
        bookmarkRefreshed,
        deltaSync,
    };

    enum class Direction { upload, download, none };

    struct Entry
    {
        // Unique in the process and beyond it, random-UUID shaped; not every id is drawn afresh.
        QUuid id;
        // The moment log() was called; taken in UTC, shown in local time.
        QDateTime timestamp;
        Event event;
        Direction direction;
        QString filename;
        std::optional<QString> detail;

        // "[<time>] <arrow> <event word>[ <file name>][ (<detail>)]"
        QString formattedLine() const;
    };

    static constexpr int maxEntries = 500;

    // The shown word of an event ("Upload") and its inverse; the inverse accepts exactly the
    // fifteen words, case-sensitively.
    static QString rawValue(Event event);
    static std::optional<Event> eventFromRawValue(const QString &raw);
    static QString rawValue(Direction direction);
    static std::optional<Direction> directionFromRawValue(const QString &raw);
    static const std::array<Event, 15> &allEvents();

    // The system-log copy of an entry: private lines (the progress events that name folders,
    // and any detail holding a path) carry "<private>" in place of their detail.
    static bool isPrivate(const Entry &entry);
    static QString systemLogLine(const Entry &entry);
    // syslog(3) priority: LOG_ERR for failures and conflicts, LOG_INFO otherwise.
    static int systemLogPriority(Event event);

    static SyncLogger &shared();
    // Where the system logger is looked for (/dev/log); the next line looks again.
    static void setSystemLogSocketForTesting(const QByteArray &path);

    void log(Event event, Direction direction, const QString &filename,
             const std::optional<QString> &detail = std::nullopt);
    void clear();

    const std::deque<Entry> &entries() const { return m_entries; }

Q_SIGNALS:
    // Emitted once for an append and once more for the trim that follows it.
    void entriesChanged();

private:
    SyncLogger();
    void append(Entry entry);

    std::deque<Entry> m_entries;
};

} // namespace quillmere
