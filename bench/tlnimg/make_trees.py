#!/usr/bin/env python3
"""Inputs for timing tlnimg (see docs/performance.md, "tlnimg").

make_trees.py OUT writes:
  OUT/full.img   an image of exactly 5242880 bytes that the server accepts:
                 the skeleton plus /var/www/sparse (4194304 bytes, data in
                 chunks 0 to 31 and zeros after) and /var/www/data (1009784
                 bytes of data), whose contents need 48 of the 63 slots.
  OUT/tree/      a host tree whose contents need all 63 slots when packed:
                 40 files of 1000 bytes in etc/conf.d and one of 23 chunks
                 (1507328 bytes) in var/www.
The image is laid out by the "TLNIMG03" offsets, row by row as the server
stores them; the bytes are a fixed pseudo-random sequence.
"""
import os
import random
import struct
import sys

ROWS, NAME, SLOT = 384, 64, 65536
OFF_KIND, OFF_PARENT, OFF_NAME = 8, 392, 3464
OFF_NAMELEN, OFF_SIZE, OFF_VERS, OFF_CHAIN, FIXED = 28040, 31112, 34184, 35720, 38792


def image():
    rnd = random.Random(1)
    rows = [(1, 0, b"")]  # the root
    for parent, name in [(0, b"var"), (0, b"usr"), (0, b"etc"), (1, b"lib"), (1, b"cache"),
                         (1, b"www"), (4, b"dpkg"), (7, b"info"), (5, b"apt"), (9, b"archives")]:
        rows.append((1, parent, name))
    sparse = rnd.randbytes(32 * SLOT) + bytes(32 * SLOT)
    data = rnd.randbytes(5242880 - FIXED - len(sparse))
    files = [(b"sparse", sparse), (b"data", data)]
    b = bytearray(FIXED)
    b[0:8] = b"TLNIMG03"
    for n, (kind, parent, name) in enumerate(rows + [(2, 6, f[0]) for f in files]):
        b[OFF_KIND + n] = kind
        struct.pack_into("<q", b, OFF_PARENT + 8 * n, parent)
        b[OFF_NAME + NAME * n:OFF_NAME + NAME * n + len(name)] = name
        struct.pack_into("<Q", b, OFF_NAMELEN + 8 * n, len(name))
        if kind == 2:
            size = len(files[n - len(rows)][1])
            struct.pack_into("<Q", b, OFF_SIZE + 8 * n, size)
            struct.pack_into("<Q", b, OFF_CHAIN + 8 * n, (size + SLOT - 1) // SLOT)
    for _, contents in files:
        b += contents
    assert len(b) == 5242880
    return bytes(b)


def main():
    out = sys.argv[1]
    os.makedirs(out + "/tree/etc/conf.d", exist_ok=True)
    os.makedirs(out + "/tree/var/www", exist_ok=True)
    with open(out + "/full.img", "wb") as f:
        f.write(image())
    rnd = random.Random(2)
    for i in range(40):
        with open(f"{out}/tree/etc/conf.d/f{i:02}", "wb") as f:
            f.write(rnd.randbytes(1000))
    with open(out + "/tree/var/www/blob", "wb") as f:
        f.write(rnd.randbytes(23 * SLOT))


main()
