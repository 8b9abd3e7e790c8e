// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/EngineLog.hpp"

#include "CorvaneCore/Diagnostics/LogRing.hpp"

#include <array>
#include <cstdio>
#include <optional>

namespace corvane {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isLower(char c) { return c >= 'a' && c <= 'z'; }

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (!isDigit(c)) return false;
    }
    return true;
}

std::size_t run(std::string_view s, std::size_t from, bool (*accept)(char)) {
    std::size_t i = from;
    while (i < s.size() && accept(s[i])) ++i;
    return i - from;
}

int number(std::string_view digits) {
    int value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}

// "HH:MM:SS"
bool isClock(std::string_view s) {
    return s.size() == 8 && allDigits(s.substr(0, 2)) && s[2] == ':' && allDigits(s.substr(3, 2)) && s[5] == ':' &&
           allDigits(s.substr(6, 2));
}

// The engine's local clock time, moved to UTC by its "+hhmm" offset.
std::string utcClock(std::string_view clock, std::string_view offset) {
    int seconds = number(clock.substr(0, 2)) * 3600 + number(clock.substr(3, 2)) * 60 + number(clock.substr(6, 2));
    int shift = (number(offset.substr(1, 2)) * 60 + number(offset.substr(3, 2))) * 60;
    seconds -= offset[0] == '-' ? -shift : shift;
    seconds = ((seconds % 86400) + 86400) % 86400;
    std::array<char, 12> out{};
    std::snprintf(out.data(), out.size(), "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return out.data();
}

// "[3735928559 15ms] " in front of connection messages.
std::string_view withoutConnectionId(std::string_view rest) {
    if (rest.empty() || rest[0] != '[') return rest;
    std::size_t digits = run(rest, 1, isDigit);
    std::size_t at = 1 + digits;
    if (digits == 0 || at >= rest.size() || rest[at] != ' ') return rest;
    std::size_t close = rest.find(']', at + 1);
    if (close == std::string_view::npos || close == at + 1 || close + 1 >= rest.size() || rest[close + 1] != ' ') return rest;
    return rest.substr(close + 2);
}

// The length of "inbound/mixed[tag]" or "router" when ": " follows it, else 0.
std::size_t targetLength(std::string_view rest) {
    static constexpr std::array<std::string_view, 5> kinds = {"inbound/", "outbound/", "endpoint/", "dns/", "service/"};
    for (auto kind : kinds) {
        if (rest.substr(0, kind.size()) != kind) continue;
        std::size_t i = kind.size();
        std::size_t type = i;
        while (i < rest.size() && rest[i] != '[' && rest[i] != ' ' && rest[i] != '\t') ++i;
        if (i == type || i >= rest.size() || rest[i] != '[') break;
        std::size_t close = rest.find(']', i);
        if (close == std::string_view::npos) break;
        if (rest.substr(close + 1, 2) == ": ") return close + 1;
        break;
    }
    if (rest.empty() || !isLower(rest[0])) return 0;
    std::size_t i = 1;
    while (i < rest.size() && (isLower(rest[i]) || isDigit(rest[i]) || rest[i] == '/' || rest[i] == '-')) ++i;
    return rest.substr(i, 2) == ": " ? i : 0;
}

// What the Go runtime prints when the engine crashes.
bool isCrashReport(std::string_view text) { return text.starts_with("panic:") || text.starts_with("fatal error:"); }

}  // namespace

std::string stripColour(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
            std::size_t j = i + 2;
            while (j < line.size() && (isDigit(line[j]) || line[j] == ';')) ++j;
            if (j < line.size() && line[j] == 'm') {
                i = j;
                continue;
            }
        }
        out.push_back(line[i]);
    }
    return out;
}

LogLine parseEngineLogLine(std::string_view raw, std::chrono::system_clock::time_point receivedAt) {
    const std::string text = stripColour(raw);
    std::string_view line(text);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);

    LogLine out;
    std::optional<std::string_view> rest;
    // "+0800 2025-06-01 09:15:07 INFO rest"
    if (line.size() > 6 && (line[0] == '+' || line[0] == '-') && allDigits(line.substr(1, 4)) && line[5] == ' ') {
        std::size_t dateEnd = line.find(' ', 6);
        if (dateEnd != std::string_view::npos && dateEnd > 6 && isClock(line.substr(dateEnd + 1, 8)) &&
            line.substr(dateEnd + 9, 1) == " ") {
            std::string_view tail = line.substr(dateEnd + 10);
            std::size_t n = run(tail, 0, isUpper);
            if (n > 0 && n < tail.size() && tail[n] == ' ') {
                out.ts = utcClock(line.substr(dateEnd + 1, 8), line.substr(0, 5));
                out.level = std::string(tail.substr(0, n));
                rest = tail.substr(n + 1);
            }
        }
    }
    if (!rest) {
        std::size_t n = run(line, 0, isUpper);
        if (n > 0 && n < line.size() && line[n] == '[') {
            // "WARN[0012] rest": seconds since the engine started, no clock time.
            std::size_t digits = run(line, n + 1, isDigit);
            std::size_t close = n + 1 + digits;
            if (digits > 0 && line.substr(close, 2) == "] ") {
                out.level = std::string(line.substr(0, n));
                rest = line.substr(close + 2);
            }
        } else if (n > 0 && n < line.size() && line[n] == ' ') {
            out.level = std::string(line.substr(0, n));
            rest = line.substr(n + 1);
        }
    }
    if (out.ts.empty()) out.ts = LogRing::timestamp(receivedAt);
    if (!rest) {
        out.level = isCrashReport(line) ? "ERROR" : "INFO";
        out.message = std::string(line);
        return out;
    }
    std::string_view message = withoutConnectionId(*rest);
    if (std::size_t n = targetLength(message); n > 0) {
        out.target = std::string(message.substr(0, n));
        message.remove_prefix(n + 2);
    }
    out.message = std::string(message);
    return out;
}

bool announcesEngineEnd(const LogLine& line) {
    return line.level == "FATAL" || line.level == "PANIC" || (line.target.empty() && isCrashReport(line.message));
}

std::string boundedEngineLine(std::string line) {
    // "..., username=alice, password=wrong": the value runs to the next comma, space or the end.
    // Hidden before the cut: an empty value hidden lengthens the line.
    static constexpr std::string_view key = "password=";
    for (std::size_t at = line.find(key); at != std::string::npos; at = line.find(key, at)) {
        const std::size_t value = at + key.size();
        const std::size_t end = std::min(line.find_first_of(", \t", value), line.size());
        line.replace(value, end - value, "<hidden>");
        at = value + std::string_view("<hidden>").size();
    }
    if (line.size() > maxEngineLineBytes) {
        std::size_t cut = maxEngineLineBytes;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
        line.resize(cut);
        line += "\u2026";
    }
    return line;
}

}  // namespace corvane
