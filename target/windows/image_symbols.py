#!/usr/bin/env python3
"""The symbol file of kvrminiport.sys, written from its PDB for the simulated
kernel's image loader (sim/image/).

    image_symbols.py --pdbutil LLVM_PDBUTIL IMAGE PDB OUT

One record a line, plain text:
    image <GUID hex> <age>              the CodeView record the PDB belongs to
    proc <rva hex> <size> <name>        every procedure of the module streams
    data <rva hex> <name>               every global and file-scope variable
    field <structure> <member> <offset> the members of the structures the
                                        loader's users read (DRIVER_STATE)

The loader refuses a symbol file whose GUID is not the image's: the two come
from one build.
"""

import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

STRUCTURES = ("DRIVER_STATE",)


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def symbols(pdbutil, pdb):
    """(procedures, data): name -> (section number, offset, size)."""
    procedures, data = {}, {}
    pending = None
    for line in run(pdbutil, "dump", "--symbols", "--globals", pdb).splitlines():
        m = re.search(r"\| S_([GL]PROC32|[GL]DATA32) \[size = \d+\] `(.*)`$", line)
        if m:
            pending = (m.group(1), m.group(2))
            continue
        m = re.search(r"addr = (\d{4}):(\d+)(?:, code size = (\d+))?", line)
        if pending and m:
            kind, name = pending
            where = (int(m.group(1)), int(m.group(2)), int(m.group(3) or 0))
            (procedures if kind.endswith("PROC32") else data).setdefault(name, where)
        pending = None
    return procedures, data


def fields(pdbutil, pdb):
    """structure -> [(member, offset)] for the structures named above."""
    lists, owners = {}, {}
    current = None
    for line in run(pdbutil, "dump", "--types", pdb).splitlines():
        m = re.match(r"\s*(0x[0-9A-F]+) \| (LF_\w+) .*?(?:`(.*)`)?$", line)
        if m:
            current = (m.group(1), m.group(2), m.group(3))
            if current[1] == "LF_FIELDLIST":
                lists[current[0]] = []
            continue
        if current and current[1] == "LF_FIELDLIST":
            member = re.search(r"LF_MEMBER \[name = `(\w+)`, .* offset = (\d+),", line)
            if member:
                lists[current[0]].append((member.group(1), int(member.group(2))))
        if current and current[1] == "LF_STRUCTURE" and current[2] in STRUCTURES:
            m = re.search(r"field list: (0x[0-9A-F]+)", line)
            if m:
                owners[current[2]] = m.group(1)
    return {name: lists.get(index, []) for name, index in owners.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pdbutil", default="llvm-pdbutil")
    parser.add_argument("image")
    parser.add_argument("pdb")
    parser.add_argument("out")
    args = parser.parse_args()
    with open(args.image, "rb") as f:
        image = pe.Image(f.read())
    record = image.codeview()
    if record is None:
        sys.exit("%s: no CodeView record" % args.image)
    guid, age, _, _ = record
    procedures, data = symbols(args.pdbutil, args.pdb)
    lines = ["image %s %d" % (guid.hex(), age)]

    def rva(section, offset):
        if not 1 <= section <= len(image.sections):
            return None
        return image.sections[section - 1].virtual_address + offset

    for name, (section, offset, size) in sorted(procedures.items()):
        where = rva(section, offset)
        if where is not None:
            lines.append("proc %x %d %s" % (where, size, name))
    for name, (section, offset, _) in sorted(data.items()):
        where = rva(section, offset)
        if where is not None and " " not in name:
            lines.append("data %x %s" % (where, name))
    for structure, members in sorted(fields(args.pdbutil, args.pdb).items()):
        for member, offset in members:
            lines.append("field %s %s %d" % (structure, member, offset))
    with open(args.out, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
