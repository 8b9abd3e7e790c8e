#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The package as Debian's tools see it: lintian (nothing, at any level, but what
# its overrides justify), the desktop entries, the AppStream data, the manual
# pages (which, with the completions, know every command), and the programs:
# hardened, stripped, their debug symbols in the -dbgsym package. Then the same
# build packed again gives the same package.
#
#   lint_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$(realpath "$1") source=$(realpath "$2")
deb=$(ls "$build"/package/corvane_*.deb)
ddeb=$(ls "$build"/package/corvane-dbgsym_*.ddeb)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

echo "== lintian"
# Infos and pedantic notes count too (hardening-no-fortify-functions is one): all are fixed or overridden.
if lintian --fail-on error,warning,info,pedantic --display-info --pedantic "$deb" 2>&1 | grep -v '^running with root privileges'; then :; fi
if [ "${PIPESTATUS[0]}" -eq 0 ]; then ok "lintian"; else fail "lintian"; fi

dpkg-deb -x "$deb" "$work/deb"
dpkg-deb -x "$ddeb" "$work/ddeb"

echo "== desktop entries, AppStream data, manual pages"
for entry in "$work"/deb/usr/share/applications/*.desktop "$work"/deb/usr/share/corvane/autostart/*.desktop; do
  if out=$(desktop-file-validate "$entry" 2>&1) && [ -z "$out" ]; then ok "$(basename "$entry")"; else fail "$entry: $out"; fi
done
for data in "$work"/deb/usr/share/metainfo/*.xml; do
  if out=$(appstreamcli validate --no-net "$data" 2>&1); then ok "$(basename "$data")"; else fail "$data: $out"; fi
done
for page in "$work"/deb/usr/share/man/man*/*.gz; do
  out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  if [ -z "$out" ]; then ok "$(basename "$page")"; else fail "$page: $out"; fi
done
# Every command corvanectl knows is described in its manual page and offered by each shell's completion.
commands=$("$build/Corvane/corvanectl" --help | sed -n 's/^  corvanectl \([a-z][a-z-]*\).*/\1/p' | sort -u)
manual=$(MANWIDTH=200 man -l "$work/deb/usr/share/man/man1/corvanectl.1.gz" 2>/dev/null | col -b)
for command in $commands; do
  grep -qE "^       $command( |$)" <<<"$manual" || fail "corvanectl.1 does not describe $command"
  for completion in bash-completion/completions/corvanectl zsh/vendor-completions/_corvanectl fish/vendor_completions.d/corvanectl.fish; do
    grep -qw -- "$command" "$work/deb/usr/share/$completion" || fail "$completion does not offer $command"
  done
done
ok "corvanectl's commands are in its manual page and completions"

echo "== the programs"
before=$failures
for program in "$work"/deb/usr/bin/* "$work"/deb/usr/lib/corvane/* "$work"/deb/usr/libexec/corvane/*; do
  name=${program#"$work"/deb}
  header=$(LC_ALL=C readelf -hdlW --dyn-syms "$program")
  grep -q 'Type: *DYN' <<<"$header" || fail "$name is not position independent"
  grep -q 'GNU_RELRO' <<<"$header" || fail "$name has no RELRO segment"
  grep -qE 'BIND_NOW|FLAGS_1.*NOW' <<<"$header" || fail "$name is not bound at start (no -z now)"
  if LC_ALL=C readelf -SW "$program" | grep -q '\.debug_info'; then fail "$name keeps its debug information"; fi
  # The engine's Go code keeps its own stack in bounds, and Go's linker strips it: the rest is ours.
  if [[ $name != /usr/libexec/corvane/sing-box ]]; then
    grep -q '__stack_chk_fail' <<<"$header" || fail "$name has no stack protector"
    id=$(LC_ALL=C readelf -n "$program" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
    [ -f "$work/ddeb/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] || fail "$name: no debug symbols for build id $id"
  fi
done
((failures > before)) || ok "the programs are hardened and stripped, with their debug symbols apart"

echo "== packed again"
# The time scripts/package.sh gave it: the last commit's.
SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
(cd "$build" && cpack -G DEB -B "$work/again" >"$work/again.log" 2>&1) || { cat "$work/again.log"; fail "cpack"; }
if cmp -s "$deb" "$work/again/$(basename "$deb")"; then ok "the same build packs into the same package"; else
  fail "packed again, the package differs"
fi

((failures == 0)) || { echo "$failures check(s) failed" >&2; exit 1; }
