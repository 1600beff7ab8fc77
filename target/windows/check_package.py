#!/usr/bin/env python3
"""Checks of the signed package build/windows-x64/package/.

    check_package.py --osslsigncode TOOL --openssl TOOL --image IMAGE --pdb PDB
                     [--dll DLL --dll-pdb PDB] --inf INF --cafile CERTS -- PACKAGE_DIR
    check_package.py --selftest (the same options) -- PACKAGE_DIR

The package holds kvrminiport.sys, kvrminiport.inf, kvrminiport.cer,
kvrminiport.pdb and README.txt, and with --dll the display driver
kvrdisplay.dll and kvrdisplay.pdb. `osslsigncode verify` must accept each
signed image against the given root certificates with two signatures: a
SHA-1 primary one, the only kind Vista and an un-updated Windows 7 check, and
a nested SHA-256 one. Both are made by the certificate of kvrminiport.cer.
Each signed image is the unsigned one with the signature appended and
nothing else changed but its checksum (which must be right) and its
certificate-table entry, and the PDBs and INF are those of the build.

--selftest signs the unsigned image with a throwaway certificate, proves that
such a package passes, then damages copies one way at a time and requires
each damage to be reported.
"""

import argparse
import filecmp
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

FILES = ("kvrminiport.inf", "kvrminiport.cer", "README.txt")


def images(args):
    """(signed name, unsigned image, PDB name, build's PDB) of each image."""
    found = [("kvrminiport.sys", args.image, "kvrminiport.pdb", args.pdb)]
    if args.dll:
        found.append(("kvrdisplay.dll", args.dll, "kvrdisplay.pdb", args.dll_pdb))
    return found


def signatures(osslsigncode, cafile, path):
    """(verified, [(digest, serial)] per signature in file order, output)."""
    result = subprocess.run([osslsigncode, "verify", "-CAfile", cafile, "-in", path],
                            capture_output=True, text=True)
    output = result.stdout + result.stderr
    found = []
    for block in re.split(r"^Signature Index: ", output, flags=re.M)[1:]:
        digest = re.search(r"^Message digest algorithm\s*:\s*(\S+)", block, re.M)
        serial = re.search(r"Serial\s*:\s*([0-9A-Fa-f]+)", block)
        found.append((digest.group(1).upper() if digest else None,
                      serial.group(1).upper() if serial else None))
    verified = (result.returncode == 0 and
                re.search(r"^Number of verified signatures: (\d+)", output, re.M) is not None)
    return verified, found, output


def certificate_serial(openssl, path):
    result = subprocess.run([openssl, "x509", "-inform", "der", "-in", path, "-noout",
                             "-serial"], capture_output=True, text=True)
    m = re.search(r"serial=([0-9A-Fa-f]+)", result.stdout)
    return m.group(1).upper().lstrip("0") if m else None


def same_image_but_signature(unsigned, signed):
    """Why the signed file is not the unsigned image with a signature
    appended, or None."""
    try:
        plain = pe.Image(unsigned)
        image = pe.Image(signed)
    except ValueError as e:
        return str(e)
    rva, size = image.directories[pe.DIRECTORY_SECURITY]
    if size == 0:
        return "no certificate table"
    if rva < len(unsigned) or rva + size != len(signed) or rva % 8:
        return "certificate table at %#x (%d bytes) is not appended to the image" % (rva, size)
    if any(signed[len(unsigned):rva]):
        return "non-zero bytes between the image and its certificate table"
    entry = plain.optional_offset + 112 + 8 * pe.DIRECTORY_SECURITY
    ignored = set(range(plain.checksum_offset, plain.checksum_offset + 4)) | set(
        range(entry, entry + 8))
    for i, (a, b) in enumerate(zip(unsigned, signed[:len(unsigned)])):
        if a != b and i not in ignored:
            return "byte %#x differs from the unsigned image" % i
    if image.checksum != image.compute_checksum():
        return "checksum field %#x, signed file sums to %#x" % (image.checksum,
                                                                image.compute_checksum())
    return None


def check_signed(args, package, cafile, name, image, pdb_name, pdb):
    failures = []
    signed_path = os.path.join(package, name)
    verified, found, output = signatures(args.osslsigncode, cafile, signed_path)
    if not verified:
        failures.append(("signature", "osslsigncode verify refuses %s:\n" % name +
                         "\n".join(output.splitlines()[-8:])))
    digests = [digest for digest, _ in found]
    if not digests or digests[0] != "SHA1":
        failures.append(("primary", "the primary signature of %s is %s, not SHA-1" %
                         (name, digests[0] if digests else "missing")))
    if digests[1:] != ["SHA256"]:
        failures.append(("nested", "nested signatures of %s: %s, not one SHA-256" %
                         (name, digests[1:])))
    serial = certificate_serial(args.openssl, os.path.join(package, "kvrminiport.cer"))
    for digest, signer in found:
        if signer is None or serial is None or signer.lstrip("0") != serial:
            failures.append(("certificate", "the %s signature of %s was not made by the "
                             "certificate of kvrminiport.cer" % (digest, name)))
    with open(image, "rb") as f:
        unsigned = f.read()
    with open(signed_path, "rb") as f:
        signed = f.read()
    why = same_image_but_signature(unsigned, signed)
    if why:
        failures.append(("content", "the signed %s is not the built one: %s" % (name, why)))
    if not filecmp.cmp(pdb, os.path.join(package, pdb_name), shallow=False):
        failures.append(("pdb", "%s is not the build's PDB" % pdb_name))
    return failures


def check(args, package, cafile):
    failures = []
    names = list(FILES) + [n for signed, _, pdb, _ in images(args) for n in (signed, pdb)]
    for name in names:
        if not os.path.isfile(os.path.join(package, name)):
            failures.append(("files", "the package has no %s" % name))
    if failures:
        return failures
    for signed, image, pdb_name, pdb in images(args):
        failures += check_signed(args, package, cafile, signed, image, pdb_name, pdb)
    if not filecmp.cmp(args.inf, os.path.join(package, "kvrminiport.inf"), shallow=False):
        failures.append(("inf", "kvrminiport.inf is not the source INF"))
    return failures


def selftest(args):
    problems = []
    with tempfile.TemporaryDirectory() as work:
        def make_cert(name):
            cert, key = os.path.join(work, name + ".pem"), os.path.join(work, name + ".key")
            subprocess.run([args.openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                            "-sha256", "-days", "2", "-subj", "/CN=" + name, "-addext",
                            "extendedKeyUsage=codeSigning", "-keyout", key, "-out", cert],
                           check=True, capture_output=True)
            return cert, key

        cert, key = make_cert("selftest")
        other_cert, _ = make_cert("other")

        def sign(source, target, digests):
            step = source
            for i, digest in enumerate(digests):
                out = "%s.%d" % (target, i)
                command = [args.osslsigncode, "sign", "-certs", cert, "-key", key, "-h", digest,
                           "-in", step, "-out", out]
                if i > 0:
                    command.insert(2, "-nest")
                subprocess.run(command, check=True, capture_output=True)
                if step != source:
                    os.unlink(step)
                step = out
            os.rename(step, target)

        def package(name, digests=("sha1", "sha256"), image=args.image, dll_digests=None):
            folder = os.path.join(work, name)
            os.mkdir(folder)
            sign(image, os.path.join(folder, "kvrminiport.sys"), digests)
            if args.dll:
                sign(args.dll, os.path.join(folder, "kvrdisplay.dll"), dll_digests or digests)
                shutil.copy(args.dll_pdb, os.path.join(folder, "kvrdisplay.pdb"))
            subprocess.run([args.openssl, "x509", "-in", cert, "-outform", "der", "-out",
                            os.path.join(folder, "kvrminiport.cer")], check=True)
            shutil.copy(args.pdb, os.path.join(folder, "kvrminiport.pdb"))
            shutil.copy(args.inf, os.path.join(folder, "kvrminiport.inf"))
            with open(os.path.join(folder, "README.txt"), "w") as f:
                f.write("steps\n")
            return folder

        def expect(tag, folder):
            tags = {t for t, _ in check(args, folder, cert)}
            if tag not in tags:
                problems.append("damage '%s' went unnoticed (reported: %s)" % (tag,
                                                                              sorted(tags)))

        intact = package("intact")
        failures = check(args, intact, cert)
        if failures:
            problems.append("a freshly signed package fails: %s" % failures)

        def change_code(source, target):
            """A byte of code changed, the checksum made right again."""
            with open(source, "rb") as f:
                image = pe.Image(f.read())
            image.data[image.section(".text").raw_pointer] ^= 0xFF
            image.write_checksum()
            with open(target, "wb") as f:
                f.write(image.data)

        # A byte of code changed after signing.
        changed = package("changed")
        path = os.path.join(changed, "kvrminiport.sys")
        change_code(path, path)
        expect("signature", changed)

        expect("nested", package("sha1-only", digests=("sha1",)))
        expect("primary", package("sha256-first", digests=("sha256", "sha1")))

        # Another image signed: one byte of the unsigned image differs.
        other_image = os.path.join(work, "other.sys")
        change_code(args.image, other_image)
        expect("content", package("other-image", image=other_image))

        wrong_pdb = package("wrong-pdb")
        with open(os.path.join(wrong_pdb, "kvrminiport.pdb"), "r+b") as f:
            f.seek(-1, os.SEEK_END)
            last = f.read(1)
            f.seek(-1, os.SEEK_END)
            f.write(bytes([last[0] ^ 0xFF]))
        expect("pdb", wrong_pdb)

        wrong_cer = package("wrong-cer")
        subprocess.run([args.openssl, "x509", "-in", other_cert, "-outform", "der", "-out",
                        os.path.join(wrong_cer, "kvrminiport.cer")], check=True)
        expect("certificate", wrong_cer)

        if args.dll:
            # The display driver: signed with SHA-1 only, changed after
            # signing, missing.
            expect("nested", package("dll-sha1-only", dll_digests=("sha1",)))
            dll_changed = package("dll-changed")
            path = os.path.join(dll_changed, "kvrdisplay.dll")
            change_code(path, path)
            expect("signature", dll_changed)
            no_dll = package("no-dll")
            os.unlink(os.path.join(no_dll, "kvrdisplay.dll"))
            expect("files", no_dll)

        no_readme = package("no-readme")
        os.unlink(os.path.join(no_readme, "README.txt"))
        expect("files", no_readme)

    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("selftest: every damage was reported")
    return not problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--osslsigncode", default="osslsigncode")
    parser.add_argument("--openssl", default="openssl")
    parser.add_argument("--image", required=True, help="the unsigned image")
    parser.add_argument("--pdb", required=True)
    parser.add_argument("--dll", help="the unsigned display driver")
    parser.add_argument("--dll-pdb", help="the display driver's PDB")
    parser.add_argument("--inf", required=True)
    parser.add_argument("--cafile", help="root certificates the signature must chain to")
    parser.add_argument("--selftest", action="store_true")
    parser.add_argument("package")
    args = parser.parse_args()
    if args.selftest:
        sys.exit(0 if selftest(args) else 1)
    failures = check(args, args.package, args.cafile)
    for tag, text in failures:
        print("FAIL [%s] %s" % (tag, text))
    if failures:
        sys.exit(1)
    for signed, _, _, _ in images(args):
        _, found, _ = signatures(args.osslsigncode, args.cafile,
                                 os.path.join(args.package, signed))
        print("%s: signed with %s" % (signed, " + nested ".join(d for d, _ in found)))
    print("%s: the PDBs, the INF and the certificate belong to the images" % args.package)


if __name__ == "__main__":
    main()
