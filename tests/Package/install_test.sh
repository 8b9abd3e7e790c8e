#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The package as a machine gets it. A copy of this machine (overlays over its
# /usr, /etc and dpkg's database, in a mount namespace of this test's own) is
# booted by systemd in a container with a network of its own; there dpkg
# installs the package, whose scripts create the accounts and start the
# service; a user the administrator lets in signs in to the demo panel (run in
# the container's network) and connects through the installed programs; then
# the package is removed while connected, and purged.
#
#   install_test.sh PACKAGE_DIR PANEL_SIM ENGINE WORLD
#
# PACKAGE_DIR holds the package (corvane_*.deb), PANEL_SIM and ENGINE the demo panel and the engine it
# runs its fleet with (from the build), WORLD its world file. Exit status 77
# (skipped) where this machine cannot boot such a container.
set -euo pipefail

deb=$(realpath "$(ls "$1"/corvane_*.deb)") sim=$(realpath "$2") engine=$(realpath "$3") world=$(realpath "$4")

skip() { echo "package test: skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "it needs root"
command -v systemd-nspawn >/dev/null || skip "systemd-nspawn is not installed (systemd-container)"
[ -c /dev/net/tun ] || skip "this machine offers no TUN device"
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null || skip "no overlay file system"

# Everything below happens in a mount namespace of its own: the overlays and
# the container's mounts end with this script, whatever way it ends.
if [ -z "${CORVANE_PACKAGE_TEST_NAMESPACE:-}" ]; then
  exec env CORVANE_PACKAGE_TEST_NAMESPACE=1 unshare --mount --propagation private "$0" "$@"
fi

work=$(mktemp -d /var/tmp/corvane-package-test.XXXXXX)
root=$work/root
nspawn= sim_pid= failures=0

cleanup() {
  local status=$?
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    kill -TERM "$nspawn" 2>/dev/null || true  # nspawn shuts the container down in order
    for _ in $(seq 60); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.5; done
    kill -KILL "$nspawn" 2>/dev/null || true
  fi
  wait 2>/dev/null || true
  # Only once nothing is mounted below it is the folder removed: never through an overlay.
  local dir mounted=
  for dir in var/lib/dpkg etc usr; do
    if mountpoint -q "$root/$dir" && ! umount "$root/$dir"; then mounted=$dir; fi
  done
  if [ -z "$mounted" ]; then
    rm -rf "$work"
  else
    echo "package test: $root/$mounted is still mounted; $work left as it is" >&2
  fi
  exit "$status"
}
trap cleanup EXIT

say() { printf '\n== %s\n' "$*"; }
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
# expect WHAT EXPECTED ACTUAL
expect() { if [ "$2" = "$3" ]; then echo "ok: $1"; else fail "$1: expected \"$2\", got \"$3\""; fi; }
# expect_in WHAT NEEDLE HAYSTACK
expect_in() { if [[ $3 == *"$2"* ]]; then echo "ok: $1"; else fail "$1: \"$2\" not in: $3"; fi; }

say "A copy of this machine"
for dir in usr etc var/lib/dpkg; do
  mkdir -p "$work/upper/$dir" "$work/scratch/$dir" "$root/$dir"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$work/upper/$dir,workdir=$work/scratch/$dir" "$root/$dir"
done
for link in bin sbin lib lib32 lib64 libx32; do
  if [ -L "/$link" ]; then ln -s "$(readlink "/$link")" "$root/$link"; fi
done
mkdir -p "$root"/{dev,proc,sys,run,tmp,home,root,var/tmp,var/log,var/cache,var/lib}
chmod 1777 "$root/tmp" "$root/var/tmp"
# A machine as its user has it: this machine's image forbids starting services
# (policy-rc.d, as container images do), and its identity is its own.
rm -f "$root/usr/sbin/policy-rc.d" "$root/etc/machine-id"
# The container boots to the base system only, not to whatever this machine enables.
cat >"$root/etc/systemd/system/package-test.target" <<'EOF'
[Unit]
Description=The base system, for the package test
Requires=basic.target
After=basic.target
EOF
cp "$deb" "$root/var/tmp/corvane.deb"

say "Booting it"
systemd-nspawn --quiet --directory="$root" --machine=corvane-package-test --private-network \
  --register=no --keep-unit --boot -- systemd.unit=package-test.target >"$work/console.log" 2>&1 &
nspawn=$!
leader=
for _ in $(seq 100); do
  for child in $(cat /proc/"$nspawn"/task/*/children 2>/dev/null); do
    if [ "$(cat "/proc/$child/comm" 2>/dev/null)" = systemd ]; then leader=$child; fi
  done
  [ -n "$leader" ] && break
  sleep 0.1
done
[ -n "$leader" ] || { cat "$work/console.log"; skip "the container did not start"; }

inside() {
  nsenter --target "$leader" --mount --uts --ipc --net --pid --cgroup --root --wd \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
# Its manager answers once its private socket is there; then it says when it has booted.
for _ in $(seq 300); do inside test -S /run/systemd/private && break; sleep 0.1; done
state=$(inside timeout 60 systemctl is-system-running --wait 2>&1 || true)
case $state in
running | degraded) echo "booted ($state)" ;;
*) cat "$work/console.log"; fail "the container did not boot: $state"; exit 1 ;;
esac

# udev makes the TUN device every account's on a machine (0666); a container has no udev, and
# its node is its own.
inside chmod 0666 /dev/net/tun

say "Installing the package"
if ! inside dpkg -i /var/tmp/corvane.deb; then
  fail "dpkg -i"
  exit 1
fi
expect "the service runs" active "$(inside systemctl is-active corvane-tunnel.service || true)"
expect "the service starts at boot" enabled "$(inside systemctl is-enabled corvane-tunnel.service || true)"
expect "the agent's socket is enabled for users' sessions" "/usr/lib/systemd/user/corvane-agent.socket" \
  "$(inside readlink /etc/systemd/user/sockets.target.wants/corvane-agent.socket || true)"
journal=$(inside journalctl --no-pager -o cat -u corvane-tunnel.service)
expect_in "the service said which engine it runs" \
  "INFO engine /usr/libexec/corvane/sing-box: sing-box 1.12." "$journal"
expect "the socket's owner and mode" "root corvane 660" "$(inside stat -c '%U %G %a' /run/corvane/tunnel.sock || true)"
expect "the group, with no one in it" "corvane:" "$(inside getent group corvane | cut -d: -f1,4 || true)"
expect "the engine's account" "/var/lib/corvane-tunnel/engine:/usr/sbin/nologin" \
  "$(inside getent passwd corvane-engine | cut -d: -f6,7 || true)"
engine_uid=$(inside id -u corvane-engine)
((engine_uid < 1000)) && echo "ok: the engine's account is a system account" || fail "corvane-engine has uid $engine_uid"
expect "the unit is as systemd wants it" "" "$(inside systemd-analyze verify /lib/systemd/system/corvane-tunnel.service 2>&1 || true)"
exposure=$(inside systemd-analyze security --no-pager corvane-tunnel.service | sed -n 's/.*Overall exposure level for corvane-tunnel.service: \([0-9.]*\).*/\1/p')
echo "systemd-analyze security: exposure $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.0) }' || fail "the service's exposure is $exposure, more than 3.0"

say "The administrator lets a user in and trusts the operator's panel"
inside useradd --create-home --user-group alice
inside usermod -aG corvane alice
uid=$(inside id -u alice)
inside install -d -o alice -g alice -m 0700 "/run/user/$uid"
as_alice() {
  inside runuser -u alice -- env HOME=/home/alice XDG_RUNTIME_DIR="/run/user/$uid" CORVANE_CREDENTIAL_STORE=file \
    PATH=/usr/bin:/bin LANG=C.UTF-8 "$@"
}
expect "the agent's units are as systemd wants them" "" \
  "$(as_alice systemd-analyze --user verify /usr/lib/systemd/user/corvane-agent.socket /usr/lib/systemd/user/corvane-agent.service 2>&1 || true)"
# The demo panel and its fleet, in the container's network (its loopback), from the build.
nsenter --target "$leader" --net -- env CORVANE_ENGINE="$engine" \
  "$sim" --state-dir "$work/sim" --world "$world" >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 300); do grep -q '^ready' "$work/sim.log" && break; kill -0 "$sim_pid" || break; sleep 0.1; done
grep -q '^ready' "$work/sim.log" || { cat "$work/sim.log"; fail "the demo panel did not start"; exit 1; }
cp "$work/sim/tls/ca.pem" "$root/usr/local/share/ca-certificates/corvane-demo-panel.crt"
inside update-ca-certificates >/dev/null
mkdir -p "$root/etc/corvane"
cp "$work/sim/deployment.json" "$root/etc/corvane/deployment.json"
inside systemctl restart corvane-tunnel.service
# Clients choose the system service when its socket is there: it is, before anyone signs in.
for _ in $(seq 100); do inside test -S /run/corvane/tunnel.sock && break; sleep 0.1; done

say "Connecting through the installed programs"
echo demo-password | as_alice corvanectl login --panel https://127.0.0.1:8443/ --email demo@corvane.test --password-stdin
connected=$(as_alice corvanectl connect --wait 60 2>&1 || true)
expect_in "corvanectl connect" "Connected:" "$connected"
if [[ $connected != *Connected:* ]]; then
  echo "the service's journal and the engine's log:" >&2
  inside journalctl --no-pager -o cat -u corvane-tunnel.service | tail -n 20 >&2
  as_alice corvanectl logs 2>&1 | tail -n 20 >&2
  exit 1
fi
expect_in "the route once the engine chose" '"status": "connected"' "$(as_alice corvanectl status --json)"
pinned=$(as_alice corvanectl pin Tokyo reality 2>&1 || true)
expect "a pin switches the running engine" "Pinned: Reality on Tokyo" "$pinned"
# The engine measures each server through the tunnel: a delay for each of them is traffic carried.
for _ in $(seq 60); do
  delays=$(as_alice corvanectl status | sed -n '/^Delays:/,/^[A-Z]/p')
  [[ $delays == *"Reality on Tokyo: "*" ms"* && $delays == *"Hysteria2 on Amsterdam: "*" ms"* ]] && break
  sleep 0.5
done
expect_in "a delay through Tokyo" "Reality on Tokyo: " "$delays"
expect_in "a delay through Amsterdam" "Hysteria2 on Amsterdam: " "$delays"
expect "the TUN interface" "Corvane" "$(inside ip -o link show Corvane | awk -F': ' '{print $2}' || true)"
expect "the kill switch's table" "table inet corvane" "$(inside nft list tables | grep corvane || true)"

main_pid=$(inside systemctl show -p MainPID --value corvane-tunnel.service)
engine_pid=$(inside sh -c "cat /proc/$main_pid/task/*/children" | tr ' ' '\n' | grep . | head -1)
engine_status=$(inside cat "/proc/$engine_pid/status")
field() { awk -v f="$1:" '$1 == f { $1 = ""; sub(/^ /, ""); print }' <<<"$engine_status"; }
expect "the engine's program" /usr/libexec/corvane/sing-box "$(inside readlink "/proc/$engine_pid/exe")"
expect "the engine's account" "$engine_uid $engine_uid $engine_uid $engine_uid" "$(field Uid | tr '\t' ' ')"
for set in CapEff CapPrm CapBnd; do
  expect "the engine's $set: CAP_NET_ADMIN and CAP_NET_RAW only" 0000000000003000 "$(field "$set")"
done
expect "the engine cannot gain privileges" 1 "$(field NoNewPrivs)"
expect "the app leaves updates to the package manager" '"selfUpdates": false' \
  "$(as_alice corvanectl update --json 2>/dev/null | grep -o '"selfUpdates": [a-z]*' || true)"

say "Completions with the agent running"
bash_completes() {
  as_alice bash -c 'source /usr/share/bash-completion/completions/corvanectl
    COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _corvanectl; echo "${COMPREPLY[*]}"' completion "$@"
}
expect "bash: servers to pin" "auto Amsterdam Tokyo --help" "$(bash_completes corvanectl pin '')"
expect "bash: exits to route through" "original Residential\\ US" "$(bash_completes corvanectl route --exit '')"
expect "bash: sites" "Head\\ office" "$(bash_completes corvanectl site on '')"
if inside sh -c 'command -v fish' >/dev/null; then
  expect "fish: servers to pin" "Amsterdam auto Tokyo" "$(as_alice fish -c 'complete -C "corvanectl pin "' | sort -f | tr '\n' ' ' | sed 's/ $//')"
  expect "fish: sites" "Head office" "$(as_alice fish -c 'complete -C "corvanectl site on "')"
fi
if inside sh -c 'command -v zsh' >/dev/null; then
  expect "zsh: the completion parses" "" "$(inside zsh -n /usr/share/zsh/vendor-completions/_corvanectl 2>&1)"
fi

say "Upgrading it while connected (the same version again)"
agent_before=$(inside sh -c 'for exe in /proc/[0-9]*/exe; do [ "$(readlink "$exe")" = /usr/bin/corvane-agent ] && echo "$exe"; done; true')
[ -n "$agent_before" ] && echo "ok: alice's agent runs" || fail "no agent runs before the upgrade"
inside dpkg -i /var/tmp/corvane.deb >/dev/null
expect "the service was restarted" yes \
  "$([ "$(inside systemctl show -p MainPID --value corvane-tunnel.service)" != "$main_pid" ] && echo yes || true)"
expect "the block outside the tunnel held across the restart" "table inet corvane" "$(inside nft list tables | grep corvane || true)"
for _ in $(seq 50); do
  still=$(for exe in $agent_before; do inside test -e "$exe" && echo "$exe"; done || true)
  [ -z "$still" ] && break
  sleep 0.1
done
expect "the agent running the replaced program was ended" "" "$still"
expect_in "a new agent connects again" "Connected:" "$(as_alice corvanectl connect --wait 60 2>&1 || true)"

say "Removing the package while connected"
inside dpkg -r corvane
left=$(inside sh -c 'for exe in /proc/[0-9]*/exe; do readlink "$exe"; done 2>/dev/null' |
  grep -E '^/usr/(bin/corvane|libexec/corvane/)' || true)
expect "nothing of the package runs" "" "$left"
expect "the block of traffic outside the tunnel is lifted" "" "$(inside nft list tables | grep corvane || true)"
expect "the TUN interface is gone" "" "$(inside ip -o link show Corvane 2>/dev/null || true)"
expect "the service is disabled" "" "$(inside ls /etc/systemd/system/multi-user.target.wants/ | grep corvane || true)"
expect "the agent's socket is disabled" "" "$(inside ls /etc/systemd/user/sockets.target.wants/ 2>/dev/null | grep corvane || true)"
expect "the service's state stays until a purge" "yes" "$(inside test -d /var/lib/corvane-tunnel && echo yes || true)"

say "Purging it"
inside dpkg -P corvane
expect "no state" "" "$(inside ls -d /var/lib/corvane-tunnel /run/corvane 2>/dev/null || true)"
expect "systemd keeps nothing of it" "" \
  "$(inside sh -c 'ls /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-user-helper-enabled; find /etc/systemd -name "corvane*"' 2>/dev/null | grep corvane || true)"
remaining=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's#^\./#/#' | while read -r file; do
  [ -e "$root$file" ] || [ -L "$root$file" ] && echo "$file"; done || true)
expect "no file of the package is left" "" "$remaining"

if ((failures)); then
  echo "package test: $failures check(s) failed; the service's journal:" >&2
  inside journalctl --no-pager -o short-monotonic -u corvane-tunnel.service | tail -n 40 >&2 || true
  exit 1
fi
echo "package test: passed"
