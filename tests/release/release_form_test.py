#!/usr/bin/env python3
"""The release form of KetroSetup.exe (scripts/release.sh form): the stripped program with a
debug link, and its debug information beside it, good for symbolising a crash address.

    release_form_test.py --release-sh scripts/release.sh --exe KetroSetup.exe --mingw PREFIX
                         --folder DIR [--folder DIR...]

PREFIX is the toolchain's (i686-w64-mingw32); each DIR is a folder whose path must not be
left in what ships (the source tree, the build folder). Exit 0 when every check held.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_file  # noqa: E402

DEBUG_NAME = "KetroSetup.exe.debug"


class Checks:
    def __init__(self):
        self.failed = []

    def check(self, condition, message):
        if not condition:
            self.failed.append(message)
        return condition


def make_form(release_sh, exe, folder):
    subprocess.run([release_sh, "form", exe, folder], check=True)
    with open(os.path.join(folder, "KetroSetup.exe"), "rb") as f:
        shipped = f.read()
    with open(os.path.join(folder, DEBUG_NAME), "rb") as f:
        debug = f.read()
    return shipped, debug


def debuglink(name, debug):
    """The .gnu_debuglink section objcopy writes: the name, NUL, padding to 4, the CRC-32."""
    raw = name.encode() + b"\0"
    raw += b"\0" * (-len(raw) % 4)
    return raw + struct.pack("<I", zlib.crc32(debug) & 0xFFFFFFFF)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--release-sh", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--mingw", required=True)
    parser.add_argument("--folder", action="append", default=[])
    args = parser.parse_args()
    c = Checks()
    work = tempfile.mkdtemp(prefix="ket-release-form.")
    try:
        with open(args.exe, "rb") as f:
            linked = f.read()
        shipped, debug = make_form(args.release_sh, args.exe, os.path.join(work, "one"))
        again, debug_again = make_form(args.release_sh, args.exe, os.path.join(work, "two"))
        c.check(again == shipped and debug_again == debug,
                "two release forms of the same exe differ")

        original = pe_file.PeFile(linked)
        stripped = pe_file.PeFile(shipped)
        names = [s["name"] for s in stripped.sections]
        c.check(not [n for n in names if n.startswith(".debug")],
                "the stripped exe keeps debug sections: %r" % names)
        c.check(stripped.symbol_count == 0,
                "the stripped exe keeps a symbol table (%d symbols)" % stripped.symbol_count)
        c.check(stripped.section(".gnu_debuglink") is not None
                and stripped.section(".gnu_debuglink").startswith(debuglink(DEBUG_NAME, debug)),
                "the debug link does not name %s with its CRC-32" % DEBUG_NAME)
        c.check(stripped.timestamp == 0 and original.timestamp == 0,
                "PE time stamps %#x (linked), %#x (stripped), not 0"
                % (original.timestamp, stripped.timestamp))
        c.check(stripped.resources() == original.resources(),
                "the stripped exe's resources differ from the linked exe's")
        c.check(len(shipped) < len(linked) // 2,
                "stripped %d bytes of %d: the debug information stayed" % (len(shipped),
                                                                        len(linked)))
        debug_names = [s["name"] for s in pe_file.PeFile(debug).sections]
        c.check(".debug_info" in debug_names and ".debug_line" in debug_names,
                "the debug file lacks .debug_info or .debug_line: %r" % debug_names)

        for folder in args.folder:
            needle = os.path.realpath(folder).encode()
            c.check(needle not in shipped, "the stripped exe holds the path %s" % folder)
            c.check(needle not in debug, "the debug file holds the path %s" % folder)

        # A crash address symbolised with the debug file alone: the program entry's address
        # resolves to its line in ui/main.cpp, under the fixed source folder name.
        symbols = subprocess.run([args.mingw + "-nm", os.path.join(work, "one", DEBUG_NAME)],
                                 check=True, stdout=subprocess.PIPE, text=True).stdout
        entry = [line.split()[0] for line in symbols.splitlines()
                 if re.search(r" T _?wWinMain(@16)?$", line)]
        if c.check(len(entry) == 1, "wWinMain is not among the debug file's symbols"):
            where = subprocess.run([args.mingw + "-addr2line", "-e",
                                    os.path.join(work, "one", DEBUG_NAME), "0x" + entry[0]],
                                   check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
            c.check(re.fullmatch(r"/ketro-setup/ui/main\.cpp:\d+", where) is not None,
                    "wWinMain at 0x%s resolves to %r" % (entry[0], where))
        print("release_form_test: %s: %d bytes linked, %d stripped, %d of debug information"
              % (args.exe, len(linked), len(shipped), len(debug)))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for message in c.failed:
        print("release_form_test: " + message, file=sys.stderr)
    return 1 if c.failed else 0


if __name__ == "__main__":
    sys.exit(main())
