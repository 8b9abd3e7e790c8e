#!/usr/bin/env bash
# Installs the tunnel engine, sing-box, into build/engine/ of this checkout with
# `go install` from the Go module proxy. An installed engine that reports the
# right version is reused, so a second run costs one version check.
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

if [ -x "$engine" ] && [ "$("$engine" version 2>/dev/null | head -1)" = "sing-box version $version" ]; then
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
GOTOOLCHAIN="${GOTOOLCHAIN:-auto}" GOBIN="$dir" GOFLAGS="-trimpath -buildvcs=false" \
  go install -tags "$tags" \
  -ldflags "-s -w -X github.com/sagernet/sing-box/constant.Version=$version" \
  "github.com/sagernet/sing-box/cmd/sing-box@v$version"
echo "install-engine: $("$engine" version | head -1) built in $(( $(date +%s) - start )) s" >&2
