#!/usr/bin/env python3
"""velmora-report --follow --json on a folder that a paced writer fills: its
processor share (user and system time over its run), peak resident memory, and
how far behind the writer its lines are.

  follow_bench.py REPORT WRITER FOLDER ROWS_PER_SECOND SECONDS

The view starts first and waits for the recording, as a user would start it;
the writer (WRITER --live FOLDER ROWS_PER_SECOND SECONDS) starts half a second later.

The writer (velmora_make_recording --live) stamps each row with the steady
clock's microseconds when it is due, and this clock (time.monotonic) is the
same one. At each line of output, the oldest row written but not yet counted
has waited `lag`: how far the view trails the recording when it is drawn. A row
shows in the terminal view at the first redraw after it is read, so within lag
plus one tick (100 ms) of being due.
"""
import json
import os
import subprocess
import sys
import time

report, writer, folder, rate, seconds = sys.argv[1:6]
total = int(float(rate) * float(seconds))
os.makedirs(folder, exist_ok=True)
time_file = os.path.join(os.path.dirname(os.path.abspath(folder)), os.path.basename(folder) + "-time")
start = time.monotonic()
follow = subprocess.Popen(["/usr/bin/time", "-f", "%U %S %M", "-o", time_file, report, "--follow", "--json", folder],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
time.sleep(0.5)
writing = subprocess.Popen([writer, "--live", folder, rate, seconds], stdout=subprocess.DEVNULL)
seen = []  # (arrival, packets)
for line in follow.stdout:
    arrival = time.monotonic()
    devices = json.loads(line)["devices"]
    seen.append((arrival, devices[0]["packets"] if devices else 0))
follow.wait()
wall = time.monotonic() - start
writing.wait()
user, system, kib = open(time_file).read().split()
share = (float(user) + float(system)) / wall * 100

due = []
with open(os.path.join(folder, "log.csv")) as log:
    next(log)
    for row in log:
        due.append(int(row.split(",", 1)[0]) / 1e6)
lags = []
for arrival, packets in seen[:-1]:  # the last line comes after the writer ended
    lags.append(max(0.0, arrival - due[packets]) if packets < len(due) else 0.0)
lags.sort()
final = seen[-1][1] if seen else None
lag_max = lags[-1] * 1000 if lags else float("nan")
print("follow ran %.1f s: processor %.1f%% of one core (goal at most 10), peak resident %d MB (goal under 64)"
      % (wall, share, int(kib) // 1024))
print("lines: %d; the view trailed the writer by median %.0f ms, at most %.0f ms; a row shows within %.0f ms "
      "(goal 500); last count %s of %d rows"
      % (len(seen), lags[len(lags) // 2] * 1000 if lags else float("nan"), lag_max, lag_max + 100, final, total))
ok = follow.returncode == 0 and writing.returncode == 0 and final == total == len(due) and share <= 10 and int(kib) < 64 * 1024 and lag_max + 100 <= 500
sys.exit(0 if ok else 1)
