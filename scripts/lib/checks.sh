# shellcheck shell=bash
# Sourced by the test runners: the counts of passed, failed and skipped checks, the
# PASS/FAIL/SKIP line of each, and the closing "N passed, M failed[, K skipped]".
passed=0
failed=0
skipped=0

pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1${2:+: $2}"; failed=$((failed + 1)); }  # fail NAME [DETAIL]
skip() { echo "SKIP $1${2:+: $2}"; skipped=$((skipped + ${3:-1})); }  # skip NAME REASON [COUNT]
check() {  # check NAME COMMAND...: passes when the command succeeds
  local name=$1; shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}

# Echoes a checker's output and counts its PASS, FAIL and SKIP lines.
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

# The closing line; true when nothing failed.
summary() {
  echo "$passed passed, $failed failed$([ "$skipped" -gt 0 ] && echo ", $skipped skipped")"
  [ "$failed" -eq 0 ]
}

# Runs a command in a process group of its own, at most SECONDS long, and then
# ends whatever of that group is left, whether it finished, failed or timed out.
# Returns the command's status, 124 on timeout. While it runs, bounded_group
# names the group, for a runner's exit trap.
run_bounded() {  # run_bounded SECONDS COMMAND...
  local seconds=$1 rc
  shift
  # timeout leads a group of its own; on expiry it signals the whole group.
  timeout -k 5 "$seconds" "$@" &
  bounded_group=$!
  wait "$bounded_group"
  rc=$?
  end_bounded
  return "$rc"
}

end_bounded() {
  if [ -n "${bounded_group:-}" ]; then kill -KILL -- "-$bounded_group" 2>/dev/null; fi
  bounded_group=
}
