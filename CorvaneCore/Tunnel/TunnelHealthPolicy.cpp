// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Tunnel/TunnelHealthPolicy.hpp"

namespace corvane {

std::optional<std::uint64_t> TunnelHealthPolicy::begin(Date now) {
    if (inFlight_ || now < nextCheck_) return std::nullopt;
    inFlight_ = ++generation_;
    return inFlight_;
}

bool TunnelHealthPolicy::isCurrent(std::uint64_t token) const { return inFlight_ && *inFlight_ == token; }

TunnelHealthPolicy::Result TunnelHealthPolicy::finish(std::uint64_t token, bool reachable, Date now) {
    if (!isCurrent(token)) return Result::stale;
    inFlight_.reset();
    if (reachable) {
        failures_ = 0;
        recoveries_ = 0;
        nextCheck_ = now + waitAfterSuccess;
        return Result::reachable;
    }
    ++failures_;
    nextCheck_ = now + waitAfterFailure;
    if (failures_ < failuresBeforeRecovery) return Result::unreachable;
    if (recoveries_ >= maxRecoveriesWithoutSuccess) return Result::unreachable;
    // Written as an addition: the distant past minus anything would overflow.
    if (now < lastRecovery_ + minRecoverySpacing) return Result::unreachable;
    ++recoveries_;
    lastRecovery_ = now;
    failures_ = 0;
    return Result::recover;
}

void TunnelHealthPolicy::invalidate(bool newSession) {
    ++generation_;
    inFlight_.reset();
    failures_ = 0;
    nextCheck_ = distantPast;
    if (newSession) {
        recoveries_ = 0;
        lastRecovery_ = distantPast;
    }
}

}  // namespace corvane
