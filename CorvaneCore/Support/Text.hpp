// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string_view>

namespace corvane {

// `s` without leading and trailing ASCII whitespace (space, tab, line feed,
// carriage return, vertical tab, form feed).
inline std::string_view trimWhitespace(std::string_view s) {
    constexpr std::string_view space = " \t\n\r\v\f";
    const auto first = s.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

}  // namespace corvane
