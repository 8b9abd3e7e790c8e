#!/usr/bin/env bash
# The main job: set up, build corvanectl, and print the engine configuration
# it builds for the example fleet in examples/server-list.json.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >&2
export CCACHE_BASEDIR="$PWD"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target corvanectl >&2
build/release/Corvane/corvanectl build-config --server-list examples/server-list.json
