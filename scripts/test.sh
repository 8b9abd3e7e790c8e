#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up the machine, builds the Release and the sanitizer (Debug, ASan+UBSan)
# configurations, runs every test in both, then the demo (scripts/run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# Paths relative to the checkout let ccache reuse objects across clones.
export CCACHE_BASEDIR="$PWD"

build() {  # dir, cmake options...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
}

build build/release -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build/release --output-on-failure -j2

build build/asan -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON -DCORVANE_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j2

# The main job, end to end: a change that breaks the demo fails here.
scripts/run.sh
