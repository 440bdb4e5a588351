#!/usr/bin/env python3
"""Cuts seeds for fuzz_ntfs_codecs out of NTFS volumes: file records as stored (update sequence
applied), the first block of every directory index, the run lists of non-resident attributes, and
the first compression unit of compressed files as it lies on disk.

Usage: ntfs_codec_seeds.py OUTDIR IMAGE...

Written independently of the reader under test, so that a fault in it does not shape its own
seeds. Assumes the $MFT lies in one piece (true of every volume mkntfs makes).
"""
import hashlib
import os
import struct
import sys

MAX_PER_IMAGE = 8  # of each kind


def record_size(field, cluster):
    if field <= 0x80:
        return field * cluster
    return 1 << (256 - (field & 0xFF))


def unprotect(rec, bps):
    """A copy of a stored record with its sector tails put back; None when torn."""
    rec = bytearray(rec)
    at, count = struct.unpack_from("<HH", rec, 4)
    if at + 2 * count > len(rec):
        return None
    usn = rec[at:at + 2]
    for i in range(1, count):
        end = i * bps
        if end > len(rec):
            break
        if rec[end - 2:end] != usn:
            return None
        rec[end - 2:end] = rec[at + 2 * i:at + 2 * i + 2]
    return bytes(rec)


def attributes(rec):
    p = struct.unpack_from("<H", rec, 0x14)[0]
    while p + 8 <= len(rec):
        kind, length = struct.unpack_from("<II", rec, p)
        if kind == 0xFFFFFFFF or length < 0x18 or p + length > len(rec):
            return
        yield rec[p:p + length]
        p += length


def runs(attr):
    """(run list bytes with their terminator, [(lcn or None, length)])."""
    p = struct.unpack_from("<H", attr, 0x20)[0]
    start, lcn, out = p, 0, []
    while p < len(attr) and attr[p]:
        ls, os_ = attr[p] & 15, attr[p] >> 4
        if not 1 <= ls <= 8 or os_ > 8 or p + 1 + ls + os_ > len(attr):
            break
        length = int.from_bytes(attr[p + 1:p + 1 + ls], "little")
        if os_:
            lcn += int.from_bytes(attr[p + 1 + ls:p + 1 + ls + os_], "little", signed=True)
            out.append((lcn, length))
        else:
            out.append((None, length))
        p += 1 + ls + os_
    return attr[start:p + 1], out


def main():
    outdir, images = sys.argv[1], sys.argv[2:]
    os.makedirs(outdir, exist_ok=True)
    seen, counts, totals = set(), {}, {}

    def put(kind, stem, data):
        digest = hashlib.sha1(data).hexdigest()
        if not data or digest in seen or counts.get((stem, kind), 0) >= MAX_PER_IMAGE:
            return
        seen.add(digest)
        counts[(stem, kind)] = counts.get((stem, kind), 0) + 1
        totals[kind] = totals.get(kind, 0) + 1
        with open(os.path.join(outdir, "%s-%s.%s" % (stem, digest[:8], kind)), "wb") as f:
            f.write(data)

    for path in images:
        stem = os.path.splitext(os.path.basename(path))[0]
        with open(path, "rb") as f:
            img = f.read()
        if img[3:7] != b"NTFS":
            continue
        bps = struct.unpack_from("<H", img, 0x0B)[0]
        spc = img[0x0D] if img[0x0D] <= 0x80 else 1 << (256 - img[0x0D])
        cluster = bps * spc
        mft = struct.unpack_from("<Q", img, 0x30)[0] * cluster
        rsize = record_size(struct.unpack_from("<I", img, 0x40)[0], cluster)
        isize = record_size(struct.unpack_from("<I", img, 0x44)[0], cluster)

        def clusters(lcn, n):
            return img[lcn * cluster:(lcn + n) * cluster]

        for n in range(256):
            stored = img[mft + n * rsize:mft + (n + 1) * rsize]
            if len(stored) < rsize or stored[:4] != b"FILE":
                continue
            rec = unprotect(stored, bps)
            if rec is None:
                continue
            interesting = False
            for a in attributes(rec):
                kind = struct.unpack_from("<I", a, 0)[0]
                if not a[8]:
                    continue
                interesting = True
                run_bytes, extents = runs(a)
                put("runs", stem, bytes(run_bytes))
                flags = struct.unpack_from("<H", a, 0x0C)[0]
                if kind == 0xA0 and extents and extents[0][0] is not None:
                    put("indx", stem, clusters(extents[0][0], max(1, isize // cluster))[:isize])
                if kind == 0x80 and flags & 1:
                    # The allocated clusters of the first unit, in order: LZNT1 as stored.
                    unit, data = 1 << a[0x22] if a[0x22] else 16, b""
                    vcn = 0
                    for lcn, length in extents:
                        take = min(length, unit - vcn)
                        if take <= 0:
                            break
                        if lcn is not None:
                            data += clusters(lcn, take)
                        vcn += take
                    put("lznt1", stem, data)
            if interesting or n in (0, 5):
                put("file", stem, stored)
    print("ntfs_codec_seeds: %s" % ", ".join("%d %s" % (v, k) for k, v in sorted(totals.items())))


if __name__ == "__main__":
    main()
