# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the benchmarks that measure a connected session: the demo panel's
# fleet of 20 servers on 127.0.1.1 ... 127.0.1.20, the tunnel service in user
# mode and the real engine, signed in and connected, in a temporary home that is
# removed on exit. Before sourcing, set `root` (the checkout) and `build`; after
# it, `ctl`, `work`, `pids` (the benchmark adds its own pids) and `agent_pid` (the
# session agent the first command started) are set, and the environment points at
# the temporary home. With secret_service=on the home has
# a session bus of its own with GNOME Keyring on it, as a desktop session has,
# and the token is kept there; otherwise there is no bus and the token is kept in
# the owner-only file.
#   smart_routing=off secret_service=on . "$root/bench/connected-world.sh"
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
    # The agent the first command started (it outlives its clients), then the rest.
    "$ctl" agent stop > /dev/null 2>&1 || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

python3 - "$root/examples/panel-sim.json" "$work/world.json" <<'PY'
import json, sys
world = json.load(open(sys.argv[1]))
world["vpses"] = [{"vps_id": i, "name": f"Server {i}", "address": f"127.0.1.{i}"} for i in range(1, 21)]
world["exits"] = []
world["sites"] = []
json.dump(world, open(sys.argv[2], "w"))
PY

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port)
proxy=$(free_port)
: > "$work/sim.log"
CORVANE_ENGINE=$engine "$sim" --listen "127.0.0.1:$port" --state-dir "$work/sim" --world "$work/world.json" \
    > "$work/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 600); do grep -q '^ready' "$work/sim.log" && break; sleep 0.1; done
grep -q '^ready' "$work/sim.log" || { cat "$work/sim.log" >&2; exit 1; }

export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_STATE_HOME=$work/state
export XDG_RUNTIME_DIR=$work/run CORVANE_CA_FILE=$work/sim/tls/ca.pem LC_ALL=C.UTF-8
mkdir -p "$HOME" "$XDG_CONFIG_HOME/corvane" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
cp "$work/sim/deployment.json" "$XDG_CONFIG_HOME/corvane/deployment.json"
unset DBUS_SESSION_BUS_ADDRESS
if [ "${secret_service:-off}" = on ]; then
    cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$XDG_RUNTIME_DIR/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
    dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile > "$work/dbus.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 1 100); do [ -S "$XDG_RUNTIME_DIR/bus" ] && break; sleep 0.1; done
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
    # A password on standard input creates and unlocks the login keyring without a prompt.
    echo bench-keyring | gnome-keyring-daemon --foreground --unlock --components=secrets > "$work/keyring.log" 2>&1 &
    pids+=($!)
    sleep 1
fi

SSL_CERT_FILE=$work/sim/ca-bundle.pem "$tunnel" --user --engine "$engine" --proxy-port "$proxy" > "$work/tunnel.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -S "$XDG_RUNTIME_DIR/corvane/tunnel.sock" ] && break; sleep 0.1; done

echo demo-password | "$ctl" login --panel "https://127.0.0.1:$port/" --email demo@corvane.test --password-stdin > /dev/null
if [ "${smart_routing:-on}" = off ]; then "$ctl" smart-routing off > /dev/null; fi
"$ctl" connect --wait 60 > /dev/null
agent_pid=$("$ctl" agent status | sed -n 's/.*(pid \([0-9]*\)).*/\1/p')
