// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace corvane {

// Decides, from a run of reachability checks, when the next check may start,
// whether a finished check still counts, and when to ask for a network
// recovery. A plain value: the owner confines it to one thread.
class TunnelHealthPolicy {
public:
    using Clock = std::chrono::steady_clock;  // spacing is time passed, not the wall clock's
    using Date = Clock::time_point;

    enum class Result {
        stale,        // the check no longer counts
        reachable,
        unreachable,
        recover,      // unreachable, and a recovery should be requested now
    };

    static constexpr std::chrono::seconds waitAfterSuccess{30};
    static constexpr std::chrono::seconds waitAfterFailure{5};
    static constexpr int failuresBeforeRecovery = 2;
    static constexpr int maxRecoveriesWithoutSuccess = 2;
    static constexpr std::chrono::seconds minRecoverySpacing{60};

    TunnelHealthPolicy() = default;

    // A token when a check may start now; nothing while one is in flight or too early.
    std::optional<std::uint64_t> begin(Date now);
    bool isCurrent(std::uint64_t token) const;
    Result finish(std::uint64_t token, bool reachable, Date now);
    // Forgets the check in flight and the failures; a new session also forgets the recoveries.
    void invalidate(bool newSession);

private:
    static constexpr Date distantPast = Date::min();

    std::uint64_t generation_ = 0;
    std::optional<std::uint64_t> inFlight_;
    Date nextCheck_ = distantPast;
    int failures_ = 0;
    int recoveries_ = 0;
    Date lastRecovery_ = distantPast;
};

}  // namespace corvane
