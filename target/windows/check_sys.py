#!/usr/bin/env python3
"""Checks of the finished kernel image kvrminiport.sys.

    check_sys.py --objdump OBJDUMP --expected-imports FILE --placement FILE
                 [--objects OBJ...] -- IMAGE
    check_sys.py --selftest --objdump OBJDUMP --placement FILE -- IMAGE

The image must be a native-subsystem PE32+ image for x64 whose entry point is
DriverEntry; it imports only from ntoskrnl.exe, hal.dll and videoprt.sys, and
exactly the routines of the committed list (a new import is a failing diff);
it exports nothing; no section is both writable and executable; INIT is
discardable and PAGE is neither writable nor discardable; the routines of the
placement list lie in the sections it names; no code or data outside INIT
refers to INIT, which is gone once DriverEntry has returned; the
checksum field holds the image's checksum. The driver's objects must carry
no static constructors or thread-local data, which nothing would run or set
up in the kernel.

--selftest damages copies of the image one way at a time and requires each
damage to be reported, so that the checks are known to be able to fail.
"""

import argparse
import difflib
import os
import re
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

ALLOWED_DLLS = {"ntoskrnl.exe", "hal.dll", "videoprt.sys"}
FORBIDDEN_OBJECT_SECTIONS = (".ctors", ".dtors", ".init_array", ".fini_array", ".tls", ".CRT")


def run(objdump, *args):
    return subprocess.run([objdump, *args], check=True, capture_output=True, text=True).stdout


def imports_of(objdump, path):
    """(dll, routine) pairs from objdump's reading of the import directory."""
    result = []
    dll = None
    for line in run(objdump, "-p", path).splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            continue
        m = re.match(r"\s*[0-9a-f]+\s+(\d+)\s+(\S+)\s*$", line)
        if dll is not None and m:
            result.append((dll, m.group(2)))
        elif dll is not None and line.strip() == "":
            dll = None
    return sorted(result)


def symbol_rva(objdump, path, image, name):
    """RVA of a symbol of the image's COFF symbol table; its value there is an
    offset into the section it names (1 for the first)."""
    for line in run(objdump, "-t", path).splitlines():
        m = re.match(r"\[\s*\d+\]\(sec\s+(-?\d+)\).*\(nx \d+\) 0x([0-9a-f]+) (\S+)$", line)
        if m and m.group(3) == name:
            index = int(m.group(1))
            if not 1 <= index <= len(image.sections):
                return None
            return image.sections[index - 1].virtual_address + int(m.group(2), 16)
    return None


def routine_sections(objdump, path, image):
    """Section of every function of the image's symbol table, by its
    unqualified name (C++ names demangled, parameters dropped)."""
    result = {}
    for line in run(objdump, "-t", "-C", path).splitlines():
        m = re.match(r"\[\s*\d+\]\(sec\s+(-?\d+)\)\(fl 0x[0-9a-f]+\)\(ty\s+20\)"
                     r".*\(nx \d+\) 0x[0-9a-f]+ ([^(]+)", line)
        if m and 1 <= int(m.group(1)) <= len(image.sections):
            result[m.group(2).strip()] = image.sections[int(m.group(1)) - 1].name
    return result


def read_pairs(path):
    """The two words of each line, comments and blank lines left out."""
    pairs = []
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                first, second = line.split()
                pairs.append((first, second))
    return pairs


def read_placement(path):
    """Lines "routine section": where the platform needs a routine to lie."""
    return read_pairs(path)


def read_expected(path):
    """Lines "dll routine": the imports the image may have."""
    return sorted((dll.lower(), routine) for dll, routine in read_pairs(path))


def init_references(objdump, path, image):
    """Places outside INIT that name an address inside INIT."""
    init = image.section("INIT")
    if init is None:
        return []
    lo = image.image_base + init.virtual_address
    hi = lo + init.virtual_size
    found = []
    section = None
    for line in run(objdump, "-d", "--no-show-raw-insn", path).splitlines():
        m = re.match(r"Disassembly of section (\S+):", line)
        if m:
            section = m.group(1)
            continue
        if section == "INIT":
            continue
        for target in re.findall(r"\b(?:0x)?([0-9a-f]{9,16})\b", line.split(":", 1)[-1]):
            if lo <= int(target, 16) < hi:
                found.append("%s: %s" % (section, line.strip()))
                break
    for rva in image.base_relocations():
        where = image.section_of_rva(rva)
        if where is not None and where.name == "INIT":
            continue
        value = struct.unpack("<Q", image.read_rva(rva, 8))[0]
        if lo <= value < hi:
            found.append("%s: pointer at RVA %#x to %#x" % (where.name if where else "?", rva,
                                                             value))
    return found


def check_image(objdump, path, expected_imports, placement=()):
    """Failures as (tag, text) pairs; an empty list means the image passed."""
    failures = []
    with open(path, "rb") as f:
        image = pe.Image(f.read())

    if image.machine != pe.IMAGE_FILE_MACHINE_AMD64:
        failures.append(("machine", "machine %#x, not x64" % image.machine))
    if image.subsystem != pe.IMAGE_SUBSYSTEM_NATIVE:
        failures.append(("subsystem", "subsystem %d, not native (1)" % image.subsystem))
    if image.characteristics & pe.IMAGE_FILE_RELOCS_STRIPPED:
        failures.append(("relocs", "relocations stripped: the kernel cannot place the image"))
    if image.section_alignment != 0x1000 or image.file_alignment != 0x200:
        failures.append(("alignment", "section alignment %#x, file alignment %#x" %
                         (image.section_alignment, image.file_alignment)))

    entry = symbol_rva(objdump, path, image, "DriverEntry")
    if entry is None:
        failures.append(("entry", "no symbol DriverEntry"))
    elif entry != image.entry_rva:
        failures.append(("entry", "entry point RVA %#x is not DriverEntry (RVA %#x)" %
                         (image.entry_rva, entry)))

    export_rva, export_size = image.directories[pe.DIRECTORY_EXPORT]
    if export_size != 0 or image.section(".edata") is not None:
        failures.append(("exports", "the image has an export directory"))

    actual = imports_of(objdump, path)
    for dll in sorted({dll for dll, _ in actual} - ALLOWED_DLLS):
        failures.append(("import-dll", "imports from %s" % dll))
    if expected_imports is not None and actual != expected_imports:
        diff = difflib.unified_diff(["%s %s" % p for p in expected_imports],
                                    ["%s %s" % p for p in actual], "expected-imports.txt",
                                    os.path.basename(path), lineterm="")
        failures.append(("imports", "imports differ from the list:\n" + "\n".join(diff)))

    for s in image.sections:
        c = s.characteristics
        if c & pe.IMAGE_SCN_MEM_WRITE and c & pe.IMAGE_SCN_MEM_EXECUTE:
            failures.append(("wx", "section %s is writable and executable" % s.name))
        if s.name == "INIT" and not c & pe.IMAGE_SCN_MEM_DISCARDABLE:
            failures.append(("init", "INIT is not discardable"))
        if s.name.startswith("PAGE") and c & (pe.IMAGE_SCN_MEM_WRITE |
                                             pe.IMAGE_SCN_MEM_DISCARDABLE):
            failures.append(("page", "%s is writable or discardable" % s.name))
        if s.name != "INIT" and c & pe.IMAGE_SCN_MEM_DISCARDABLE and c & pe.IMAGE_SCN_CNT_CODE:
            failures.append(("discard", "code section %s is discardable" % s.name))

    if placement:
        sections = routine_sections(objdump, path, image)
        for routine, wanted in placement:
            found = sections.get(routine)
            if found is None:
                failures.append(("placement", "routine %s is not in the image" % routine))
            elif found != wanted:
                failures.append(("placement", "routine %s lies in %s, not in %s" %
                                 (routine, found, wanted)))

    for place in init_references(objdump, path, image):
        failures.append(("init-ref", "refers to INIT after start-up: " + place))

    computed = image.compute_checksum()
    if image.checksum != computed:
        failures.append(("checksum", "checksum field %#x, image sums to %#x" %
                         (image.checksum, computed)))
    return failures


def check_objects(objdump, objects):
    failures = []
    for obj in objects:
        for line in run(objdump, "-h", obj).splitlines():
            fields = line.split()
            if len(fields) > 2 and fields[0].isdigit() and fields[1].startswith(
                    FORBIDDEN_OBJECT_SECTIONS):
                failures.append(("object", "%s has section %s (static constructor or "
                                 "thread-local data)" % (os.path.basename(obj), fields[1])))
    return failures


def describe(image_path, objdump):
    with open(image_path, "rb") as f:
        image = pe.Image(f.read())
    print("%s: %d bytes, image size %#x, entry RVA %#x, checksum %#x" %
          (image_path, len(image.data), image.size_of_image, image.entry_rva, image.checksum))
    for s in image.sections:
        print("  %-8s rva %#07x size %#07x %s" % (s.name, s.virtual_address, s.virtual_size,
                                                 s.flag_text()))
    for dll, routine in imports_of(objdump, image_path):
        print("  import %s %s" % (dll, routine))


def selftest(objdump, path, placement):
    """Each damage must be reported with its own tag, and the intact image
    must pass."""
    with open(path, "rb") as f:
        original = f.read()
    baseline = pe.Image(original)
    expected = imports_of(objdump, path)
    problems = []

    intact = check_image(objdump, path, expected, placement)
    if intact:
        problems.append("the intact image fails: %s" % intact)

    def damaged(tag, mutate, imports=expected, fix_checksum=True, where=placement):
        image = pe.Image(original)
        mutate(image)
        if fix_checksum:
            image.write_checksum()
        with tempfile.NamedTemporaryFile(suffix=".sys", delete=False) as f:
            f.write(image.data)
            name = f.name
        try:
            tags = {t for t, _ in check_image(objdump, name, imports, where)}
        finally:
            os.unlink(name)
        if tag not in tags:
            problems.append("damage '%s' went unnoticed (reported: %s)" % (tag, sorted(tags)))

    text = baseline.section(".text")

    def flip_byte(image):
        image.data[text.raw_pointer] ^= 0xFF

    damaged("checksum", flip_byte, fix_checksum=False)
    damaged("wx", lambda image: image.set_section_flags(".text", add=pe.IMAGE_SCN_MEM_WRITE))
    damaged("subsystem", lambda image: struct.pack_into("<H", image.data,
                                                        image.subsystem_offset, 2))
    damaged("entry", lambda image: struct.pack_into("<I", image.data,
                                                    image.optional_offset + 16,
                                                    image.entry_rva + 1))
    damaged("imports", lambda image: None, imports=expected[1:])
    damaged("imports", lambda image: None, imports=sorted(expected +
                                                           [("ntoskrnl.exe", "KeBugCheckEx")]))
    if baseline.section("INIT") is not None:
        damaged("init", lambda image: image.set_section_flags(
            "INIT", remove=pe.IMAGE_SCN_MEM_DISCARDABLE))
    if baseline.section("PAGE") is not None:
        damaged("page", lambda image: image.set_section_flags("PAGE",
                                                              add=pe.IMAGE_SCN_MEM_WRITE))

    if placement:
        routine, section = placement[0]
        moved = [(routine, "PAGE" if section != "PAGE" else ".text")] + list(placement[1:])
        damaged("placement", lambda image: None, where=moved)

    init = baseline.section("INIT")
    outside = [rva for rva in baseline.base_relocations()
               if baseline.section_of_rva(rva).name != "INIT"]
    if init is not None and outside:
        damaged("init-ref", lambda image: struct.pack_into(
            "<Q", image.data, image.section_of_rva(outside[0]).raw_pointer + outside[0] -
            image.section_of_rva(outside[0]).virtual_address,
            image.image_base + init.virtual_address))

    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("selftest: every damage was reported")
    return not problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("--expected-imports")
    parser.add_argument("--placement")
    parser.add_argument("--objects", nargs="*", default=[])
    parser.add_argument("--selftest", action="store_true")
    parser.add_argument("image")
    args = parser.parse_args()

    placement = read_placement(args.placement) if args.placement else []
    if args.selftest:
        sys.exit(0 if selftest(args.objdump, args.image, placement) else 1)

    describe(args.image, args.objdump)
    expected = read_expected(args.expected_imports) if args.expected_imports else None
    failures = check_image(args.objdump, args.image, expected, placement)
    failures += check_objects(args.objdump, args.objects)
    for tag, text in failures:
        print("FAIL [%s] %s" % (tag, text))
    if failures:
        sys.exit(1)
    print("kvrminiport.sys: all checks passed")


if __name__ == "__main__":
    main()
