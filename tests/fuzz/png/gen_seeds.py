#!/usr/bin/env python3
"""Writes the seed corpus: one small PNG per colour type and depth, with and without tRNS,
an interlaced one, and a truncated one. Run from this folder: python3 gen_seeds.py"""
import os
import struct
import zlib

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.join(here, "corpus")


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(width, height, depth, colour, rows, extra=b"", interlace=0):
    raw = b"".join(b"\x00" + r for r in rows)
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def row_bytes(width, depth, channels):
    return (width * depth * channels + 7) // 8


CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
plte = chunk(b"PLTE", bytes([255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9]))
seeds = {}
for colour, depths in {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}.items():
    for depth in depths:
        w, h = 5, 3
        rows = [bytes((x * 37 + y * 11) & 0xFF for x in range(row_bytes(w, depth, CHANNELS[colour])))
                for y in range(h)]
        if colour == 3:
            rows = [bytes(b & (0x55 if depth > 1 else 0xFF) & ((1 << (8 if depth == 8 else 2)) - 1) for b in r)
                    for r in rows]
        extra = plte if colour == 3 else b""
        seeds["c%d_d%d" % (colour, depth)] = png(w, h, depth, colour, rows, extra)
        if colour == 3:
            seeds["c3_d%d_trns" % depth] = png(w, h, depth, colour, rows, extra + chunk(b"tRNS", b"\x00\x80"))
        if colour == 0:
            seeds["c0_d%d_trns" % depth] = png(w, h, depth, colour, rows, chunk(b"tRNS", b"\x00\x01"))
        if colour == 2:
            seeds["c2_d%d_trns" % depth] = png(w, h, depth, colour, rows, chunk(b"tRNS", b"\x00\x25\x00\x30\x00\x0b"))
seeds["interlaced"] = png(9, 9, 8, 6, [bytes(range(36)) for _ in range(9)], interlace=1)
seeds["truncated"] = seeds["c6_d8"][:60]

os.makedirs(out, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(out, name + ".png"), "wb") as f:
        f.write(data)
print("%d seeds in %s" % (len(seeds), out))
