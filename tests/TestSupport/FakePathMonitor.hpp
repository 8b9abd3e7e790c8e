// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <mutex>

#include "Corvane/Platform/NetworkPath.hpp"

namespace corvane::testing {

// A path monitor the test drives: report() calls the handler as the monitor's thread would.
class FakePathMonitor final : public PathMonitor {
public:
    void start(Handler handler) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    void cancel() override {
        std::lock_guard lock(mutex_);
        handler_ = nullptr;
    }
    void report(const NetworkPath& path) {
        std::lock_guard lock(mutex_);
        if (handler_) handler_(path);
    }

private:
    std::mutex mutex_;
    Handler handler_;
};

}  // namespace corvane::testing
