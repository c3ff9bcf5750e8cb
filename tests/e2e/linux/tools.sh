# shellcheck shell=bash
# Sourced by tests/e2e/linux/run.sh and flood.sh, after `set -u`: what the two
# runners share. Sets root, brings in scripts/lib/xvfb.sh and checks.sh, and ends
# what the runner started when it exits, however it exits.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
# shellcheck source=../../../scripts/lib/xvfb.sh
source "$root/scripts/lib/xvfb.sh"
# shellcheck source=../../../scripts/lib/checks.sh
source "$root/scripts/lib/checks.sh"
started=()  # the runner's own background programs
trap 'end_bounded; kill "${started[@]}" 2>/dev/null; stop_xvfb' EXIT
trap 'exit 130' INT TERM HUP

# use_build SETUP_NAME [BUILD_DIR] sets build (default build/linux) and velmora;
# without that directory nothing can run, so it says so and exits.
use_build() {
  local dir=${2:-$root/build/linux}
  build=$(cd "$dir" 2>/dev/null && pwd) || { fail "$1" "no build directory $dir"; summary; exit 1; }
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

# Stops the server, closes with the counts and exits, non-zero on failure. The
# runner's directory out is kept for inspection only when something failed.
finish() {
  stop_xvfb
  if [ "$failed" -eq 0 ]; then rm -rf "$out"; else echo "kept for inspection: $out"; fi
  summary
  exit $?
}

# run_mode SECONDS NAME CHECKER MODE [ARG...] runs one mode of a checker on
# velmora, at most SECONDS long, in $out/NAME with its output in $out/NAME.txt,
# and counts its results; returns the checker's status. The checker and all it
# started (velmora) end with it.
run_mode() {
  local seconds=$1 name=$2 checker=$3 mode=$4
  shift 4
  mkdir -p "$out/$name"
  counted "$name" run_bounded "$seconds" "$checker" "$mode" "$velmora" "$out/$name" "$@" >"$out/$name.txt" 2>>"$out/checker-stderr.txt"
  local rc=$?
  cat "$out/$name.txt"
  return "$rc"
}

# with_lost_server SETUP_NAME COMMAND [ARG...] runs the command, with the pid of
# a fresh server added, for a check that kills that server; the server is ended
# afterwards if the check did not.
with_lost_server() {
  local name=$1
  shift
  if setup_server; then
    # The check kills this server; keep the shell from reporting it.
    disown "$VELMORA_XVFB_PID" 2>/dev/null
    "$@" "$VELMORA_XVFB_PID"
  else
    fail "$name"
  fi
  stop_xvfb
}
