#pragma once

#include "Platform/Async/WaitQueue.h"

#include <QCoroTask>

#include <memory>
#include <optional>

namespace quillmere {

// A mutex for coroutines of one thread: lock() suspends instead of blocking. Ownership
// passes to the longest waiter, which resumes on a later turn of the event loop.
class AsyncMutex
{
public:
    class Lock
    {
    public:
        Lock(Lock &&other) noexcept : m_state(std::move(other.m_state)) {}
        Lock &operator=(Lock &&other) noexcept;
        Lock(const Lock &) = delete;
        Lock &operator=(const Lock &) = delete;
        ~Lock() { unlock(); }
        void unlock();

    private:
        friend class AsyncMutex;
        explicit Lock(std::shared_ptr<struct AsyncMutexState> state) : m_state(std::move(state)) {}
        std::shared_ptr<struct AsyncMutexState> m_state;
    };

    AsyncMutex();
    AsyncMutex(const AsyncMutex &) = delete;
    AsyncMutex &operator=(const AsyncMutex &) = delete;

    QCoro::Task<Lock> lock();
    std::optional<Lock> tryLock();
    bool isLocked() const;

private:
    std::shared_ptr<struct AsyncMutexState> m_state;
};

struct AsyncMutexState
{
    bool locked = false;
    WaitQueue waiting;
};

} // namespace quillmere
