"""Reading and patching the headers of a PE32+ image (kvrminiport.sys).

Only what the build's fix-up and checks need: the file and optional headers,
the data directories, the section table, the base relocations, the CodeView
debug record, and the image checksum computed the way the platform's loader
and CheckSumMappedFile do.
"""

import struct

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_DLL = 0x2000
IMAGE_SUBSYSTEM_NATIVE = 1

IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_NOT_PAGED = 0x08000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_READ = 0x40000000
IMAGE_SCN_MEM_WRITE = 0x80000000

DIRECTORY_EXPORT = 0
DIRECTORY_IMPORT = 1
DIRECTORY_SECURITY = 4
DIRECTORY_BASERELOC = 5
DIRECTORY_DEBUG = 6

IMAGE_DEBUG_TYPE_CODEVIEW = 2


class Section:
    def __init__(self, data, offset):
        (raw_name, self.virtual_size, self.virtual_address, self.raw_size, self.raw_pointer,
         _, _, _, _, self.characteristics) = struct.unpack_from("<8sIIIIIIHHI", data, offset)
        self.name = raw_name.rstrip(b"\0").decode("ascii", "replace")
        self.header_offset = offset

    def contains_rva(self, rva):
        return self.virtual_address <= rva < self.virtual_address + max(self.virtual_size,
                                                                          self.raw_size)

    def flag_text(self):
        names = [(IMAGE_SCN_MEM_READ, "R"), (IMAGE_SCN_MEM_WRITE, "W"),
                 (IMAGE_SCN_MEM_EXECUTE, "X"), (IMAGE_SCN_MEM_DISCARDABLE, "D")]
        return "".join(letter if self.characteristics & bit else "-" for bit, letter in names)


class Image:
    def __init__(self, data):
        self.data = bytearray(data)
        if self.data[:2] != b"MZ":
            raise ValueError("no MZ header")
        self.pe_offset = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        file_header = self.pe_offset + 4
        self.file_header_offset = file_header
        (self.machine, section_count, self.timestamp, self.symbol_table_pointer,
         self.symbol_count, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", self.data, file_header)
        self.optional_offset = file_header + 20
        magic = struct.unpack_from("<H", self.data, self.optional_offset)[0]
        if magic != 0x20B:
            raise ValueError("not a PE32+ image (magic %#x)" % magic)
        o = self.optional_offset
        self.entry_rva = struct.unpack_from("<I", self.data, o + 16)[0]
        self.image_base = struct.unpack_from("<Q", self.data, o + 24)[0]
        self.section_alignment, self.file_alignment = struct.unpack_from("<II", self.data, o + 32)
        self.version_offset = o + 40
        (self.os_version_major, self.os_version_minor, _, _, self.subsystem_version_major,
         self.subsystem_version_minor) = struct.unpack_from("<6H", self.data, o + 40)
        self.size_of_image = struct.unpack_from("<I", self.data, o + 56)[0]
        self.checksum_offset = o + 64
        self.checksum = struct.unpack_from("<I", self.data, self.checksum_offset)[0]
        self.subsystem_offset = o + 68
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", self.data, o + 68)
        directory_count = struct.unpack_from("<I", self.data, o + 108)[0]
        self.directories = [struct.unpack_from("<II", self.data, o + 112 + 8 * i)
                            for i in range(directory_count)]
        sections_offset = o + optional_size
        self.sections = [Section(self.data, sections_offset + 40 * i)
                         for i in range(section_count)]

    def section(self, name):
        for s in self.sections:
            if s.name == name:
                return s
        return None

    def section_of_rva(self, rva):
        for s in self.sections:
            if s.contains_rva(rva):
                return s
        return None

    def read_rva(self, rva, size):
        s = self.section_of_rva(rva)
        if s is None:
            raise ValueError("RVA %#x lies in no section" % rva)
        start = s.raw_pointer + rva - s.virtual_address
        return bytes(self.data[start:start + size])

    def base_relocations(self):
        """RVAs of the 64-bit fields that the loader relocates."""
        rva, size = self.directories[DIRECTORY_BASERELOC]
        result = []
        end = rva + size
        while rva < end:
            page, block_size = struct.unpack("<II", self.read_rva(rva, 8))
            if block_size < 8:
                raise ValueError("malformed base relocation block at %#x" % rva)
            entries = self.read_rva(rva + 8, block_size - 8)
            for (entry,) in struct.iter_unpack("<H", entries):
                kind, offset = entry >> 12, entry & 0xFFF
                if kind == 10:  # IMAGE_REL_BASED_DIR64
                    result.append(page + offset)
                elif kind != 0:  # 0 pads a block to a multiple of four bytes
                    raise ValueError("unexpected base relocation type %d" % kind)
            rva += block_size
        return result

    def codeview(self):
        """(GUID bytes, age, PDB name, file offset of the record) of the
        image's CodeView RSDS debug record, or None."""
        rva, size = self.directories[DIRECTORY_DEBUG]
        for i in range(size // 28):
            (_, _, _, _, kind, data_size, _,
             pointer) = struct.unpack("<IIHHIIII", self.read_rva(rva + 28 * i, 28))
            if kind != IMAGE_DEBUG_TYPE_CODEVIEW or data_size < 24:
                continue
            record = bytes(self.data[pointer:pointer + data_size])
            if record[:4] != b"RSDS":
                continue
            age = struct.unpack_from("<I", record, 20)[0]
            name = record[24:].split(b"\0", 1)[0].decode("ascii", "replace")
            return record[4:20], age, name, pointer
        return None

    def compute_checksum(self):
        return checksum(self.data, self.checksum_offset)

    def set_section_flags(self, name, add=0, remove=0):
        s = self.section(name)
        s.characteristics = (s.characteristics | add) & ~remove & 0xFFFFFFFF
        struct.pack_into("<I", self.data, s.header_offset + 36, s.characteristics)

    def write_checksum(self):
        self.checksum = self.compute_checksum()
        struct.pack_into("<I", self.data, self.checksum_offset, self.checksum)


def checksum(data, checksum_offset):
    """The image checksum: the file summed as little-endian 16-bit words with
    end-around carry, the checksum field itself counted as zero, plus the
    file's length."""
    total = 0
    padded = bytes(data) + (b"\0" if len(data) % 2 else b"")
    words = struct.unpack("<%dH" % (len(padded) // 2), padded)
    skip = (checksum_offset // 2, checksum_offset // 2 + 1)
    for i, word in enumerate(words):
        if i in skip:
            continue
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF
