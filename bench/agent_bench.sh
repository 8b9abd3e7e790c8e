#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The session agent's costs, connected through the real engine to the demo
# panel's fleet of 20 servers: its resident memory and idle CPU time over
# SECONDS, and the wall time of `corvanectl status` (median of RUNS), which
# answers from the agent's state. Everything runs on loopback in a temporary home.
#   bench/agent_bench.sh [BUILD_DIR] [SECONDS] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
seconds=${2:-60}
runs=${3:-200}
. "$root/bench/connected-world.sh"
[ -n "$agent_pid" ] || { echo "no agent runs" >&2; exit 1; }

sleep 5  # past the first polls of the session
ticks() { awk '{print $14 + $15}' "/proc/$agent_pid/stat"; }
hz=$(getconf CLK_TCK)
start=$(ticks)
sleep "$seconds"
end=$(ticks)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$agent_pid/status")
peak=$(awk '/^VmHWM/ {print $2}' "/proc/$agent_pid/status")
"$ctl" status | grep -q '^Status:    Connected' || { echo "the agent is not connected:" >&2; "$ctl" status >&2; exit 1; }

python3 - "$ctl" "$runs" "$start" "$end" "$hz" "$seconds" "$rss" "$peak" <<'PY'
import statistics, subprocess, sys, time
ctl, runs = sys.argv[1], int(sys.argv[2])
start, end, hz, seconds, rss, peak = map(float, sys.argv[3:9])
walls = []
for _ in range(runs):
    began = time.perf_counter()
    subprocess.run([ctl, "status", "--json"], stdout=subprocess.DEVNULL, check=True)
    walls.append((time.perf_counter() - began) * 1000)
walls.sort()
print(f"agent, connected to 20 servers: RSS {rss / 1024:.1f} MB (peak {peak / 1024:.1f} MB), "
      f"idle CPU {100 * (end - start) / hz / seconds:.3f}% of a core over {seconds:.0f} s")
print(f"corvanectl status: median {statistics.median(walls):.1f} ms, "
      f"p90 {walls[int(len(walls) * 0.9)]:.1f} ms over {runs} runs")
PY
