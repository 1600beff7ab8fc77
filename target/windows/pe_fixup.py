#!/usr/bin/env python3
"""Post-link fix-up of kvrminiport.sys and its PDB.

    pe_fixup.py IMAGE [PDB]

The GNU-style link cannot mark a section discardable, so the start-up
section INIT, which the platform may release once DriverEntry has returned,
gets the flag here.

The linker takes the PDB's GUID from a hash of the PDB, which records the
directories of the build; two builds of one commit in different places would
then name different GUIDs and differ in those bytes. Given the PDB, the fix-up
gives image and PDB a GUID made from the image alone instead: a SHA-256 of the
image with its GUID and checksum fields left out. It writes that GUID into
the image's CodeView record and into the PDB's information stream (with age
1), so the two still match. The image checksum is written last, over the
final bytes. Running the fix-up twice changes nothing.
"""

import hashlib
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

MSF_MAGIC = b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"
PDB_INFO_STREAM = 1


def pdb_info_offset(data):
    """File offset of the PDB information stream's header (version,
    signature, age, GUID), found through the MSF stream directory."""
    if data[:len(MSF_MAGIC)] != MSF_MAGIC:
        raise ValueError("not an MSF 7.00 file")
    block_size, _, _, directory_bytes, _, block_map = struct.unpack_from("<6I", data, 32)

    def blocks_for(size):
        return (size + block_size - 1) // block_size

    map_entries = struct.unpack_from("<%dI" % blocks_for(directory_bytes), data,
                                     block_map * block_size)
    directory = b"".join(data[b * block_size:(b + 1) * block_size] for b in map_entries)
    stream_count = struct.unpack_from("<I", directory, 0)[0]
    sizes = struct.unpack_from("<%dI" % stream_count, directory, 4)
    position = 4 + 4 * stream_count
    for stream in range(PDB_INFO_STREAM):
        if sizes[stream] != 0xFFFFFFFF:
            position += 4 * blocks_for(sizes[stream])
    if sizes[PDB_INFO_STREAM] < 28:
        raise ValueError("the PDB information stream is too short")
    first_block = struct.unpack_from("<I", directory, position)[0]
    return first_block * block_size


def image_guid(image, record_offset):
    """16 bytes of SHA-256 over the image, GUID and checksum fields as zero."""
    data = bytearray(image.data)
    data[record_offset + 4:record_offset + 20] = bytes(16)
    data[image.checksum_offset:image.checksum_offset + 4] = bytes(4)
    return hashlib.sha256(data).digest()[:16]


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: pe_fixup.py IMAGE [PDB]")
    path = sys.argv[1]
    with open(path, "rb") as f:
        image = pe.Image(f.read())
    init = image.section("INIT")
    if init is not None:
        if init.characteristics & pe.IMAGE_SCN_MEM_WRITE:
            sys.exit("%s: INIT is writable" % path)
        image.set_section_flags("INIT", add=pe.IMAGE_SCN_MEM_DISCARDABLE)
    if len(sys.argv) == 3:
        record = image.codeview()
        if record is None:
            sys.exit("%s: no CodeView record to name the PDB" % path)
        offset = record[3]
        guid = image_guid(image, offset)
        image.data[offset + 4:offset + 20] = guid
        struct.pack_into("<I", image.data, offset + 20, 1)
        with open(sys.argv[2], "r+b") as f:
            pdb = f.read()
            info = pdb_info_offset(pdb)
            f.seek(info + 4)
            # Signature (the GUID's first four bytes, as the linker does), age, GUID.
            f.write(guid[:4] + struct.pack("<I", 1) + guid)
    image.write_checksum()
    with open(path, "wb") as f:
        f.write(image.data)


if __name__ == "__main__":
    main()
