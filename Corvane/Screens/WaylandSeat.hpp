// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace corvane {

// Qt 6.4's Wayland client crashes on the first focused text field when the
// compositor offers no wl_seat (headless and kiosk compositors). The window
// looks at the compositor's globals before Qt starts and picks X11 instead.
enum class WaylandSeat {
    notUsed,      // Qt will not choose Wayland here, or the display cannot be probed
    present,      // the compositor offers a seat
    absent,       // the compositor answers but offers no seat
    unreachable,  // Wayland is asked for but no compositor answers
};

// Whether Qt would start on Wayland (QT_QPA_PLATFORM, else the session's type
// and WAYLAND_DISPLAY) and, if so, what the compositor offers. `platformArgument`
// is the value of a -platform option, empty without one.
WaylandSeat probeWaylandSeat(const std::string& platformArgument);

}  // namespace corvane
