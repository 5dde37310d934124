"""The benchmark data sets, generated the same way on every machine.

Set 1: 1,000 files d00/f0000.bin ... d49/f0999.bin (file i in folder
d{i // 20}); sizes drawn first, all 1,000 of them, from Python's `random`
seeded with 1 as random.choice([1000, 10000, 100000, 400000]) (130,036,000
bytes in all); contents random bytes from a generator of their own.
Set 2: big.bin, 256 MiB of random bytes; the edit overwrites one byte in
place with dd conv=notrunc.
Set 3: 10,000 files of 4 KiB, s0000/f00000.bin ..., 100 files per folder.

Every generator is seeded, so two runs write the same bytes; `scale` shrinks
a set for quick runs while keeping its shape.
"""

import os
import random
import subprocess

SET1_SIZES = [1000, 10000, 100000, 400000]
SET1_BYTES = 130_036_000
CONTENT_SEED = 20261208


def set1_sizes(count=1000):
    """The sizes of set 1's files in order (all 1,000 drawn first)."""
    rng = random.Random(1)
    sizes = [rng.choice(SET1_SIZES) for _ in range(1000)]
    return sizes[:count]


def set1_names(count=1000):
    return ["d%02d/f%04d.bin" % (i // 20, i) for i in range(count)]


def set3_names(count=10000):
    return ["s%04d/f%05d.bin" % (i // 100, i) for i in range(count)]


def _write(root, rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    # Written in place with one write, as a user's program would; every tool
    # sees the same pattern.
    with open(path, "wb") as f:
        f.write(data)


def write_set1(root, count=1000):
    """Writes set 1 (its first `count` files) below `root`; returns the
    manifest {relative path: size}."""
    content = random.Random(CONTENT_SEED)
    manifest = {}
    for rel, size in zip(set1_names(count), set1_sizes(count)):
        _write(root, rel, content.randbytes(size))
        manifest[rel] = size
    return manifest


def write_set3(root, count=10000, size=4096):
    content = random.Random(CONTENT_SEED + 3)
    manifest = {}
    for rel in set3_names(count):
        _write(root, rel, content.randbytes(size))
        manifest[rel] = size
    return manifest


def write_big(path, mib=256):
    """Set 2's file: `mib` MiB of seeded random bytes."""
    content = random.Random(CONTENT_SEED + 2)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(content.randbytes(1 << 20))
    return {os.path.basename(path): mib << 20}


def edit_one_byte(path, offset):
    """Overwrites the byte at `offset` in place, as the data set says
    (dd conv=notrunc), with a value that differs from the one there."""
    with open(path, "rb") as f:
        f.seek(offset)
        old = f.read(1)
    new = bytes([(old[0] + 1) % 256])
    subprocess.run(["dd", "of=" + path, "bs=1", "count=1", "seek=%d" % offset, "conv=notrunc", "status=none"],
                   input=new, check=True)


def write_small_tree(root, count, size=64):
    """A session of `count` small files, 1,000 per folder, for the idle and
    latency measurements."""
    content = random.Random(CONTENT_SEED + 4)
    manifest = {}
    for i in range(count):
        rel = "t%03d/g%06d.txt" % (i // 1000, i)
        _write(root, rel, content.randbytes(size))
        manifest[rel] = size
    return manifest


if __name__ == "__main__":
    assert sum(set1_sizes()) == SET1_BYTES, sum(set1_sizes())
    print("set 1: %d files, %d bytes" % (len(set1_names()), sum(set1_sizes())))
