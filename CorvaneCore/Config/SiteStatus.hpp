// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// What the user interface shows for one private site.
struct SiteStatus {
    enum class Mode { tunnel, onSite, off };

    std::int64_t siteId = 0;
    std::string name;
    Mode mode = Mode::tunnel;
    std::optional<std::string> endpoint;  // "host:port", only when tunnelled
    bool viaLocal = false;

    std::int64_t id() const { return siteId; }
    bool operator==(const SiteStatus&) const = default;

    // "tunnel", "on_site", "off".
    static std::string_view rawValue(Mode mode);
    static std::optional<Mode> modeFromRawValue(std::string_view rawValue);
};

}  // namespace corvane
