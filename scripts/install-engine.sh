#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the tunnel engine, sing-box, into build/engine/ of this checkout with
# `go install` from the Go module proxy, as a position-independent executable,
# with its licence (LICENSE) and those of the Go modules compiled into it
# (modules.txt) beside it for the package. An installed engine that reports the
# right version and has both is reused, so a second run costs one version check.
#
#   ENGINE_DIR   where the binary goes (default: build/engine)
#
# --check only tells, by its exit status, whether the right engine is installed.
set -euo pipefail
cd "$(dirname "$0")/.."

# The newest 1.12 release the module proxy serves (it refuses v1.12.24).
version=1.12.23
tags=with_gvisor,with_quic,with_wireguard,with_utls,with_clash_api
dir="${ENGINE_DIR:-$PWD/build/engine}"
engine="$dir/sing-box"

# ELF type DYN: built as PIE (an ordinary executable is EXEC); NOW: bound at start, so the
# relocations can be made read-only (full RELRO); *_chk: its C parts built with _FORTIFY_SOURCE.
installed() {
  [ -x "$engine" ] && [ "$("$engine" version 2>/dev/null | head -1)" = "sing-box version $version" ] &&
    LC_ALL=C readelf -h "$engine" 2>/dev/null | grep -q 'Type: *DYN' &&
    LC_ALL=C readelf -d "$engine" 2>/dev/null | grep -q 'FLAGS.*NOW' &&
    LC_ALL=C readelf --dyn-syms -W "$engine" 2>/dev/null | grep -q '_chk@' &&
    [ -s "$dir/LICENSE" ] && [ -s "$dir/modules.txt" ]
}
if installed; then
  exit 0
fi
if [ "${1:-}" = "--check" ]; then
  exit 1
fi

if ! command -v go >/dev/null; then
  # Debian's Go may be older than the module needs; GOTOOLCHAIN=auto below
  # then fetches the required toolchain through the module proxy.
  echo "install-engine: installing Go" >&2
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends golang-go
fi

mkdir -p "$dir"
echo "install-engine: building sing-box $version into $dir" >&2
start=$(date +%s)
# The version is stamped so that the check above can recognise the binary.
# PIE and an immediately bound, read-only relocation table, and its C parts hardened, as the
# programs beside it.
GOTOOLCHAIN="${GOTOOLCHAIN:-auto}" GOBIN="$dir" GOFLAGS="-trimpath -buildvcs=false" \
  CGO_CFLAGS="-O2 -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection -fcf-protection" \
  go install -tags "$tags" -buildmode=pie \
  -ldflags "-s -w -X github.com/sagernet/sing-box/constant.Version=$version -linkmode=external -extldflags=-Wl,-z,relro,-z,now" \
  "github.com/sagernet/sing-box/cmd/sing-box@v$version"

# The licences: the engine's own, then every module the binary was built from
# (as `go version -m` lists them, replacements included) and the Go runtime's.
modcache=$(go env GOMODCACHE)
install -m 644 "$modcache/github.com/sagernet/sing-box@v$version/LICENSE" "$dir/LICENSE"
{
  echo "The engine, sing-box $version, was built from these Go modules; each one's licence follows its name."
  go version -m "$engine" |
    awk '$1 == "mod" || $1 == "dep" { if (m) print m; m = $2 " " $3 } $1 == "=>" { m = $2 " " $3 } END { if (m) print m }' |
    while read -r module module_version; do
      # The module cache writes capitals as "!" and the letter in lower case.
      escaped=$(printf '%s' "$module" | sed 's/[A-Z]/!&/g' | tr '[:upper:]' '[:lower:]')
      printf '\n== %s %s ==\n\n' "$module" "$module_version"
      found=
      for file in "$modcache/$escaped@$module_version"/{LICENSE,LICENCE,COPYING,LICENSE.md,LICENSE.txt,LICENSE-MIT,COPYING.md}; do
        if [ -f "$file" ]; then cat "$file"; found=1; fi
      done
      [ -n "$found" ] || echo "(the module holds no licence file at its root)"
    done
  printf '\n== The Go standard library and runtime (%s) ==\n\n' "$(go version -m "$engine" | head -1 | awk '{print $2}')"
  cat "$(go env GOROOT)/LICENSE"
} >"$dir/modules.txt"
echo "install-engine: $("$engine" version | head -1) built in $(( $(date +%s) - start )) s" >&2
