#include "ActivityLog/SyncLogger.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <chrono>
#include <set>
#include <thread>

#include <cstdio>
#include <cstring>

#include <csignal>

#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

using namespace std::chrono_literals;
using quillmere::SyncLogger;
using quillmere::test::drainEvents;
using Event = SyncLogger::Event;
using Direction = SyncLogger::Direction;

namespace {

class SyncLoggerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        drainEvents();
        logger().clear();
        m_previousLocale = QLocale();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        m_connection = QObject::connect(&logger(), &SyncLogger::entriesChanged, [this] { ++changes; });
    }

    void TearDown() override
    {
        QObject::disconnect(m_connection);
        drainEvents();
        logger().clear();
        QLocale::setDefault(m_previousLocale);
    }

    static SyncLogger &logger() { return SyncLogger::shared(); }

    static SyncLogger::Entry entry(Event event, Direction direction, QString filename,
                                   std::optional<QString> detail)
    {
        return {QUuid::createUuid(),
                QDateTime(QDate(2026, 3, 14), QTime(15, 4, 5)),
                event,
                direction,
                std::move(filename),
                std::move(detail)};
    }

    int changes = 0;

private:
    QLocale m_previousLocale;
    QMetaObject::Connection m_connection;
};

} // namespace

TEST_F(SyncLoggerTest, KeepsTheNewest500OldestFirstAndSignalsAppendAndTrimSeparately)
{
    for (int i = 0; i < 600; ++i)
        logger().log(Event::syncStarted, Direction::none, QString(), QString::number(i));

    const auto &entries = logger().entries();
    ASSERT_EQ(entries.size(), 500u);
    std::set<QUuid> ids;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        ASSERT_EQ(entries[i].detail, QString::number(100 + int(i)));
        ids.insert(entries[i].id);
        ASSERT_EQ(entries[i].id.version(), QUuid::Random) << "ids keep the random-UUID version";
        ASSERT_EQ(entries[i].id.variant(), QUuid::DCE);
    }
    EXPECT_EQ(changes, 600 + 100);
    EXPECT_EQ(ids.size(), entries.size()) << "every entry gets its own id";
}

// The time follows the current locale, without the zone.
TEST_F(SyncLoggerTest, FormatsTheLineWithOptionalFileAndDetail)
{
    EXPECT_EQ(
        entry(Event::fileUploaded, Direction::upload, "Kick 01.wav", QStringLiteral("id:42")).formattedLine(),
        QString::fromUtf8("[3:04:05 PM] ↑ Upload Kick 01.wav (id:42)"));
    EXPECT_EQ(entry(Event::deltaSync, Direction::none, QString(), QStringLiteral("Manual sync requested"))
                  .formattedLine(),
              QString::fromUtf8("[3:04:05 PM] — Delta Sync (Manual sync requested)"));
    EXPECT_EQ(entry(Event::folderCleared, Direction::none, QString(), std::nullopt).formattedLine(),
              QString::fromUtf8("[3:04:05 PM] — Folder Cleared"));
    EXPECT_EQ(entry(Event::fileDownloaded, Direction::download, "Snare.aif", std::nullopt).formattedLine(),
              QString::fromUtf8("[3:04:05 PM] ↓ Download Snare.aif"));
    EXPECT_EQ(entry(Event::syncFailed, Direction::none, QString(), QString()).formattedLine(),
              QString::fromUtf8("[3:04:05 PM] — Sync Failed ()"));
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(entry(Event::connected, Direction::none, QString(), std::nullopt).formattedLine(),
              QString::fromUtf8("[15:04:05] — Connected"));
}

// A pass writes many lines a second and the time text of one second is reused: each line still
// shows its own second, in local time, whatever zone its timestamp was taken in.
TEST_F(SyncLoggerTest, EachLineShowsItsOwnSecondInLocalTime)
{
    const auto at = [](QTime time) {
        auto e = entry(Event::folderCleared, Direction::none, QString(), std::nullopt);
        e.timestamp = QDateTime(QDate(2026, 3, 14), time);
        return e.formattedLine();
    };
    EXPECT_EQ(at(QTime(15, 4, 5)), QString::fromUtf8("[3:04:05 PM] — Folder Cleared"));
    EXPECT_EQ(at(QTime(15, 4, 6)), QString::fromUtf8("[3:04:06 PM] — Folder Cleared"));
    EXPECT_EQ(at(QTime(15, 4, 5, 999)), QString::fromUtf8("[3:04:05 PM] — Folder Cleared"));
    EXPECT_EQ(at(QTime(3, 4, 5)), QString::fromUtf8("[3:04:05 AM] — Folder Cleared"));

    const QByteArray zone = qgetenv("TZ");
    const bool hadZone = qEnvironmentVariableIsSet("TZ");
    qputenv("TZ", "XYZ-2"); // two hours east of UTC, no summer time
    auto utc = entry(Event::folderCleared, Direction::none, QString(), std::nullopt);
    utc.timestamp = QDateTime(QDate(2026, 3, 14), QTime(13, 4, 7), Qt::UTC);
    const QString shown = utc.formattedLine();
    if (hadZone)
        qputenv("TZ", zone);
    else
        qunsetenv("TZ");
    EXPECT_EQ(shown, QString::fromUtf8("[3:04:07 PM] — Folder Cleared"));
}

TEST_F(SyncLoggerTest, SystemLogCopyHidesPathsAndFolderProgress)
{
    const auto failedWithPath = entry(Event::syncFailed, Direction::none, QString(), QStringLiteral("cannot open /home/u/a.wav"));
    EXPECT_TRUE(SyncLogger::isPrivate(failedWithPath));
    EXPECT_EQ(SyncLogger::systemLogLine(failedWithPath),
              QString::fromUtf8("[3:04:05 PM] — Sync Failed (<private>)"));

    for (Event progress : {Event::syncStarted, Event::folderConfigured})
        EXPECT_TRUE(SyncLogger::isPrivate(entry(progress, Direction::none, QString(), QStringLiteral("Drums"))));
    EXPECT_EQ(SyncLogger::systemLogLine(entry(Event::syncStarted, Direction::none, QString(), std::nullopt)),
              QString::fromUtf8("[3:04:05 PM] — Sync Started"));

    const auto delta = entry(Event::deltaSync, Direction::none, QString(), QStringLiteral("Manual sync requested"));
    EXPECT_FALSE(SyncLogger::isPrivate(delta));
    EXPECT_EQ(SyncLogger::systemLogLine(delta), delta.formattedLine());

    EXPECT_EQ(SyncLogger::systemLogPriority(Event::syncFailed), LOG_ERR);
    EXPECT_EQ(SyncLogger::systemLogPriority(Event::fileConflict), LOG_ERR);
    EXPECT_EQ(SyncLogger::systemLogPriority(Event::fileUploaded), LOG_INFO);
}

// What this process writes to standard error while the object lives.
class CapturedStandardError
{
public:
    CapturedStandardError()
    {
        m_file.open();
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        ::dup2(m_file.handle(), STDERR_FILENO);
    }
    ~CapturedStandardError() { restore(); }
    QString text()
    {
        restore();
        m_file.seek(0);
        return QString::fromUtf8(m_file.readAll());
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }
    QTemporaryFile m_file;
    int m_saved = -1;
};

TEST_F(SyncLoggerTest, WithoutASystemLoggerTheSameRedactedLinesGoToStandardError)
{
    QTemporaryDir dir;
    const QByteArray socketPath = QFile::encodeName(dir.filePath(QStringLiteral("log")));
    const QString secret = QStringLiteral("cannot open /home/u/Secret Song.wav");
    {
        // A logger's socket file left behind by a logger that is gone: nobody listens.
        const int stale = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, socketPath.constData(), std::size_t(socketPath.size()));
        ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr *>(&address), sizeof(address)), 0);
        ::close(stale);
        SyncLogger::setSystemLogSocketForTesting(socketPath);
        CapturedStandardError captured;
        logger().log(Event::syncFailed, Direction::none, QString(), secret);
        logger().log(Event::deltaSync, Direction::none, QString(), QStringLiteral("Harborly answered"));
        const QString text = captured.text();
        EXPECT_TRUE(text.contains(QStringLiteral("Sync Failed (<private>)"))) << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("Harborly answered"))) << text.toStdString();
        EXPECT_FALSE(text.contains(QStringLiteral("Secret Song"))) << "private lines stay private";
        EXPECT_EQ(text.count(u'\n'), 2);
    }
    {
        // Each line exactly as the system log would have it, file name and all.
        CapturedStandardError captured;
        logger().log(Event::fileUploaded, Direction::upload, QString::fromUtf8("Café Ø.wav"), QStringLiteral("id:7"));
        logger().log(Event::fileConflict, Direction::download, QStringLiteral("Kick.wav"),
                     QStringLiteral("kept /home/u/Kick.wav"));
        const QString text = captured.text();
        const auto &entries = logger().entries();
        ASSERT_GE(entries.size(), 2u);
        const QString prefix = QStringLiteral("app.quillmere.Quillmere: ");
        EXPECT_TRUE(text.endsWith(prefix + SyncLogger::systemLogLine(entries[entries.size() - 2]) + u'\n' + prefix +
                                  SyncLogger::systemLogLine(entries.back()) + u'\n'))
            << text.toStdString();
        EXPECT_TRUE(text.contains(QString::fromUtf8("↑ Upload Café Ø.wav (id:7)\n"))) << text.toStdString();
        EXPECT_TRUE(text.contains(QString::fromUtf8("↓ Conflict Kick.wav (<private>)\n"))) << text.toStdString();
    }
    {
        // A logger that listens gets the lines; standard error stays quiet.
        ::unlink(socketPath.constData());
        const int listening = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, socketPath.constData(), std::size_t(socketPath.size()));
        ASSERT_EQ(::bind(listening, reinterpret_cast<const sockaddr *>(&address), sizeof(address)), 0);
        SyncLogger::setSystemLogSocketForTesting(socketPath);
        CapturedStandardError captured;
        logger().log(Event::deltaSync, Direction::none, QString(), QStringLiteral("to the system log"));
        EXPECT_FALSE(captured.text().contains(QStringLiteral("to the system log")));
        ::close(listening);
    }
    SyncLogger::setSystemLogSocketForTesting(QByteArrayLiteral("/dev/log"));
}

// Standard error a pipe whose reader has gone (the terminal that started the program closed):
// the lines are dropped and the process goes on, with SIGPIPE left at its default.
TEST_F(SyncLoggerTest, ALineToAStandardErrorNobodyReadsIsDroppedAndTheProcessGoesOn)
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGPIPE, SIG_DFL);
        int ends[2];
        if (::pipe(ends) != 0)
            std::_Exit(2);
        ::close(ends[0]);
        ::dup2(ends[1], STDERR_FILENO);
        SyncLogger::setSystemLogSocketForTesting(QByteArrayLiteral("/nonexistent/quillmere-log"));
        logger().log(Event::syncFailed, Direction::none, QString(), QStringLiteral("first"));
        logger().log(Event::deltaSync, Direction::none, QString(), QStringLiteral("second"));
        // Still here, and a later signal of the kind is not swallowed by the logger.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        std::_Exit(sigismember(&pending, SIGPIPE) == 1 ? 3 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    if (WIFEXITED(status)) {
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

TEST_F(SyncLoggerTest, LogFromAnotherThreadReturnsAtOnceAndKeepsTheCallTime)
{
    QDateTime before, after;
    std::thread([&] {
        before = QDateTime::currentDateTime();
        logger().log(Event::syncFailed, Direction::none, QString(),
                     QStringLiteral("KeychainVault persist failed: x"));
        after = QDateTime::currentDateTime();
    }).join();

    EXPECT_TRUE(logger().entries().empty()) << "the append waits for the main thread";
    std::this_thread::sleep_for(30ms);
    drainEvents();

    ASSERT_EQ(logger().entries().size(), 1u);
    const auto &e = logger().entries().front();
    EXPECT_EQ(e.event, Event::syncFailed);
    EXPECT_GE(e.timestamp, before);
    EXPECT_LE(e.timestamp, after) << "the timestamp is the call's, not the append's";
}

TEST_F(SyncLoggerTest, ClearFromAnotherThreadAlsoRemovesEntriesAppendedBeforeItRuns)
{
    logger().log(Event::connected, Direction::none, QString());
    logger().log(Event::syncStarted, Direction::none, QString(), QStringLiteral("Started 1 lane(s)"));
    std::thread([] { logger().clear(); }).join();
    EXPECT_EQ(logger().entries().size(), 2u);

    logger().log(Event::syncCompleted, Direction::none, QString());
    drainEvents();
    EXPECT_TRUE(logger().entries().empty());
    logger().log(Event::disconnected, Direction::none, QString());
    EXPECT_EQ(logger().entries().size(), 1u);
}

TEST(SyncLoggerValues, EventsAndDirectionsRoundTripThroughTheirWordsOnly)
{
    const auto &events = SyncLogger::allEvents();
    std::set<QString> words;
    for (Event e : events) {
        words.insert(SyncLogger::rawValue(e));
        EXPECT_EQ(SyncLogger::eventFromRawValue(SyncLogger::rawValue(e)), e);
    }
    EXPECT_EQ(words.size(), events.size());

    EXPECT_EQ(SyncLogger::eventFromRawValue(QStringLiteral("upload")), std::nullopt);
    EXPECT_EQ(SyncLogger::eventFromRawValue(QStringLiteral("Sync Failed ")), std::nullopt);

    for (Direction d : {Direction::upload, Direction::download, Direction::none})
        EXPECT_EQ(SyncLogger::directionFromRawValue(SyncLogger::rawValue(d)), d);
    EXPECT_EQ(SyncLogger::directionFromRawValue(QStringLiteral("-")), std::nullopt);
    EXPECT_EQ(SyncLogger::directionFromRawValue(QString::fromUtf8("↑↑")), std::nullopt);
}
