#!/usr/bin/env python3
"""Makes the program's Windows icon (.ico) from its SVG icon: the SVG is drawn at the sizes
Windows shows (16 to 256 pixels) by rsvg-convert, and the PNG pictures are packed into one icon
file (Windows and Wine read PNG pictures inside an icon).

Usage: make_icon.py RSVG_CONVERT ICON.svg OUT.ico"""
import struct
import subprocess
import sys

SIZES = (16, 20, 24, 32, 40, 48, 64, 256)


def main():
    rsvg, svg, out = sys.argv[1:4]
    pictures = [subprocess.run([rsvg, "-w", str(s), "-h", str(s), "-f", "png", svg],
                               check=True, stdout=subprocess.PIPE).stdout for s in SIZES]
    header = struct.pack("<HHH", 0, 1, len(SIZES))
    offset = len(header) + 16 * len(SIZES)
    entries = b""
    for size, png in zip(SIZES, pictures):
        # width and height 0 stand for 256; 32 bits a pixel, no palette
        side = size if size < 256 else 0
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(png), offset)
        offset += len(png)
    with open(out, "wb") as f:
        f.write(header + entries + b"".join(pictures))


if __name__ == "__main__":
    main()
