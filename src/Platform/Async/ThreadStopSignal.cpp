#include "Platform/Async/ThreadStopSignal.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quillmere {

ThreadStopSignal::ThreadStopSignal() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ThreadStopSignal::~ThreadStopSignal()
{
    if (m_fd >= 0)
        close(m_fd);
}

void ThreadStopSignal::request()
{
    m_requested = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_fd, &one, sizeof one);
}

void ThreadStopSignal::requestAndJoin(std::thread &worker)
{
    request();
    if (!worker.joinable())
        return;
    if (worker.get_id() == std::this_thread::get_id())
        worker.detach();
    else
        worker.join();
}

} // namespace quillmere
