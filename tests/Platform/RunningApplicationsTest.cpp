#include "Platform/Async/ManualClock.h"
#include "Platform/Workspace/DesktopEntries.h"
#include "Platform/Workspace/RunningApplications.h"

#include "support/FakeProcessTree.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThreadPool>

#include <unistd.h>

namespace quillmere {

// Static, not in the anonymous namespace: the test framework finds its printers by argument-
// dependent lookup, in the namespace of the type printed.
static void PrintTo(const RunningApplication &app, std::ostream *out)
{
    *out << '{' << app.bundleIdentifier.toStdString() << ", " << app.name.toStdString() << ", "
         << app.executablePath.toStdString() << '}';
}

namespace {

using namespace std::chrono_literals;
using test::await;
using test::environment;
using test::FakeSystem;
using test::runFor;
using test::runUntil;
using test::writeFile;

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

namespace {

std::vector<std::pair<QtMsgType, QString>> *capturedMessages = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (capturedMessages)
        capturedMessages->emplace_back(type, message);
}

} // namespace

// Processes it cannot read are common (other sandboxes) and no news: a word at debug level only.
TEST(RunningApplications, UnreadableProcessesAreMentionedOnlyAtDebugLevel)
{
    FakeSystem fake;
    fake.process(10, fake.program(QStringLiteral("studio")));
    // An "exe" that is no link cannot be read as one.
    const QString odd = fake.path(QStringLiteral("proc/11"));
    QDir().mkpath(odd);
    QFile exe(odd + QStringLiteral("/exe"));
    ASSERT_TRUE(exe.open(QIODevice::WriteOnly));
    exe.close();

    std::vector<std::pair<QtMsgType, QString>> messages;
    capturedMessages = &messages;
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    QLoggingCategory::setFilterRules(QStringLiteral("app.quillmere.Quillmere.RunningApplications.debug=true"));
    ManualClock clock;
    {
        RunningApplications apps(clock, fake.roots());
        apps.start();
        runUntil([&] { return clock.pendingSleepers() > 0; });
    }
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(previous);
    capturedMessages = nullptr;
    bool mentioned = false;
    for (const auto &[type, message] : messages) {
        if (!message.contains(QStringLiteral("could not be read")))
            continue;
        mentioned = true;
        EXPECT_EQ(type, QtDebugMsg) << message.toStdString();
    }
    EXPECT_TRUE(mentioned);
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

TEST(RunningApplications, NamesScriptsByTheirEntryAndSandboxesByTheirId)
{
    FakeSystem fake;
    const QString python = fake.program(QStringLiteral("python3"));
    const QString shell = fake.program(QStringLiteral("sh"));
    const QString launcher = fake.program(QStringLiteral("launch-studio"));
    fake.program(QStringLiteral("flatpak"));
    for (const char *script : {"scripts/other.py", "scripts/tool.py", "scripts/stray.py"})
        writeFile(fake.path(QString::fromLatin1(script)));
    fake.entry(QStringLiteral("other.desktop"),
               "Name=Other\nExec=python3 " + QFile::encodeName(fake.path(QStringLiteral("scripts/other.py"))) + "\n");
    fake.entry(QStringLiteral("tool.desktop"),
               "Name=Tool\nExec=python3 -u " + QFile::encodeName(fake.path(QStringLiteral("scripts/tool.py"))) + " %F\n");
    fake.entry(QStringLiteral("studio.desktop"), "Name=Studio\nExec=launch-studio %f\n");
    fake.entry(QStringLiteral("org.example.Daw.desktop"), "Name=Daw\nExec=flatpak run org.example.Daw\n");

    // The tool's script, named relative to the working folder; another script and a bare
    // interpreter, which no entry runs; a shell running the studio's launcher script; a
    // sandboxed process whose executable cannot be resolved from outside.
    fake.process(10, python);
    fake.commandLine(10, {QStringLiteral("python3"), QStringLiteral("-u"), QStringLiteral("scripts/tool.py")}, fake.path({}));
    fake.process(11, python);
    fake.commandLine(11, {QStringLiteral("python3"), fake.path(QStringLiteral("scripts/stray.py"))});
    fake.process(12, python);
    fake.process(20, shell);
    fake.commandLine(20, {QStringLiteral("sh"), launcher});
    fake.process(30, QStringLiteral("/app/bin/daw"), 'S', environment({"FLATPAK_ID=org.example.Daw"}));

    ManualClock clock;
    RunningApplications apps(clock, fake.roots());
    await(apps.refreshNow());
    const QList<RunningApplication> expected{
        {python, QStringLiteral("python3"), python},
        {QStringLiteral("org.example.Daw"), QStringLiteral("Daw"), QStringLiteral("/app/bin/daw")},
        {QStringLiteral("studio"), QStringLiteral("Studio"), shell},
        {QStringLiteral("tool"), QStringLiteral("Tool"), python},
    };
    EXPECT_EQ(apps.snapshot(), expected);
}

TEST(RunningApplications, AnswersForAProfileByEveryIdentifierOfItsProcesses)
{
    FakeSystem fake;
    ManualClock clock;
    EXPECT_EQ(ApplicationEvents().runningApplicationsFor(QStringLiteral("mixer")), std::nullopt);

    const QString mixer = fake.program(QStringLiteral("mixer"));
    const QString python = fake.program(QStringLiteral("python3"));
    const QString preloader = fake.program(QStringLiteral("wine64-preloader"));
    const QString runtime = fake.program(QStringLiteral("synth-runtime"));
    const QString snapped = fake.program(QStringLiteral("snapped"));
    const QString idle = fake.program(QStringLiteral("idle"));
    fake.entry(QStringLiteral("vendor/mixer.desktop"), "Name=Mixer\nExec=mixer\n");
    for (const char *file : {"scripts/tool.py", "Apps/Synth.AppImage", "wine-b/drive_c/Program Files/Keys/keys.exe",
                             ".wine/drive_c/Pads/pads.exe"})
        writeFile(fake.path(QString::fromLatin1(file)));
    // Two wine prefixes: one named by WINEPREFIX, the default one in the home folder.
    for (const QString &prefix : {QStringLiteral("wine-b"), QStringLiteral(".wine")}) {
        QDir().mkpath(fake.path(prefix + QStringLiteral("/dosdevices")));
        QFile::link(QStringLiteral("../drive_c"), fake.path(prefix + QStringLiteral("/dosdevices/c:")));
    }

    fake.process(10, mixer);
    fake.process(20, python);
    fake.commandLine(20, {QStringLiteral("python3"), fake.path(QStringLiteral("scripts/tool.py"))});
    fake.process(30, preloader, 'S', environment({"WINEPREFIX=" + QFile::encodeName(fake.path(QStringLiteral("wine-b")))}));
    fake.commandLine(30, {QStringLiteral("C:\\Program Files\\Keys\\keys.exe")});
    fake.process(31, preloader, 'S', environment({"HOME=" + QFile::encodeName(fake.path({}))}));
    fake.commandLine(31, {QStringLiteral("c:\\Pads\\pads.exe"), QStringLiteral("/nonexistent")});
    fake.process(40, runtime, 'S',
                 environment({"APPIMAGE=" + QFile::encodeName(fake.path(QStringLiteral("Apps/Synth.AppImage")))}));
    fake.process(50, QStringLiteral("/app/bin/daw"), 'S', environment({"FLATPAK_ID=org.example.Daw"}));
    fake.process(60, snapped, 'S',
                 environment({"BAMF_DESKTOP_FILE_HINT="
                              + QFile::encodeName(fake.path(QStringLiteral("snap/applications/snapped_snapped.desktop")))}));

    RunningApplications apps(clock, fake.roots());
    EXPECT_EQ(apps.runningApplicationsFor(mixer), std::nullopt) << "answered before the first scan";
    await(apps.refreshNow());

    const auto bundleIdentifiers = [&](const QString &profileIdentifier) {
        QStringList found;
        for (const RunningApplication &app : apps.runningApplicationsFor(profileIdentifier).value_or(QList<RunningApplication>{}))
            found << app.bundleIdentifier;
        return found;
    };
    const auto canonical = [&](const char *relative) {
        return QFileInfo(fake.path(QString::fromLatin1(relative))).canonicalFilePath();
    };
    // An executable profile finds its program although the processes are named by its entry.
    EXPECT_EQ(bundleIdentifiers(mixer), QStringList{QStringLiteral("vendor-mixer")});
    EXPECT_EQ(bundleIdentifiers(canonical("scripts/tool.py")), QStringList{python});
    EXPECT_EQ(bundleIdentifiers(canonical("wine-b/drive_c/Program Files/Keys/keys.exe")), QStringList{preloader});
    EXPECT_EQ(bundleIdentifiers(canonical(".wine/drive_c/Pads/pads.exe")), QStringList{preloader});
    EXPECT_EQ(bundleIdentifiers(canonical("Apps/Synth.AppImage")), QStringList{runtime});
    EXPECT_EQ(bundleIdentifiers(QStringLiteral("org.example.Daw")), QStringList{QStringLiteral("/app/bin/daw")});
    EXPECT_EQ(bundleIdentifiers(QStringLiteral("snapped_snapped")), QStringList{snapped});
    EXPECT_EQ(apps.runningApplicationsFor(idle), QList<RunningApplication>{});

    // A scan that fails leaves the snapshot but cannot say what runs now.
    ASSERT_TRUE(QDir().rename(fake.path(QStringLiteral("proc")), fake.path(QStringLiteral("proc-away"))));
    await(apps.refreshNow());
    EXPECT_EQ(apps.runningApplicationsFor(mixer), std::nullopt);
    EXPECT_TRUE(apps.isRunning(QStringLiteral("vendor-mixer")));
    ASSERT_TRUE(QDir().rename(fake.path(QStringLiteral("proc-away")), fake.path(QStringLiteral("proc"))));
    fake.end(10);
    await(apps.refreshNow());
    EXPECT_EQ(apps.runningApplicationsFor(mixer), QList<RunningApplication>{});
}

TEST(RunningApplications, SeesTheScriptARealShellRuns)
{
    QTemporaryDir dir;
    const QString shell = QStandardPaths::findExecutable(QStringLiteral("sh"));
    ASSERT_FALSE(shell.isEmpty());
    // A command after the sleep keeps the shell from replacing itself with it.
    writeFile(dir.filePath(QStringLiteral("quillmere-test-script.sh")), "sleep 30\nexit 0\n");
    const QString script = QFileInfo(dir.filePath(QStringLiteral("quillmere-test-script.sh"))).canonicalFilePath();

    ManualClock clock;
    RunningApplications apps(clock);
    QProcess child;
    child.setWorkingDirectory(dir.path());
    child.start(shell, {QStringLiteral("quillmere-test-script.sh")});
    ASSERT_TRUE(child.waitForStarted());
    ASSERT_TRUE(runUntil([&] {
        await(apps.refreshNow());
        return !apps.runningApplicationsFor(script).value_or(QList<RunningApplication>{}).isEmpty();
    }));

    child.kill();
    ASSERT_TRUE(child.waitForFinished());
    await(apps.refreshNow());
    EXPECT_EQ(apps.runningApplicationsFor(script), QList<RunningApplication>{});
}

} // namespace
} // namespace quillmere
