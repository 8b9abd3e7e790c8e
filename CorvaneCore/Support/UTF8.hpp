// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

// Bytes that reach us from the system (locale and zone variables, interface
// names, engine output, stored credentials) are not always UTF-8.

// The length of the well-formed UTF-8 sequence at `at` (1 to 4), or, negated,
// the length of the maximal invalid subpart there, which one U+FFFD replaces.
// `at` must be inside `bytes`.
int utf8SequenceAt(std::string_view bytes, std::size_t at) noexcept;

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or
// values past U+10FFFF).
bool isValidUTF8(std::string_view bytes) noexcept;

// Appends `bytes` with every invalid sequence replaced by U+FFFD, one per
// maximal invalid subpart (as Unicode recommends, and as browsers decode).
void appendRepairedUTF8(std::string& out, std::string_view bytes);
std::string repairUTF8(std::string_view bytes);

inline constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

}  // namespace corvane
