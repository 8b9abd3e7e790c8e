// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Races an operation against a timer. Include in .cpp files only: it pulls in
// Asio's timer and parallel groups.

#include <exception>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

// Completes with the operation's result or rethrows its exception, or throws
// TimeoutError when `limit` passes first; the loser is cancelled either way.
// Cancelling the calling task cancels both and rethrows the operation's abort.
// (Asio's awaitable operator || waits for the first *success*, so a failing
// operation would be held until the timer fired; this helper does not.)
template <class T>
Async<T> withTimeout(std::chrono::steady_clock::duration limit, Async<T> operation) {
    namespace asio = boost::asio;
    auto executor = co_await asio::this_coro::executor;
    asio::steady_timer timer(executor, limit);
    auto group = asio::experimental::make_parallel_group(asio::co_spawn(executor, std::move(operation), asio::deferred),
                                                         timer.async_wait(asio::deferred));
    if constexpr (std::is_void_v<T>) {
        auto [order, failure, timerError] =
            co_await group.async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
        if (order[0] == 1 && !timerError) throw TimeoutError();
        if (failure) std::rethrow_exception(failure);
    } else {
        auto [order, failure, result, timerError] =
            co_await group.async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
        if (order[0] == 1 && !timerError) throw TimeoutError();
        if (failure) std::rethrow_exception(failure);
        co_return std::move(result);
    }
}

}  // namespace corvane
