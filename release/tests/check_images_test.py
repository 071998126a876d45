#!/usr/bin/env python3
"""The binary check refuses an image that breaks any one of its rules.

The broken images are made here, at test time: from the shipped RUXUI.dll
before signing (with its symbol file), each with one field or byte changed,
and from a tiny DLL (StackSample.cpp) built with the cross compiler with and
without stack protection. Each must fail the rule it breaks and no other
than its unbroken original fails.

    check_images_test.py --image RUXUI.dll --symbols RUXUI.dll.debug
                         --cxx G++ --objcopy OBJCOPY --version V
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import pe_image  # noqa: E402
from pe_image import PeImage  # noqa: E402

CHECK = os.path.join(os.path.dirname(HERE), "check-images.py")
ARGS = None


def failed_rules(*paths):
    """{path: set of the rules the check reports as failed} of one run of the
    check over the images given, and the check's output."""
    run = subprocess.run([sys.executable, CHECK, "--version", ARGS.version] + list(paths),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    rules = {path: set() for path in paths}
    for path, rule in re.findall(r"^FAIL (.+?): ([a-z-]+):", run.stdout, re.M):
        rules[path].add(rule)
    if any(rules.values()) != (run.returncode != 0):
        raise AssertionError("exit status %d does not match the output:\n%s" % (run.returncode, run.stdout))
    return rules, run.stdout


def patch(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def patch_u32(path, offset, change):
    with open(path, "r+b") as f:
        f.seek(offset)
        value = int.from_bytes(f.read(4), "little")
        f.seek(offset)
        f.write(change(value).to_bytes(4, "little"))


# --- changes to the real image: each breaks one rule ---------------------------

def clear_dll_characteristic(flag):
    def change(path, image):
        offset = image.dll_characteristics_offset
        patch(path, offset, (image.dll_characteristics & ~flag).to_bytes(2, "little"))
    return change


def make_text_writable(path, image):
    index = [section.name for section in image.sections].index(".text")
    patch_u32(path, image.section_header_offset(index) + 36, lambda value: value | pe_image.SCN_MEM_WRITE)


def add_debug_section(path, image):
    content = path + ".section"
    with open(content, "wb") as f:
        f.write(b"\0" * 64)
    # objcopy warns that the new section has no address in the image: it is
    # never loaded, as debug sections never are.
    subprocess.run([ARGS.objcopy, "--add-section", ".debug_info=" + content, path], check=True,
                   stderr=subprocess.DEVNULL)


def rename_import(new_name):
    def change(path, image):
        # The import name of ADVAPI32.dll (12 characters and its NUL) is
        # overwritten in place by a name at most as long.
        at = image.data.find(b"ADVAPI32.dll\0")
        assert at > 0, "no ADVAPI32.dll import name"
        patch(path, at, new_name.encode() + b"\0" * (13 - len(new_name)))
    return change


def hide_version_resource(path, image):
    entries = [(type_id, at) for type_id, at in image.resource_entries() if type_id == pe_image.RT_VERSION]
    assert entries, "no RT_VERSION resource"
    patch_u32(path, entries[0][1], lambda value: 0x7FF0)


def swap_first_two_ordinals(path, image):
    table, count = image.export_name_ordinals()
    assert count >= 2
    patch(path, table, image.data[table + 2:table + 4] + image.data[table:table + 2])


REAL_IMAGE_CASES = [
    ("aslr", clear_dll_characteristic(pe_image.DYNAMIC_BASE)),
    ("high-entropy-va", clear_dll_characteristic(pe_image.HIGH_ENTROPY_VA)),
    ("nx", clear_dll_characteristic(pe_image.NX_COMPAT)),
    ("wx-sections", make_text_writable),
    ("debug-sections", add_debug_section),
    ("imports", rename_import("WTSAPI32.dll")),
    ("imports", rename_import("version.dll")),
    ("version-resource", hide_version_resource),
    ("exports", swap_first_two_ordinals),
]


class BrokenImagesFail(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="check-images-")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def sample_of_real_image(self, name):
        folder = os.path.join(self.folder, name)
        os.mkdir(folder)
        path = os.path.join(folder, "RUXUI.dll")
        shutil.copyfile(ARGS.image, path)
        shutil.copyfile(ARGS.symbols, os.path.join(folder, os.path.basename(ARGS.symbols)))
        return path

    def test_each_change_of_the_real_image_fails_its_rule(self):
        original = self.sample_of_real_image("original")
        samples = []
        for index, (rule, change) in enumerate(REAL_IMAGE_CASES):
            path = self.sample_of_real_image("case%d" % index)
            change(path, PeImage(path))
            samples.append(path)
        rules, output = failed_rules(original, *samples)
        self.assertEqual(rules[original], set(), output)
        for path, (rule, change) in zip(samples, REAL_IMAGE_CASES):
            with self.subTest(rule=rule, change=change.__qualname__):
                self.assertEqual(rules[path], {rule}, output)

    def build_sample(self, name, flags):
        """StackSample.dll built with FLAGS, split like a shipped image."""
        folder = os.path.join(self.folder, name)
        os.mkdir(folder)
        image = os.path.join(folder, "StackSample.dll")
        linked = image + ".linked"
        subprocess.run([ARGS.cxx, "-O2", "-g", "-shared", "-static", "-fdebug-prefix-map=%s=/ruxui" % HERE]
                       + flags + [os.path.join(HERE, "StackSample.cpp"), "-o", linked], check=True)
        subprocess.run([ARGS.objcopy, "--only-keep-debug", linked, image + ".debug"], check=True)
        subprocess.run([ARGS.objcopy, "--strip-all", "--add-gnu-debuglink=" + image + ".debug", linked, image],
                       check=True)
        return image

    def test_a_frame_with_an_array_and_no_guard_fails_stack_protector(self):
        protected = self.build_sample("protected", ["-fstack-protector-strong"])
        cases = [
            ("built without -fstack-protector-strong", []),
            ("built with it, the function exempted by attribute",
             ["-fstack-protector-strong", "-DSAMPLE_UNGUARDED"]),
        ]
        samples = [self.build_sample("case%d" % index, flags) for index, (what, flags) in enumerate(cases)]
        rules, output = failed_rules(protected, *samples)
        self.assertNotIn("stack-protector", rules[protected], output)
        for path, (what, flags) in zip(samples, cases):
            with self.subTest(what):
                self.assertEqual(rules[path], rules[protected] | {"stack-protector"}, output)
                self.assertIn(path + ": stack-protector: SampleModuleNameLength has buffer in its frame and no "
                              "stack guard", output)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--image", required=True, help="the shipped RUXUI.dll before signing")
    parser.add_argument("--symbols", required=True, help="its symbol file")
    parser.add_argument("--cxx", required=True, help="the cross C++ compiler")
    parser.add_argument("--objcopy", required=True)
    parser.add_argument("--version", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
