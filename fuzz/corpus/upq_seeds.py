#!/usr/bin/env python3
"""Writes the seed inputs of the archive fuzz targets (upq_index, upq_decode,
upq_signatures).

Run from this folder; the files are small and committed.
"""
import lzma
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def xz(data, check=lzma.CHECK_CRC64, bcj=False, preset=1):
    filters = ([{"id": lzma.FILTER_X86}] if bcj else []) + [
        {"id": lzma.FILTER_LZMA2, "preset": preset}]
    return lzma.compress(data, format=lzma.FORMAT_XZ, check=check, filters=filters)


def archive(entries, header=24):
    out = bytearray(b"UPQ1" + bytes(header - 4))
    index = bytearray()
    for name, data, mode in entries:
        index += struct.pack(">III", len(out), len(data), mode) + name + b"\0"
        out += data
    struct.pack_into(">I", out, 4, len(out))
    out += struct.pack(">I", len(index)) + index
    if header >= 16:
        struct.pack_into(">Q", out, 8, len(out))
    return bytes(out)


def write(folder, name, data):
    with open(os.path.join(HERE, folder, name), "wb") as f:
        f.write(data)


text = b"add \"bin/tool\"\npatch \"lib/a.so\" \"lib/a.so.patch\"\n" * 4
write("upq_index", "one", archive([(b"updatev3.manifest", xz(text), 0o644)]))
write("upq_index", "three", archive([(b"a", xz(b"1"), 0o755), (b"b/c", xz(b"22"), 0o600),
                                     (b"a", xz(b"dup"), 0o644)]))
write("upq_index", "legacy", archive([(b"e", xz(b"old layout"), 0o644)], header=8))
write("upq_index", "empty-name", archive([(b"", xz(b""), 0), (b"Z", xz(b"z"), 0o644),
                                          (b"%\x01", xz(b"same bucket"), 0o644)]))
block = struct.pack(">II", 104, 1) + b"release\0" + b"128.0\0"
block += bytes(104 - len(block))
with_info = bytearray(archive([(b"e", xz(b"x"), 0o644)], header=24 + 104))
with_info[20:24] = struct.pack(">I", 1)
with_info[24:128] = block
write("upq_index", "product-info", bytes(with_info))

body = bytes(range(256)) * 16
write("upq_decode", "crc64", xz(text))
write("upq_decode", "crc32", xz(body, check=lzma.CHECK_CRC32))
write("upq_decode", "none", xz(body, check=lzma.CHECK_NONE, preset=0))
write("upq_decode", "x86", xz(bytes([0xe8, 0, 0, 0, 0, 0x90]) * 200, bcj=True))
write("upq_decode", "empty", xz(b""))
write("upq_decode", "sha256", xz(b"refused", check=lzma.CHECK_SHA256))
write("upq_decode", "delta", lzma.compress(body, format=lzma.FORMAT_XZ, filters=[
    {"id": lzma.FILTER_DELTA, "dist": 4}, {"id": lzma.FILTER_LZMA2, "preset": 0}]))
write("upq_decode", "two-streams", xz(b"first") + xz(b"second"))
write("upq_decode", "truncated", xz(text)[:-7])

# Regression: an index shorter than one entry's fields.
write("upq_index", "short-index", b"UPQ1" + struct.pack(">II", 8, 1) + b"\x00")


def signed(records, count=None, blocks=b"\0\0\0\0"):
    """An archive whose signatures section holds `records` (algorithm, bytes)."""
    section = struct.pack(">I", len(records) if count is None else count)
    for algorithm, data in records:
        section += struct.pack(">II", algorithm, len(data)) + data
    section += blocks
    out = bytearray(archive([(b"updatev3.manifest", xz(text), 0o644)], header=16 + len(section)))
    out[16:16 + len(section)] = section
    return bytes(out)


sig = bytes(range(64))
write("upq_signatures", "one", signed([(1, sig)]))
write("upq_signatures", "eight", signed([(1, sig)] * 8))
write("upq_signatures", "none", signed([]))
write("upq_signatures", "unknown-algorithm", signed([(7, b"abc"), (1, b"")]))
write("upq_signatures", "nine", signed([(1, sig)] * 8, count=9))
write("upq_signatures", "past-index", signed([(1, sig)], count=2))
huge = bytearray(signed([(1, b"")]))
huge[24:28] = struct.pack(">I", 0xffffffff)  # the first record's length
write("upq_signatures", "huge-length", bytes(huge))
write("upq_signatures", "legacy", archive([(b"e", xz(b"old layout"), 0o644)], header=8))
