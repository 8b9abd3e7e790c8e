// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CorvaneCore/Diagnostics/LogLine.hpp"

namespace corvane {

// The recent log lines of one process, optionally mirrored line by line to a
// JSON-lines file so they survive a restart. Safe to use from several threads:
// every operation holds the ring's lock, so the mirror has one writer at a time.
class LogRing {
public:
    static constexpr std::int64_t appCapacity = 1000;
    static constexpr std::int64_t extensionCapacity = 500;

    // A capacity below 1 becomes 1. The mirror file is not read.
    explicit LogRing(std::int64_t capacity, std::optional<std::filesystem::path> file = {});

    std::size_t capacity() const noexcept { return capacity_; }
    const std::optional<std::filesystem::path>& file() const noexcept { return file_; }

    void append(LogLine line);
    void append(std::string level, std::string target, std::string message,
                std::chrono::system_clock::time_point at = std::chrono::system_clock::now());

    // Oldest first.
    std::vector<LogLine> snapshot() const;
    // The lines whose level ranks at least as high as `minimumLevel`.
    std::vector<LogLine> snapshot(std::string_view minimumLevel) const;
    // Drops every line and deletes the mirror file.
    void clear();

    // The last `limit` lines of a mirror file that decode, oldest first; lines
    // that do not decode are skipped, and an unreadable file gives nothing.
    static std::vector<LogLine> read(const std::filesystem::path& from, std::size_t limit);
    // "HH:MM:SS" of the time of day in UTC.
    static std::string timestamp(std::chrono::system_clock::time_point date);
    // TRACE 0, DEBUG 1, INFO 2, WARN/WARNING 3, ERROR 4, FATAL 5; anything else
    // counts as an error (4). Case-insensitive.
    static int rank(std::string_view level);

private:
    void mirror(const LogLine& line);

    std::size_t capacity_;
    std::optional<std::filesystem::path> file_;
    mutable std::mutex mutex_;
    std::deque<LogLine> entries_;
    bool mirrorIsPrivate_ = false;  // the mirror file is known to be owner-only
};

}  // namespace corvane
