#!/usr/bin/env bash
# Multi-mouse end-to-end tests of the Linux program on Xvfb. Three extra master
# pointers give three XTest slave pointers; the Xvfb mouse is disabled so that
# they stand at table indices 1 to 3, after the core XTest pointer at index 0.
# The flood and fault tests (flood.sh) run last and count with these.
# Usage: tests/e2e/linux/run.sh [BUILD_DIR]   (default build/linux)
set -u

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
build=$(cd "${1:-$root/build/linux}" 2>/dev/null && pwd) || { echo "FAIL setup: no build directory ${1:-$root/build/linux}"; echo "0 passed, 1 failed"; exit 1; }
velmora=$build/velmora
# shellcheck source=../../../scripts/lib/xvfb.sh
source "$root/scripts/lib/xvfb.sh"
# shellcheck source=tools.sh
source "$root/tests/e2e/linux/tools.sh"

passed=0
failed=0
out=$(mktemp -d /tmp/velmora-e2e-linux.XXXXXX)

finish() {
  stop_xvfb
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && rm -rf "$out"
  [ "$failed" -eq 0 ]
  exit $?
}

[ -x "$velmora" ] || { fail "setup: $velmora not built"; finish; }
checker=$(linux_e2e_tool velmora_x11_e2e "$build") || { fail "setup: could not build the checker"; finish; }

run_checker() {  # mode, then extra arguments
  local mode=$1
  shift
  timeout 60 "$checker" "$mode" "$velmora" "$out/$mode" "$@" >"$out/$mode.txt" 2>>"$out/checker-stderr.txt"
  local rc=$?
  tally <"$out/$mode.txt"
  [ "$rc" -le 1 ] || fail "$mode: checker ended with status $rc"
}

if setup_server; then
  run_checker session
  run_checker close-wm
  run_checker close-int
else
  fail "setup: Xvfb with three extra master pointers"
fi
stop_xvfb

if setup_server; then
  # The checker kills this server; keep the shell from reporting it.
  disown "$VELMORA_XVFB_PID" 2>/dev/null
  run_checker server-loss "$VELMORA_XVFB_PID"
  forget_killed_xvfb "$VELMORA_XVFB_PID"
  VELMORA_XVFB_PID=
else
  fail "setup: Xvfb for the server-loss test"
fi

# Flood and fault tests: their results count here, their closing line does not.
tally < <("$root/tests/e2e/linux/flood.sh" "$build" 2>&1 | grep --line-buffered -Ev '^[0-9]+ passed, [0-9]+ failed$')

[ "$failed" -eq 0 ] || echo "kept for inspection: $out"
finish
