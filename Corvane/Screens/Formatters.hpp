// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Byte counts and rates as the window and the tray menu show them. Plain C++,
// so every view formats the same way.

#include <chrono>
#include <cstdint>
#include <string>

namespace corvane::Formatters {

// "1023 B", "1.0 KB", "1.00 MB", "1.00 GB", "1.00 TB".
std::string bytes(std::int64_t n);
// "1023 B/s", "1.0 KB/s", "1.00 MB/s", "1.00 GB/s"; there is no TB/s step.
std::string rate(std::int64_t bytesPerSecond);
// How old a measurement is, once that matters: "" under a minute, then
// "3 min ago", "2 h ago", "4 d ago" (whole units, rounded down).
std::string age(std::chrono::seconds elapsed);

}  // namespace corvane::Formatters
