#!/usr/bin/env python3
"""The Helpers tree check must pass a sound tree and name each fault of a broken one.

Builds the trees from hand-made Mach-O images (a header and a build-version
command per slice), so it runs on any system."""
import os
import plistlib
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_installed_helpers.py")
CPU = {"x86_64": 0x01000007, "arm64": 0x0100000C}


def thin(arch, minimum=(14, 0), filetype=2):
    build_version = struct.pack("<IIIIII", 0x32, 24, 1, minimum[0] << 16 | minimum[1] << 8, 14 << 16 | 2 << 8, 0)
    header = struct.pack("<IiiIIIII", 0xFEEDFACF, CPU[arch], 0, filetype, 1, len(build_version), 0, 0)
    return header + build_version


def universal(slices):
    header = struct.pack(">II", 0xCAFEBABE, len(slices))
    body, entries, offset = b"", b"", 4096
    for arch, image in slices:
        entries += struct.pack(">iiIII", CPU[arch], 0, offset + len(body), len(image), 12)
        body += image + b"\0" * (-len(image) % 4096)
    return header + entries + b"\0" * (offset - len(header) - len(entries)) + body


GOOD_INFO = {"CFBundleExecutable": "hotword-agent", "CFBundleIdentifier": "com.orvanex.hotword-agent",
             "CFBundlePackageType": "APPL", "LSUIElement": True, "LSMinimumSystemVersion": "14.0",
             "NSMicrophoneUsageDescription": "m", "NSSpeechRecognitionUsageDescription": "s"}
GOOD_PROGRAM = universal([("x86_64", thin("x86_64")), ("arm64", thin("arm64"))])


def make_tree(prefix, info=None, hotword=GOOD_PROGRAM, keychord=GOOD_PROGRAM):
    contents = os.path.join(prefix, "Helpers", "hotword-agent.app", "Contents")
    os.makedirs(os.path.join(contents, "MacOS"))
    with open(os.path.join(contents, "Info.plist"), "wb") as f:
        plistlib.dump(GOOD_INFO if info is None else info, f)
    for path, image in ((os.path.join(contents, "MacOS", "hotword-agent"), hotword),
                        (os.path.join(prefix, "Helpers", "keychord-agent"), keychord)):
        with open(path, "wb") as f:
            f.write(image)
        os.chmod(path, 0o755)


def run_check(prefix):
    result = subprocess.run([sys.executable, CHECK, prefix], capture_output=True, text=True)
    return result.returncode, result.stdout


class HelpersTreeCheck(unittest.TestCase):
    def setUp(self):
        self.prefix = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.prefix)

    def test_passes_a_sound_tree(self):
        make_tree(self.prefix)
        status, output = run_check(self.prefix)
        self.assertEqual(status, 0, output)

    def test_names_each_fault(self):
        cases = [
            ("thin program", {"keychord": thin("arm64")}, "keychord-agent: not a universal binary"),
            ("one slice", {"hotword": universal([("arm64", thin("arm64"))])}, "hotword-agent: slices arm64"),
            ("old system", {"keychord": universal([("x86_64", thin("x86_64", (13, 0))), ("arm64", thin("arm64"))])},
             "x86_64 slice is built for macOS 13.0"),
            ("object, not program", {"hotword": universal([("x86_64", thin("x86_64", filetype=1)),
                                                          ("arm64", thin("arm64"))])},
             "x86_64 slice is not an executable"),
            ("wrong executable name", {"info": dict(GOOD_INFO, CFBundleExecutable="agent")},
             "CFBundleExecutable is 'agent'"),
            ("Dock icon", {"info": dict(GOOD_INFO, LSUIElement=False)}, "LSUIElement is False"),
            ("no prompt text", {"info": {k: v for k, v in GOOD_INFO.items() if k != "NSMicrophoneUsageDescription"}},
             "NSMicrophoneUsageDescription is missing"),
        ]
        for name, broken, message in cases:
            with self.subTest(name):
                prefix = os.path.join(self.prefix, name.replace(" ", "-"))
                make_tree(prefix, **broken)
                status, output = run_check(prefix)
                self.assertEqual(status, 1, output)
                self.assertIn(message, output)

    def test_names_missing_and_extra_files(self):
        make_tree(self.prefix)
        os.remove(os.path.join(self.prefix, "Helpers", "hotword-agent.app", "Contents", "Info.plist"))
        os.makedirs(os.path.join(self.prefix, "lib"))
        open(os.path.join(self.prefix, "lib", "libhotword_core.a"), "w").close()
        os.chmod(os.path.join(self.prefix, "Helpers", "keychord-agent"), 0o644)
        status, output = run_check(self.prefix)
        self.assertEqual(status, 1, output)
        for message in ("missing: Helpers/hotword-agent.app/Contents/Info.plist",
                        "unexpected file installed: lib/libhotword_core.a", "keychord-agent: not executable"):
            self.assertIn(message, output)


if __name__ == "__main__":
    unittest.main()
