#!/usr/bin/env python3
"""Proves that the ABI check fails on a slip in the platform header.

    check_abi_selftest.py --header kvr_platform.h [--header kvr_ddi.h] --abi DIR
                          -- COMPILER FLAG...

Copies the platform headers (the miniport's, and the display driver's when
given), changes one declaration at a time (a member moved, a member widened,
a constant, an enumerator, a GUID byte, a routine's parameter), and compiles
the ABI check file that covers it against the changed copy: each compile must
fail with the static assertion that names the slip. The unchanged copies must
compile.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

SLIPS = [
    # (check file, text in its header, replacement, expected assertion)
    ("video_types.cpp", "    PVIDEO_HW_TIMER HwTimer;\n    PVIDEO_HW_START_DMA HwStartDma;\n",
     "    PVIDEO_HW_START_DMA HwStartDma;\n    PVIDEO_HW_TIMER HwTimer;\n",
     "VIDEO_HW_INITIALIZATION_DATA::HwTimer"),
    ("video_types.cpp", "    BOOLEAN AllowEarlyEnumeration;", "    ULONG AllowEarlyEnumeration;",
     "VIDEO_HW_INITIALIZATION_DATA::AllowEarlyEnumeration"),
    ("ntddk_types.cpp", "    ULONG DefaultType;\n", "    USHORT DefaultType;\n",
     "RTL_QUERY_REGISTRY_TABLE::DefaultType"),
    ("ntddk_types.cpp", "NonPagedPoolNx = 512,", "NonPagedPoolNx = 513,",
     "enumerator NonPagedPoolNx"),
    ("ntddk_values.cpp", "constexpr ULONG REG_QWORD = 11;", "constexpr ULONG REG_QWORD = 12;",
     "constant REG_QWORD"),
    ("ntddk_values.cpp", "0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED",
     "0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xEE", "GUID_DEVINTERFACE_USB_DEVICE"),
    ("ntddk_values.cpp", "PVOID InputBuffer, ULONG InputBufferLength,",
     "PVOID InputBuffer, USHORT InputBufferLength,", "routine IoBuildDeviceIoControlRequest"),
    ("video_values.cpp", "constexpr ULONG DISPLAY_ADAPTER_HW_ID = 0xFFFFFFFF;",
     "constexpr ULONG DISPLAY_ADAPTER_HW_ID = 0xFFFFFFFE;", "constant DISPLAY_ADAPTER_HW_ID"),
    # The display driver's header against winddi.h and wingdi.h.
    ("ddi_types.cpp", "    ULONG cjBits;\n    PVOID pvBits;\n", "    PVOID pvBits;\n    ULONG cjBits;\n",
     "SURFOBJ::cjBits"),
    ("ddi_types.cpp", "    ULONG ulHTOutputFormat;", "    USHORT ulHTOutputFormat;",
     "GDIINFO::ulHTOutputFormat"),
    ("ddi_types.cpp", "    HPALETTE hpalDefault;", "    ULONG hpalDefault;", "DEVINFO::hpalDefault"),
    ("ddi_types.cpp", "    DWORD dmBitsPerPel;", "    WORD dmBitsPerPel;", "DEVMODEW::dmBitsPerPel"),
    ("ddi_types.cpp", "    ULONG c;\n    DRVFN *pdrvfn;", "    ULONG c;\n    ULONG pad;\n    DRVFN *pdrvfn;",
     "DRVENABLEDATA"),
    ("ddi_types.cpp", "constexpr ULONG INDEX_DrvEscape = 24;", "constexpr ULONG INDEX_DrvEscape = 23;",
     "constant INDEX_DrvEscape"),
    ("ddi_types.cpp", "PVOID EngMapFile(LPWSTR pwsz, ULONG cjSize, ULONG_PTR *piFile);",
     "PVOID EngMapFile(LPWSTR pwsz, ULONG_PTR cjSize, ULONG_PTR *piFile);", "routine EngMapFile"),
]
# The header each check file reads.
HEADERS = {"ddi_types.cpp": "kvr_ddi.h"}


def compile_file(command, include_dir, abi_dir, source):
    result = subprocess.run(command + ["-I", include_dir, "-I", abi_dir, "-fsyntax-only",
                                       os.path.join(abi_dir, source)],
                            capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--header", action="append", required=True)
    parser.add_argument("--abi", required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = [c for c in args.command if c != "--"]
    originals = {}
    for header in args.header:
        with open(header) as f:
            originals[os.path.basename(header)] = f.read()
    slips = [s for s in SLIPS if HEADERS.get(s[0], "kvr_platform.h") in originals]

    problems = []
    with tempfile.TemporaryDirectory() as work:
        for header in args.header:
            shutil.copyfile(header, os.path.join(work, os.path.basename(header)))
        for source in sorted({s[0] for s in slips}):
            status, output = compile_file(command, work, args.abi, source)
            if status != 0:
                problems.append("%s fails on the unchanged header:\n%s" % (source, output))
        for source, text, replacement, expected in slips:
            name = HEADERS.get(source, "kvr_platform.h")
            original = originals[name]
            if text not in original:
                problems.append("%s no longer contains %r; update this test" % (name, text))
                continue
            copy = os.path.join(work, name)
            with open(copy, "w") as f:
                f.write(original.replace(text, replacement, 1))
            status, output = compile_file(command, work, args.abi, source)
            with open(copy, "w") as f:
                f.write(original)
            if status == 0:
                problems.append("%s compiles despite the slip %r" % (source, replacement))
            elif not re.search(r"static assertion failed|static_assert failed", output) or \
                    expected not in output:
                problems.append("%s failed without naming %s:\n%s" % (source, expected, output))
    for p in problems:
        print("FAIL:", p)
    if problems:
        sys.exit(1)
    print("ABI check: all %d slips stopped the compile" % len(slips))


if __name__ == "__main__":
    main()
