#pragma once

#include <exception>
#include <optional>
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

}  // namespace corvane
