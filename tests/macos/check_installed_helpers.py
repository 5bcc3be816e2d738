#!/usr/bin/env python3
"""Checks the tree that `cmake --install` lays out for a macOS build.

usage: check_installed_helpers.py INSTALL_PREFIX

PREFIX/Helpers must hold exactly what goes into Host.app/Contents/Helpers/:
hotword-agent.app (Contents/Info.plist, Contents/MacOS/hotword-agent) and
keychord-agent, both programs universal arm64 + x86_64 Mach-O executables for
macOS 14.0 or later. On a Mac the code signatures are verified as well (the
install signs them there). Runs with nothing but Python, also on Linux for a
cross build. Prints every fault and exits 1 when there is one.
"""
import os
import plistlib
import stat
import struct
import subprocess
import sys

FAT_MAGIC, FAT_MAGIC_64, MH_MAGIC_64 = 0xCAFEBABE, 0xCAFEBABF, 0xFEEDFACF
CPU_TYPES = {0x01000007: "x86_64", 0x0100000C: "arm64"}
MH_EXECUTE, LC_BUILD_VERSION, PLATFORM_MACOS = 2, 0x32, 1
MINIMUM_SYSTEM = (14, 0)

faults = []


def fault(message):
    faults.append(message)
    print("FAULT: " + message)


def slice_facts(data, offset, name, arch):
    """The file type and the minimum macOS version of one thin slice."""
    magic, cpu, _, filetype, ncmds, _, _, _ = struct.unpack_from("<IiiIIIII", data, offset)
    if magic != MH_MAGIC_64 or CPU_TYPES.get(cpu) != arch:
        fault("%s: the %s slice is not a 64-bit %s Mach-O image" % (name, arch, arch))
        return
    if filetype != MH_EXECUTE:
        fault("%s: the %s slice is not an executable (file type %d)" % (name, arch, filetype))
    position = offset + 32
    minimum = None
    for _ in range(ncmds):
        command, size = struct.unpack_from("<II", data, position)
        if command == LC_BUILD_VERSION:
            platform, minos = struct.unpack_from("<II", data, position + 8)
            if platform == PLATFORM_MACOS:
                minimum = (minos >> 16, (minos >> 8) & 0xFF)
        position += size
    if minimum != MINIMUM_SYSTEM:
        fault("%s: the %s slice is built for macOS %s, not %d.%d" %
              (name, arch, "?" if minimum is None else "%d.%d" % minimum, *MINIMUM_SYSTEM))


def check_universal_executable(path, name):
    if not os.path.isfile(path) or os.path.islink(path):
        fault("%s: missing (no regular file at %s)" % (name, path))
        return
    if not os.stat(path).st_mode & stat.S_IXUSR:
        fault("%s: not executable" % name)
    with open(path, "rb") as f:
        data = f.read()
    magic, count = struct.unpack_from(">II", data, 0)
    if magic not in (FAT_MAGIC, FAT_MAGIC_64):
        fault("%s: not a universal binary" % name)
        return
    entry_format, entry_size = (">iiIII", 20) if magic == FAT_MAGIC else (">iiQQII", 32)
    archs = []
    for k in range(count):
        fields = struct.unpack_from(entry_format, data, 8 + k * entry_size)
        arch = CPU_TYPES.get(fields[0], "cpu type %#x" % fields[0])
        archs.append(arch)
        if arch in CPU_TYPES.values():
            slice_facts(data, fields[2], name, arch)
    if sorted(archs) != ["arm64", "x86_64"]:
        fault("%s: slices %s, expected arm64 and x86_64" % (name, ", ".join(archs) or "none"))


def check_info_plist(path):
    try:
        with open(path, "rb") as f:
            info = plistlib.load(f)
    except (OSError, plistlib.InvalidFileException, ValueError) as error:
        fault("Info.plist: cannot be read: %s" % error)
        return
    expected = {"CFBundleExecutable": "hotword-agent", "CFBundlePackageType": "APPL", "LSUIElement": True,
                "LSMinimumSystemVersion": "14.0"}
    for key, value in expected.items():
        if info.get(key) != value:
            fault("Info.plist: %s is %r, expected %r" % (key, info.get(key), value))
    for key in ("CFBundleIdentifier", "NSMicrophoneUsageDescription", "NSSpeechRecognitionUsageDescription"):
        if not isinstance(info.get(key), str) or not info[key]:
            fault("Info.plist: %s is missing" % key)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    prefix = os.path.abspath(sys.argv[1])
    helpers = os.path.join(prefix, "Helpers")
    bundle = os.path.join(helpers, "hotword-agent.app")

    # Exactly the helpers, nothing else installed (no headers, no libraries).
    found = set()
    for directory, _, files in os.walk(prefix):
        for name in files:
            found.add(os.path.relpath(os.path.join(directory, name), prefix))
    expected = {"Helpers/keychord-agent", "Helpers/hotword-agent.app/Contents/Info.plist",
                "Helpers/hotword-agent.app/Contents/MacOS/hotword-agent"}
    # Written by codesign, and by some generators.
    optional = {"Helpers/hotword-agent.app/Contents/_CodeSignature/CodeResources",
                "Helpers/hotword-agent.app/Contents/PkgInfo"}
    for path in sorted(found - expected - optional):
        fault("unexpected file installed: %s" % path)
    for path in sorted(expected - found):
        fault("missing: %s" % path)

    check_info_plist(os.path.join(bundle, "Contents", "Info.plist"))
    check_universal_executable(os.path.join(bundle, "Contents", "MacOS", "hotword-agent"), "hotword-agent")
    check_universal_executable(os.path.join(helpers, "keychord-agent"), "keychord-agent")

    if sys.platform == "darwin":
        for item in (os.path.join(helpers, "keychord-agent"), bundle):
            result = subprocess.run(["codesign", "--verify", "--strict", item], capture_output=True, text=True)
            if result.returncode != 0:
                fault("%s: signature does not verify: %s" % (os.path.basename(item), result.stderr.strip()))
        result = subprocess.run(["codesign", "-d", "--entitlements", "-", "--xml", bundle],
                                capture_output=True)
        if b"com.apple.security.device.audio-input" not in result.stdout:
            fault("hotword-agent.app: signed without the microphone entitlement")

    if faults:
        print("%d fault(s) in %s" % (len(faults), prefix))
        return 1
    print("Helpers tree OK: hotword-agent.app (Info.plist, universal arm64 + x86_64 executable), "
          "keychord-agent (universal arm64 + x86_64), macOS %d.%d or later" % MINIMUM_SYSTEM)
    return 0


if __name__ == "__main__":
    sys.exit(main())
