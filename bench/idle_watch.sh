#!/usr/bin/env bash
# Idle cost of a connected session: CPU time and resident memory of
# `corvanectl watch` over 60 s, connected through the real engine to the demo
# panel's fleet of 20 servers. Everything runs on loopback in a temporary home.
#   bench/idle_watch.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
seconds=${2:-60}
ctl=$build/Corvane/corvanectl
tunnel=$build/CorvaneTunnel/corvane-tunnel
sim=$build/tools/panel-sim/corvane-panel-sim
engine=${CORVANE_ENGINE:-$root/build/engine/sing-box}
for program in "$ctl" "$tunnel" "$sim" "$engine"; do
    [ -x "$program" ] || { echo "missing $program (build first)" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A world of 20 servers on 127.0.1.1 ... 127.0.1.20.
python3 - "$root/examples/panel-sim.json" "$work/world.json" <<'PY'
import json, sys
world = json.load(open(sys.argv[1]))
world["vpses"] = [{"vps_id": i, "name": f"Server {i}", "address": f"127.0.1.{i}"} for i in range(1, 21)]
world["exits"] = []
world["sites"] = []
json.dump(world, open(sys.argv[2], "w"))
PY

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
proxy=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
: > "$work/sim.log"
CORVANE_ENGINE=$engine "$sim" --listen "127.0.0.1:$port" --state-dir "$work/sim" --world "$work/world.json" \
    > "$work/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 600); do grep -q '^ready' "$work/sim.log" && break; sleep 0.1; done
grep -q '^ready' "$work/sim.log" || { cat "$work/sim.log" >&2; exit 1; }

export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_STATE_HOME=$work/state XDG_RUNTIME_DIR=$work/run
export CORVANE_CA_FILE=$work/sim/tls/ca.pem
mkdir -p "$XDG_CONFIG_HOME/corvane" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
cp "$work/sim/deployment.json" "$XDG_CONFIG_HOME/corvane/deployment.json"
# No Secret Service in this home: the token goes to the owner-only file.
unset DBUS_SESSION_BUS_ADDRESS

SSL_CERT_FILE=$work/sim/ca-bundle.pem "$tunnel" --user --engine "$engine" --proxy-port "$proxy" > "$work/tunnel.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -S "$XDG_RUNTIME_DIR/corvane/tunnel.sock" ] && break; sleep 0.1; done

echo demo-password | "$ctl" login --panel "https://127.0.0.1:$port/" --email demo@corvane.test --password-stdin > /dev/null
"$ctl" smart-routing off > /dev/null
"$ctl" connect --wait 60 > /dev/null

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
grep -q "Connected" "$work/watch.log" || { echo "watch never saw the session:" >&2; cat "$work/watch.log" >&2; exit 1; }
python3 - "$start" "$end" "$hz" "$seconds" "$rss" "$peak" <<'PY'
import sys
start, end, hz, seconds, rss, peak = map(float, sys.argv[1:])
cpu = (end - start) / hz
print(f"corvanectl watch, connected, 20 servers, {seconds:.0f} s:")
print(f"  CPU time {cpu:.2f} s = {100 * cpu / seconds:.3f}% of one core (goal 0.5%)")
print(f"  resident {rss / 1024:.1f} MB, peak {peak / 1024:.1f} MB (goal 15 MB)")
PY
"$ctl" disconnect > /dev/null || true
