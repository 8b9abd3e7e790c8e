// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's output as the service reads it: every line becomes a LogLine with a
// UTC clock time, and a bounded line stays within its limit (and its mark) however
// many passwords it hides.
#include <chrono>

#include "CorvaneTunnel/EngineLog.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

namespace {

bool isClock(std::string_view s) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return s.size() == 8 && digit(s[0]) && digit(s[1]) && s[2] == ':' && digit(s[3]) && digit(s[4]) && s[5] == ':' &&
           digit(s[6]) && digit(s[7]);
}

}  // namespace

CORVANE_FUZZ_TARGET {
    const auto in = fuzz::text(data, size);
    const auto received = std::chrono::system_clock::time_point(std::chrono::seconds(1'765'000'000));
    const std::string plain = stripColour(in);
    const LogLine line = parseEngineLogLine(plain, received);
    if (!isClock(line.ts)) fuzz::fail("a parsed line has a clock time", line.ts);
    (void)announcesEngineEnd(line);

    const std::string bounded = boundedEngineLine(std::string(in));
    if (bounded.size() > maxEngineLineBytes + std::string_view("\u2026").size()) {
        fuzz::fail("a bounded line stays within the limit", bounded);
    }
    return 0;
}
