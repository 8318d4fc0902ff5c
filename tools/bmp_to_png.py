#!/usr/bin/env python3
"""Converts an uncompressed 24-bit .bmp (as window_probe.exe saves it) into a .png."""
import struct
import sys
import zlib
from pathlib import Path


def main(source, target):
    data = Path(source).read_bytes()
    if data[:2] != b"BM":
        sys.exit(f"{source}: not a bitmap")
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if bits != 24:
        sys.exit(f"{source}: {bits} bits per pixel; only 24 is read")
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        row_index = abs(height) - 1 - y if height > 0 else y
        row = data[offset + row_index * stride: offset + row_index * stride + width * 3]
        rgb = bytearray(len(row))
        rgb[0::3], rgb[1::3], rgb[2::3] = row[2::3], row[1::3], row[0::3]
        rows.append(b"\x00" + bytes(rgb))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0)
    Path(target).write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                             chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) +
                             chunk(b"IEND", b""))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: bmp_to_png.py IN.bmp OUT.png")
    main(sys.argv[1], sys.argv[2])
