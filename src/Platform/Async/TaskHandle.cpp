#include "Platform/Async/TaskHandle.h"

#include "Platform/Async/AsyncLog.h"

namespace quillmere {

Q_LOGGING_CATEGORY(asyncLog, "app.quillmere.Quillmere.Async")

TaskHandle &TaskHandle::operator=(TaskHandle &&other) noexcept
{
    if (this != &other) {
        cancel();
        m_state = std::move(other.m_state);
    }
    return *this;
}

TaskHandle::~TaskHandle()
{
    cancel();
}

void TaskHandle::cancel()
{
    if (m_state)
        m_state->stop.request_stop();
}

void TaskHandle::finish(const std::shared_ptr<State> &state)
{
    state->running = false;
    state->waiters.resumeAll();
}

void TaskHandle::reportFailure(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        qCWarning(asyncLog, "task ended with an exception: %s", e.what());
    } catch (...) {
        qCWarning(asyncLog, "task ended with an unknown exception");
    }
}

QCoro::Task<> TaskHandle::finished() const
{
    auto state = m_state; // keeps the waiters alive if the handle goes meanwhile
    while (state && state->running)
        co_await state->waiters.wait();
}

} // namespace quillmere
