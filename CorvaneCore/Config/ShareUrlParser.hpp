// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "CorvaneCore/Config/ShareUrl.hpp"

namespace corvane {

namespace ShareUrlParser {

// hysteria2:// (or hy2://) and vless:// with Reality; throws ShareUrlError
// naming the first defect found.
ShareUrl parse(std::string_view text);

// The "cert" parameter: base64 or base64url DER of 128 to 8192 bytes starting
// with an ASN.1 SEQUENCE; nothing for anything else.
std::optional<std::vector<std::uint8_t>> parseCertParam(std::string_view value);

}  // namespace ShareUrlParser

}  // namespace corvane
