#!/usr/bin/env python3
"""Checks that a binary's dynamic symbol table defines every listed export.

usage: check_exports.py BINARY FILE.exports... [--unexported NAME...]

Each non-comment line of an .exports file is a symbol name (mangled for C++)
or a glob ending in '*'; a glob must match at least one defined symbol.
Names (or globs) after --unexported must match no exported symbol.
"""
import fnmatch
import subprocess
import sys


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    args = sys.argv[2:]
    unexported = []
    if "--unexported" in args:
        at = args.index("--unexported")
        args, unexported = args[:at], args[at + 1:]
    binary, files = sys.argv[1], args
    out = subprocess.run(["nm", "-D", "--defined-only", binary],
                         check=True, capture_output=True, text=True).stdout
    defined = set()
    for line in out.splitlines():
        parts = line.split()
        if parts:
            defined.add(parts[-1].split("@")[0])
    missing = []
    checked = 0
    for path in files:
        with open(path) as f:
            for raw in f:
                name = raw.split("#", 1)[0].strip()
                if not name:
                    continue
                checked += 1
                if "*" in name:
                    ok = any(fnmatch.fnmatchcase(d, name) for d in defined)
                else:
                    ok = name in defined
                if not ok:
                    missing.append(f"{path}: {name}")
    leaked = sorted(d for d in defined
                    if any(fnmatch.fnmatchcase(d, u) for u in unexported))
    for m in missing:
        print(f"not exported: {m}")
    for name in leaked:
        print(f"exported but internal: {name}")
    print(f"{checked} exports checked, {len(missing)} missing, "
          f"{len(leaked)} internal names exported")
    return 1 if missing or leaked else 0


if __name__ == "__main__":
    sys.exit(main())
