#!/usr/bin/env python3
"""Draws the window's pictures (application icon, the two port lamps, the instrument) as PNG
files under resources/images, and the same pictures as .ico and .bmp files for the Windows
resource script. Run it again after changing a drawing; the files are committed."""
import math
import struct
import sys
import zlib
from pathlib import Path


def png(path, width, height, pixels):
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    Path(path).write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(path, width, height, pixels):
    """One 32-bit image with its AND mask, the classic icon layout every resource compiler takes."""
    rows = b"".join(bytes(c for px in row for c in (px[2], px[1], px[0], px[3]))
                    for row in reversed(pixels))
    mask_stride = ((width + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, len(rows) + len(mask),
                       0, 0, 0, 0)
    image = info + rows + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack(
        "<BBBBHHII", width, height, 0, 0, 1, 32, len(image), 6 + 16)
    Path(path).write_bytes(directory + image)


def bmp(path, width, height, pixels):
    """24-bit bottom-up bitmap; the picture is opaque."""
    stride = (width * 3 + 3) & ~3
    rows = b"".join(bytes(c for px in row for c in (px[2], px[1], px[0])).ljust(stride, b"\0")
                    for row in reversed(pixels))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(rows), 0, 0, 14 + len(info))
    Path(path).write_bytes(header + info + rows)


def canvas(width, height, fill=(0, 0, 0, 0)):
    return [[fill for _ in range(width)] for _ in range(height)]


def disc(pixels, cx, cy, radius, colour, ring=None):
    for y, row in enumerate(pixels):
        for x in range(len(row)):
            d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
            if ring is not None:
                if radius - ring <= d <= radius:
                    row[x] = colour
            elif d <= radius:
                row[x] = colour


def rect(pixels, x0, y0, x1, y1, colour):
    for y in range(max(y0, 0), min(y1, len(pixels))):
        for x in range(max(x0, 0), min(x1, len(pixels[0]))):
            pixels[y][x] = colour


def sine(pixels, x0, y0, x1, y1, colour, cycles=2):
    mid = (y0 + y1) / 2
    amp = (y1 - y0) / 2 - 1
    for x in range(x0, x1):
        y = int(round(mid - amp * math.sin(2 * math.pi * cycles * (x - x0) / (x1 - x0))))
        rect(pixels, x, y, x + 1, y + 2, colour)


def lamp(lit):
    p = canvas(32, 32)
    if lit:
        disc(p, 16, 16, 12, (200, 20, 20, 255))
        disc(p, 12, 12, 4, (255, 150, 150, 255))
        disc(p, 16, 16, 13, (90, 0, 0, 255), ring=1.5)
    else:
        disc(p, 16, 16, 13, (90, 90, 90, 255), ring=2)
    return p


def app_icon():
    p = canvas(32, 32)
    rect(p, 1, 6, 31, 27, (60, 64, 72, 255))
    rect(p, 3, 8, 20, 25, (10, 30, 20, 255))
    sine(p, 4, 10, 19, 23, (80, 240, 120, 255))
    disc(p, 25, 13, 3, (200, 200, 200, 255))
    disc(p, 25, 21, 3, (200, 200, 200, 255))
    return p


def instrument():
    w, h = 114, 84
    p = canvas(w, h, (236, 233, 216, 255))
    rect(p, 4, 22, 110, 62, (70, 74, 82, 255))      # the rack unit
    rect(p, 4, 22, 8, 62, (120, 124, 132, 255))     # rack ears
    rect(p, 106, 22, 110, 62, (120, 124, 132, 255))
    rect(p, 12, 27, 58, 57, (8, 28, 18, 255))       # screen
    sine(p, 14, 30, 56, 54, (90, 250, 130, 255), cycles=3)
    for i, x in enumerate((66, 78, 90)):
        disc(p, x + 0.5, 34.5, 4, (210, 210, 210, 255))
        rect(p, x - 4, 45, x + 4, 49, (180, 180, 60, 255) if i == 0 else (150, 150, 150, 255))
    disc(p, 100.5, 52.5, 3, (200, 20, 20, 255))
    return p


def main(out):
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    png(out / "icon_128_app.png", 32, 32, app_icon())
    png(out / "icon_133_port_off.png", 32, 32, lamp(False))
    png(out / "icon_134_port_on.png", 32, 32, lamp(True))
    png(out / "bitmap_210_instrument.png", 114, 84, instrument())
    ico(out / "icon_128_app.ico", 32, 32, app_icon())
    ico(out / "icon_133_port_off.ico", 32, 32, lamp(False))
    ico(out / "icon_134_port_on.ico", 32, 32, lamp(True))
    bmp(out / "bitmap_210_instrument.bmp", 114, 84, instrument())


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "resources/images")
