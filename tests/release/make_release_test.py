#!/usr/bin/env python3
"""Tests of tools/make-release, host-side; the end-to-end case installs a
release of it under Wine from ctest's test server."""

import contextlib
import importlib.machinery
import importlib.util
import io
import json
import os
import pathlib
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TOOL = os.path.join(ROOT, "tools", "make-release")
TABLE = os.path.join(ROOT, "tests", "data", "refused_client_paths.txt")
_loader = importlib.machinery.SourceFileLoader("make_release", TOOL)
make_release = importlib.util.module_from_spec(importlib.util.spec_from_loader("make_release", _loader))
_loader.exec_module(make_release)

PUBLISHED_ID = "20200101000000-abcdefabcdef"
INPUTS = {"client/orvek.exe": b"game", "client/lib/a.dll": b"a", "client/data/languages/en.lang": b"en",
          "client/data/languages/fa-\u00e9.lang": b"fa",
          "libs/lib/b.dll": b"b", "sound/i": b"catalog", "sound/a1": b"asset" * 1000,
          "piano/bank.txt": b"bank", "piano/LICENSE": b"license", "piano/ATTRIBUTION.txt": b"by",
          "piano/source.json": b"{}", "piano/Samples/A0.flac": b"sample"}
ARGUMENTS = ["{w}/out", "--client-dir", "{w}/client", "--libraries-dir", "{w}/libs", "--sound-dir", "{w}/sound",
             "--piano-dir", "{w}/piano"]


class Link(str):  # a symbolic link to this target
    pass


def write_tree(root, files):
    for name, content in files.items():
        full = os.path.join(os.fsencode(root), os.fsencode(name))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if isinstance(content, Link):
            os.symlink(content, full)
        else:
            with open(full, "wb") as stream:
                stream.write(content)


def snapshot(root):
    """Mode and content of every entry below root."""
    found = {}
    for current, dirs, names in os.walk(root):
        for name in dirs + names:
            full = os.path.join(current, name)
            mode = os.lstat(full).st_mode
            content = pathlib.Path(full).read_bytes() if stat.S_ISREG(mode) else None
            found[os.path.relpath(full, root)] = (stat.S_IMODE(mode), content)
    return found


def run_tool(work, arguments):
    """Exit code and error output of the tool, run in this process."""
    errors = io.StringIO()
    with contextlib.redirect_stderr(errors), contextlib.redirect_stdout(io.StringIO()):
        code = make_release.main([a.format(w=work) for a in arguments])
    return code, errors.getvalue()


class RefusalTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.work)
        os.umask(0o022)
        write_tree(self.work, INPUTS)
        self.assertEqual(run_tool(self.work, ARGUMENTS + ["--release-id", PUBLISHED_ID]), (0, ""))
        self.out = os.path.join(self.work, "out")
        self.served = snapshot(self.out)
        # New sound content beside every bad input: a refusal must not move data/v either.
        write_tree(self.work, {"sound/a2": b"new asset", "client/new.txt": b"new"})

    def test_files_get_the_mode_of_the_umask_and_a_repeated_run_changes_nothing(self):
        self.assertEqual({mode for mode, content in self.served.values() if content is None}, {0o755})
        self.assertEqual({mode for mode, content in self.served.values() if content is not None}, {0o644})
        os.umask(0o027)
        other = ["{w}/other", "--release-id", PUBLISHED_ID] + ARGUMENTS[1:]
        self.assertEqual(run_tool(self.work, other), (0, ""))
        served = snapshot(os.path.join(self.work, "other"))
        self.assertEqual({mode for mode, _ in served.values()}, {0o640, 0o750})
        self.assertEqual(run_tool(self.work, other), (0, ""))  # all reused
        self.assertEqual(snapshot(os.path.join(self.work, "other")), served)

    def test_each_bad_input_is_refused_by_name_and_the_served_tree_stays(self):
        client, device = 'client file "%s" in orvek.zip: ', " is a reserved Windows device name"
        cases = [  # (input files added, arguments or None for the usual ones, message)
            ({"client/.Orvek-Cache/x": b""}, None, client % ".Orvek-Cache/x" + '".Orvek-Cache" is a name the updater'),
            ({"client/name.": b""}, None, client % "name." + '"name." ends with "." or a space'),
            ({"client/a:b": b""}, None, client % "a:b" + '":" is a character Windows file names cannot hold'),
            ({"client/a\x01b": b""}, None, 'client file "a\\x01b" in orvek.zip: "\\x01" is a character'),
            ({"client/aux.txt": b""}, None, client % "aux.txt" + '"aux.txt"' + device),
            ({"client/lib/COM1.dll": b""}, None, '"COM1.dll"' + device),
            ({"client/Lib/a.dll": b"a"}, None, client % "lib/a.dll" + 'differs from "Lib/a.dll" only in letter case'),
            ({"libs/lib/a.dll": b"a"}, None, 'client file "lib/a.dll" in client-libraries.zip: also in orvek.zip'),
            ({"libs/Data": b""}, None, '"Data" in client-libraries.zip: is also a folder of "data/languages/en.lang"'),
            ({"client/data/m": b""}, None, client % "data/m" + "the sound data update owns this name"),
            ({"client/lib/l.dll": Link("a.dll")}, None, 'client file "lib/l.dll": is a symbolic link'),
            ({"client/lib/folder": Link(".")}, None, 'client file "lib/folder": is a symbolic link'),
            ({"sound/b1": Link("a1")}, None, 'sound asset "b1": is a symbolic link'),
            ({b"client/lib/\xff.dll": b""}, None, 'client file "lib/\\xff.dll": the name is not valid UTF-8'),
            ({}, ARGUMENTS + ["--release-id", PUBLISHED_ID],
             "client release %s is already published with other content" % PUBLISHED_ID),
            ({}, ARGUMENTS + ["--release-id", PUBLISHED_ID.upper()],
             "client release %s is already published as %s with other" % (PUBLISHED_ID.upper(), PUBLISHED_ID)),
            ({}, ["{w}/sound/out", "--sound-dir", "{w}/sound"], '"%s/sound/out" lies inside the input' % self.work),
            ({}, ["{w}/client", "--client-dir", "{w}/client"], 'the output folder "%s/client" lies inside' % self.work),
        ]
        for files, arguments, message in cases:
            with self.subTest(message):
                write_tree(self.work, files)
                code, errors = run_tool(self.work, arguments or ARGUMENTS)
                self.assertEqual(code, 1)
                self.assertIn(message, errors)
                self.assertEqual(snapshot(self.out), self.served)
                for name in files:
                    os.remove(os.path.join(os.fsencode(self.work), os.fsencode(name)))
        write_tree(self.work, {"client/CON": b""})
        self.assertEqual(run_tool(self.work, ["{w}/fresh"] + ARGUMENTS[1:])[0], 1)
        self.assertFalse(os.path.exists(os.path.join(self.work, "fresh")))

    def test_a_sound_manifest_over_the_updater_limit_is_refused(self):
        size = len(make_release.sound_manifest(os.path.join(self.work, "sound"))[0])
        self.addCleanup(setattr, make_release, "METADATA_LIMIT", make_release.METADATA_LIMIT)
        make_release.METADATA_LIMIT = size - 1
        self.assertEqual(run_tool(self.work, ["{w}/out", "--sound-dir", "{w}/sound"]),
                         (1, "make-release: error: the sound manifest would be %d bytes; the updater reads at "
                             "most %d\n" % (size, size - 1)))
        self.assertEqual(snapshot(self.out), self.served)
        make_release.METADATA_LIMIT = size
        self.assertEqual(run_tool(self.work, ["{w}/out", "--sound-dir", "{w}/sound"]), (0, ""))

    def test_a_pointer_that_cannot_move_puts_back_those_moved_and_adds_no_release(self):
        os.remove(os.path.join(self.out, "version.txt"))
        os.mkdir(os.path.join(self.out, "version.txt"))
        served = snapshot(self.out)
        self.assertEqual(run_tool(self.work, ARGUMENTS)[0], 1)  # data/v moved first, then put back
        self.assertEqual(snapshot(self.out), served)

    def test_the_tool_refuses_every_client_path_the_updater_refuses(self):
        with open(TABLE, "rb") as table:
            rows = [line.rstrip(b"\n").split(b"\t") for line in table if line.strip() and not line.startswith(b"#")]
        self.assertGreater(len(rows), 40)
        for engine, tool, path in rows:
            text = re.sub(rb"\\\\|\\x([0-9a-f]{2})", lambda m: bytes([int(m[1], 16)]) if m[1] else b"\\", path)
            verdict = make_release.client_path_problem(text.decode("utf-8", "surrogateescape"))
            self.assertEqual(b"ok" if verdict is None else b"refused", tool, path)
            self.assertTrue(engine == b"ok" or tool == b"refused", path)


class EndToEndTest(unittest.TestCase):
    def test_a_release_of_the_tool_installs_through_the_client_and_sound_flows(self):
        build, state = os.environ.get("ORVEK_BUILD_DIR"), os.environ.get("ORVEK_TEST_STATE_DIR")
        if not build or not state:
            self.skipTest("needs ctest's build and test server")
        with open(os.path.join(state, "server.json")) as info:
            origin = "https://127.0.0.1:%d/t/release_tool-%d/" % (json.load(info)["https_port"], os.getpid())
        served = os.path.join(state, "www", *origin.split("/")[3:])
        # On the prefix's drive C: Wine shows Z:\ as a link, which the updater refuses.
        drive_c = os.path.join(os.environ.get("ORVEK_WINE_PREFIX") or os.path.join(build, "wine-prefix"), "drive_c")
        work = os.path.join(drive_c, "orvek-tests", "release_tool-%d" % os.getpid())
        for folder in (served, work):
            self.addCleanup(shutil.rmtree, folder, True)
        write_tree(work, INPUTS)
        published = subprocess.run([TOOL, served] + [a.format(w=work) for a in ARGUMENTS[1:]],
                                   capture_output=True, text=True)
        self.assertEqual(published.returncode, 0, published.stderr)
        made = dict(line.split(": ") for line in published.stdout.splitlines())

        install = os.path.join(work, "install")
        os.mkdir(install)
        windows = lambda path: "C:\\" + os.path.relpath(path, drive_c).replace("/", "\\")
        run = subprocess.run([os.path.join(ROOT, "tools", "wine-run"), os.path.join(
            build, "bin", "standins", "install-release.exe"), origin, windows(install)], capture_output=True, text=True,
            env=dict(os.environ, ORVEK_UPDATER_CACHE_ROOT=windows(os.path.join(work, "cache"))), timeout=300)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)

        expected = {re.sub("^(client|libs)/", "", re.sub("^sound/", "data/", name)): content
                    for name, content in INPUTS.items() if not name.startswith("piano/")}
        pointer = made["sound-pointer"]
        expected.update({"version.txt": made["client-release-id"].encode(), "data/v": pointer.encode() + b"\n",
                         "data/m": pathlib.Path(served, "data", "releases", pointer, "m").read_bytes(),
                         "data/piano/m": make_release.piano_manifest(os.path.join(work, "piano"))[0],
                         "data/piano/v": made["piano-bank-id"].encode()})
        installed = {name: content for name, (_, content) in snapshot(install).items() if content is not None}
        self.assertEqual(installed, expected)


if __name__ == "__main__":
    unittest.main()
