// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <exception>
#include <functional>
#include <string_view>

#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

// The one serial queue on which every tunnel service operation runs: a real
// thread, started on first use and shared by every lifecycle in the process.
// Work items run one at a time in the order they were enqueued.
class TunnelWorker {
public:
    static constexpr std::string_view label = "corvane.tunnel-lifecycle";
    // What the kernel shows for the thread: names are limited to 15 bytes.
    static constexpr std::string_view threadName = label.substr(0, 15);

    // Runs `work` on the queue after everything enqueued before it. An
    // exception escaping `work` is dropped so that the queue keeps running.
    static void enqueue(std::function<void()> work);
    // True on the queue's thread.
    static bool isCurrent();

    // Called once, from any thread, to resume a suspended coroutine; a non-null
    // error is thrown into it.
    using Resume = std::function<void(std::exception_ptr)>;
    // Suspends the calling coroutine. `issue` runs at once on the calling thread
    // and receives the Resume; the coroutine continues on its own executor.
    // The executor counts as busy until then, so its run() does not return early.
    static Async<void> suspend(std::function<void(Resume)> issue);
};

}  // namespace corvane
