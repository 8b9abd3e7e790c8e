// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

namespace corvane {

// Re-applies the tunnel's network settings in two steps, clear then restore,
// while the tunnel is marked as reasserting. One cycle at a time; invalidate()
// ends the current cycle and refuses every later one. Callable from any
// thread; callbacks run under a recursive lock, so they may call back in
// (a step may complete synchronously).
class TunnelSettingsReassertion {
public:
    enum class Phase { idle, clearing, restoring, invalidated };

    // A step's completion: null for success. Called at most once, from any thread.
    using Completion = std::function<void(std::exception_ptr)>;
    using Step = std::function<void(Completion)>;

    TunnelSettingsReassertion();
    ~TunnelSettingsReassertion();
    TunnelSettingsReassertion(const TunnelSettingsReassertion&) = delete;
    TunnelSettingsReassertion& operator=(const TunnelSettingsReassertion&) = delete;

    // Marks reasserting, runs `clear`, then `restore`, then unmarks. Errors of
    // either step go to `onError` and do not stop the cycle. Does nothing while
    // a cycle runs or after invalidate().
    void refresh(Step clear, Step restore, std::function<void(bool)> setReasserting,
                 std::function<void(std::exception_ptr)> onError);
    // Ends the reasserting mark of a running cycle at once; completions that
    // arrive later do nothing.
    void invalidate();

    Phase phase() const;

private:
    struct Inner;
    std::shared_ptr<Inner> inner_;
};

}  // namespace corvane
