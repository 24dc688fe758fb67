#pragma once

#include <QCoroTask>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>

namespace quillmere::test {

// Turns the event loop until the predicate holds or the time-out passes; returns the
// predicate's last value.
bool runUntil(const std::function<bool()> &predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Turns the event loop for roughly this long.
void runFor(std::chrono::milliseconds duration);

// Turns the event loop until every event posted so far has been handled.
void drainEvents();

namespace detail {
template<typename T>
QCoro::Task<> capture(QCoro::Task<T> task, std::optional<T> &result, std::exception_ptr &error, bool &done)
{
    try {
        result.emplace(co_await std::move(task));
    } catch (...) {
        error = std::current_exception();
    }
    done = true;
}
QCoro::Task<> captureVoid(QCoro::Task<> task, std::exception_ptr &error, bool &done);
} // namespace detail

// Runs a task to its end on the event loop and returns its result or rethrows its exception
// (tests only: the application never nests loops). Fails the test after the time-out.
template<typename T>
T await(QCoro::Task<T> task, std::chrono::milliseconds timeout = std::chrono::seconds(30))
{
    std::exception_ptr error;
    bool done = false;
    if constexpr (std::is_void_v<T>) {
        detail::captureVoid(std::move(task), error, done);
        if (!runUntil([&] { return done; }, timeout))
            throw std::runtime_error("task did not finish in time");
        if (error)
            std::rethrow_exception(error);
    } else {
        std::optional<T> result;
        detail::capture(std::move(task), result, error, done);
        if (!runUntil([&] { return done; }, timeout))
            throw std::runtime_error("task did not finish in time");
        if (error)
            std::rethrow_exception(error);
        return std::move(*result);
    }
}

} // namespace quillmere::test
