#pragma once

#include <QCoroFuture>
#include <QCoroTask>
#include <QException>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <chrono>
#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

class QObject;

namespace quillmere {

// Awaits a future from the thread pool; an exception thrown by the work is rethrown as
// itself (not wrapped as QUnhandledException).
template<typename T>
QCoro::Task<T> awaitFuture(QFuture<T> future)
{
    try {
        if constexpr (std::is_void_v<T>)
            co_await future;
        else
            co_return co_await future;
    } catch (const QUnhandledException &wrapped) {
        if (wrapped.exception())
            std::rethrow_exception(wrapped.exception());
        throw;
    }
}

namespace detail {

// A hop to a pool and back costs the application's thread one posted call to an object of
// its own that is never deleted (so a worker that ends after everything else still posts to a
// live object), instead of a future, its watcher and their signals.
bool onApplicationThread();
QObject *resumptionTarget();
// Counts the hop as out until its resumption has run on the application's thread.
void hopStarted();
void postResumption(QObject *target, std::coroutine_handle<> handle);

template<typename R>
struct HopResult
{
    std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> value{};
    std::exception_ptr error;
};

template<typename R, typename Work>
struct PoolHop
{
    QThreadPool *pool;
    std::shared_ptr<Work> work;
    std::shared_ptr<HopResult<R>> result;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle)
    {
        QObject *target = resumptionTarget();
        hopStarted();
        pool->start([work = work, result = result, handle, target] {
            try {
                if constexpr (std::is_void_v<R>)
                    (*work)();
                else
                    result->value.emplace((*work)());
            } catch (...) {
                result->error = std::current_exception();
            }
            postResumption(target, handle);
        });
    }
    void await_resume() const noexcept {}
};

} // namespace detail

// Runs blocking work on `pool` and resumes the awaiting coroutine on its own thread with the
// result; an exception thrown by the work is rethrown as itself.
template<typename Work>
auto runOnPool(QThreadPool &pool, Work work) -> QCoro::Task<std::invoke_result_t<Work>>
{
    using R = std::invoke_result_t<Work>;
    if (!detail::onApplicationThread()) {
        auto awaiting = awaitFuture(QtConcurrent::run(&pool, std::move(work)));
        co_return co_await std::move(awaiting);
    }
    auto result = std::make_shared<detail::HopResult<R>>();
    detail::PoolHop<R, Work> hop{&pool, std::make_shared<Work>(std::move(work)), result};
    co_await hop;
    if (result->error)
        std::rethrow_exception(result->error);
    if constexpr (!std::is_void_v<R>)
        co_return std::move(*result->value);
}

// Turns the application's event loop until every hop to a pool has come back, or until
// `ceiling` has passed; whether none is left out. A coroutine whose work was still on a worker
// when its owner went away (cancelled, so it ends at its next check) resumes only through a
// posted call: without this turn it would never end, and its frame would never be freed.
bool settlePoolHops(std::chrono::milliseconds ceiling);

// Runs blocking work (hashing, copying, probing) on the global thread pool and resumes the
// awaiting coroutine on its own thread with the result.
template<typename Work>
auto runInBackground(Work work) -> QCoro::Task<std::invoke_result_t<Work>>
{
    return runOnPool(*QThreadPool::globalInstance(), std::move(work));
}

} // namespace quillmere
