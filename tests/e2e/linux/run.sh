#!/usr/bin/env bash
# Multi-mouse end-to-end tests of the Linux program on Xvfb. Three extra master
# pointers give three XTest slave pointers; the Xvfb mouse is disabled so that
# they stand at table indices 1 to 3, after the core XTest pointer at index 0.
# One check runs under a window manager (openbox) that moves the window; one runs
# the program on umockdev's fake event devices, where it picks its evdev service
# (everywhere else here there is no /dev/input, so it picks XInput2), one with
# eight mice at 8 kHz there, every frame logged with its exact time, and one where
# the mouse's node cannot be read, so that it picks XInput2 and says why.
# The flood and fault tests (flood.sh), with the signals and the server's loss,
# and velmora-report on a recorded session (report_e2e.sh) run last and count
# with these.
# Usage: tests/e2e/linux/run.sh [BUILD_DIR]   (default build/linux)
set -u

# shellcheck source=tools.sh
source "$(dirname "${BASH_SOURCE[0]}")/tools.sh"
use_build setup "${1:-}"
out=$(mktemp -d /tmp/velmora-e2e-linux.XXXXXX)

[ -x "$velmora" ] || { fail setup "$velmora not built"; finish; }
checker=$(linux_e2e_tool velmora_x11_e2e) || { fail setup "$checker not built"; finish; }

run_checker() {  # mode, then extra arguments
  run_mode 60 "$1" "$checker" "$@"
}

# --help and --version answer on stdout with no display, and leave log.txt as it was.
command_line_checks() {
  local dir=$out/options option rc version
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  mkdir -p "$dir"
  for option in --version --help; do
    printf 'old\r\n' >"$dir/log.txt"
    (cd "$dir" && exec env -u DISPLAY -u WAYLAND_DISPLAY "$velmora" --ignored "$option" >stdout.txt 2>stderr.txt)
    rc=$?
    if [ "$option" = --version ]; then
      [ "$(cat "$dir/stdout.txt")" = "velmora $version" ]
    else
      [ "$(head -n 1 "$dir/stdout.txt")" = "usage: velmora [--help | --version]" ]
    fi || { fail "$option prints its answer: stdout '$(head -c 200 "$dir/stdout.txt")'"; continue; }
    if [ "$rc" = 0 ] && [ ! -s "$dir/stderr.txt" ] && [ "$(cat "$dir/log.txt")" = $'old\r' ]; then
      echo "PASS $option: answers on stdout, exits 0, opens no window, leaves log.txt as it was"
      passed=$((passed + 1))
    else
      fail "$option: exit status $rc, stderr '$(head -c 200 "$dir/stderr.txt")', log.txt '$(head -c 50 "$dir/log.txt")'"
    fi
  done
}
command_line_checks

if setup_server; then
  run_checker session
  run_checker close-wm
  run_checker close-kill
  run_checker two-copies
  if ! command -v umockdev-run >/dev/null || ! ldconfig -p | grep -q libumockdev-preload.so.0; then
    skip evdev "umockdev is not installed"
  else
    run_checker evdev
    run_checker evdev-denied
    # Eight mice at 8 kHz with exact kernel times: a second of the bench's ten.
    if evdev_flood=$(linux_e2e_tool velmora_evdev_flood); then
      run_mode 120 evdev-8khz "$evdev_flood" replay 8 8000 "${VELMORA_EVDEV_SECONDS:-1}"
    else
      fail evdev-8khz "$evdev_flood not built"
    fi
  fi
  # Last on this server: a window manager that moves the window with grabs.
  if command -v openbox >/dev/null; then
    openbox --sm-disable >/dev/null 2>&1 &
    started+=($!)
    run_checker wm-move
    kill "${started[@]}" 2>/dev/null
    wait "${started[@]}" 2>/dev/null
    started=()
  else
    fail wm-move "openbox is not installed"
  fi
else
  fail setup "Xvfb with three extra master pointers"
fi
stop_xvfb

# Flood and fault tests, and a recorded session read by velmora-report: their
# results count here, their closing lines do not.
for runner in flood.sh report_e2e.sh; do
  tally < <("$root/tests/e2e/linux/$runner" "$build" 2>&1 | grep --line-buffered -Ev '^[0-9]+ passed, [0-9]+ failed')
done

finish
