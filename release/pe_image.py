"""A reader of the parts of a PE32+ image that the binary check looks at.

Reads the whole file into memory (the shipped images are below a few MB) and
parses on demand: the file and optional headers, the section table (long
section names through the COFF string table), the COFF symbol table, the
import, delay-import and export directories, the version resource and the
.gnu_debuglink section. Every read is bounds-checked: a damaged image raises
PeError with what was wrong, never an IndexError.
"""

import struct

# IMAGE_DLLCHARACTERISTICS_*
HIGH_ENTROPY_VA = 0x0020
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100

# IMAGE_SCN_*
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
SCN_CNT_CODE = 0x00000020

# IMAGE_DIRECTORY_ENTRY_*
DIR_EXPORT = 0
DIR_IMPORT = 1
DIR_RESOURCE = 2
DIR_SECURITY = 4
DIR_DELAY_IMPORT = 13

RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


class PeError(Exception):
    pass


class Section:
    def __init__(self, name, virtual_size, virtual_address, raw_size, raw_offset, characteristics):
        self.name = name
        self.virtual_size = virtual_size
        self.virtual_address = virtual_address
        self.raw_size = raw_size
        self.raw_offset = raw_offset
        self.characteristics = characteristics

    @property
    def size(self):
        """Bytes of content: the virtual size, within what the file holds."""
        if self.virtual_size:
            return min(self.virtual_size, self.raw_size)
        return self.raw_size


class Symbol:
    def __init__(self, name, value, section_number, storage_class):
        self.name = name
        self.value = value
        self.section_number = section_number
        self.storage_class = storage_class


class PeImage:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        self._parse_headers()

    # --- raw reads -----------------------------------------------------------

    def _unpack(self, fmt, offset):
        size = struct.calcsize(fmt)
        if offset < 0 or offset + size > len(self.data):
            raise PeError("read of %d bytes at file offset 0x%x is past the end" % (size, offset))
        return struct.unpack_from(fmt, self.data, offset)

    def _cstring(self, offset, limit=4096):
        if offset < 0 or offset >= len(self.data):
            raise PeError("string at file offset 0x%x is past the end" % offset)
        end = self.data.find(b"\0", offset, offset + limit)
        if end < 0:
            raise PeError("unterminated string at file offset 0x%x" % offset)
        return self.data[offset:end].decode("latin-1")

    # --- headers -------------------------------------------------------------

    def _parse_headers(self):
        if self.data[:2] != b"MZ":
            raise PeError("no MZ header")
        (pe,) = self._unpack("<I", 0x3C)
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        (self.machine, section_count, self.time_stamp, self.symbol_table_offset, self.symbol_count,
         optional_size, self.characteristics) = self._unpack("<HHIIIHH", pe + 4)
        optional = pe + 24
        (magic,) = self._unpack("<H", optional)
        if magic != 0x20B:
            raise PeError("not a PE32+ image (optional header magic 0x%x)" % magic)
        self.image_base = self._unpack("<Q", optional + 24)[0]
        self.checksum_offset = optional + 64
        (self.subsystem, self.dll_characteristics) = self._unpack("<HH", optional + 68)
        (directory_count,) = self._unpack("<I", optional + 108)
        self.directories = [self._unpack("<II", optional + 112 + 8 * i) for i in range(min(directory_count, 16))]
        self.dll_characteristics_offset = optional + 70
        self.section_table_offset = optional + optional_size
        self.sections = []
        for i in range(section_count):
            at = self.section_table_offset + 40 * i
            raw_name = self.data[at:at + 8].rstrip(b"\0").decode("latin-1")
            (virtual_size, virtual_address, raw_size, raw_offset) = self._unpack("<IIII", at + 8)
            (characteristics,) = self._unpack("<I", at + 36)
            self.sections.append(Section(self._long_name(raw_name), virtual_size, virtual_address,
                                         raw_size, raw_offset, characteristics))

    def section_header_offset(self, index):
        return self.section_table_offset + 40 * index

    def _string_table_offset(self):
        return self.symbol_table_offset + 18 * self.symbol_count

    def _long_name(self, name):
        # "/N": the name is at offset N of the COFF string table.
        if name.startswith("/") and name[1:].isdigit() and self.symbol_table_offset:
            return self._cstring(self._string_table_offset() + int(name[1:]))
        return name

    def directory(self, index):
        if index >= len(self.directories):
            return (0, 0)
        return self.directories[index]

    def section(self, name):
        for section in self.sections:
            if section.name == name:
                return section
        return None

    def section_bytes(self, section):
        return self.data[section.raw_offset:section.raw_offset + section.size]

    def rva_to_offset(self, rva):
        for section in self.sections:
            if section.virtual_address <= rva < section.virtual_address + max(section.virtual_size, section.raw_size):
                delta = rva - section.virtual_address
                if delta >= section.raw_size:
                    raise PeError("RVA 0x%x lies in the uninitialised part of %s" % (rva, section.name))
                return section.raw_offset + delta
        raise PeError("RVA 0x%x is in no section" % rva)

    def read_rva(self, rva, size):
        offset = self.rva_to_offset(rva)
        if offset + size > len(self.data):
            raise PeError("read at RVA 0x%x is past the end" % rva)
        return self.data[offset:offset + size]

    # --- symbols -------------------------------------------------------------

    def symbols(self):
        """The COFF symbol table (empty for a stripped image)."""
        result = []
        if not self.symbol_table_offset or not self.symbol_count:
            return result
        strings = self._string_table_offset()
        index = 0
        while index < self.symbol_count:
            at = self.symbol_table_offset + 18 * index
            short = self.data[at:at + 8]
            (value, section_number, _type, storage_class, aux_count) = self._unpack("<IhHBB", at + 8)
            if short[:4] == b"\0\0\0\0":
                name = self._cstring(strings + struct.unpack_from("<I", short, 4)[0])
            else:
                name = short.rstrip(b"\0").decode("latin-1")
            result.append(Symbol(name, value, section_number, storage_class))
            index += 1 + aux_count
        return result

    def symbol_rva(self, symbol):
        """The RVA of a symbol defined in a section, else None."""
        if symbol.section_number < 1 or symbol.section_number > len(self.sections):
            return None
        return self.sections[symbol.section_number - 1].virtual_address + symbol.value

    # --- imports and exports -------------------------------------------------

    def imported_dlls(self):
        # Import descriptors: 20 bytes, the name at 12; the last is the one
        # without thunks and name.
        return self._dll_names(DIR_IMPORT, "<IIIII", 20, 3, lambda entry: not (entry[0] or entry[3] or entry[4]))

    def delay_imported_dlls(self):
        # Delay-load descriptors: 32 bytes, the name at 4; the last has none.
        return self._dll_names(DIR_DELAY_IMPORT, "<II", 32, 1, lambda entry: not entry[1])

    def _dll_names(self, directory, layout, entry_size, name_field, is_last):
        """The DLL names of a table of descriptors of `entry_size` bytes, read
        with `layout` up to the entry for which `is_last` holds."""
        names = []
        rva, _size = self.directory(directory)
        if rva:
            at = self.rva_to_offset(rva)
            while True:
                entry = self._unpack(layout, at)
                if is_last(entry):
                    break
                names.append(self._cstring(self.rva_to_offset(entry[name_field])))
                at += entry_size
        return names

    def exports(self):
        """{name: ordinal} of the export directory."""
        result = {}
        rva, size = self.directory(DIR_EXPORT)
        if not rva:
            return result
        at = self.rva_to_offset(rva)
        (_flags, _time, _major, _minor, _name, base, function_count, name_count, functions_rva, names_rva,
         ordinals_rva) = self._unpack("<IIHHIIIIIII", at)
        for i in range(name_count):
            (name_rva,) = struct.unpack("<I", self.read_rva(names_rva + 4 * i, 4))
            (index,) = struct.unpack("<H", self.read_rva(ordinals_rva + 2 * i, 2))
            if index < function_count:
                result[self._cstring(self.rva_to_offset(name_rva))] = base + index
        return result

    def export_name_ordinals(self):
        """(file offset of AddressOfNameOrdinals, number of names)."""
        rva, size = self.directory(DIR_EXPORT)
        at = self.rva_to_offset(rva)
        (_flags, _time, _major, _minor, _name, _base, _function_count, name_count, _functions, _names,
         ordinals_rva) = self._unpack("<IIHHIIIIIII", at)
        return self.rva_to_offset(ordinals_rva), name_count

    # --- resources -----------------------------------------------------------

    def resource_entries(self):
        """[(type id, file offset of the entry's id field)] at the top level of the resource tree."""
        rva, size = self.directory(DIR_RESOURCE)
        if not rva:
            return []
        root = self.rva_to_offset(rva)
        (_flags, _time, _major, _minor, named, ids) = self._unpack("<IIHHHH", root)
        entries = []
        for i in range(named + ids):
            at = root + 16 + 8 * i
            (name, _offset) = self._unpack("<II", at)
            if not name & 0x80000000:
                entries.append((name, at))
        return entries

    def version_info(self):
        """(file version, product version) of the first RT_VERSION resource, as
        4-tuples, or None when the image has none or it is malformed."""
        rva, size = self.directory(DIR_RESOURCE)
        if not rva:
            return None
        root = self.rva_to_offset(rva)

        def first_entry(directory_offset):
            (_flags, _time, _major, _minor, named, ids) = self._unpack("<IIHHHH", directory_offset)
            if named + ids == 0:
                return None
            return self._unpack("<II", directory_offset + 16)

        for type_id, at in self.resource_entries():
            if type_id != RT_VERSION:
                continue
            (_name, offset) = self._unpack("<II", at)
            # type -> name -> language -> data entry
            for _level in range(2):
                if not offset & 0x80000000:
                    return None
                entry = first_entry(root + (offset & 0x7FFFFFFF))
                if entry is None:
                    return None
                offset = entry[1]
            if offset & 0x80000000:
                return None
            (data_rva, data_size, _codepage, _reserved) = self._unpack("<IIII", root + offset)
            block = self.read_rva(data_rva, data_size)
            key = "VS_VERSION_INFO".encode("utf-16-le")
            at = block.find(key)
            if at < 0:
                return None
            fixed = (at + len(key) + 2 + 3) & ~3
            if fixed + 52 > len(block):
                return None
            (signature, _struct_version, file_ms, file_ls, product_ms, product_ls) = struct.unpack_from(
                "<IIIIII", block, fixed)
            if signature != VS_FIXEDFILEINFO_SIGNATURE:
                return None

            def split(ms, ls):
                return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
            return split(file_ms, file_ls), split(product_ms, product_ls)
        return None

    # --- debug link ----------------------------------------------------------

    def debug_link(self):
        """(file name, CRC-32) of the .gnu_debuglink section, or None."""
        section = self.section(".gnu_debuglink")
        if section is None:
            return None
        content = self.section_bytes(section)
        end = content.find(b"\0")
        if end < 0:
            raise PeError(".gnu_debuglink holds no file name")
        crc_at = (end + 4) & ~3
        if crc_at + 4 > len(content):
            raise PeError(".gnu_debuglink holds no CRC")
        return content[:end].decode("latin-1"), struct.unpack_from("<I", content, crc_at)[0]
