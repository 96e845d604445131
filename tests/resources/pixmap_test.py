#!/usr/bin/env python3
"""The pixel-map converter: its BMP and ICO files, read back with ImageMagick, show the map."""

import glob
import os
import subprocess
import sys
import tempfile
import unittest

PIXMAP = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(__file__), "..", "..", "resources", "pixmap.py")
IMAGES = os.path.join(os.path.dirname(os.path.abspath(PIXMAP)), "images")


def run_pixmap(source_text, suffix):
    tmp = tempfile.mkdtemp()
    src = os.path.join(tmp, "map.txt")
    out = os.path.join(tmp, "out" + suffix)
    with open(src, "w", encoding="utf-8") as f:
        f.write(source_text)
    result = subprocess.run([sys.executable, PIXMAP, src, out], capture_output=True, text=True)
    return result, out


def decode(path, frame=None, alpha=False):
    """Pixels as a list of rows of (r, g, b[, a]) tuples, read by ImageMagick."""
    spec = path if frame is None else f"{path}[{frame}]"
    size = subprocess.run(["identify", "-format", "%w %h", spec], capture_output=True,
                          text=True, check=True).stdout.split()
    w, h = int(size[0]), int(size[1])
    fmt = "rgba:-" if alpha else "rgb:-"
    raw = subprocess.run(["convert", spec, "-depth", "8", fmt], capture_output=True,
                         check=True).stdout
    n = 4 if alpha else 3
    return [[tuple(raw[(y * w + x) * n:(y * w + x) * n + n]) for x in range(w)]
            for y in range(h)]


def read_map(path):
    """Colours and rows of a map file, the way its author reads it."""
    colours, rows = {}, []
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    i = 0
    while i < len(lines):
        words = lines[i].split("#", 1)[0].split()
        if words[:1] == ["colour"]:
            colours[words[1]] = words[2]
        elif words[:1] == ["image"]:
            w, h = int(words[1]), int(words[2])
        elif words[:1] == ["pixels"]:
            rows = lines[i + 1:i + 1 + h]
            break
        i += 1
    return colours, rows, w, h


def rgb(hex_text):
    return tuple(int(hex_text[i:i + 2], 16) for i in (0, 2, 4))


SAMPLE = """# three colours
colour . ff00ff
colour k 000000
colour g 808080
image 5 3 {bits}
pixels
.k...
.gg.k
kkkkk
"""


class BitmapTest(unittest.TestCase):
    def test_every_depth_shows_the_map(self):
        for bits in (4, 8, 24):
            result, out = run_pixmap(SAMPLE.format(bits=bits), ".bmp")
            self.assertEqual(result.returncode, 0, result.stderr)
            rows = decode(out)
            expected = {".": (255, 0, 255), "k": (0, 0, 0), "g": (128, 128, 128)}
            want = [[expected[c] for c in row] for row in (".k...", ".gg.k", "kkkkk")]
            self.assertEqual(rows, want, f"{bits} bits")
            with open(out, "rb") as f:
                header = f.read(30)
            self.assertEqual(header[:2], b"BM")
            self.assertEqual(int.from_bytes(header[28:30], "little"), bits)

    def test_committed_images_are_what_their_maps_say(self):
        maps = sorted(glob.glob(os.path.join(IMAGES, "*.bmp.txt")))
        self.assertGreaterEqual(len(maps), 12)
        for path in maps:
            name = os.path.basename(path)
            colours, rows, w, h = read_map(path)
            tmp = tempfile.mkdtemp()
            out = os.path.join(tmp, "x.bmp")
            subprocess.run([sys.executable, PIXMAP, path, out], check=True)
            got = decode(out)
            self.assertEqual(len(got), h, name)
            self.assertEqual(got, [[rgb(colours[c]) for c in row] for row in rows], name)
            # The bottom-left pixel is the background and so the transparent colour.
            background = (192, 192, 192) if name.startswith("Folder") else (255, 0, 255)
            self.assertEqual(got[h - 1][0], background, name)
            if not name.startswith("Folder"):
                self.assertEqual((w, h), (16, 16), name)

    def test_check_box_images_have_their_palettes(self):
        for name, bits in (("Blank", 4), ("ImCheck", 4), ("DisabledFlatRound", 8),
                           ("FolderGlyph", 24)):
            tmp = tempfile.mkdtemp()
            out = os.path.join(tmp, "x.bmp")
            subprocess.run([sys.executable, PIXMAP, os.path.join(IMAGES, name + ".bmp.txt"), out],
                           check=True)
            with open(out, "rb") as f:
                data = f.read()
            self.assertEqual(int.from_bytes(data[28:30], "little"), bits, name)


ICON = """colour . transparent
colour y ffff00
colour r ff0000
image 32 32 4
pixels
""" + "\n".join(("r" * 32 if y in (0, 31) else "r" + ("y" if y % 2 else ".") * 30 + "r")
                for y in range(32)) + """
image 16 16 4
pixels
""" + "\n".join(("." * 16 if y < 8 else "y" * 16) for y in range(16)) + "\n"


class IconTest(unittest.TestCase):
    def test_two_sizes_with_transparent_pixels_in_the_mask(self):
        result, out = run_pixmap(ICON, ".ico")
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(out, "rb") as f:
            data = f.read()
        self.assertEqual(data[:6], bytes((0, 0, 1, 0, 2, 0)))
        self.assertEqual((data[6], data[7], data[8]), (32, 32, 16))
        self.assertEqual((data[22], data[23], data[24]), (16, 16, 16))
        big = decode(out, 0, alpha=True)
        self.assertEqual(big[0][0], (255, 0, 0, 255))
        self.assertEqual(big[1][5], (255, 255, 0, 255))
        self.assertEqual(big[2][5][3], 0, "transparent through the AND mask")
        small = decode(out, 1, alpha=True)
        self.assertEqual(small[0][0][3], 0)
        self.assertEqual(small[15][15], (255, 255, 0, 255))


class ErrorTest(unittest.TestCase):
    def check_refused(self, text, suffix, message):
        result, out = run_pixmap(text, suffix)
        self.assertEqual(result.returncode, 1)
        self.assertIn(message, result.stderr)
        self.assertFalse(os.path.exists(out))

    def test_bad_maps_are_refused_with_the_line(self):
        self.check_refused("colour . 000000\nimage 2 1 4\npixels\n.x\n", ".bmp", "line 4")
        self.check_refused("colour . 000000\nimage 3 1 4\npixels\n..\n", ".bmp", "2 pixels")
        self.check_refused("colour . 000000\nimage 2 2 4\npixels\n..\n", ".bmp", "rows")
        self.check_refused("colour . 00000g\n", ".bmp", "RRGGBB")
        self.check_refused("colour . transparent\nimage 1 1 4\npixels\n.\n", ".bmp",
                           "no transparent")
        colours = "".join(f"colour {chr(97 + i)} {i:02x}0000\n" for i in range(17))
        self.check_refused(colours + "image 1 1 4\npixels\na\n", ".bmp", "17 colours")
        self.check_refused(SAMPLE.format(bits=4), ".png", ".bmp or .ico")


if __name__ == "__main__":
    unittest.main()
