#!/usr/bin/env python3
"""Fails when a source file includes a header from a floor above its own.

The folders under src/ stand on floors, bottom to top, in the order of FLOORS. A file may
include its own folder and the floors below it, never one above: that keeps every folder
buildable and understandable with only what lies beneath it.

Usage: include-floors.py [SRC]   (SRC defaults to the src/ folder beside tests/)
"""

import os
import re
import sys

# Bottom to top. The one list of the floors: a folder under src/ missing here is reported too,
# so a new folder has to be given its place before it builds green.
FLOORS = ["platform", "core", "library", "decks", "menus", "shell", "app"]

SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".c")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def floor_of(path, src):
    """The floor a file under src/ stands on (its first folder), or None outside src/."""
    rel = os.path.relpath(path, src)
    if rel.startswith(os.pardir + os.sep) or rel == os.pardir:
        return None
    first = rel.split(os.sep, 1)[0]
    return first if os.sep in rel else ""


def resolve(include, including_file, src):
    """Where a quoted include leads: beside the including file first, as the compiler looks,
    then from src/. None when it is neither (a generated file, or a system header)."""
    for base in (os.path.dirname(including_file), src):
        candidate = os.path.normpath(os.path.join(base, include))
        if os.path.isfile(candidate):
            return candidate
    return None


def generated(include):
    """Files the build makes (Qt's moc and uic output), which are on no floor."""
    name = os.path.basename(include)
    return name.endswith(".moc") or name.startswith(("moc_", "ui_", "qrc_"))


def check(src):
    src = os.path.abspath(src)
    rank = {name: i for i, name in enumerate(FLOORS)}
    problems = []
    for root, dirs, files in os.walk(src):
        dirs.sort()
        for name in sorted(files):
            if not name.endswith(SOURCE_SUFFIXES):
                continue
            path = os.path.join(root, name)
            shown = os.path.relpath(path, os.path.dirname(src))
            own = floor_of(path, src)
            if own not in rank:
                problems.append(f"{shown}: the folder '{own or 'src'}' is on no floor"
                                f" (floors: {', '.join(FLOORS)})")
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    include = m.group(1)
                    target = resolve(include, path, src)
                    if target is None:
                        if not generated(include):
                            problems.append(f"{shown}:{number}: \"{include}\" is found neither"
                                            " beside the file nor under src/")
                        continue
                    theirs = floor_of(target, src)
                    if theirs is None:
                        problems.append(f"{shown}:{number}: \"{include}\" leads outside src/")
                    elif theirs not in rank:
                        problems.append(f"{shown}:{number}: \"{include}\" is in '{theirs or 'src'}',"
                                        " which is on no floor")
                    elif rank[theirs] > rank[own]:
                        problems.append(f"{shown}:{number}: \"{include}\" runs up from"
                                        f" {own} ({rank[own] + 1}) to {theirs} ({rank[theirs] + 1})")
    return problems


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, os.pardir, os.pardir, "src")
    if not os.path.isdir(src):
        print(f"include-floors: no source folder at {src}", file=sys.stderr)
        return 2
    problems = check(src)
    for p in problems:
        print(p)
    if problems:
        print(f"include-floors: {len(problems)} to mend;"
              f" floors bottom to top: {', '.join(FLOORS)}")
        return 1
    print(f"include-floors: every include under src/ points down ({', '.join(FLOORS)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
