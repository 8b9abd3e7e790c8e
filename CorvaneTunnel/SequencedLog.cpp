#include "CorvaneTunnel/SequencedLog.hpp"

#include <chrono>

namespace corvane {

SequencedLog::SequencedLog(std::int64_t capacity) : ring_(capacity) {}

std::int64_t SequencedLog::append(LogLine line) {
    std::lock_guard lock(mutex_);
    ring_.append(std::move(line));
    return ++last_;
}

std::int64_t SequencedLog::append(std::string level, std::string target, std::string message) {
    return append(LogLine{LogRing::timestamp(std::chrono::system_clock::now()), std::move(level), std::move(target), std::move(message)});
}

std::vector<TunnelIPC::SequencedLine> SequencedLog::after(std::int64_t after, std::size_t limit) const {
    std::vector<LogLine> lines;
    std::int64_t last;
    {
        std::lock_guard lock(mutex_);
        lines = ring_.snapshot();
        last = last_;
    }
    // A client that holds numbers this service never gave (it restarted since) gets everything kept.
    if (after > last) after = 0;
    std::vector<TunnelIPC::SequencedLine> out;
    std::int64_t seq = last - static_cast<std::int64_t>(lines.size());
    for (auto& line : lines) {
        ++seq;
        if (seq <= after) continue;
        if (out.size() >= limit) break;
        out.push_back(TunnelIPC::SequencedLine{seq, std::move(line)});
    }
    return out;
}

std::int64_t SequencedLog::lastSequence() const {
    std::lock_guard lock(mutex_);
    return last_;
}

}  // namespace corvane
