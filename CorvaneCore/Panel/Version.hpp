// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::Version {

// The version without build metadata ("1.4.0+build.7" gives "1.4.0").
std::string release(std::string_view text);
// The numeric components ("v1.2.3-beta" gives 1, 2, 3); nothing when the text is not a version.
std::optional<std::vector<std::int64_t>> parse(std::string_view text);
bool isVersion(std::string_view text);
// -1, 0 or 1; a text that is not a version sorts before every version.
int compare(std::string_view a, std::string_view b);
bool isNewer(std::string_view a, std::string_view than);

}  // namespace corvane::Version
