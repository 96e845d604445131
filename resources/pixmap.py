#!/usr/bin/env python3
"""Turns a text pixel map into a BMP or ICO file.

    pixmap.py SOURCE.txt OUTPUT.bmp|OUTPUT.ico

A pixel map is plain text:

    # comment
    colour . ff00ff          one character (not "#"), its colour as RRGGBB, or "transparent"
                             (icons only); "#" starts a comment on these lines
    image 16 16 4            width, height, bits per pixel (4, 8 or 24)
    pixels
    ................         height lines of width characters
    ...

Colours apply to the whole file. A BMP has exactly one image; an ICO one or more (for example
32 x 32 and 16 x 16), each with 4 or 8 bits per pixel, whose transparent pixels are set in the
AND mask. Indexed images get a palette of the file's colours in the order they are declared.
"""

import struct
import sys


class PixmapError(Exception):
    pass


class Image:
    def __init__(self, width, height, bits, line):
        if width <= 0 or height <= 0 or width > 256 or height > 256:
            raise PixmapError(f"line {line}: image size {width} x {height} out of range")
        if bits not in (4, 8, 24):
            raise PixmapError(f"line {line}: {bits} bits per pixel; use 4, 8 or 24")
        self.width, self.height, self.bits = width, height, bits
        self.rows = []


def parse(text):
    colours = {}  # char -> (r, g, b) or None for transparent
    order = []
    images = []
    reading = None
    for number, raw in enumerate(text.splitlines(), 1):
        if reading is not None and len(reading.rows) < reading.height:
            row = raw.rstrip("\r\n")
            if len(row) != reading.width:
                raise PixmapError(
                    f"line {number}: {len(row)} pixels, the image is {reading.width} wide")
            for ch in row:
                if ch not in colours:
                    raise PixmapError(f"line {number}: undeclared colour {ch!r}")
            reading.rows.append(row)
            continue
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        words = line.split()
        if raw.split()[:2] == ["colour", "#"]:
            raise PixmapError(f"line {number}: '#' cannot be a colour character")
        if words[0] == "colour" and len(words) == 3 and len(words[1]) == 1:
            ch, value = words[1], words[2].lower()
            if ch in colours:
                raise PixmapError(f"line {number}: colour {ch!r} declared twice")
            if value == "transparent":
                colours[ch] = None
            else:
                if len(value) != 6 or any(c not in "0123456789abcdef" for c in value):
                    raise PixmapError(f"line {number}: colour {value!r} is not RRGGBB")
                colours[ch] = (int(value[0:2], 16), int(value[2:4], 16), int(value[4:6], 16))
            order.append(ch)
        elif words[0] == "image" and len(words) == 4:
            try:
                width, height, bits = (int(w) for w in words[1:])
            except ValueError:
                raise PixmapError(f"line {number}: image needs width, height and bits")
            images.append(Image(width, height, bits, number))
        elif words[0] == "pixels" and len(words) == 1:
            if not images or images[-1].rows:
                raise PixmapError(f"line {number}: pixels without an image line before them")
            reading = images[-1]
        else:
            raise PixmapError(f"line {number}: cannot read {line!r}")
    if not images:
        raise PixmapError("no image")
    for image in images:
        if len(image.rows) != image.height:
            raise PixmapError(f"an image has {len(image.rows)} of its {image.height} rows")
    return colours, order, images


def palette_for(colours, order, bits):
    """The palette (list of RGB) and a map char -> index; transparent pixels take black."""
    entries = []
    index = {}
    for ch in order:
        rgb = colours[ch]
        if rgb is None:
            continue
        if rgb not in entries:
            entries.append(rgb)
        index[ch] = entries.index(rgb)
    for ch in order:
        if colours[ch] is None:
            if (0, 0, 0) not in entries:
                entries.append((0, 0, 0))
            index[ch] = entries.index((0, 0, 0))
    if len(entries) > (1 << bits):
        raise PixmapError(f"{len(entries)} colours do not fit {bits} bits per pixel")
    entries += [(0, 0, 0)] * ((1 << bits) - len(entries))
    return entries, index


def pixel_rows(image, colours, index):
    """The XOR bitmap, bottom row first, each row padded to 4 bytes."""
    out = bytearray()
    for row in reversed(image.rows):
        line = bytearray()
        if image.bits == 24:
            for ch in row:
                r, g, b = colours[ch] or (0, 0, 0)
                line += bytes((b, g, r))
        elif image.bits == 8:
            line += bytes(index[ch] for ch in row)
        else:
            values = [index[ch] for ch in row]
            if len(values) % 2:
                values.append(0)
            line += bytes((values[i] << 4) | values[i + 1] for i in range(0, len(values), 2))
        line += b"\0" * (-len(line) % 4)
        out += line
    return bytes(out)


def mask_rows(image, colours):
    """The AND mask: 1 for a transparent pixel, bottom row first, rows padded to 4 bytes."""
    out = bytearray()
    for row in reversed(image.rows):
        line = bytearray((image.width + 7) // 8)
        for x, ch in enumerate(row):
            if colours[ch] is None:
                line[x // 8] |= 0x80 >> (x % 8)
        line += b"\0" * (-len(line) % 4)
        out += line
    return bytes(out)


def info_header(image, height, palette_size, image_size):
    return struct.pack("<IiiHHIIiiII", 40, image.width, height, 1, image.bits, 0, image_size,
                       0, 0, palette_size, 0)


def palette_bytes(entries):
    return b"".join(bytes((b, g, r, 0)) for r, g, b in entries)


def write_bmp(colours, order, images):
    if len(images) != 1:
        raise PixmapError("a BMP holds exactly one image")
    image = images[0]
    if any(colours[ch] is None for row in image.rows for ch in row):
        raise PixmapError("a BMP has no transparent pixels; use the background colour")
    entries, index = ([], {}) if image.bits == 24 else palette_for(colours, order, image.bits)
    bits = pixel_rows(image, colours, index)
    pal = palette_bytes(entries)
    offset = 14 + 40 + len(pal)
    header = struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset)
    return header + info_header(image, image.height, len(entries), len(bits)) + pal + bits


def write_ico(colours, order, images):
    parts = []
    for image in images:
        if image.bits == 24:
            raise PixmapError("icon images here are indexed: use 4 or 8 bits per pixel")
        entries, index = palette_for(colours, order, image.bits)
        xor = pixel_rows(image, colours, index)
        mask = mask_rows(image, colours)
        body = (info_header(image, image.height * 2, len(entries), len(xor) + len(mask)) +
                palette_bytes(entries) + xor + mask)
        parts.append((image, len(entries), body))
    out = struct.pack("<HHH", 0, 1, len(parts))
    offset = 6 + 16 * len(parts)
    for image, count, body in parts:
        out += struct.pack("<BBBBHHII", image.width % 256, image.height % 256,
                           count if count < 256 else 0, 0, 1, image.bits, len(body), offset)
        offset += len(body)
    return out + b"".join(body for _, _, body in parts)


def convert(source, output):
    with open(source, encoding="utf-8") as f:
        colours, order, images = parse(f.read())
    if output.lower().endswith(".bmp"):
        data = write_bmp(colours, order, images)
    elif output.lower().endswith(".ico"):
        data = write_ico(colours, order, images)
    else:
        raise PixmapError("the output must end in .bmp or .ico")
    with open(output, "wb") as f:
        f.write(data)


def main(argv):
    if len(argv) != 3:
        print("usage: pixmap.py SOURCE.txt OUTPUT.bmp|OUTPUT.ico", file=sys.stderr)
        return 2
    try:
        convert(argv[1], argv[2])
    except (OSError, PixmapError) as e:
        print(f"pixmap: {argv[1]}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
