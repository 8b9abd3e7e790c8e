// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

// Cuts a share URL into its parts with plain character searches.
namespace Splitter {

struct Parts {
    std::string scheme;       // lower-cased
    std::string rawUserinfo;  // not decoded; empty without "@"
    std::string host;
    std::optional<std::uint16_t> port;
    std::vector<std::pair<std::string, std::string>> queryPairs;  // decoded
    std::optional<std::string> fragment;                          // not decoded

    bool operator==(const Parts&) const = default;
};

struct HostPort {
    std::string host;
    std::optional<std::uint16_t> port;

    bool operator==(const HostPort&) const = default;
};

// Throws ShareUrlError.
Parts split(std::string_view text);
HostPort splitHostPort(std::string_view text);
// Decimal 0...65535 with an optional sign ("-0" is 0); throws malformed "bad port: ...".
std::uint16_t port(std::string_view text);

}  // namespace Splitter

}  // namespace corvane
