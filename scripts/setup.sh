#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs everything the project needs on Debian 12: build tools and libraries,
# the test tools, the npm packages the tests use, and the engine. Safe to run
# again: the package lists are refreshed only when something is missing.
#
# It prints one line per step; the package manager's, npm's and Go's own output
# goes to a log file (SETUP_LOG, default build/setup.log), whose end is shown
# when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build ccache pkg-config git ca-certificates
  libboost1.81-dev libboost-json1.81-dev libboost-url1.81-dev
  libssl-dev libpcre2-dev libsecret-1-dev libsystemd-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-daemon gnome-keyring iproute2
  # The demo fetches a page through the tunnel's local proxy.
  curl
  # The kill switch's firewall table (the nft command).
  nftables
  # The fault tests step the wall clock of the real programs.
  faketime libfaketime
  # The desktop app (Qt 6.4 Quick) and its view tests, screenshots and Xvfb runs.
  qt6-base-dev libxcb1-dev qt6-declarative-dev qt6-declarative-dev-tools qt6-svg-dev libqt6svg6 qt6-qpa-plugins
  qml6-module-qtqml qml6-module-qtquick qml6-module-qtquick-layouts qml6-module-qtquick-window
  qml6-module-qtqml-workerscript qml6-module-qtqml-models qml6-module-qttest
  fonts-dejavu-core xvfb
  # The window's check for a Wayland seat before Qt starts, Qt's Wayland client, and
  # a compositor without a seat (weston's headless backend) for its test.
  libwayland-dev qt6-wayland weston
  # The desktop app's tests: an X display, a private session bus, a small
  # StatusNotifierWatcher in Python, xwininfo to see the window, and AT-SPI to
  # read and drive the window.
  xauth x11-utils python3 python3-dbus python3-gi at-spi2-core gir1.2-atspi-2.0
  # The Debian package (scripts/package.sh: cpack, dpkg-shlibdeps, file) and its checks: lintian,
  # the desktop entry's and AppStream data's validators, the shells its completions are for, and
  # systemd-nspawn, which boots a copy of this machine to install it into.
  dpkg-dev file lintian desktop-file-utils appstream zsh fish systemd-container
)
# Node may come from another source than Debian (its npm then conflicts with Debian's): ask for the commands.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

log="${SETUP_LOG:-$PWD/build/setup.log}"
mkdir -p "$(dirname "$log")"
: >"$log"

# step DESCRIPTION COMMAND...: runs COMMAND with its output in the log and says how long it took.
step() {
  local what=$1; shift
  local start=$SECONDS
  printf 'setup: %s ... ' "$what"
  echo "== $what: $*" >>"$log"
  if "$@" >>"$log" 2>&1; then
    echo "done ($((SECONDS - start)) s)"
  else
    local status=$?
    echo "failed (exit status $status)"
    echo "setup: the end of $log:"
    tail -n 40 "$log" | sed 's/^/  | /'
    exit "$status"
  fi
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "setup: the full output goes to $log"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  step "refreshing the package lists" $SUDO apt-get update
  step "installing ${#missing[@]} packages (${missing[*]})" \
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# npm packages for the tests (configuration schema and its validator).
if [ ! -f node_modules/.corvane-installed ] || [ package-lock.json -nt node_modules/.corvane-installed ]; then
  step "installing the test tools (npm ci)" npm ci --no-audit --no-fund
  touch node_modules/.corvane-installed
fi

if [ -x scripts/install-engine.sh ] && ! scripts/install-engine.sh --check; then
  step "building the engine, sing-box (a few minutes the first time)" scripts/install-engine.sh
fi
