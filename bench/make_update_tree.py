#!/usr/bin/env python3
"""Generates the input of bench/updater_manifest.sh: an old tree of a few
thousand files, the new tree (a third of the files patched, a sixth replaced,
a sixth removed, the rest unchanged, plus new files), the update archive with
its manifest (made with upq, patches with qbdiff) and the same entries as
separate .xz files for the `xz -dc` peer.

usage: make_update_tree.py BUILD_DIR OUT_DIR [FILES]"""
import os
import random
import shutil
import subprocess
import sys


def content(rng, size):
    # Text-like, compressible data with some randomness, like program files.
    words = [b"update", b"install", b"archive", b"patch", b"remove", b"value",
             b"return", b"struct", b"buffer", b"length", b"status"]
    out = bytearray()
    while len(out) < size:
        if rng.random() < 0.1:
            out += b"0x%04x" % rng.randrange(65536)
        else:
            out += rng.choice(words)
        out += b" " if rng.random() < 0.8 else b"\n"
    return bytes(out[:size])


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randrange(1, 6)):
        at = rng.randrange(len(data) or 1)
        data[at:at + rng.randrange(1, 64)] = os.urandom(rng.randrange(1, 64))
    return bytes(data)


def main():
    build, out = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 3000
    upq = os.path.join(build, "tools", "upq")
    qbdiff = os.path.join(build, "tools", "qbdiff")
    rng = random.Random(20261210)
    shutil.rmtree(out, ignore_errors=True)
    old_dir, new_dir = os.path.join(out, "old"), os.path.join(out, "new")
    stage, xz_dir = os.path.join(out, "stage"), os.path.join(out, "xz")
    for d in (old_dir, new_dir, stage, xz_dir):
        os.makedirs(d)

    manifest = ['type "partial"']
    entries = []

    def write(root, rel, data, mode=0o644):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        return path

    for i in range(count):
        rel = "d%02d/s%02d/file%05d.dat" % (i % 40, (i // 40) % 8, i)
        old = content(rng, rng.choice([512, 2048, 8192, 32768, 131072]))
        write(old_dir, rel, old)
        kind = i % 6
        if kind in (0, 1):
            new = mutate(rng, old)
            write(new_dir, rel, new)
            old_path = write(out, "tmp-old", old)
            new_path = write(out, "tmp-new", new)
            patch = rel + ".patch"
            os.makedirs(os.path.dirname(os.path.join(stage, patch)), exist_ok=True)
            subprocess.run([qbdiff, old_path, new_path, os.path.join(stage, patch)], check=True)
            manifest.append('patch "%s" "%s"' % (patch, rel))
            entries.append(patch)
        elif kind == 2:
            manifest.append('remove "%s"' % rel)
        elif kind == 3:
            new = content(rng, len(old))
            write(new_dir, rel, new)
            write(stage, rel, new)
            manifest.append('add "%s"' % rel)
            entries.append(rel)
        else:
            write(new_dir, rel, old)
    for i in range(count // 6):
        rel = "new%02d/file%05d.dat" % (i % 20, i)
        data = content(rng, rng.choice([2048, 8192, 32768]))
        write(new_dir, rel, data)
        write(stage, rel, data)
        manifest.append('add "%s"' % rel)
        entries.append(rel)
    os.remove(os.path.join(out, "tmp-old"))
    os.remove(os.path.join(out, "tmp-new"))

    write(stage, "updatev3.manifest", ("\n".join(manifest) + "\n").encode())
    entries.insert(0, "updatev3.manifest")
    with open(os.path.join(out, "entries"), "w") as f:
        f.write("\n".join(entries) + "\n")
    subprocess.run([upq, "-c", os.path.join(out, "update.upq"), "-C", stage] + entries, check=True)
    for n, rel in enumerate(entries):
        with open(os.path.join(stage, rel), "rb") as src, \
                open(os.path.join(xz_dir, "%05d.xz" % n), "wb") as dst:
            subprocess.run(["xz", "-6", "-c"], stdin=src, stdout=dst, check=True)
    print("generated %d old files, %d archive entries, %d manifest lines"
          % (count, len(entries), len(manifest)))


if __name__ == "__main__":
    main()
