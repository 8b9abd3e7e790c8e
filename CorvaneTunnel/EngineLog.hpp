// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "CorvaneCore/Diagnostics/LogLine.hpp"

namespace corvane {

// Removes ANSI colour sequences (ESC [ digits and semicolons m).
std::string stripColour(std::string_view line);

// The longest engine line the service keeps; the rest of a longer one is cut.
inline constexpr std::size_t maxEngineLineBytes = 4096;

// An engine line fit for the service's log, which every member of the access
// group reads: at most maxEngineLineBytes (cut at a character boundary, then
// marked with "…"), and the value of every "password=" hidden, as the engine writes
// the passwords that clients of the LAN share tried.
std::string boundedEngineLine(std::string line);

// One line of engine output as a LogLine. The engine writes
// "+0800 2025-06-01 09:15:07 INFO [id 5ms] inbound/mixed[in]: text" with
// timestamps on, "WARN[0012] text" from its other logger and "INFO text"
// without them; the clock time is converted to UTC, and a line without one
// takes `receivedAt`. Output that follows none of these (a Go panic, say)
// keeps its whole text as the message.
LogLine parseEngineLogLine(std::string_view line, std::chrono::system_clock::time_point receivedAt);

// Whether a parsed line announces the engine's end: its fatal logger, or a Go runtime crash.
bool announcesEngineEnd(const LogLine& line);

}  // namespace corvane
