// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/WaylandSeat.hpp"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <wayland-client.h>

namespace corvane {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Qt's own choice of platform plugin, as far as it concerns Wayland: an
// explicit list (-platform, QT_QPA_PLATFORM) whose first entry names it, else a
// Wayland session that is not GNOME's (where Qt 6.4 keeps to X11 on its own).
bool qtChoosesWayland(const std::string& platformArgument) {
    std::string platform = platformArgument.empty() ? environment("QT_QPA_PLATFORM") : platformArgument;
    if (!platform.empty()) return std::string_view(platform).substr(0, platform.find(';')).starts_with("wayland");
    if (environment("XDG_SESSION_TYPE") != "wayland") return false;
    for (const char* name : {"XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP"}) {
        std::string desktop = environment(name);
        for (char& c : desktop) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (desktop.find("gnome") != std::string::npos) return false;
    }
    return true;
}

void onGlobal(void* data, wl_registry*, std::uint32_t, const char* interface, std::uint32_t) {
    if (std::strcmp(interface, wl_seat_interface.name) == 0) *static_cast<bool*>(data) = true;
}
void onGlobalRemoved(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener registryListener = {onGlobal, onGlobalRemoved};

}  // namespace

WaylandSeat probeWaylandSeat(const std::string& platformArgument) {
    if (!qtChoosesWayland(platformArgument)) return WaylandSeat::notUsed;
    // A socket handed over by the compositor can be connected to only once: it is Qt's.
    if (!environment("WAYLAND_SOCKET").empty()) return WaylandSeat::notUsed;
    wl_display* display = wl_display_connect(nullptr);
    if (!display) return WaylandSeat::unreachable;
    bool seat = false;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &seat);
    // One round trip delivers every global the compositor has at this moment.
    const bool answered = wl_display_roundtrip(display) >= 0;
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    if (!answered) return WaylandSeat::unreachable;
    return seat ? WaylandSeat::present : WaylandSeat::absent;
}

}  // namespace corvane
