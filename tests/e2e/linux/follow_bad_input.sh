#!/usr/bin/env bash
# velmora-report --follow on bad input, against a writer that records as the
# program does (velmora_make_recording --live: paced rows under the folder's
# lock, written out every 100 ms): a folder that never gets a recording, a
# recording deleted under it, a row cut off mid-line, and a new run over a
# finished recording. Each gets a clear message and no crash.
# Usage: tests/e2e/linux/follow_bad_input.sh [BUILD_DIR]   (default build/linux)
# Closes with "N passed, M failed".
set -u

# shellcheck source=tools.sh
source "$(dirname "${BASH_SOURCE[0]}")/tools.sh"
use_build "follow setup" "${1:-}"
out=$(mktemp -d /tmp/velmora-follow-e2e.XXXXXX)
report=$build/velmora-report
writer=$build/bench/velmora_make_recording
[ -x "$report" ] && [ -x "$writer" ] || { fail "follow setup" "$report or $writer not built"; finish; }

# follow NAME starts velmora-report --follow --json on $out/NAME in the background.
follow() {
  mkdir -p "$out/$1"
  "$report" --follow --json "$out/$1" >"$out/$1.jsonl" 2>"$out/$1.err" &
  follower=$!
  started+=("$follower")
}
# ended SECONDS: the follower's exit status once it ends, 124 (and killed) if it has not by then.
ended() {
  local _
  for _ in $(seq 1 $(($1 * 10))); do
    kill -0 "$follower" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$follower" 2>/dev/null && { kill -KILL "$follower"; wait "$follower"; return 124; }
  wait "$follower"
}
# said NAME TEXT: the follower's stderr holds TEXT.
said() { grep -qF -- "$2" "$out/$1.err"; }
# last_packets NAME: the packets of the last --json line, or "none".
last_packets() {
  python3 -c 'import json,sys; l=[json.loads(x) for x in open(sys.argv[1])]; d=l[-1]["devices"] if l else []; print(d[0]["packets"] if d else "none")' \
    "$out/$1.jsonl" 2>/dev/null || echo unreadable
}

# No recording ever comes: it says it waits, Ctrl-C ends it with "no recording".
follow never
sleep 1.5
kill -INT "$follower"
ended 5
rc=$?
if [ "$rc" = 1 ] && said never "waiting for a recording in $out/never: no log.csv yet" &&
  said never "no recording to report (none came)" && [ "$(last_packets never)" = none ]; then
  pass "--follow on a folder that gets no recording: says it waits; Ctrl-C ends it, exit 1, no recording"
else
  fail "--follow on a folder that gets no recording" "exit $rc, stderr: $(head -c 300 "$out/never.err")"
fi

# The recording is deleted while the writer runs: said; the writer's end ends the view.
mkdir -p "$out/deleted"
"$writer" --live "$out/deleted" 1000 3 >/dev/null &
writer_pid=$!
sleep 0.3
follow deleted
sleep 1
rm "$out/deleted/log.csv"
wait "$writer_pid"
ended 5
rc=$?
if [ "$rc" = 1 ] && said deleted "$out/deleted/log.csv was deleted; waiting for a new recording there" &&
  said deleted "no recording to report (its recording was deleted while Velmora wrote it)"; then
  pass "--follow on a recording deleted under it: says so, waits, and ends with the writer, exit 1"
else
  fail "--follow on a recording deleted under it" "exit $rc, stderr: $(head -c 300 "$out/deleted.err")"
fi

# A row cut off mid-line for a second: read once whole, counted once; velmora-report
# meanwhile says the figures are partial and the row cut off.
mkdir -p "$out/cut"
"$writer" --live "$out/cut" 2000 3 --cut >/dev/null &
writer_pid=$!
sleep 0.3
follow cut
sleep 1.6
"$report" "$out/cut" >/dev/null 2>"$out/cut-report.err"
wait "$writer_pid"
ended 5
rc=$?
reported=$("$report" --json "$out/cut" 2>/dev/null | python3 -c 'import json,sys; print(json.load(sys.stdin)["devices"][0]["packets"])')
if [ "$rc" = 0 ] && [ "$(last_packets cut)" = 6000 ] && [ "$reported" = 6000 ]; then
  pass "--follow reads a row cut off mid-line once it is whole: 6000 packets, as the report"
else
  fail "--follow on a row cut off mid-line" "exit $rc, last line $(last_packets cut), report $reported: $(head -c 300 "$out/cut.err")"
fi
if grep -q "figures are partial; velmora-report --follow" "$out/cut-report.err" &&
  grep -q "the last row is cut off" "$out/cut-report.err"; then
  pass "velmora-report on a folder still being written says the figures are partial and points to --follow"
else
  fail "velmora-report on a folder still being written" "$(head -c 300 "$out/cut-report.err")"
fi

# A finished recording is followed, then a new run is written over it: starts over.
mkdir -p "$out/again"
"$writer" --live "$out/again" 1000 1 >/dev/null
follow again
sleep 0.5
"$writer" --live "$out/again" 500 2 >/dev/null
ended 5
rc=$?
if [ "$rc" = 0 ] && said again "a new run started in $out/again (log.csv was made anew): starting over" &&
  [ "$(last_packets again)" = 1000 ]; then
  pass "--follow starts over when a new run is written over the recording, and counts only the new run"
else
  fail "--follow over a new run" "exit $rc, last line $(last_packets again): $(head -c 300 "$out/again.err")"
fi
finish
