#!/usr/bin/env python3
"""Rewrites ZIP archives so that the same files give the same bytes.

CPack's archives carry each file's change and creation times and its owner,
and list files in the order the folder gave them. This writes each archive
again with its entries sorted by name, every entry dated TIME (seconds since
1970, UTC; a ZIP holds dates from 1980 on, in steps of two seconds), with
only the Unix mode kept of each entry's attributes, no extra fields, and the
content deflated at level 9.

    repeatable-zip.py TIME ARCHIVE...
"""

import os
import sys
import time
import zipfile


def rewrite(path, epoch):
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    with zipfile.ZipFile(path) as source:
        entries = [(info, source.read(info)) for info in source.infolist()]
    entries.sort(key=lambda entry: entry[0].filename)
    temporary = path + ".repeatable"
    with zipfile.ZipFile(temporary, "w") as target:
        for old, content in entries:
            info = zipfile.ZipInfo(old.filename, date_time=stamp)
            info.create_system = 3  # Unix: the high half of external_attr is the mode
            mode = (old.external_attr >> 16) & 0o170777
            if not mode:
                mode = 0o40755 if old.filename.endswith("/") else 0o100644
            info.external_attr = mode << 16
            if old.filename.endswith("/"):
                info.external_attr |= 0x10  # MS-DOS directory bit
                info.compress_type = zipfile.ZIP_STORED
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
            target.writestr(info, content, compresslevel=9)
    os.replace(temporary, path)


def main():
    if len(sys.argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    epoch = int(sys.argv[1])
    for path in sys.argv[2:]:
        rewrite(path, epoch)
    return 0


if __name__ == "__main__":
    sys.exit(main())
