#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The real `corvane` window end to end, driven as assistive technology sees it.

The demo panel with its fleet (corvane-panel-sim) and the tunnel service in user
mode run on loopback; `corvane` runs under Xvfb with private XDG folders and its
accessibility bridge on, on a private session bus. Through AT-SPI the test signs
in with the fields and the button, connects, waits for "Connected", a route and
a delay, pins another protocol and checks that every control on the main screen
has a name and a role. The window is a client of the user's agent: the agent is
killed (the window says it waits, starts another and shows the session the new
one finds), the window quits while connected (the agent and the tunnel stay),
and a new window shows the running session and disconnects it.

usage: window_endtoend.py --corvane BIN --tunnel BIN --sim BIN --world JSON
Exit 77 (skipped) with the reason when Xvfb, D-Bus or AT-SPI are missing.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
SYSTEM_PYTHON = "/usr/bin/python3"


def skip(reason):
    print("SKIP: " + reason, flush=True)
    sys.exit(SKIP)


def log(text):
    print(text, flush=True)


def parse_args():
    p = argparse.ArgumentParser()
    for name in ("corvane", "tunnel", "sim", "world"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    return p.parse_args()


# --- Outside the private bus: what the test needs, then itself on that bus -------

def atspi_importable(python):
    probe = "import gi; gi.require_version('Atspi', '2.0'); from gi.repository import Atspi"
    return subprocess.run([python, "-c", probe], capture_output=True).returncode == 0


def outer(args):
    for tool in ("Xvfb", "dbus-run-session", "dbus-send"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed (scripts/setup.sh installs it)")
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        skip("at-spi2-core is not installed (scripts/setup.sh installs it)")
    # The GObject bindings belong to Debian's own Python.
    python = sys.executable if atspi_importable(sys.executable) else SYSTEM_PYTHON
    if not os.path.exists(python) or not atspi_importable(python):
        skip("python3-gi with gir1.2-atspi-2.0 is not installed (scripts/setup.sh installs it)")
    for path in (args.corvane, args.tunnel, args.sim, args.world):
        if not os.path.exists(path):
            sys.exit(f"missing: {path}")
    env = dict(os.environ)
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    for key in ("XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"):
        env.pop(key, None)
    # What the session bus starts (the accessibility bus, a keyring) keeps its files in a home of its own.
    home = tempfile.mkdtemp(prefix="corvane-window-home-")
    env["HOME"] = home
    command = ["dbus-run-session", "--", python, os.path.abspath(__file__), "--inner"]
    for name in ("corvane", "tunnel", "sim", "world"):
        command += ["--" + name, os.path.abspath(getattr(args, name))]
    # The display first: the accessibility services the bus starts take it from the bus's environment.
    xvfb = World()
    try:
        env["DISPLAY"] = start_xvfb(xvfb)
        status = subprocess.run(command, env=env).returncode
        if status not in (0, SKIP):
            alive = dict(xvfb.procs)["xvfb"].poll() is None
            print(f"Xvfb on {env['DISPLAY']} ({'running' if alive else 'ended'}):\n" + xvfb.log_tail("xvfb"), flush=True)
    finally:
        xvfb.stop()
        shutil.rmtree(home, ignore_errors=True)
    sys.exit(status)


# --- On the private bus -------------------------------------------------------------

class World:
    """The processes of the run, stopped in reverse order at the end."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="corvane-window-")
        self.procs = []

    def start(self, name, command, env, **kw):
        out = open(os.path.join(self.dir, name + ".log"), "wb")
        proc = subprocess.Popen(command, env=env, stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True, **kw)
        self.procs.append((name, proc))
        return proc

    def log_tail(self, name, lines=30):
        try:
            with open(os.path.join(self.dir, name + ".log"), errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""

    def stop(self):
        stop_agent(os.path.join(self.dir, "runtime"))
        for name, proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def agent_call(runtime, op, timeout=10):
    """One request to the user's agent: its result, or None when no agent answers."""
    try:
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(timeout)
            s.connect(os.path.join(runtime, "corvane", "agent.sock"))
            s.sendall(json.dumps({"id": 1, "op": op}).encode() + b"\n")
            data = b""
            while not data.endswith(b"\n"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
            return json.loads(data).get("result")
    except (OSError, ValueError):
        return None


def agent_pid(runtime):
    hello = agent_call(runtime, "hello")
    return hello["pid"] if hello else None


def stop_agent(runtime):
    """Ends the agent the app started for this test: it outlives the app on purpose."""
    agent_call(runtime, "stopAgent", timeout=5)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(what, check, seconds, world=None, proc_name=None):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        if world and proc_name:
            proc = dict(world.procs)[proc_name]
            if proc.poll() is not None:
                raise AssertionError(f"{proc_name} ended while waiting for {what}:\n{world.log_tail(proc_name)}")
        time.sleep(0.2)
    tail = ("\n" + world.log_tail(proc_name)) if world and proc_name else ""
    raise AssertionError(f"timed out after {seconds} s waiting for {what}{tail}")


def free_display():
    # Other X servers on this machine may not share our /tmp, but they share the
    # abstract socket names: a display in use there is taken.
    with open("/proc/net/unix") as f:
        used = f.read()
    for n in random.sample(range(100, 1000), 900):
        if f"/tmp/.X11-unix/X{n}\n" not in used and not os.path.exists(f"/tmp/.X{n}-lock"):
            return n
    raise AssertionError("no free X display")


def start_xvfb(world):
    read, write = os.pipe()
    # -noreset: the server would otherwise reset when its last client leaves (the
    # accessibility bus's launcher does so at start), dropping whoever connects meanwhile.
    world.start("xvfb", ["Xvfb", f":{free_display()}", "-displayfd", str(write), "-screen", "0", "1024x1000x24",
                         "-nolisten", "tcp", "-noreset"], dict(os.environ), pass_fds=(write,))
    os.close(write)
    digits = b""
    deadline = time.monotonic() + 20
    while not digits.endswith(b"\n") and time.monotonic() < deadline:
        chunk = os.read(read, 16)
        if not chunk:
            break
        digits += chunk
    os.close(read)
    if not digits.strip():
        raise AssertionError("Xvfb did not start:\n" + world.log_tail("xvfb"))
    return ":" + digits.decode().strip()


def a11y_bus_address():
    # Asking the session bus for it starts at-spi-bus-launcher.
    out = subprocess.run(["dbus-send", "--session", "--dest=org.a11y.Bus", "--print-reply=literal",
                          "/org/a11y/bus", "org.a11y.Bus.GetAddress"], capture_output=True, text=True, timeout=30)
    if out.returncode != 0 or not out.stdout.strip():
        raise AssertionError("no accessibility bus: " + out.stderr)
    return out.stdout.strip()


class Tree:
    """The window's accessibility tree over AT-SPI."""

    INTERACTIVE = {"push button", "toggle button", "check box", "radio button", "text", "password text",
                   "combo box", "menu item", "spin button", "slider", "link", "entry", "switch",
                   "check menu item", "radio menu item", "page tab", "scroll bar"}

    def __init__(self, Atspi):
        self.Atspi = Atspi

    def app(self):
        desktop = self.Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            child = desktop.get_child_at_index(i)
            if child is not None and (child.get_name() or "").lower() == "corvane":
                return child
        return None

    def showing(self, node):
        try:
            return node.get_state_set().contains(self.Atspi.StateType.VISIBLE)
        except Exception:
            return False

    def walk(self, root):
        stack = [root]
        while stack:
            node = stack.pop()
            if node is None:
                continue
            yield node
            try:
                count = node.get_child_count()
            except Exception:
                continue
            for i in reversed(range(count)):
                stack.append(node.get_child_at_index(i))

    def find(self, name, roles=None, pattern=False, anywhere=False):
        """The first visible node of that name and role; `anywhere`: scrolled out of view too."""
        app = self.app()
        if app is None:
            return None
        for node in self.walk(app):
            try:
                n, role = node.get_name() or "", node.get_role_name()
            except Exception:
                continue
            if roles and role not in roles:
                continue
            if (re.fullmatch(name, n) if pattern else n == name) and (anywhere or self.showing(node)):
                return node
        return None

    def press(self, node):
        """Presses a control through its accessible action, as a screen reader does."""
        if node is None:
            raise AssertionError("no such control")
        Action = self.Atspi.Action
        names = [Action.get_action_name(node, i) for i in range(Action.get_n_actions(node))]
        if "Press" not in names:
            raise AssertionError(f"{node.get_name()!r} cannot be pressed: its actions are {names}")
        if not Action.do_action(node, names.index("Press")):
            raise AssertionError(f"pressing {node.get_name()!r} failed")

    def click(self, node):
        Atspi = self.Atspi
        box = Atspi.Component.get_extents(node, Atspi.CoordType.SCREEN)
        Atspi.generate_mouse_event(box.x + box.width // 2, box.y + box.height // 2, "b1c")

    def type_into(self, node, text):
        # Focus the field and type as a keyboard does: the field reports what the user typed.
        Atspi = self.Atspi
        # A click, as a user's: it also gives the window the keyboard (Xvfb has no window manager).
        box = Atspi.Component.get_extents(node, Atspi.CoordType.SCREEN)
        Atspi.generate_mouse_event(box.x + box.width // 2, box.y + box.height // 2, "b1c")
        time.sleep(0.3)
        # Select what is there, then type over it.
        ctrl = 0x25  # keycode of Control_L on Xvfb's default map
        Atspi.generate_keyboard_event(ctrl, None, Atspi.KeySynthType.PRESS)
        Atspi.generate_keyboard_event(0x61, None, Atspi.KeySynthType.SYM)  # 'a' by keysym
        Atspi.generate_keyboard_event(ctrl, None, Atspi.KeySynthType.RELEASE)
        # One key a character: printable ASCII characters are their own keysyms.
        for c in text:
            Atspi.generate_keyboard_event(ord(c), None, Atspi.KeySynthType.SYM)
        time.sleep(0.3)

    def text_of(self, node):
        return self.Atspi.Text.get_text(node, 0, self.Atspi.Text.get_character_count(node))

    def dump(self, limit=400):
        """The tree as text, for a failure's message."""
        desktop = self.Atspi.get_desktop(0)
        lines = ["applications: " + ", ".join(repr(desktop.get_child_at_index(i).get_name())
                                              for i in range(desktop.get_child_count()))]
        app = self.app()
        for node in self.walk(app) if app else []:
            try:
                lines.append(f"  {node.get_role_name()}: {node.get_name()!r}"
                             + ("" if self.showing(node) else " (hidden)"))
            except Exception as e:
                lines.append(f"  ? {e}")
            if len(lines) > limit:
                break
        return "\n".join(lines)

    def unnamed_controls(self):
        missing = []
        for node in self.walk(self.app()):
            try:
                role = node.get_role_name()
            except Exception:
                continue
            # Every control, on screen or not (other screens' and those below the fold too).
            # (Qt 6.4 hides every text of a password field, its name too.)
            if role in self.INTERACTIVE and role != "password text" and not (node.get_name() or "").strip():
                missing.append(f"{role} (description {node.get_description()!r})")
            if role == "unknown" and self.Atspi.Action.get_n_actions(node) > 0:
                missing.append(f"a control without a role named {node.get_name()!r}")
        return missing


def inner(args):
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi

    world = World()
    try:
        run(args, world, Atspi)
    except AssertionError:
        print("The accessibility tree:\n" + Tree(Atspi).dump(), flush=True)
        for name in ("corvane", "corvane-again", "sim", "tunnel", "state/corvane/agent"):
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

    panel_port = free_port()
    world.start("sim", [args.sim, "--listen", f"127.0.0.1:{panel_port}", "--state-dir", sim_dir,
                        "--world", args.world], env)
    wait_until("the panel sim", lambda: "ready" in world.log_tail("sim", 200).split(), 120, world, "sim")
    os.makedirs(os.path.join(env["XDG_CONFIG_HOME"], "corvane"), exist_ok=True)
    shutil.copy(os.path.join(sim_dir, "deployment.json"), os.path.join(env["XDG_CONFIG_HOME"], "corvane"))

    tunnel_env = dict(env, SSL_CERT_FILE=os.path.join(sim_dir, "ca-bundle.pem"))
    tunnel_env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    world.start("tunnel", [args.tunnel, "--user", "--proxy-port", str(free_port())], tunnel_env)
    socket_path = os.path.join(env["XDG_RUNTIME_DIR"], "corvane", "tunnel.sock")
    wait_until("the tunnel service", lambda: os.path.exists(socket_path), 30, world, "tunnel")

    a11y_bus_address()  # started before the app looks for it
    # A desktop's keyring, unlocked at login (a password on standard input): the app
    # keeps its sign-in there, and nothing asks for a password.
    keyring = shutil.which("gnome-keyring-daemon")
    if keyring:
        password = os.path.join(base, "keyring-password")
        with open(password, "w") as f:
            f.write("corvane-test")
        world.start("keyring", ["/bin/sh", "-c", f"exec '{keyring}' --foreground --unlock --components=secrets"
                                                 f" < '{password}'"], env)
        time.sleep(0.5)
    app_env = dict(env, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    started = time.monotonic()
    world.start("corvane", [args.corvane], app_env)

    tree = Tree(Atspi)
    wait_until("the window in the accessibility tree", lambda: tree.find("Sign in", {"push button"}), 60,
               world, "corvane")
    log(f"window up after {time.monotonic() - started:.1f} s")

    panel = f"https://127.0.0.1:{panel_port}/"
    # The empty field offers the operator's panel address, from the deployment file.
    with open(os.path.join(env["XDG_CONFIG_HOME"], "corvane", "deployment.json")) as f:
        operator_panel = json.load(f)["panel_url"]
    field = tree.find("Panel URL", {"text"})
    assert field is not None and field.get_description() == operator_panel, \
        f"the Panel URL field offers {field and field.get_description()!r}, not {operator_panel!r}"
    # Qt 6.4 tells nothing of a password field over AT-SPI, its name included: it is
    # the one field of its role.
    for label, role, value in (("Panel URL", "text", panel), ("Email", "text", "demo@corvane.test"),
                               ("", "password text", "demo-password")):
        field = tree.find(label, {role})
        assert field is not None, f"no field {label or role}"
        tree.type_into(field, value)
        if role == "text":
            assert tree.text_of(field) == value, f"{label} reads {tree.text_of(field)!r}"
    tree.press(tree.find("Sign in", {"push button"}))
    connect = wait_until("the main screen after signing in", lambda: tree.find("Connect", {"push button"}), 60,
                         world, "corvane")
    log("signed in")

    # Every control of the main screen says what it is, before and while connected.
    problems = tree.unnamed_controls()
    assert not problems, "controls without a name or role (signed in): " + "; ".join(problems)

    tree.press(connect)
    wait_until("Connected", lambda: tree.find("Connected", {"label", "static"}), 60, world, "corvane")
    log("connected")
    # A route, then a delay measured through the tunnel.
    subtitle = wait_until("a route with a delay",
                          lambda: tree.find(r"(Reality|Hysteria2) on \S+ · \d+ ms", {"label", "static"}, True),
                          60, world, "corvane")
    log("route: " + subtitle.get_name())

    problems = tree.unnamed_controls()
    assert not problems, "controls without a name or role (connected): " + "; ".join(problems)

    # Pin the other protocol of the server in use.
    route = re.match(r"(Reality|Hysteria2) on (\S+)", subtitle.get_name())
    other = ("Hysteria2" if route.group(1) == "Reality" else "Reality") + " on " + route.group(2)
    # (The server list is below the fold: Qt reports it as not visible.)
    tree.press(tree.find(other, {"push button"}, anywhere=True))
    wait_until(f"the route {other}", lambda: tree.find(re.escape(other) + r"( · \d+ ms)?", {"label", "static"}, True),
               60, world, "corvane")
    log("pinned " + other)
    pinned = re.escape(other) + r"( · \d+ ms)?"

    # The agent holds the model. Killed, the tunnel stays up; the window says it
    # waits, starts another agent and shows the session that one finds running.
    runtime = env["XDG_RUNTIME_DIR"]
    first = agent_pid(runtime)
    assert first, "no agent behind the window"
    os.kill(first, signal.SIGKILL)
    # (Pressing the server's button scrolled the page to it: the notice at the top
    # is looked for out of view too; while hidden it is not in the tree at all.)
    notice = r"Waiting for the Corvane agent.*"
    wait_until("the window's notice", lambda: tree.find(notice, None, True, anywhere=True), 30, world, "corvane")
    wait_until("a new agent", lambda: (agent_pid(runtime) or first) != first, 30, world, "corvane")
    wait_until("the notice gone", lambda: tree.find(notice, None, True, anywhere=True) is None, 60, world, "corvane")
    assert tree.find(pinned, {"label", "static"}, True, anywhere=True), "the session is not shown after the restart"
    assert tree.find("Connected", {"label", "static"}, anywhere=True), "the session is not shown after the restart"
    log("the window follows a new agent")

    # Quitting the window (Ctrl+Q) leaves the agent and the tunnel as they are.
    # The window has the keyboard since the sign-in's clicks; the focus goes to a control of it.
    Atspi.Component.grab_focus(tree.find("Disconnect", {"push button"}, anywhere=True))
    time.sleep(0.3)
    Atspi.generate_keyboard_event(0x25, None, Atspi.KeySynthType.PRESS)  # Control_L
    Atspi.generate_keyboard_event(ord("q"), None, Atspi.KeySynthType.SYM)
    Atspi.generate_keyboard_event(0x25, None, Atspi.KeySynthType.RELEASE)
    app = dict(world.procs)["corvane"]
    try:
        status = app.wait(30)
    except subprocess.TimeoutExpired:
        raise AssertionError("the window did not quit on Ctrl+Q")
    assert status == 0, f"the window quit with status {status}"
    state = agent_call(runtime, "snapshot")
    assert state and state.get("status") == "connected", f"the agent after the window quit: {state}"
    log("quit; the agent and the tunnel stay")

    # A new window shows the running session at once, and ends it.
    world.start("corvane-again", [args.corvane], app_env)
    wait_until("the session in a new window", lambda: tree.find(pinned, {"label", "static"}, True, anywhere=True), 60,
               world, "corvane-again")
    tree.press(tree.find("Disconnect", {"push button"}))
    wait_until("Disconnected", lambda: tree.find("Disconnected", {"label", "static"}), 30, world, "corvane-again")
    log("disconnected")


def main():
    args = parse_args()
    if args.inner:
        inner(args)
    else:
        outer(args)


if __name__ == "__main__":
    main()
