#pragma once

#include <QCoroFuture>
#include <QCoroTask>
#include <QException>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>
#include <type_traits>
#include <utility>

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

// Runs blocking work (hashing, copying, probing) on the global thread pool and resumes the
// awaiting coroutine on its own thread with the result.
template<typename Work>
auto runInBackground(Work work) -> QCoro::Task<std::invoke_result_t<Work>>
{
    return awaitFuture(QtConcurrent::run(std::move(work)));
}

} // namespace quillmere
