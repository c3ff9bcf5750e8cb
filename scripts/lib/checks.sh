# shellcheck shell=bash
# Sourced by the test runners: the counts of passed, failed and skipped checks, the
# PASS/FAIL/SKIP line of each, and the closing "N passed, M failed[, K skipped]".
# A runner hands its counts on in a file, "PASSED FAILED SKIPPED", named by the
# environment variable VELMORA_COUNTS; counted reads them.
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

# counted NAME COMMAND...: runs a runner or checker that writes its counts to the
# file $VELMORA_COUNTS, and adds them to these. One that writes none, or ends with
# a non-zero status and no failure counted, counts one failure. Returns its status.
counted() {
  local name=$1 file rc p f s
  shift
  file=$(mktemp)
  VELMORA_COUNTS=$file "$@"
  rc=$?
  read -r p f s <"$file" || { p=0 f=1 s=0; echo "FAIL $name: wrote no counts (status $rc)"; }
  rm -f "$file"
  [ "$rc" -ne 0 ] && [ "$f" -eq 0 ] && { f=1; echo "FAIL $name: ended with status $rc"; }
  passed=$((passed + p)); failed=$((failed + f)); skipped=$((skipped + s))
  return "$rc"
}

# The closing line, and the counts for the caller's counted; true when nothing failed.
summary() {
  echo "$passed passed, $failed failed$([ "$skipped" -gt 0 ] && echo ", $skipped skipped")"
  [ -z "${VELMORA_COUNTS:-}" ] || echo "$passed $failed $skipped" >"$VELMORA_COUNTS"
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
