#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "CorvaneCore/Diagnostics/LogRing.hpp"
#include "CorvaneCore/Tunnel/TunnelIPC.hpp"

namespace corvane {

// The tunnel side's recent log lines, numbered: every appended line takes the
// next sequence number, starting at 1, and the ring keeps the last `capacity`.
// Safe from any thread.
class SequencedLog {
public:
    explicit SequencedLog(std::int64_t capacity = LogRing::extensionCapacity);

    // Appends the line and returns its sequence number.
    std::int64_t append(LogLine line);
    std::int64_t append(std::string level, std::string target, std::string message);
    // The kept lines numbered above `after`, oldest first, at most `limit` of them (the oldest ones).
    std::vector<TunnelIPC::SequencedLine> after(std::int64_t after, std::size_t limit = LogRing::extensionCapacity) const;
    // The number of the newest line; 0 before the first.
    std::int64_t lastSequence() const;

private:
    mutable std::mutex mutex_;
    LogRing ring_;
    std::int64_t last_ = 0;
};

}  // namespace corvane
