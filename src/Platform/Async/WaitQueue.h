#pragma once

#include <coroutine>
#include <deque>

namespace quillmere {

// Coroutines parked until someone wakes them. Single-threaded: use it on one thread only.
class WaitQueue
{
public:
    struct Awaiter
    {
        WaitQueue *queue;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) const { queue->m_waiting.push_back(handle); }
        void await_resume() const noexcept {}
    };

    Awaiter wait() { return Awaiter{this}; }
    bool empty() const { return m_waiting.empty(); }
    std::size_t size() const { return m_waiting.size(); }

    // Resumes every coroutine parked before this call, in arrival order. The resumed code
    // may destroy the queue's owner, so the caller must keep it alive (shared state).
    void resumeAll()
    {
        auto waiting = std::move(m_waiting);
        m_waiting.clear();
        for (auto handle : waiting)
            handle.resume();
    }

    // Takes the longest-waiting coroutine out without resuming it.
    std::coroutine_handle<> takeFirst()
    {
        if (m_waiting.empty())
            return {};
        auto handle = m_waiting.front();
        m_waiting.pop_front();
        return handle;
    }

private:
    std::deque<std::coroutine_handle<>> m_waiting;
};

} // namespace quillmere
