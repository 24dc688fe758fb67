#include "Platform/Async/ManualClock.h"
#include "Platform/Workspace/DesktopEntries.h"
#include "Platform/Workspace/RunningApplications.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThreadPool>

#include <unistd.h>

namespace quillmere {

void PrintTo(const RunningApplication &app, std::ostream *out)
{
    *out << '{' << app.bundleIdentifier.toStdString() << ", " << app.name.toStdString() << ", "
         << app.executablePath.toStdString() << '}';
}

namespace {

using namespace std::chrono_literals;
using test::await;
using test::runFor;
using test::runUntil;
using test::writeFile;

// A /proc of plain files and symlinks, desktop entries and programs, all in one temporary folder.
class FakeSystem
{
public:
    QString path(const QString &relative) const { return dir.path() + u'/' + relative; }

    // An executable file in the search path; returns its canonical path.
    QString program(const QString &name)
    {
        const QString file = path(QStringLiteral("bin/") + name);
        writeFile(file, "#!/bin/sh\n");
        QFile::setPermissions(file, QFile::permissions(file) | QFile::ExeOwner);
        return QFileInfo(file).canonicalFilePath();
    }

    void entry(const QString &relative, const QByteArray &body)
    {
        writeFile(path(QStringLiteral("data/applications/") + relative), "[Desktop Entry]\nType=Application\n" + body);
    }

    void process(int pid, const QString &exe, char state = 'S', const QByteArray &environ = {}, unsigned long flags = 0)
    {
        const QString folder = path(QStringLiteral("proc/%1").arg(pid));
        QDir().mkpath(folder);
        // A command with spaces and parentheses, as /proc shows it.
        writeFile(folder + QStringLiteral("/stat"), QByteArray::number(pid) + " (odd (name) x) " + state + " 1 1 1 0 -1 "
                                                        + QByteArray::number(qulonglong(flags))
                                                        + " 0 0 0 0 0 0 0 0 20 0 1 0 4242 0 0\n");
        writeFile(folder + QStringLiteral("/environ"), environ);
        QFile::remove(folder + QStringLiteral("/exe"));
        QFile::link(exe, folder + QStringLiteral("/exe"));
    }

    void end(int pid) { QDir(path(QStringLiteral("proc/%1").arg(pid))).removeRecursively(); }

    ProcessRoots roots(uid_t uid = ::geteuid()) const
    {
        return {path(QStringLiteral("proc")), {path(QStringLiteral("data"))}, uid, QStringLiteral("de_DE.UTF-8"),
                {path(QStringLiteral("bin"))}};
    }

    QTemporaryDir dir;
};

QByteArray environment(const QList<QByteArray> &variables)
{
    return variables.join('\0') + '\0';
}

// Holds every thread of the global pool, so that work sent there waits until release().
class PoolHold
{
public:
    PoolHold() : m_threads(QThreadPool::globalInstance()->maxThreadCount())
    {
        for (int i = 0; i < m_threads; ++i)
            QThreadPool::globalInstance()->start([this] {
                m_started.release();
                m_release.acquire();
            });
        m_started.acquire(m_threads);
    }
    ~PoolHold() { release(); }
    void release()
    {
        if (!std::exchange(m_released, true))
            m_release.release(m_threads);
    }

private:
    const int m_threads;
    bool m_released = false;
    QSemaphore m_started;
    QSemaphore m_release;
};

// Collects what an object reports, in order.
struct Reports
{
    explicit Reports(RunningApplications &apps)
    {
        QObject::connect(&apps, &ApplicationEvents::applicationLaunched, [this](const QString &id) { events << u'+' + id; });
        QObject::connect(&apps, &ApplicationEvents::applicationTerminated, [this](const QString &id) { events << u'-' + id; });
    }
    QStringList take() { return std::exchange(events, {}); }
    QStringList events;
};

TEST(RunningApplications, NamesEachApplicationOnceByLaunchEntryExecOrExecutable)
{
    FakeSystem fake;
    const QString studio = fake.program(QStringLiteral("my studio"));
    const QString mixer = fake.program(QStringLiteral("mixer"));
    const QString shell = fake.program(QStringLiteral("shell"));
    const QString tool = fake.program(QStringLiteral("tool"));
    fake.entry(QStringLiteral("studio.desktop"),
               "Name=Studio\nName[de]=Tonstudio\nExec=env LANG=C A_B=1 \"" + QFile::encodeName(fake.path("bin/my studio"))
                   + "\" --open %f\n[Desktop Action New]\nName=Other\n");
    fake.entry(QStringLiteral("vendor/mixer.desktop"), "Name=Mixer\nExec=mixer %U\n");
    fake.entry(QStringLiteral("launcher.desktop"), "Name=Launcher\nExec=/nonexistent/launcher\n");
    const QByteArray launched = "GIO_LAUNCHED_DESKTOP_FILE=" + QFile::encodeName(fake.path("data/applications/launcher.desktop"));

    fake.process(10, studio);
    fake.process(11, studio);
    fake.process(12, tool, 'Z');
    fake.process(13, tool, 'S', {}, 0x00200000);
    fake.process(20, mixer);
    // The launched process, a helper running its executable, and a child running another.
    const QByteArray launcherPid = "GIO_LAUNCHED_DESKTOP_FILE_PID=30";
    fake.process(30, mixer, 'S', environment({"A=1", launched, launcherPid}));
    fake.process(31, mixer, 'S', environment({launched, launcherPid}));
    fake.process(32, shell, 'S', environment({launcherPid, launched}));

    ManualClock clock;
    RunningApplications apps(clock, fake.roots());
    await(apps.refreshNow());
    const QList<RunningApplication> expected{
        {shell, QStringLiteral("shell"), shell},
        {QStringLiteral("launcher"), QStringLiteral("Launcher"), mixer},
        {QStringLiteral("studio"), QStringLiteral("Tonstudio"), studio},
        {QStringLiteral("vendor-mixer"), QStringLiteral("Mixer"), mixer},
    };
    EXPECT_EQ(apps.snapshot(), expected);
    EXPECT_TRUE(apps.isRunningNamed(QStringLiteral("Tonstudio")));
    EXPECT_FALSE(apps.isRunningNamed(QStringLiteral("Studio")));
    EXPECT_FALSE(apps.isRunning(tool));

    // An entry added later is found once its folder changed.
    fake.entry(QStringLiteral("shell.desktop"), "Name=Shell\nExec=" + QFile::encodeName(shell) + "\n");
    await(apps.refreshNow());
    EXPECT_TRUE(apps.isRunning(QStringLiteral("shell")));
    EXPECT_FALSE(apps.isRunning(shell));

    // The same processes seen as another user's are nobody's applications here.
    RunningApplications stranger(clock, fake.roots(::geteuid() + 1));
    await(stranger.refreshNow());
    EXPECT_TRUE(stranger.snapshot().isEmpty());
}

TEST(RunningApplications, ExecLinesNameTheirProgram)
{
    FakeSystem fake;
    const QString spaced = fake.program(QStringLiteral("a \"b\""));
    const QString plain = fake.program(QStringLiteral("plain"));
    const QStringList path{fake.path(QStringLiteral("missing")), fake.path(QStringLiteral("bin"))};
    const QString quoted = u'"' + fake.path(QStringLiteral("bin/a \\\"b\\\"")) + QStringLiteral("\" %u");
    EXPECT_EQ(programOfExec(quoted, path), spaced);
    EXPECT_EQ(programOfExec(QStringLiteral("/usr/bin/env X=1 plain --flag"), path), plain);
    EXPECT_EQ(programOfExec(QStringLiteral("  plain"), path), plain);
    EXPECT_EQ(programOfExec(QStringLiteral("env X=1"), path), QString());
    EXPECT_EQ(programOfExec(QStringLiteral("bin/plain"), {fake.path({})}), QString());
    EXPECT_EQ(programOfExec(QStringLiteral("plain"), {}), QString());
}

TEST(RunningApplications, ReportsEachLaunchAndLastQuitAfterTheBaseline)
{
    FakeSystem fake;
    const QString studio = fake.program(QStringLiteral("studio"));
    const QString mixer = fake.program(QStringLiteral("mixer"));
    const QString tool = fake.program(QStringLiteral("tool"));
    fake.process(10, studio);
    fake.process(11, studio);

    ManualClock clock;
    RunningApplications apps(clock, fake.roots());
    Reports reports(apps);
    apps.start();
    ASSERT_TRUE(runUntil([&] { return apps.isRunning(studio) && clock.pendingSleepers() > 0; }));

    // Not before the interval; then one launch however many processes the application has. A
    // second start neither takes a new baseline nor runs a second poll.
    fake.process(20, mixer);
    fake.process(21, mixer);
    apps.start();
    EXPECT_EQ(clock.pendingSleepers(), 1U);
    clock.advance(2s - 1ms);
    runFor(100ms);
    EXPECT_TRUE(reports.events.isEmpty()) << "the baseline, or a scan before the interval, was reported";
    clock.advance(1ms);
    ASSERT_TRUE(runUntil([&] { return !reports.events.isEmpty(); }));

    // One process of two gone: still running. The tool's launch marks the scan as done.
    fake.end(10);
    fake.process(30, tool);
    clock.advance(2s);
    ASSERT_TRUE(runUntil([&] { return reports.events.size() > 1; }));

    // Only a zombie left: quit.
    fake.process(11, studio, 'Z');
    clock.advance(2s);
    ASSERT_TRUE(runUntil([&] { return reports.events.size() > 2; }));
    runFor(50ms);
    EXPECT_EQ(reports.take(), (QStringList{u'+' + mixer, u'+' + tool, u'-' + studio}));
}

TEST(RunningApplications, StopEndsThePollAndRestartTakesANewBaseline)
{
    FakeSystem fake;
    const QString studio = fake.program(QStringLiteral("studio"));
    const QString mixer = fake.program(QStringLiteral("mixer"));
    const QString tool = fake.program(QStringLiteral("tool"));
    fake.process(10, studio);

    ManualClock clock;
    RunningApplications apps(clock, fake.roots());
    Reports reports(apps);
    apps.start();
    ASSERT_TRUE(runUntil([&] { return clock.pendingSleepers() > 0; }));

    // A scan running when the poll stops is dropped; none follows.
    fake.process(20, mixer);
    PoolHold hold;
    clock.advance(2s);
    apps.stop();
    hold.release();
    runFor(100ms);
    clock.advance(20s);
    runFor(100ms);
    EXPECT_EQ(clock.pendingSleepers(), 0U);
    EXPECT_FALSE(apps.isRunning(mixer)) << "scanned after stop";
    EXPECT_TRUE(reports.events.isEmpty());

    // What changed while stopped is part of the new baseline. A receiver that stops the poll
    // hears nothing more, not even the rest of the same scan.
    apps.start();
    ASSERT_TRUE(runUntil([&] { return apps.isRunning(mixer) && clock.pendingSleepers() > 0; }));
    QObject::connect(&apps, &ApplicationEvents::applicationLaunched, &apps, &RunningApplications::stop);
    fake.end(20);
    fake.process(30, tool);
    clock.advance(2s);
    ASSERT_TRUE(runUntil([&] { return !apps.isStarted(); }));
    runFor(50ms);
    EXPECT_EQ(reports.take(), QStringList{u'+' + tool});
}

TEST(RunningApplications, BundleIdentifierOfAProfilePath)
{
    FakeSystem fake;
    const std::optional<QByteArray> previous =
        qEnvironmentVariableIsSet("XDG_DATA_HOME") ? std::optional(qgetenv("XDG_DATA_HOME")) : std::nullopt;
    qputenv("XDG_DATA_HOME", QFile::encodeName(fake.path(QStringLiteral("data"))));
    fake.entry(QStringLiteral("vendor/mixer.desktop"), "Name=Mixer\n");
    writeFile(fake.path(QStringLiteral("elsewhere/studio.desktop")), "[Desktop Entry]\n");
    writeFile(fake.path(QStringLiteral("notes.txt")));
    const QString tool = fake.program(QStringLiteral("tool"));
    QFile::link(tool, fake.path(QStringLiteral("link-to-tool")));

    EXPECT_EQ(ApplicationEvents::bundleIdentifierOf(fake.path(QStringLiteral("data/applications/vendor/mixer.desktop"))),
              QStringLiteral("vendor-mixer"));
    EXPECT_EQ(ApplicationEvents::bundleIdentifierOf(fake.path(QStringLiteral("elsewhere/studio.desktop"))),
              QStringLiteral("studio"));
    EXPECT_EQ(ApplicationEvents::bundleIdentifierOf(fake.path(QStringLiteral("link-to-tool"))), tool);
    EXPECT_EQ(ApplicationEvents::bundleIdentifierOf(fake.path(QStringLiteral("notes.txt"))), std::nullopt);
    EXPECT_EQ(ApplicationEvents::bundleIdentifierOf(fake.path(QStringLiteral("bin"))), std::nullopt);
    EXPECT_EQ(ApplicationEvents::bundleIdentifierOf(fake.path(QStringLiteral("missing.desktop"))), std::nullopt);
    if (previous)
        qputenv("XDG_DATA_HOME", *previous);
    else
        qunsetenv("XDG_DATA_HOME");
}

TEST(RunningApplications, SeesARealChildProcessLaunchAndQuit)
{
    QTemporaryDir dir;
    const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
    ASSERT_FALSE(sleep.isEmpty());
    const QString copy = dir.path() + QStringLiteral("/quillmere-test-sleeper");
    ASSERT_TRUE(QFile::copy(sleep, copy));
    const QString identifier = QFileInfo(copy).canonicalFilePath();

    ManualClock clock;
    RunningApplications apps(clock);
    Reports reports(apps);
    apps.start();
    ASSERT_TRUE(runUntil([&] { return !apps.snapshot().isEmpty(); }));

    QProcess child;
    child.start(copy, {QStringLiteral("30")});
    ASSERT_TRUE(child.waitForStarted());
    clock.advance(2s);
    ASSERT_TRUE(runUntil([&] { return reports.events.contains(u'+' + identifier); }));
    EXPECT_TRUE(apps.isRunningNamed(QStringLiteral("quillmere-test-sleeper")));

    child.kill();
    ASSERT_TRUE(child.waitForFinished());
    clock.advance(2s);
    ASSERT_TRUE(runUntil([&] { return reports.events.contains(u'-' + identifier); }));
    EXPECT_EQ(reports.events.count(u'+' + identifier), 1);
}

} // namespace
} // namespace quillmere
