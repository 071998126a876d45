"""The functions whose stack frame holds an array, read from the DWARF
debug information (versions 4 and 5, as GCC writes it) of a symbol file.

Only the compile units whose name lies under a given source root (our code,
as the build's -fdebug-prefix-map names it) are decoded; the others (the C++
runtime's, the CRT's) are skipped by their length.

A function's frame holds an array when one of its local variables, its own or
one of a function inlined into it, is located at an offset from the frame
base or the stack pointer (DW_OP_fbreg, DW_OP_breg6/7, in a location
expression or in any entry of a location list) and has an array type, or a
structure, class or union type with an array among its members or bases, at
any depth. This is the set of locals for which GCC's -fstack-protector-strong
puts a guard in the frame. A type that the symbol file only declares (a class
whose layout GCC writes only into the unit with its key function) is laid out
from its definition in another of our units when one exists, and counts as
holding no array otherwise.

Every read is bounds-checked: damaged data raises DwarfError.
"""

import posixpath
import struct

# Tags.
TAG_ARRAY = 0x01
TAG_CLASS = 0x02
TAG_LEXICAL_BLOCK = 0x0B
TAG_MEMBER = 0x0D
TAG_COMPILE_UNIT = 0x11
TAG_STRUCTURE = 0x13
TAG_TYPEDEF = 0x16
TAG_UNION = 0x17
TAG_INHERITANCE = 0x1C
TAG_INLINED_SUBROUTINE = 0x1D
TAG_CONST = 0x26
TAG_SUBPROGRAM = 0x2E
TAG_VARIABLE = 0x34
TAG_VOLATILE = 0x35
TAG_RESTRICT = 0x37
TAG_NAMESPACE = 0x39
TAG_ATOMIC = 0x47
TAG_PARTIAL_UNIT = 0x3C

RECORD_TAGS = (TAG_CLASS, TAG_STRUCTURE, TAG_UNION)
QUALIFIER_TAGS = (TAG_TYPEDEF, TAG_CONST, TAG_VOLATILE, TAG_RESTRICT, TAG_ATOMIC)

# Attributes kept (the others are read past).
AT_LOCATION = 0x02
AT_NAME = 0x03
AT_LOW_PC = 0x11
AT_HIGH_PC = 0x12
AT_PRODUCER = 0x25
AT_COMP_DIR = 0x1B
AT_ABSTRACT_ORIGIN = 0x31
AT_DECLARATION = 0x3C
AT_SPECIFICATION = 0x47
AT_TYPE = 0x49
AT_RANGES = 0x55
AT_LINKAGE_NAME = 0x6E
AT_STR_OFFSETS_BASE = 0x72
AT_ADDR_BASE = 0x73
AT_RNGLISTS_BASE = 0x74
AT_LOCLISTS_BASE = 0x8C
KEPT = {AT_LOCATION, AT_NAME, AT_LOW_PC, AT_HIGH_PC, AT_PRODUCER, AT_COMP_DIR, AT_ABSTRACT_ORIGIN,
        AT_DECLARATION, AT_SPECIFICATION, AT_TYPE, AT_RANGES, AT_LINKAGE_NAME, AT_STR_OFFSETS_BASE,
        AT_ADDR_BASE, AT_RNGLISTS_BASE, AT_LOCLISTS_BASE}

# Forms read past by their size alone when their value is not kept.
FIXED_SIZES = {0x0B: 1, 0x05: 2, 0x06: 4, 0x07: 8, 0x0C: 1, 0x11: 1, 0x12: 2, 0x13: 4, 0x14: 8, 0x19: 0,
               0x1C: 4, 0x1E: 16, 0x20: 8, 0x21: 0, 0x24: 8, 0x25: 1, 0x26: 2, 0x27: 3, 0x28: 4, 0x29: 1,
               0x2A: 2, 0x2B: 3, 0x2C: 4}
OFFSET_FORMS = (0x0E, 0x10, 0x17, 0x1D, 0x1F, 0x1F20, 0x1F21)
LEB_FORMS = (0x0D, 0x0F, 0x15, 0x1A, 0x1B, 0x22, 0x23, 0x1F01, 0x1F02)

# Location operations that address the frame: fbreg, breg6 (rbp), breg7 (rsp).
FRAME_OPS = (0x91, 0x76, 0x77)


class DwarfError(Exception):
    pass


class Cursor:
    def __init__(self, data, position=0, end=None):
        self.data = data
        self.position = position
        self.end = len(data) if end is None else end

    def take(self, size):
        start = self.position
        if size < 0 or start + size > self.end:
            raise DwarfError("read of %d bytes at 0x%x is past the end (0x%x)" % (size, start, self.end))
        self.position = start + size
        return start

    def u8(self):
        return self.data[self.take(1)]

    def u16(self):
        return struct.unpack_from("<H", self.data, self.take(2))[0]

    def u24(self):
        at = self.take(3)
        return self.data[at] | self.data[at + 1] << 8 | self.data[at + 2] << 16

    def u32(self):
        return struct.unpack_from("<I", self.data, self.take(4))[0]

    def u64(self):
        return struct.unpack_from("<Q", self.data, self.take(8))[0]

    def sized(self, size):
        if size == 4:
            return self.u32()
        if size == 8:
            return self.u64()
        if size == 1:
            return self.u8()
        if size == 2:
            return self.u16()
        return self.u24()

    def uleb(self):
        result = shift = 0
        while True:
            byte = self.u8()
            result |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return result

    def sleb(self):
        result = shift = 0
        while True:
            byte = self.u8()
            result |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                if byte & 0x40:
                    result -= 1 << shift
                return result

    def block(self, size):
        at = self.take(size)
        return self.data[at:at + size]

    def cstring(self):
        end = self.data.find(b"\0", self.position, self.end)
        if end < 0:
            raise DwarfError("unterminated string at 0x%x" % self.position)
        text = self.data[self.position:end]
        self.position = end + 1
        return text.decode("utf-8", "replace")


class Unit:
    def __init__(self, offset):
        self.offset = offset
        self.attributes = {}


class Die:
    __slots__ = ("offset", "tag", "parent", "attributes", "children", "unit")

    def __init__(self, offset, tag, parent, unit):
        self.offset = offset
        self.tag = tag
        self.parent = parent
        self.attributes = {}
        self.children = []
        self.unit = unit


class FrameFunction:
    """A function of ours whose frame holds an array: its name, its code
    ranges [(start, end)] as addresses, and the variables that hold arrays."""

    def __init__(self, name, ranges, variables):
        self.name = name
        self.ranges = ranges
        self.variables = variables


class FrameArrays:
    def __init__(self, sections, source_root):
        """sections: {".debug_info": bytes, ...} of a symbol file."""
        self.sections = sections
        self.source_root = source_root
        self.info = sections.get(".debug_info", b"")
        self.abbrev_tables = {}
        self.dies = {}
        self.own_units = []
        self.definitions = {}
        self._array_memo = {}
        self._read_units()

    # --- units and DIEs ------------------------------------------------------

    def _abbrevs(self, offset):
        table = self.abbrev_tables.get(offset)
        if table is not None:
            return table
        table = {}
        cursor = Cursor(self.sections.get(".debug_abbrev", b""), offset)
        while True:
            code = cursor.uleb()
            if code == 0:
                break
            tag = cursor.uleb()
            has_children = cursor.u8() != 0
            specs = []
            while True:
                attribute = cursor.uleb()
                form = cursor.uleb()
                if attribute == 0 and form == 0:
                    break
                constant = cursor.sleb() if form == 0x21 else None
                specs.append((attribute, form, constant))
            table[code] = (tag, has_children, specs)
        self.abbrev_tables[offset] = table
        return table

    def _read_units(self):
        cursor = Cursor(self.info)
        while cursor.position < len(self.info):
            unit = Unit(cursor.position)
            length = cursor.u32()
            unit.offset_size = 4
            if length == 0xFFFFFFFF:
                length = cursor.u64()
                unit.offset_size = 8
            unit.end = cursor.position + length
            if unit.end > len(self.info):
                raise DwarfError("unit at 0x%x runs past .debug_info" % unit.offset)
            unit.version = cursor.u16()
            if unit.version >= 5:
                unit_type = cursor.u8()
                unit.address_size = cursor.u8()
                abbrev_offset = cursor.sized(unit.offset_size)
                if unit_type in (2, 6):  # type units: signature and type offset
                    cursor.take(8 + unit.offset_size)
                elif unit_type in (4, 5):  # skeleton and split units: the DWO id
                    cursor.take(8)
            elif unit.version in (2, 3, 4):
                abbrev_offset = cursor.sized(unit.offset_size)
                unit.address_size = cursor.u8()
            else:
                raise DwarfError("unit at 0x%x has DWARF version %d" % (unit.offset, unit.version))
            unit.abbrevs = self._abbrevs(abbrev_offset)
            self._read_unit(unit, cursor.position)
            cursor.position = unit.end

    def _read_unit(self, unit, start):
        """Reads the unit's top DIE; when it is ours, the whole tree."""
        cursor = Cursor(self.info, start, unit.end)
        top, has_children = self._read_die(unit, cursor, None)
        if top is None or top.tag not in (TAG_COMPILE_UNIT, TAG_PARTIAL_UNIT):
            return
        # The name may need the bases that the top DIE gives (strx forms).
        unit.attributes = top.attributes
        name = self._string(unit, top.attributes.get(AT_NAME))
        if not name:
            return
        # A compiler launcher may have given the source as a path relative
        # to the build folder.
        name = posixpath.normpath(posixpath.join(self._string(unit, top.attributes.get(AT_COMP_DIR)) or "/", name))
        if not name.startswith(self.source_root):
            return
        unit.name = name
        unit.producer = self._string(unit, top.attributes.get(AT_PRODUCER)) or ""
        unit.low_pc = self._address(unit, top.attributes.get(AT_LOW_PC)) or 0
        self.own_units.append(unit)
        self.dies[top.offset] = top
        parents = [top] if has_children else []
        while parents and cursor.position < unit.end:
            die, has_children = self._read_die(unit, cursor, parents[-1])
            if die is None:
                parents.pop()
                continue
            self.dies[die.offset] = die
            parents[-1].children.append(die)
            if has_children:
                parents.append(die)

    def _read_die(self, unit, cursor, parent):
        """(DIE, whether children follow it), or (None, False) at the end of
        a list of children."""
        offset = cursor.position
        code = cursor.uleb()
        if code == 0:
            return None, False
        entry = unit.abbrevs.get(code)
        if entry is None:
            raise DwarfError("DIE at 0x%x uses unknown abbreviation %d" % (offset, code))
        tag, has_children, specs = entry
        die = Die(offset, tag, parent, unit)
        data = cursor.data
        for attribute, form, constant in specs:
            if attribute not in KEPT:
                # Read past what is not kept without decoding it.
                size = FIXED_SIZES.get(form)
                if size is None and form in OFFSET_FORMS and (form != 0x10 or unit.version >= 3):
                    size = unit.offset_size
                if size is not None:
                    cursor.take(size)
                    continue
                if form in LEB_FORMS:
                    position = cursor.position
                    while position < cursor.end and data[position] & 0x80:
                        position += 1
                    cursor.take(position + 1 - cursor.position)
                    continue
            value = self._read_form(unit, cursor, form, constant)
            if attribute in KEPT:
                die.attributes[attribute] = value
        return die, has_children

    def _read_form(self, unit, cursor, form, constant):
        """A value: ints as ints, ("ref", offset) for references within
        .debug_info, ("str", offset) and friends for what needs a section to
        read, bytes for blocks, ("data", n) for constants."""
        if form == 0x01:
            return ("addr", cursor.sized(unit.address_size))
        if form in (0x0B, 0x05, 0x06, 0x07):
            return ("data", cursor.sized({0x0B: 1, 0x05: 2, 0x06: 4, 0x07: 8}[form]))
        if form == 0x0D:
            return ("data", cursor.sleb())
        if form == 0x0F:
            return ("data", cursor.uleb())
        if form == 0x1E:
            cursor.take(16)
            return ("data", 0)
        if form == 0x21:
            return ("data", constant)
        if form in (0x0C, 0x19):
            return True if form == 0x19 else cursor.u8() != 0
        if form == 0x08:
            return cursor.cstring()
        if form in (0x0E, 0x1F):
            return ("strp" if form == 0x0E else "line_strp", cursor.sized(unit.offset_size))
        if form in (0x1A, 0x25, 0x26, 0x27, 0x28):
            index = cursor.uleb() if form == 0x1A else cursor.sized({0x25: 1, 0x26: 2, 0x27: 3, 0x28: 4}[form])
            return ("strx", index)
        if form in (0x1B, 0x29, 0x2A, 0x2B, 0x2C):
            index = cursor.uleb() if form == 0x1B else cursor.sized({0x29: 1, 0x2A: 2, 0x2B: 3, 0x2C: 4}[form])
            return ("addrx", index)
        if form in (0x11, 0x12, 0x13, 0x14, 0x15):
            value = cursor.uleb() if form == 0x15 else cursor.sized({0x11: 1, 0x12: 2, 0x13: 4, 0x14: 8}[form])
            return ("ref", unit.offset + value)
        if form == 0x10:
            return ("ref", cursor.sized(unit.offset_size if unit.version >= 3 else unit.address_size))
        if form == 0x17:
            return ("sec_offset", cursor.sized(unit.offset_size))
        if form == 0x18:
            return cursor.block(cursor.uleb())
        if form in (0x09, 0x0A, 0x03, 0x04):
            size = cursor.uleb() if form == 0x09 else cursor.sized({0x0A: 1, 0x03: 2, 0x04: 4}[form])
            return cursor.block(size)
        if form in (0x22, 0x23):
            return ("loclistx" if form == 0x22 else "rnglistx", cursor.uleb())
        if form == 0x20:
            cursor.take(8)
            return ("sig8", 0)
        if form in (0x1C, 0x1D, 0x24, 0x1F20, 0x1F21):
            size = {0x1C: 4, 0x24: 8}.get(form, unit.offset_size)
            cursor.take(size)
            return ("alt", 0)
        if form == 0x16:
            return self._read_form(unit, cursor, cursor.uleb(), constant)
        if form in (0x1F01, 0x1F02):
            return ("addrx" if form == 0x1F01 else "strx", cursor.uleb())
        raise DwarfError("unknown attribute form 0x%x" % form)

    # --- values that need another section ------------------------------------

    def _section(self, name):
        return self.sections.get(name, b"")

    def _base(self, unit, attribute):
        value = unit.attributes.get(attribute)
        return value[1] if isinstance(value, tuple) else 0

    def _string(self, unit, value):
        if value is None or isinstance(value, str):
            return value
        kind, offset = value
        if kind == "strx":
            cursor = Cursor(self._section(".debug_str_offsets"),
                            self._base(unit, AT_STR_OFFSETS_BASE) + offset * unit.offset_size)
            offset = cursor.sized(unit.offset_size)
            kind = "strp"
        section = ".debug_str" if kind == "strp" else ".debug_line_str" if kind == "line_strp" else None
        if section is None:
            return None
        return Cursor(self._section(section), offset).cstring()

    def _address(self, unit, value):
        if value is None:
            return None
        kind, number = value
        if kind == "addr":
            return number
        if kind == "addrx":
            cursor = Cursor(self._section(".debug_addr"), self._base(unit, AT_ADDR_BASE) + number * unit.address_size)
            return cursor.sized(unit.address_size)
        return None

    def _list_offset(self, unit, value, base_attribute, section):
        kind, number = value
        if kind in ("loclistx", "rnglistx"):
            base = self._base(unit, base_attribute)
            cursor = Cursor(self._section(section), base + number * unit.offset_size)
            return base + cursor.sized(unit.offset_size)
        return number

    def ranges(self, die):
        """[(start, end)] addresses of a DIE's code; [] when it has none."""
        unit = die.unit
        low = self._address(unit, die.attributes.get(AT_LOW_PC))
        high = die.attributes.get(AT_HIGH_PC)
        if low is not None and high is not None:
            end = self._address(unit, high) if high[0] in ("addr", "addrx") else low + high[1]
            # A function the linker dropped (a duplicate) keeps a zero address.
            return [(low, end)] if low and end > low else []
        value = die.attributes.get(AT_RANGES)
        if not isinstance(value, tuple):
            return []
        result = []
        base = unit.low_pc
        if unit.version >= 5:
            cursor = self._list_cursor(unit, value, AT_RNGLISTS_BASE, ".debug_rnglists")
            while True:
                kind = cursor.u8()
                if kind == 0:
                    break
                if kind == 1:
                    base = self._address(unit, ("addrx", cursor.uleb()))
                elif kind == 2:
                    start = self._address(unit, ("addrx", cursor.uleb()))
                    result.append((start, self._address(unit, ("addrx", cursor.uleb()))))
                elif kind == 3:
                    start = self._address(unit, ("addrx", cursor.uleb()))
                    result.append((start, start + cursor.uleb()))
                elif kind == 4:
                    start = cursor.uleb()
                    result.append((base + start, base + cursor.uleb()))
                elif kind == 5:
                    base = cursor.sized(unit.address_size)
                elif kind == 6:
                    start = cursor.sized(unit.address_size)
                    result.append((start, cursor.sized(unit.address_size)))
                elif kind == 7:
                    start = cursor.sized(unit.address_size)
                    result.append((start, start + cursor.uleb()))
                else:
                    raise DwarfError("unknown range list entry %d" % kind)
        else:
            cursor = Cursor(self._section(".debug_ranges"), value[1])
            for start, end in self._dwarf4_list(cursor, unit):
                if start is None:
                    base = end
                else:
                    result.append((base + start, base + end))
        return [(start, end) for start, end in result if start and end > start]

    def _list_cursor(self, unit, value, base_attribute, section):
        """A cursor at the DWARF 5 list that `value` names in `section`."""
        return Cursor(self._section(section), self._list_offset(unit, value, base_attribute, section))

    @staticmethod
    def _dwarf4_list(cursor, unit):
        """The entries of a DWARF 4 range or location list as (start, end),
        up to its end entry; a base address selection comes as (None, base).
        What follows an entry in a location list is the caller's to read
        before it asks for the next."""
        largest = (1 << (8 * unit.address_size)) - 1
        while True:
            start = cursor.sized(unit.address_size)
            end = cursor.sized(unit.address_size)
            if start == 0 and end == 0:
                return
            yield (None, end) if start == largest else (start, end)

    def _expressions(self, die):
        """The location expressions of a variable: one, or one per entry of
        its location list."""
        value = die.attributes.get(AT_LOCATION)
        if value is None:
            return []
        if isinstance(value, bytes):
            return [value]
        if not isinstance(value, tuple) or value[0] not in ("sec_offset", "loclistx"):
            return []
        unit = die.unit
        expressions = []
        if unit.version >= 5:
            cursor = self._list_cursor(unit, value, AT_LOCLISTS_BASE, ".debug_loclists")
            while True:
                kind = cursor.u8()
                if kind == 0:
                    break
                if kind == 1:
                    cursor.uleb()
                    continue
                if kind == 6:
                    cursor.sized(unit.address_size)
                    continue
                if kind in (2, 4):
                    cursor.uleb()
                    cursor.uleb()
                elif kind == 3:
                    cursor.uleb()
                    cursor.uleb()
                elif kind == 7:
                    cursor.sized(unit.address_size)
                    cursor.sized(unit.address_size)
                elif kind == 8:
                    cursor.sized(unit.address_size)
                    cursor.uleb()
                elif kind != 5:
                    raise DwarfError("unknown location list entry %d" % kind)
                expressions.append(cursor.block(cursor.uleb()))
        else:
            cursor = Cursor(self._section(".debug_loc"), value[1])
            for start, _end in self._dwarf4_list(cursor, unit):
                # An entry's expression follows it; a base selection has none.
                if start is not None:
                    expressions.append(cursor.block(cursor.u16()))
        return expressions

    # --- what the rule asks --------------------------------------------------

    def _follow(self, die, attribute):
        value = die.attributes.get(attribute)
        if isinstance(value, tuple) and value[0] == "ref":
            return self.dies.get(value[1])
        return None

    def _origin(self, die):
        """The DIE that names and types this one (abstract origin or
        specification), followed to its end."""
        seen = 0
        while seen < 8:
            nxt = self._follow(die, AT_ABSTRACT_ORIGIN) or self._follow(die, AT_SPECIFICATION)
            if nxt is None:
                return die
            die = nxt
            seen += 1
        return die

    def _qualified_name(self, die):
        parts = []
        while die is not None and die.tag not in (TAG_COMPILE_UNIT, TAG_PARTIAL_UNIT):
            name = self._string(die.unit, die.attributes.get(AT_NAME))
            parts.append(name or "?")
            die = die.parent
        return "::".join(reversed(parts))

    def _definition(self, record):
        if not record.attributes.get(AT_DECLARATION):
            return record
        if not self.definitions:
            for die in self.dies.values():
                if die.tag in RECORD_TAGS and not die.attributes.get(AT_DECLARATION):
                    self.definitions.setdefault(self._qualified_name(die), die)
        return self.definitions.get(self._qualified_name(record))

    def holds_array(self, type_die):
        if type_die is None:
            return False
        memo = self._array_memo.get(type_die.offset)
        if memo is not None:
            return memo
        self._array_memo[type_die.offset] = False  # a type that contains itself through a pointer
        result = False
        if type_die.tag == TAG_ARRAY:
            result = True
        elif type_die.tag in QUALIFIER_TAGS:
            result = self.holds_array(self._follow(type_die, AT_TYPE))
        elif type_die.tag in RECORD_TAGS:
            definition = self._definition(type_die)
            if definition is not None:
                result = any(self.holds_array(self._follow(child, AT_TYPE)) for child in definition.children
                             if child.tag in (TAG_MEMBER, TAG_INHERITANCE)
                             and not child.attributes.get(AT_DECLARATION))
        self._array_memo[type_die.offset] = result
        return result

    def _in_frame(self, variable):
        return any(expression and expression[0] in FRAME_OPS for expression in self._expressions(variable))

    def _frame_arrays(self, function):
        names = []
        stack = list(function.children)
        while stack:
            die = stack.pop()
            if die.tag == TAG_SUBPROGRAM:
                continue  # a function of its own
            if die.tag == TAG_VARIABLE and self._in_frame(die):
                origin = self._origin(die)
                if self.holds_array(self._follow(origin, AT_TYPE)):
                    names.append(self._string(origin.unit, origin.attributes.get(AT_NAME)) or "?")
            if die.tag in (TAG_LEXICAL_BLOCK, TAG_INLINED_SUBROUTINE):
                stack.extend(die.children)
        return names

    def function_name(self, die):
        origin = self._origin(die)
        for attribute in (AT_LINKAGE_NAME, AT_NAME):
            name = self._string(origin.unit, origin.attributes.get(attribute))
            if name:
                return name
        return "function at 0x%x" % die.offset

    def functions(self):
        """Every function of ours with code whose frame holds an array."""
        result = []
        for die in self.dies.values():
            if die.tag != TAG_SUBPROGRAM:
                continue
            code = self.ranges(die)
            if not code:
                continue
            variables = self._frame_arrays(die)
            if variables:
                result.append(FrameFunction(self.function_name(die), code, sorted(variables)))
        return result
