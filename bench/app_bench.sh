#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The desktop window's own costs, connected through the real engine to the demo
# panel's fleet of 20 servers, under Xvfb: the time from start to the first
# frame, the resident memory after a minute connected, and the idle CPU time
# over the next SECONDS. Everything runs on loopback in a temporary home.
#   bench/app_bench.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
seconds=${2:-60}
app=$build/Corvane/Screens/corvane
[ -x "$app" ] || { echo "missing $app (build first)" >&2; exit 1; }
command -v Xvfb >/dev/null || { echo "Xvfb is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
. "$root/bench/connected-world.sh"

# A display of our own (its abstract socket name must be free too); -noreset keeps
# it up between clients.
display=$(python3 - <<'PY'
import os, random
used = open("/proc/net/unix").read()
print(next(n for n in random.sample(range(100, 1000), 900)
           if f"/tmp/.X11-unix/X{n}\n" not in used and not os.path.exists(f"/tmp/.X{n}-lock")))
PY
)
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp -noreset > "$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do grep -q "X$display\$" /proc/net/unix && break; sleep 0.1; done
export DISPLAY=:$display QT_QPA_PLATFORM=xcb

# The app joins the running session, as after a restart of the desktop session.
launched=$(date +%s%N)
CORVANE_REPORT_FIRST_FRAME=1 "$app" > "$work/app.log" 2>&1 &
app_pid=$!
pids+=($app_pid)
for _ in $(seq 1 300); do grep -q '^first frame' "$work/app.log" && break; sleep 0.05; done
drawn=$(sed -n 's/^first frame \([0-9]*\)$/\1/p' "$work/app.log")
[ -n "$drawn" ] || { echo "no first frame:" >&2; cat "$work/app.log" >&2; exit 1; }

# The window starts the user's agent, which holds the model: its costs are the other half.
agent_pid=$(python3 - "$XDG_RUNTIME_DIR/corvane/agent.sock" <<'PY'
import json, socket, sys, time
for _ in range(100):
    try:
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(sys.argv[1]); s.sendall(b'{"id":1,"op":"hello"}\n')
            print(json.loads(s.recv(4096))["result"]["pid"]); break
    except OSError:
        time.sleep(0.1)
PY
)
[ -n "$agent_pid" ] || { echo "the window started no agent" >&2; exit 1; }
pids+=($agent_pid)

sleep 60  # a minute connected: delays measured, the sparkline full
ticks() { awk '{print $14 + $15}' "/proc/${1:-$app_pid}/stat"; }
hz=$(getconf CLK_TCK)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$app_pid/status")
# Of which the app's own (anonymous) pages; the rest is mostly shared libraries' code.
anon=$(awk '/^Anonymous/ {print $2}' "/proc/$app_pid/smaps_rollup")
agent_rss=$(awk '/^VmRSS/ {print $2}' "/proc/$agent_pid/status")
start=$(ticks)
agent_start=$(ticks "$agent_pid")
sleep "$seconds"
end=$(ticks)
agent_end=$(ticks "$agent_pid")
peak=$(awk '/^VmHWM/ {print $2}' "/proc/$app_pid/status")
"$ctl" status | grep -q "Connected" || { echo "the session ended during the run" >&2; exit 1; }
python3 - "$launched" "$drawn" "$start" "$end" "$hz" "$seconds" "$rss" "$peak" "$anon" "$agent_rss" "$agent_start" "$agent_end" <<'PY'
import sys
launched, drawn, start, end, hz, seconds, rss, peak, anon, agent_rss, agent_start, agent_end = map(float, sys.argv[1:])
cpu = (end - start) / hz
print("corvane (software scene graph, Xvfb), connected, 20 servers:")
print(f"  first frame {(drawn - launched) / 1e6:.0f} ms after start")
print(f"  resident {rss / 1024:.1f} MB after 60 s connected, peak {peak / 1024:.1f} MB (goal 50 MB);"
      f" {anon / 1024:.1f} MB of it the app's own, the rest shared libraries and files")
print(f"  idle CPU over {seconds:.0f} s: {cpu:.2f} s = {100 * cpu / seconds:.3f}% of one core (goal 0.5%)")
agent_cpu = (agent_end - agent_start) / hz
print("corvane-agent (the model the window shows):")
print(f"  resident {agent_rss / 1024:.1f} MB after 60 s connected (goal 12 MB);"
      f" CPU over {seconds:.0f} s: {100 * agent_cpu / seconds:.3f}% of one core (goal 0.2%)")
PY
"$ctl" disconnect > /dev/null || true
