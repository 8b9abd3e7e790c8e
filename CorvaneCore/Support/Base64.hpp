// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Standard base64 with padding.
std::string base64Encode(std::string_view bytes);
// Accepts standard base64 with or without padding; nothing for anything else.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace corvane
