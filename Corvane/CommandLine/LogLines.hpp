// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The service's log lines as corvanectl prints them, with the log drawer's filter.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CorvaneCore/Tunnel/TunnelIPC.hpp"

namespace corvane::cli {

enum class LogLevelFilter { all, warn, error };

// "all", "warn", "error"; nothing for anything else.
std::optional<LogLevelFilter> logLevelFilter(std::string_view word);
// "warn" keeps warnings and errors, "error" errors only. Fatal and panic lines
// are errors too: a filter for errors must not hide the one that ended the engine.
bool keeps(LogLevelFilter filter, std::string_view level);
// "10:00:01 WARN  router: message"
std::string logLineText(const TunnelIPC::SequencedLine& line);

// The lines of `lines` that the last poll added, given the highest sequence
// number before it (`before`) and after it (`after`). A service that restarted
// numbers its lines from 1 again and answers with everything it kept.
std::vector<TunnelIPC::SequencedLine> newLogLines(const std::vector<TunnelIPC::SequencedLine>& lines,
                                                  std::int64_t before, std::int64_t after);

}  // namespace corvane::cli
