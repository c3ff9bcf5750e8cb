#!/usr/bin/env python3
"""Checks a run's log.csv and devices.csv against its log.txt, as a user's tools read them.

  check_recording.py FOLDER [--ordered] [--named] [--pacing-ms N] [--min-rows N]
                      [--interval-us N --per-device N]

Always: every log.txt record has one log.csv row with the same values, in order;
every row has a time; every sender has a devices.csv row. --ordered: times never go
back for a device. --named: every sender has a name. --pacing-ms N: the middle
interval of each device lies near N ms. --interval-us N: every interval of every
device is exactly N µs. --per-device N: every device sent exactly N packets. Prints one line; exits 1 on a failure.
"""
import argparse
import csv
import re
import statistics
import sys

RECORD = re.compile(
    r"Mouse: num (-?\d+), usFlags=([0-9a-f]+) ulButtons=([0-9a-f]+) usButtonFlags=([0-9a-f]+) "
    r"usButtonData=([0-9a-f]+) ulRawButtons=([0-9a-f]+) lLastX=([0-9a-f]+) lLastY=([0-9a-f]+) "
    r"ulExtraInformation=([0-9a-f]+)")
FIELDS = ["index", "usFlags", "ulButtons", "usButtonFlags", "usButtonData", "ulRawButtons", "lLastX", "lLastY",
          "ulExtraInformation"]


def signed(v, bits):
    return v - (1 << bits) if v >= 1 << (bits - 1) else v


def record_values(m):
    """The row a record stands for: motions signed, the wheel's data signed."""
    flags, buttons, bflags, bdata, raw, x, y, extra = (int(g, 16) for g in m.groups()[1:])
    data = signed(bdata, 16) if bflags & 0x0C00 else bdata
    return [int(m.group(1)), flags, buttons, bflags, data, raw, signed(x, 32), signed(y, 32), extra]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("folder")
    ap.add_argument("--ordered", action="store_true")
    ap.add_argument("--named", action="store_true")
    ap.add_argument("--pacing-ms", type=float)
    ap.add_argument("--min-rows", type=int, default=1)
    ap.add_argument("--interval-us", type=int)
    ap.add_argument("--per-device", type=int)
    a = ap.parse_args()

    with open(f"{a.folder}/log.txt", newline="") as f:
        records = [record_values(m) for m in RECORD.finditer(f.read())]
    with open(f"{a.folder}/log.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    with open(f"{a.folder}/devices.csv", newline="") as f:
        devices = {d["handle"]: d for d in csv.DictReader(f)}

    packets = [r for r in rows if r["usFlags"] != ""]
    if len(packets) < a.min_rows:
        return f"{len(packets)} packet rows, expected at least {a.min_rows}"
    if len(packets) != len(records):
        return f"{len(packets)} packet rows in log.csv, {len(records)} records in log.txt"
    for n, (row, rec) in enumerate(zip(packets, records), 1):
        if [int(row[k]) for k in FIELDS] != rec:
            return f"packet {n}: log.csv has {[row[k] for k in FIELDS]}, log.txt {rec}"
    last = {}
    intervals = {}
    for n, row in enumerate(rows, 2):
        h = row["handle"]
        if not re.fullmatch(r"-?\d+", row["time_us"]):
            return f"log.csv line {n}: no time"
        if h not in devices:
            return f"log.csv line {n}: device {h} is not in devices.csv"
        if a.named and not devices[h]["name"]:
            return f"device {h} has no name in devices.csv"
        t = int(row["time_us"])
        if h in last:
            if a.ordered and t < last[h]:
                return f"log.csv line {n}: time {t} goes back from {last[h]} for device {h}"
            intervals.setdefault(h, []).append(t - last[h])
        last[h] = t
    if a.per_device is not None:
        sent = {}
        for row in packets:
            sent[row["handle"]] = sent.get(row["handle"], 0) + 1
        short = {h: n for h, n in sent.items() if n != a.per_device}
        if short or not sent:
            return f"packets per device {short or sent}, expected {a.per_device} each"
    if a.interval_us is not None:
        for h, gaps in intervals.items():
            odd = [(n, g) for n, g in enumerate(gaps, 1) if g != a.interval_us]
            if odd:
                n, g = odd[0]
                return f"device {h}: {len(odd)} intervals not {a.interval_us} µs, the first after packet {n}: {g} µs"
    if a.pacing_ms is not None:
        for h, gaps in intervals.items():
            mid = statistics.median(gaps) / 1000
            if not 0.8 * a.pacing_ms <= mid <= 3 * a.pacing_ms:
                return f"device {h}: middle interval {mid:.1f} ms, paced at {a.pacing_ms} ms"
    return None


if __name__ == "__main__":
    try:
        problem = main()
    except (OSError, KeyError, ValueError) as e:
        problem = f"{type(e).__name__}: {e}"
    print(problem or "recording matches log.txt")
    sys.exit(1 if problem else 0)
