// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/CommandLine/LogLines.hpp"

#include <algorithm>
#include <cctype>

namespace corvane::cli {

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::optional<LogLevelFilter> logLevelFilter(std::string_view word) {
    if (word == "all") return LogLevelFilter::all;
    if (word == "warn") return LogLevelFilter::warn;
    if (word == "error") return LogLevelFilter::error;
    return std::nullopt;
}

bool keeps(LogLevelFilter filter, std::string_view level) {
    const std::string l = lower(level);
    const bool error = l == "error" || l == "fatal" || l == "panic";
    switch (filter) {
    case LogLevelFilter::all: return true;
    case LogLevelFilter::warn: return error || l == "warn" || l == "warning";
    case LogLevelFilter::error: return error;
    }
    return true;
}

std::string logLineText(const TunnelIPC::SequencedLine& sequenced) {
    const LogLine& line = sequenced.line;
    std::string level = line.level;
    if (level.size() < 5) level.resize(5, ' ');
    std::string text = line.ts + " " + level + " ";
    if (!line.target.empty()) text += line.target + ": ";
    return text + line.message;
}

std::vector<TunnelIPC::SequencedLine> newLogLines(const std::vector<TunnelIPC::SequencedLine>& lines,
                                                  std::int64_t before, std::int64_t after) {
    if (after == before) return {};
    // Walk back from the newest line while the numbers keep falling and, unless the
    // numbering started again, stay above what was already shown.
    std::size_t first = lines.size();
    std::int64_t next = after + 1;
    while (first > 0) {
        const std::int64_t seq = lines[first - 1].seq;
        if (seq >= next || (after > before && seq <= before)) break;
        next = seq;
        --first;
    }
    return {lines.begin() + static_cast<std::ptrdiff_t>(first), lines.end()};
}

}  // namespace corvane::cli
