# Sourced by tests/e2e/linux/run.sh, flood.sh and scripts/run: linux_e2e_tool NAME BUILD_DIR
# prints the path of one of the programs of tests/e2e/linux. They are part of the
# build tree once the top level adds that directory; until then they are built
# on their own beside it.
linux_e2e_tool() {
  local name=$1 build=$2
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
  if [ -x "$build/tests/e2e/linux/$name" ]; then
    echo "$build/tests/e2e/linux/$name"
    return 0
  fi
  local own=$build/e2e-linux-tools
  if [ ! -x "$own/$name" ]; then
    cmake -S "$root/tests/e2e/linux" -B "$own" -G Ninja >/dev/null &&
      cmake --build "$own" >/dev/null || return 1
  fi
  echo "$own/$name"
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
# FAIL lines into passed and failed; fail reports one failure of the runner's own.
tally() {
  local line
  while IFS= read -r line; do
    echo "$line"
    case $line in
      PASS\ *) passed=$((passed + 1)) ;;
      FAIL\ *) failed=$((failed + 1)) ;;
    esac
  done
}

fail() { echo "FAIL $1"; failed=$((failed + 1)); }

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
