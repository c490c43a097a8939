#!/usr/bin/env python3
"""Writes a HEIF file whose primary picture is a grid of COLUMNS x ROWS tiles,
every tile the one small HEVC picture taken from a file libheif's heif-enc
wrote (its first coded item), from the box layouts of ISO/IEC 14496-12 and
23008-12. A grid of thousands of tiles costs a decoder thousands of tile
decodings for a file of a few kilobytes.

  make_heif_grid.py TILE.heic COLUMNS ROWS OUT.heic
"""
import struct
import sys


def boxes(data, start=0, end=None):
    end = len(data) if end is None else end
    at = start
    while at + 8 <= end:
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        header = 8
        if size == 1:
            size = struct.unpack(">Q", data[at + 8:at + 16])[0]
            header = 16
        elif size == 0:
            size = end - at
        yield kind.decode("latin-1"), data[at + header:at + size], at + header
        at += size


def box(kind, body):
    return struct.pack(">I4s", 8 + len(body), kind.encode()) + body


def full_box(kind, version, flags, body):
    return box(kind, struct.pack(">I", version << 24 | flags) + body)


def tile_of(path):
    data = open(path, "rb").read()
    meta = next(b for k, b, _ in boxes(data) if k == "meta")
    children = {k: (b, o) for k, b, o in boxes(meta, 4)}
    ipco = next(b for k, b, _ in boxes(children["iprp"][0]) if k == "ipco")
    props = list(boxes(ipco))
    hvcc = next(b for k, b, _ in props if k == "hvcC")
    ispe = next(b for k, b, _ in props if k == "ispe")
    width, height = struct.unpack(">II", ispe[4:12])
    iloc = children["iloc"][0]
    version = iloc[0]
    sizes = iloc[4] << 8 | iloc[5]
    offset_size, length_size, base_size = sizes >> 12, (sizes >> 8) & 15, (sizes >> 4) & 15
    index_size = sizes & 15 if version in (1, 2) else 0
    at = 6
    count_format = ">H" if version < 2 else ">I"
    at += struct.calcsize(count_format)
    def read(n):
        nonlocal at
        value = int.from_bytes(iloc[at:at + n], "big") if n else 0
        at += n
        return value
    read(2 if version < 2 else 4)  # item id
    if version in (1, 2):
        read(2)  # construction method
    read(2)  # data reference index
    base = read(base_size)
    extents = read(2)
    chunks = []
    for _ in range(extents):
        read(index_size)
        offset = read(offset_size)
        length = read(length_size)
        chunks.append(data[base + offset:base + offset + length])
    return hvcc, width, height, b"".join(chunks)


def main():
    tile_path, columns, rows, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    assert 1 <= columns <= 256 and 1 <= rows <= 256
    hvcc, width, height, bitstream = tile_of(tile_path)
    count = columns * rows
    ftyp = box("ftyp", b"heic" + struct.pack(">I", 0) + b"mif1heic")
    hdlr = full_box("hdlr", 0, 0, struct.pack(">I", 0) + b"pict" + bytes(12) + b"\0")
    pitm = full_box("pitm", 0, 0, struct.pack(">H", 1))
    infe_grid = full_box("infe", 2, 0, struct.pack(">HH", 1, 0) + b"grid" + b"\0")
    infe_tile = full_box("infe", 2, 1, struct.pack(">HH", 2, 0) + b"hvc1" + b"\0")
    iinf = full_box("iinf", 0, 0, struct.pack(">H", 2) + infe_grid + infe_tile)
    dimg = box("dimg", struct.pack(">HH", 1, count) + struct.pack(">H", 2) * count)
    iref = full_box("iref", 0, 0, dimg)
    ispe_tile = full_box("ispe", 0, 0, struct.pack(">II", width, height))
    ispe_grid = full_box("ispe", 0, 0, struct.pack(">II", width * columns, height * rows))
    ipco = box("ipco", box("hvcC", hvcc) + ispe_tile + ispe_grid)
    ipma = full_box("ipma", 0, 0, struct.pack(">I", 2) + struct.pack(">HB", 1, 1) + bytes([0x80 | 3]) +
                    struct.pack(">HB", 2, 2) + bytes([0x80 | 1, 2]))
    iprp = box("iprp", ipco + ipma)
    grid = struct.pack(">BBBBHH", 0, 0, rows - 1, columns - 1, width * columns, height * rows)
    idat = box("idat", grid)

    def iloc(tile_offset):
        body = struct.pack(">BB", 0x44, 0x00) + struct.pack(">H", 2)
        body += struct.pack(">HHH", 1, 1, 0) + struct.pack(">H", 1) + struct.pack(">II", 0, len(grid))
        body += struct.pack(">HHH", 2, 0, 0) + struct.pack(">H", 1) + struct.pack(">II", tile_offset, len(bitstream))
        return full_box("iloc", 1, 0, body)

    def meta(tile_offset):
        return full_box("meta", 0, 0, hdlr + pitm + iloc(tile_offset) + iinf + iref + iprp + idat)

    offset = len(ftyp) + len(meta(0)) + 8
    with open(out, "wb") as f:
        f.write(ftyp + meta(offset) + box("mdat", bitstream))


if __name__ == "__main__":
    main()
