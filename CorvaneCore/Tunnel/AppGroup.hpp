// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "CorvaneCore/Tunnel/AppGroupError.hpp"

namespace corvane::AppGroup {

inline constexpr std::string_view baseIdentifier = "com.corvane.shared";
// Names the group's container directory, shared by the app and the tunnel service.
inline constexpr std::string_view containerEnvironmentVariable = "CORVANE_APP_GROUP_CONTAINER";

// The build's team prefix (CORVANE_TEAM_PREFIX, empty by default) followed by
// "com.corvane.shared". The prefix carries its own trailing ".".
std::string identifier();
std::string identifier(std::string_view teamPrefix);

// The container directory: an absolute path in $CORVANE_APP_GROUP_CONTAINER;
// nothing when that is unset, empty or relative.
std::optional<std::filesystem::path> containerURL();

// `name` (which may contain "/" for nested directories) inside the container,
// created with its parents when missing. Throws AppGroupError without a
// container, std::invalid_argument for a name that would leave the container
// (a ".." component), and std::filesystem::filesystem_error when it cannot be made.
std::filesystem::path directory(std::string_view name);

}  // namespace corvane::AppGroup
