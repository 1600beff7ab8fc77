#!/usr/bin/env python3
"""Checks that every include in driver/ (or display/) points down the order of its rooms.

    check-rooms.py [DRIVER_DIR]     (default: driver/ of this repository; a
                                    folder named display is the display
                                    driver's tree, with its own levels)
    check-rooms.py --selftest       plants faults in a copy of driver/ and
                                    requires each one to be reported

The driver's rooms stand on levels, the platform at the bottom and the
binding to the video port at the top:

    4  core                DriverEntry, the miniport callbacks, adapter start
    3  monitor  control    the monitor thread; HwStartIO's private codes
    2  detect   settings   identifiers and notifications; the registry
    1  state               the one state record
    0  platform            the platform's types, routines and shared fields

A file may include the headers of its own room and of rooms on lower levels,
nothing else: not a room above it, not another room on its own level (rooms
on one level know nothing of each other, so no two rooms can include each
other), not a file outside driver/, and no header through angle brackets
(driver code includes only its own headers). A new room must be given its
level here before it holds a file.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

LEVELS = {
    "platform": 0,
    "state": 1,
    "detect": 2,
    "settings": 2,
    "control": 3,
    "monitor": 3,
    "core": 4,
}
# The display driver's rooms, the same way: its platform, the PDEV record,
# the frame buffer and the escapes, and the binding to the GDI engine. Both
# trees may also include the adapter's public interface header.
DISPLAY_LEVELS = {
    "platform": 0,
    "device": 1,
    "surface": 2,
    "escape": 2,
    "enable": 3,
}
PUBLIC_HEADERS = os.path.join("include", "kvr")
SOURCE_SUFFIXES = (".h", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]*)[>"]')


def levels_of(driver_dir):
    return DISPLAY_LEVELS if os.path.basename(os.path.normpath(driver_dir)) == "display" else LEVELS


def rooms_below(levels, level):
    return ", ".join(r for r, l in sorted(levels.items(), key=lambda x: (x[1], x[0])) if l < level)


def check_include(driver_dir, room, path, quote, target):
    """Returns the fault of one include, or None when it points down."""
    if quote == "<":
        return "<%s> is included with angle brackets; driver code includes only its own headers, with quotes" % target
    resolved = os.path.normpath(os.path.join(os.path.dirname(path), target))
    if not os.path.isfile(resolved):
        resolved = os.path.normpath(os.path.join(driver_dir, target))
    if not os.path.isfile(resolved):
        return '"%s" names no file' % target
    inside = os.path.relpath(resolved, driver_dir)
    public = os.path.join(os.path.dirname(os.path.abspath(driver_dir)), PUBLIC_HEADERS)
    if os.path.dirname(os.path.abspath(resolved)) == public:
        return None
    if inside.startswith(os.pardir + os.sep) or os.sep not in inside:
        return '"%s" is outside the rooms of driver/' % target
    to_room = inside.split(os.sep)[0]
    if to_room == room:
        return None
    levels = levels_of(driver_dir)
    if to_room not in levels:
        return '"%s" is in room %s, which has no level (scripts/check-rooms.py)' % (target, to_room)
    level, to_level = levels[room], levels[to_room]
    below = rooms_below(levels, level) or "none"
    if to_level > level:
        return '"%s" runs up from %s (level %d) to %s (level %d); %s may include only: %s' % (
            target, room, level, to_room, to_level, room, below)
    if to_level == level:
        return '"%s" runs sideways from %s to %s, both on level %d; %s may include only: %s' % (
            target, room, to_room, level, room, below)
    return None


def check(driver_dir):
    """Returns the faults found in driver_dir as 'FILE:LINE: message' lines."""
    driver_dir = os.path.abspath(driver_dir)
    faults = []
    for top, dirs, files in os.walk(driver_dir):
        dirs.sort()
        for name in sorted(files):
            if not name.endswith(SOURCE_SUFFIXES):
                continue
            path = os.path.join(top, name)
            shown = os.path.join(os.path.basename(driver_dir), os.path.relpath(path, driver_dir))
            parts = os.path.relpath(path, driver_dir).split(os.sep)
            if len(parts) != 2:
                faults.append("%s: driver files live one level down, in a room" % shown)
                continue
            room = parts[0]
            if room not in levels_of(driver_dir):
                faults.append("%s: room %s has no level; give it one in scripts/check-rooms.py" % (shown, room))
                continue
            with open(path, encoding="utf-8") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    fault = check_include(driver_dir, room, path, match.group(1), match.group(2))
                    if fault:
                        faults.append("%s:%d: %s" % (shown, number, fault))
    return faults


# Each planted fault: the file it goes into (relative to driver/), the line
# added at its top, and what the report must say.
PLANTED = (
    ("state/state.h", '#include "../monitor/monitor.h"', 'driver/state/state.h:1: "../monitor/monitor.h" runs up from state (level 1) to monitor (level 3)'),
    ("control/start_io.cpp", '#include "../core/miniport.h"', "runs up from control (level 3) to core (level 4); control may include only: platform, state, detect, settings"),
    ("detect/ids.cpp", '#include "../settings/settings.h"', "runs sideways from detect to settings, both on level 2"),
    ("monitor/poll.cpp", "#include <string.h>", "<string.h> is included with angle brackets"),
    ("core/adapter.cpp", '#include "../../sim/sim.h"', "names no file"),
    ("settings/registry.cpp", '#include "../../README.md"', "is outside the rooms of driver/"),
    ("newroom/extra.h", "// a room nobody placed", "room newroom has no level"),
)


def selftest():
    here = os.path.dirname(os.path.abspath(__file__))
    driver_dir = os.path.join(os.path.dirname(here), "driver")
    ok = True
    with tempfile.TemporaryDirectory() as scratch:
        for relative, line, expected in PLANTED:
            copy = os.path.join(scratch, "tree", "driver")
            shutil.rmtree(os.path.join(scratch, "tree"), ignore_errors=True)
            shutil.copytree(driver_dir, copy)
            # A file outside driver/ for the include that leaves it.
            shutil.copy(os.path.join(os.path.dirname(here), "README.md"), os.path.join(scratch, "tree"))
            target = os.path.join(copy, relative)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            body = open(target, encoding="utf-8").read() if os.path.exists(target) else ""
            with open(target, "w", encoding="utf-8") as planted:
                planted.write(line + "\n" + body)
            run = subprocess.run([sys.executable, os.path.abspath(__file__), copy],
                                 capture_output=True, text=True)
            if run.returncode == 0 or expected not in run.stderr:
                ok = False
                print("not reported: %s in %s (exit %d)\n%s" % (line, relative, run.returncode, run.stderr))
    if not check(driver_dir) == []:
        ok = False
        print("driver/ itself does not pass")
    print("selftest: %d planted faults %s" % (len(PLANTED), "reported" if ok else "NOT all reported"))
    return 0 if ok else 1


def main(argv):
    if argv[1:] == ["--selftest"]:
        return selftest()
    if len(argv) > 2:
        print(__doc__, file=sys.stderr)
        return 2
    default = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "driver")
    driver_dir = argv[1] if len(argv) == 2 else default
    faults = check(driver_dir)
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        print("%s rooms: %d include(s) against the order of rooms (scripts/check-rooms.py)"
              % (os.path.basename(os.path.normpath(driver_dir)), len(faults)), file=sys.stderr)
        return 1
    print("%s rooms: every include points down" % os.path.basename(os.path.normpath(driver_dir)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
