// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Tunnel/TunnelSettingsReassertion.hpp"

#include <mutex>
#include <utility>

namespace corvane {

struct TunnelSettingsReassertion::Inner : std::enable_shared_from_this<Inner> {
    mutable std::recursive_mutex lock;
    Phase phase = Phase::idle;
    std::function<void()> endReassertion;
    // Tells the completions of one cycle from those of another, so that a
    // completion called late (or twice) cannot move a newer cycle along.
    std::uint64_t cycle = 0;

    void end() {
        if (auto end = std::exchange(endReassertion, nullptr)) end();
    }

    static void report(const std::function<void(std::exception_ptr)>& onError, std::exception_ptr error) {
        if (error && onError) onError(error);
    }

    Completion restoreCompletion(std::uint64_t forCycle, std::function<void(std::exception_ptr)> onError) {
        return [self = shared_from_this(), forCycle, onError = std::move(onError)](std::exception_ptr error) {
            std::lock_guard guard(self->lock);
            if (self->cycle != forCycle || self->phase != Phase::restoring) return;
            report(onError, error);
            self->phase = Phase::idle;
            self->end();
        };
    }

    Completion clearCompletion(std::uint64_t forCycle, Step restore, std::function<void(std::exception_ptr)> onError) {
        return [self = shared_from_this(), forCycle, restore = std::move(restore),
                onError = std::move(onError)](std::exception_ptr error) {
            std::lock_guard guard(self->lock);
            if (self->cycle != forCycle || self->phase != Phase::clearing) return;
            report(onError, error);
            self->phase = Phase::restoring;
            restore(self->restoreCompletion(forCycle, onError));
        };
    }
};

TunnelSettingsReassertion::TunnelSettingsReassertion() : inner_(std::make_shared<Inner>()) {}

TunnelSettingsReassertion::~TunnelSettingsReassertion() = default;

void TunnelSettingsReassertion::refresh(Step clear, Step restore, std::function<void(bool)> setReasserting,
                                        std::function<void(std::exception_ptr)> onError) {
    std::lock_guard guard(inner_->lock);
    if (inner_->phase != Phase::idle) return;
    const std::uint64_t cycle = ++inner_->cycle;
    inner_->phase = Phase::clearing;
    inner_->endReassertion = [setReasserting] { setReasserting(false); };
    setReasserting(true);
    clear(inner_->clearCompletion(cycle, std::move(restore), std::move(onError)));
}

void TunnelSettingsReassertion::invalidate() {
    std::lock_guard guard(inner_->lock);
    inner_->phase = Phase::invalidated;
    inner_->end();
}

TunnelSettingsReassertion::Phase TunnelSettingsReassertion::phase() const {
    std::lock_guard guard(inner_->lock);
    return inner_->phase;
}

}  // namespace corvane
