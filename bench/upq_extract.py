#!/usr/bin/env python3
"""Extraction of one large archive entry: upq -x (the updater's reader) versus
xz -dc on the very same stored .xz bytes, writing to a file in both cases.

Usage: bench/upq_extract.py BUILD_DIR [--mib 256] [--rounds 5]

The input is the machine's shared libraries concatenated to the given size,
stored with --x86 at preset 6 (both cached in bench/cache/upq/). Rounds are
interleaved; the table shows median, min and max wall time, the decoded
throughput and peak RSS of each peer.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(HERE, "cache", "upq")


def make_input(path, size):
    """Concatenates shared libraries (sorted, so runs agree) up to `size`."""
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    root = "/usr/lib/x86_64-linux-gnu"
    names = sorted(n for n in os.listdir(root) if ".so" in n)
    with open(path + ".tmp", "wb") as out:
        left = size
        while left > 0:
            for name in names:
                full = os.path.join(root, name)
                if not os.path.isfile(full) or os.path.islink(full):
                    continue
                with open(full, "rb") as f:
                    chunk = f.read(left)
                out.write(chunk)
                left -= len(chunk)
                if left == 0:
                    break
    os.replace(path + ".tmp", path)


def run(argv, stdout=None):
    """Runs a command; returns (seconds, peak RSS in KiB).

    The peak is taken by GNU time: a child's maxrss also counts what the
    process had before exec, and this script's own pages would show.
    """
    rss_file = os.path.join(CACHE, "rss")
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv,
                          stdout=stdout)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit("bench: %s failed with status %d" % (argv[0], proc.returncode))
    with open(rss_file) as f:
        return elapsed, int(f.read().split()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    upq = os.path.join(os.path.abspath(args.build), "tools", "upq")
    size = args.mib << 20

    os.makedirs(CACHE, exist_ok=True)
    data = os.path.join(CACHE, "entry-%d" % args.mib)
    archive = data + ".upq"
    raw = data + ".xz"
    make_input(data, size)
    if not os.path.exists(archive) or os.path.getmtime(archive) < os.path.getmtime(data):
        print("bench: compressing %d MiB (once)..." % args.mib, flush=True)
        subprocess.run([upq, "-c", archive, "-C", CACHE, "--x86", "-6",
                        os.path.basename(data)], check=True)
    # The stored stream of the only entry: its index entry gives offset and
    # length (the index is at the end: size field, then offset, length).
    with open(archive, "rb") as f:
        f.seek(4)
        index_at = int.from_bytes(f.read(4), "big")
        f.seek(index_at + 4)
        offset = int.from_bytes(f.read(4), "big")
        length = int.from_bytes(f.read(4), "big")
        f.seek(offset)
        with open(raw, "wb") as out:
            left = length
            while left:
                chunk = f.read(min(left, 1 << 22))
                out.write(chunk)
                left -= len(chunk)

    out_dir = os.path.join(CACHE, "out")
    os.makedirs(out_dir, exist_ok=True)
    out_file = os.path.join(out_dir, os.path.basename(data))
    peers = {
        "upq -x": lambda: run([upq, "-x", archive, "-C", out_dir]),
        "xz -dc": lambda: run(["xz", "-dc", raw], stdout=open(out_file, "wb")),
    }
    times = {name: [] for name in peers}
    rss = {name: 0 for name in peers}
    for _ in range(args.rounds):
        for name, peer in peers.items():
            if os.path.exists(out_file):
                os.unlink(out_file)
            elapsed, peak = peer()
            if os.path.getsize(out_file) != size:
                sys.exit("bench: %s wrote the wrong size" % name)
            times[name].append(elapsed)
            rss[name] = max(rss[name], peak)
    os.unlink(out_file)

    print("Extraction of a %d MiB entry (stored %.1f MiB, LZMA2 preset 6 + x86 BCJ),"
          " %d interleaved rounds" % (args.mib, length / 2**20, args.rounds))
    print("%-8s %10s %10s %10s %12s %12s" % ("peer", "median s", "min s", "max s",
                                             "MiB/s", "peak RSS MiB"))
    for name in peers:
        t = times[name]
        med = statistics.median(t)
        print("%-8s %10.3f %10.3f %10.3f %12.1f %12.1f" % (
            name, med, min(t), max(t), args.mib / med, rss[name] / 1024))
    ratio = statistics.median(times["xz -dc"]) / statistics.median(times["upq -x"])
    print("upq -x throughput / xz -dc throughput: %.3f" % ratio)


if __name__ == "__main__":
    main()
