#!/usr/bin/env python3
"""scripts/release: the folder it writes for the update server, and the
inputs it refuses. Runs on the build machine (no Wine)."""
import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
RELEASE = os.path.join(ROOT, "scripts", "release")


def fake_installer(path, machine=0x14C, version=(4, 3, 1, 0)):
    """The few bytes of a PE file that scripts/release reads: the machine and
    the fixed file version after the version resource's key."""
    head = bytearray(0x80)
    head[0:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x40)
    head[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<H", head, 0x44, machine)
    # A stray signature before the resource must not be taken for it.
    body = struct.pack("<I", 0xFEEF04BD) + b"\0" * 12
    body += "VS_VERSION_INFO".encode("utf-16-le") + b"\0\0"
    ms = (version[0] << 16) | version[1]
    ls = (version[2] << 16) | version[3]
    body += struct.pack("<IIII", 0xFEEF04BD, 0x10000, ms, ls)
    with open(path, "wb") as f:
        f.write(bytes(head) + body + os.urandom(64))


def run(*args):
    return subprocess.run([sys.executable, RELEASE] + list(args), capture_output=True, text=True)


class ReleaseTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.installer = os.path.join(self.dir.name, "quillstone-setup-4.3.1-x86.exe")
        fake_installer(self.installer)
        self.out = os.path.join(self.dir.name, "publish")

    def tearDown(self):
        self.dir.cleanup()

    def test_writes_the_manifest_and_the_installer_under_the_base_url(self):
        r = run("--installer", self.installer, "--base-url", "https://update.example/",
                "--notes", "更快的打印", "--min-version", "4.2.0", "--forced", "--rollout", "30",
                "--out", self.out)
        self.assertEqual(r.returncode, 0, r.stderr)
        folder = os.path.join(self.out, "desktop", "updates", "quill-stone", "win-x64")
        with open(os.path.join(folder, "manifest.json"), encoding="utf-8") as f:
            manifest = json.load(f)
        with open(self.installer, "rb") as f:
            data = f.read()
        self.assertEqual(manifest, {
            "version": "4.3.1",
            "url": "https://update.example/desktop/updates/quill-stone/win-x64/quillstone-setup-4.3.1-x86.exe",
            "sha256": hashlib.sha256(data).hexdigest(),
            "notes": "更快的打印",
            "minVersion": "4.2.0",
            "forced": True,
            "rolloutPercent": 30,
        })
        with open(os.path.join(folder, "quillstone-setup-4.3.1-x86.exe"), "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertFalse(os.path.exists(os.path.join(folder, "manifest.json.tmp")))

    def test_defaults_offer_to_everyone_without_force(self):
        r = run("--installer", self.installer, "--base-url", "https://u.example/", "--out", self.out,
                "--version", "4.3.2")
        self.assertEqual(r.returncode, 0, r.stderr)
        path = os.path.join(self.out, "desktop/updates/quill-stone/win-x64/manifest.json")
        with open(path, encoding="utf-8") as f:
            manifest = json.load(f)
        self.assertEqual((manifest["version"], manifest["forced"], manifest["rolloutPercent"],
                          manifest["minVersion"], manifest["notes"]), ("4.3.2", False, 100, "", ""))

    def test_refuses_what_the_program_would_reject_or_must_not_get(self):
        amd64 = os.path.join(self.dir.name, "setup-amd64.exe")
        fake_installer(amd64, machine=0x8664)
        cases = [
            ("http origin", ["--base-url", "http://update.example/"]),
            ("no trailing slash", ["--base-url", "https://update.example"]),
            ("upper case", ["--base-url", "https://Update.example/"]),
            ("rollout over 100", ["--base-url", "https://update.example/", "--rollout", "150"]),
            ("test installer", ["--base-url", "https://update.example/", "--installer", amd64]),
        ]
        for name, args in cases:
            with self.subTest(name):
                full = ["--installer", self.installer, "--out", self.out] + args
                r = run(*full)
                self.assertNotEqual(r.returncode, 0)
                self.assertFalse(os.path.exists(self.out), "nothing is written")


if __name__ == "__main__":
    unittest.main()
