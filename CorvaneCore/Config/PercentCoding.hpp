// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

// Byte-level percent decoding for share URLs; the general URL parser is too
// forgiving and too strict in the wrong places for hand-written share links.
namespace PercentCoding {

// Undoes "%XX" escapes byte by byte; a "%" without two hex digits stays as it is.
// Invalid UTF-8 in the result is replaced with U+FFFD. "+" is not special.
std::string decode(std::string_view text);

// Splits "a=1&b=2" into ordered pairs, "+" meaning a space, both sides decoded.
// Empty pieces are dropped; a piece without "=" has an empty value.
std::vector<std::pair<std::string, std::string>> formURLPairs(std::string_view text);

}  // namespace PercentCoding

}  // namespace corvane
