#pragma once

#include "Platform/Async/AsyncLog.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/Async/WaitQueue.h"

#include <QCoroTask>

#include <memory>
#include <stop_token>

namespace quillmere {

// Runs child coroutines with at most `slots` of them at a time. The parent awaits spawn()
// for a free slot, waitForAny() for a child to end and waitForAll() for the last one.
// Children get the group's stop token; cancel() (and destruction) requests stop for all.
// Main thread only.
class TaskGroup
{
public:
    explicit TaskGroup(int slots);
    ~TaskGroup();
    TaskGroup(const TaskGroup &) = delete;
    TaskGroup &operator=(const TaskGroup &) = delete;

    int slots() const { return m_state->slots; }
    int running() const { return m_state->running; }
    bool hasFreeSlot() const { return m_state->running < m_state->slots; }
    std::stop_token stopToken() const { return m_state->stop.get_token(); }
    bool isCancelled() const { return m_state->stop.stop_requested(); }
    void cancel() { m_state->stop.request_stop(); }

    // Waits for a free slot, then starts the body (a callable taking std::stop_token and
    // returning QCoro::Task<>). Returns once the child has started.
    template<typename Body>
    QCoro::Task<> spawn(Body body)
    {
        // A plain function, so the body reaches the coroutine below as an xvalue: GCC 12
        // destroys a prvalue lambda argument of a coroutine twice.
        return spawnWhenFree(m_state, std::move(body));
    }

    // Resolves when some child ends; at once when none is running.
    QCoro::Task<> waitForAny();
    // Resolves when no child is running.
    QCoro::Task<> waitForAll();

private:
    struct State
    {
        int slots;
        int running = 0;
        std::stop_source stop;
        WaitQueue changed;
    };

    template<typename Body>
    static QCoro::Task<> spawnWhenFree(std::shared_ptr<State> state, Body body)
    {
        while (state->running >= state->slots)
            co_await state->changed.wait();
        ++state->running;
        runChild(state, std::move(body));
    }

    template<typename Body>
    static QCoro::Task<> runChild(std::shared_ptr<State> state, Body body)
    {
        try {
            co_await std::invoke(body, state->stop.get_token());
        } catch (const CancelledError &) {
            // A stopped child is no failure of the group.
        } catch (const std::exception &e) {
            qCWarning(asyncLog, "task group child ended with an exception: %s", e.what());
        } catch (...) {
            qCWarning(asyncLog, "task group child ended with an unknown exception");
        }
        --state->running;
        state->changed.resumeAll();
    }

    std::shared_ptr<State> m_state;
};

} // namespace quillmere
