// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/SiteStatus.hpp"

namespace corvane {

std::string_view SiteStatus::rawValue(Mode mode) {
    switch (mode) {
    case Mode::tunnel: return "tunnel";
    case Mode::onSite: return "on_site";
    case Mode::off: return "off";
    }
    return "tunnel";
}

std::optional<SiteStatus::Mode> SiteStatus::modeFromRawValue(std::string_view rawValue) {
    if (rawValue == "tunnel") return Mode::tunnel;
    if (rawValue == "on_site") return Mode::onSite;
    if (rawValue == "off") return Mode::off;
    return std::nullopt;
}

}  // namespace corvane
