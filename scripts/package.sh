#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package from the Release build (build/release, the one the
# tests run): corvane_VERSION_ARCH.deb and its debug symbols,
# corvane-dbgsym_VERSION_ARCH.ddeb, in build/release/package/. It builds only
# what the package holds, and only what changed; the files carry the last
# commit's time (SOURCE_DATE_EPOCH), so the same commit gives the same package.
#
#   scripts/package.sh [--no-build] [BUILD_DIR]
#
# --no-build packs BUILD_DIR (default build/release) as it is: the tests do,
# after their build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=true
if [ "${1:-}" = --no-build ]; then build=false; shift; fi
dir=${1:-build/release}
mkdir -p "$dir"
log=$dir/package.log
: >"$log"

# step DESCRIPTION COMMAND...: runs COMMAND with its output in the log and says how long it took.
step() {
  local what=$1; shift
  local start=$SECONDS
  printf 'package: %s ... ' "$what"
  if "$@" >>"$log" 2>&1; then
    echo "done ($((SECONDS - start)) s)"
  else
    echo "failed; the end of $log:"
    tail -n 40 "$log" | sed 's/^/  | /'
    exit 1
  fi
}

if $build; then
  scripts/setup.sh
  # Paths relative to the checkout let ccache reuse objects across clones.
  export CCACHE_BASEDIR="$PWD"
  step "configuring $dir (Release)" cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release
  step "building what the package holds" cmake --build "$dir" --target corvane_package_contents
fi

export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}"
rm -rf "$dir/package"
step "making the package" sh -c 'cd "$1" && cpack -G DEB' cpack "$dir"
for file in "$dir"/package/*.deb "$dir"/package/*.ddeb; do
  echo "  $file ($(du -h "$file" | cut -f1))"
done
