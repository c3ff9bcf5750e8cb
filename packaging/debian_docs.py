#!/usr/bin/env python3
"""Debian's forms of the project's CHANGELOG.md and LICENSE, for the .deb.

  debian_docs.py changelog CHANGELOG.md VERSION MAINTAINER OUT
      the Debian changelog (debian/changelog's syntax); fails when the newest
      release in CHANGELOG.md is not VERSION
  debian_docs.py copyright LICENSE HOMEPAGE OUT
      the copyright file in Debian's machine-readable format
"""
import datetime
import re
import sys

HEADING = re.compile(r"^## (\S+) \((\d{4}-\d{2}-\d{2})\)\s*$")


def releases(text):
    """[(version, date, [change, ...]), ...] newest first; a change is one string."""
    found = []
    for line in text.splitlines():
        heading = HEADING.match(line)
        if heading:
            found.append((heading.group(1), heading.group(2), []))
        elif found and line.startswith("- "):
            found[-1][2].append(line[2:].strip())
        elif found and line.startswith("  ") and found[-1][2]:
            found[-1][2][-1] += " " + line.strip()
        elif found and line.strip():
            raise SystemExit(f"CHANGELOG.md: a line that is neither a change nor its continuation: {line!r}")
    return found


def wrap(text, first, rest, width=78):
    lines, line = [], first
    for word in text.split():
        if len(line) + len(word) + 1 > width and line.strip() not in ("", "*"):
            lines.append(line.rstrip())
            line = rest
        line += word + " "
    lines.append(line.rstrip())
    return lines


def changelog(source, version, maintainer, out):
    with open(source, encoding="utf-8") as f:
        found = releases(f.read())
    if not found:
        raise SystemExit(f"{source}: no '## VERSION (YYYY-MM-DD)' heading")
    if found[0][0] != version:
        raise SystemExit(f"{source}: the newest release is {found[0][0]}, the project's version is {version}")
    text = []
    for number, date, changes in found:
        text.append(f"velmora ({number}) unstable; urgency=medium")
        text.append("")
        for change in changes:
            text.extend(wrap(change.replace("`", ""), "  * ", "    "))
        text.append("")
        day = datetime.datetime.strptime(date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)
        text.append(f" -- {maintainer}  {day.strftime('%a, %d %b %Y %H:%M:%S +0000')}")
        text.append("")
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(text[:-1]) + "\n")


def copyright_file(source, homepage, out):
    with open(source, encoding="utf-8") as f:
        lines = f.read().splitlines()
    holder = next((l for l in lines if l.startswith("Copyright (c) ")), None)
    start = next((i for i, l in enumerate(lines) if l.startswith("Permission is hereby granted")), None)
    if holder is None or start is None:
        raise SystemExit(f"{source}: not the MIT licence text this step expects")
    body = [(" " + l) if l.strip() else " ." for l in lines[start:]]
    while body and body[-1] == " .":
        body.pop()
    text = [
        "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/",
        "Upstream-Name: Velmora",
        f"Source: {homepage}",
        "",
        "Files: *",
        f"Copyright: {holder[len('Copyright (c) '):]}",
        "License: Expat",
        *body,
    ]
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(text) + "\n")


def main(argv):
    if len(argv) == 6 and argv[1] == "changelog":
        changelog(*argv[2:])
    elif len(argv) == 5 and argv[1] == "copyright":
        copyright_file(*argv[2:])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
