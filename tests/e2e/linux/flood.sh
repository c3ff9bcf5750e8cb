#!/usr/bin/env bash
# Flood and fault tests of the Linux program on Xvfb, with the three XTest
# pointers of run.sh at table indices 1 to 3: floods of 30000 packets timed
# against a bare XInput2 listener; SIGTERM, SIGINT and a lost server mid-flood;
# a log.txt that cannot be opened; made-up packet handles among real packets.
# Usage: tests/e2e/linux/flood.sh [BUILD_DIR]   (default build/linux)
# Closes with "N passed, M failed"; run.sh runs it and counts its results.
set -u

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
build=$(cd "${1:-$root/build/linux}" 2>/dev/null && pwd) || { echo "FAIL flood setup: no build directory ${1:-$root/build/linux}"; echo "0 passed, 1 failed"; exit 1; }
velmora=$build/velmora
# shellcheck source=../../../scripts/lib/xvfb.sh
source "$root/scripts/lib/xvfb.sh"
# shellcheck source=tools.sh
source "$root/tests/e2e/linux/tools.sh"

# Timed rounds of the flood, after one to warm up; the median is checked.
ROUNDS=${VELMORA_FLOOD_ROUNDS:-7}

passed=0
failed=0
out=$(mktemp -d /tmp/velmora-flood.XXXXXX)

finish() {
  stop_xvfb
  [ "$failed" -eq 0 ] || echo "kept for inspection: $out"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && rm -rf "$out"
  [ "$failed" -eq 0 ]
  exit $?
}

[ -x "$velmora" ] || { fail "flood setup: $velmora not built"; finish; }
flood=$(linux_e2e_tool velmora_flood "$build") || { fail "flood setup: could not build velmora_flood"; finish; }
listener=$(linux_e2e_tool velmora_xi2_count "$build") || { fail "flood setup: could not build velmora_xi2_count"; finish; }

run_flood() {  # name, mode, then the mode's own arguments
  local name=$1 mode=$2
  shift 2
  mkdir -p "$out/$name"
  # Each check ends in seconds; the bound keeps a hung one from holding up the rest.
  timeout 20 "$flood" "$mode" "$velmora" "$out/$name" "$@" >"$out/$name.txt" 2>>"$out/checker-stderr.txt"
  local rc=$?
  tally <"$out/$name.txt"
  [ "$rc" -le 1 ] || fail "$name: checker ended with status $rc"
  # Logs of floods run to tens of megabytes: keep only those of failed checks.
  [ "$rc" -eq 0 ] && rm -rf "${out:?}/$name"
}

if setup_server; then
  run_flood flood flood "$listener" "$ROUNDS"
  run_flood sigterm signal TERM
  run_flood sigint signal INT
  run_flood no-log no-log
  run_flood foreign foreign
else
  fail "flood setup: Xvfb with three extra master pointers"
fi
stop_xvfb

if setup_server; then
  # The checker kills this server; keep the shell from reporting it.
  disown "$VELMORA_XVFB_PID" 2>/dev/null
  run_flood server-loss server-loss "$VELMORA_XVFB_PID"
  forget_killed_xvfb "$VELMORA_XVFB_PID"
  VELMORA_XVFB_PID=
else
  fail "flood setup: Xvfb for the server-loss test"
fi

finish
