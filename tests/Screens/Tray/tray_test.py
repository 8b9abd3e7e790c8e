#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The desktop app as a user meets it, on a private X display (Xvfb) and a
private session bus (dbus-run-session), with private XDG folders:

  notray    without a tray host the app keeps its window and says why, and
            loads no QtWidgets; a second start raises the first and ends;
            after a crash (SIGKILL) the next start takes over the stale lock
            and socket; a panel that starts later gets the item.
  tray      with a StatusNotifierWatcher of our own: the item's status,
            tooltip and menu over D-Bus, and its entries clicked with the
            window closed: "Connect" connects to the demo panel's fleet (the
            real tunnel service and engine, loopback only) and traffic flows;
            the user's agent is killed while the window is hidden and the app
            starts another, which takes the session over; "Open Corvane" shows
            the window, "Disconnect", "Quit" (the agent runs on); then a
            second start shows the window of an app started in the tray.
            The panel hears of each change by the item's and menu's signals.
  xembed    with only an XEmbed tray manager on the display: the app loads
            its XEmbed tray module and asks the manager to dock its icon.
  noseat    under a Wayland compositor without a seat (weston's headless
            backend), where Qt's Wayland client would crash: without an X
            display the app ends with a clear message, with one it opens its
            window on X11.

usage: tray_test.py CASE --corvane P --corvanectl P --tunnel P --sim P --world F --xembed-manager P [--lsan F]
Exits 77 (skipped) when the machine lacks Xvfb, dbus-run-session, dbus-monitor, xwininfo or python3-dbus.
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))


def skip(reason):
    print("SKIP: " + reason, flush=True)
    sys.exit(SKIP)


def fail(message):
    raise AssertionError(message)


def wait_until(what, check, seconds=30, interval=0.2, proc=None):
    deadline = time.monotonic() + seconds
    last = None
    while time.monotonic() < deadline:
        last = check()
        if last:
            return last
        if proc is not None and proc.poll() is not None:
            fail("the program ended (status %d) while waiting for %s" % (proc.returncode, what))
        time.sleep(interval)
    fail("timed out waiting for " + what + (": last seen %r" % (last,) if last is not None else ""))


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def agent_pid(runtime):
    """The running agent's pid, or None."""
    import json
    try:
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(5)
            s.connect(os.path.join(runtime, "corvane", "agent.sock"))
            s.sendall(b'{"id":1,"op":"hello"}\n')
            return json.loads(s.recv(4096))["result"]["pid"]
    except (OSError, ValueError, KeyError):
        return None


def stop_agent(runtime):
    """Ends the agent the app started for this test: it outlives the app on purpose."""
    try:
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(5)
            s.connect(os.path.join(runtime, "corvane", "agent.sock"))
            s.sendall(b'{"id":1,"op":"stopAgent"}\n')
            s.recv(4096)
    except OSError:
        pass


class World:
    """Xvfb, private folders and the processes a case starts, stopped at the end."""

    def __init__(self, args):
        self.args = args
        self.dir = tempfile.mkdtemp(prefix="corvane-tray-")
        self.procs = []
        self.env = dict(os.environ)
        for name in ("config", "data", "state", "cache"):
            os.makedirs(os.path.join(self.dir, name))
        runtime = os.path.join(self.dir, "runtime")
        os.makedirs(runtime, mode=0o700)
        self.env.update({
            "XDG_CONFIG_HOME": os.path.join(self.dir, "config"),
            "XDG_DATA_HOME": os.path.join(self.dir, "data"),
            "XDG_STATE_HOME": os.path.join(self.dir, "state"),
            "XDG_CACHE_HOME": os.path.join(self.dir, "cache"),
            "XDG_RUNTIME_DIR": runtime,
            "CORVANE_APP_GROUP_CONTAINER": os.path.join(self.dir, "state", "app-group"),
            "QT_QPA_PLATFORM": "xcb",
            "QT_QUICK_BACKEND": "software",
            "LC_ALL": "C.UTF-8",
        })
        self.env.pop("WAYLAND_DISPLAY", None)
        if args.lsan:
            self.env["LSAN_OPTIONS"] = "suppressions=" + args.lsan
        self.start_display()

    def start_display(self):
        read, write = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"],
                                pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        self.procs.append(xvfb)
        number = b""
        with os.fdopen(read, "rb") as pipe:
            number = pipe.readline().strip()
        if not number:
            fail("Xvfb did not start")
        self.env["DISPLAY"] = ":" + number.decode()

    def start(self, argv, log, extra_env=None):
        env = dict(self.env)
        env.update(extra_env or {})
        out = open(os.path.join(self.dir, log), "wb")
        proc = subprocess.Popen(argv, env=env, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        proc.log = os.path.join(self.dir, log)
        self.procs.append(proc)
        return proc

    def log(self, proc):
        with open(proc.log, errors="replace") as f:
            return f.read()

    def stop(self, proc, sig=signal.SIGTERM):
        if proc.poll() is None:
            proc.send_signal(sig)
            try:
                proc.wait(15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def close(self, keep=False):
        # Asked first; one that does not end (slow under a sanitizer, or stuck) is killed,
        # since a kept folder would keep its socket and so the agent alive.
        pid = agent_pid(self.env["XDG_RUNTIME_DIR"])
        stop_agent(self.env["XDG_RUNTIME_DIR"])
        if pid:
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline and os.path.exists(f"/proc/{pid}"):
                time.sleep(0.1)
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for proc in reversed(self.procs):
            self.stop(proc)
        if keep:
            print("the failed case's folder: " + self.dir, file=sys.stderr)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    # The app's window as the X server sees it.
    def window_viewable(self):
        # Qt names some hidden helper windows after the app too: look at each.
        tree = subprocess.run(["xwininfo", "-root", "-children"], env=self.env, capture_output=True, text=True)
        for line in tree.stdout.splitlines():
            parts = line.split()
            if len(parts) > 1 and parts[0].startswith("0x") and '"Corvane"' in line:
                info = subprocess.run(["xwininfo", "-id", parts[0]], env=self.env, capture_output=True, text=True)
                if "IsViewable" in info.stdout:
                    return True
        return False

    def mapped(self, proc, name):
        """Whether the running process has a file whose name contains `name` mapped."""
        with open("/proc/%d/maps" % proc.pid) as maps:
            return any(name in line for line in maps)

    def corvane(self, *extra, log="corvane.log"):
        return self.start([self.args.corvane, *extra], log)


def case_notray(world):
    app = world.corvane()
    wait_until("the no-tray notice", lambda: "no system tray" in world.log(app), proc=app)
    assert "AppIndicator" in world.log(app), world.log(app)
    wait_until("the window", world.window_viewable)
    assert not world.mapped(app, "libQt6Widgets"), "QtWidgets loaded without an XEmbed tray"

    second = subprocess.run([world.args.corvane], env=world.env, capture_output=True, text=True, timeout=60)
    if second.returncode != 0 or "already running" not in second.stderr:
        fail("a second start should raise the first and end: %d %r" % (second.returncode, second.stderr))
    assert app.poll() is None, "the first app ended"

    # A crash leaves the lock and the socket behind: the next start takes them over.
    world.stop(app, signal.SIGKILL)
    assert os.path.exists(os.path.join(world.env["XDG_RUNTIME_DIR"], "corvane", "app.sock"))
    again = world.corvane(log="corvane-again.log")
    wait_until("the restarted app", lambda: "no system tray" in world.log(again))
    wait_until("its window", world.window_viewable)
    assert "already running" not in world.log(again), world.log(again)

    # A panel that starts after the app still gets its item.
    watcher = world.start([sys.executable, os.path.join(HERE, "sni_watcher.py")], "watcher.log")
    wait_until("the late item's registration", lambda: "item " in world.log(watcher), proc=again)
    world.stop(again)


class Tray:
    """The app's StatusNotifierItem and its dbusmenu, read and clicked as a panel does."""

    def __init__(self, bus, service):
        import dbus
        self.dbus = dbus
        name, _, path = service.partition("/")
        self.item = bus.get_object(name, "/" + path if path else "/StatusNotifierItem")
        self.props = dbus.Interface(self.item, "org.freedesktop.DBus.Properties")
        menu_path = self.prop("Menu")
        self.menu = dbus.Interface(bus.get_object(name, menu_path), "com.canonical.dbusmenu")

    def prop(self, name):
        return self.props.Get("org.kde.StatusNotifierItem", name)

    def tooltip(self):
        # (icon name, icon pixmaps, title, text)
        tip = self.prop("ToolTip")
        return (str(tip[2]) + "\n" + str(tip[3])).strip()

    def entries(self):
        """The menu's entries in order: (id, label, enabled, visible, shortcut)."""
        _, layout = self.menu.GetLayout(0, -1, self.dbus.Array([], signature="s"))
        out = []
        for child in layout[2]:
            ident, props = int(child[0]), child[1]
            if props.get("type") == "separator":
                out.append((ident, "-", False, bool(props.get("visible", True)), None))
                continue
            label = str(props.get("label", "")).replace("_", "")
            shortcut = [[str(k) for k in keys] for keys in props.get("shortcut", [])] or None
            out.append((ident, label, bool(props.get("enabled", True)), bool(props.get("visible", True)), shortcut))
        return out

    def shown(self):
        return [(label, enabled) for _, label, enabled, visible, _ in self.entries() if visible]

    def click(self, label):
        for ident, text, enabled, visible, _ in self.entries():
            if text == label:
                assert enabled and visible, "%s is not clickable: %r" % (label, self.entries())
                self.menu.Event(ident, "clicked", self.dbus.Int32(0), self.dbus.UInt32(int(time.time())))
                return
        fail("no entry %r in %r" % (label, self.entries()))


def start_demo(world):
    """The demo panel with its fleet, the tunnel service in user mode, and a signed-in user."""
    args = world.args
    sim_dir = os.path.join(world.dir, "sim")
    panel_port = free_port()
    sim = world.start([args.sim, "--listen", "127.0.0.1:%d" % panel_port, "--state-dir", sim_dir,
                       "--world", args.world], "panel-sim.log")
    wait_until("the panel sim", lambda: "\nready\n" in "\n" + world.log(sim), seconds=120, proc=sim)
    web = [line.split()[2] for line in world.log(sim).splitlines() if line.strip().startswith("web target")]
    world.env["CORVANE_CA_FILE"] = os.path.join(sim_dir, "tls", "ca.pem")
    os.makedirs(os.path.join(world.env["XDG_CONFIG_HOME"], "corvane"), exist_ok=True)
    shutil.copy(os.path.join(sim_dir, "deployment.json"),
                os.path.join(world.env["XDG_CONFIG_HOME"], "corvane", "deployment.json"))
    proxy_port = free_port()
    tunnel = world.start([args.tunnel, "--user", "--proxy-port", str(proxy_port)], "tunnel.log",
                         {"SSL_CERT_FILE": os.path.join(sim_dir, "ca-bundle.pem")})
    socket_path = os.path.join(world.env["XDG_RUNTIME_DIR"], "corvane", "tunnel.sock")
    wait_until("the tunnel service", lambda: os.path.exists(socket_path), proc=tunnel)
    login = subprocess.run([args.corvanectl, "login", "--panel", "https://127.0.0.1:%d/" % panel_port,
                            "--email", "demo@corvane.test", "--password-stdin"], input="demo-password\n",
                           env=world.env, capture_output=True, text=True, timeout=60)
    if login.returncode != 0:
        fail("login failed: " + login.stdout + login.stderr)
    return proxy_port, web[0] if web else None


def case_tray(world):
    import dbus
    watcher = world.start([sys.executable, os.path.join(HERE, "sni_watcher.py")], "watcher.log")
    wait_until("the watcher", lambda: "ready" in world.log(watcher))
    # What a panel hears: it redraws on these signals, it does not poll.
    monitor = world.start(["dbus-monitor", "--session", "type='signal',interface='com.canonical.dbusmenu'",
                           "type='signal',interface='org.kde.StatusNotifierItem'"], "signals.log")
    proxy_port, web = start_demo(world)

    # Started as at login: the window stays closed while the tray item lives.
    app = world.corvane("--background")
    service = wait_until("the item's registration",
                         lambda: next((l.split()[1] for l in world.log(watcher).splitlines()
                                       if l.startswith("item ")), None), proc=app)
    tray = Tray(dbus.SessionBus(), service)
    assert str(tray.prop("Status")) in ("Active", "NeedsAttention"), tray.prop("Status")
    assert not world.window_viewable(), "the window shows after --background"

    # The menu in its order; route and rates are hidden until connected.
    ready = [("Corvane: Disconnected", False), ("-", False), ("Connect", True), ("-", False),
             ("Open Corvane", True), ("Quit", True)]
    wait_until("Connect to be enabled (service checked, signed in)", lambda: tray.shown() == ready or None)
    quit_entry = [e for e in tray.entries() if e[1] == "Quit"][0]
    assert quit_entry[4] == [["Control", "Q"]], quit_entry
    assert "Corvane: Disconnected" in tray.tooltip(), tray.tooltip()
    disconnected_icon = bytes(bytearray(tray.prop("IconPixmap")[0][2]))

    tray.click("Connect")
    wait_until("connected", lambda: tray.shown()[0] == ("Corvane: Connected", False) or None, seconds=60)
    shown = tray.shown()
    assert shown[1][0].startswith("via ") and shown[2][0].startswith("\u2193 "), shown
    assert [label for label, _ in shown[3:]] == ["-", "Disconnect", "-", "Open Corvane", "Quit"], shown
    wait_until("the tooltip", lambda: tray.tooltip().startswith("Corvane: Connected\nvia ") or None)
    assert bytes(bytearray(tray.prop("IconPixmap")[0][2])) != disconnected_icon, "the icon did not change"
    assert not world.window_viewable(), "connecting opened the window"
    assert not world.mapped(app, "libQt6Widgets"), "QtWidgets loaded for a StatusNotifierItem tray"

    def heard(member, text):
        # dbus-monitor prints a signal's header line, then its arguments.
        log = world.log(monitor)
        return any(member in block and text in block for block in log.split("\nsignal ")) or None
    wait_until("the menu's update signal", lambda: heard("member=ItemsPropertiesUpdated", '"Corvane: Connected"'))
    for member in ("member=NewIcon", "member=NewToolTip"):
        wait_until(member, lambda: heard(member, "path=/StatusNotifierItem"))
    if web:
        # Traffic goes through the tunnel's local proxy to the fleet's web page.
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({"http": "http://127.0.0.1:%d" % proxy_port}))
        page = opener.open(web.replace("127.0.0.1", "localhost"), timeout=30).read()
        assert page, "empty page through the tunnel"

    # The agent holds the model; killed, the tunnel stays up, the window starts
    # another, which takes the running session over.
    runtime = world.env["XDG_RUNTIME_DIR"]
    first_agent = agent_pid(runtime)
    assert first_agent, "no agent behind the tray"
    os.kill(first_agent, signal.SIGKILL)
    wait_until("a new agent", lambda: (agent_pid(runtime) or first_agent) != first_agent or None, seconds=30)
    wait_until("the tray after the agent's restart",
               lambda: tray.shown()[0] == ("Corvane: Connected", False) or None, seconds=30)

    tray.click("Open Corvane")
    wait_until("the window", world.window_viewable)

    tray.click("Disconnect")
    wait_until("disconnected", lambda: tray.shown()[0] == ("Corvane: Disconnected", False) or None, seconds=30)

    tray.click("Quit")
    app.wait(30)
    assert app.returncode == 0, world.log(app)
    assert agent_pid(runtime), "quitting the window ended the agent"

    # A second start shows the window of the app that runs in the tray, and ends.
    first = world.corvane("--background", log="corvane-background.log")
    wait_until("the second item", lambda: sum(l.startswith("item ") for l in world.log(watcher).splitlines()) == 2,
               proc=first)
    assert not world.window_viewable()
    second = subprocess.run([world.args.corvane], env=world.env, capture_output=True, text=True, timeout=60)
    assert second.returncode == 0 and "already running" in second.stderr, (second.returncode, second.stderr)
    wait_until("the first app's window", world.window_viewable)
    assert first.poll() is None, "the first app ended"


def case_xembed(world):
    manager = world.start([world.args.xembed_manager], "manager.log")
    wait_until("the tray manager", lambda: "ready" in world.log(manager), proc=manager)
    app = world.corvane("--background")
    wait_until("the icon's dock request", lambda: "dock 0x" in world.log(manager), proc=app)
    assert world.mapped(app, "corvane-xembed-tray.so"), "the XEmbed tray module is not loaded"
    assert "no system tray" not in world.log(app), world.log(app)
    assert not world.window_viewable(), "the window shows after --background"


def case_noseat(world):
    if not shutil.which("weston"):
        skip("weston is not installed (scripts/setup.sh installs it)")
    runtime = world.env["XDG_RUNTIME_DIR"]
    weston = world.start(["weston", "--backend=headless-backend.so", "--socket=corvane-noseat", "--no-config"],
                         "weston.log")
    wait_until("the compositor", lambda: os.path.exists(os.path.join(runtime, "corvane-noseat")), proc=weston)
    wayland = {"WAYLAND_DISPLAY": "corvane-noseat", "QT_QPA_PLATFORM": "wayland"}

    alone = dict(world.env, **wayland)
    alone.pop("DISPLAY")
    ended = subprocess.run([world.args.corvane], env=alone, capture_output=True, text=True, timeout=60)
    if ended.returncode != 1 or "offers no seat" not in ended.stderr or "DISPLAY" not in ended.stderr:
        fail("without a seat or an X display the app should end with a clear message: %d %r"
             % (ended.returncode, ended.stderr))

    app = world.start([world.args.corvane], "corvane.log", extra_env=wayland)
    wait_until("the move to X11", lambda: "using X11 (XWayland) on " + world.env["DISPLAY"] in world.log(app),
               proc=app)
    wait_until("the window", world.window_viewable, proc=app)
    assert weston.poll() is None, world.log(weston)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["notray", "tray", "xembed", "noseat"])
    for name in ("corvane", "corvanectl", "tunnel", "sim", "world", "xembed-manager", "lsan"):
        parser.add_argument("--" + name)
    args = parser.parse_args()

    for tool in ("Xvfb", "dbus-run-session", "dbus-monitor", "xwininfo"):
        if not shutil.which(tool):
            skip(tool + " is not installed (scripts/setup.sh installs it)")
    try:
        import dbus  # noqa: F401
        from gi.repository import GLib  # noqa: F401
    except ImportError as e:
        skip("%s lacks python3-dbus or python3-gi (%s)" % (sys.executable, e))

    if os.environ.get("CORVANE_TRAY_TEST_BUS") != "1":
        # Again inside a private session bus with no service activation: nothing
        # of the user's session (keyring, tray) takes part.
        env = dict(os.environ, CORVANE_TRAY_TEST_BUS="1")
        conf = os.path.join(HERE, "session-bus.conf")
        return subprocess.run(["dbus-run-session", "--config-file=" + conf, "--", sys.executable, *sys.argv],
                              env=env).returncode

    world = World(args)
    failed = True
    try:
        {"notray": case_notray, "tray": case_tray, "xembed": case_xembed, "noseat": case_noseat}[args.case](world)
        failed = False
    except BaseException:
        for proc in world.procs[1:]:
            if hasattr(proc, "log"):
                print("--- %s:\n%s" % (os.path.basename(proc.log), world.log(proc)[-12000:]), file=sys.stderr)
        raise
    finally:
        # CORVANE_KEEP_FAILED=1 keeps a failed case's logs and folders.
        world.close(keep=failed and os.environ.get("CORVANE_KEEP_FAILED") == "1")
    print("PASS " + args.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
