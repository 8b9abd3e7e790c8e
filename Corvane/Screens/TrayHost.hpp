// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace corvane {

// How the desktop shows tray icons, asked before the app object exists: the
// XEmbed way needs a QApplication (its icon is a widget), the others do not.
enum class TrayHost {
    statusNotifier,  // a StatusNotifierWatcher with a host on the session bus
    xembed,          // only an X11 system tray manager
    none,
};

TrayHost findTrayHost();

}  // namespace corvane
