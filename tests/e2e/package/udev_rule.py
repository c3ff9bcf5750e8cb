#!/usr/bin/env python3
"""Which tags a udev rules file gives one device, for checking the package's rule
where no udev runs (containers): the keys and operators the rule uses, nothing more.

  udev_rule.py RULES_FILE KEY=VALUE...   prints the tags added, one a line

KEY is SUBSYSTEM, KERNEL or a property (ID_INPUT_MOUSE...); a key the rule uses
that this reader does not know is an error, not a silent mismatch.
"""
import fnmatch
import re
import sys

TERM = re.compile(r'\s*([A-Z_]+(?:\{[A-Za-z0-9_]+\})?)\s*(==|!=|\+=|=)\s*"([^"]*)"\s*(?:,|$)')


def matches(pattern, value):
    return any(fnmatch.fnmatchcase(value, p) for p in pattern.split("|"))


def value_of(key, device):
    if key in ("SUBSYSTEM", "KERNEL"):
        return device.get(key, "")
    if key.startswith("ENV{"):
        return device.get(key[4:-1], "")
    raise SystemExit(f"udev_rule.py: key {key} is not one this reader knows")


def tags(rules, device):
    added = []
    for number, line in enumerate(rules.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        terms, at = [], 0
        while at < len(line):
            term = TERM.match(line, at)
            if not term:
                raise SystemExit(f"udev_rule.py: line {number}: cannot read {line[at:]!r}")
            terms.append(term.groups())
            at = term.end()
        if all(matches(v, value_of(k, device)) == (op == "==") for k, op, v in terms if op in ("==", "!=")):
            for key, op, value in terms:
                if key == "TAG" and op == "+=":
                    added.append(value)
                elif op not in ("==", "!="):
                    raise SystemExit(f"udev_rule.py: line {number}: {key}{op} is not one this reader knows")
    return added


def main(argv):
    if len(argv) < 2:
        raise SystemExit(__doc__)
    with open(argv[1], encoding="utf-8") as f:
        rules = f.read()
    device = dict(arg.split("=", 1) for arg in argv[2:])
    for tag in tags(rules, device):
        print(tag)


if __name__ == "__main__":
    main(sys.argv)
