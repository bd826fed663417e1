#!/usr/bin/env python3
"""Holds the platform layer's rooms to their order.

Each room of src/platform/ stands on the rooms below it: base at the ground,
dispatch on it, device and location above, storage and net above those, gui on
top. A file may include its own room and the rooms below; a room that includes
one above it or beside it (a peer on its floor) would tie services together
that are meant to be taken apart, and soon into a cycle. The platform includes
nothing of the layers built on it, and has no files outside its rooms.

    scripts/check-layout.py [ROOT]

Prints each offence as path:line and exits 1 when there is any.
"""
import os
import re
import sys

FLOORS = {"base": 0, "dispatch": 1, "device": 2, "location": 2, "storage": 3, "net": 3, "gui": 4}
# The layers that stand on the platform, none of which it may reach into.
ABOVE = ("host", "plugins", "nimbus", "logging", "sqldb", "app", "proto")
SOURCE_SUFFIXES = (".cpp", ".h", ".c", ".cc")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def room_of(platform_relative):
    """The room a path below src/platform/ is in, or None for a loose file."""
    parts = platform_relative.split("/")
    return parts[0] if len(parts) > 1 else None


def check(root):
    platform = os.path.join(root, "src", "platform")
    offences = []
    for directory, _, files in os.walk(platform):
        for name in sorted(files):
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, platform)
            shown = os.path.relpath(path, root)
            room = room_of(relative)
            if room is None:
                if name != "CMakeLists.txt":
                    offences.append(f"{shown}: a file outside the platform's rooms ({', '.join(FLOORS)})")
                continue
            if room not in FLOORS:
                offences.append(f"{shown}: {room}/ is not one of the platform's rooms ({', '.join(FLOORS)})")
                continue
            if not name.endswith(SOURCE_SUFFIXES):
                continue
            with open(path, encoding="utf-8", errors="replace") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    included = match.group(1)
                    top = included.split("/")[0]
                    if top in ABOVE:
                        offences.append(f"{shown}:{number}: the platform includes {included}, of a layer built on it")
                        continue
                    if top != "platform":
                        continue  # a file beside it, or a system header in quotes
                    target = included.split("/")[1] if included.count("/") >= 2 else None
                    if target is None:
                        offences.append(f"{shown}:{number}: {included} names no room")
                    elif target not in FLOORS:
                        offences.append(f"{shown}:{number}: {included} is in no room of the platform")
                    elif target != room and FLOORS[target] >= FLOORS[room]:
                        how = "beside it" if FLOORS[target] == FLOORS[room] else "above it"
                        offences.append(f"{shown}:{number}: {room}/ includes {included}, a room {how}")
    return offences


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    offences = check(root)
    for offence in offences:
        print(offence)
    if offences:
        print(f"check-layout: {len(offences)} include(s) against the platform's rooms "
              "(base < dispatch < device, location < storage, net < gui)")
        return 1
    print("check-layout: every platform room includes only itself and the rooms below")
    return 0


if __name__ == "__main__":
    sys.exit(main())
