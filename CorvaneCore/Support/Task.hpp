// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Tasks: coroutines on an io_context that a small handle can cancel. Cancelling
// is terminal: the awaited sleep, socket or timer ends at once with
// operation_aborted, and every later await in that task throws the same.
//
// Two rules for coroutines with g++ 12:
// - Never pass a braced aggregate temporary as an argument of a co_awaited call
//   (`co_await client.send({.url = u})`): g++ 12 corrupts its members. Name it
//   first (`HttpRequest r{.url = u}; co_await client.send(std::move(r));`).
//   The same for an object made by `?:` (`co_await f(c ? s : "x")` frees it twice).
// - A coroutine lambda's captures live in the lambda object: keep that object
//   alive until the coroutine ends (or capture nothing and pass parameters).

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

namespace corvane {

template <class T = void>
using Async = boost::asio::awaitable<T>;

class TaskHandle {
public:
    struct State;

    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}

    // Safe from any thread; the cancellation is delivered on the task's executor.
    void cancel() const;
    bool isCancelled() const noexcept;
    bool isFinished() const noexcept;
    bool isValid() const noexcept { return state_ != nullptr; }
    // An exception other than cancellation that ended the task, if any.
    std::exception_ptr failure() const;

private:
    std::shared_ptr<State> state_;
};

// Starts `work` on `executor`; the returned handle cancels it. Dropping the
// handle does not cancel the task.
TaskHandle spawnTask(const boost::asio::any_io_executor& executor, Async<void> work);

// True once the current task has been cancelled.
Async<bool> taskIsCancelled();

// Suspends the current task; throws boost::system::system_error(operation_aborted) when cancelled.
Async<void> sleepFor(std::chrono::steady_clock::duration duration);

class TimeoutError : public std::runtime_error {
public:
    TimeoutError() : std::runtime_error("the operation timed out") {}
};

}  // namespace corvane

