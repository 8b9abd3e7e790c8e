// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/Formatters.hpp"

#include <charconv>

namespace corvane::Formatters {
namespace {

constexpr double KiB = 1024.0;
constexpr double MiB = KiB * 1024.0;
constexpr double GiB = MiB * 1024.0;
constexpr double TiB = GiB * 1024.0;

// Always a decimal point: the app sets the C locale from the environment, and
// printf would then write "1,5" in some languages.
std::string printed(double value, int decimals, const char* unit, const char* suffix) {
    char text[64];
    auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals).ptr;
    return std::string(text, end) + " " + unit + suffix;
}

// The steps shared by both formatters; `suffix` follows the unit ("" or "/s").
std::string scaled(std::int64_t n, const char* suffix, bool terabytes) {
    // Counters are never negative; a negative value would only come from a bug, show it as-is.
    if (n < 1024) return std::to_string(n) + " B" + suffix;
    const double v = static_cast<double>(n);
    if (v < MiB) return printed(v / KiB, 1, "KB", suffix);
    if (v < GiB) return printed(v / MiB, 2, "MB", suffix);
    if (v < TiB || !terabytes) return printed(v / GiB, 2, "GB", suffix);
    return printed(v / TiB, 2, "TB", suffix);
}

}  // namespace

std::string bytes(std::int64_t n) { return scaled(n, "", true); }

std::string rate(std::int64_t bytesPerSecond) { return scaled(bytesPerSecond, "/s", false); }

std::string age(std::chrono::seconds elapsed) {
    using namespace std::chrono;
    // A clock set back makes a measurement look like it comes from the future: it is fresh.
    if (elapsed < minutes(1)) return {};
    if (elapsed < hours(1)) return std::to_string(duration_cast<minutes>(elapsed).count()) + " min ago";
    if (elapsed < days(1)) return std::to_string(duration_cast<hours>(elapsed).count()) + " h ago";
    return std::to_string(duration_cast<days>(elapsed).count()) + " d ago";
}

}  // namespace corvane::Formatters
