#!/usr/bin/env python3
"""Writes the benchmark's product tree: the same bytes on every run.

    make_tree.py DIR [--mib N] [--seed S]

About N MiB (default 300) in a few thousand files from 0 bytes to 50 MiB, in
nested directories: compressible text (source, logs, XML), incompressible
data (archives, images), half-and-half files, empty files, symbolic and hard
links, and bin/zorva, a configuration program that exits 0. A smaller --mib
scales every file count and size down (for profiling runs).
"""
import argparse
import os
import random
import sys

MIB = 1024 * 1024

WORDS = (
    "the of and to in is for on with as by at from that this be are or an it not which "
    "public private static final class interface return void int long string boolean new "
    "if else while for try catch throw throws import package extends implements null true "
    "false config server client connection request response handler service manager factory "
    "logger debug info warn error message value result buffer stream reader writer file path "
    "directory install update version module plugin resource property setting default option "
    "timeout retry session token user account password proxy host port address url http "
    "https ssl certificate cache queue thread worker task job event listener callback state "
    "status start stop init close open read write flush sync lock unlock wait notify index "
    "count size length offset limit total min max begin end first last next previous parent "
    "child node tree list map set key entry element item record field column row table query"
).split()


def text_corpus(rng, size):
    """Pseudo-source text: lines of words from a small vocabulary, indented."""
    out = []
    have = 0
    while have < size:
        indent = " " * (2 * rng.randrange(0, 5))
        n = rng.randrange(3, 14)
        line = indent + " ".join(rng.choice(WORDS) for _ in range(n))
        line += rng.choice((";", " {", "", ",", ")", " }")) + "\n"
        out.append(line)
        have += len(line)
    return "".join(out).encode()[:size]


class Writer:
    def __init__(self, root, seed):
        self.root = root
        self.rng = random.Random(seed)
        self.corpus = text_corpus(self.rng, 4 * MIB)
        self.files = []   # relative paths of regular files, for links
        self.total = 0

    def text(self, size):
        # Slices of the corpus from random places, so gzip sees varied text
        # rather than one repeated block.
        parts = []
        have = 0
        while have < size:
            start = self.rng.randrange(0, len(self.corpus) - 65536)
            piece = self.corpus[start:start + min(65536, size - have)]
            parts.append(piece)
            have += len(piece)
        return b"".join(parts)

    def data(self, kind, size):
        if kind == "text":
            return self.text(size)
        if kind == "binary":
            return self.rng.randbytes(size)
        # "mixed": alternating 16 KiB runs, like a jar of compressed and plain members
        parts = []
        have = 0
        while have < size:
            n = min(16384, size - have)
            parts.append(self.text(n) if (have // 16384) % 2 == 0 else self.rng.randbytes(n))
            have += n
        return b"".join(parts)

    def write(self, rel, kind, size, mode=0o644):
        path = os.path.join(self.root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            left = size
            while left > 0:
                n = min(8 * MIB, left)
                f.write(self.data(kind, n))
                left -= n
        os.chmod(path, mode)
        self.files.append(rel)
        self.total += size


def directories(rng, count):
    tops = ["lib", "share", "plugins", "conf", "docs", "jre", "webapp", "modules"]
    dirs = []
    for i in range(count):
        depth = rng.randrange(1, 5)
        parts = [rng.choice(tops)] + ["%s%02d" % (rng.choice(("pkg", "res", "impl", "data")), rng.randrange(40))
                                      for _ in range(depth - 1)]
        dirs.append("/".join(parts))
    return sorted(set(dirs))


def small_size(rng):
    """Log-uniform from 1 byte to 256 KiB: most files of a product are small."""
    return int(2 ** rng.uniform(0, 18))


def build(root, mib, seed):
    w = Writer(root, seed)
    rng = w.rng
    scale = mib / 300.0
    target = int(mib * MIB)
    w.write("bin/zorva", "text", 0, 0o755)
    with open(os.path.join(root, "bin/zorva"), "w") as f:
        f.write("#!/bin/sh\n# Benchmark configuration program: does nothing, successfully.\nexit 0\n")
    w.total += os.path.getsize(os.path.join(root, "bin/zorva"))
    # A few large files: the tail of the size distribution.
    large = [("binary", 50), ("text", 24), ("text", 20), ("mixed", 16), ("text", 10),
             ("binary", 8), ("mixed", 6), ("binary", 5), ("text", 4)]
    for i, (kind, size) in enumerate(large):
        ext = {"text": "log", "binary": "pak", "mixed": "jar"}[kind]
        w.write("data/large%02d.%s" % (i, ext), kind, max(1, int(size * MIB * scale)))
    dirs = directories(rng, max(8, int(180 * scale)))
    # Medium files (256 KiB - 2 MiB) up to about three quarters of the target.
    i = 0
    while w.total < target * 0.77:
        kind = rng.choice(("binary", "mixed", "text", "text"))
        w.write("%s/medium%04d.%s" % (rng.choice(dirs), i, {"text": "xml", "binary": "png", "mixed": "jar"}[kind]),
                kind, rng.randrange(256 * 1024, 2 * MIB))
        i += 1
    # Many small files, some of them empty, up to the target.
    i = 0
    small_count = int(2000 * scale)
    while w.total < target or i < small_count:
        kind = rng.choice(("text", "text", "text", "binary"))
        size = 0 if rng.random() < 0.04 else small_size(rng)
        w.write("%s/file%05d.%s" % (rng.choice(dirs), i, "java" if kind == "text" else "bin"), kind, size)
        i += 1
        if i > 20 * small_count + 100000:
            break
    os.makedirs(os.path.join(root, "var/empty"), exist_ok=True)
    # Links: relative symbolic links beside real files, and hard links.
    regular = sorted(w.files)
    for n in range(max(4, int(60 * scale))):
        target_rel = rng.choice(regular)
        link = os.path.join(os.path.dirname(target_rel), "link%03d" % n)
        os.symlink(os.path.basename(target_rel), os.path.join(root, link))
    for n in range(max(2, int(30 * scale))):
        target_rel = rng.choice(regular)
        os.link(os.path.join(root, target_rel), os.path.join(root, os.path.dirname(target_rel), "hard%03d" % n))
    return w


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("dir")
    ap.add_argument("--mib", type=float, default=300)
    ap.add_argument("--seed", type=int, default=20140502)
    args = ap.parse_args()
    if os.path.exists(args.dir) and os.listdir(args.dir):
        sys.exit("make_tree.py: %s exists and is not empty" % args.dir)
    w = build(args.dir, args.mib, args.seed)
    print("make_tree.py: %d files, %.1f MiB in %s" % (len(w.files), w.total / MIB, args.dir))


if __name__ == "__main__":
    main()
