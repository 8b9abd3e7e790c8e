// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

// Runs `work` on a private io_context until it completes, and returns its result
// or rethrows its exception. For command-line front ends and tests.
template <class T>
T runToCompletion(Async<T> work) {
    boost::asio::io_context context;
    std::exception_ptr failure;
    if constexpr (std::is_void_v<T>) {
        boost::asio::co_spawn(context, std::move(work), [&](std::exception_ptr e) { failure = e; });
        context.run();
        if (failure) std::rethrow_exception(failure);
    } else {
        std::optional<T> result;
        boost::asio::co_spawn(context, std::move(work), [&](std::exception_ptr e, T value) {
            failure = e;
            if (!e) result.emplace(std::move(value));
        });
        context.run();
        if (failure) std::rethrow_exception(failure);
        return std::move(*result);
    }
}

// Runs `context` until `work`, spawned on it, completes, and returns its result
// or rethrows its exception. Other work on the context (a subscription that
// never ends, say) runs meanwhile and stays pending afterwards.
template <class T>
T runUntilDone(boost::asio::io_context& context, Async<T> work) {
    std::exception_ptr failure;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> result;
    bool done = false;
    boost::asio::co_spawn(context, std::move(work), [&](std::exception_ptr e, auto... value) {
        failure = e;
        done = true;
        if constexpr (sizeof...(value) > 0) {
            if (!e) result.emplace(std::move(value)...);
        }
    });
    while (!done) {
        context.restart();
        if (context.run_one() == 0 && !done) {
            context.restart();  // stopped from outside: the work can no longer finish
            throw std::runtime_error("the event loop stopped before the work finished");
        }
    }
    context.restart();
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace corvane
