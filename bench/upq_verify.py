#!/usr/bin/env python3
"""Signature verification of a large archive: upq --verify (the updater's own
check: section parse, SHA-512 of every covered byte through the archive's
stream, Ed25519) next to sha512sum of the same file.

Usage: bench/upq_verify.py BUILD_DIR [--mib 100] [--rounds 7]

The archive holds one entry of random bytes stored at preset 0 (the content
does not matter to the check, only the size) and is signed with a key made by
openssl; both are cached in bench/cache/upq-verify/. The file is read once
before the rounds, so every peer reads it from the page cache. Rounds are
interleaved; the table shows median, min and max wall time, throughput and
peak RSS of each peer.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(HERE, "cache", "upq-verify")


def run(argv):
    """Runs a command; returns (seconds, peak RSS in KiB) as measured by GNU time."""
    rss_file = os.path.join(CACHE, "rss")
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv,
                          stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit("bench: %s failed with status %d" % (" ".join(argv), proc.returncode))
    with open(rss_file) as f:
        return elapsed, int(f.read().split()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--mib", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    upq = os.path.join(os.path.abspath(args.build), "tools", "upq")

    os.makedirs(CACHE, exist_ok=True)
    key = os.path.join(CACHE, "release.key")
    keys = os.path.join(CACHE, "update-keys.pem")
    if not os.path.exists(keys):
        subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", key], check=True)
        subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-out", keys], check=True)
    data = os.path.join(CACHE, "random-%d" % args.mib)
    archive = data + ".upq"
    if not os.path.exists(archive) or os.path.getmtime(archive) < os.path.getmtime(keys):
        print("bench: writing and signing a %d MiB archive (once)..." % args.mib, flush=True)
        with open(data, "wb") as f:
            for _ in range(args.mib):
                f.write(os.urandom(1 << 20))
        subprocess.run([upq, "-c", archive, "-C", CACHE, "-0", "-T", "0", "--sign", key,
                        os.path.basename(data)], check=True)
        os.unlink(data)
    size = os.path.getsize(archive)
    with open(archive, "rb") as f:  # into the page cache
        while f.read(1 << 22):
            pass

    peers = {
        "upq --verify": [upq, "--verify", keys, archive],
        "sha512sum": ["sha512sum", archive],
    }
    times = {name: [] for name in peers}
    rss = {name: 0 for name in peers}
    for _ in range(args.rounds):
        for name, argv in peers.items():
            elapsed, peak = run(argv)
            times[name].append(elapsed)
            rss[name] = max(rss[name], peak)

    mib = size / 2**20
    print("Verification of a signed %.1f MiB archive (page cache warm), %d interleaved rounds"
          % (mib, args.rounds))
    print("%-13s %10s %10s %10s %10s %12s" % ("peer", "median s", "min s", "max s", "MiB/s",
                                              "peak RSS MiB"))
    for name in peers:
        t = times[name]
        med = statistics.median(t)
        print("%-13s %10.3f %10.3f %10.3f %10.1f %12.1f" % (
            name, med, min(t), max(t), mib / med, rss[name] / 1024))
    ratio = statistics.median(times["upq --verify"]) / statistics.median(times["sha512sum"])
    print("upq --verify time / sha512sum time: %.3f" % ratio)


if __name__ == "__main__":
    main()
