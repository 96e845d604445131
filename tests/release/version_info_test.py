#!/usr/bin/env python3
"""The version resource, the manifest and the payload of a built KetroSetup.exe, read back from
the file itself (stripped, signed or as linked) and held against the generated ket_version.h.

    version_info_test.py --exe EXE --header ket_version.h [--payload payload.bin]
                         [--machine i386|x86-64]

Exit 0 when every check held, 1 otherwise (each problem on stderr).
"""

import argparse
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_file  # noqa: E402

PRODUCT_NAME = "Ketro FULL"
ENGLISH, RUSSIAN = "040904b0", "041904b0"
VFT_APP, VOS_NT_WINDOWS32 = 1, 0x40004


def read_header(path):
    """The #define lines of ket_version.h: numbers as int, C strings decoded from UTF-8."""
    values = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r'#define (KET_\w+) (?:(\d+)|"((?:[^"\\]|\\.)*)")\s*$', line)
            if not m:
                continue
            if m.group(2) is not None:
                values[m.group(1)] = int(m.group(2))
            else:
                values[m.group(1)] = re.sub(r"\\(.)", r"\1", m.group(3))
    return values


def problems(data, header, payload=None, machine=None):
    """What is wrong with the exe's bytes, as a list of texts (empty when all is right)."""
    found = []
    try:
        pe = pe_file.PeFile(data)
        resources = pe.resources()
    except pe_file.PeError as e:
        return ["not a readable PE file: %s" % e]
    if machine:
        kind = {"i386": "PE32", "x86-64": "PE32+"}[machine]
        if pe_file.MACHINES.get(pe.machine) != machine or pe.kind != kind:
            found.append("a %s file for %s, not %s for %s"
                         % (pe.kind, pe_file.MACHINES.get(pe.machine, hex(pe.machine)), kind,
                            machine))

    versions = [v for (t, _, _), v in resources.items() if t == pe_file.RT_VERSION]
    if len(versions) != 1:
        return found + ["%d version resources, not 1" % len(versions)]
    try:
        info = pe_file.parse_version_info(versions[0])
    except pe_file.PeError as e:
        return found + ["unreadable version resource: %s" % e]
    numbers = [header["KET_VERSION_" + p] for p in ("MAJOR", "MINOR", "PATCH", "BUILD")]
    for field in ("file_version", "product_version"):
        if info[field] != numbers:
            found.append("%s %r, not %r" % (field, info[field], numbers))
    if info["type"] != VFT_APP or info["os"] != VOS_NT_WINDOWS32 or info["flags"] != 0:
        found.append("fixed part: type %d, os %#x, flags %#x" % (info["type"], info["os"],
                                                                 info["flags"]))
    if sorted(info["strings"]) != [ENGLISH, RUSSIAN]:
        found.append("string tables %r, not English and Russian" % sorted(info["strings"]))
    if info["translations"] != [[0x409, 1200], [0x419, 1200]]:
        found.append("translations %r" % info["translations"])
    if header["KET_PRODUCT_NAME"] != PRODUCT_NAME:
        found.append("the header's product name is %r" % header["KET_PRODUCT_NAME"])
    for table, description in ((ENGLISH, "KET_FILE_DESCRIPTION_EN"),
                               (RUSSIAN, "KET_FILE_DESCRIPTION_RU")):
        wanted = {
            "CompanyName": header["KET_COMPANY_NAME"],
            "FileDescription": header[description],
            "FileVersion": header["KET_VERSION_TEXT"],
            "InternalName": "KetroSetup",
            "LegalCopyright": header["KET_COPYRIGHT"],
            "OriginalFilename": "KetroSetup.exe",
            "ProductName": header["KET_PRODUCT_NAME"],
            "ProductVersion": header["KET_VERSION_TEXT"],
        }
        got = info["strings"].get(table, {})
        for key in sorted(set(wanted) | set(got)):
            if got.get(key) != wanted.get(key):
                found.append("%s %s: %r, not %r" % (table, key, got.get(key), wanted.get(key)))

    manifest = resources.get((pe_file.RT_MANIFEST, 1, 0x409))
    if manifest is None:
        found.append("no application manifest (resource 1 of type 24, language 0x409)")
    else:
        text = manifest.decode("utf-8")
        if 'version="%s"' % header["KET_VERSION_TEXT"] not in text:
            found.append("the manifest's assembly version is not %s" % header["KET_VERSION_TEXT"])
        if "<description>%s</description>" % header["KET_FILE_DESCRIPTION_EN"] not in text:
            found.append("the manifest's description is not %r"
                         % header["KET_FILE_DESCRIPTION_EN"])

    if payload is not None:
        try:
            embedded = pe.resource("EXEFILE", "MAIN")
        except pe_file.PeError as e:
            embedded, problem = None, str(e)
        else:
            problem = "no resource MAIN of type EXEFILE"
        if embedded is None:
            found.append(problem)
        elif embedded != payload:
            found.append("the resource MAIN (%d bytes) is not payload.bin (%d bytes)"
                         % (len(embedded), len(payload)))

    # An Authenticode signature sits after everything the image maps, at the file's end.
    offset, size = pe.certificate_table()
    if size:
        mapped_end = max(s["raw_offset"] + s["raw_size"] for s in pe.sections)
        if offset < mapped_end or offset + size != len(data):
            found.append("certificate table at %#x+%#x, sections end at %#x, file at %#x"
                         % (offset, size, mapped_end, len(data)))
    return found


def mutated(data, old, new):
    """data with every occurrence of old replaced, or None when there is none."""
    return data.replace(old, new) if old in data else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--header", required=True)
    parser.add_argument("--payload")
    parser.add_argument("--machine", choices=sorted(pe_file.MACHINES.values()))
    args = parser.parse_args()
    header = read_header(args.header)
    with open(args.exe, "rb") as f:
        data = f.read()
    payload = None
    if args.payload:
        with open(args.payload, "rb") as f:
            payload = f.read()

    failed = False
    found = problems(data, header, payload, args.machine)
    for p in found:
        print("version_info_test: %s: %s" % (args.exe, p), file=sys.stderr)
        failed = True

    # The checks see damage: a product name changed by one letter in the version resource and
    # one byte of the embedded payload.
    name = header["KET_PRODUCT_NAME"].encode("utf-16-le")
    damaged = mutated(data, name, name[:-2] + b"_\0")
    if damaged is None or not problems(damaged, header, payload, args.machine):
        print("version_info_test: a changed product name went unnoticed", file=sys.stderr)
        failed = True
    if payload is not None and len(payload) > 64:
        piece = payload[32:64]
        damaged = mutated(data, piece, bytes([piece[0] ^ 0xFF]) + piece[1:])
        if damaged is None or not problems(damaged, header, payload, args.machine):
            print("version_info_test: a changed payload byte went unnoticed", file=sys.stderr)
            failed = True

    if failed:
        return 1
    pe = pe_file.PeFile(data)
    print("version_info_test: %s: %s %s, version %s, %s, %s; both string tables as the header"
          % (args.exe, pe.kind, pe_file.MACHINES[pe.machine], header["KET_VERSION_TEXT"],
             "signed" if pe.certificate_table()[1] else "unsigned",
             "payload intact" if payload is not None else "payload not compared"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
