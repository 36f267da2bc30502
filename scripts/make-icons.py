#!/usr/bin/env python3
"""Rasterises resources/icons/quaverlink.svg, which is made only of
axis-aligned rectangles on a 16-unit grid, into crisp PNGs of 16, 32, 48 and
64 pixels beside it. Standard library only; run after editing the SVG."""
import pathlib
import re
import struct
import zlib

ICONS = pathlib.Path(__file__).resolve().parent.parent / "resources" / "icons"
GRID = 16


def rectangles(svg):
    for match in re.finditer(r'<rect x="(\d+)" y="(\d+)" width="(\d+)" height="(\d+)" fill="#([0-9A-Fa-f]{6})"/>', svg):
        x, y, w, h = (int(v) for v in match.groups()[:4])
        yield x, y, w, h, bytes.fromhex(match.group(5)) + b"\xff"


def raster(svg, size):
    scale = size // GRID
    pixels = [[b"\0\0\0\0"] * size for _ in range(size)]
    for x, y, w, h, rgba in rectangles(svg):
        for row in range(y * scale, (y + h) * scale):
            for col in range(x * scale, (x + w) * scale):
                pixels[row][col] = rgba
    return pixels


def png(pixels):
    size = len(pixels)
    raw = b"".join(b"\0" + b"".join(row) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def main():
    svg = (ICONS / "quaverlink.svg").read_text()
    for size in (16, 32, 48, 64):
        (ICONS / f"quaverlink-{size}.png").write_bytes(png(raster(svg, size)))


if __name__ == "__main__":
    main()
