#pragma once

#include <atomic>
#include <thread>

namespace quillmere {

// A stop request that a worker thread blocked in poll(2) hears at once: the thread polls fd()
// for POLLIN beside its own descriptors and checks requested() after every wake.
class ThreadStopSignal
{
public:
    ThreadStopSignal();
    ~ThreadStopSignal();
    ThreadStopSignal(const ThreadStopSignal &) = delete;
    ThreadStopSignal &operator=(const ThreadStopSignal &) = delete;

    // False when the kernel refused the descriptor (errno says why).
    bool isValid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Any thread.
    void request();
    bool requested() const { return m_requested; }
    // Requests the stop and waits for the worker to end. Called on the worker itself (its
    // callback stopping its owner), it detaches instead: whatever the worker shares must then
    // outlive the caller until the worker's loop sees the stop.
    void requestAndJoin(std::thread &worker);

private:
    int m_fd;
    std::atomic<bool> m_requested{false};
};

} // namespace quillmere
