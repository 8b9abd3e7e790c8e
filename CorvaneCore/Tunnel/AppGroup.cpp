// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Tunnel/AppGroup.hpp"

#include <cstdlib>
#include <stdexcept>

namespace corvane::AppGroup {

std::string identifier(std::string_view teamPrefix) {
    std::string id(teamPrefix);
    id += baseIdentifier;
    return id;
}

std::string identifier() { return identifier(CORVANE_TEAM_PREFIX); }

std::optional<std::filesystem::path> containerURL() {
    const std::string variable(containerEnvironmentVariable);
    const char* value = std::getenv(variable.c_str());
    if (!value || *value != '/') return std::nullopt;
    return std::filesystem::path(value);
}

std::filesystem::path directory(std::string_view name) {
    auto container = containerURL();
    if (!container) throw AppGroupError::containerUnavailable(identifier());
    // Appended as components: a leading "/" must not replace the container path.
    std::filesystem::path url = *container;
    for (const auto& part : std::filesystem::path(name).relative_path()) {
        if (part == "..") throw std::invalid_argument("app group directory names may not contain \"..\": " + std::string(name));
        if (!part.empty()) url /= part;
    }
    std::filesystem::create_directories(url);
    return url;
}

}  // namespace corvane::AppGroup
