#include "App/QuitSignals.h"

#include <QSocketNotifier>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>

namespace quillmere {

namespace {

constexpr std::array<int, 3> handledSignals{SIGTERM, SIGINT, SIGHUP};
// The pipe's ends, -1 while no QuitSignals exists. Read by the handler, so lock-free.
std::atomic<int> writeEnd{-1};
int readEnd = -1;
std::array<struct sigaction, handledSignals.size()> previousActions{};

// When the process is to end at the latest, in CLOCK_MONOTONIC nanoseconds: `never` until a
// bounded quit is under way. How long after its arrival a signal's quit may last: 0 while quits
// are not bounded. The handler reads and writes both, so they are lock-free.
constexpr std::int64_t never = std::numeric_limits<std::int64_t>::max();
std::atomic<std::int64_t> processEnd{never};
std::atomic<std::int64_t> quitBound{0};
static_assert(std::atomic<std::int64_t>::is_always_lock_free);
// Wakes the thread that ends the process; sem_post may be called from a handler.
sem_t endWake;

// What the handler writes: no padding, and far below PIPE_BUF, so each one arrives whole,
// never mixed with another's bytes, and a read of its size takes exactly one.
struct Arrival
{
    std::int64_t signal;
    std::int64_t monotonicNanoseconds;
};

std::int64_t monotonicNanoseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Async-signal-safe: atomics and sem_post only. The earliest end asked for stays.
void endProcessAt(std::int64_t at)
{
    std::int64_t armed = processEnd.load();
    while (at < armed && !processEnd.compare_exchange_weak(armed, at)) {
    }
    ::sem_post(&endWake);
}

// The thread that ends the process: it sleeps until a quit is under way, then until its end.
[[noreturn]] void endProcessWhenDue(int exitCode)
{
    for (;;) {
        while (::sem_wait(&endWake) != 0) {
        }
        for (std::int64_t end = processEnd.load(); end != never; end = processEnd.load()) {
            if (monotonicNanoseconds() >= end) {
                // Nothing is flushed or destroyed: the main thread may hold any lock now.
                std::_Exit(exitCode);
            }
            const timespec at{time_t(end / 1'000'000'000), long(end % 1'000'000'000)};
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        }
    }
}

void onSignal(int signal)
{
    const int saved = errno;
    // clock_gettime may be called from a handler. The quit's bound counts from here: the
    // loop may reach the pipe only much later.
    const std::int64_t arrived = monotonicNanoseconds();
    if (const std::int64_t bound = quitBound.load(); bound > 0)
        endProcessAt(arrived + bound);
    const int fd = writeEnd.load();
    if (fd >= 0) {
        const Arrival arrival{signal, arrived};
        // A full pipe means a quit is already on its way.
        [[maybe_unused]] const ssize_t written = ::write(fd, &arrival, sizeof arrival);
    }
    errno = saved;
}

} // namespace

QuitSignals::QuitSignals(QObject *parent) : QObject(parent)
{
    if (writeEnd.load() >= 0)
        return; // another one is installed
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    readEnd = fds[0];
    writeEnd.store(fds[1]);
    for (size_t i = 0; i < handledSignals.size(); ++i) {
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(handledSignals[i], &action, &previousActions[i]);
    }
    m_notifier = new QSocketNotifier(readEnd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitSignals::readPipe);
    m_installed = true;
}

QuitSignals::~QuitSignals()
{
    if (!m_installed)
        return;
    delete m_notifier;
    if (processEnd.load() != never) {
        // A bounded quit is under way: the handlers stay until the process ends, and so does
        // the pipe they write to (nobody reads it any more, and a full one drops what comes).
        return;
    }
    for (size_t i = 0; i < handledSignals.size(); ++i)
        ::sigaction(handledSignals[i], &previousActions[i], nullptr);
    const int fd = writeEnd.exchange(-1);
    ::close(fd);
    ::close(readEnd);
    readEnd = -1;
}

void QuitSignals::endQuitsWithin(std::chrono::nanoseconds bound, int exitCode)
{
    if (quitBound.load() > 0 || bound <= std::chrono::nanoseconds::zero())
        return;
    if (::sem_init(&endWake, 0, 0) != 0)
        return;
    std::thread([exitCode] { endProcessWhenDue(exitCode); }).detach();
    quitBound.store(bound.count());
}

void QuitSignals::quitUnderWay(QDeadlineTimer deadline)
{
    if (quitBound.load() <= 0 || deadline.isForever())
        return;
    endProcessAt(monotonicNanoseconds() + std::max<qint64>(0, deadline.remainingTimeNSecs()));
}

void QuitSignals::readPipe()
{
    Arrival arrival{};
    std::optional<Arrival> first;
    while (::read(readEnd, &arrival, sizeof arrival) == ssize_t(sizeof arrival)) {
        if (!first)
            first = arrival;
    }
    if (!first)
        return;
    // Only the time since the arrival is carried over to the steady clock, whose epoch need not
    // be CLOCK_MONOTONIC's.
    const std::chrono::nanoseconds since(std::max<std::int64_t>(0, monotonicNanoseconds() - first->monotonicNanoseconds));
    Q_EMIT quitRequested(int(first->signal), std::chrono::steady_clock::now() - since);
}

} // namespace quillmere
