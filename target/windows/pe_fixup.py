#!/usr/bin/env python3
"""Post-link fix-up of kvrminiport.sys.

The GNU linker cannot mark a section discardable, so the start-up section
INIT, which the platform may release once DriverEntry has returned, gets the
flag here. The image checksum is written last, over the final bytes. Running
the fix-up twice changes nothing.
"""

import sys
import os

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: pe_fixup.py IMAGE")
    path = sys.argv[1]
    with open(path, "rb") as f:
        image = pe.Image(f.read())
    init = image.section("INIT")
    if init is not None:
        if init.characteristics & pe.IMAGE_SCN_MEM_WRITE:
            sys.exit("%s: INIT is writable" % path)
        image.set_section_flags("INIT", add=pe.IMAGE_SCN_MEM_DISCARDABLE)
    image.write_checksum()
    with open(path, "wb") as f:
        f.write(image.data)


if __name__ == "__main__":
    main()
