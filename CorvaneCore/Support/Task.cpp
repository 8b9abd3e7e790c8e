// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Support/Task.hpp"

#include <mutex>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace corvane {

namespace asio = boost::asio;

struct TaskHandle::State {
    explicit State(asio::any_io_executor ex) : executor(std::move(ex)) {}
    asio::any_io_executor executor;
    asio::cancellation_signal signal;  // touched on the executor only
    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
    std::mutex mutex;
    std::exception_ptr failure;
};

void TaskHandle::cancel() const {
    if (!state_ || state_->finished.load() || state_->cancelled.exchange(true)) return;
    asio::dispatch(state_->executor, [state = state_] {
        if (!state->finished.load()) state->signal.emit(asio::cancellation_type::terminal);
    });
}

bool TaskHandle::isCancelled() const noexcept { return state_ && state_->cancelled.load(); }
bool TaskHandle::isFinished() const noexcept { return state_ && state_->finished.load(); }

std::exception_ptr TaskHandle::failure() const {
    if (!state_) return nullptr;
    std::lock_guard lock(state_->mutex);
    return state_->failure;
}

TaskHandle spawnTask(const asio::any_io_executor& executor, Async<void> work) {
    auto state = std::make_shared<TaskHandle::State>(executor);
    asio::co_spawn(executor, std::move(work),
                   asio::bind_cancellation_slot(state->signal.slot(), [state](std::exception_ptr e) {
                       if (e) {
                           try {
                               std::rethrow_exception(e);
                           } catch (const boost::system::system_error& err) {
                               if (err.code() != asio::error::operation_aborted) {
                                   std::lock_guard lock(state->mutex);
                                   state->failure = e;
                               }
                           } catch (...) {
                               std::lock_guard lock(state->mutex);
                               state->failure = e;
                           }
                       }
                       state->finished.store(true);
                   }));
    return TaskHandle(state);
}

Async<bool> taskIsCancelled() {
    auto cs = co_await asio::this_coro::cancellation_state;
    co_return cs.cancelled() != asio::cancellation_type::none;
}

Async<void> sleepFor(std::chrono::steady_clock::duration duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

}  // namespace corvane
