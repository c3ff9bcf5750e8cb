#!/usr/bin/env bash
# Flood and fault tests of the Linux program on Xvfb, with the three XTest
# pointers of run.sh at table indices 1 to 3: floods of 30000 packets timed
# against a bare XInput2 listener; SIGTERM, SIGINT, SIGHUP and a lost server mid-flood;
# a log.txt that cannot be opened; made-up and stale packet handles among real
# packets.
# Usage: tests/e2e/linux/flood.sh [BUILD_DIR]   (default build/linux)
# Closes with "N passed, M failed"; run.sh runs it and counts its results.
set -u

# shellcheck source=tools.sh
source "$(dirname "${BASH_SOURCE[0]}")/tools.sh"
use_build "flood setup" "${1:-}"

# Timed rounds of the flood, after one to warm up; the median is checked.
ROUNDS=${VELMORA_FLOOD_ROUNDS:-7}

out=$(mktemp -d /tmp/velmora-flood.XXXXXX)

[ -x "$velmora" ] || { fail "flood setup" "$velmora not built"; finish; }
flood=$(linux_e2e_tool velmora_flood) || { fail "flood setup" "$flood not built"; finish; }
listener=$(linux_e2e_tool velmora_xi2_count) || { fail "flood setup" "$listener not built"; finish; }

run_flood() {  # name, mode, then the mode's own arguments
  local name=$1
  shift
  # Each check ends in seconds, waiting for states; the bound only ends a hung one.
  # Logs of floods run to tens of megabytes: keep only those of failed checks.
  run_mode 120 "$name" "$flood" "$@" && rm -rf "${out:?}/$name"
}

if setup_server; then
  run_flood flood flood "$listener" "$ROUNDS"
  run_flood sigterm signal TERM
  run_flood sigint signal INT
  run_flood sighup signal HUP
  run_flood no-log no-log
  run_flood foreign foreign
else
  fail "flood setup" "Xvfb with three extra master pointers"
fi
stop_xvfb

with_lost_server "flood setup: Xvfb for the server-loss test" run_flood server-loss server-loss

finish
