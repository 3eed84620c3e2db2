#!/usr/bin/env python3
"""make-update on real release pairs, next to the usual ways of shipping them.

Usage: bench/make_update_bench.py [BUILD_DIR] [--rounds N] [--pairs NAME,...]

Pairs (two releases of an npm package each, fetched once with `npm pack`
into bench/cache/make-update/; a pair that cannot be fetched is skipped):
  js      webpack 5.89.0 -> 5.90.0: many JavaScript files
  exe     @biomejs/cli-linux-x64 1.8.2 -> 1.8.3: one 25 MB x86-64 executable
  native  @img/sharp-libvips-linux-x64 1.0.2 -> 1.0.4: a 16 MB shared library
          with headers and small files

Rows, in interleaved rounds:
  make-update --preset 6   the archive as earlier versions made it (every
                           entry with preset 6, patch-or-add by that size)
  make-update              the per-entry choice (-9e, fitted dictionaries,
                           x86 on executables, lc/lp/pb variants on patches)
  xdelta3 -9               the sum of `xdelta3 -9 -e -s OLD NEW` over the
                           changed files
  zstd --patch-from        the sum of `zstd --ultra -22 --long=27
                           --patch-from=OLD NEW` over the changed files
  tar | xz -9e             the whole new tree, `tar -c | xz -9e -T1`
The peers' sums count the changed files only (no added files, no removals,
no manifest), so they flatter the peers a little. Times are wall-clock
medians [min-max]; peak RSS is that of the largest single process of the
row (make-update runs --jobs processes at once). Both archives are applied
with the real updater and must give the new release byte for byte.

xdelta3, zstd and xz are installed with apt-get when missing.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from peer_tools import ensure_tools

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CACHE = os.path.join(HERE, "cache", "make-update")

PAIRS = [
    ("js", "webpack", "5.89.0", "5.90.0"),
    ("exe", "@biomejs/cli-linux-x64", "1.8.2", "1.8.3"),
    ("native", "@img/sharp-libvips-linux-x64", "1.0.2", "1.0.4"),
]


def fetch(package, old, new):
    """The two unpacked releases, or None when they cannot be fetched."""
    result = subprocess.run([os.path.join(ROOT, "tests", "fetch-npm-pair.sh"), CACHE,
                             package, old, new], capture_output=True, text=True)
    if result.returncode != 0:
        return None
    return result.stdout.split()


def files_of(root):
    found = {}
    for dirpath, _, filenames in os.walk(root):
        for name in filenames:
            full = os.path.join(dirpath, name)
            found[os.path.relpath(full, root)] = full
    return found


def changed_files(old, new):
    old_files, new_files = files_of(old), files_of(new)
    pairs = []
    for rel, path in sorted(new_files.items()):
        if rel in old_files:
            with open(old_files[rel], "rb") as a, open(path, "rb") as b:
                if a.read() != b.read():
                    pairs.append((old_files[rel], path))
    return pairs


def measure(commands, stdout=None):
    """Runs commands one after the other (a list of argv, or a shell string);
    returns (seconds, peak RSS in KiB of the largest process)."""
    start = time.monotonic()
    peak = 0
    for command in commands:
        process = subprocess.Popen(command, shell=isinstance(command, str),
                                   stdout=stdout or subprocess.DEVNULL, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(process.pid, 0)
        err = process.stderr.read().decode()
        process.stderr.close()
        if os.waitstatus_to_exitcode(status) != 0:
            raise RuntimeError("%s failed: %s" % (command, err))
        peak = max(peak, usage.ru_maxrss)
    return time.monotonic() - start, peak


def check_applies(build, old, new, archive, work):
    """Applies the archive to a copy of OLD with the real updater."""
    patch_dir = os.path.dirname(archive)
    installation = os.path.join(work, "installation")
    shutil.rmtree(installation, ignore_errors=True)
    shutil.copytree(old, installation)
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    subprocess.run([os.path.join(build, "updater", "updater"), patch_dir, installation,
                    os.path.join(work, "updater-work")], env=env, check=False,
                   capture_output=True)
    with open(os.path.join(patch_dir, "update.status")) as f:
        status = f.read().strip()
    same = subprocess.run(["diff", "-r", "-q", new, installation], capture_output=True)
    if status != "succeeded" or same.returncode != 0:
        raise RuntimeError("%s does not turn %s into %s (%s)" % (archive, old, new, status))
    shutil.rmtree(installation)


def rows_for(build, old, new, work):
    """Each row: (name, function of the round returning (seconds, KiB, bytes))."""
    make_update = os.path.join(build, "tools", "make-update")
    changed = changed_files(old, new)

    def tool(options, label):
        def run():
            archive = os.path.join(work, label, "update.upq")
            shutil.rmtree(os.path.dirname(archive), ignore_errors=True)
            seconds, peak = measure([[sys.executable, make_update] + options +
                                     [old, new, archive]])
            size = os.path.getsize(archive)
            check_applies(build, old, new, archive, work)
            return seconds, peak, size
        return run

    def per_file(make):
        def run():
            total_seconds, peak, size = 0.0, 0, 0
            for i, (a, b) in enumerate(changed):
                out = os.path.join(work, "peer-%d" % i)
                seconds, rss = measure([make(a, b, out)])
                total_seconds += seconds
                peak = max(peak, rss)
                size += os.path.getsize(out)
                os.unlink(out)
            return total_seconds, peak, size
        return run

    def tar_xz():
        out = os.path.join(work, "tree.tar.xz")
        seconds, peak = measure(["tar -C '%s' -cf - . | xz -9e -T1 > '%s'" % (new, out)])
        size = os.path.getsize(out)
        os.unlink(out)
        return seconds, peak, size

    return len(changed), [
        ("make-update --preset 6", tool(["--preset", "6"], "preset6")),
        ("make-update", tool([], "chosen")),
        ("xdelta3 -9 (changed files)",
         per_file(lambda a, b, out: ["xdelta3", "-9", "-e", "-f", "-s", a, b, out])),
        ("zstd --patch-from (changed files)",
         per_file(lambda a, b, out: ["zstd", "-q", "-f", "--ultra", "-22", "--long=27",
                                     "--patch-from=" + a, b, "-o", out])),
        ("tar | xz -9e (new tree)", tar_xz),
    ]


def fmt_time(samples):
    return "%7.1f s [%.1f-%.1f]" % (statistics.median(samples), min(samples), max(samples))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--pairs", default=",".join(p[0] for p in PAIRS))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    ensure_tools()
    wanted = args.pairs.split(",")
    for label, package, old_version, new_version in PAIRS:
        if label not in wanted:
            continue
        dirs = fetch(package, old_version, new_version)
        title = "%s: %s %s -> %s" % (label, package, old_version, new_version)
        if not dirs:
            print("\n%s: SKIPPED (cannot be fetched; offline?)" % title)
            continue
        old, new = dirs
        work = tempfile.mkdtemp(prefix="make-update-bench.")
        try:
            count, rows = rows_for(build, old, new, work)
            results = {name: ([], 0, 0) for name, _ in rows}
            for round_ in range(args.rounds):
                order = rows if round_ % 2 == 0 else list(reversed(rows))
                for name, run in order:
                    seconds, peak, size = run()
                    times, old_peak, _ = results[name]
                    times.append(seconds)
                    results[name] = (times, max(old_peak, peak), size)
            new_files = files_of(new)
            new_bytes = sum(os.path.getsize(p) for p in new_files.values())
            print("\n%s (%d files, %.1f MB; %d changed)" % (title, len(new_files), new_bytes / 1e6,
                                                           count))
            base = results["make-update --preset 6"][2]
            print("%-36s %12s %8s %24s %12s" % ("", "bytes", "x preset6", "time", "peak RSS"))
            for name, _ in rows:
                times, peak, size = results[name]
                print("%-36s %12d %8.3f %24s %9.0f MiB" % (name, size, size / base,
                                                           fmt_time(times), peak / 1024))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
