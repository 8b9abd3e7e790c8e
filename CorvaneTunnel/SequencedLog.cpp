// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/SequencedLog.hpp"

#include <algorithm>
#include <chrono>

namespace corvane {

SequencedLog::SequencedLog(std::int64_t capacity, std::size_t maxBytes)
    : capacity_(static_cast<std::size_t>(std::max<std::int64_t>(capacity, 1))), maxBytes_(maxBytes) {}

std::int64_t SequencedLog::append(LogLine line) {
    std::lock_guard lock(mutex_);
    bytes_ += sizeOf(line);
    lines_.push_back(std::move(line));
    while (lines_.size() > capacity_ || (bytes_ > maxBytes_ && lines_.size() > 1)) {
        bytes_ -= sizeOf(lines_.front());
        lines_.pop_front();
    }
    return ++last_;
}

std::int64_t SequencedLog::append(std::string level, std::string target, std::string message) {
    return append(LogLine{LogRing::timestamp(std::chrono::system_clock::now()), std::move(level), std::move(target), std::move(message)});
}

std::vector<TunnelIPC::SequencedLine> SequencedLog::after(std::int64_t after, std::size_t limit) const {
    std::lock_guard lock(mutex_);
    // A client that holds numbers this service never gave (it restarted since) gets everything kept.
    if (after > last_) after = 0;
    const std::int64_t first = last_ - static_cast<std::int64_t>(lines_.size()) + 1;
    const std::size_t skip = static_cast<std::size_t>(std::clamp<std::int64_t>(after - first + 1, 0, static_cast<std::int64_t>(lines_.size())));
    std::vector<TunnelIPC::SequencedLine> out;
    out.reserve(std::min(limit, lines_.size() - skip));
    for (std::size_t i = skip; i < lines_.size() && out.size() < limit; ++i) {
        out.push_back(TunnelIPC::SequencedLine{first + static_cast<std::int64_t>(i), lines_[i]});
    }
    return out;
}

std::int64_t SequencedLog::lastSequence() const {
    std::lock_guard lock(mutex_);
    return last_;
}

std::size_t SequencedLog::keptBytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

}  // namespace corvane
