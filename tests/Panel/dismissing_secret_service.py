#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A Secret Service whose every prompt the user dismisses, for a test's private
session bus: the keyring's side of a sign-in a person cancelled. The desktop's
own prompter needs a person; this stands in for it and for the keyring.

usage: dismissing_secret_service.py MODE
  nokeyring  no default keyring exists: creating one asks, and is cancelled
  locked     the default keyring is locked: unlocking it asks, and is cancelled
Prints "ready" once it owns org.freedesktop.secrets, and "prompt" for each prompt shown.
"""
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

SERVICE = "org.freedesktop.Secret.Service"
COLLECTION = "org.freedesktop.Secret.Collection"
PROMPT = "org.freedesktop.Secret.Prompt"
ROOT = "/org/freedesktop/secrets"
LOGIN = ROOT + "/collection/login"


class IsLocked(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.Secret.Error.IsLocked"


class Prompt(dbus.service.Object):
    count = 0

    def __init__(self, bus, empty):
        self.empty = empty  # the result a dismissed prompt carries: of the type its operation returns
        Prompt.count += 1
        self.path = ROOT + "/prompt/p%d" % Prompt.count
        super().__init__(bus, self.path)

    @dbus.service.method(PROMPT, in_signature="s")
    def Prompt(self, window_id):
        print("prompt", flush=True)
        GLib.idle_add(lambda: self.Completed(True, self.empty) and False)

    @dbus.service.method(PROMPT)
    def Dismiss(self):
        self.Completed(True, self.empty)

    @dbus.service.signal(PROMPT, signature="bv")
    def Completed(self, dismissed, result):
        pass


class Collection(dbus.service.Object):
    def __init__(self, bus, path):
        super().__init__(bus, path)

    @dbus.service.method(COLLECTION, in_signature="a{sv}(oayays)b", out_signature="oo")
    def CreateItem(self, properties, secret, replace):
        raise IsLocked("Cannot create an item in a locked collection")

    @dbus.service.method(COLLECTION, in_signature="a{ss}", out_signature="ao")
    def SearchItems(self, attributes):
        return dbus.Array([], signature="o")

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"Items": dbus.Array([], signature="o"), "Label": "Login", "Locked": True,
                "Created": dbus.UInt64(0), "Modified": dbus.UInt64(0)}


class Service(dbus.service.Object):
    def __init__(self, bus, mode):
        super().__init__(bus, ROOT)
        self.bus = bus
        self.mode = mode
        self.sessions = 0
        self.keep = []
        if mode == "locked":
            # The keyring under its own path and under the "default" alias, as GNOME Keyring serves it.
            self.keep += [Collection(bus, LOGIN), Collection(bus, ROOT + "/aliases/default")]

    def prompt(self, empty):
        prompt = Prompt(self.bus, empty)
        self.keep.append(prompt)
        return dbus.ObjectPath(prompt.path)

    @dbus.service.method(SERVICE, in_signature="sv", out_signature="vo")
    def OpenSession(self, algorithm, parameters):
        if algorithm != "plain":
            raise dbus.DBusException("only plain sessions", name="org.freedesktop.DBus.Error.NotSupported")
        self.sessions += 1
        return dbus.String("", variant_level=1), dbus.ObjectPath(ROOT + "/session/s%d" % self.sessions)

    @dbus.service.method(SERVICE, in_signature="a{sv}s", out_signature="oo")
    def CreateCollection(self, properties, alias):
        return dbus.ObjectPath("/"), self.prompt(dbus.ObjectPath("/", variant_level=1))

    @dbus.service.method(SERVICE, in_signature="a{ss}", out_signature="aoao")
    def SearchItems(self, attributes):
        return dbus.Array([], signature="o"), dbus.Array([], signature="o")

    @dbus.service.method(SERVICE, in_signature="ao", out_signature="aoo")
    def Unlock(self, objects):
        return dbus.Array([], signature="o"), self.prompt(dbus.Array([], signature="o", variant_level=1))

    @dbus.service.method(SERVICE, in_signature="s", out_signature="o")
    def ReadAlias(self, name):
        return dbus.ObjectPath(LOGIN if self.mode == "locked" and name == "default" else "/")

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        collections = [dbus.ObjectPath(LOGIN)] if self.mode == "locked" else []
        return {"Collections": dbus.Array(collections, signature="o")}


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else "nokeyring"
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    service = Service(bus, mode)  # noqa: F841 (kept while the loop runs)
    name = dbus.service.BusName("org.freedesktop.secrets", bus, do_not_queue=True)  # noqa: F841
    print("ready", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
