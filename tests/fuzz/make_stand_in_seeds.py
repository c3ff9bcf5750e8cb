#!/usr/bin/env python3
"""Writes the seed corpora of velmora_fuzz_translators (tests/fuzz/translator_seeds/)
and velmora_fuzz_contracts (tests/fuzz/contract_seeds/).

The layouts are the ones described at the top of fuzz_translators.cpp and
fuzz_contracts.cpp; keep them in step. Run it again after changing a layout.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
INT_MIN, INT_MAX = -(2**31), 2**31 - 1

# ---- evdev ------------------------------------------------------------------
EV_SYN, EV_KEY, EV_REL, EV_ABS, EV_MSC = 0, 1, 2, 3, 4
REL_X, REL_Y, REL_HWHEEL, REL_WHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES = 0, 1, 6, 8, 0x0B, 0x0C
ABS_X, ABS_Y = 0, 1
BTN_LEFT, BTN_RIGHT, BTN_SIDE, BTN_EXTRA = 0x110, 0x111, 0x113, 0x114
(REL_XY, WHEEL, WHEEL_HI, HWHEEL, HWHEEL_HI, ABS_XY, LEFT, FINGER) = (
    0x3, 0x4, 0x8, 0x10, 0x20, 0xC0, 0x100, 0x200)
MOUSE = REL_XY | WHEEL | HWHEEL | LEFT
TABLET = ABS_XY | LEFT


def evdev(caps, x_range, y_range, start, events):
    out = bytes([0]) + struct.pack("<H4i2i", caps, *x_range, *y_range, *start)
    for ev_type, code, value in events:
        out += struct.pack("<BHi", ev_type, code, value)
    return out


def resync(x, y):
    return (0x80, x, y)


SYN = (EV_SYN, 0, 0)

# ---- XInput2 ----------------------------------------------------------------
MOTION, PRESS, RELEASE, DESCRIBE = 0, 1, 2, 3
NAN, NEG_NAN, INF, NEG_INF, BIG, NEG_BIG = range(6)  # tags of kSpecial


def val(v):
    """A value: a small whole number, a raw double, or ("special", tag)."""
    if isinstance(v, tuple):
        return bytes([v[1]])
    if isinstance(v, int) and -56 <= v <= 55:
        return bytes([v + 72])
    return bytes([0x80]) + struct.pack("<d", float(v))


def special(tag):
    return ("special", tag)


def describe(device, x_axis, y_axis):
    out = bytes([DESCRIBE, device])
    for absolute, lo, hi, pos in (x_axis, y_axis):
        out += bytes([absolute]) + val(lo) + val(hi) + val(pos)
    return out


def raw(kind, device, button=0, valuators=(), bits=0):
    mask = bytearray(4)
    values = b""
    for number, value in valuators:
        mask[number // 8] |= 1 << (number % 8)
        values += val(value)
    return bytes([kind | bits, device, button, len(mask)]) + bytes(mask) + values


translator_seeds = {
    "evdev_mouse": evdev(MOUSE, (0, 0), (0, 0), (0, 0), [
        (EV_REL, REL_X, 3), (EV_REL, REL_Y, -1), (EV_KEY, BTN_LEFT, 1), SYN,
        (EV_REL, REL_WHEEL, 1), (EV_REL, REL_HWHEEL, -1), SYN,
        (EV_KEY, BTN_SIDE, 1), (EV_KEY, BTN_EXTRA, 0), (EV_KEY, BTN_RIGHT, 2), (EV_MSC, 4, 90001), SYN,
        (EV_ABS, ABS_X, 5), SYN]),
    "evdev_wheels_at_the_limits": evdev(MOUSE | WHEEL_HI | HWHEEL_HI, (0, 0), (0, 0), (0, 0), [
        (EV_REL, REL_WHEEL_HI_RES, INT_MAX), (EV_REL, REL_WHEEL_HI_RES, 1), (EV_REL, REL_WHEEL, 1), SYN,
        (EV_REL, REL_HWHEEL_HI_RES, INT_MIN), (EV_REL, REL_WHEEL_HI_RES, -120), SYN]),
    "evdev_no_syn_for_long": evdev(MOUSE, (0, 0), (0, 0), (0, 0),
                                   [(EV_REL, REL_X, INT_MAX), (EV_REL, REL_WHEEL, INT_MIN)] * 150 + [SYN]),
    "evdev_tablet_ranges": evdev(TABLET, (5, 5), (INT_MIN, INT_MAX), (5, 0), [
        (EV_ABS, ABS_X, 7), (EV_ABS, ABS_Y, INT_MAX), SYN, (EV_KEY, BTN_LEFT, 1), SYN,
        resync(9, INT_MIN), (EV_KEY, BTN_LEFT, 0), SYN]),
    "evdev_tablet_inverted": evdev(TABLET, (1000, 0), (0, -49408), (250, -24704), [
        (EV_ABS, ABS_X, 2000), SYN, (EV_ABS, ABS_Y, 64), (EV_REL, REL_X, 5), SYN]),
    "xi2_relative": bytes([1])
    + raw(MOTION, 10, 0, [(0, 3), (1, -4)])
    + raw(MOTION, 10, 0, [(1, 0.3), (3, 15)])
    + raw(MOTION, 10, 0, [(0, special(NAN)), (1, 2)])
    + raw(MOTION, 10, 0, [(0, 1e12), (1, special(NEG_INF))])
    + raw(PRESS, 10, 1, [(0, 2)])
    + raw(RELEASE, 10, 4, [(0, 5)])
    + raw(PRESS, 10, 5) + raw(PRESS, 10, 7) + raw(RELEASE, 10, 9) + raw(PRESS, 10, 12, [(1, -2)])
    + raw(MOTION, 255, 0, [(0, 1)], bits=0x08) + raw(MOTION, 11, 0, [(0, 1)], bits=0x04),
    "xi2_absolute": bytes([1])
    + describe(20, (1, 0, 1000, 250), (1, 0, 1000, 500))
    + raw(MOTION, 20, 0, [(0, 500), (1, 800)])
    + raw(MOTION, 20, 0, [(0, 600)])
    + raw(MOTION, 20, 0, [(1, special(NAN))])
    + raw(PRESS, 20, 1),
    "xi2_extreme_ranges": bytes([1])
    + describe(21, (1, special(NEG_BIG), special(BIG), 0), (1, 5, 5, 5))
    + raw(MOTION, 21, 0, [(0, special(INF)), (1, 1e9)])
    + raw(MOTION, 21, 0, [(0, 1e308)])
    + describe(22, (1, 1000, 0, 0), (0, -1, -1, 0))
    + raw(MOTION, 22, 0, [(0, 250), (1, 3)]),
}

# ---- contracts ----------------------------------------------------------------
LIST, REGISTER, PUT, RELEASE_OP, GET, INFO = range(6)


def contract_setup(entries, kind=0):
    out = bytes([len(entries)])
    for handle, dev_type in entries:
        out += struct.pack("<IB", handle, dev_type)
    instance = b"event5"
    return out + struct.pack("<HHB", 0x046D, 0xC077, len(instance)) + instance + bytes([kind]) + struct.pack("<I", 5)


def put(device, dx, dy, time):
    return bytes([PUT]) + struct.pack("<IHIIiiII", device, 0, 0x00780400, 0, dx, dy, 0, time)


def get(pick, bits, size, tail=b""):
    return bytes([GET, pick, bits]) + tail + struct.pack("<H", size)


def info(bits, size, tail=b""):
    return bytes([INFO, bits]) + tail + struct.pack("<H", size)


def register(bits, devices, size=b""):
    out = bytes([REGISTER, bits]) + size + bytes([len(devices)])
    for page, usage, flag_pick, target in devices:
        out += struct.pack("<HHBB", page, usage, flag_pick, target)
    return out


EXAMPLE = [(0x11, 0), (0x12, 1), (0x13, 2)]
contract_seeds = {
    "device_list": contract_setup(EXAMPLE)
    + bytes([LIST, 0, 3]) + bytes([LIST, 0, 2]) + bytes([LIST, 1, 0]) + bytes([LIST, 2, 3])
    + bytes([LIST, 4]) + struct.pack("<I", 8) + bytes([3]) + bytes([LIST, 0, 39]),
    "registration": contract_setup([])
    + register(0, [(1, 2, 0, 0), (1, 6, 0, 0)]) + register(0, [(1, 2, 1, 0)]) + register(0, [(1, 2, 1, 1)])
    + register(0, [(1, 2, 2, 0)]) + register(1, [(1, 2, 0, 0)]) + register(0, [])
    + register(2, [(1, 2, 0, 0)], struct.pack("<I", 12)),
    "packets": contract_setup(EXAMPLE)
    + put(0x11, -3, 9, 125) + get(0, 1, 0) + get(0, 0, 48) + get(0, 0, 47) + get(0, 16, 24) + get(0, 2, 48)
    + get(0, 4, 48, struct.pack("<I", 16)) + get(0, 8, 48, struct.pack("<I", 0x10000004))
    + put(0x12, 1, 1, 250) + get(2, 0, 48) + bytes([RELEASE_OP]) + get(1, 0, 48) + get(3, 1, 0),
    "device_info": contract_setup(EXAMPLE, kind=0)
    + info(0x02, 0) + info(0x00, 30) + info(0x00, 5) + info(0x12, 0) + info(0x10, 40) + info(0x10, 39)
    + info(0x30, 40, struct.pack("<I", 24)) + info(0x01, 40) + info(0x04, 40)
    + info(0x08, 40, struct.pack("<I", 5)) + info(0x10, 3),
}

for folder, seeds in (("translator_seeds", translator_seeds), ("contract_seeds", contract_seeds)):
    os.makedirs(os.path.join(HERE, folder), exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(HERE, folder, name), "wb") as f:
            f.write(data)
