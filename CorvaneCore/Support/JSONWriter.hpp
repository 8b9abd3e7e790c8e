// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include <boost/json/fwd.hpp>

namespace corvane {

// Writes JSON text: compact, or with `indent` spaces per level. Doubles use the
// shortest text that reads back the same, and whole doubles below 2^53 are
// written as integers ("1080", never "1080.0" or "1.08E3"). With `sortKeys`
// every object's members are written in byte order of their keys.
void writeJSON(const boost::json::value& value, std::string& out, int indent = 0, bool sortKeys = false);
std::string toJSONText(const boost::json::value& value, int indent = 0, bool sortKeys = false);

// Appends a JSON string literal with the required escapes; invalid UTF-8 in
// `text` becomes U+FFFD, so the output is always valid JSON text.
void appendJSONString(std::string& out, std::string_view text);
// Appends a number as described above.
void appendJSONNumber(std::string& out, double number);

}  // namespace corvane
