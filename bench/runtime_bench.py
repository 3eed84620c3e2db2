#!/usr/bin/env python3
"""Runs the runtime benchmarks (hashing, LZ4, decimals) with their peers side by side.

usage: bench/runtime_bench.py [BUILD_DIR] [--rounds N] [--min-time SECONDS]

Every measurement is one run of a Google Benchmark binary filtered to one
benchmark; the rounds interleave all peers so that load changes on the
machine hit them alike. Rates are per CPU second (the machine is shared, so
wall time says little). Each cell shows the median of the rounds with the
minimum and maximum in brackets.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

# OpenSSL without the SHA extensions: its generic (SSSE3/AVX2) code.
NO_SHA_NI = {"OPENSSL_ia32cap": ":~0x20000000"}


def rows(build):
    hash_bin = os.path.join(build, "bench", "vlm_bench_runtime_hash")
    lz4_bin = os.path.join(build, "bench", "vlm_bench_runtime_lz4")
    dec_bin = os.path.join(build, "bench", "vlm_bench_runtime_decimal")
    return [
        ("SHA-1, 256 MiB (MB/s)", [
            ("ours", hash_bin, "BM_SHA1_Vellum", {}),
            ("OpenSSL generic", hash_bin, "BM_SHA1_OpenSSL", NO_SHA_NI),
            ("OpenSSL SHA-NI", hash_bin, "BM_SHA1_OpenSSL", {}),
        ]),
        ("HashBytes 16 B (MB/s)", [("ours", hash_bin, "BM_HashBytes/16", {})]),
        ("HashBytes 4 KiB (MB/s)", [("ours", hash_bin, "BM_HashBytes/4096", {})]),
        ("HashBytes 1 MiB (MB/s)", [("ours", hash_bin, "BM_HashBytes/1048576", {})]),
        ("LZ4 compress 64 KiB (MB/s)", [
            ("wrapper", lz4_bin, "BM_Compress_Wrapper", {}),
            ("direct", lz4_bin, "BM_Compress_Direct", {}),
        ]),
        ("LZ4 safe decompress (MB/s)", [
            ("wrapper", lz4_bin, "BM_DecompressSafe_Wrapper", {}),
            ("direct", lz4_bin, "BM_DecompressSafe_Direct", {}),
        ]),
        ("LZ4 fast decompress (MB/s)", [
            ("wrapper", lz4_bin, "BM_DecompressFast_Wrapper", {}),
            ("direct", lz4_bin, "BM_DecompressFast_Direct", {}),
        ]),
        ("Decimal + (Mops/s)", [("ours", dec_bin, "BM_Decimal_Add", {})]),
        ("Decimal * (Mops/s)", [("ours", dec_bin, "BM_Decimal_Multiply", {})]),
        ("Decimal / (Mops/s)", [("ours", dec_bin, "BM_Decimal_Divide", {})]),
        ("Decimal toString (Mops/s)", [("ours", dec_bin, "BM_Decimal_ToString", {})]),
        ("Decimal fromString (Mops/s)", [("ours", dec_bin, "BM_Decimal_FromString", {})]),
    ]


def measure(binary, name, env, min_time):
    args = [binary, "--benchmark_filter=^%s$" % name, "--benchmark_format=json",
            "--benchmark_min_time=%g" % min_time]
    out = subprocess.run(args, check=True, capture_output=True, text=True,
                         env={**os.environ, **env}).stdout
    bench = json.loads(out)["benchmarks"][0]
    if "bytes_per_second" in bench:
        return bench["bytes_per_second"] / 1e6
    return bench["items_per_second"] / 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--min-time", type=float, default=0.3)
    opts = parser.parse_args()

    table = rows(opts.build)
    results = {}
    for r in range(opts.rounds):
        print("round %d/%d" % (r + 1, opts.rounds), file=sys.stderr)
        for title, peers in table:
            for label, binary, name, env in peers:
                value = measure(binary, name, env, opts.min_time)
                results.setdefault((title, label), []).append(value)

    def cell(values):
        return "%.1f [%.1f-%.1f]" % (statistics.median(values), min(values), max(values))

    width = max(len(t) for t, _ in table)
    for title, peers in table:
        cells = ["%s %s" % (label, cell(results[(title, label)])) for label, _, _, _ in peers]
        if len(peers) > 1:
            base = statistics.median(results[(title, peers[0][0])])
            ratios = ["%s/%s %.3f" % (peers[0][0], label, base / statistics.median(results[(title, label)]))
                      for label, _, _, _ in peers[1:]]
            cells.append("(" + ", ".join(ratios) + ")")
        print("%-*s  %s" % (width, title, " | ".join(cells)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
