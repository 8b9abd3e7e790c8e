#!/usr/bin/env bash
# Installs the tunnel engine, sing-box, into build/engine/ with Go from the Go
# module proxy. Reuses an installed engine of the right version.
set -euo pipefail
cd "$(dirname "$0")/.."

# v1.12.24 is not served by the module proxy here; v1.12.23 is the newest 1.12 release it serves.
version=1.12.23
dir="$PWD/build/engine"
engine="$dir/sing-box"

if [ -x "$engine" ] && "$engine" version 2>/dev/null | grep -q "sing-box version $version\$"; then
  exit 0
fi
command -v go >/dev/null || { echo "install-engine: Go is required to build sing-box" >&2; exit 1; }
mkdir -p "$dir"
echo "install-engine: building sing-box $version (first time only)" >&2
GOBIN="$dir" GOFLAGS=-trimpath go install \
  -tags with_gvisor,with_quic,with_wireguard,with_utls,with_clash_api \
  -ldflags "-s -w -X github.com/sagernet/sing-box/constant.Version=$version" \
  "github.com/sagernet/sing-box/cmd/sing-box@v$version"
"$engine" version | head -1 >&2
