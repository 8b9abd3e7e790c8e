#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A desktop notification server (org.freedesktop.Notifications) for a test's
private session bus: prints "ready" once it owns the name, then one JSON line
per Notify call with what a desktop would show."""
import json

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

INTERFACE = "org.freedesktop.Notifications"


class Server(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.count = 0

    @dbus.service.method(INTERFACE, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout):
        self.count += 1
        print(json.dumps({"app_name": str(app_name), "app_icon": str(app_icon), "summary": str(summary),
                          "body": str(body), "desktop_entry": str(hints.get("desktop-entry", ""))}), flush=True)
        return dbus.UInt32(self.count)

    @dbus.service.method(INTERFACE, out_signature="as")
    def GetCapabilities(self):
        return ["body"]

    @dbus.service.method(INTERFACE, out_signature="ssss")
    def GetServerInformation(self):
        return "corvane-test", "corvane", "1", "1.2"


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    server = Server(bus)  # noqa: F841 (kept while the loop runs)
    name = dbus.service.BusName(INTERFACE, bus, do_not_queue=True)  # noqa: F841
    print("ready", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
