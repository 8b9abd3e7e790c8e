#!/usr/bin/env bash
# Installs everything the project needs on Debian 12: build tools and libraries,
# the test tools, and the npm packages the tests use. Safe to run again: the
# package lists are refreshed only when something is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build ccache pkg-config git ca-certificates
  libboost1.81-dev libboost-json1.81-dev libboost-url1.81-dev
  libssl-dev libpcre2-dev libsecret-1-dev libsystemd-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-daemon gnome-keyring iproute2
  # The desktop app (Qt 6.4 Quick) and its view tests, screenshots and Xvfb runs.
  qt6-base-dev qt6-declarative-dev qt6-declarative-dev-tools qt6-svg-dev libqt6svg6 qt6-qpa-plugins
  qml6-module-qtqml qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-templates
  qml6-module-qtquick-layouts qml6-module-qtquick-window qml6-module-qtqml-workerscript
  qml6-module-qtqml-models qml6-module-qtquick-shapes qml6-module-qttest
  fonts-dejavu-core xvfb
)
# Node may come from another source than Debian (its npm then conflicts with Debian's): ask for the commands.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# npm packages for the tests (configuration schema and its validator).
if [ ! -f node_modules/.corvane-installed ] || [ package-lock.json -nt node_modules/.corvane-installed ]; then
  npm ci --no-audit --no-fund --loglevel=error
  touch node_modules/.corvane-installed
fi

if [ -x scripts/install-engine.sh ]; then
  scripts/install-engine.sh
fi
