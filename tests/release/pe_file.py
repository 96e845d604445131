"""Reads a Windows executable (PE32 or PE32+) on the build machine: its headers, its resources
and the version resource, with the standard library only.

    pe_file.py dump EXE           # headers, resources and the version resource as JSON
    pe_file.py product-name EXE   # the version resource's ProductName (U.S. English)
"""

import json
import struct
import sys

RT_VERSION = 16
RT_MANIFEST = 24
MACHINES = {0x14C: "i386", 0x8664: "x86-64"}
DIRECTORY_RESOURCE = 2
DIRECTORY_SECURITY = 4


class PeError(Exception):
    pass


def _unpack(fmt, data, offset):
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise PeError("truncated at offset %#x" % offset)
    return struct.unpack_from(fmt, data, offset)


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeError("no MZ header")
        (pe,) = _unpack("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        (self.machine, sections, self.timestamp, self.symbol_table, self.symbol_count,
         optional_size, self.characteristics) = _unpack("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        (self.magic,) = _unpack("<H", data, optional)
        if self.magic == 0x10B:
            self.kind = "PE32"
            count_offset = optional + 92
        elif self.magic == 0x20B:
            self.kind = "PE32+"
            count_offset = optional + 108
        else:
            raise PeError("unknown optional header magic %#x" % self.magic)
        self.checksum_offset = optional + 64
        (self.checksum,) = _unpack("<I", data, self.checksum_offset)
        (count,) = _unpack("<I", data, count_offset)
        self.directories = [_unpack("<II", data, count_offset + 4 + 8 * i) for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            raw = _unpack("<8sIIIIIIHHI", data, table + 40 * i)
            self.sections.append({
                "name": self._section_name(raw[0].rstrip(b"\0").decode("latin-1")),
                "virtual_size": raw[1], "rva": raw[2], "raw_size": raw[3], "raw_offset": raw[4],
            })

    def _section_name(self, name):
        """A name over 8 bytes is "/N": offset N in the COFF string table, which follows the
        symbol table (kept for these names even when the symbols are stripped)."""
        if not (name.startswith("/") and name[1:].isdigit()) or not self.symbol_table:
            return name
        at = self.symbol_table + 18 * self.symbol_count + int(name[1:])
        end = self.data.find(b"\0", at)
        if at >= len(self.data) or end < 0:
            raise PeError("section name %s lies outside the string table" % name)
        return self.data[at:end].decode("utf-8")

    def offset_of(self, rva):
        """The file offset of a relative virtual address."""
        for s in self.sections:
            if s["rva"] <= rva < s["rva"] + max(s["virtual_size"], s["raw_size"]):
                if rva - s["rva"] >= s["raw_size"]:
                    raise PeError("address %#x lies in %s beyond its file data" % (rva, s["name"]))
                return s["raw_offset"] + rva - s["rva"]
        raise PeError("address %#x lies in no section" % rva)

    def section(self, name):
        for s in self.sections:
            if s["name"] == name:
                return self.data[s["raw_offset"]:s["raw_offset"] + s["raw_size"]]
        return None

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def certificate_table(self):
        """The attribute certificate table (Authenticode signatures): a file offset, a size."""
        return self.directory(DIRECTORY_SECURITY)

    def resources(self):
        """Every resource as {(type, name, language): bytes}; a type or name is a number or a
        string."""
        rva, size = self.directory(DIRECTORY_RESOURCE)
        if not rva or not size:
            return {}
        base = self.offset_of(rva)
        found = {}

        def name_of(entry_name):
            if entry_name & 0x80000000:
                at = base + (entry_name & 0x7FFFFFFF)
                (length,) = _unpack("<H", self.data, at)
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return entry_name

        def walk(table, path, depth):
            if depth > 3:
                raise PeError("resource tree deeper than three levels")
            named, numbered = _unpack("<HH", self.data, base + table + 12)
            for i in range(named + numbered):
                entry_name, target = _unpack("<II", self.data, base + table + 16 + 8 * i)
                key = path + (name_of(entry_name),)
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, key, depth + 1)
                    continue
                data_rva, data_size, _, _ = _unpack("<IIII", self.data, base + target)
                start = self.offset_of(data_rva)
                if start + data_size > len(self.data):
                    raise PeError("resource %r runs past the end of the file" % (key,))
                found[key] = self.data[start:start + data_size]

        walk(0, (), 1)
        return found

    def resource(self, kind, name):
        """The bytes of the one resource of that type and name (any language), or None."""
        matches = [v for (t, n, _), v in self.resources().items() if t == kind and n == name]
        if len(matches) > 1:
            raise PeError("%d resources %r of type %r" % (len(matches), name, kind))
        return matches[0] if matches else None


def _align4(n):
    return (n + 3) & ~3


def _version_block(data, at):
    """One node of the version resource: (key, value bytes, value type, children, end)."""
    length, value_length, value_type = _unpack("<HHH", data, at)
    if length < 6 or at + length > len(data):
        raise PeError("version block at %#x has a bad length %d" % (at, length))
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= end:
            raise PeError("version block at %#x has an unterminated key" % at)
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = _align4(key_end + 2)
    # The value length counts characters for text values and bytes otherwise.
    value_bytes = value_length * 2 if value_type == 1 else value_length
    value = data[value_at:value_at + value_bytes]
    children = []
    child = _align4(value_at + value_bytes)
    while child < end:
        node = _version_block(data, child)
        children.append(node)
        child = _align4(node[4])
    return key, value, value_type, children, end


def parse_version_info(data):
    """The version resource as a dictionary: the fixed part's numbers, the string tables by
    their key ("040904b0" and so on, lower case) and the Translation pairs."""
    key, value, _, children, _ = _version_block(data, 0)
    if key != "VS_VERSION_INFO":
        raise PeError("version resource's key is %r" % key)
    if len(value) != 52:
        raise PeError("VS_FIXEDFILEINFO has %d bytes, not 52" % len(value))
    fields = struct.unpack("<13I", value)
    if fields[0] != 0xFEEF04BD:
        raise PeError("VS_FIXEDFILEINFO signature %#x" % fields[0])

    def four(ms, ls):
        return [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]

    result = {
        "file_version": four(fields[2], fields[3]),
        "product_version": four(fields[4], fields[5]),
        "flags_mask": fields[6], "flags": fields[7], "os": fields[8], "type": fields[9],
        "subtype": fields[10], "date": [fields[11], fields[12]],
        "strings": {}, "translations": [],
    }
    for child_key, _, _, grandchildren, _ in children:
        if child_key == "StringFileInfo":
            for table_key, _, _, entries, _ in grandchildren:
                table = {}
                for name, text, text_type, _, _ in entries:
                    if text_type != 1:
                        raise PeError("string %s is not text" % name)
                    table[name] = text.decode("utf-16-le").rstrip("\0")
                result["strings"][table_key.lower()] = table
        elif child_key == "VarFileInfo":
            for var_key, var_value, _, _, _ in grandchildren:
                if var_key == "Translation":
                    words = struct.unpack("<%dH" % (len(var_value) // 2), var_value)
                    result["translations"] += [list(words[i:i + 2])
                                               for i in range(0, len(words) - 1, 2)]
    return result


def load(path):
    with open(path, "rb") as f:
        return PeFile(f.read())


def version_info(pe):
    """The parsed version resource, or None when the file has none."""
    version = [v for (t, _, _), v in pe.resources().items() if t == RT_VERSION]
    return parse_version_info(version[0]) if version else None


def main(argv):
    if len(argv) != 3 or argv[1] not in ("dump", "product-name"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        pe = load(argv[2])
        info = version_info(pe)
    except (OSError, PeError) as e:
        print("pe_file: %s: %s" % (argv[2], e), file=sys.stderr)
        return 1
    if argv[1] == "product-name":
        name = (info or {}).get("strings", {}).get("040904b0", {}).get("ProductName")
        if not name:
            print("pe_file: %s: no ProductName in its version resource" % argv[2],
                  file=sys.stderr)
            return 1
        print(name)
        return 0
    resources = pe.resources()
    out = {
        "kind": pe.kind, "machine": MACHINES.get(pe.machine, hex(pe.machine)),
        "timestamp": pe.timestamp, "checksum": pe.checksum,
        "sections": [s["name"] for s in pe.sections],
        "certificate_table": list(pe.certificate_table()),
        "resources": sorted("%s/%s/%s (%d bytes)" % (t, n, lang, len(v))
                            for (t, n, lang), v in resources.items()),
    }
    if info:
        out["version"] = info
    print(json.dumps(out, ensure_ascii=False, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
