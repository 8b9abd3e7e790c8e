// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "CorvaneCore/Support/Task.hpp"
#include "CorvaneCore/Tunnel/TunnelWorker.hpp"

namespace corvane {

// The object that owns the engine instance in the tunnel service. Everything
// but cancel() runs on the lifecycle's worker queue; cancel() runs on the
// caller's thread while the queue may be inside start(), and must interrupt it
// without blocking (it is called with the lifecycle's request lock held).
template <class S>
concept ManagedTunnelService = requires(S& service) {
    service.start();                     // may throw
    { service.cancel() } noexcept;
    service.close();                     // may throw
    { service.pause() } noexcept;
    { service.wake() } noexcept;
    { service.resetNetwork() } noexcept;
};

// Thrown to a start that a later start or stop overtook.
class TunnelStartCancelled : public std::runtime_error {
public:
    TunnelStartCancelled() : std::runtime_error("the tunnel start was cancelled by a later start or stop") {}
};

// Creates, starts, pauses, wakes, resets and closes tunnel services one at a
// time on the worker queue, holds at most one of them, and lets a later start
// or stop win over a start still in progress: every start and stop takes a new
// generation, and a start whose generation is no longer current closes what it
// made and throws TunnelStartCancelled.
template <ManagedTunnelService Service>
class TunnelServiceLifecycle {
public:
    using ServicePtr = std::shared_ptr<Service>;
    using Make = std::function<ServicePtr()>;
    using DidStart = std::function<void(const ServicePtr&)>;
    using CloseErrorHandler = std::function<void(std::exception_ptr)>;

    explicit TunnelServiceLifecycle(CloseErrorHandler onCloseError)
        : core_(std::make_shared<Core>(std::make_shared<State>(std::move(onCloseError)))) {}

    // Interrupts the held service at once and closes it on the queue, without waiting.
    ~TunnelServiceLifecycle() {
        core_->state->cancel();
        TunnelWorker::enqueue([state = core_->state] { state->close(); });
    }

    TunnelServiceLifecycle(const TunnelServiceLifecycle&) = delete;
    TunnelServiceLifecycle& operator=(const TunnelServiceLifecycle&) = delete;

    // Closes the held service, makes a new one with `make`, starts it and hands
    // it to `didStart` (both on the queue). Throws what `make`, the service's
    // start() or `didStart` threw, or TunnelStartCancelled when overtaken; in
    // every failure the new service has been closed and nothing is held.
    Async<void> start(Make make, DidStart didStart) {
        auto core = core_;
        std::function<void(TunnelWorker::Resume)> issue = [core, make = std::move(make),
                                                           didStart = std::move(didStart)](TunnelWorker::Resume resume) {
            std::lock_guard guard(core->requestLock);
            const std::uint64_t token = ++core->generation;
            TunnelWorker::enqueue([core, token, make, didStart, resume] { runStart(*core, token, make, didStart, resume); });
        };
        co_await TunnelWorker::suspend(std::move(issue));
    }

    // Interrupts the held service at once, then closes it on the queue; returns
    // when it is closed. A start still in progress fails.
    Async<void> stop() {
        auto core = core_;
        std::function<void(TunnelWorker::Resume)> issue = [core](TunnelWorker::Resume resume) {
            std::lock_guard guard(core->requestLock);
            ++core->generation;
            core->state->cancel();
            TunnelWorker::enqueue([state = core->state, resume] {
                state->close();
                resume(nullptr);
            });
        };
        co_await TunnelWorker::suspend(std::move(issue));
    }

    // The host is going to sleep.
    Async<void> pause() {
        auto state = core_->state;
        std::function<void(TunnelWorker::Resume)> issue = [state](TunnelWorker::Resume resume) {
            TunnelWorker::enqueue([state, resume] {
                if (auto service = state->service()) service->pause();
                resume(nullptr);
            });
        };
        co_await TunnelWorker::suspend(std::move(issue));
    }

    // The host woke up. Does not wait.
    void wake() {
        TunnelWorker::enqueue([state = core_->state] {
            if (auto service = state->service()) service->wake();
        });
    }

    // Rebuilds the held service's network state. False when nothing is held or
    // a start or stop came between this call and its turn on the queue.
    Async<bool> resetNetwork() {
        auto core = core_;
        auto performed = std::make_shared<bool>(false);
        std::function<void(TunnelWorker::Resume)> issue = [core, performed](TunnelWorker::Resume resume) {
            std::lock_guard guard(core->requestLock);
            const std::uint64_t token = core->generation;
            TunnelWorker::enqueue([core, token, performed, resume] {
                if (core->isCurrent(token)) {
                    if (auto service = core->state->service()) {
                        service->resetNetwork();
                        *performed = true;
                    }
                }
                resume(nullptr);
            });
        };
        co_await TunnelWorker::suspend(std::move(issue));
        co_return *performed;
    }

    // How many starts and stops have been issued; for diagnostics and tests.
    std::uint64_t generation() const {
        std::lock_guard guard(core_->requestLock);
        return core_->generation;
    }

private:
    // The held service. Its lock is never held while a service is called.
    class State {
    public:
        explicit State(CloseErrorHandler onCloseError) : onCloseError_(std::move(onCloseError)) {}

        ServicePtr service() {
            std::lock_guard guard(lock_);
            return stored_;
        }
        void setService(ServicePtr service) {
            std::lock_guard guard(lock_);
            stored_ = std::move(service);
        }
        void cancel() {
            if (auto service = this->service()) service->cancel();
        }
        // Takes the held service out and closes it; its close error goes to the handler only.
        void close() {
            ServicePtr service;
            {
                std::lock_guard guard(lock_);
                service = std::exchange(stored_, nullptr);
            }
            if (!service) return;
            try {
                service->close();
            } catch (...) {
                if (onCloseError_) {
                    try {
                        onCloseError_(std::current_exception());
                    } catch (...) {
                    }
                }
            }
        }

    private:
        std::mutex lock_;
        ServicePtr stored_;
        CloseErrorHandler onCloseError_;
    };

    // Start and reset work items hold this; the others only the State.
    struct Core {
        explicit Core(std::shared_ptr<State> s) : state(std::move(s)) {}
        bool isCurrent(std::uint64_t token) {
            std::lock_guard guard(requestLock);
            return generation == token;
        }
        std::shared_ptr<State> state;
        std::mutex requestLock;  // guards generation and the order in which work is enqueued
        std::uint64_t generation = 0;
    };

    static void runStart(Core& core, std::uint64_t token, const Make& make, const DidStart& didStart,
                         const TunnelWorker::Resume& resume) {
        auto fail = [&](std::exception_ptr error) {
            core.state->close();
            resume(error);
        };
        auto overtaken = [] { return std::make_exception_ptr(TunnelStartCancelled()); };

        if (!core.isCurrent(token)) return fail(overtaken());
        core.state->close();
        ServicePtr service;
        try {
            service = make();
            if (!service) throw std::logic_error("the tunnel service factory returned nothing");
        } catch (...) {
            return fail(std::current_exception());
        }
        core.state->setService(service);
        if (!core.isCurrent(token)) return fail(overtaken());
        try {
            service->start();
        } catch (...) {
            return fail(std::current_exception());
        }
        if (!core.isCurrent(token)) return fail(overtaken());
        try {
            if (didStart) didStart(service);
        } catch (...) {
            return fail(std::current_exception());
        }
        resume(nullptr);
    }

    std::shared_ptr<Core> core_;
};

}  // namespace corvane
