// The quillmere program as a process: one instance, a later start handing over its address,
// signals that quit it cleanly.

#include "App/QuillmereApp.h"
#include "App/QuitSignals.h"
#include "Model/ModelContainerFactory.h"
#include "Platform/WebAuth/CallbackRouter.h"
#include "App/ProgramEnvironment.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <array>
#include <chrono>
#include <csignal>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::ProgramEnvironment;
using quillmere::test::runUntil;

namespace {

TEST(ProgramTest, ALaterStartHandsItsCallbackToTheRunningInstanceAndExits)
{
    ProgramEnvironment environment;
    CallbackRouter running(environment.endpoint());
    ASSERT_EQ(running.claim(), CallbackRouter::Claim::primary);
    std::optional<QUrl> received;
    auto wait = running.expect(QStringLiteral("quillmere"), QStringLiteral("S1"), [&](QUrl url) { received = url; });

    const QString callback = QStringLiteral("quillmere://apple-callback?code=c0de&state=S1");
    auto second = environment.start(QStringLiteral(QUILLMERE_PROGRAM), {callback});
    ASSERT_TRUE(ProgramEnvironment::finished(*second));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, QUrl(callback));
    EXPECT_FALSE(QFileInfo::exists(environment.storePath())) << "a second start opens no store";

    // Nobody waits for the address: the second start says so and fails.
    auto late = environment.start(QStringLiteral(QUILLMERE_PROGRAM), {callback});
    ASSERT_TRUE(ProgramEnvironment::finished(*late));
    EXPECT_NE(late->exitCode(), 0);
}

TEST(ProgramTest, TheInstanceShowsItselfForAPlainStartAndQuitsCleanlyOnSignals)
{
    for (const int signal : {SIGTERM, SIGHUP}) {
        ProgramEnvironment environment;
        auto instance = environment.start(QStringLiteral(QUILLMERE_PROGRAM), {});
        // It is the instance once its socket takes connections.
        ASSERT_TRUE(runUntil([&] { return QFileInfo::exists(environment.endpoint()); }, 10s));
        ASSERT_TRUE(runUntil([&] { return QFileInfo::exists(environment.storePath()); }, 10s));

        auto plain = environment.start(QStringLiteral(QUILLMERE_PROGRAM), {});
        ASSERT_TRUE(ProgramEnvironment::finished(*plain));
        EXPECT_EQ(plain->exitCode(), 0) << "the running instance took the request to show its window";
        EXPECT_EQ(instance->state(), QProcess::Running);

        QElapsedTimer quitting;
        quitting.start();
        ASSERT_TRUE(ProgramEnvironment::signal(*instance, signal)) << "the instance ended by itself";
        ASSERT_TRUE(ProgramEnvironment::finished(*instance, QuillmereApp::quitTimeout + 2s));
        EXPECT_LT(quitting.elapsed(), (QuillmereApp::quitTimeout + 1s).count());
        EXPECT_EQ(instance->exitStatus(), QProcess::NormalExit) << "signal " << signal;
        EXPECT_EQ(instance->exitCode(), 0);
        EXPECT_NO_THROW(ModelContainerFactory::makeContainer(environment.storePath()));
    }
}

// Signals that follow a quit's are absorbed until the process has ended, its teardown and exit
// handlers included: it ends with the quit's status, never killed by one of them. The program's
// teardown is short, so a signal that lands in it is a matter of luck: each run sends the
// second one 10 to 20 ms after the first, then keeps sending until the process is gone.
TEST(ProgramTest, SignalsAfterAQuitsAreAbsorbedUntilTheProcessEnds)
{
    constexpr std::array quitSignals{SIGTERM, SIGINT, SIGHUP};
    for (int run = 0; run < 12; ++run) {
        SCOPED_TRACE(run);
        ProgramEnvironment environment;
        auto instance = environment.start(QStringLiteral(QUILLMERE_PROGRAM), {}, true);
        ASSERT_TRUE(runUntil([&] { return QFileInfo::exists(environment.storePath()); }, 10s));
        ASSERT_TRUE(ProgramEnvironment::signal(*instance, SIGTERM)) << "the instance ended by itself";
        std::this_thread::sleep_for(std::chrono::milliseconds(10 + run % 11));
        QElapsedTimer quitting;
        quitting.start();
        for (int sent = 0; ProgramEnvironment::signal(*instance, quitSignals[sent % quitSignals.size()]); ++sent) {
            if (quitting.elapsed() > 10'000)
                break;
            quillmere::test::runFor(2ms);
        }
        ASSERT_TRUE(ProgramEnvironment::finished(*instance));
        EXPECT_EQ(instance->exitStatus(), QProcess::NormalExit) << "ended by a signal";
        EXPECT_EQ(instance->exitCode(), 0);
    }
}

// A start whose store cannot be opened, with standard error a pipe nobody reads any more (a
// launcher that went away): the message is lost, the exit code is not.
TEST(ProgramTest, AFailedStartExitsWithItsCodeWhenStandardErrorIsAClosedPipe)
{
    ProgramEnvironment environment;
    // A file where the store's folder belongs.
    QFile blocker(environment.path("data") + QStringLiteral("/Quillmere"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::close(ends[0]);
    const int writeEnd = ends[1];
    QProcess program;
    program.setProcessEnvironment(environment.environment());
    program.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDERR_FILENO); });
    program.start(QStringLiteral(QUILLMERE_PROGRAM), {});
    ASSERT_TRUE(program.waitForStarted(5000));
    ::close(writeEnd);
    ASSERT_TRUE(ProgramEnvironment::finished(program));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << "ended by a signal";
    EXPECT_EQ(program.exitCode(), 1);

    // The ordinary case: the message reaches a reader.
    QProcess read;
    read.setProcessEnvironment(environment.environment());
    read.start(QStringLiteral(QUILLMERE_PROGRAM), {});
    ASSERT_TRUE(read.waitForStarted(5000));
    ASSERT_TRUE(ProgramEnvironment::finished(read));
    EXPECT_EQ(read.exitCode(), 1);
    EXPECT_TRUE(read.readAllStandardError().contains("Quillmere.sqlite"));
}

// Started with standard input and error closed: they are /dev/null, not the next file the
// program opens (whose bytes the log lines would overwrite).
TEST(ProgramTest, ClosedStandardStreamsAreNotTakenByTheFilesTheProgramOpens)
{
    ProgramEnvironment environment;
    QProcess program;
    program.setProcessEnvironment(environment.environment());
    program.setChildProcessModifier([] {
        ::close(STDIN_FILENO);
        ::close(STDERR_FILENO);
    });
    program.start(QStringLiteral(QUILLMERE_PROGRAM), {});
    ASSERT_TRUE(program.waitForStarted(5000));
    ASSERT_TRUE(runUntil([&] { return QFileInfo::exists(environment.storePath()); }, 10s));
    const auto target = [&](int descriptor) {
        return ::QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/%2").arg(program.processId()).arg(descriptor))
            .toStdString();
    };
    EXPECT_EQ(target(0), "/dev/null");
    EXPECT_EQ(target(2), "/dev/null");
    EXPECT_NE(target(1), "/dev/null") << "an open one is left as it is";
    ASSERT_TRUE(ProgramEnvironment::signal(program, SIGTERM));
    ASSERT_TRUE(ProgramEnvironment::finished(program));
    EXPECT_EQ(program.exitCode(), 0);
}

TEST(QuitSignalsTest, TurnsTheSignalsIntoAQueuedQuitAndPutsTheHandlersBack)
{
    struct sigaction before = {};
    ::sigaction(SIGHUP, nullptr, &before);
    {
        QuitSignals quitSignals;
        ASSERT_TRUE(quitSignals.isInstalled());
        std::vector<int> received;
        QObject::connect(&quitSignals, &QuitSignals::quitRequested, [&](int signal) { received.push_back(signal); });
        ::raise(SIGTERM);
        EXPECT_TRUE(received.empty()) << "nothing happens inside the handler";
        ASSERT_TRUE(runUntil([&] { return !received.empty(); }, 2s));
        EXPECT_EQ(received, std::vector<int>{SIGTERM});
        ::raise(SIGINT);
        ASSERT_TRUE(runUntil([&] { return received.size() == 2; }, 2s));
        EXPECT_EQ(received.back(), SIGINT);
    }
    struct sigaction after = {};
    ::sigaction(SIGHUP, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

// A bounded quit ends the process by its deadline with the quit's status while the main thread
// never gets back to the loop: a signal's from its arrival, one from elsewhere (the menu) from
// its own deadline. Each in a child process of its own, which would otherwise end with 3.
TEST(QuitSignalsDeathTest, ABoundedQuitEndsTheProcessByItsDeadlineWhileTheMainThreadIsBusy)
{
    const auto stallThenFail = [] {
        std::this_thread::sleep_for(20s);
        std::_Exit(3);
    };
    QElapsedTimer took;
    took.start();
    EXPECT_EXIT(
        {
            QuitSignals signals;
            signals.endQuitsWithin(300ms, 0);
            ::raise(SIGTERM);
            stallThenFail();
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_LT(took.elapsed(), 5000) << "a signal's quit";
    took.restart();
    EXPECT_EXIT(
        {
            QuitSignals signals;
            signals.endQuitsWithin(10s, 0);
            signals.quitUnderWay(QDeadlineTimer(300ms));
            stallThenFail();
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_LT(took.elapsed(), 5000) << "a quit from the menu";
}

// Once a bounded quit is under way, quit signals are absorbed for the rest of the process, after
// the object is gone too; without one, the handlers are put back as before.
TEST(QuitSignalsDeathTest, AfterABoundedQuitBeganFurtherSignalsAreAbsorbedUntilTheEnd)
{
    EXPECT_EXIT(
        {
            {
                QuitSignals signals;
                signals.endQuitsWithin(10s, 0);
                ::raise(SIGTERM);
            }
            for (const int signal : {SIGTERM, SIGINT, SIGHUP})
                ::raise(signal);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            struct sigaction before = {};
            ::sigaction(SIGTERM, nullptr, &before);
            {
                QuitSignals signals;
                signals.endQuitsWithin(10s, 0);
            }
            struct sigaction after = {};
            ::sigaction(SIGTERM, nullptr, &after);
            std::_Exit(after.sa_handler == before.sa_handler ? 0 : 4);
        },
        ::testing::ExitedWithCode(0), "");
}

// The quit's bound counts from a signal's arrival: the loop may read it much later, when the
// main thread was busy. Of signals read together, the first one's arrival counts.
TEST(QuitSignalsTest, CarryTheTimeTheSignalArrivedNotTheTimeTheLoopReadIt)
{
    QuitSignals quitSignals;
    ASSERT_TRUE(quitSignals.isInstalled());
    std::vector<std::pair<int, std::chrono::steady_clock::time_point>> received;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested,
                     [&](int signal, std::chrono::steady_clock::time_point arrivedAt) {
                         received.emplace_back(signal, arrivedAt);
                     });
    // The handler runs in this thread before raise() returns.
    const auto before = std::chrono::steady_clock::now();
    ::raise(SIGTERM);
    const auto after = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(300ms);
    ::raise(SIGINT);
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(runUntil([&] { return !received.empty(); }, 2s));
    quillmere::test::runFor(50ms);
    ASSERT_EQ(received.size(), 1u) << "read together, told once";
    EXPECT_EQ(received[0].first, SIGTERM);
    const auto millisecondsFrom = [&](std::chrono::steady_clock::time_point point) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(received[0].second - point).count();
    };
    EXPECT_GE(millisecondsFrom(before), -1) << "ms after raise() was called";
    // The carry onto the steady clock reads two clocks in turn; a thread preempted between them
    // lands a little late. The time the loop read the pipe would be 400 ms late.
    EXPECT_LE(millisecondsFrom(after), 100) << "ms after raise() returned";
}

} // namespace
