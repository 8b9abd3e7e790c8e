#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A screen reader's first look at the real `corvane` window.

As on a desktop where the user keeps a screen reader on: the session's
accessibility status says so (org.a11y.Status ScreenReaderEnabled) before the
app starts, and nothing else forces Qt's accessibility on. The window opens on
the sign-in screen of a new user; a sign-in (with corvanectl, through the same
agent) brings a fleet several screens long. With the page still at its top,
every server card must be in the accessibility tree over AT-SPI.

usage: window_screenreader.py --corvane BIN --ctl BIN --sim BIN --world JSON
Exit 77 (skipped) with the reason when Xvfb, D-Bus or AT-SPI are missing.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from window_endtoend import (SKIP, SYSTEM_PYTHON, Tree, World, a11y_bus_address, atspi_importable,  # noqa: E402
                             free_port, log, skip, start_xvfb, wait_until)

SERVERS = 24  # several screens of cards in a 700-pixel window


def parse_args():
    p = argparse.ArgumentParser()
    for name in ("corvane", "ctl", "sim", "world"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    return p.parse_args()


def outer(args):
    for tool in ("Xvfb", "dbus-run-session", "dbus-send"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed (scripts/setup.sh installs it)")
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        skip("at-spi2-core is not installed (scripts/setup.sh installs it)")
    python = sys.executable if atspi_importable(sys.executable) else SYSTEM_PYTHON
    if not os.path.exists(python) or not atspi_importable(python):
        skip("python3-gi with gir1.2-atspi-2.0 is not installed (scripts/setup.sh installs it)")
    env = dict(os.environ)
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    for key in ("XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR",
                "QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "QT_ACCESSIBILITY"):
        env.pop(key, None)
    home = tempfile.mkdtemp(prefix="corvane-reader-home-")
    env["HOME"] = home
    command = ["dbus-run-session", "--", python, os.path.abspath(__file__), "--inner"]
    for name in ("corvane", "ctl", "sim", "world"):
        command += ["--" + name, os.path.abspath(getattr(args, name))]
    xvfb = World()
    try:
        env["DISPLAY"] = start_xvfb(xvfb)
        status = subprocess.run(command, env=env).returncode
    finally:
        xvfb.stop()
        shutil.rmtree(home, ignore_errors=True)
    sys.exit(status)


def inner(args):
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi

    world = World()
    try:
        run(args, world, Atspi)
    except AssertionError:
        print("The accessibility tree:\n" + Tree(Atspi).dump(), flush=True)
        for name in ("corvane", "sim"):
            print(f"The end of the output of {name}:\n" + world.log_tail(name, 15), flush=True)
        raise
    finally:
        world.stop()


def run(args, world, Atspi):
    base = world.dir
    env = dict(os.environ)
    for key, sub in (("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"), ("XDG_STATE_HOME", "state"),
                     ("XDG_RUNTIME_DIR", "runtime"), ("CORVANE_APP_GROUP_CONTAINER", "state/app-group")):
        env[key] = os.path.join(base, sub)
        os.makedirs(env[key], mode=0o700, exist_ok=True)
    sim_dir = os.path.join(base, "sim")
    env["CORVANE_CA_FILE"] = os.path.join(sim_dir, "tls", "ca.pem")
    env["LC_ALL"] = "C.UTF-8"

    with open(args.world) as f:
        fleet = json.load(f)
    fleet["vpses"] = [{"vps_id": i, "name": f"Server {i}", "address": f"127.0.1.{i}"} for i in range(1, SERVERS + 1)]
    fleet["exits"], fleet["sites"] = [], []
    world_file = os.path.join(base, "world.json")
    with open(world_file, "w") as f:
        json.dump(fleet, f)

    panel_port = free_port()
    world.start("sim", [args.sim, "--listen", f"127.0.0.1:{panel_port}", "--state-dir", sim_dir,
                        "--world", world_file], env)
    wait_until("the panel sim", lambda: "ready" in world.log_tail("sim", 200).split(), 120, world, "sim")
    os.makedirs(os.path.join(env["XDG_CONFIG_HOME"], "corvane"), exist_ok=True)
    shutil.copy(os.path.join(sim_dir, "deployment.json"), os.path.join(env["XDG_CONFIG_HOME"], "corvane"))
    # A desktop's keyring, unlocked at login: the sign-in is kept there without a prompt.
    keyring = shutil.which("gnome-keyring-daemon")
    if keyring:
        password = os.path.join(base, "keyring-password")
        with open(password, "w") as f:
            f.write("corvane-test")
        world.start("keyring", ["/bin/sh", "-c", f"exec '{keyring}' --foreground --unlock --components=secrets"
                                                 f" < '{password}'"], env)
        time.sleep(0.5)
    # The user's screen reader setting, as the desktop keeps it, before the app starts.
    a11y_bus_address()
    subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                    "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:ScreenReaderEnabled",
                    "variant:boolean:true"], check=True, capture_output=True, timeout=30)
    world.start("corvane", [args.corvane], dict(env, QT_QPA_PLATFORM="xcb"))

    tree = Tree(Atspi)
    # A new user: the window opens on the sign-in screen, and the main screen is made
    # once the sign-in (here from the command line, through the same agent) is done.
    wait_until("the sign-in screen", lambda: tree.find("Sign in", {"push button"}), 60, world, "corvane")
    login = subprocess.run([args.ctl, "login", "--panel", f"https://127.0.0.1:{panel_port}/",
                            "--email", "demo@corvane.test", "--password-stdin"], env=env, input="demo-password\n",
                           capture_output=True, text=True, timeout=120)
    assert login.returncode == 0, "sign-in failed: " + login.stdout + login.stderr
    cards = lambda: [n for n in tree.walk(tree.app()) if n is not None and _card(n)] if tree.app() else []
    # The reader reads the page as it appears: the cards are there as soon as the fleet is.
    def first_read():
        if not tree.find("Connect", {"push button"}, anywhere=True):
            return None
        found = cards()
        return found or None
    found = wait_until("the main screen with its fleet", first_read, 60, world, "corvane")
    assert len(found) == SERVERS, f"{len(found)} of {SERVERS} server cards at the first read"
    names = sorted(n.get_name() for n in found)
    assert names == sorted(f"Server {i}" for i in range(1, SERVERS + 1)), names
    # Still at the top of the page: the connect button is on screen (Qt reports what
    # is scrolled out of view as not visible).
    assert tree.find("Connect", {"push button"}) is not None, "the page was scrolled"
    log(f"{len(found)} server cards reachable without scrolling")


def _card(node):
    try:
        return node.get_role_name() == "push button" and (node.get_name() or "").startswith("Server ") \
            and node.get_description() is not None and "pin" in (node.get_description() or "").lower()
    except Exception:
        return False


def main():
    args = parse_args()
    if args.inner:
        inner(args)
    else:
        outer(args)


if __name__ == "__main__":
    main()
