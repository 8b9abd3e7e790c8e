#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The main job: set up a fresh Debian 12 machine, build, and run the demo: a
# panel with its fleet on loopback (corvane-panel-sim), the tunnel service in
# user mode, and corvanectl signing in, connecting, carrying traffic, switching
# servers and exits, reading the log and previewing a report. Nothing it starts
# dials beyond 127.0.0.0/8, and it works without internet once set up.
#
#   scripts/run.sh          the whole demo; everything it starts is stopped at the end
#   scripts/run.sh --keep   leave the demo running and print how to use and stop it; on a
#                           desktop ($DISPLAY or $WAYLAND_DISPLAY) the app's window joins it
#   scripts/run.sh --stop   stop a demo left running by --keep
#
# The demo lives in build/demo/ with its own XDG folders: the user's own
# settings, credentials and keyring are never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
demo=$root/build/demo
lock=$root/build/demo.lock
build_log=$root/build/build.log

usage() { echo "usage: scripts/run.sh [--keep | --stop]"; }
mode=run
case "${1-}" in
  "") ;;
  --keep) mode=keep ;;
  --stop) mode=stop ;;
  -h | --help) usage; exit 0 ;;
  *) usage >&2; exit 2 ;;
esac
if (($# > 1)); then usage >&2; exit 2; fi

# --- The lock: one demo at a time --------------------------------------------
# build/demo.lock lists the pids of the run that owns the demo (this script while
# it runs; the sim and the tunnel service of a demo left running with --keep).

ours() {  # pid: whether it is alive and one of the demo's programs or this script
  local pid=$1 cmd
  [ -r "/proc/$pid/cmdline" ] || return 1
  cmd=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || return 1
  case "$cmd" in *corvane-panel-sim* | *corvane-tunnel* | */Screens/corvane\ * | *run.sh*) return 0 ;; esac
  return 1
}

lock_holders() {  # prints the live pids of the lock file
  [ -f "$lock" ] || return 0
  local pid
  while read -r pid; do
    [[ "$pid" =~ ^[0-9]+$ ]] && ours "$pid" && echo "$pid"
  done <"$lock"
  return 0
}

stop_pids() {  # pids...: SIGTERM, up to 10 s to finish (the tunnel service stops its engine), then SIGKILL
  local pid alive
  for pid in "$@"; do kill -TERM "$pid" 2>/dev/null || true; done
  for _ in $(seq 100); do
    alive=0
    for pid in "$@"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    ((alive)) || return 0
    sleep 0.1
  done
  for pid in "$@"; do kill -KILL "$pid" 2>/dev/null || true; done
}

if [ "$mode" = stop ]; then
  mapfile -t holders < <(lock_holders)
  if ((${#holders[@]} == 0)); then
    rm -f "$lock"
    echo "No demo is running."
    exit 0
  fi
  if [ "$(head -1 "$lock")" != "kept" ]; then
    echo "A demo run is in progress (pid ${holders[0]}); it stops by itself, or press Ctrl-C in its terminal." >&2
    exit 1
  fi
  stop_pids "${holders[@]}"
  rm -f "$lock"
  echo "Stopped the demo (pids ${holders[*]})."
  exit 0
fi

mkdir -p "$root/build"
mapfile -t holders < <(lock_holders)
if ((${#holders[@]})); then
  if [ "$(head -1 "$lock")" = "kept" ]; then
    echo "A demo is already running (pids ${holders[*]}): use it with 'source build/demo/env.sh', stop it with scripts/run.sh --stop." >&2
  else
    echo "Another scripts/run.sh is already running (pid ${holders[0]}); wait for it to end, or press Ctrl-C in its terminal." >&2
  fi
  exit 1
fi
# Taken atomically: of two runs starting at once, one fails here.
rm -f "$lock"
if ! (set -o noclobber; echo "$$" >"$lock") 2>/dev/null; then
  echo "Another scripts/run.sh has just started; wait for it to end." >&2
  exit 1
fi

started=()  # pids of what this run started, stopped on exit
keep_running=0
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if ((status != 0 && status != 130 && ${#started[@]})); then
    echo
    echo "The demo failed (exit status $status). Its programs' output: $demo/panel-sim.log, $demo/tunnel.log, $demo/agent.log"
  fi
  if ((keep_running == 0 && ${#started[@]})); then
    echo
    echo "== Stopping the demo"
    stop_pids "${started[@]}"
    echo "Stopped the panel sim, the tunnel service and the agent."
  fi
  ((keep_running)) || rm -f "$lock"
  exit "$status"
}
trap cleanup EXIT
trap 'echo; echo "Interrupted."; exit 130' INT
trap 'exit 143' TERM

# --- Set-up and build -----------------------------------------------------------

scripts/setup.sh
export CCACHE_BASEDIR="$root"
# An engine installed elsewhere (ENGINE_DIR) is the one the programs use.
if [ -z "${CORVANE_ENGINE:-}" ] && [ -n "${ENGINE_DIR:-}" ]; then export CORVANE_ENGINE="$ENGINE_DIR/sing-box"; fi

build_step() {  # description, command...: output to the build log, a progress line with its duration
  local what=$1; shift
  local start=$SECONDS
  printf 'build: %s ... ' "$what"
  echo "== $what: $*" >>"$build_log"
  if "$@" >>"$build_log" 2>&1; then
    echo "done ($((SECONDS - start)) s)"
  else
    local status=$?
    echo "failed (exit status $status)"
    echo "build: the end of $build_log:"
    tail -n 40 "$build_log" | sed 's/^/  | /'
    exit "$status"
  fi
}
: >"$build_log"
echo "build: the compilers' output goes to $build_log"
build_step "configuring (Release)" cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
build_step "compiling corvanectl, corvane-agent, corvane-tunnel and corvane-panel-sim" \
  cmake --build build/release --target corvanectl corvane-agent corvane-tunnel corvane-panel-sim
# With --keep on a desktop, the app's window shows the demo too.
with_app=0
if [ "$mode" = keep ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  with_app=1
  build_step "compiling corvane (the desktop app)" cmake --build build/release --target corvane
fi

bin=$root/build/release
corvanectl=$bin/Corvane/corvanectl
tunnel=$bin/CorvaneTunnel/corvane-tunnel
sim=$bin/tools/panel-sim/corvane-panel-sim

# --- The demo's private world ---------------------------------------------------

# The desktop's own session bus and Wayland socket, for the app's tray and window
# (both are found through XDG_RUNTIME_DIR, which the demo replaces).
user_runtime=${XDG_RUNTIME_DIR:-}
user_bus=${DBUS_SESSION_BUS_ADDRESS:-}
if [ -z "$user_bus" ] && [ -n "$user_runtime" ] && [ -S "$user_runtime/bus" ]; then user_bus=unix:path=$user_runtime/bus; fi
user_wayland=${WAYLAND_DISPLAY:-}
if [ -n "$user_wayland" ] && [ "${user_wayland#/}" = "$user_wayland" ]; then user_wayland=$user_runtime/$user_wayland; fi

rm -rf "$demo"
mkdir -p "$demo"/{config,data,state,sim}
install -d -m 0700 "$demo/runtime"
export XDG_CONFIG_HOME=$demo/config XDG_DATA_HOME=$demo/data XDG_STATE_HOME=$demo/state XDG_RUNTIME_DIR=$demo/runtime
export CORVANE_APP_GROUP_CONTAINER=$demo/state/app-group
# No session bus: the token goes to the demo's own credentials file, not the user's keyring
# (and stays there in the app, which shares the desktop's bus for its tray).
unset DBUS_SESSION_BUS_ADDRESS
export CORVANE_CREDENTIAL_STORE=file
export CORVANE_CA_FILE=$demo/sim/tls/ca.pem
# The demo shows the programs' own words.
export LC_ALL=C.UTF-8

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() {  # first free port from $1 on
  local p=$1
  while ! port_free "$p"; do p=$((p + 1)); done
  echo "$p"
}
panel_port=$(free_port 8443)
proxy_port=$(free_port 2080)
panel=https://127.0.0.1:$panel_port/

heading() { printf '\n== %s\n' "$*"; }
show() {  # command...: prints it as a user types it, then runs it
  local shown=$(basename "$1") a
  for a in "${@:2}"; do
    if [[ "$a" == *[[:space:]]* ]]; then shown+=" \"$a\""; else shown+=" $a"; fi
  done
  printf '$ %s\n' "$shown"
  "$@"
}
wait_for() {  # seconds, what, pid, log, test command...
  local seconds=$1 what=$2 pid=$3 log=$4; shift 4
  for _ in $(seq $((seconds * 10))); do
    "$@" && return 0
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "The $what ended at start. The end of $log:" >&2
      tail -n 20 "$log" | sed 's/^/  | /' >&2
      exit 1
    fi
    sleep 0.1
  done
  echo "The $what did not start within $seconds s. The end of $log:" >&2
  tail -n 20 "$log" | sed 's/^/  | /' >&2
  exit 1
}

heading "Starting the demo panel and its fleet (corvane-panel-sim)"
# setsid: Ctrl-C goes to this script, which stops them in order.
setsid "$sim" --listen "127.0.0.1:$panel_port" --state-dir "$demo/sim" --world examples/panel-sim.json \
  >"$demo/panel-sim.log" 2>&1 &
started+=($!)
echo "$!" >>"$lock"
wait_for 120 "panel sim" "$!" "$demo/panel-sim.log" grep -qx ready "$demo/panel-sim.log"
sed 's/^/  /' "$demo/panel-sim.log"
web_port=$(sed -n 's|^ *web target http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$demo/panel-sim.log")
[ -n "$web_port" ] || { echo "The panel sim did not say where its web target is." >&2; exit 1; }
# By name: the engine sends private addresses direct, a name goes through the fleet,
# whose servers resolve "localhost" from their hosts file and reach nothing else.
web=http://localhost:$web_port/
# Its deployment values point the client at it: panel, probe, trace, rule sets, resolvers.
mkdir -p "$XDG_CONFIG_HOME/corvane"
cp "$demo/sim/deployment.json" "$XDG_CONFIG_HOME/corvane/deployment.json"

heading "Starting the tunnel service (corvane-tunnel --user)"
# The engine's health probes trust the system store only: this process alone gets the sim's CA too.
SSL_CERT_FILE=$demo/sim/ca-bundle.pem setsid "$tunnel" --user --proxy-port "$proxy_port" \
  >"$demo/tunnel.log" 2>&1 &
started+=($!)
echo "$!" >>"$lock"
wait_for 30 "tunnel service" "$!" "$demo/tunnel.log" test -S "$XDG_RUNTIME_DIR/corvane/tunnel.sock"
sed 's/^/  /' "$demo/tunnel.log"
proxy=http://127.0.0.1:$proxy_port

heading "Starting the session agent (corvane-agent)"
# As a desktop session starts it (its user unit, or the first client): it holds the
# demo user's model, and corvanectl and the window are its clients.
setsid "$bin/Corvane/corvane-agent" >"$demo/agent.log" 2>&1 &
started+=($!)
echo "$!" >>"$lock"
wait_for 30 "agent" "$!" "$demo/agent.log" test -S "$XDG_RUNTIME_DIR/corvane/agent.sock"
sed 's/^/  /' "$demo/agent.log"

cat >"$demo/env.sh" <<EOF
# The demo's environment: source it, then run corvanectl (scripts/run.sh --stop ends the demo).
export XDG_CONFIG_HOME='$XDG_CONFIG_HOME' XDG_DATA_HOME='$XDG_DATA_HOME' XDG_STATE_HOME='$XDG_STATE_HOME'
export XDG_RUNTIME_DIR='$XDG_RUNTIME_DIR' CORVANE_APP_GROUP_CONTAINER='$CORVANE_APP_GROUP_CONTAINER'
export CORVANE_CA_FILE='$CORVANE_CA_FILE' CORVANE_CREDENTIAL_STORE=file
unset DBUS_SESSION_BUS_ADDRESS
export PATH='$bin/Corvane:$bin/Corvane/Screens:$bin/tools/panel-sim':"\$PATH"
EOF

curl_proxy() { curl --silent --show-error --fail --max-time 30 --noproxy '' -x "$proxy" "$@"; }
fetch() {  # url: fetches through the tunnel's local proxy, shows the page
  printf '$ curl -x %s %s\n' "$proxy" "$1"
  curl_proxy "$1"
}
fetch_bytes() {  # count: moves that many bytes through the tunnel
  printf '$ curl -x %s %sbytes/%s | wc -c\n' "$proxy" "$web" "$1"
  curl_proxy "${web}bytes/$1" | wc -c
}

heading "Signing in as the demo user"
echo "\$ echo demo-password | corvanectl login --panel $panel --email demo@corvane.test --password-stdin"
echo demo-password | "$corvanectl" login --panel "$panel" --email demo@corvane.test --password-stdin

heading "The fleet the panel assigned"
show "$corvanectl" servers

heading "Connecting"
show "$corvanectl" connect

heading "Fetching the fleet's web page through the tunnel's local proxy"
fetch "$web"
fetch_bytes 2000000

heading "Status: route, delays, traffic"
printf '$ corvanectl status\n'
status_text=$("$corvanectl" status)
echo "$status_text"
# Then the other server and protocol than the ones the fastest pick chose.
route=$(sed -n 's/^Route: *//p' <<<"$status_text")
case "$route" in *Tokyo*) other=Amsterdam ;; *) other=Tokyo ;; esac
case "$route" in Reality*) protocol=hysteria2 ;; *) protocol=reality ;; esac

heading "Pinning the other server and protocol"
show "$corvanectl" pin "$other" "$protocol"
fetch "$web"
show "$corvanectl" status

heading "Switching to the metered exit"
show "$corvanectl" route --entry Amsterdam --exit "Residential US"
fetch "$web"
# Its allowance falls with the bytes it carries (the panel meters them every second).
fetch_bytes 5000000
sleep 2
show "$corvanectl" servers

heading "And back to the original exit, server chosen automatically"
show "$corvanectl" route --entry auto --exit original
fetch "$web"

heading "The last log lines"
printf '$ corvanectl logs | tail -n 12\n'
lines=$("$corvanectl" logs)
tail -n 12 <<<"$lines"

heading "A diagnostic report, previewed (nothing is sent)"
printf '$ corvanectl report --preview | head -n 30\n'
report=$("$corvanectl" report --preview)
head -n 30 <<<"$report"
echo "  ... ($(wc -l <<<"$report") lines in all)"

if [ "$mode" = keep ] && ((with_app)); then
  heading "Starting the desktop app (corvane) on the demo"
  app_env=()
  [ -n "$user_bus" ] && app_env+=("DBUS_SESSION_BUS_ADDRESS=$user_bus")
  [ -n "$user_wayland" ] && app_env+=("WAYLAND_DISPLAY=$user_wayland")
  setsid env "${app_env[@]}" "$bin/Corvane/Screens/corvane" >"$demo/corvane.log" 2>&1 &
  started+=($!)
  echo "$!" >>"$lock"
  sleep 2
  if kill -0 "$!" 2>/dev/null; then
    echo "The window shows the demo, signed in and connected; the tray icon too where the desktop has a tray."
  else
    echo "The app ended at start (the demo keeps running). The end of $demo/corvane.log:"
    tail -n 20 "$demo/corvane.log" | sed 's/^/  | /'
    unset 'started[-1]'
  fi
fi

if [ "$mode" = keep ]; then
  keep_running=1
  { echo kept; printf '%s\n' "${started[@]}"; } >"$lock"
  heading "The demo keeps running"
  cat <<EOF
Panel:        $panel   (admin: corvane-panel-sim ctl --state-dir $demo/sim help)
Local proxy:  $proxy   (e.g. curl -x $proxy $web)
Logs:         $demo/panel-sim.log, $demo/tunnel.log, $demo/agent.log$( ((with_app)) && echo ", $demo/corvane.log")

Use it from a shell with the demo's environment:
  source build/demo/env.sh
  corvanectl status
  corvanectl servers
  corvanectl pin Amsterdam reality
  corvanectl route --entry Amsterdam --exit "Residential US"
  corvane-panel-sim ctl --state-dir $demo/sim exhaust 10
  corvanectl disconnect
  corvane &            # the desktop app, on a desktop
Stop it:
  scripts/run.sh --stop
EOF
  exit 0
fi

heading "Disconnecting"
show "$corvanectl" disconnect
