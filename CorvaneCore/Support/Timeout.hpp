#pragma once

// Races an operation against a timer. Include in .cpp files only: it pulls in
// Asio's timer and the awaitable operators.

#include <variant>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

// Completes with the operation's result, or throws TimeoutError when `limit`
// passes first; the loser is cancelled either way. Cancelling the calling task
// cancels both and throws operation_aborted.
template <class T>
Async<T> withTimeout(std::chrono::steady_clock::duration limit, Async<T> operation) {
    using namespace boost::asio::experimental::awaitable_operators;
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, limit);
    auto outcome = co_await (std::move(operation) || timer.async_wait(boost::asio::use_awaitable));
    if (outcome.index() == 1) throw TimeoutError();
    if constexpr (!std::is_void_v<T>) {
        co_return std::get<0>(std::move(outcome));
    }
}

}  // namespace corvane
