#!/usr/bin/env python3
"""qbdiff and the patch applier next to xdelta3 and zstd.

Usage: bench/qbdiff_bench.py [BUILD_DIR] [--rounds N] [--quick]

Pairs (real ones are fetched once with `npm pack` and cached under
bench/cache/; a pair that cannot be fetched is skipped):
  text   releases of a large JavaScript file (typescript's lib/typescript.js,
         9 MB): a minor release, and a patch release that changes almost
         nothing; three.js's build/three.module.js across a minor release
  many   a many-file JavaScript package across a minor release (webpack):
         all its .js files, sorted by path and concatenated
  exe    two releases of a prebuilt x86-64 Linux executable (esbuild's binary)
  50MiB  two generated 50 MiB files, the second an edited copy of the first

For every pair each tool makes a patch from old to new: qbdiff (its raw
size, and its size after `xz -6` and after `xz -9e`, as the patch travels
inside an update archive), `xdelta3 -9 -e -s` and `zstd --ultra -22
--long=27 --patch-from`. The last column divides each stored size (qbdiff's
after `xz -9e`) by xdelta3's. Tools run in interleaved rounds; the table
shows the median time with min and max, and the peak RSS (the largest of all
rounds); qbdiff's own time and memory are shown apart from those of xz. Every
patch is checked by applying it. Then ApplyPatch alone (patch_apply_bench)
rebuilds a generated 100 MiB file from its patch: MB/s of output and peak
RSS.

xdelta3 and zstd are installed with apt-get when missing.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

from peer_tools import ensure_tools

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(HERE, "cache", "qbdiff")

# A minor release of the JavaScript file (the usual size of an update), a
# patch release of it that changes almost nothing, a smaller JavaScript file,
# a many-file package (member None: its .js files concatenated) and a patch
# release of the executable.
NPM_PAIRS = [
    ("text", "typescript", "5.3.3", "5.4.2", "package/lib/typescript.js"),
    ("text", "typescript", "5.4.4", "5.4.5", "package/lib/typescript.js"),
    ("text", "three", "0.160.0", "0.161.0", "package/build/three.module.js"),
    ("many", "webpack", "5.89.0", "5.90.0", None),
    ("exe", "@esbuild/linux-x64", "0.20.1", "0.20.2", "package/bin/esbuild"),
]


def npm_file(package, version, member):
    """The member of the package's tarball, fetched once with npm pack; with
    member None, all its .js files sorted by path and concatenated."""
    safe = package.replace("@", "").replace("/", "-")
    name = os.path.basename(member) if member else "all-js"
    target = os.path.join(CACHE, "%s-%s-%s" % (safe, version, name))
    if os.path.exists(target):
        return target
    os.makedirs(CACHE, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as scratch:
        out = subprocess.run(["timeout", "120", "npm", "pack", "%s@%s" % (package, version),
                              "--silent", "--pack-destination", scratch],
                             check=True, capture_output=True, text=True, cwd=scratch)
        tgz = os.path.join(scratch, out.stdout.strip().splitlines()[-1])
        with tarfile.open(tgz) as archive:
            if member:
                data = archive.extractfile(member).read()
            else:
                members = sorted((m for m in archive.getmembers()
                                  if m.isfile() and m.name.endswith(".js")),
                                 key=lambda m: m.name)
                data = b"".join(archive.extractfile(m).read() for m in members)
    with open(target + ".tmp", "wb") as f:
        f.write(data)
    os.replace(target + ".tmp", target)
    return target


def edited_copy(old, seed, edits):
    """A new release of `old`: changed bytes, displaced addresses over
    stretches of 4 KiB, insertions and deletions, spread over the file."""
    rng = random.Random(seed)
    points = sorted(rng.randrange(len(old)) for _ in range(edits))
    pieces, at = [], 0
    for p in points:
        if p < at:
            continue
        pieces.append(old[at:p])
        kind = rng.randrange(4)
        if kind == 0:
            pieces.append(bytes([old[p] ^ 0x5A]))
            at = p + 1
        elif kind == 1:
            block = bytearray(old[p:p + 4096])
            for i in range(0, len(block), 64):
                block[i] = (block[i] + 1) & 0xFF
            pieces.append(bytes(block))
            at = p + len(block)
        elif kind == 2:
            pieces.append(rng.randbytes(rng.randrange(1, 100)))
            at = p
        else:
            at = p + rng.randrange(1, 100)
    pieces.append(old[at:])
    return b"".join(pieces)


def generated_pair(mib, seed):
    old_path = os.path.join(CACHE, "generated-%dMiB-old" % mib)
    new_path = os.path.join(CACHE, "generated-%dMiB-new" % mib)
    if not (os.path.exists(old_path) and os.path.exists(new_path)):
        # In a child process: a child's peak RSS counts the memory of the
        # process it was forked from, so this one must stay small.
        subprocess.run([sys.executable, os.path.abspath(__file__), "--generate", str(mib),
                        str(seed), old_path, new_path], check=True)
    return old_path, new_path


def generate(mib, seed, old_path, new_path):
    os.makedirs(CACHE, exist_ok=True)
    rng = random.Random(seed)
    # Half random bytes, half text-like records, in blocks.
    words = [b"return ", b"function ", b"this.", b"value", b" = ", b";\n", b"if (", b") {\n"]
    blocks, size = [], 0
    while size < mib << 20:
        if rng.random() < 0.5:
            block = rng.randbytes(1 << 16)
        else:
            block = b"".join(rng.choice(words) for _ in range(12000))[:1 << 16]
        blocks.append(block)
        size += len(block)
    old = b"".join(blocks)[:mib << 20]
    new = edited_copy(old, seed + 1, 2000)
    for path, data in ((old_path, old), (new_path, new)):
        with open(path + ".tmp", "wb") as f:
            f.write(data)
        os.replace(path + ".tmp", path)


def measure(command, stdout=None):
    """Runs a command; returns (seconds, peak RSS in KiB)."""
    start = time.monotonic()
    process = subprocess.Popen(command, stdout=stdout or subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.monotonic() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(command), process.stderr.read().decode()))
    return elapsed, usage.ru_maxrss


def make_tools(qbdiff, work):
    """Each tool: (name, make patch, apply patch, file whose size counts)."""
    def qb(old, new):
        patch = os.path.join(work, "qb.patch")
        return [[qbdiff, old, new, patch], ["xz", "-9e", "-k", "-f", "-T1", patch]], patch + ".xz"

    def qb_apply(old, new):
        return [[qbdiff, "--apply", old, os.path.join(work, "qb.patch"), new]]

    def xd(old, new):
        patch = os.path.join(work, "xd3.patch")
        return [["xdelta3", "-9", "-e", "-f", "-s", old, new, patch]], patch

    def xd_apply(old, new):
        return [["xdelta3", "-d", "-f", "-s", old, os.path.join(work, "xd3.patch"), new]]

    def zs(old, new):
        patch = os.path.join(work, "zst.patch")
        return [["zstd", "-q", "-f", "--ultra", "-22", "--long=27", "--patch-from=" + old, new,
                 "-o", patch]], patch

    def zs_apply(old, new):
        return [["zstd", "-q", "-f", "-d", "--long=27", "--patch-from=" + old,
                 os.path.join(work, "zst.patch"), "-o", new]]

    return [("qbdiff", qb, qb_apply), ("xdelta3 -9 -e", xd, xd_apply),
            ("zstd -22 --long=27", zs, zs_apply)]


def xz_size(path, preset):
    """Size of the file after xz with the given preset (one thread)."""
    out = subprocess.run(["xz", preset, "-T1", "-c", path], check=True, capture_output=True)
    return len(out.stdout)


def fmt_time(samples):
    return "%7.2f s [%.2f-%.2f]" % (statistics.median(samples), min(samples), max(samples))


def bench_pairs(qbdiff, pairs, rounds):
    work = tempfile.mkdtemp(prefix="qbdiff-bench-")
    tools = make_tools(qbdiff, work)
    rows = []
    try:
        for label, (old, new) in pairs:
            new_size = os.path.getsize(new)
            results = {name: {"make": [], "rss": 0, "pack": [], "prss": 0, "apply": [],
                              "arss": 0, "size": 0, "raw": None, "xz6": None}
                       for name, _, _ in tools}
            for round_ in range(rounds):
                order = tools if round_ % 2 == 0 else list(reversed(tools))
                for name, make, apply_ in order:
                    commands, patch = make(old, new)
                    r = results[name]
                    # The first command makes the patch; a second one (xz -9
                    # for qbdiff) compresses it as the archive would.
                    seconds, rss = measure(commands[0])
                    r["make"].append(seconds)
                    r["rss"] = max(r["rss"], rss)
                    for command in commands[1:]:
                        seconds, rss = measure(command)
                        r["pack"].append(seconds)
                        r["prss"] = max(r["prss"], rss)
                    r["size"] = os.path.getsize(patch)
                    if len(commands) > 1 and round_ == 0:
                        raw = commands[0][-1]
                        r["raw"] = os.path.getsize(raw)
                        r["xz6"] = xz_size(raw, "-6")
                    rebuilt = os.path.join(work, "rebuilt")
                    seconds, rss = measure(apply_(old, rebuilt)[0])
                    r["apply"].append(seconds)
                    r["arss"] = max(r["arss"], rss)
                    if subprocess.run(["cmp", "-s", rebuilt, new]).returncode != 0:
                        raise RuntimeError("%s: %s does not rebuild the new file" % (label, name))
            reference = results[tools[1][0]]["size"]  # xdelta3
            for name, _, _ in tools:
                r = results[name]
                pack = ("%s, %.0f MiB" % (fmt_time(r["pack"]), r["prss"] / 1024.0)
                        if r["pack"] else "-")
                raw = "%d" % r["raw"] if r["raw"] is not None else "-"
                xz6 = "%d" % r["xz6"] if r["xz6"] is not None else "-"
                rows.append((label, "%.1f MiB" % (new_size / 2**20), name, raw, xz6, r["size"],
                             "%.3f" % (r["size"] / reference), fmt_time(r["make"]),
                             r["rss"] / 1024.0, pack, fmt_time(r["apply"]),
                             r["arss"] / 1024.0))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("\nMaking and applying patches (%d rounds, interleaved; time: median [min-max])" % rounds)
    header = ("pair", "new", "tool", "raw bytes", "xz -6", "stored bytes (qbdiff: xz -9e)",
              "/ xdelta3", "make time", "make RSS", "xz -9e time, RSS", "apply time",
              "apply RSS")
    print("| %s |" % " | ".join(header))
    print("|%s|" % "|".join("---" for _ in header))
    for row in rows:
        print("| %s | %s | %s | %s | %s | %d | %s | %s | %.0f MiB | %s | %s | %.0f MiB |" % row)


def bench_apply(qbdiff, apply_bench, rounds):
    old, new = generated_pair(100, 100)
    patch = os.path.join(CACHE, "generated-100MiB.patch")
    if not os.path.exists(patch) or os.path.getmtime(patch) < os.path.getmtime(qbdiff):
        measure([qbdiff, old, new, patch])
    work = tempfile.mkdtemp(prefix="qbdiff-apply-")
    try:
        out = os.path.join(work, "out")
        speeds, peaks = [], []
        for _ in range(rounds):
            line = subprocess.run([apply_bench, old, patch, out], check=True, capture_output=True,
                                  text=True).stdout.split()
            size, seconds, rss = int(line[0]), float(line[1]), int(line[2])
            speeds.append(size / seconds / 1e6)
            peaks.append(rss)
        if subprocess.run(["cmp", "-s", out, new]).returncode != 0:
            raise RuntimeError("ApplyPatch did not rebuild the 100 MiB file")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("\nApplyPatch alone, generated 100 MiB pair (patch %d bytes, %d rounds)"
          % (os.path.getsize(patch), rounds))
    print("| output MB/s: median [min-max] | peak RSS | old + patch |")
    print("|---|---|---|")
    print("| %.0f [%.0f-%.0f] | %.0f MiB | %.0f MiB |" % (
        statistics.median(speeds), min(speeds), max(speeds), max(peaks) / 1024.0,
        (os.path.getsize(old) + os.path.getsize(patch)) / 2**20))


def main():
    if len(sys.argv) == 6 and sys.argv[1] == "--generate":
        generate(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true",
                        help="one round, skip the 50 MiB pair for the peers")
    args = parser.parse_args()
    qbdiff = os.path.abspath(os.path.join(args.build, "tools", "qbdiff"))
    apply_bench = os.path.abspath(os.path.join(args.build, "bench", "patch_apply_bench"))
    for binary in (qbdiff, apply_bench):
        if not os.access(binary, os.X_OK):
            sys.exit("qbdiff_bench: %s not built (cmake --build %s --target qbdiff "
                     "patch_apply_bench)" % (binary, args.build))
    ensure_tools()
    rounds = 1 if args.quick else args.rounds

    pairs = []
    for label, package, old_version, new_version, member in NPM_PAIRS:
        name = "%s %s %s→%s" % (label, package, old_version, new_version)
        try:
            pairs.append((name, (npm_file(package, old_version, member),
                                 npm_file(package, new_version, member))))
        except (subprocess.CalledProcessError, OSError, KeyError, tarfile.TarError) as error:
            print("skipped %s: cannot fetch it (offline?): %s" % (name, error), file=sys.stderr)
    if pairs:
        bench_pairs(qbdiff, pairs, rounds)
    if not args.quick:
        bench_pairs(qbdiff, [("generated 50 MiB", generated_pair(50, 50))], 1)
    bench_apply(qbdiff, apply_bench, rounds)


if __name__ == "__main__":
    main()
