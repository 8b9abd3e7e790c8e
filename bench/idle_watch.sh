#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Idle cost of a connected session: CPU time and resident memory of
# `corvanectl watch` over 60 s, connected through the real engine to the demo
# panel's fleet of 20 servers. Everything runs on loopback in a temporary home,
# without a session bus, or with one and GNOME Keyring on it (secret_service=on).
#   [secret_service=on] bench/idle_watch.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
seconds=${2:-60}
smart_routing=off . "$root/bench/connected-world.sh"

"$ctl" watch > "$work/watch.log" 2>&1 &
watch=$!
pids+=($watch)
sleep 5  # past the first polls of the session
ticks() { awk '{print $14 + $15}' "/proc/$watch/stat"; }
hz=$(getconf CLK_TCK)
start=$(ticks)
sleep "$seconds"
end=$(ticks)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$watch/status")
peak=$(awk '/^VmHWM/ {print $2}' "/proc/$watch/status")
# Resident pages shared with other processes counted by their share.
pss=$(awk '/^Pss:/ {print $2}' "/proc/$watch/smaps_rollup")
grep -q "Connected" "$work/watch.log" || { echo "watch never saw the session:" >&2; cat "$work/watch.log" >&2; exit 1; }
store=$([ "${secret_service:-off}" = on ] && echo "the Secret Service" || echo "a file, no session bus")
python3 - "$start" "$end" "$hz" "$seconds" "$rss" "$peak" "$pss" "$store" <<'PY'
import sys
start, end, hz, seconds, rss, peak, pss = map(float, sys.argv[1:8])
cpu = (end - start) / hz
print(f"corvanectl watch, connected, 20 servers, {seconds:.0f} s, token in {sys.argv[8]}:")
print(f"  CPU time {cpu:.2f} s = {100 * cpu / seconds:.3f}% of one core (goal 0.5%)")
print(f"  resident {rss / 1024:.1f} MB, peak {peak / 1024:.1f} MB (goal 15 MB); proportional share {pss / 1024:.1f} MB")
PY
"$ctl" disconnect > /dev/null || true
