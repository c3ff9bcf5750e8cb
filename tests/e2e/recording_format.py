#!/usr/bin/env python3
"""The recording's columns and flags, read from the program's own definition
(log/recording_format.h), for the test scripts.

  recording_format.py log|devices   prints that file's header line
"""
import os
import re
import sys

_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "log", "recording_format.h")


def _read():
    with open(_HEADER) as f:
        return f.read()


def _columns(name):
    body = re.search(name + r"\[\] = \{(.*?)\};", _read(), re.S)
    return re.findall(r'"(\w+)"', body.group(1))


def _flag(name):
    return int(re.search(name + r" = (0x[0-9A-Fa-f]+);", _read()).group(1), 16)


LOG_COLUMNS = _columns("kLogColumns")
DEVICE_COLUMNS = _columns("kDeviceColumns")
WHEEL_FLAGS = _flag("RI_MOUSE_WHEEL") | _flag("RI_MOUSE_HWHEEL")

if __name__ == "__main__":
    print(",".join({"log": LOG_COLUMNS, "devices": DEVICE_COLUMNS}[sys.argv[1]]))
