#!/usr/bin/env python3
"""Structural check of kvrminiport.inf.

    check_inf.py INF
    check_inf.py --selftest INF

Reads the INF the way the installer does (sections, keys, values, ';'
comments outside quotes, '\\' line continuations, %string% tokens) and
requires what a display miniport's INF must have: the Version entries
(Signature, Class Display with its class GUID, Provider, DriverVer,
CatalogFile), a Manufacturer with its models sections for x64 that Setup
takes on Windows Vista and 7 (NT 6.0 and 6.1) and that offer no model on
Windows 8 and later (NT 6.2 on), which run no display miniport of this model,
an install section per model with the feature score FC of a vendor's
pre-WDDM display driver, CopyFiles and its .Services section, AddService for
kvrminiport as the device's function driver with a kernel-driver service
section (type 1, demand start 3, an ErrorControl, the binary under
system32\\drivers), the source disks and files, DestinationDirs for every
copy list, the product key HKLM\\Software\\Korvane\\Brindlecourt, the display
driver kvrdisplay.dll on the source disks and copied to System32 (11), an
InstalledDisplayDrivers value (REG_MULTI_SZ) in the adapter's hardware key
naming a display driver (kvrdisplay, or --display-driver's), every %string%
defined in Strings and every referenced section defined.

--selftest removes or changes one required piece at a time in a copy of the
text and requires each change to be reported.
"""

import argparse
import re
import sys

DISPLAY_CLASS_GUID = "{4d36e968-e325-11ce-bfc1-08002be10318}"
SERVICE = "kvrminiport"
BINARY = "kvrminiport.sys"
DISPLAY_BINARY = "kvrdisplay.dll"
SYSTEM32 = 11  # win32k loads display drivers from %SystemRoot%\System32
FLG_ADDREG_TYPE_MULTI_SZ = 0x00010000
PRODUCT_KEY = r"software\korvane\brindlecourt"
SPSVCINST_ASSOCSERVICE = 0x2
# The feature score of a vendor-supplied display driver of the pre-WDDM model.
XDDM_FEATURE_SCORE = 0xFC
# NT versions the package is for, and the first one that must be offered nothing.
TARGET_VERSIONS = ((6, 0), (6, 1))
FIRST_REFUSED_VERSION = (6, 2)
# Directory IDs that may stand between percent signs without a Strings entry.
DIRIDS = re.compile(r"^-?\d+$")


def strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def split_fields(text):
    """Comma-separated fields, quotes honoured and removed."""
    fields, current, quoted = [], "", False
    for c in text:
        if c == '"':
            quoted = not quoted
        elif c == "," and not quoted:
            fields.append(current.strip())
            current = ""
        else:
            current += c
    fields.append(current.strip())
    return fields


class Inf:
    def __init__(self, text):
        self.sections = {}  # lower-case name -> list of (key or None, value, line number)
        self.names = {}  # lower-case name -> name as written
        self.problems = []
        section = None
        pending = ""
        for number, raw in enumerate(text.splitlines(), 1):
            line = strip_comment(raw).strip()
            if line.endswith("\\"):
                pending += line[:-1]
                continue
            line, pending = (pending + line).strip(), ""
            if not line:
                continue
            m = re.match(r"^\[([^\]]+)\]$", line)
            if m:
                section = m.group(1).strip().lower()
                if section in self.sections:
                    self.problems.append("line %d: section [%s] appears twice" % (number,
                                                                                  m.group(1)))
                self.sections.setdefault(section, [])
                self.names[section] = m.group(1).strip()
                continue
            if section is None:
                self.problems.append("line %d: entry outside any section" % number)
                continue
            key, value = None, line
            m = re.match(r'^([^=",]+?)\s*=\s*(.*)$', line)
            if m:
                key, value = m.group(1).strip(), m.group(2).strip()
            self.sections[section].append((key, value, number))

    def has(self, name):
        return name.lower() in self.sections

    def entries(self, name):
        return self.sections.get(name.lower(), [])

    def values(self, section, key):
        return [v for k, v, _ in self.entries(section) if k is not None and k.lower() == key.lower()]

    def value(self, section, key):
        found = self.values(section, key)
        return found[0] if found else None

    def strings(self):
        return {k.lower(): split_fields(v)[0] for k, v, _ in self.entries("Strings") if k}

    def expand(self, text):
        table = self.strings()
        return re.sub(r"%([^%]+)%", lambda m: table.get(m.group(1).lower(), m.group(0)), text)


def number(text):
    text = text.strip()
    return int(text, 16) if text.lower().startswith("0x") else int(text)


def check(text, display_driver="kvrdisplay"):
    inf = Inf(text)
    problems = list(inf.problems)

    def need(ok, message):
        if not ok:
            problems.append(message)

    # Version.
    need(inf.has("Version"), "no [Version] section")
    signature = (inf.value("Version", "Signature") or "").strip('"').lower()
    need(signature in ("$windows nt$", "$chicago$"), "Version: Signature missing or unknown")
    need((inf.value("Version", "Class") or "").lower() == "display", "Version: Class is not Display")
    need((inf.value("Version", "ClassGuid") or "").lower() == DISPLAY_CLASS_GUID,
         "Version: ClassGuid is not the display class GUID")
    need(inf.value("Version", "Provider") is not None, "Version: no Provider")
    need(re.match(r"^\d\d/\d\d/\d{4}\s*,\s*\d+\.\d+\.\d+\.\d+$",
                  inf.value("Version", "DriverVer") or "") is not None,
         "Version: DriverVer missing or not mm/dd/yyyy,w.x.y.z")
    need(re.match(r"^\S+\.cat$", inf.value("Version", "CatalogFile") or "", re.I) is not None,
         "Version: no CatalogFile")

    # Manufacturer -> models -> install sections.
    need(inf.has("Manufacturer") and inf.entries("Manufacturer"), "no [Manufacturer] entries")
    install_sections = []
    amd64_models = False
    for key, value, line in inf.entries("Manufacturer"):
        fields = split_fields(value)
        base, decorations = fields[0], [d for d in fields[1:] if d]
        models = ["%s.%s" % (base, d) for d in decorations] or [base]
        for m in models:
            if m.lower().startswith(base.lower() + ".ntamd64"):
                amd64_models = True
            if not inf.has(m):
                problems.append("line %d: models section [%s] is not defined" % (line, m))
                continue
            for mkey, mvalue, mline in inf.entries(m):
                mfields = split_fields(mvalue)
                if len(mfields) < 2 or not mfields[1]:
                    problems.append("line %d: model without a hardware ID" % mline)
                install_sections.append((mfields[0], m, mline))
    need(amd64_models, "Manufacturer: no models for NTamd64")
    need(install_sections, "no models")
    check_target_versions(inf, need)

    copy_lists = []
    for install, models, line in install_sections:
        # The installer takes the most specific decoration that exists.
        chosen = None
        for suffix in (".NTamd64", ".NT", ""):
            if inf.has(install + suffix):
                chosen = install + suffix
                break
        if chosen is None:
            problems.append("line %d: install section [%s] is not defined" % (line, install))
            continue
        for copy in inf.values(chosen, "CopyFiles"):
            for item in split_fields(copy):
                if item.startswith("@"):
                    need(item[1:].lower() == BINARY, "CopyFiles @%s is not the driver" % item[1:])
                elif item:
                    copy_lists.append(item)
        for directive in ("AddReg", "DelReg", "CopyINF"):
            for listed in inf.values(chosen, directive):
                for item in split_fields(listed):
                    if item and directive != "CopyINF":
                        need(inf.has(item), "[%s] %s names undefined section [%s]" %
                             (chosen, directive, item))
        for sub in (".SoftwareSettings", ".HW"):
            for directive in ("AddReg", "DelReg"):
                for listed in inf.values(chosen + sub, directive):
                    for item in split_fields(listed):
                        need(not item or inf.has(item), "[%s%s] %s names undefined section "
                             "[%s]" % (chosen, sub, directive, item))
        need(inf.values(chosen, "CopyFiles"), "[%s] copies no files" % chosen)
        score = inf.value(chosen, "FeatureScore")
        try:
            score = int(score, 16) if score is not None else None
        except ValueError:
            score = None
        need(score == XDDM_FEATURE_SCORE, "[%s] FeatureScore is not FC (a vendor's display "
             "driver of the pre-WDDM model)" % chosen)
        check_services(inf, chosen + ".Services", need)
        check_product_key(inf, chosen, need)
        check_display_driver(inf, chosen, display_driver, need)

    copied = []
    for copy in copy_lists:
        need(inf.has(copy), "CopyFiles names undefined section [%s]" % copy)
        copied += [split_fields(v)[0].lower() for k, v, _ in inf.entries(copy) if k is None]
    need(BINARY in copied or any(v.lower() == "@" + BINARY for v in copy_lists) or
         BINARY in [c.lstrip("@") for c in copied], "no copy list copies %s" % BINARY)

    # Destination directories.
    need(inf.has("DestinationDirs"), "no [DestinationDirs] section")
    destinations = {k.lower() for k, _, _ in inf.entries("DestinationDirs") if k}
    for copy in copy_lists:
        need(copy.lower() in destinations or "defaultdestdir" in destinations,
             "no destination for copy list [%s]" % copy)

    # Source disks and files.
    need(inf.has("SourceDisksNames") and inf.entries("SourceDisksNames"),
         "no [SourceDisksNames] entries")
    need(inf.has("SourceDisksFiles") and inf.entries("SourceDisksFiles"),
         "no [SourceDisksFiles] entries")
    disks = {k for k, _, _ in inf.entries("SourceDisksNames") if k}
    files = {k.lower(): split_fields(v)[0] for k, v, _ in inf.entries("SourceDisksFiles") if k}
    need(BINARY in files, "[SourceDisksFiles] does not list %s" % BINARY)
    for name, disk in files.items():
        need(disk in disks, "%s lies on disk %s, which [SourceDisksNames] does not name" %
             (name, disk))
    for name in copied:
        need(name in files, "%s is copied but not in [SourceDisksFiles]" % name)
    need(DISPLAY_BINARY in files, "[SourceDisksFiles] does not list %s" % DISPLAY_BINARY)
    to_system32 = []
    for copy in copy_lists:
        listed = [split_fields(v)[0].lower() for k, v, _ in inf.entries(copy) if k is None]
        if DISPLAY_BINARY in listed:
            where = inf.value("DestinationDirs", copy) or inf.value("DestinationDirs",
                                                                     "DefaultDestDir")
            to_system32.append(where is not None and split_fields(where)[0] == str(SYSTEM32))
    need(to_system32 and all(to_system32), "%s is not copied to System32 (%d), where win32k "
         "loads display drivers from" % (DISPLAY_BINARY, SYSTEM32))

    # Strings.
    need(inf.has("Strings"), "no [Strings] section")
    table = inf.strings()
    for section, entries in inf.sections.items():
        if section == "strings":
            continue
        for key, value, line in entries:
            for token in re.findall(r"%([^%]*)%", (key or "") + "=" + value):
                if token and not DIRIDS.match(token) and token.lower() not in table:
                    problems.append("line %d: %%%s%% is not in [Strings]" % (line, token))
    return problems


def check_target_versions(inf, need):
    """The models sections Setup takes for each NT version: the decorated
    NTamd64 section of the highest version not above the running one."""
    for key, value, line in inf.entries("Manufacturer"):
        fields = split_fields(value)
        base = fields[0]
        decorated = {}
        for decoration in fields[1:]:
            m = re.match(r"^ntamd64(?:\.(\d+)\.(\d+))?$", decoration.strip(), re.I)
            if m:
                version = (int(m.group(1)), int(m.group(2))) if m.group(1) else (0, 0)
                decorated[version] = "%s.%s" % (base, decoration.strip())

        def taken(running):
            fitting = [v for v in decorated if v <= running]
            return decorated[max(fitting)] if fitting else None

        for version in TARGET_VERSIONS:
            section = taken(version)
            need(section is not None and inf.entries(section),
                 "line %d: no model for x64 NT %d.%d" % ((line,) + version))
        refused = taken(FIRST_REFUSED_VERSION)
        need(refused is None or not inf.entries(refused),
             "line %d: models offered on NT %d.%d and later (Windows 8), which run no display "
             "miniport of this model" % ((line,) + FIRST_REFUSED_VERSION))


def check_services(inf, services, need):
    if not inf.has(services):
        need(False, "no [%s] section" % services)
        return
    adds = [split_fields(v) for v in inf.values(services, "AddService")]
    ours = [a for a in adds if a[0].lower() == SERVICE]
    need(ours, "[%s] does not add the service %s" % (services, SERVICE))
    for fields in ours:
        need(len(fields) >= 3 and fields[1] and number(fields[1]) & SPSVCINST_ASSOCSERVICE,
             "AddService %s: not the function driver (flag 0x2)" % SERVICE)
        if len(fields) < 3 or not inf.has(fields[2]):
            need(False, "AddService %s: service section missing" % SERVICE)
            continue
        section = fields[2]
        if len(fields) >= 4 and fields[3]:
            need(inf.has(fields[3]), "AddService %s: event log section [%s] missing" %
                 (SERVICE, fields[3]))

        def field(key):
            value = inf.value(section, key)
            try:
                return number(value) if value is not None else None
            except ValueError:
                return None

        need(field("ServiceType") == 1, "[%s] ServiceType is not 1 (kernel driver)" % section)
        need(field("StartType") == 3, "[%s] StartType is not 3 (demand start)" % section)
        need(field("ErrorControl") in (0, 1, 2, 3), "[%s] ErrorControl missing" % section)
        binary = (inf.value(section, "ServiceBinary") or "").lower()
        need(re.match(r"^%(12|13)%\\" + re.escape(BINARY) + "$", binary) is not None,
             "[%s] ServiceBinary is not %%12%%\\%s" % (section, BINARY))


def check_display_driver(inf, install, name, need):
    """The adapter's hardware key (the install section's SoftwareSettings
    AddReg) names the display driver in InstalledDisplayDrivers, a
    REG_MULTI_SZ of file names without .dll."""
    found = []
    for listed in inf.values(install + ".SoftwareSettings", "AddReg"):
        for section in split_fields(listed):
            for key, value, _ in inf.entries(section):
                fields = split_fields(value if key is None else key + "=" + value)
                if len(fields) >= 5 and fields[0].upper() == "HKR" and \
                        fields[2].lower() == "installeddisplaydrivers":
                    try:
                        kind = number(inf.expand(fields[3]))
                    except ValueError:
                        kind = None
                    found.append((kind, [f.lower() for f in fields[4:]]))
    need(found, "[%s.SoftwareSettings] writes no InstalledDisplayDrivers" % install)
    for kind, names in found:
        need(kind == FLG_ADDREG_TYPE_MULTI_SZ, "InstalledDisplayDrivers is not a REG_MULTI_SZ")
        need(names == [name.lower()], "InstalledDisplayDrivers names %s, not %s" %
             (", ".join(names), name))


def check_product_key(inf, install, need):
    created = False
    for listed in inf.values(install, "AddReg"):
        for section in split_fields(listed):
            for key, value, _ in inf.entries(section):
                fields = split_fields(value if key is None else key + "=" + value)
                if len(fields) >= 2 and fields[0].upper() == "HKLM" and \
                        inf.expand(fields[1]).lower() == PRODUCT_KEY:
                    created = True
    need(created, "[%s] does not create HKLM\\Software\\Korvane\\Brindlecourt" % install)


def selftest(text):
    """Every listed change must produce at least one problem."""
    changes = [
        ("Signature", r'^Signature\s*=.*$', ""),
        ("Class", r"^Class\s*=\s*Display", "Class = Monitor"),
        ("ClassGuid", r"^ClassGuid\s*=.*$", "ClassGuid = {00000000-0000-0000-0000-000000000000}"),
        ("Provider", r"^Provider\s*=.*$", ""),
        ("DriverVer", r"^DriverVer\s*=.*$", ""),
        ("CatalogFile", r"^CatalogFile\s*=.*$", ""),
        ("Manufacturer", r"^\[Manufacturer\]", "[ManufacturerX]"),
        ("models", r"^\[Korvane\.Models\.NTamd64\.6\.0\]", "[Korvane.Models.NTx86]"),
        ("Vista", r"NTamd64\.6\.0,", "NTamd64.6.1,"),
        ("Windows 8 stop", r",\s*NTamd64\.6\.2$", ""),
        ("FeatureScore", r"^FeatureScore\s*=.*$", ""),
        ("FeatureScore value", r"^FeatureScore\s*=.*$", "FeatureScore = F8"),
        ("install section", r"^\[kvrminiport\.Install\.NTamd64\]", "[kvrminiport.Other]"),
        ("services", r"^\[kvrminiport\.Install\.NTamd64\.Services\]", "[kvrminiport.Svc]"),
        ("AddService", r"^AddService\s*=.*$", ""),
        ("function driver", r"(AddService\s*=\s*kvrminiport,\s*)0x00000002", r"\g<1>0"),
        ("ServiceType", r"^ServiceType\s*=\s*1", "ServiceType = 2"),
        ("StartType", r"^StartType\s*=\s*3", "StartType = 2"),
        ("ErrorControl", r"^ErrorControl\s*=.*$", ""),
        ("ServiceBinary", r"^ServiceBinary\s*=.*$", r"ServiceBinary = %12%\\other.sys"),
        ("SourceDisksNames", r"^\[SourceDisksNames\]", "[SourceDisksNamesX]"),
        ("SourceDisksFiles", r"^kvrminiport\.sys\s*=\s*1", "kvrminiport.sys = 2"),
        ("DestinationDirs", r"^\[DestinationDirs\]", "[DestinationDirsX]"),
        ("Strings", r"^Korvane\s*=.*$", ""),
        ("product key", r"^\[kvrminiport\.ProductKey\]", "[kvrminiport.Other2]"),
        ("copy list", r"^\[kvrminiport\.CopyFiles\]", "[kvrminiport.Other3]"),
        ("display driver named", r"^HKR,, InstalledDisplayDrivers,.*$", ""),
        ("display driver's name", r"(InstalledDisplayDrivers, %REG_MULTI_SZ%, )kvrdisplay",
         r"\g<1>kvrdisplay.dll"),
        ("display driver's value type", r"^REG_MULTI_SZ\s*=.*$", "REG_MULTI_SZ = 0x00000000"),
        ("display driver's place", r"^kvrdisplay\.CopyFiles\s*=\s*11", "kvrdisplay.CopyFiles = 12"),
        ("display driver on disk", r"^kvrdisplay\.dll\s*=\s*1$", ""),
        ("display driver copied", r"^kvrdisplay\.dll$", ""),
    ]
    failures = []
    if check(text):
        failures.append("the INF as committed fails: %s" % check(text))
    for name, pattern, replacement in changes:
        changed, count = re.subn(pattern, replacement, text, count=1, flags=re.M | re.I)
        if count == 0:
            failures.append("change '%s' did not apply; the selftest is out of date" % name)
        elif not check(changed):
            failures.append("change '%s' went unnoticed" % name)
    for f in failures:
        print("FAIL:", f)
    if not failures:
        print("selftest: all %d changes were reported" % len(changes))
    return not failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--selftest", action="store_true")
    parser.add_argument("--display-driver", default="kvrdisplay",
                        help="the display driver InstalledDisplayDrivers must name")
    parser.add_argument("inf")
    args = parser.parse_args()
    with open(args.inf, encoding="ascii") as f:
        text = f.read()
    if args.selftest:
        sys.exit(0 if selftest(text) else 1)
    problems = check(text, args.display_driver)
    for p in problems:
        print("FAIL:", p)
    if problems:
        sys.exit(1)
    print("%s: all sections present" % args.inf)


if __name__ == "__main__":
    main()
