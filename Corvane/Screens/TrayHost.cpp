// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/TrayHost.hpp"

#include <cstdlib>
#include <memory>
#include <string>

#include <systemd/sd-bus.h>
#include <xcb/xcb.h>

namespace corvane {
namespace {

bool statusNotifierHost() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return false;
    // A hung bus must not hold up the start.
    sd_bus_set_method_call_timeout(bus, 2'000'000);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int registered = 0;
    const int r = sd_bus_get_property_trivial(bus, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                              "org.kde.StatusNotifierWatcher", "IsStatusNotifierHostRegistered",
                                              &error, 'b', &registered);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return r >= 0 && registered;
}

bool xembedTrayManager() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return false;
    int screen = 0;
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> x(xcb_connect(nullptr, &screen), &xcb_disconnect);
    if (xcb_connection_has_error(x.get())) return false;
    const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(x.get(), xcb_intern_atom(x.get(), 1, selection.size(), selection.c_str()), nullptr),
        &std::free);
    if (!atom || atom->atom == XCB_ATOM_NONE) return false;
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(x.get(), xcb_get_selection_owner(x.get(), atom->atom), nullptr), &std::free);
    return owner && owner->owner != XCB_NONE;
}

}  // namespace

TrayHost findTrayHost() {
    // Desktops with both (KDE's xembedsniproxy, XFCE) draw StatusNotifierItems natively.
    if (statusNotifierHost()) return TrayHost::statusNotifier;
    if (xembedTrayManager()) return TrayHost::xembed;
    return TrayHost::none;
}

}  // namespace corvane
