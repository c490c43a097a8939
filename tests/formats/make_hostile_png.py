#!/usr/bin/env python3
"""Writes the PNG files the decoder's bounds are tried on, from the PNG
standard's chunk layout (zlib for the pixel data):

  make_hostile_png.py declared OUT   20000 x 20000 RGB declared, a few KB of
                                     pixel data (the rows of a few hundred)
  make_hostile_png.py grey1 OUT      16000 x 16000 at one bit a pixel, complete
                                     (about 32 KB: 32 MB of rows deflated)
  make_hostile_png.py rgb OUT        16000 x 16000 RGB at 8 bits, complete
                                     (768 MB of rows deflated to under 1 MB)
"""
import struct
import sys
import zlib


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def png(width, height, depth, colour, rows, row_count):
    """rows: one row's bytes after its filter byte, repeated row_count times."""
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 0)
    compressor = zlib.compressobj(9)
    line = b"\0" + rows
    data = bytearray()
    for _ in range(row_count):
        data += compressor.compress(line)
    data += compressor.flush()
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", bytes(data)) + chunk(b"IEND", b"")


def main():
    kind, out = sys.argv[1], sys.argv[2]
    if kind == "declared":
        data = png(20000, 20000, 8, 2, bytes(20000 * 3), 300)
    elif kind == "grey1":
        data = png(16000, 16000, 1, 0, bytes([0x55]) * 2000, 16000)
    elif kind == "rgb":
        data = png(16000, 16000, 8, 2, bytes([0x80, 0x40, 0x20]) * 16000, 16000)
    else:
        sys.exit(__doc__)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
