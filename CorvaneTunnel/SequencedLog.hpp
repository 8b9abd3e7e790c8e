// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "CorvaneCore/Diagnostics/LogRing.hpp"
#include "CorvaneCore/Tunnel/TunnelIPC.hpp"

namespace corvane {

// The tunnel side's recent log lines, numbered: every appended line takes the
// next sequence number, starting at 1. It keeps the last `capacity` lines, and
// fewer when their text (time, level, target and message) would come to more
// than `maxBytes`: every member of the access group may ask for all of them at
// once, so a run of long engine lines must not make that answer megabytes long.
// The oldest lines go first; the newest is always kept. Safe from any thread.
class SequencedLog {
public:
    // 500 lines of about 500 bytes; engine lines run up to 4 KiB each.
    static constexpr std::size_t defaultMaxBytes = 256 * 1024;

    explicit SequencedLog(std::int64_t capacity = LogRing::extensionCapacity, std::size_t maxBytes = defaultMaxBytes);

    // Appends the line and returns its sequence number.
    std::int64_t append(LogLine line);
    std::int64_t append(std::string level, std::string target, std::string message);
    // The kept lines numbered above `after`, oldest first, at most `limit` of them (the oldest ones).
    std::vector<TunnelIPC::SequencedLine> after(std::int64_t after, std::size_t limit = LogRing::extensionCapacity) const;
    // The number of the newest line; 0 before the first.
    std::int64_t lastSequence() const;
    // The text size of the kept lines, as measured against maxBytes.
    std::size_t keptBytes() const;

    static std::size_t sizeOf(const LogLine& line) noexcept {
        return line.ts.size() + line.level.size() + line.target.size() + line.message.size();
    }

private:
    const std::size_t capacity_;
    const std::size_t maxBytes_;
    mutable std::mutex mutex_;
    std::deque<LogLine> lines_;  // oldest first; the newest is number last_
    std::size_t bytes_ = 0;
    std::int64_t last_ = 0;
};

}  // namespace corvane
