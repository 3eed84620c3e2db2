#!/usr/bin/env python3
"""Runs the allocator workloads under every allocator and prints one table.

usage: allocator_bench.py WORKLOAD_BINARY LIBVLMALLOC [ROUNDS]

Rounds are interleaved (every workload under every allocator once per round)
so that the machine's drift hits all peers alike. For each workload and
allocator the table gives the median over rounds of the ratio to the C
library's figure measured in the same round: throughput by wall time and by
CPU time of the process (higher is better; on a shared machine the wall time
also counts waiting for a core, the CPU time does not, but it also does not
count waiting for a lock) and peak RSS / RSS at the end (lower is better). Each run reports the object
that really serves malloc; a run whose malloc does not come from the
preloaded library fails the whole benchmark rather than fake a column.
"""
import os
import statistics
import subprocess
import sys

LIBDIR = "/usr/lib/x86_64-linux-gnu"

WORKLOADS = [
    ("churn", ["churn"]),
    ("threads x2", ["threads", "2"]),
    ("threads x4", ["threads", "4"]),
    ("threads x2 private", ["threads-private", "2"]),
    ("threads x4 private", ["threads-private", "4"]),
    ("realloc growth", ["realloc"]),
    ("frag 1 GB, 90% freed", ["frag"]),
    ("pair 64 B", ["pair64"]),
    ("pair 64 B, live neighbour", ["pair64-live"]),
]


def peers(vlmalloc):
    return [
        ("glibc", None, {}, "libc.so"),
        ("vlmalloc", vlmalloc, {}, "libvlmalloc.so"),
        ("vlmalloc 4F", vlmalloc, {"MALLOC_OPTIONS": "4F"}, "libvlmalloc.so"),
        ("mimalloc", f"{LIBDIR}/libmimalloc.so.2", {}, "libmimalloc"),
        ("tcmalloc", f"{LIBDIR}/libtcmalloc_minimal.so.4", {}, "libtcmalloc"),
    ]


def run(binary, args, preload, extra_env, expect):
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    env.pop("MALLOC_OPTIONS", None)
    if preload:
        env["LD_PRELOAD"] = preload
    env.update(extra_env)
    out = subprocess.run([binary] + args, env=env, check=True, capture_output=True,
                         text=True).stdout
    fields = dict(kv.split("=", 1) for kv in out.split())
    if expect not in fields["malloc_from"]:
        sys.exit(f"malloc served by {fields['malloc_from']}, not {expect}: column would be fake")
    return {
        "ops_per_s": int(fields["ops"]) / float(fields["seconds"]),
        "ops_per_cpu_s": int(fields["ops"]) / max(float(fields["cpu_seconds"]), 1e-6),
        "cpu_seconds": float(fields["cpu_seconds"]),
        "seconds": float(fields["seconds"]),
        "maxrss": int(fields["maxrss_kb"]),
        "rss": int(fields["rss_kb"]),
        "rss_free": int(fields["rss_after_free_kb"]),
    }


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    binary, vlmalloc = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    ps = peers(vlmalloc)
    for name, lib, _, _ in ps:
        if lib and not os.path.exists(lib):
            sys.exit(f"{name}: {lib} missing")
    results = {}  # (workload, peer) -> list of runs
    for r in range(rounds):
        for wname, args in WORKLOADS:
            for pname, lib, env, expect in ps:
                results.setdefault((wname, pname), []).append(run(binary, args, lib, env, expect))
        print(f"round {r + 1}/{rounds} done", file=sys.stderr)

    def ratio(wname, pname, key):
        return statistics.median(mine[key] / base[key] for mine, base in
                                 zip(results[(wname, pname)], results[(wname, "glibc")]))

    names = [p[0] for p in ps]
    header = f"{'workload':28}" + "".join(f"{n:>14}" for n in names)

    def throughput_table(title, key):
        # glibc column: the median of `key`; the others: median ratios to it.
        print(title)
        print(header)
        for wname, _ in WORKLOADS:
            row = f"{wname:28}"
            for n in names:
                if n == "glibc":
                    med = statistics.median(x[key] for x in results[(wname, n)])
                    row += f"{med:>14.3g}"
                else:
                    row += f"{ratio(wname, n, key):>13.2f}x"
            print(row)
        print()

    throughput_table(f"Throughput, median of per-round ratios to glibc ({rounds} rounds; "
                     "glibc column: median ops/s):", "ops_per_s")
    throughput_table(f"Throughput by CPU time, median of per-round ratios to glibc "
                     f"({rounds} rounds; glibc column: median ops per CPU second):",
                     "ops_per_cpu_s")
    print("Peak RSS / RSS at the end of the work, median ratios to glibc "
          "(glibc column: median MiB):")
    print(header)
    for wname, _ in WORKLOADS:
        row = f"{wname:28}"
        for n in names:
            if n == "glibc":
                peak = statistics.median(x["maxrss"] for x in results[(wname, n)]) / 1024
                end = statistics.median(x["rss"] for x in results[(wname, n)]) / 1024
                row += f"{peak:>6.0f}/{end:<7.0f}"
            else:
                row += f"{ratio(wname, n, 'maxrss'):>6.2f}/{ratio(wname, n, 'rss'):<7.2f}"
        print(row)
    print()
    print("frag: RSS right after freeing 90%, median ratio to glibc:", ", ".join(
        f"{n} {ratio('frag 1 GB, 90% freed', n, 'rss_free'):.2f}" for n in names if n != "glibc"),
        f"(glibc {statistics.median(x['rss_free'] for x in results[('frag 1 GB, 90% freed', 'glibc')]) / 1024:.0f} MiB)")
    pair = statistics.median(x["seconds"] for x in results[("pair 64 B", "glibc")])
    print()
    print("pair 64 B, ns per pair (medians):", ", ".join(
        f"{n} {statistics.median(x['seconds'] for x in results[('pair 64 B', n)]) / 5e6 * 1e9:.0f}"
        for n in names), f"(glibc {pair / 5e6 * 1e9:.0f})")
    print("pair 64 B, CPU ns per pair (medians):", ", ".join(
        f"{n} {statistics.median(x['cpu_seconds'] for x in results[('pair 64 B', n)]) / 5e6 * 1e9:.0f}"
        for n in names))
    print("pair 64 B, live neighbour, CPU ns per pair (medians):", ", ".join(
        f"{n} {statistics.median(x['cpu_seconds'] for x in results[('pair 64 B, live neighbour', n)]) / 5e6 * 1e9:.0f}"
        for n in names))


if __name__ == "__main__":
    main()
