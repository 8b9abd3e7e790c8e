#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the main window offscreen on the software scene graph (the same
# pixels on every machine) in its main states, at scale 1 and 2, light and dark,
# and the tray menu, the tray icons, the update dialog and each setup banner
# (states/setup/) light and dark at scale 1, into docs/screenshots/.
# Usage: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
renderer="$build/tests/Screens/Views/corvane-screenshots"
if [ ! -x "$renderer" ]; then
  cmake --build "$build" --target corvane-screenshots
fi
out=docs/screenshots
mkdir -p "$out"
states=(tests/Screens/Views/states/*.json)
for scheme in light dark; do
  for scale in 1 2; do
    suffix="-$scheme"
    [ "$scale" = 2 ] && suffix="$suffix@2x"
    QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software QT_SCALE_FACTOR=$scale \
      CORVANE_COLOR_SCHEME=$scheme CORVANE_SHOT_SUFFIX="$suffix" XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-/tmp}" \
      "$renderer" "$out" "${states[@]}" >/dev/null
  done
done
setup_states=(tests/Screens/Views/states/setup/*.json)
for scheme in light dark; do
  QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software QT_SCALE_FACTOR=1 \
    CORVANE_COLOR_SCHEME=$scheme CORVANE_SHOT_SUFFIX="-$scheme" XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-/tmp}" \
    "$renderer" "$out" "${setup_states[@]}" >/dev/null
done
ls "$out"
