# shellcheck shell=bash
# Sourced by tests/e2e/linux/run.sh and flood.sh, after `set -u`: what the two
# runners share. Sets root and the counts, and brings in scripts/lib/xvfb.sh.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
# shellcheck source=../../../scripts/lib/xvfb.sh
source "$root/scripts/lib/xvfb.sh"
passed=0
failed=0
skipped=0

# use_build SETUP_NAME [BUILD_DIR] sets build (default build/linux) and velmora;
# without that directory nothing can run, so it says so and exits.
use_build() {
  local dir=${2:-$root/build/linux}
  build=$(cd "$dir" 2>/dev/null && pwd) || { echo "FAIL $1: no build directory $dir"; echo "0 passed, 1 failed"; exit 1; }
  velmora=$build/velmora
}

# linux_e2e_tool NAME prints the path of one of the programs of tests/e2e/linux,
# which the linux preset builds; fails if it is not there.
linux_e2e_tool() {
  echo "$build/tests/e2e/linux/$1"
  [ -x "$build/tests/e2e/linux/$1" ]
}

# The runners' server (needs scripts/lib/xvfb.sh): three extra master pointers give
# three XTest slave pointers; with the Xvfb mouse disabled they stand at table
# indices 1 to 3, after the core XTest pointer at index 0.
setup_server() {
  start_xvfb || return 1
  local m
  for m in Alpha Beta Gamma; do xinput create-master "$m" || return 1; done
  xinput disable "Xvfb mouse" || return 1
}

# The runners' counts: tally echoes a checker's output and counts its PASS and
# FAIL lines into passed and failed (SKIP lines into skipped); fail and skip report
# one of the runner's own.
tally() {
  local line
  while IFS= read -r line; do
    echo "$line"
    case $line in
      PASS\ *) passed=$((passed + 1)) ;;
      FAIL\ *) failed=$((failed + 1)) ;;
      SKIP\ *) skipped=$((skipped + 1)) ;;
    esac
  done
}

fail() { echo "FAIL $1"; failed=$((failed + 1)); }
skip() { echo "SKIP $1"; skipped=$((skipped + 1)); }

# Stops the server, closes with the counts and exits, non-zero on failure. The
# runner's directory out is kept for inspection only when something failed.
finish() {
  stop_xvfb
  [ "$failed" -eq 0 ] || echo "kept for inspection: $out"
  if [ "$skipped" -gt 0 ]; then echo "$passed passed, $failed failed, $skipped skipped"
  else echo "$passed passed, $failed failed"; fi
  [ "$failed" -eq 0 ] && rm -rf "$out"
  [ "$failed" -eq 0 ]
  exit $?
}

# run_mode SECONDS NAME CHECKER MODE [ARG...] runs one mode of a checker on
# velmora, at most SECONDS long, in $out/NAME with its output in $out/NAME.txt,
# and counts its results; returns the checker's status.
run_mode() {
  local seconds=$1 name=$2 checker=$3 mode=$4
  shift 4
  mkdir -p "$out/$name"
  timeout "$seconds" "$checker" "$mode" "$velmora" "$out/$name" "$@" >"$out/$name.txt" 2>>"$out/checker-stderr.txt"
  local rc=$?
  tally <"$out/$name.txt"
  [ "$rc" -le 1 ] || fail "$name: checker ended with status $rc"
  return "$rc"
}

# with_lost_server SETUP_NAME COMMAND [ARG...] runs the command, with the pid of
# a fresh server added, for a check that kills that server.
with_lost_server() {
  local name=$1
  shift
  if setup_server; then
    # The check kills this server; keep the shell from reporting it.
    disown "$VELMORA_XVFB_PID" 2>/dev/null
    "$@" "$VELMORA_XVFB_PID"
    forget_killed_xvfb "$VELMORA_XVFB_PID"
    VELMORA_XVFB_PID=
  else
    fail "$name"
  fi
}

# After a check has killed the server on purpose: waits until it is gone and
# removes the lock file and socket it leaves behind, which would otherwise keep
# its display number taken for good.
forget_killed_xvfb() {
  local pid=$1 n=${DISPLAY#:} i
  for i in $(seq 1 50); do
    # Gone, or dead and not yet reaped: the third field of stat is the state.
    case $(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null) in
      "" | Z) rm -f "/tmp/.X$n-lock" "/tmp/.X11-unix/X$n"; return 0 ;;
    esac
    sleep 0.1
  done
  return 1
}
