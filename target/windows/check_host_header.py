#!/usr/bin/env python3
"""Proves that the kernel flags refuse a host header.

    check_host_header.py --probes DIR -- COMPILER FLAG...

Compiles two probes with the compiler and flags of the driver's kernel
objects: probe/platform_header.cpp, which includes only the platform header,
must compile, so that the flags themselves are sound; probe/host_header.cpp,
which includes <stdio.h>, must fail, and fail because the header cannot be
found.
"""

import argparse
import os
import re
import subprocess
import sys


def compile_probe(command, source):
    result = subprocess.run(command + ["-fsyntax-only", source], capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probes", required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = [c for c in args.command if c != "--"]
    if not command:
        sys.exit("no compiler given")

    ok = True
    status, output = compile_probe(command, os.path.join(args.probes, "platform_header.cpp"))
    if status != 0:
        print("FAIL: a file that includes only the platform header does not compile:\n" + output)
        ok = False

    status, output = compile_probe(command, os.path.join(args.probes, "host_header.cpp"))
    if status == 0:
        print("FAIL: a file that includes <stdio.h> compiles with the kernel flags")
        ok = False
    elif not re.search(r"stdio\.h: No such file or directory|'stdio\.h' file not found", output):
        print("FAIL: the host-header probe failed for another reason:\n" + output)
        ok = False
    else:
        print("kernel flags: <stdio.h> refused, platform header accepted")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
