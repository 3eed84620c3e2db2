#!/usr/bin/env python3
"""End-to-end tests of tarvelin.

Each case lays out an installation directory in a fresh temporary directory
(tarvelin, a recording engine installed as libqir.so, helper libraries and
dependentlibs.list), runs the real binary and compares the engine calls it
recorded, standard error and the exit status with what is expected.

usage: launcher_e2e.py --tarvelin PATH --engine PATH --library PATH
                       --fault-shim PATH --version VERSION [unittest options]
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None

NOT_FOUND = "Couldn't find the application directory.\n"
NOT_LOADED = "Couldn't load VESTRA.\n"
LIST = "dependentlibs.list"

# Variables of the caller's environment that would change the outcome.
CONTROLLED_ENV = ("QIR_APP_FILE", "VLM_RUN_GTEST", "G_SLICE", "VLM_APP_RESTART",
                  "TEST_ENGINE_STATUS", "TEST_ENGINE_NO_BOOTSTRAP", "LD_PRELOAD",
                  "FAULT_SHIM_PUTENV", "FAULT_SHIM_STRDUP")


class Installation:
    """An installation directory: tarvelin plus the given files."""

    def __init__(self, root, libraries=("liba.so", "libb.so"),
                 list_text=None, engine="libqir.so"):
        self.dir = os.path.join(root, "install")
        os.makedirs(self.dir)
        # A copy, not a link: tarvelin finds its directory through its own
        # resolved path.
        self.tarvelin = os.path.join(self.dir, "tarvelin")
        shutil.copy2(ARGS.tarvelin, self.tarvelin)
        for name in libraries:
            self.add(name, ARGS.library)
        if engine:
            self.add(engine, ARGS.engine)
        if list_text is None:
            list_text = "".join(n + "\n" for n in (*libraries, engine))
        if list_text is not False:
            self.write(LIST, list_text)

    def add(self, name, source):
        shutil.copy2(source, os.path.join(self.dir, name))

    def write(self, name, text):
        with open(os.path.join(self.dir, name), "w") as f:
            f.write(text)


class Result:
    def __init__(self, completed):
        self.rc = completed.returncode
        self.stderr = completed.stderr
        self.records = [json.loads(line) for line in completed.stdout.splitlines()]
        # Libraries also report their unloading at process exit; keep the
        # engine calls and the loads in order.
        self.loads = [r["library"] for r in self.records if r["call"] == "load"]
        self.unloads = [r["library"] for r in self.records if r["call"] == "unload"]
        self.calls = [r for r in self.records if r["call"] not in ("load", "unload")]
        self.names = [r["call"] for r in self.calls]

    def call(self, name):
        found = [r for r in self.calls if r["call"] == name]
        assert len(found) == 1, f"{name} recorded {len(found)} times: {self.names}"
        return found[0]


def run(installation, args=(), env=None, argv0=None, cwd=None, unset=()):
    environment = {k: v for k, v in os.environ.items() if k not in CONTROLLED_ENV}
    environment.update(env or {})
    for name in unset:
        environment.pop(name, None)
    program = installation.tarvelin
    argv0 = program if argv0 is None else argv0
    completed = subprocess.run([argv0, *args], executable=program, env=environment,
                               cwd=cwd, capture_output=True, text=True, timeout=30)
    return Result(completed)


def run_merged(installation, args=()):
    """Runs with standard output and error in one pipe and returns the order
    of loads, unloads and launcher messages."""
    environment = {k: v for k, v in os.environ.items() if k not in CONTROLLED_ENV}
    completed = subprocess.run([installation.tarvelin, *args], env=environment,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, timeout=30)
    events = []
    for line in completed.stdout.splitlines():
        if line.startswith("{"):
            record = json.loads(line)
            if record["call"] in ("load", "unload"):
                events.append(f'{record["call"]}:{record["library"]}')
        elif line.startswith("VESTRAGlueLoad error for file "):
            events.append("load error")
        elif line == NOT_LOADED.strip():
            events.append("not loaded")
    return events


MAIN = ["ZOV_GetBootstrap", "EngineInit", "RecordStartupEvent", "PrepareMainProcess"]
CONTENT = ["ZOV_GetBootstrap", "EngineInit", "SetChildProcessArgument", "RunChildProcess",
           "EngineTerm", "Release"]


class LauncherTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vlm_launcher_")
        self.addCleanup(shutil.rmtree, self.tmp)

    def install(self, **kwargs):
        return Installation(self.tmp, **kwargs)

    def builtin(self):
        return {
            "vendor": "Tarvelin", "name": "Tarvelin", "remotingName": "tarvelin-vintage",
            "version": ARGS.version, "appId": "{5a1f0c3e-7d2b-4e8a-9c61-0f4b3d2e8a17}",
            "copyright": None, "flags": 2, "minEngineVersion": ARGS.version,
            "maxEngineVersion": ARGS.version, "crashReportUrl": "", "profileName": "Tarvelin",
            "userAgentName": None,
        }

    def test_modes(self):
        inst = self.install()
        prog = inst.tarvelin
        long_file = "/apps/" + "f" * 4994  # 5000 characters
        browser = {"builtinAppData": "builtin", "appLocation": "browser"}
        # (line, args, env, expected run call, exit status, stderr)
        cases = [
            (sys._getframe().f_lineno, [], {}, dict(call="RunApplication", argc=1, argv=[prog],
                                                     **browser), 0, ""),
            (sys._getframe().f_lineno, ["-app", "x.ini", "more"], {},
             dict(call="RunApplication", argc=2, argv=[prog, "more"], builtinAppData=None,
                  appLocation="x.ini", QIR_APP_FILE="x.ini"), 0, ""),
            (sys._getframe().f_lineno, ["--APP", "y.ini"], {},
             dict(call="RunApplication", argc=1, argv=[prog], builtinAppData=None,
                  appLocation="y.ini", QIR_APP_FILE="y.ini"), 0, ""),
            # An empty file consumes both arguments and runs the browser.
            (sys._getframe().f_lineno, ["-app", "", "z"], {},
             dict(call="RunApplication", argc=2, argv=[prog, "z"], QIR_APP_FILE="", **browser),
             0, ""),
            (sys._getframe().f_lineno, ["-app"], {}, None, 255,
             "Incorrect number of arguments passed to -app"),
            # With QIR_APP_FILE set, -app is not consumed; -vstshell still is.
            (sys._getframe().f_lineno, ["-app", "x"], {"QIR_APP_FILE": "/env/app.ini"},
             dict(call="RunApplication", argc=3, argv=[prog, "-app", "x"], builtinAppData=None,
                  appLocation="/env/app.ini"), 0, ""),
            (sys._getframe().f_lineno, ["-app"], {"QIR_APP_FILE": "/env/app.ini"},
             dict(call="RunApplication", argc=2, argv=[prog, "-app"], builtinAppData=None,
                  appLocation="/env/app.ini"), 0, ""),
            (sys._getframe().f_lineno, ["-vstshell", "a"], {"QIR_APP_FILE": "/env/app.ini"},
             dict(call="RunShell", argc=2, argv=[prog, "a"], terminated=True), 0, ""),
            # An empty QIR_APP_FILE counts as unset.
            (sys._getframe().f_lineno, ["-app", "x"], {"QIR_APP_FILE": ""},
             dict(call="RunApplication", argc=1, argv=[prog], builtinAppData=None,
                  appLocation="x"), 0, ""),
            (sys._getframe().f_lineno, [], {"QIR_APP_FILE": ""},
             dict(call="RunApplication", argc=1, argv=[prog], **browser), 0, ""),
            (sys._getframe().f_lineno, ["-vstshell", "a", "b"], {"TEST_ENGINE_MARK": "m"},
             dict(call="RunShell", argc=3, argv=[prog, "a", "b"], terminated=True,
                  TEST_ENGINE_MARK="m"), 0, ""),
            (sys._getframe().f_lineno, ["--VstShell"], {},
             dict(call="RunShell", argc=1, argv=[prog], terminated=True), 0, ""),
            # Not switches, or switches with other names: the browser.
            (sys._getframe().f_lineno, ["vstshell"], {},
             dict(call="RunApplication", argc=2, argv=[prog, "vstshell"], **browser), 0, ""),
            (sys._getframe().f_lineno, ["-"], {},
             dict(call="RunApplication", argc=2, argv=[prog, "-"], **browser), 0, ""),
            (sys._getframe().f_lineno, ["--", "-app", "x"], {},
             dict(call="RunApplication", argc=4, argv=[prog, "--", "-app", "x"], **browser),
             0, ""),
            (sys._getframe().f_lineno, ["a", "-contentproc"], {},
             dict(call="RunApplication", argc=3, argv=[prog, "a", "-contentproc"], **browser),
             0, ""),
            (sys._getframe().f_lineno, ["-application", "x"], {},
             dict(call="RunApplication", argc=3, argv=[prog, "-application", "x"], **browser),
             0, ""),
            # The engine's status is the exit status.
            (sys._getframe().f_lineno, [], {"TEST_ENGINE_STATUS": "7"},
             dict(call="RunApplication", argc=1), 7, ""),
            (sys._getframe().f_lineno, ["-vstshell"], {"TEST_ENGINE_STATUS": "3"},
             dict(call="RunShell", argc=1), 3, ""),
            # The environment assignment is cut to 4095 characters, the
            # location is passed whole.
            (sys._getframe().f_lineno, ["-app", long_file], {},
             dict(call="RunApplication", argc=1, builtinAppData=None, appLocation=long_file,
                  QIR_APP_FILE=long_file[:4095 - len("QIR_APP_FILE=")]), 0, ""),
        ]
        for line, args, env, want, rc, stderr in cases:
            with self.subTest(line=line, args=args, env=env):
                r = run(inst, args, env)
                self.assertEqual(r.stderr, stderr)
                self.assertEqual(r.rc, rc)
                self.assertEqual(r.loads, ["liba.so", "libb.so"])
                expected = MAIN + ([want["call"]] if want else []) + ["EngineTerm", "Release"]
                self.assertEqual(r.names, expected)
                self.assertEqual(r.call("RecordStartupEvent")["event"], 1)
                self.assertTrue(r.call("RecordStartupEvent")["valid"])
                if want:
                    got = r.call(want["call"])
                    for key, value in want.items():
                        if key == "builtinAppData" and value == "builtin":
                            data = got[key]
                            self.assertRegex(data.pop("buildId"), r"^[0-9]{14}$")
                            self.assertEqual(data, self.builtin())
                        else:
                            self.assertEqual(got[key], value, key)
                    if want["call"] == "RunApplication" and "QIR_APP_FILE" not in want and \
                            "QIR_APP_FILE" not in env:
                        self.assertIsNone(got["QIR_APP_FILE"])

    def test_static_initialisation(self):
        r = run(self.install())
        entry = r.call("ZOV_GetBootstrap")
        self.assertIsNone(entry["initial"])
        self.assertGreater(entry["resolution"], 0)
        with open("/proc/cpuinfo") as f:
            flags = next(line for line in f if line.startswith("flags")).split()
        self.assertEqual(entry["ssse3_enabled"], "ssse3" in flags)

    def test_content_process(self):
        inst = self.install()
        prog = inst.tarvelin
        # (line, args, engine status, exit status)
        cases = [
            (sys._getframe().f_lineno, ["-contentproc", "a", "b"], "0", 0),
            (sys._getframe().f_lineno, ["--CONTENTPROC", "a", "b"], "0", 0),
            (sys._getframe().f_lineno, ["-contentproc", "a", "b"], "5", 0),
            (sys._getframe().f_lineno, ["-contentproc", "a", "b"], "-1", 1),
            (sys._getframe().f_lineno, ["-contentproc", "a", "b"], "-2147483648", 1),
        ]
        for line, args, status, rc in cases:
            with self.subTest(line=line, args=args, status=status):
                r = run(inst, args, {"TEST_ENGINE_STATUS": status, "QIR_APP_FILE": "/x"})
                self.assertEqual((r.rc, r.stderr), (rc, ""))
                self.assertEqual(r.names, CONTENT)
                self.assertEqual(r.call("SetChildProcessArgument")["argument"], "b")
                child = r.call("RunChildProcess")
                self.assertEqual(child["argc"], 3)
                self.assertEqual(child["argv"], [prog, args[0], "a"])
                # The vector itself is unchanged: "b" is still in place.
                self.assertFalse(child["terminated"])
        # A lone -contentproc is its own last argument.
        r = run(inst, ["-contentproc"])
        self.assertEqual(r.call("SetChildProcessArgument")["argument"], "-contentproc")
        self.assertEqual(r.call("RunChildProcess")["argc"], 1)

    def test_list_forms(self):
        # (line, list text, gtest list text or None, env, loads, rc, stderr)
        cases = [
            # Comments, and a last line without a newline.
            (sys._getframe().f_lineno,
             "# libraries\nliba.so\n#libb.so\nlibb.so\nlibqir.so", None, {},
             ["liba.so", "libb.so"], 0, ""),
            (sys._getframe().f_lineno, "libqir.so\n", None, {}, [], 0, ""),
            # Only the .gtest list is read when VLM_RUN_GTEST is set, even empty.
            (sys._getframe().f_lineno, "libmissing.so\n", "libb.so\nlibqir.so\n",
             {"VLM_RUN_GTEST": ""}, ["libb.so"], 0, ""),
            (sys._getframe().f_lineno, "liba.so\nlibqir.so\n", None, {"VLM_RUN_GTEST": "1"},
             [], 255, NOT_LOADED),
            # Nothing to load.
            (sys._getframe().f_lineno, "", None, {}, [], 255, NOT_LOADED),
            (sys._getframe().f_lineno, "# nothing\n", None, {}, [], 255, NOT_LOADED),
            (sys._getframe().f_lineno, False, None, {}, [], 255, NOT_LOADED),
            # The last library has no ZOV_GetBootstrap.
            (sys._getframe().f_lineno, "libqir.so\nliba.so\n", None, {}, ["liba.so"], 255,
             NOT_LOADED),
            # The engine offers no Bootstrap.
            (sys._getframe().f_lineno, "liba.so\nlibqir.so\n", None,
             {"TEST_ENGINE_NO_BOOTSTRAP": "1"}, ["liba.so"], 255, NOT_LOADED),
        ]
        for line, list_text, gtest_text, env, loads, rc, stderr in cases:
            with self.subTest(line=line, list_text=list_text, env=env):
                root = tempfile.mkdtemp(dir=self.tmp)
                inst = Installation(root, list_text=list_text)
                if gtest_text is not None:
                    inst.write(LIST + ".gtest", gtest_text)
                r = run(inst, [], env)
                self.assertEqual((r.rc, r.stderr), (rc, stderr))
                self.assertEqual(r.loads, loads)
                if rc == 0:
                    self.assertEqual(r.names, MAIN + ["RunApplication", "EngineTerm", "Release"])
                else:
                    # No Bootstrap operation is called after a failed load.
                    self.assertIn(r.names, ([], ["ZOV_GetBootstrap"]))

    def test_load_failures(self):
        root = self.tmp
        d = os.path.join(root, "install")
        inst = self.install()
        inst.write("libjunk.so", "not a library\n")
        too_long = "l" * (4096 - len(d) - 1)  # directory, "/", name: no room for the NUL
        # (line, list, loads, stderr pattern, order of loads, unloads, messages)
        cases = [
            # A failed load unloads everything loaded before it, after its
            # message.
            (sys._getframe().f_lineno, "liba.so\nlibb.so\nlibmissing.so\nlibqir.so\n",
             ["liba.so", "libb.so"],
             re.escape(f"VESTRAGlueLoad error for file {d}/libmissing.so:\n{d}/libmissing.so: "
                       "cannot open shared object file: No such file or directory\n"
                       + NOT_LOADED),
             ["load:liba.so", "load:libb.so", "load error", "unload:libb.so", "unload:liba.so",
              "not loaded"]),
            # A line holding only a newline names the directory itself.
            (sys._getframe().f_lineno, "liba.so\n\nlibqir.so\n", ["liba.so"],
             re.escape(f"VESTRAGlueLoad error for file {d}/:\n{d}/: ") + ".+\n"
             + re.escape(NOT_LOADED),
             ["load:liba.so", "load error", "unload:liba.so", "not loaded"]),
            (sys._getframe().f_lineno, "libjunk.so\nlibqir.so\n", [],
             re.escape(f"VESTRAGlueLoad error for file {d}/libjunk.so:\n{d}/libjunk.so: ")
             + ".+\n" + re.escape(NOT_LOADED), ["load error", "not loaded"]),
            # A library path that does not fit: nothing printed, the libraries
            # before it stay loaded (until the process ends).
            (sys._getframe().f_lineno, f"liba.so\n{too_long}\nlibqir.so\n", ["liba.so"],
             re.escape(NOT_LOADED), ["load:liba.so", "not loaded", "unload:liba.so"]),
            # One byte shorter fits, and fails to load as a missing file.
            (sys._getframe().f_lineno, f"{too_long[1:]}\nlibqir.so\n", [],
             re.escape(f"VESTRAGlueLoad error for file {d}/{too_long[1:]}:\n") + ".+\n"
             + re.escape(NOT_LOADED), ["load error", "not loaded"]),
        ]
        for line, list_text, loads, stderr, order in cases:
            with self.subTest(line=line):
                inst.write(LIST, list_text)
                r = run(inst)
                self.assertEqual(r.rc, 255)
                self.assertRegex(r.stderr, "^" + stderr + "$")
                self.assertEqual(r.loads, loads)
                self.assertEqual(r.names, [])
                self.assertEqual(run_merged(inst), order)

    def test_refused_allocations(self):
        inst = self.install()
        shim = {"LD_PRELOAD": ARGS.fault_shim}
        long_file = "g" * 5000
        assignment = "QIR_APP_FILE=" + long_file[:4095 - len("QIR_APP_FILE=")]
        # (line, args, env, stderr, engine calls)
        cases = [
            (sys._getframe().f_lineno, ["-app", "f.ini"], {"FAULT_SHIM_PUTENV": "1"},
             "Couldn't set QIR_APP_FILE=f.ini.\n", MAIN + ["EngineTerm", "Release"]),
            # The message shows the assignment as formatted, cut short.
            (sys._getframe().f_lineno, ["-app", long_file], {"FAULT_SHIM_PUTENV": "1"},
             f"Couldn't set {assignment}.\n", MAIN + ["EngineTerm", "Release"]),
            # No copy of the assignment: treated like a refused putenv.
            (sys._getframe().f_lineno, ["-app", "f.ini"], {"FAULT_SHIM_STRDUP": "QIR_APP_FILE="},
             "Couldn't set QIR_APP_FILE=f.ini.\n", MAIN + ["EngineTerm", "Release"]),
            # No copy of the executable's path.
            (sys._getframe().f_lineno, [], {"FAULT_SHIM_STRDUP": inst.dir}, NOT_FOUND, []),
            (sys._getframe().f_lineno, ["-contentproc", "x"], {"FAULT_SHIM_STRDUP": inst.dir},
             NOT_FOUND, []),
        ]
        # Once tarvelin defines strdup itself, its own calls no longer go
        # through the preloaded one.
        exports = subprocess.run(["nm", "-D", "--defined-only", inst.tarvelin],
                                 capture_output=True, text=True, check=True).stdout
        own_strdup = re.search(r" strdup$", exports, re.M) is not None
        for line, args, env, stderr, names in cases:
            if own_strdup and "FAULT_SHIM_STRDUP" in env:
                continue
            with self.subTest(line=line, args=args[:1], env=list(env)):
                r = run(inst, args, {**shim, **env})
                self.assertEqual((r.rc, r.stderr), (255, stderr))
                self.assertEqual(r.names, names)

    def test_g_slice(self):
        inst = self.install()
        # (line, env, seen while loading, seen by EngineInit)
        cases = [
            (sys._getframe().f_lineno, {}, "always-malloc", None),
            (sys._getframe().f_lineno, {"G_SLICE": "debug-blocks"}, "debug-blocks",
             "debug-blocks"),
            (sys._getframe().f_lineno, {"G_SLICE": ""}, "", ""),
        ]
        for line, env, loading, after in cases:
            with self.subTest(line=line, env=env):
                r = run(inst, [], env)
                self.assertEqual(r.rc, 0)
                self.assertEqual({rec["G_SLICE"] for rec in r.records if rec["call"] == "load"},
                                 {loading})
                self.assertEqual(r.call("EngineInit")["G_SLICE"], after)

    def test_executable_path(self):
        inst = self.install()
        d = inst.dir
        parent = os.path.dirname(d)
        links = os.path.join(self.tmp, "links")
        os.makedirs(links)
        os.symlink(inst.tarvelin, os.path.join(links, "browser"))
        # (line, argv0, PATH or None to unset, cwd, found)
        cases = [
            (sys._getframe().f_lineno, inst.tarvelin, None, None, True),
            (sys._getframe().f_lineno, "./tarvelin", None, d, True),
            (sys._getframe().f_lineno, os.path.join(links, "browser"), None, None, True),
            (sys._getframe().f_lineno, "tarvelin", f"/nonexistent::{d}", "/", True),
            (sys._getframe().f_lineno, "browser", links, "/", True),
            # A path with "/" that does not resolve is tried below PATH too.
            (sys._getframe().f_lineno, "install/tarvelin", parent, "/", True),
            (sys._getframe().f_lineno, "tarvelin", None, "/", False),
            (sys._getframe().f_lineno, "tarvelin", "", "/", False),
            (sys._getframe().f_lineno, "tarvelin", "/nonexistent", d, False),
            # A candidate too long for the buffer is skipped.
            (sys._getframe().f_lineno, "tarvelin", "/" + "p" * 4100 + ":" + d, "/", True),
        ]
        for line, argv0, path, cwd, found in cases:
            with self.subTest(line=line, argv0=argv0, path=path):
                env = {} if path is None else {"PATH": path}
                unset = ("PATH",) if path is None else ()
                r = run(inst, [], env, argv0=argv0, cwd=cwd, unset=unset)
                if found:
                    self.assertEqual((r.rc, r.stderr), (0, ""))
                    self.assertEqual(r.call("RunApplication")["argv"], [argv0])
                else:
                    self.assertEqual((r.rc, r.stderr, r.records), (255, NOT_FOUND, []))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--tarvelin", "--engine", "--library", "--fault-shim", "--version"):
        parser.add_argument(name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
