#!/usr/bin/env bash
# velmora-report on a real session: the Linux program on Xvfb with three XTest
# pointers at table indices 1 to 3, each moved its own number of times; then
# velmora-report reads the recording beside log.txt, and each table index has as
# many packets as log.txt has records under that number. velmora-report --follow
# watches the session live, in tmux (its screen read with capture-pane) and with
# --json, and ends with the report's figures; then follow_bad_input.sh.
# Usage: tests/e2e/linux/report_e2e.sh [BUILD_DIR]   (default build/linux)
# Closes with "N passed, M failed".
set -u

# shellcheck source=tools.sh
source "$(dirname "${BASH_SOURCE[0]}")/tools.sh"
use_build "report setup" "${1:-}"
out=$(mktemp -d /tmp/velmora-report-e2e.XXXXXX)
report=$build/velmora-report
session=$out/session
mkdir -p "$session"

[ -x "$velmora" ] || { fail "report setup: $velmora not built"; finish; }
[ -x "$report" ] || { fail "report setup: $report not built"; finish; }
drive=$(linux_e2e_tool velmora_xtest_drive) || { fail "report setup: $drive not built"; finish; }
setup_server || { fail "report setup: Xvfb with three extra master pointers"; finish; }

# The live view, started before the program: it waits for the recording.
tmux_socket=velmora-follow-$$
follow_tmux() { tmux -f /dev/null -L "$tmux_socket" "$@"; }
follow_screen() { follow_tmux capture-pane -p -J -t follow; }
follow_tmux new-session -d -s follow -x 240 -y 40 \
  "'$report' --follow '$session' 2>&1; echo \$? >'$out/follow-rc'; sleep 120"
"$report" --follow --json "$session" >"$out/follow.jsonl" 2>"$out/follow-json-stderr.txt" &
follow_json=$!
started+=("$follow_json")
sleep 0.5

(cd "$session" && exec "$velmora" >stdout.txt 2>stderr.txt) &
pid=$!
wait_velmora_window
sleep 0.3  # the window takes the focus once mapped

# Alpha, Beta and Gamma stand at indices 1, 2 and 3: 30, 45 and 60 motions, in
# bursts with pauses between, so that the session has runs and rests. Alpha's
# come every 20 ms, as a 50 Hz mouse sends them; the others' as fast as XTest can.
declare -A moves=([1]=30 [2]=45 [3]=60)
masters=(Alpha Beta Gamma)
for burst in 1 2 3; do
  for index in 1 2 3; do
    id=$(xinput list --id-only "${masters[index - 1]} XTEST pointer")
    n=$((moves[$index] / 3))
    pace=()
    [ "$index" -eq 1 ] && pace=(--every-ms 20)
    "$drive" "${pace[@]}" "$id" $(for _ in $(seq 1 "$n"); do printf '%s ' "$((index + 1)),-1"; done)
  done
  sleep 0.6  # the view shows a packet within half a second
  follow_screen >"$out/screen-$burst.txt"
done
sleep 0.5
kill -TERM "$pid"
wait "$pid"
rc=$?
[ "$rc" -eq 0 ] || fail "the program ended with status $rc"
for _ in $(seq 1 50); do
  [ -s "$out/follow-rc" ] && ! kill -0 "$follow_json" 2>/dev/null && break
  sleep 0.1
done

if [ -f "$session/log.csv" ] && [ -f "$session/devices.csv" ]; then
  pass "the program wrote log.csv and devices.csv"
else
  fail "no log.csv or devices.csv beside log.txt"; finish
fi

# The XInput2 service's recording: rows equal records, and no device's times go back.
if problem=$(python3 "$root/tests/e2e/check_recording.py" "$session" --ordered --named --min-rows 135); then
  pass "XInput2: log.csv holds log.txt's records with their times, in order for each device; devices.csv names them"
else
  fail "XInput2: log.csv against log.txt" "$problem"
fi

if "$report" --json "$session" >"$out/report.json" 2>"$out/report-stderr.txt"; then
  pass "velmora-report reads the session"
else
  fail "velmora-report: $(cat "$out/report-stderr.txt")"; finish
fi
check "report.html beside the recording" test -s "$session/report.html"

# Packets per table index in the report, against "Mouse: num K," records in log.txt.
counted "packets per index in the report" python3 - "$out/report.json" "$session/log.txt" "${moves[1]}" "${moves[2]}" "${moves[3]}" <<'PY'
import collections, json, os, re, sys
devices = json.load(open(sys.argv[1]))["devices"]
counts = collections.Counter()
def check(ok, name):
    counts[ok] += 1
    print("%s %s" % ("PASS" if ok else "FAIL", name))
reported = collections.Counter()
for d in devices:
    reported[d["index"]] += d["packets"]
logged = collections.Counter(int(m) for m in re.findall(r"^Mouse: num (-?\d+),", open(sys.argv[2], encoding="latin-1").read(), re.M))
for index in sorted(set(reported) | set(logged)):
    check(reported[index] == logged[index], "index %d: %d packets in the report, %d records in log.txt" % (index, reported[index], logged[index]))
for index, moved in zip((1, 2, 3), map(int, sys.argv[3:6])):
    check(reported[index] == moved, "index %d: %d packets for %d motions" % (index, reported[index], moved))
# Alpha's motions came 20 ms apart: the server's millisecond times show it.
alpha = [d for d in devices if d["index"] == 1]
median = alpha[0]["interval_median_us"] if alpha else None
check(median is not None and 18000 <= median <= 40000, "XInput2: motions paced at 20 ms show a median interval of %s us" % median)
open(os.environ["VELMORA_COUNTS"], "w").write("%d %d 0\n" % (counts[True], counts[False]))
PY

# The live view: a row for each of indices 1 to 3, whose counts grew burst by
# burst; it ends, once the program is closed, with the report's own table.
"$report" "$session" >"$out/report.txt" 2>/dev/null
wait "$follow_json"
follow_json_rc=$?
follow_screen >"$out/screen-end.txt"
follow_tmux kill-server 2>/dev/null
counted "the live view" python3 - "$out" "$(cat "$out/follow-rc" 2>/dev/null)" "$follow_json_rc" <<'PY'
import collections, json, os, sys
out, rc, json_rc = sys.argv[1:4]
counts = collections.Counter()
def check(ok, name):
    counts[ok] += 1
    print("%s %s" % ("PASS" if ok else "FAIL", name))
def rows(screen):
    counts = {}
    for line in open(os.path.join(out, screen), encoding="utf-8", errors="replace"):
        fields = line[31:].split()
        if line[:5].strip() in ("1", "2", "3") and fields and fields[0].isdigit():
            counts[int(line[:5])] = int(fields[0])
    return counts
screens = [rows("screen-%d.txt" % burst) for burst in (1, 2, 3)]
grew = all(i in s for s in screens for i in (1, 2, 3)) and all(
    screens[k][i] < screens[k + 1][i] for k in (0, 1) for i in (1, 2, 3))
check(grew, "--follow: rows for indices 1 to 3 appear and their packets grow burst by burst (%s)"
      % " / ".join(str(dict(sorted(s.items()))) for s in screens))
report = open(os.path.join(out, "report.txt")).read().rstrip("\n").split("\n")
screen = [l.rstrip() for l in open(os.path.join(out, "screen-end.txt"), encoding="utf-8").read().rstrip().split("\n")]
ends = screen[-len(report):] == [l.rstrip() for l in report]
check(ends and rc == "0", "--follow ends, once the program is closed, with velmora-report's table (exit %s)" % rc)
lines = [json.loads(l) for l in open(os.path.join(out, "follow.jsonl"))]
final = {d["index"]: d["packets"] for d in lines[-1]["devices"]} if lines else {}
REPORTED = {d["index"]: d["packets"] for d in json.load(open(os.path.join(out, "report.json")))["devices"]}
check(bool(lines) and all("time_s" in l and "devices" in l for l in lines) and bool(lines[-1].get("final")),
      "--follow --json: %d lines parse, each with time_s and devices, the last one final" % len(lines))
check(json_rc == "0" and bool(final) and final == REPORTED,
      "--follow --json: the last counts equal the report's %s (exit %s)" % (final, json_rc))
open(os.environ["VELMORA_COUNTS"], "w").write("%d %d 0\n" % (counts[True], counts[False]))
PY
counted "--follow on bad input" "$root/tests/e2e/linux/follow_bad_input.sh" "$build"
finish
