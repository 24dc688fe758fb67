#pragma once

#include "Platform/Async/CancelledError.h"
#include "Platform/Async/NextTurn.h"
#include "Platform/Async/WaitQueue.h"

#include <QCoroTask>

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <stop_token>

namespace quillmere {

// Owns one started coroutine and the stop source it watches. Destroying or reassigning the
// handle requests stop; the coroutine then ends at its next check of the token. A body is a
// callable taking a std::stop_token and returning QCoro::Task<>.
class TaskHandle
{
public:
    TaskHandle() = default;
    TaskHandle(TaskHandle &&other) noexcept = default;
    TaskHandle &operator=(TaskHandle &&other) noexcept;
    TaskHandle(const TaskHandle &) = delete;
    TaskHandle &operator=(const TaskHandle &) = delete;
    ~TaskHandle();

    // Runs the body at once, up to its first suspension.
    template<typename Body>
    static TaskHandle start(Body body)
    {
        TaskHandle handle(std::make_shared<State>());
        run(handle.m_state, std::move(body), false);
        return handle;
    }

    // Runs the body on the next turn of the event loop; a handle cancelled before then never
    // runs it.
    template<typename Body>
    static TaskHandle startSoon(Body body)
    {
        TaskHandle handle(std::make_shared<State>());
        run(handle.m_state, std::move(body), true);
        return handle;
    }

    void cancel();
    // Given a task, whether or not it still runs: a handle keeps its task after the task ended.
    bool isSet() const { return m_state != nullptr; }
    bool isRunning() const { return m_state && m_state->running; }
    bool isCancelled() const { return m_state && m_state->stop.stop_requested(); }
    std::stop_token stopToken() const { return m_state ? m_state->stop.get_token() : std::stop_token(); }
    // The exception the body ended with, other than a cancellation.
    std::exception_ptr error() const { return m_state ? m_state->error : nullptr; }

    // Resolves when the body has ended (at once if it is not running).
    QCoro::Task<> finished() const;

private:
    struct State
    {
        std::stop_source stop;
        bool running = true;
        std::exception_ptr error;
        WaitQueue waiters;
    };

    explicit TaskHandle(std::shared_ptr<State> state) : m_state(std::move(state)) {}

    static void finish(const std::shared_ptr<State> &state);
    static void reportFailure(const std::exception_ptr &error);

    template<typename Body>
    static QCoro::Task<> run(std::shared_ptr<State> state, Body body, bool soon)
    {
        try {
            if (soon)
                co_await NextTurn{};
            if (!state->stop.stop_requested())
                co_await std::invoke(body, state->stop.get_token());
        } catch (const CancelledError &) {
            // A stopped task is no failure: nothing to keep for its owner.
        } catch (...) {
            state->error = std::current_exception();
            reportFailure(state->error);
        }
        finish(state);
    }

    std::shared_ptr<State> m_state;
};

template<typename Body>
TaskHandle startSoon(Body body)
{
    return TaskHandle::startSoon(std::move(body));
}

} // namespace quillmere
