// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Tunnel/TunnelWorker.hpp"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <pthread.h>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace corvane {

namespace asio = boost::asio;

namespace {

class SerialQueue {
public:
    SerialQueue() : thread_([this] { run(); }) {
        const std::string name(TunnelWorker::threadName);
        pthread_setname_np(thread_.native_handle(), name.c_str());
        id_ = thread_.get_id();
    }

    void enqueue(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(work));
        }
        wake_.notify_one();
    }

    bool isCurrent() const { return std::this_thread::get_id() == id_; }

private:
    void run() {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !items_.empty(); });
                work = std::move(items_.front());
                items_.pop_front();
            }
            try {
                work();
            } catch (...) {
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> items_;
    std::thread thread_;
    std::thread::id id_;
};

SerialQueue& sharedQueue() {
    // Never destroyed: work may still be queued while the process exits.
    static SerialQueue* queue = new SerialQueue;
    return *queue;
}

}  // namespace

void TunnelWorker::enqueue(std::function<void()> work) { sharedQueue().enqueue(std::move(work)); }

bool TunnelWorker::isCurrent() { return sharedQueue().isCurrent(); }

Async<void> TunnelWorker::suspend(std::function<void(Resume)> issue) {
    auto initiate = [&issue](auto handler) {
        using Handler = decltype(handler);
        struct Waiter {
            std::mutex mutex;
            std::optional<Handler> handler;
            // Keeps the coroutine's io_context running until the resume. It is
            // only ever released on that context's own thread: once the resume is
            // posted, the context may finish and be destroyed at any moment.
            std::optional<asio::any_io_executor> keepRunning;
        };
        auto waiter = std::make_shared<Waiter>();
        const auto executor = asio::get_associated_executor(handler);
        waiter->keepRunning.emplace(asio::prefer(executor, asio::execution::outstanding_work.tracked));
        waiter->handler.emplace(std::move(handler));
        const asio::any_io_executor target = asio::prefer(executor, asio::execution::outstanding_work.untracked);
        issue([waiter, target](std::exception_ptr error) {
            std::optional<asio::any_io_executor> keepRunning;
            std::optional<Handler> handler;
            {
                std::lock_guard lock(waiter->mutex);
                if (!waiter->handler) return;  // resumed twice: the first one counts
                keepRunning.emplace(std::move(*waiter->keepRunning));
                handler.emplace(std::move(*waiter->handler));
                waiter->keepRunning.reset();
                waiter->handler.reset();
            }
            asio::post(target, [handler = std::move(*handler), keepRunning = std::move(*keepRunning), error]() mutable {
                std::move(handler)(error);
            });
        });
    };
    co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr)>(initiate,
                                                                                          asio::use_awaitable);
}

}  // namespace corvane
