#!/usr/bin/env bash
# Multi-mouse end-to-end tests of the Linux program on Xvfb. Three extra master
# pointers give three XTest slave pointers; the Xvfb mouse is disabled so that
# they stand at table indices 1 to 3, after the core XTest pointer at index 0.
# One check runs under a window manager (openbox) that moves the window; one runs
# the program on umockdev's fake event devices, where it picks its evdev service
# (everywhere else here there is no /dev/input, so it picks XInput2), and one where
# the mouse's node cannot be read, so that it picks XInput2 and says why.
# The flood and fault tests (flood.sh) run last and count with these.
# Usage: tests/e2e/linux/run.sh [BUILD_DIR]   (default build/linux)
set -u

# shellcheck source=tools.sh
source "$(dirname "${BASH_SOURCE[0]}")/tools.sh"
use_build setup "${1:-}"
out=$(mktemp -d /tmp/velmora-e2e-linux.XXXXXX)

[ -x "$velmora" ] || { fail "setup: $velmora not built"; finish; }
checker=$(linux_e2e_tool velmora_x11_e2e) || { fail "setup: $checker not built"; finish; }

run_checker() {  # mode, then extra arguments
  run_mode 60 "$1" "$checker" "$@"
}

if setup_server; then
  run_checker session
  run_checker close-wm
  run_checker close-int
  run_checker close-hup
  run_checker close-kill
  run_checker two-copies
  if ! command -v umockdev-run >/dev/null || ! ldconfig -p | grep -q libumockdev-preload.so.0; then
    skip "evdev: umockdev is not installed"
  else
    run_checker evdev
    run_checker evdev-denied
  fi
  # Last on this server: a window manager that moves the window with grabs.
  if command -v openbox >/dev/null; then
    openbox --sm-disable >/dev/null 2>&1 &
    wm=$!
    run_checker wm-move
    kill "$wm" 2>/dev/null
    wait "$wm" 2>/dev/null
  else
    fail "wm-move: openbox is not installed"
  fi
else
  fail "setup: Xvfb with three extra master pointers"
fi
stop_xvfb

with_lost_server "setup: Xvfb for the server-loss test" run_checker server-loss

# Flood and fault tests: their results count here, their closing line does not.
tally < <("$root/tests/e2e/linux/flood.sh" "$build" 2>&1 | grep --line-buffered -Ev '^[0-9]+ passed, [0-9]+ failed$')

finish
