#!/usr/bin/env python3
"""Checks a run's log.csv and devices.csv against its log.txt, as a user's tools read them.

  check_recording.py FOLDER [--ordered] [--named] [--pacing-ms N] [--min-rows N]
                      [--interval-us N --per-device N]

Always: every log.txt record has one log.csv row with the same values, in order;
every row has a time; every sender has a devices.csv row. --ordered: times never go
back for a device. --named: every sender has a name. --pacing-ms N: the middle
interval of each device lies near N ms. --interval-us N: every interval of every
device is exactly N µs. --per-device N: every device sent exactly N packets.
--osc-dump FILE: oscdump's capture of the run's stream holds one /velmora/packet
per row with the row's values, each device's seq counting 0, 1, 2, ..., a
/velmora/drop per drop row, and a /velmora/device for each device, every one
sent at least twice with --osc-repeat. --osc-example FILE: the README's receiver
printed every packet, and no loss. Prints one line; exits 1 on a failure.
"""
import argparse
import csv
import re
import statistics
import sys

from recording_format import LOG_COLUMNS, WHEEL_FLAGS

RECORD = re.compile(
    r"Mouse: num (-?\d+), usFlags=([0-9a-f]+) ulButtons=([0-9a-f]+) usButtonFlags=([0-9a-f]+) "
    r"usButtonData=([0-9a-f]+) ulRawButtons=([0-9a-f]+) lLastX=([0-9a-f]+) lLastY=([0-9a-f]+) "
    r"ulExtraInformation=([0-9a-f]+)")
# A record's fields: log.csv's columns after the time and the handle.
FIELDS = LOG_COLUMNS[2:]


def signed(v, bits):
    return v - (1 << bits) if v >= 1 << (bits - 1) else v


def record_values(m):
    """The row a record stands for: motions signed, the wheel's data signed."""
    flags, buttons, bflags, bdata, raw, x, y, extra = (int(g, 16) for g in m.groups()[1:])
    data = signed(bdata, 16) if bflags & WHEEL_FLAGS else bdata
    return [int(m.group(1)), flags, buttons, bflags, data, raw, signed(x, 32), signed(y, 32), extra]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("folder")
    ap.add_argument("--ordered", action="store_true")
    ap.add_argument("--named", action="store_true")
    ap.add_argument("--pacing-ms", type=float)
    ap.add_argument("--min-rows", type=int, default=1)
    ap.add_argument("--osc-dump")
    ap.add_argument("--osc-repeat", action="store_true")
    ap.add_argument("--osc-example")
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
    if a.osc_dump:
        problem = check_dump(a.osc_dump, rows, devices, a.osc_repeat)
        if problem:
            return problem
    if a.osc_example:
        return check_example(a.osc_example, packets)
    return None


# oscdump's line: [time tag] address type-tags arguments (strings quoted).
DUMP = re.compile(r"^(?:[0-9a-f]+\.[0-9a-f]+ )?(/velmora/\w+) (\w+) (.*)$")
UNSIGNED = {"ulButtons", "ulRawButtons", "ulExtraInformation"}


def dump_messages(path):
    with open(path, newline="") as f:
        for line in f:
            m = DUMP.match(line.rstrip("\n"))
            if m:
                yield m.group(1), m.group(2), m.group(3)


def row_values(row, columns):
    """A row's values as the stream sends them: the unsigned 32-bit fields as int32."""
    out = []
    for k in columns:
        v = int(row[k])
        out.append(v - (1 << 32) if k in UNSIGNED and v >= 1 << 31 else v)
    return out


def check_dump(path, rows, devices, repeat):
    """The stream oscdump printed against log.csv and devices.csv."""
    packets, drops, announced = [], [], {}
    for address, tags, args in dump_messages(path):
        if address == "/velmora/packet" and tags == "h" + "i" * (len(LOG_COLUMNS) - 1) + "h":
            packets.append([int(v) for v in args.split()])
        elif address == "/velmora/drop" and tags == "hii":
            drops.append([int(v) for v in args.split()])
        elif address == "/velmora/device" and tags == "iissiii":
            m = re.fullmatch(r'(-?\d+) (-?\d+) "(.*)" "(.*)" (-?\d+) (-?\d+) (-?\d+)', args)
            if not m:
                return f"{path}: a /velmora/device that does not parse: {args}"
            announced.setdefault(m.group(1), []).append(m.groups()[1:])
        else:
            return f"{path}: an unexpected message: {address} {tags}"
    want = [r for r in rows if r["usFlags"] != ""]
    if len(packets) != len(want):
        return f"{len(packets)} /velmora/packet messages, {len(want)} packet rows in log.csv"
    seq = {}
    for n, (got, row) in enumerate(zip(packets, want), 1):
        if got[:-1] != row_values(row, LOG_COLUMNS):
            return f"packet {n}: the stream sent {got[:-1]}, log.csv has {row_values(row, LOG_COLUMNS)}"
        if got[-1] != seq.get(row["handle"], 0):
            return f"packet {n}: seq {got[-1]} of device {row['handle']}, expected {seq.get(row['handle'], 0)}"
        seq[row["handle"]] = got[-1] + 1
    want_drops = [row_values(r, LOG_COLUMNS[:3]) for r in rows if r["usFlags"] == ""]
    if drops != want_drops:
        return f"/velmora/drop messages {drops}, drop rows {want_drops}"
    for h, d in devices.items():
        ids = [str(int(d[k], 16)) if d[k] else "-1" for k in ("vendor", "product")]
        row = (d["index"], d["type"], d["name"], *ids, d["clock_us"])
        if h not in announced or any(got != row for got in announced[h]):
            return f"device {h}: /velmora/device sent {announced.get(h)}, devices.csv has {row}"
    if repeat and not any(len(a) >= 2 for a in announced.values()):
        return "no /velmora/device was sent again after a second"
    return None


def check_example(path, packets):
    """The README's receiver's lines against log.csv: handle, seq, time, motion, buttons, wheel."""
    line = re.compile(r"mouse (-?\d+) #(\d+) at (-?\d+) us: dx (-?\d+) dy (-?\d+) buttons (\d+) wheel (-?\d+)")
    with open(path) as f:
        text = f.read()
    if "lost" in text:
        return f"the receiver saw a gap: {text[text.index('lost') - 40:][:80]}"
    got = [[int(v) for v in m.groups()] for m in line.finditer(text)]
    seq, want = {}, []
    for r in packets:
        h = int(r["handle"])
        want.append([h, seq.get(h, 0), int(r["time_us"]), int(r["lLastX"]), int(r["lLastY"]),
                     int(r["usButtonFlags"]), int(r["usButtonData"])])
        seq[h] = seq.get(h, 0) + 1
    if got != want:
        n = next((i for i, (g, w) in enumerate(zip(got, want)) if g != w), min(len(got), len(want)))
        return f"the receiver printed {len(got)} packets, log.csv has {len(want)}; first difference at {n + 1}"
    return None


if __name__ == "__main__":
    try:
        problem = main()
    except (OSError, KeyError, ValueError) as e:
        problem = f"{type(e).__name__}: {e}"
    print(problem or "recording matches log.txt" + (" and the stream matches the recording"
                                                    if "--osc-dump" in sys.argv or "--osc-example" in sys.argv else ""))
    sys.exit(1 if problem else 0)
