#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora beside this script.

Archives come from GNU tar, bsdtar and Python's tarfile (tiny trees, 512-byte
records, fixed times and owners so that runs give the same bytes); payloads
are installer tails laid out as the packaging step writes them. Run again
only to change the seeds; the outputs are kept in the tree."""
import gzip
import io
import os
import shutil
import struct
import subprocess
import tarfile
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
MTIME = 1400000000


def out(target, name, data):
    d = os.path.join(HERE, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def make_tree(root):
    os.makedirs(os.path.join(root, "bin"))
    with open(os.path.join(root, "bin", "zorva"), "w") as f:
        f.write("#!/bin/sh\necho configured\n")
    os.chmod(os.path.join(root, "bin", "zorva"), 0o755)
    with open(os.path.join(root, "README"), "w") as f:
        f.write("hello\n")
    os.symlink("README", os.path.join(root, "LINK"))
    os.link(os.path.join(root, "README"), os.path.join(root, "HARD"))
    deep = os.path.join(root, "d" * 60, "e" * 60)
    os.makedirs(deep)
    with open(os.path.join(deep, "f"), "w") as f:
        f.write("x")
    for dirpath, dirnames, filenames in os.walk(root):
        for n in dirnames + filenames + [""]:
            os.utime(os.path.join(dirpath, n), (MTIME, MTIME), follow_symlinks=False)


def tool_archive(cmd, root):
    return subprocess.run(cmd, cwd=root, check=True, stdout=subprocess.PIPE).stdout


def tarfile_archive(fmt, members):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=fmt) as tf:
        for info, data in members:
            info.mtime = MTIME
            tf.addfile(info, io.BytesIO(data) if data is not None else None)
    # Drop the record padding: keep the blocks in use and two zero blocks.
    used = len(buf.getvalue().rstrip(b"\0"))
    used = (used + 511) // 512 * 512
    return buf.getvalue()[:used] + b"\0" * 1024


def info(name, kind=tarfile.REGTYPE, size=0, linkname="", mode=0o644):
    i = tarfile.TarInfo(name)
    i.type, i.size, i.linkname, i.mode = kind, size, linkname, mode
    return i


def untar_seeds(tmp):
    root = os.path.join(tmp, "tree")
    make_tree(root)
    common = ["--owner=0", "--group=0", "--numeric-owner", "--sort=name", "-b1"]
    out("untar", "gnutar-gnu.tar", tool_archive(["tar", "--format=gnu", *common, "-cf", "-", "README", "LINK", "HARD", "bin"], root))
    out("untar", "gnutar-longname.tar", tool_archive(["tar", "--format=gnu", *common, "-cf", "-", "d" * 60], root))
    out("untar", "gnutar-ustar.tar", tool_archive(["tar", "--format=ustar", *common, "-cf", "-", "d" * 60, "LINK"], root))
    out("untar", "bsdtar-ustar.tar", tool_archive(["bsdtar", "--format", "ustar", "--uid", "0", "--gid", "0", "-b", "1", "-cf", "-", "README", "HARD", "bin"], root))
    body = b"data\n"
    out("untar", "tarfile-ustar-fifo.tar", tarfile_archive(tarfile.USTAR_FORMAT, [
        (info("p/", tarfile.DIRTYPE, mode=0o755), None),
        (info("p/fifo", tarfile.FIFOTYPE), None),
        (info("p/file", size=len(body)), body),
        (info("p/sym", tarfile.SYMTYPE, linkname="file"), None)]))
    out("untar", "tarfile-gnu-longlink.tar", tarfile_archive(tarfile.GNU_FORMAT, [
        (info("t/" + "n" * 120, size=len(body)), body),
        (info("t/sym", tarfile.SYMTYPE, linkname="t/" + "n" * 120), None),
        (info("t/hard", tarfile.LNKTYPE, linkname="t/" + "n" * 120), None)]))
    out("untar", "tarfile-pax.tar", tarfile_archive(tarfile.PAX_FORMAT, [
        (info("pax/" + "q" * 110, size=len(body)), body)]))


def gz(data, members=1):
    step = max(1, len(data) // members)
    parts = [data[i:i + step] for i in range(0, len(data), step)] or [b""]
    return b"".join(gzip.compress(p, mtime=0) for p in parts)


def payload(entries, image=b"\x7fELF fake installer image\0" * 2):
    blob, offsets = image, []
    for e in entries:
        offsets.append(len(blob))
        blob += e
    toc_offset = len(blob)
    blob += b"".join(struct.pack(">q", o) for o in offsets) + struct.pack(">q", 0)
    return blob + struct.pack(">qq", 1, toc_offset)


def toc_seeds():
    d = os.path.join(HERE, "untar")
    a = open(os.path.join(d, "gnutar-gnu.tar"), "rb").read()
    b = open(os.path.join(d, "tarfile-ustar-fifo.tar"), "rb").read()
    out("toc", "two-entries", payload([gz(a), gz(b)]))
    out("toc", "multi-member", payload([gz(b, members=3)]))
    out("toc", "plain-entry", payload([b]))
    out("toc", "no-entries", payload([]))
    bad = bytearray(payload([gz(b)]))
    bad[-16:-8] = struct.pack(">q", 2)
    out("toc", "version-2", bytes(bad))


def bounded(data, announced=None, name=None, hcrc=False, recorded=None):
    """One bounded member: the length subfield 'VM' in the extra field, and
    with `recorded` the size subfield 'VS' of an entry's first member."""
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    body = c.compress(data) + c.flush()
    flags = 0x04 | (0x08 if name else 0) | (0x02 if hcrc else 0)
    extra = b"VM" + struct.pack("<HI", 4, 0)
    if recorded is not None:
        extra += b"VS" + struct.pack("<HQ", 8, recorded)
    head = bytes([0x1F, 0x8B, 8, flags, 0, 0, 0, 0, 0, 0xFF]) + struct.pack("<H", len(extra)) + extra
    if name:
        head += name + b"\0"
    total = len(head) + (2 if hcrc else 0) + len(body) + 8
    head = head[:16] + struct.pack("<I", total if announced is None else announced) + head[20:]
    if hcrc:
        head += struct.pack("<H", zlib.crc32(head) & 0xFFFF)
    return head + body + struct.pack("<II", zlib.crc32(data), len(data))


def bounded_run(data, chunk):
    return b"".join(bounded(data[i:i + chunk]) for i in range(0, len(data), chunk)) or bounded(b"")


def members_seeds():
    # First byte: how many of the last bytes lie beyond the entry's extent.
    a = open(os.path.join(HERE, "untar", "gnutar-gnu.tar"), "rb").read()
    run = bounded_run(a, 1024)
    out("members", "three-members", b"\0" + run)
    out("members", "zero-padding", b"\0" + run + b"\0" * 100)
    out("members", "crossing-the-extent", b"\x10" + run)
    out("members", "then-plain-gzip", b"\0" + bounded(a[:1024]) + gzip.compress(a[1024:], mtime=0))
    out("members", "lying-length", b"\0" + bounded(a[:1024], announced=40) + bounded(a[1024:]))
    out("members", "name-and-header-crc", b"\0" + bounded(a[:1536], name=b"part1", hcrc=True) + bounded(a[1536:]))
    out("members", "plain-gzip", b"\0" + gzip.compress(a, mtime=0))
    out("members", "recorded-count", b"\0" + bounded(a[:1024], recorded=5000) + bounded_run(a[1024:], 1024))
    # A signed Windows installer: the trailer sits before the certificate table.
    out("toc", "signed-pe", signed_pe(payload([run], image=minimal_pe())))


def minimal_pe():
    img = bytearray(0x400)
    img[0:2] = b"MZ"
    img[0x3C:0x40] = struct.pack("<I", 0x80)
    img[0x80:0x84] = b"PE\0\0"
    img[0x84:0x88] = struct.pack("<HH", 0x8664, 1)
    img[0x94:0x96] = struct.pack("<H", 112 + 8 * 16)
    opt = 0x98
    img[opt:opt + 2] = struct.pack("<H", 0x20B)
    img[opt + 60:opt + 64] = struct.pack("<I", 0x200)
    img[opt + 108:opt + 112] = struct.pack("<I", 16)
    sec = opt + 112 + 8 * 16
    img[sec + 16:sec + 24] = struct.pack("<II", 0x200, 0x200)
    return bytes(img)


def signed_pe(file, padding=3, table=0x80):
    file = bytearray(file + b"\0" * padding)
    entry = 0x98 + 112 + 8 * 4
    file[entry:entry + 8] = struct.pack("<II", len(file), table)
    return bytes(file) + b"\x5a" * table


def text_seeds():
    argvs = {
        "installer-long": b"\x01:hmv\0installer\0--silent\0--installdir\0/opt/z\0-Dnimbo.debug=1\0--oxv=url=https://h:1\0-hv\0operand",
        "short-clusters": b"\x00ab:c::W;\0prog\0-abvalue\0-c\0-cx\0-b\0v\0-W\0ver\0--\0-a",
        "long-only": b"\x02:hv\0prog\0-help\0-ver\0-verb=3\0-host\0-hvx\0--inst=dir",
        "in-order": b"\x01-ab:\0prog\0x\0-a\0y\0-b\0z\0--unknown\0--javavm",
        "posixly": b"\x05+ab\0prog\0-a\0stop\0-b\0--help",
    }
    for name, data in argvs.items():
        out("getopt", name, data)
    urls = ["a+b%2fc", "%41%4a%zz%", "%", "%0", "a b/c", "%%41", "%00x", "100%25+done", "url=https%3A%2F%2Fh%3A1"]
    for i, u in enumerate(urls):
        out("url_decode", "url-%d" % i, u.encode())
    paths = ["/a/./b//c/", "./a", "a/../../b", "x\\y/z", "/../a", "a/b", "//", ".", "../../x/./y/..", "C:\\dir\\..\\x", "/opt/app//"]
    for i, p in enumerate(paths):
        out("normalize_path", "path-%d" % i, p.encode())


def main():
    tmp = tempfile.mkdtemp()
    try:
        untar_seeds(tmp)
    finally:
        shutil.rmtree(tmp)
    toc_seeds()
    members_seeds()
    text_seeds()


if __name__ == "__main__":
    main()
