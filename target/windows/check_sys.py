#!/usr/bin/env python3
"""Checks of a finished kernel image (kvrminiport.sys, kvrdisplay.dll) and its PDB.

    check_sys.py --objdump OBJDUMP --pdbutil LLVM_PDBUTIL --pdb PDB
                 --expected-imports FILE --placement FILE --oldest VERSION
                 [--timestamp SECONDS] [--objects OBJ...]
                 [--entry NAME] [--dlls DLL,...] [--imports-from RELEASE]
                 [--exports NAME,...] [--procedures NAME,...] -- IMAGE
    check_sys.py --selftest (the same options) -- IMAGE

The image must be a native-subsystem PE32+ image for x64 whose entry point is
DriverEntry (or the --entry routine: DrvEnableDriver for the display driver,
whose image is a DLL); its OS and subsystem versions are those of the oldest
Windows it is for; its TimeDateStamp is not zero (and is the given time); it
carries no COFF symbol table, its symbols being in the PDB; it imports only
from ntoskrnl.exe, hal.dll and videoprt.sys (or the --dlls), exactly the
routines of the committed list, and none that first shipped in a Windows
newer than the oldest target (or than the --imports-from release: Windows
2000 for the display driver's win32k imports), each line of the list naming
the routine's first version; it exports nothing but the --exports routines,
by name; no section is both writable and executable; INIT is discardable and
PAGE is neither writable nor discardable; the routines of the placement list
lie in the sections it names; no code or data outside INIT refers to INIT,
which is gone once DriverEntry has returned; the checksum field holds the
image's checksum. Its CodeView debug record names the PDB, whose GUID and
age it must match, and the PDB must hold the procedures a crash dump is read
by. The driver's objects must carry no static constructors or thread-local
data, which nothing would run or set up in the kernel.

--selftest damages copies of the image (or of the expectations) one way at a
time and requires each damage to be reported, so that the checks are known to
be able to fail.
"""

import argparse
import difflib
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

MINIPORT_DLLS = ("ntoskrnl.exe", "hal.dll", "videoprt.sys")
# Windows releases as the import list names them, with their NT version.
WINDOWS_VERSIONS = {
    "2000": (5, 0),
    "XP": (5, 1),
    "2003": (5, 2),
    "Vista": (6, 0),
    "7": (6, 1),
    "8": (6, 2),
    "8.1": (6, 3),
    "10": (10, 0),
}
# Procedures the PDB must describe: the entry point, the monitor thread, the
# control requests and the notification handler, where a crash dump of this
# driver most likely stops.
PDB_PROCEDURES = ("DriverEntry", "MonitorMain", "HwStartIO", "UsbInterfaceNotify")
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


def pdb_summary(pdbutil, pdb):
    """(GUID, age) of the PDB's information stream."""
    text = run(pdbutil, "dump", "--summary", pdb)
    guid = re.search(r"GUID: \{([0-9A-Fa-f-]{36})\}", text)
    age = re.search(r"^\s*Age: (\d+)", text, re.M)
    if not guid or not age:
        return None
    return uuid.UUID(guid.group(1)), int(age.group(1))


def pdb_procedures(pdbutil, pdb):
    """Procedures of the PDB's module streams: name -> (section number, offset);
    section numbers count from 1 in the image's section table."""
    result = {}
    name = None
    for line in run(pdbutil, "dump", "--symbols", pdb).splitlines():
        m = re.search(r"\| S_[GL]PROC32 \[size = \d+\] `(.*)`$", line)
        if m:
            name = m.group(1)
            continue
        m = re.search(r"addr = (\d{4}):(\d+)", line)
        if name is not None and m:
            result[name] = (int(m.group(1)), int(m.group(2)))
        name = None
    return result


def procedure_rva(image, procedures, name):
    where = procedures.get(name)
    if where is None or not 1 <= where[0] <= len(image.sections):
        return None
    return image.sections[where[0] - 1].virtual_address + where[1]


def procedure_section(image, procedures, name):
    where = procedures.get(name)
    if where is None or not 1 <= where[0] <= len(image.sections):
        return None
    return image.sections[where[0] - 1].name


def read_lines(path, count):
    """The words of each line, exactly count of them; comments and blank
    lines left out."""
    rows = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if line:
                words = line.split()
                if len(words) != count:
                    sys.exit("%s:%d: expected %d words, found %d" % (path, number, count,
                                                                     len(words)))
                rows.append(tuple(words))
    return rows


def read_placement(path):
    """Lines "routine section": where the platform needs a routine to lie."""
    return read_lines(path, 2)


def read_expected(path):
    """Lines "dll routine first-version": the imports the image may have and
    the first Windows release that exports each."""
    rows = []
    for dll, routine, version in read_lines(path, 3):
        if version not in WINDOWS_VERSIONS:
            sys.exit("%s: %s: unknown Windows version '%s' (known: %s)" %
                     (path, routine, version, ", ".join(WINDOWS_VERSIONS)))
        rows.append((dll.lower(), routine, version))
    return sorted(rows)


def parse_version(text):
    major, minor = text.split(".")
    return int(major), int(minor)


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


class Expectations:
    """What the image is checked against."""

    def __init__(self, imports=None, placement=(), oldest=(6, 0), timestamp=None, pdb=None,
                 procedures=PDB_PROCEDURES, entry="DriverEntry", dlls=MINIPORT_DLLS,
                 imports_from=None, exports=()):
        self.imports = imports  # [(dll, routine, first version)] or None
        self.placement = list(placement)
        self.oldest = oldest
        self.timestamp = timestamp
        self.pdb = pdb
        self.procedures = tuple(procedures)
        self.entry = entry
        self.dlls = tuple(dlls)
        # The newest release an import may come from: the oldest target's, or
        # an older one.
        self.imports_from = imports_from or oldest
        self.exports = tuple(exports)  # routines exported by name; a DLL then

    def but(self, **changes):
        copy = Expectations(self.imports, self.placement, self.oldest, self.timestamp, self.pdb,
                            self.procedures, self.entry, self.dlls, self.imports_from,
                            self.exports)
        for name, value in changes.items():
            setattr(copy, name, value)
        return copy


def check_headers(image, expect):
    failures = []
    if image.machine != pe.IMAGE_FILE_MACHINE_AMD64:
        failures.append(("machine", "machine %#x, not x64" % image.machine))
    if image.subsystem != pe.IMAGE_SUBSYSTEM_NATIVE:
        failures.append(("subsystem", "subsystem %d, not native (1)" % image.subsystem))
    if image.characteristics & pe.IMAGE_FILE_RELOCS_STRIPPED:
        failures.append(("relocs", "relocations stripped: the kernel cannot place the image"))
    if image.section_alignment != 0x1000 or image.file_alignment != 0x200:
        failures.append(("alignment", "section alignment %#x, file alignment %#x" %
                         (image.section_alignment, image.file_alignment)))
    os_version = (image.os_version_major, image.os_version_minor)
    if os_version != expect.oldest:
        failures.append(("os-version", "OS version %d.%d, not %d.%d (the oldest target)" %
                         (os_version + expect.oldest)))
    subsystem_version = (image.subsystem_version_major, image.subsystem_version_minor)
    if subsystem_version != expect.oldest:
        failures.append(("subsystem-version", "subsystem version %d.%d, not %d.%d (the oldest "
                         "target)" % (subsystem_version + expect.oldest)))
    if image.timestamp == 0:
        failures.append(("timestamp", "TimeDateStamp is 0"))
    elif expect.timestamp is not None and image.timestamp != expect.timestamp:
        failures.append(("timestamp", "TimeDateStamp %d, not the source time %d" %
                         (image.timestamp, expect.timestamp)))
    if image.symbol_table_pointer != 0 or image.symbol_count != 0:
        failures.append(("symbol-table", "the image carries a COFF symbol table (%d symbols at "
                         "%#x); its symbols belong in the PDB" % (image.symbol_count,
                                                                 image.symbol_table_pointer)))
    return failures


def check_imports(objdump, path, expect):
    failures = []
    actual = imports_of(objdump, path)
    for dll in sorted({dll for dll, _ in actual} - set(expect.dlls)):
        failures.append(("import-dll", "imports from %s" % dll))
    if expect.imports is None:
        return failures
    listed = sorted((dll, routine) for dll, routine, _ in expect.imports)
    if actual != listed:
        diff = difflib.unified_diff(["%s %s" % p for p in listed], ["%s %s" % p for p in actual],
                                    "expected-imports.txt", os.path.basename(path), lineterm="")
        failures.append(("imports", "imports differ from the list:\n" + "\n".join(diff)))
    for dll, routine, version in expect.imports:
        if (dll, routine) in actual and WINDOWS_VERSIONS[version] > expect.imports_from:
            failures.append(("import-version", "%s!%s first shipped in Windows %s, newer than "
                             "NT %d.%d" % ((dll, routine, version) + expect.imports_from)))
    return failures


def check_pdb(pdbutil, image, expect):
    """The CodeView record names the PDB by its file name, with the PDB's
    GUID and age; the PDB describes the procedures a crash dump is read by.
    Returns (failures, procedures of the PDB)."""
    failures = []
    record = image.codeview()
    if record is None:
        return [("pdb", "the image has no CodeView (RSDS) debug record")], {}
    guid, age, name, _ = record
    if expect.pdb is None:
        return failures, {}
    if name != os.path.basename(expect.pdb):
        failures.append(("pdb", "the debug record names '%s', not %s" %
                         (name, os.path.basename(expect.pdb))))
    summary = pdb_summary(pdbutil, expect.pdb)
    if summary is None:
        return failures + [("pdb", "cannot read the GUID and age of %s" % expect.pdb)], {}
    image_guid = uuid.UUID(bytes_le=bytes(guid))
    if (image_guid, age) != summary:
        failures.append(("pdb", "the image names PDB {%s} age %d; %s is {%s} age %d" %
                         (image_guid, age, expect.pdb, summary[0], summary[1])))
    procedures = pdb_procedures(pdbutil, expect.pdb)
    for wanted in expect.procedures:
        if wanted not in procedures:
            failures.append(("pdb-symbols", "the PDB has no procedure %s" % wanted))
    return failures, procedures


def exports_of(image):
    """Routines the export directory names: name -> RVA."""
    rva, size = image.directories[pe.DIRECTORY_EXPORT]
    if size == 0:
        return {}
    count_functions, count_names, functions, names, ordinals = struct.unpack(
        "<IIIII", image.read_rva(rva + 20, 20))
    result = {}
    for i in range(count_names):
        name_rva = struct.unpack("<I", image.read_rva(names + 4 * i, 4))[0]
        name = bytes(image.read_rva(name_rva, 256)).split(b"\0", 1)[0].decode("ascii", "replace")
        ordinal = struct.unpack("<H", image.read_rva(ordinals + 2 * i, 2))[0]
        if ordinal < count_functions:
            result[name] = struct.unpack("<I", image.read_rva(functions + 4 * ordinal, 4))[0]
    return result


def check_exports(image, expect, procedures):
    """The kernel image exports nothing; a display driver's DLL exports its
    entry point by name (the one routine win32k looks up by name), and is
    marked a DLL."""
    failures = []
    _, size = image.directories[pe.DIRECTORY_EXPORT]
    if not expect.exports:
        if size != 0 or image.section(".edata") is not None:
            failures.append(("exports", "the image has an export directory"))
        if image.characteristics & pe.IMAGE_FILE_DLL:
            failures.append(("dll", "the image is marked a DLL"))
        return failures
    if not image.characteristics & pe.IMAGE_FILE_DLL:
        failures.append(("dll", "the image is not marked a DLL"))
    found = exports_of(image)
    if sorted(found) != sorted(expect.exports):
        failures.append(("exports", "exports %s, not %s" % (", ".join(sorted(found)) or "nothing",
                                                            ", ".join(sorted(expect.exports)))))
    for name in expect.exports:
        where = procedure_rva(image, procedures, name) if expect.pdb is not None else None
        if name in found and where is not None and found[name] != where:
            failures.append(("exports", "export %s points at RVA %#x, not at the routine (RVA "
                             "%#x)" % (name, found[name], where)))
    return failures


def check_image(tools, path, expect):
    """Failures as (tag, text) pairs; an empty list means the image passed."""
    objdump, pdbutil = tools
    with open(path, "rb") as f:
        image = pe.Image(f.read())

    failures = check_headers(image, expect)
    pdb_failures, procedures = check_pdb(pdbutil, image, expect)
    failures += pdb_failures

    if expect.pdb is not None:
        entry = procedure_rva(image, procedures, expect.entry)
        if entry is None:
            failures.append(("entry", "the PDB places no %s in the image" % expect.entry))
        elif entry != image.entry_rva:
            failures.append(("entry", "entry point RVA %#x is not %s (RVA %#x)" %
                             (image.entry_rva, expect.entry, entry)))

    failures += check_exports(image, expect, procedures)

    failures += check_imports(objdump, path, expect)

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

    if expect.pdb is not None:
        for routine, wanted in expect.placement:
            found = procedure_section(image, procedures, routine)
            if found is None:
                failures.append(("placement", "routine %s is not in the PDB" % routine))
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


def describe(tools, image_path, expect):
    objdump, pdbutil = tools
    with open(image_path, "rb") as f:
        image = pe.Image(f.read())
    print("%s: %d bytes, image size %#x, entry RVA %#x, checksum %#x" %
          (image_path, len(image.data), image.size_of_image, image.entry_rva, image.checksum))
    print("  TimeDateStamp %d (%s UTC), OS version %d.%d, subsystem version %d.%d, "
          "%d COFF symbols" % (image.timestamp, time.strftime("%Y-%m-%d %H:%M:%S",
                                                             time.gmtime(image.timestamp)),
                               image.os_version_major, image.os_version_minor,
                               image.subsystem_version_major, image.subsystem_version_minor,
                               image.symbol_count))
    record = image.codeview()
    if record is not None:
        guid, age, name, _ = record
        print("  CodeView: %s {%s} age %d" % (name, uuid.UUID(bytes_le=bytes(guid)), age))
    if expect.pdb is not None and os.path.exists(expect.pdb):
        print("  PDB: %s, %d bytes" % (expect.pdb, os.path.getsize(expect.pdb)))
    for s in image.sections:
        print("  %-8s rva %#07x size %#07x %s" % (s.name, s.virtual_address, s.virtual_size,
                                                 s.flag_text()))
    first = {(dll, routine): version for dll, routine, version in expect.imports or []}
    for dll, routine in imports_of(objdump, image_path):
        print("  import %s %s (Windows %s)" % (dll, routine, first.get((dll, routine), "?")))


def selftest(tools, path, expect):
    """Each damage must be reported with its own tag, and the intact image
    must pass."""
    objdump, _ = tools
    with open(path, "rb") as f:
        original = f.read()
    baseline = pe.Image(original)
    actual = imports_of(objdump, path)
    problems = []

    intact = check_image(tools, path, expect)
    if intact:
        problems.append("the intact image fails: %s" % intact)

    def damaged(tag, mutate, changed=expect, fix_checksum=True):
        image = pe.Image(original)
        mutate(image)
        if fix_checksum:
            image.write_checksum()
        with tempfile.NamedTemporaryFile(suffix=".sys", delete=False) as f:
            f.write(image.data)
            name = f.name
        try:
            tags = {t for t, _ in check_image(tools, name, changed)}
        finally:
            os.unlink(name)
        if tag not in tags:
            problems.append("damage '%s' went unnoticed (reported: %s)" % (tag, sorted(tags)))

    def unchanged(image):
        pass

    def set_u16(offset, value):
        return lambda image: struct.pack_into("<H", image.data, offset, value)

    def set_u32(offset, value):
        return lambda image: struct.pack_into("<I", image.data, offset, value)

    text = baseline.section(".text")

    def flip_byte(image):
        image.data[text.raw_pointer] ^= 0xFF

    damaged("checksum", flip_byte, fix_checksum=False)
    damaged("wx", lambda image: image.set_section_flags(".text", add=pe.IMAGE_SCN_MEM_WRITE))
    damaged("subsystem", set_u16(baseline.subsystem_offset, 2))
    damaged("entry", set_u32(baseline.optional_offset + 16, baseline.entry_rva + 1))

    # The header fields of the oldest target, the time stamp, the symbol table.
    damaged("os-version", set_u16(baseline.version_offset + 2, baseline.os_version_minor + 1))
    damaged("subsystem-version", set_u16(baseline.version_offset + 10,
                                         baseline.subsystem_version_minor + 1))
    damaged("timestamp", set_u32(baseline.file_header_offset + 4, 0))
    if expect.timestamp is not None:
        damaged("timestamp", unchanged, expect.but(timestamp=expect.timestamp + 1))

    def add_symbol_table(image):
        # One external function symbol and an empty string table, appended
        # the way a linker that keeps symbols writes them.
        struct.pack_into("<II", image.data, image.file_header_offset + 8, len(image.data), 1)
        image.data += struct.pack("<8sIhHBB", b"DriverEn", 0, 1, 0x20, 2, 0)
        image.data += struct.pack("<I", 4)

    damaged("symbol-table", add_symbol_table)

    # The import list: one missing, one extra, one newer than the oldest target.
    if expect.imports:
        listed = list(expect.imports)
        damaged("imports", unchanged, expect.but(imports=listed[1:]))
        damaged("imports", unchanged, expect.but(imports=sorted(
            listed + [("ntoskrnl.exe", "KeBugCheckEx", "2000")])))
        newer = [(dll, routine, "7" if i == 0 else version)
                 for i, (dll, routine, version) in enumerate(listed)]
        damaged("import-version", unchanged, expect.but(imports=newer))
        if expect.imports_from < expect.oldest:
            # An import of the oldest target's release, newer than the
            # release the imports must come from.
            newer = [(dll, routine, "Vista" if i == 0 else version)
                     for i, (dll, routine, version) in enumerate(listed)]
            damaged("import-version", unchanged, expect.but(imports=newer))
    elif actual:
        problems.append("no import list given; the import damages were not tried")

    # The exports: the DLL mark, an export missing or one too many.
    characteristics = baseline.file_header_offset + 18
    damaged("dll", set_u16(characteristics, baseline.characteristics ^ pe.IMAGE_FILE_DLL))
    if expect.exports:
        damaged("exports", unchanged, expect.but(exports=expect.exports + ("DrvNoSuchRoutine",)))
        damaged("exports", unchanged, expect.but(exports=expect.exports[1:] or ("Other",)))
    else:
        damaged("exports", unchanged, expect.but(exports=(expect.entry,)))

    # The PDB: another GUID, another age, a missing procedure.
    record = baseline.codeview()
    if record is None:
        problems.append("the image has no CodeView record; the PDB damages were not tried")
    elif expect.pdb is not None:
        _, age, _, offset = record

        def flip_guid(image):
            image.data[offset + 4] ^= 0x01

        damaged("pdb", flip_guid)
        damaged("pdb", set_u32(offset + 20, age + 1))
        damaged("pdb-symbols", unchanged,
                expect.but(procedures=expect.procedures + ("NoSuchProcedure",)))

    if baseline.section("INIT") is not None:
        damaged("init", lambda image: image.set_section_flags(
            "INIT", remove=pe.IMAGE_SCN_MEM_DISCARDABLE))
    if baseline.section("PAGE") is not None:
        damaged("page", lambda image: image.set_section_flags("PAGE",
                                                              add=pe.IMAGE_SCN_MEM_WRITE))

    if expect.placement:
        routine, section = expect.placement[0]
        moved = [(routine, "PAGE" if section != "PAGE" else ".text")] + expect.placement[1:]
        damaged("placement", unchanged, expect.but(placement=moved))

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
    parser.add_argument("--pdbutil", default="llvm-pdbutil")
    parser.add_argument("--pdb")
    parser.add_argument("--expected-imports")
    parser.add_argument("--placement")
    parser.add_argument("--oldest", default="6.0", help="oldest target's NT version")
    parser.add_argument("--timestamp", type=int, help="the TimeDateStamp the image must carry")
    parser.add_argument("--timestamp-file", help="a file holding the TimeDateStamp")
    parser.add_argument("--objects", nargs="*", default=[])
    parser.add_argument("--entry", default="DriverEntry", help="the entry point's routine")
    parser.add_argument("--dlls", default=",".join(MINIPORT_DLLS),
                        help="the modules the image may import from")
    parser.add_argument("--imports-from", help="the newest release an import may come from "
                        "(%s); default: the oldest target's" % ", ".join(WINDOWS_VERSIONS))
    parser.add_argument("--exports", default="", help="routines exported by name (a DLL)")
    parser.add_argument("--procedures", default=",".join(PDB_PROCEDURES),
                        help="procedures the PDB must describe")
    parser.add_argument("--selftest", action="store_true")
    parser.add_argument("image")
    args = parser.parse_args()

    timestamp = args.timestamp
    if args.timestamp_file:
        with open(args.timestamp_file) as f:
            timestamp = int(re.search(r"(\d+)\s*$", f.read()).group(1))
    expect = Expectations(
        imports=read_expected(args.expected_imports) if args.expected_imports else None,
        placement=read_placement(args.placement) if args.placement else [],
        oldest=parse_version(args.oldest), timestamp=timestamp, pdb=args.pdb,
        procedures=[p for p in args.procedures.split(",") if p], entry=args.entry,
        dlls=[d.lower() for d in args.dlls.split(",") if d],
        imports_from=WINDOWS_VERSIONS[args.imports_from] if args.imports_from else None,
        exports=[e for e in args.exports.split(",") if e])
    tools = (args.objdump, args.pdbutil)
    if args.selftest:
        sys.exit(0 if selftest(tools, args.image, expect) else 1)

    describe(tools, args.image, expect)
    failures = check_image(tools, args.image, expect)
    failures += check_objects(args.objdump, args.objects)
    for tag, text in failures:
        print("FAIL [%s] %s" % (tag, text))
    if failures:
        sys.exit(1)
    print("%s: all checks passed" % os.path.basename(args.image))


if __name__ == "__main__":
    main()
