#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the fuzz targets (fuzz/) with Clang 14 and libFuzzer, under AddressSanitizer and
# UndefinedBehaviorSanitizer, in build/fuzz (only the targets and what they link), and
# runs each for a given time.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      SECONDS per target (default 60); all targets by default
#   scripts/fuzz.sh --reproduce TARGET FILE    runs one input again, with the sanitizers' report
#   scripts/fuzz.sh --list                     the targets
#
# Each run grows build/fuzz/corpus/TARGET, seeded from fuzz/corpus/TARGET and
# fuzz/findings/TARGET. An input that breaks a property, crashes, leaks or hangs is
# saved under build/fuzz/findings/TARGET/; the script ends with status 1 when any
# target found one.
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_BASEDIR="$PWD"

build=build/fuzz
targets_all=$(sed -n '/^set(CORVANE_FUZZ_CORE_TARGETS/,/)/p;/^set(CORVANE_FUZZ_TARGETS/p;/list(APPEND CORVANE_FUZZ_TARGETS/p' fuzz/CMakeLists.txt |
  tr -d '()' | tr ' ' '\n' | grep -E '^[a-z0-9_]+$' | grep -v -E '^(set|list|APPEND)$' || true)

if [ "${1:-}" = "--list" ]; then
  echo "$targets_all"
  exit 0
fi

# Clang 14 with its libFuzzer runtime (Debian: clang-14, libclang-rt-14-dev).
if ! command -v clang++-14 >/dev/null || ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ]; then
    echo "fuzz: installing clang-14 and libclang-rt-14-dev"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends clang-14 libclang-rt-14-dev >/dev/null
  else
    echo "fuzz: needs Clang 14 and libFuzzer: sudo apt-get install clang-14 libclang-rt-14-dev" >&2
    exit 2
  fi
fi

configure() {
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCORVANE_FUZZ=ON -DCORVANE_SANITIZE=ON \
    -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=OFF -DCORVANE_BUILD_DESKTOP=OFF >/dev/null
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

if [ "${1:-}" = "--reproduce" ]; then
  [ $# -eq 3 ] || { echo "usage: scripts/fuzz.sh --reproduce TARGET FILE" >&2; exit 2; }
  configure
  cmake --build "$build" --target "fuzz_$2"
  exec "$build/fuzz/fuzz_$2" "$3"
fi

seconds=60
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
targets=${*:-$targets_all}

configure
cmake --build "$build" --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done)

failed=()
for t in $targets; do
  corpus="$build/corpus/$t" found="$build/findings/$t"
  mkdir -p "$corpus" "$found"
  for seeds in "fuzz/corpus/$t" "fuzz/findings/$t"; do
    [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
  done
  echo "fuzz: $t for ${seconds} s"
  if ! "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$found/" "$corpus" >"$build/$t.log" 2>&1; then
    failed+=("$t")
    echo "fuzz: $t found a problem: $(ls -t "$found" | head -n 1) (log: $build/$t.log)"
  fi
  grep -E '^stat::number_of_executed_units' "$build/$t.log" | sed "s/^/  /" || true
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}; reproduce one with scripts/fuzz.sh --reproduce TARGET FILE"
  exit 1
fi
echo "fuzz: no findings"
