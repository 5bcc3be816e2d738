#!/usr/bin/env python3
"""Runs clang's static analyzer over the translation units of a macOS cross build.

usage: macos_analyze.py BUILD_DIR SOURCE_DIR [--jobs N]

Every entry of BUILD_DIR/compile_commands.json whose source lies in SOURCE_DIR
(outside tests/) is analyzed with the command's own flags against the same SDK:
the sources of the mac layer (*/platform/mac/*, *_mac.cpp, *.mm) once per
architecture of the command, whose SDK headers differ, the portable rest for
the first one. The analyzer's findings are errors:
the run fails on the first one it prints, and on any translation unit that does
not analyze. Before that a known-faulty file is analyzed the same way and must
be reported, so that an analyzer that silently checks nothing fails too.
"""
import argparse
import concurrent.futures
import json
import os
import shlex
import subprocess
import sys
import tempfile
import time

CHECKERS = [
    "core",
    "cplusplus",
    "deadcode",
    "nullability",
    "osx",  # Core Foundation and Objective-C retain counts, dispatch_once, Cocoa API use
    "unix",
    "optin.cplusplus.UninitializedObject",
    "optin.cplusplus.VirtualCall",
    "optin.performance.GCDAntipattern",  # waiting on a semaphore for a dispatch callback
    "optin.portability.UnixAPI",
]

CANARY = r"""
#include <CoreFoundation/CoreFoundation.h>
#import <Foundation/Foundation.h>
CFIndex leaked(const char* text) {
    CFStringRef string = CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8);
    return CFStringGetLength(string);
}
void takesNonnull(NSString* _Nonnull string);
void passesNil(void) {
    NSString* _Nullable string = nil;
    takesNonnull(string);
}
"""
CANARY_FINDINGS = ["[osx.cocoa.RetainCount]", "[nullability.NullPassedToNonnull]"]


def analyzer_commands(entry):
    """One analyzer command per architecture of a compile command."""
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    # Drop a compiler launcher (ccache) in front of the compiler.
    while len(args) > 1 and os.path.basename(args[0]).startswith("ccache"):
        args = args[1:]
    kept, archs = [], []
    skip = False
    for i, arg in enumerate(args):
        if skip:
            skip = False
            continue
        if arg in ("-arch", "-o", "-MF", "-MT", "-MQ"):
            if arg == "-arch":
                archs.append(args[i + 1])
            skip = True
            continue
        if arg in ("-c", "-MD", "-MMD"):
            continue
        kept.append(arg)
    # With several -arch options the driver runs no checker at all and reports
    # success: analyze one architecture at a time.
    flags = ["--analyze", "--analyzer-output", "text", "-Xclang", "-analyzer-werror",
             "-Xclang", "-analyzer-checker=" + ",".join(CHECKERS), "-o", os.devnull]
    compiler, rest = kept[0], kept[1:]
    return [(arch, [compiler, "-arch", arch] + flags + rest) for arch in (archs or [None])]


def is_mac_source(relative):
    name = os.path.basename(relative)
    return ("/platform/mac/" in "/" + relative or name.endswith(".mm") or
            os.path.splitext(name)[0].endswith("_mac"))


def run(arch, command, directory):
    if arch is None:
        command = [a for a in command if a != "-arch" and a is not None]
    result = subprocess.run(command, cwd=directory, capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir")
    parser.add_argument("source_dir")
    parser.add_argument("--jobs", type=int, default=2)
    options = parser.parse_args()
    source_dir = os.path.realpath(options.source_dir)
    with open(os.path.join(options.build_dir, "compile_commands.json")) as f:
        entries = json.load(f)

    units = []
    for entry in entries:
        path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
        relative = os.path.relpath(path, source_dir)
        if relative.startswith("..") or relative.startswith("tests" + os.sep):
            continue
        commands = analyzer_commands(entry)
        if not is_mac_source(relative):
            commands = commands[:1]
        for arch, command in commands:
            units.append((relative, arch, command, entry["directory"]))
    if not units:
        print("analyzer: no translation unit found in compile_commands.json")
        return 1

    print("analyzer checkers: " + ",".join(CHECKERS))
    # The canary goes through the first Objective-C++ unit's command.
    template = next((u for u in units if u[0].endswith(".mm")), units[0])
    with tempfile.TemporaryDirectory() as scratch:
        canary = os.path.join(scratch, "canary.mm")
        with open(canary, "w") as f:
            f.write(CANARY)
        command = [canary if a.endswith(template[0]) else a for a in template[2]]
        command = [a for a in command if a not in ("-Werror",)]
        status, output = run(template[1], command, template[3])
        missing = [name for name in CANARY_FINDINGS if name not in output]
        if status == 0 or missing:
            print("analyzer: the known-faulty canary was not reported (%s); the analyzer checks nothing" %
                  ", ".join(missing or ["exit status 0"]))
            print(output)
            return 1

    started = time.monotonic()
    failures = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=options.jobs) as pool:
        futures = [(u, pool.submit(run, u[1], u[2], u[3])) for u in units]
        for (relative, arch, _, _), future in futures:
            status, output = future.result()
            findings = output.count(": error:") + output.count(": warning:")
            if status != 0 or findings:
                failures += 1
                print("analyzer: %s (%s): %d finding(s)" % (relative, arch, findings))
                print(output)
    sources = len({u[0] for u in units})
    mac_sources = len({u[0] for u in units if is_mac_source(u[0])})
    print("analyzer: %d sources (%d of the mac layer), %d analyses, %d with findings, %.1f s" %
          (sources, mac_sources, len(units), failures, time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
