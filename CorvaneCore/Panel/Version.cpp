// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Panel/Version.hpp"

#include <algorithm>
#include <charconv>

#include "CorvaneCore/Support/Text.hpp"

namespace corvane::Version {

namespace {

std::optional<std::int64_t> toInt(std::string_view digits) {
    std::int64_t n = 0;
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) return std::nullopt;
    return n;
}

}  // namespace

std::string release(std::string_view text) {
    auto t = trimWhitespace(text);
    auto plus = t.find('+');
    return std::string(plus == std::string_view::npos ? t : t.substr(0, plus));
}

std::optional<std::vector<std::int64_t>> parse(std::string_view text) {
    auto t = trimWhitespace(text);
    if (!t.empty() && (t.front() == 'v' || t.front() == 'V')) t.remove_prefix(1);
    std::vector<std::int64_t> parts;
    std::size_t runStart = 0, i = 0;
    for (; i < t.size(); ++i) {
        char c = t[i];
        if (c >= '0' && c <= '9') continue;
        if (c != '.') break;
        if (i == runStart) break;  // a leading dot or two dots in a row end the version
        auto n = toInt(t.substr(runStart, i - runStart));
        if (!n) return std::nullopt;  // a component too large for 64 bits spoils the whole text
        parts.push_back(*n);
        runStart = i + 1;
    }
    if (i > runStart) {  // the digits before the end or before the character that stopped the scan
        if (auto n = toInt(t.substr(runStart, i - runStart))) parts.push_back(*n);
    }
    if (parts.empty()) return std::nullopt;
    return parts;
}

bool isVersion(std::string_view text) { return parse(text).has_value(); }

int compare(std::string_view a, std::string_view b) {
    auto pa = parse(a), pb = parse(b);
    if (!pa && !pb) return 0;
    if (!pa) return -1;
    if (!pb) return 1;
    const std::size_t n = std::max(pa->size(), pb->size());
    for (std::size_t i = 0; i < n; ++i) {
        std::int64_t x = i < pa->size() ? (*pa)[i] : 0;
        std::int64_t y = i < pb->size() ? (*pb)[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

bool isNewer(std::string_view a, std::string_view than) { return compare(a, than) == 1; }

}  // namespace corvane::Version
