#!/usr/bin/env python3
"""The binary check of the shipped images: what a Windows binary review asks
of each, read from the image (and its symbol file) by our own PE and DWARF
readers.

    check-images.py [--version V] [--symbols DIR] [--source-root PREFIX] IMAGE...

Rules, each failure printed as "FAIL IMAGE: RULE: why" (IMAGE as given):
  aslr              DYNAMIC_BASE is set, relocations are not stripped, and the
                    image has a base relocation table to move it with
  high-entropy-va   HIGH_ENTROPY_VA and LARGE_ADDRESS_AWARE are set
  nx                NX_COMPAT is set
  wx-sections       no section is both writable and executable
  debug-sections    no .debug*, .zdebug* or .stab* section and no COFF symbol
                    table (both live in the symbol file)
  stack-protector   the symbol file that the image's .gnu_debuglink names is
                    found (beside the image, or in --symbols DIR) and its CRC
                    matches; each compile unit of ours in it was compiled with
                    -fstack-protector-strong (or -all) and not switched off
                    after; and each function of ours whose stack frame holds
                    an array (see dwarf_frames.py for the exact rule) loads
                    the stack guard (__stack_chk_guard, directly or through
                    its .refptr) or calls __stack_chk_fail in its own code,
                    unless EXEMPT names it with its reason
  imports           every DLL imported, at load time or delayed, is in the
                    image's entry of ALLOWED_IMPORTS
  version-resource  an RT_VERSION resource with a valid fixed file info,
                    whose file and product versions are V when given
  exports           RUXUI.dll only: OlvLog_FlushThread is ordinal 1 and
                    RuxUIClientNew ordinal 2 (hosts call both by ordinal)

"Ours" is a compile unit whose name starts with the source root: the build
maps the source tree to /ruxui in the debug information.
Exit status 0 when every image passes every rule, 1 otherwise, 2 on misuse.
"""

import argparse
import bisect
import os
import struct
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pe_image  # noqa: E402
from dwarf_frames import DwarfError, FrameArrays  # noqa: E402
from pe_image import PeError, PeImage  # noqa: E402

# The DLLs each shipped image may import (compared without case). RUXUI.dll
# loads wtsapi32.dll and version.dll at run time, when it needs them: a host
# without terminal services must still be able to load the plug-in, and
# version.dll is taken from the system folder by its full path, never found
# by the loader in the host's folder. Neither may appear here.
SYSTEM = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "ntdll.dll"}
ALLOWED_IMPORTS = {
    "RUXUI.dll": SYSTEM | {"user32.dll", "rux.dll", "vtapi.dll"},
    "Rux.dll": SYSTEM,
    "VtApi.dll": SYSTEM,
    "ruxhost.exe": SYSTEM | {"psapi.dll"},
    "ruxui-console.exe": SYSTEM | {"user32.dll", "rux.dll"},
    "vtctl.exe": SYSTEM | {"user32.dll"},
    "olvlog.exe": SYSTEM | {"user32.dll"},
    "ruxfuzz.exe": SYSTEM | {"rux.dll"},
}

# Functions of ours allowed to go without the stack guard although their frame
# holds an array: {name: reason}. A function named here carries
# __attribute__((no_stack_protector)) and says why beside it.
EXEMPT = {}

REQUIRED_EXPORTS = {"RUXUI.dll": {"OlvLog_FlushThread": 1, "RuxUIClientNew": 2}}

GUARD_SYMBOLS = ("__stack_chk_guard", ".refptr.__stack_chk_guard", "__stack_chk_fail")
DEBUG_PREFIXES = (".debug", ".zdebug", ".stab")

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_LARGE_ADDRESS_AWARE = 0x0020
DIR_BASERELOC = 5


class Check:
    def __init__(self, path, args):
        self.path = path
        self.name = os.path.basename(path)
        self.args = args
        self.failures = []
        self.notes = []

    def fail(self, rule, why):
        self.failures.append((rule, why))

    def run(self):
        try:
            self.image = PeImage(self.path)
        except (OSError, PeError) as error:
            self.fail("image", str(error))
            return
        for rule in (self.aslr, self.high_entropy_va, self.nx, self.wx_sections, self.debug_sections,
                     self.stack_protector, self.imports, self.version_resource, self.exports):
            try:
                rule()
            except (PeError, DwarfError, struct.error) as error:
                self.fail(rule.__name__.replace("_", "-"), "unreadable: %s" % error)

    # --- the rules -----------------------------------------------------------

    def aslr(self):
        image = self.image
        if not image.dll_characteristics & pe_image.DYNAMIC_BASE:
            self.fail("aslr", "DYNAMIC_BASE is not set")
        if image.characteristics & IMAGE_FILE_RELOCS_STRIPPED:
            self.fail("aslr", "relocations are stripped")
        if not image.directory(DIR_BASERELOC)[1]:
            self.fail("aslr", "no base relocation table")

    def high_entropy_va(self):
        image = self.image
        if not image.dll_characteristics & pe_image.HIGH_ENTROPY_VA:
            self.fail("high-entropy-va", "HIGH_ENTROPY_VA is not set")
        if not image.characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE:
            self.fail("high-entropy-va", "LARGE_ADDRESS_AWARE is not set")

    def nx(self):
        if not self.image.dll_characteristics & pe_image.NX_COMPAT:
            self.fail("nx", "NX_COMPAT is not set")

    def wx_sections(self):
        both = pe_image.SCN_MEM_WRITE | pe_image.SCN_MEM_EXECUTE
        for section in self.image.sections:
            if section.characteristics & both == both:
                self.fail("wx-sections", "section %s is writable and executable" % section.name)

    def debug_sections(self):
        for section in self.image.sections:
            if section.name.startswith(DEBUG_PREFIXES):
                self.fail("debug-sections", "section %s" % section.name)
        if self.image.symbol_count:
            self.fail("debug-sections", "a COFF symbol table of %d entries" % self.image.symbol_count)

    def imports(self):
        allowed = ALLOWED_IMPORTS.get(self.name)
        if allowed is None:
            self.fail("imports", "no allow-list for this image in check-images.py")
            return
        for dll in self.image.imported_dlls() + self.image.delay_imported_dlls():
            if dll.lower() not in allowed:
                self.fail("imports", "%s is not allowed" % dll)

    def version_resource(self):
        info = self.image.version_info()
        if info is None:
            self.fail("version-resource", "no RT_VERSION resource with a valid VS_FIXEDFILEINFO")
            return
        if self.args.version:
            wanted = tuple(int(part) for part in self.args.version.split("."))
            for what, version in zip(("file", "product"), info):
                if version != wanted:
                    self.fail("version-resource", "%s version %s, not %s" % (
                        what, ".".join(map(str, version)), self.args.version))

    def exports(self):
        required = REQUIRED_EXPORTS.get(self.name)
        if not required:
            return
        exported = self.image.exports()
        for name, ordinal in sorted(required.items()):
            if exported.get(name) != ordinal:
                self.fail("exports", "%s is %s, not ordinal %d" % (
                    name, "ordinal %d" % exported[name] if name in exported else "not exported", ordinal))

    def stack_protector(self):
        found = self._symbol_file()
        if found is None:
            return
        units, functions, targets = _read_symbols(*found, self.args.source_root)
        if not units:
            self.fail("stack-protector", "the symbol file describes no code under %s" % self.args.source_root)
            return
        for name, producer in units:
            if not _protected(producer):
                self.fail("stack-protector", "%s was compiled without -fstack-protector-strong" % name)
        references = self._references(targets)
        base = self.image.image_base
        unguarded = 0
        for function in functions:
            if function.name in EXEMPT:
                continue
            guarded = False
            for start, end in function.ranges:
                at = bisect.bisect_left(references, start - base)
                if at < len(references) and references[at] < end - base:
                    guarded = True
                    break
            if not guarded:
                unguarded += 1
                self.fail("stack-protector", "%s has %s in its frame and no stack guard" % (
                    function.name, ", ".join(function.variables)))
        self.notes.append("%d functions with arrays in their frame, %d guarded" % (
            len(functions), len(functions) - unguarded))

    # --- helpers -------------------------------------------------------------

    def _symbol_file(self):
        link = self.image.debug_link()
        if link is None:
            self.fail("stack-protector", "no .gnu_debuglink: the image names no symbol file")
            return None
        file_name, crc = link
        folder = self.args.symbols or os.path.dirname(self.path)
        path = os.path.join(folder, file_name)
        try:
            with open(path, "rb") as f:
                content = f.read()
        except OSError:
            self.fail("stack-protector", "symbol file %s not found" % path)
            return None
        if zlib.crc32(content) != crc:
            self.fail("stack-protector", "symbol file %s is not this image's (CRC differs)" % path)
            return None
        return path, crc

    def _references(self, targets):
        """Sorted RVAs of the places in executable sections where a 32-bit
        displacement, relative to its own end as in RIP-relative operands and
        call rel32, reaches one of targets."""
        found = []
        if not targets:
            return found
        for section in self.image.sections:
            if not section.characteristics & pe_image.SCN_MEM_EXECUTE:
                continue
            code = self.image.section_bytes(section)
            start = section.virtual_address
            for position in range(len(code) - 3):
                displacement = struct.unpack_from("<i", code, position)[0]
                if start + position + 4 + displacement in targets:
                    found.append(start + position)
        return found


_SYMBOLS_READ = {}


def _read_symbols(path, crc, source_root):
    """([(unit name, producer)], [FrameFunction], RVAs of the guard symbols)
    of a symbol file; read once for all the images that name it."""
    key = (crc, os.path.getsize(path), source_root)
    if key not in _SYMBOLS_READ:
        symbols = PeImage(path)
        sections = {section.name: symbols.section_bytes(section) for section in symbols.sections
                    if section.name.startswith(".debug_")}
        frames = FrameArrays(sections, source_root)
        targets = set()
        for symbol in symbols.symbols():
            if symbol.name in GUARD_SYMBOLS:
                rva = symbols.symbol_rva(symbol)
                if rva is not None:
                    targets.add(rva)
        _SYMBOLS_READ[key] = ([(unit.name, unit.producer) for unit in frames.own_units], frames.functions(),
                              targets)
    return _SYMBOLS_READ[key]


def _protected(producer):
    """Whether GCC's recorded switches leave -fstack-protector-strong (or
    -all) in force: the last stack-protector switch wins."""
    last = None
    for switch in producer.split():
        if switch.startswith(("-fstack-protector", "-fno-stack-protector")):
            last = switch
    return last in ("-fstack-protector-strong", "-fstack-protector-all")


def main():
    parser = argparse.ArgumentParser(description="The binary check of the shipped images.")
    parser.add_argument("--version", help="the version every image's version resource must carry (A.B.C.D)")
    parser.add_argument("--symbols", help="the folder of the symbol files (default: beside each image)")
    parser.add_argument("--source-root", default="/ruxui/", help="what our compile units' names start with")
    parser.add_argument("images", nargs="+")
    args = parser.parse_args()

    failed = 0
    for path in args.images:
        check = Check(path, args)
        check.run()
        if check.failures:
            failed += 1
            for rule, why in check.failures:
                print("FAIL %s: %s: %s" % (path, rule, why))
        else:
            print("ok   %s%s" % (path, "".join("; " + note for note in check.notes)))
    print("check-images: %d of %d images pass" % (len(args.images) - failed, len(args.images)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
