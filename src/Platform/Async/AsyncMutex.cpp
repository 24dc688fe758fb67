#include "Platform/Async/AsyncMutex.h"

#include <QAbstractEventDispatcher>
#include <QMetaObject>
#include <QThread>

namespace quillmere {

AsyncMutex::AsyncMutex() : m_state(std::make_shared<AsyncMutexState>()) {}

bool AsyncMutex::isLocked() const
{
    return m_state->locked;
}

std::optional<AsyncMutex::Lock> AsyncMutex::tryLock()
{
    if (m_state->locked)
        return std::nullopt;
    m_state->locked = true;
    return Lock(m_state);
}

QCoro::Task<AsyncMutex::Lock> AsyncMutex::lock()
{
    auto state = m_state;
    if (!state->locked) {
        state->locked = true;
        co_return Lock(state);
    }
    // unlock() hands the mutex over still locked, so there is no race to re-check.
    co_await state->waiting.wait();
    co_return Lock(state);
}

AsyncMutex::Lock &AsyncMutex::Lock::operator=(Lock &&other) noexcept
{
    if (this != &other) {
        unlock();
        m_state = std::move(other.m_state);
    }
    return *this;
}

void AsyncMutex::Lock::unlock()
{
    auto state = std::move(m_state);
    if (!state)
        return;
    auto next = state->waiting.takeFirst();
    if (!next) {
        state->locked = false;
        return;
    }
    // Resume on a later turn: the releasing coroutine finishes its step first.
    auto *dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread());
    QMetaObject::invokeMethod(dispatcher, [next]() { next.resume(); }, Qt::QueuedConnection);
}

} // namespace quillmere
