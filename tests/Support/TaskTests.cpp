// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <chrono>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/Task.hpp"
#include "CorvaneCore/Support/Timeout.hpp"

using namespace corvane;
using namespace std::chrono_literals;
namespace asio = boost::asio;

TEST(Task, CancellingASleepingTaskEndsItAtOnce) {
    asio::io_context io;
    bool afterSleep = false;
    bool aborted = false;
    // A coroutine lambda must outlive its coroutine: keep it in a variable.
    auto sleeper = [&]() -> Async<void> {
        try {
            co_await sleepFor(1h);
            afterSleep = true;
        } catch (const boost::system::system_error& e) {
            aborted = e.code() == asio::error::operation_aborted;
        }
        EXPECT_TRUE(co_await taskIsCancelled());
    };
    auto task = spawnTask(io.get_executor(), sleeper());
    asio::steady_timer cancelAt(io, 20ms);
    cancelAt.async_wait([&](auto) { task.cancel(); });
    auto start = std::chrono::steady_clock::now();
    io.run();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(task.isFinished());
    EXPECT_TRUE(task.isCancelled());
    EXPECT_TRUE(aborted);
    EXPECT_FALSE(afterSleep);
    EXPECT_EQ(task.failure(), nullptr);
}

TEST(Task, TimeoutRacesTheOperation) {
    auto slow = []() -> Async<int> {
        co_await sleepFor(1h);
        co_return 1;
    };
    auto fast = []() -> Async<int> {
        co_await sleepFor(1ms);
        co_return 7;
    };
    EXPECT_THROW(runToCompletion(withTimeout(30ms, slow())), TimeoutError);
    EXPECT_EQ(runToCompletion(withTimeout(10s, fast())), 7);
}

TEST(Task, AFailureInsideATaskIsKept) {
    asio::io_context io;
    auto failing = []() -> Async<void> {
        co_await sleepFor(1ms);
        throw std::runtime_error("boom");
    };
    auto task = spawnTask(io.get_executor(), failing());
    io.run();
    ASSERT_TRUE(task.isFinished());
    EXPECT_THROW(std::rethrow_exception(task.failure()), std::runtime_error);
}

TEST(Task, AFailingOperationEndsItsTimeoutAtOnce) {
    auto failing = []() -> Async<int> {
        co_await sleepFor(5ms);
        throw std::runtime_error("boom");
    };
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(runToCompletion(withTimeout(30s, failing())), std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}
