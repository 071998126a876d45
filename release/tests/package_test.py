#!/usr/bin/env python3
"""cmake --install and cpack lay out what README.md ("The package") says.

    package_test.py BUILD_FOLDER

Installs the build into a temporary folder and packs it with cpack into
another; the installed files, and the two ZIPs' entries together, must be
exactly the layout below, and what they hold of an image must be the shipped
(stripped, signed) image of build/ship/bin.
"""

import glob
import os
import subprocess
import sys
import tempfile
import zipfile

IMAGES = ["RUXUI.dll", "Rux.dll", "VtApi.dll", "ruxhost.exe", "ruxui-console.exe", "vtctl.exe", "olvlog.exe",
          "ruxfuzz.exe"]


def expected_layout(source, public_key):
    files = {"bin/" + image for image in IMAGES}
    files.add("bin/olvkeygen.py")
    files |= {"lib/RUXUI.lib", "lib/Rux.lib", "lib/VtApi.lib"}
    files |= {"include/contracts/" + os.path.basename(header)
              for header in glob.glob(os.path.join(source, "contracts", "*.h"))}
    files |= {"keys/" + os.path.basename(public_key), "keys/README.md"}
    symbols = {"symbols/%s.debug" % image for image in IMAGES}
    return files, symbols


def listed(folder):
    found = set()
    for root, _folders, names in os.walk(folder):
        for name in names:
            found.add(os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/"))
    return found


def main():
    build = os.path.abspath(sys.argv[1])
    cache = {}
    with open(os.path.join(build, "CMakeCache.txt")) as lines:
        for line in lines:
            if ":" in line and "=" in line and not line.startswith(("#", "//")):
                name, value = line.split("=", 1)
                cache[name.split(":", 1)[0]] = value.strip()
    package, symbols = expected_layout(cache["RuxUI_SOURCE_DIR"], cache["OLV_LOG_PUBLIC_KEY_FILE"])
    failures = []
    with tempfile.TemporaryDirectory() as work:
        prefix = os.path.join(work, "install")
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)
        installed = listed(prefix)
        if installed != package | symbols:
            failures.append("cmake --install: missing %s, unexpected %s" % (
                sorted(package | symbols - installed), sorted(installed - package - symbols)))

        packed = os.path.join(work, "package")
        subprocess.run(["cpack", "-B", packed], cwd=build, check=True, stdout=subprocess.DEVNULL)
        for name, wanted in (("RuxUI-*-win64.zip", package), ("RuxUI-*-win64-symbols.zip", symbols)):
            archives = glob.glob(os.path.join(packed, name))
            if len(archives) != 1:
                failures.append("cpack: %d archives named %s" % (len(archives), name))
                continue
            with zipfile.ZipFile(archives[0]) as archive:
                entries = {entry for entry in archive.namelist() if not entry.endswith("/")}
                if entries != wanted:
                    failures.append("%s: missing %s, unexpected %s" % (
                        os.path.basename(archives[0]), sorted(wanted - entries), sorted(entries - wanted)))
                if "bin/RUXUI.dll" in entries:
                    with open(os.path.join(build, "ship", "bin", "RUXUI.dll"), "rb") as shipped:
                        if archive.read("bin/RUXUI.dll") != shipped.read():
                            failures.append("the package's RUXUI.dll is not build/ship/bin/RUXUI.dll")
    for failure in failures:
        print("FAIL " + failure)
    print("package: %s" % ("layout as described" if not failures else "%d failures" % len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
