// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "CorvaneCore/Support/JSONValue.hpp"

namespace corvane {

// Masks the secrets of an engine configuration before it goes into a report.
namespace Redact {

inline constexpr std::string_view marker = "<redacted>";

// Compared exactly: a differently cased key is not a secret of the engine's format.
inline constexpr std::array<std::string_view, 15> redactedKeys = {
    "password", "uuid",   "obfs_password", "obfs-password",
    "private_key", "privateKey", "shortId", "short_id",
    "auth", "auth_str", "auth-str", "secret",
    "external_controller_secret", "external-controller-secret", "users",
};

// Every member whose key is a secret, at any depth, becomes the marker string,
// whatever its value was (arrays and objects included).
JSONValue secrets(const JSONValue& value);
// The redacted configuration as compact JSON, or nothing when `json` is not JSON.
std::optional<std::string> configSnapshot(std::string_view json);

}  // namespace Redact

}  // namespace corvane
