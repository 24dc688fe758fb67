#pragma once

#include "Platform/Http/TransportError.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoroTask>
#include <QIODevice>
#include <QString>

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

// Runs the work and returns the Error it threw; fails the test when it threw nothing or
// something else.
template<typename Error, typename Work>
std::optional<Error> failureOf(Work work)
{
    try {
        work();
    } catch (const Error &error) {
        return error;
    } catch (const std::exception &error) {
        ADD_FAILURE() << "unexpected exception: " << error.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "did not fail";
    return std::nullopt;
}

// The same for a task, run to its end on the event loop.
template<typename Error, typename T>
std::optional<Error> failureOf(QCoro::Task<T> task)
{
    return failureOf<Error>([&task] { await(std::move(task)); });
}

// The code of the Error the work (or task) threw, for errors that carry one.
template<typename Error, typename Work>
std::optional<typename Error::Code> failureCode(Work work)
{
    const auto error = failureOf<Error>(std::move(work));
    return error ? std::optional(error->code()) : std::nullopt;
}

// The code of the TransportError the task ended with; fails the test when it ended otherwise.
template<typename T>
std::optional<TransportError::Code> transportFailure(QCoro::Task<T> task)
{
    return failureCode<TransportError>(std::move(task));
}

// Writes the file whole, making its folders; fails the test when it cannot. The mode may add
// Append to grow an existing file.
void writeFile(const QString &path, const QByteArray &bytes = QByteArrayLiteral("x"),
               QIODevice::OpenMode mode = QIODevice::WriteOnly);

// The file's bytes; fails the test when it cannot be read.
QByteArray readFile(const QString &path);

} // namespace quillmere::test
