# Sourced by tests/e2e/linux/run.sh and scripts/run: linux_e2e_tool NAME BUILD_DIR
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
