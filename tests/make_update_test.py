#!/usr/bin/env python3
"""End-to-end runs of make-update: the per-entry choice of encodings (each
archive is applied by the real updater and must give NEW byte for byte,
modes included), the refusals, and the progress line on a terminal.

usage: make_update_test.py BUILD_DIR [unittest options]
"""
import os
import pty
import random
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

BUILD = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "build"
MAKE_UPDATE = os.path.join(BUILD, "tools", "make-update")
UPQ = os.path.join(BUILD, "tools", "upq")
QBDIFF = os.path.join(BUILD, "tools", "qbdiff")
UPDATER = os.path.join(BUILD, "updater", "updater")
MAX_DICTIONARY = 64 << 20


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tree(root):
    """{relative path: (mode, content or None for a directory)}"""
    result = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            info = os.lstat(full)
            content = None if stat.S_ISDIR(info.st_mode) else read(full)
            result[os.path.relpath(full, root)] = (stat.S_IMODE(info.st_mode), content)
    return result


def javascript(rng, lines):
    words = ["function", "return", "const", "value", "this.state", "=>", "if (", ") {", "};",
             "module.exports", "require('./lib')", "undefined", "null", "0x1f", "length"]
    return "".join(" ".join(rng.choice(words) for _ in range(rng.randrange(3, 12))) + "\n"
                   for _ in range(lines)).encode()


def edited(data, rng, edits):
    data = bytearray(data)
    for _ in range(edits):
        at = rng.randrange(len(data) - 64)
        data[at:at + rng.randrange(1, 64)] = rng.randbytes(rng.randrange(1, 64))
    return bytes(data)


def fitted_dictionary(size):
    base = 4096
    while True:
        if size <= base:
            return base
        if size <= base + base // 2:
            return base + base // 2
        base *= 2


def listing(archive):
    """upq -t --filters: [(mode, stored, original, filters, name)]"""
    out = subprocess.run([UPQ, "-t", archive, "--filters"], check=True, capture_output=True,
                         text=True).stdout
    rows = []
    for line in out.splitlines():
        mode, stored, original, filters, name = line.split(None, 4)
        rows.append((mode, int(stored), int(original), filters, name))
    return rows


def dictionary(filters):
    match = re.search(r"dict=(\d+)(KiB|MiB)?", filters)
    return int(match.group(1)) << {"KiB": 10, "MiB": 20, None: 0}[match.group(2)]


class MakeUpdateTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="make-update-test.")
        os.chmod(self.root, 0o755)
        self.old = os.path.join(self.root, "old")
        self.new = os.path.join(self.root, "new")

    def tearDown(self):
        for dirpath, dirnames, _ in os.walk(self.root):
            for name in dirnames:
                os.chmod(os.path.join(dirpath, name), 0o755)
        shutil.rmtree(self.root)

    def run_tool(self, *args, user=None):
        command = [sys.executable, MAKE_UPDATE] + list(args)
        if user:
            command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + command
        return subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)

    def make_release_pair(self):
        """Two releases: an executable and a library that change, a new
        executable, random data replaced whole, text edited, a file gone, a
        directory gone, a mode change and files that stay."""
        rng = random.Random(7)
        app = read(QBDIFF)
        write(f"{self.old}/bin/app", app, 0o755)
        write(f"{self.new}/bin/app", edited(app, rng, 40) + b"\0release 2\0", 0o755)
        write(f"{self.new}/bin/tool", read(UPQ), 0o755)
        text = javascript(rng, 6000)
        write(f"{self.old}/lib/index.js", text)
        write(f"{self.new}/lib/index.js", edited(text, rng, 30))
        write(f"{self.old}/lib/random.bin", rng.randbytes(50000))
        write(f"{self.new}/lib/random.bin", rng.randbytes(50000))
        for side in (self.old, self.new):
            write(f"{side}/keep.txt", b"keep\n")
        write(f"{self.old}/run.sh", b"#!/bin/sh\necho run\n", 0o644)
        write(f"{self.new}/run.sh", b"#!/bin/sh\necho run\n", 0o755)
        write(f"{self.old}/gone.txt", b"gone\n")
        write(f"{self.old}/olddir/x.txt", b"x\n")

    def apply(self, archive, complete=False):
        """Applies the archive to a copy of OLD with the real updater."""
        patch_dir = os.path.dirname(archive)
        installation = os.path.join(self.root, "inst-" + os.path.basename(patch_dir))
        shutil.copytree(self.old, installation, symlinks=True)
        result = subprocess.run([UPDATER, patch_dir, installation, installation + ".work"],
                                capture_output=True, text=True,
                                env={k: v for k, v in os.environ.items() if k != "DISPLAY"})
        status = read(os.path.join(patch_dir, "update.status")).decode()
        self.assertEqual(status, "succeeded\n", read(os.path.join(patch_dir, "update.log")))
        self.assertEqual(result.returncode, 0, result.stderr)
        applied = tree(installation)
        if complete:
            applied.pop("precomplete")
        self.assertEqual(applied, tree(self.new))

    def test_every_choice_applies_with_the_updater(self):
        self.make_release_pair()
        sizes = {}
        for label, options in (("chosen", []), ("preset6", ["--preset", "6"]),
                               ("complete", ["--complete"])):
            with self.subTest(label):
                archive = os.path.join(self.root, label, "update.upq")
                made = self.run_tool(*options, "-v", self.old, self.new, archive)
                self.assertEqual(made.returncode, 0, made.stderr)
                self.assertEqual(made.stderr, "")
                self.apply(archive, complete=label == "complete")
                rows = {name: (stored, original, filters)
                        for _, stored, original, filters, name in listing(archive)}
                sizes[label] = os.path.getsize(archive)
                if label == "preset6":
                    # Today's archives: preset 6 (an 8 MiB dictionary), no filter.
                    self.assertTrue(all(f.startswith("lzma2(dict=8MiB") for _, _, f in
                                        rows.values()), rows)
                    continue
                for name, (stored, original, filters) in rows.items():
                    self.assertLessEqual(dictionary(filters), fitted_dictionary(original), name)
                    self.assertLessEqual(dictionary(filters), MAX_DICTIONARY, name)
                    self.assertIn("lc=", filters + "lc=", name)
                # The x86 filter pays off on a real executable.
                self.assertTrue(rows["bin/tool"][2].startswith("x86,"), rows["bin/tool"])
                if label == "chosen":
                    self.assertIn('patch "bin/app.patch" "bin/app"', made.stdout)
                    self.assertIn('patch "lib/index.js.patch" "lib/index.js"', made.stdout)
                    # A patch of unrelated random data stores larger than the file.
                    self.assertIn('add "lib/random.bin"', made.stdout)
                    self.assertIn('add "run.sh"', made.stdout)
        self.assertLess(sizes["chosen"], sizes["preset6"])

    def test_refusals(self):
        self.make_release_pair()
        fifo = os.path.join(self.root, "fifo")
        os.mkfifo(fifo)
        cases = [
            # (what, OLD, NEW, OUTPUT, message)
            ("output is a FIFO", self.old, self.new, fifo,
             f"{fifo}: exists and is not a regular file"),
            ("no difference", self.old, self.old, os.path.join(self.root, "same.upq"),
             "nothing to do"),
        ]
        if os.geteuid() == 0:
            device = os.path.join(self.root, "null")
            os.mknod(device, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
            cases.append(("output is a character device", self.old, self.new, device,
                          f"{device}: exists and is not a regular file"))
        for what, old, new, output, message in cases:
            with self.subTest(what):
                before = os.lstat(output).st_mode if os.path.lexists(output) else None
                made = self.run_tool(old, new, output)
                self.assertEqual(made.returncode, 1, made.stderr)
                self.assertIn(message, made.stderr)
                self.assertEqual(made.stderr.count("\n"), 1, made.stderr)
                self.assertEqual(made.stdout, "")
                after = os.lstat(output).st_mode if os.path.lexists(output) else None
                self.assertEqual(after, before)
        # The same trees make a complete update: it always has content.
        made = self.run_tool("--complete", self.old, self.old,
                             os.path.join(self.root, "c", "update.upq"))
        self.assertEqual(made.returncode, 0, made.stderr)

    def test_unreadable_directory_is_an_error(self):
        # As root every directory can be read: run as nobody then.
        user = os.geteuid() == 0
        if user and not shutil.which("setpriv"):
            self.skipTest("running as root without setpriv")
        self.make_release_pair()
        out_dir = os.path.join(self.root, "out")
        os.mkdir(out_dir)
        os.chmod(out_dir, 0o777)
        for side in ("old", "new"):
            with self.subTest(side):
                locked = os.path.join(self.root, side, "lib")
                os.chmod(locked, 0)
                made = self.run_tool(self.old, self.new, os.path.join(out_dir, "u.upq"),
                                     user=user)
                os.chmod(locked, 0o755)
                self.assertEqual(made.returncode, 1, made.stderr)
                self.assertIn(f"{locked}: cannot read the directory: Permission denied",
                              made.stderr)
                self.assertFalse(os.path.exists(os.path.join(out_dir, "u.upq")))

    def test_progress_only_on_a_terminal(self):
        self.make_release_pair()
        archive = os.path.join(self.root, "tty", "update.upq")
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(sys.executable, [sys.executable, MAKE_UPDATE, self.old, self.new, archive])
        out = b""
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        _, status = os.waitpid(pid, 0)
        os.close(fd)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, out)
        text = out.decode()
        self.assertRegex(text, r"\rmake-update: compared 5/5, patches 3/3, encoded 8/8, "
                               r"[0-9.]+ s")
        self.assertIn(": 3 added, 2 patched", text)

        made = self.run_tool(self.old, self.new, os.path.join(self.root, "pipe", "update.upq"))
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assertEqual(made.stderr, "")
        self.assertRegex(made.stdout, r"^make-update: \S+: 3 added, 2 patched, 2 removed, "
                                      r"1 directories removed\n$")


if __name__ == "__main__":
    unittest.main()
