#include "App/QuitSignals.h"

#include <QSocketNotifier>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace quillmere {

namespace {

constexpr std::array<int, 3> handledSignals{SIGTERM, SIGINT, SIGHUP};
// The pipe's ends, -1 while no QuitSignals exists. Read by the handler, so lock-free.
std::atomic<int> writeEnd{-1};
int readEnd = -1;
std::array<struct sigaction, handledSignals.size()> previousActions{};

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

void onSignal(int signal)
{
    const int saved = errno;
    const int fd = writeEnd.load();
    if (fd >= 0) {
        // clock_gettime may be called from a handler. The quit's bound counts from here: the
        // loop may reach the pipe only much later.
        const Arrival arrival{signal, monotonicNanoseconds()};
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
    for (size_t i = 0; i < handledSignals.size(); ++i)
        ::sigaction(handledSignals[i], &previousActions[i], nullptr);
    delete m_notifier;
    const int fd = writeEnd.exchange(-1);
    ::close(fd);
    ::close(readEnd);
    readEnd = -1;
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
