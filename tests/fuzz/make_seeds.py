#!/usr/bin/env python3
"""Writes the seed corpus of velmora_fuzz_packets into tests/fuzz/seeds/.

The layout is the one described at the top of fuzz_packets.cpp; keep the two
in step. Run it again after changing that layout.
"""
import os
import struct

SEEDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")

DIRECT, REALLOC_FAILS, SIZE, QUERY_RESULT, FETCH_RESULT, UNKNOWN = 0x04, 0x08, 0x10, 0x20, 0x40, 0x80


def setup(flags=0, operands=b"", devices=()):
    out = bytes([flags]) + operands + bytes([len(devices)])
    for handle, dev_type in devices:
        out += struct.pack("<IB", handle, dev_type)
    return out


def rawmouse(flags=0, buttons=0, raw_buttons=0, dx=0, dy=0, extra=0):
    # usFlags, two bytes of padding, then the 32-bit fields.
    return struct.pack("<HxxIIiiI", flags, buttons, raw_buttons, dx, dy, extra)


def mouse_from_table(index, mouse, change=0, bits=0, tail=b""):
    return bytes([0 | bits, index]) + mouse + struct.pack("<b", change) + tail


def mouse_from_handle(handle, mouse, change=0, bits=0, tail=b""):
    return bytes([1 | bits]) + struct.pack("<I", handle) + mouse + struct.pack("<b", change) + tail


def raw_bytes(data, bits=0, tail=b""):
    return bytes([2 | bits]) + struct.pack("<H", len(data)) + data + tail


def other(handle, packet_type, bits=0, tail=b""):
    return bytes([3 | bits]) + struct.pack("<II", handle, packet_type) + tail


EXAMPLE_DEVICES = [(0x11, 0), (0x12, 0), (0x13, 0), (0x14, 0), (0x20, 1), (0x30, 2)]

seeds = {
    # Every table index, both ways of delivery, a wheel and a negative motion.
    "mice_moving": setup(devices=EXAMPLE_DEVICES)
    + mouse_from_table(0, rawmouse(dx=5, dy=5))
    + mouse_from_table(1, rawmouse(dx=-1, dy=2))
    + mouse_from_table(2, rawmouse(buttons=0x00780400, dx=300, dy=-300), bits=DIRECT)
    + mouse_from_table(3, rawmouse(flags=1, buttons=1, raw_buttons=1, dx=-9999, dy=9999, extra=7))
    + mouse_from_handle(0x99, rawmouse(dx=1, dy=1)),
    # Announced sizes and results that disagree with the packet, a failed
    # reallocation, a packet cut short of its mouse fields, an unknown handle.
    "size_games": setup(devices=EXAMPLE_DEVICES[:2])
    + mouse_from_table(1, rawmouse(dx=1), bits=SIZE, tail=struct.pack("<H", 10))
    + mouse_from_table(1, rawmouse(dx=1), bits=SIZE, tail=struct.pack("<H", 64))
    + mouse_from_table(1, rawmouse(dx=1), bits=SIZE | FETCH_RESULT, tail=struct.pack("<HI", 64, 64))
    + mouse_from_table(1, rawmouse(dx=1), bits=QUERY_RESULT, tail=struct.pack("<I", 0xFFFFFFFF))
    + mouse_from_table(1, rawmouse(dx=1), change=-10)
    + mouse_from_table(1, rawmouse(dx=1), change=100, bits=REALLOC_FAILS)
    + mouse_from_table(1, rawmouse(dx=1), bits=UNKNOWN),
    # Packets that are not mouse packets, and bare bytes.
    "other_packets": setup(devices=EXAMPLE_DEVICES)
    + other(0x20, 1)
    + other(0x30, 2, bits=DIRECT)
    + raw_bytes(bytes(range(48)))
    + raw_bytes(b"\x00" * 20),
    # Twelve devices with repeats, nulls and odd types, so that the table fills.
    "crowded_table": setup(devices=[(0x11, 0), (0x11, 0), (0, 0), (0x80000001, 0), (7, 3), (8, 255)]
                           + [(0x40 + i, 0) for i in range(6)])
    + mouse_from_table(0, rawmouse(dx=2))
    + mouse_from_table(3, rawmouse(dy=2))
    + mouse_from_table(11, rawmouse(dx=-2)),
    # Start-up failures, then packets that must be refused or handled all the same.
    "refused_registration": setup(0x20 | 0x10, bytes([2]) + struct.pack("<I", 5), devices=EXAMPLE_DEVICES)
    + mouse_from_table(1, rawmouse(dx=3)),
    "no_service": setup(0x01, devices=EXAMPLE_DEVICES) + mouse_from_table(1, rawmouse(dx=3)),
    "tiny_window": setup(0x80, struct.pack("<BB", 3, 0), devices=EXAMPLE_DEVICES)
    + mouse_from_table(1, rawmouse(dx=50, dy=50))
    + mouse_from_table(2, rawmouse(dx=-50, dy=-50)),
}

os.makedirs(SEEDS, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(SEEDS, name), "wb") as f:
        f.write(data)
