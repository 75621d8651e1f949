"""Checks of a macOS extension module that a cross build can make without running it.

    python scripts/check_macho.py MODULE --arch arm64|x86_64 --minos 11.0 [--objdump X] [--nm X]

1. It is a 64-bit Mach-O image for ARCH (a loadable bundle, or the dynamic library zig links
   instead), built for macOS MINOS and no other version.
2. It loads only the system's libraries (libSystem; libc++, which Apple's toolchain links
   dynamically and zig statically).
3. Nothing is left undefined but the interpreter's names (_Py*, looked up when the module loads)
   and names bound to those libraries.
4. PyInit_tarnwick_rs is the one function it exports of ours; beside it only what the linker
   and a statically linked C++ runtime define (the replaceable operator new and delete).
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys

CPU_TYPES = {"arm64": "ARM64", "x86_64": "X86_64"}
SYSTEM_LIBRARIES = {"/usr/lib/libSystem.B.dylib", "/usr/lib/libc++.1.dylib"}
ENTRY = "_PyInit_tarnwick_rs"
# Defined by the linker (the image's own header) and by a statically linked C++ runtime.
RUNTIME_EXPORTS = re.compile(r"^(__mh_(bundle|dylib)_header|___dso_handle|__Z(nw|na|dl|da)\w*)$")
INTERPRETER = re.compile(r"^__?Py\w+$")


def run(*command: str) -> str:
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("module")
    p.add_argument("--arch", required=True, choices=sorted(CPU_TYPES))
    p.add_argument("--minos", required=True, help="the deployment target, e.g. 11.0")
    p.add_argument("--objdump", default="llvm-objdump-19")
    p.add_argument("--nm", default="llvm-nm-19")
    args = p.parse_args()
    failures = []

    header = run(args.objdump, "--macho", "--private-header", args.module).split("\n")
    fields = header[2].split() if len(header) > 2 else []
    if len(fields) < 5 or fields[0] != "MH_MAGIC_64" or fields[1] != CPU_TYPES[args.arch]:
        failures.append(f"not a 64-bit Mach-O image for {args.arch}: {' '.join(fields)}")
    elif fields[4] not in ("BUNDLE", "DYLIB"):
        failures.append(f"file type {fields[4]}, not a loadable module")

    commands = run(args.objdump, "--macho", "--private-headers", args.module)
    versions = re.findall(r"cmd LC_BUILD_VERSION\n.*\n\s*platform (\S+)\n.*\n\s*minos (\S+)", commands)
    if versions != [("macos", args.minos)] or "LC_VERSION_MIN" in commands:
        failures.append(f"built for {versions or 'no LC_BUILD_VERSION'}, not macOS {args.minos}")

    libraries = [line.split(" (compatibility")[0].strip()
                 for line in run(args.objdump, "--macho", "--dylibs-used", args.module).splitlines()[1:]]
    libraries = [lib for lib in libraries if not lib.endswith(args.module.rsplit("/", 1)[-1])]
    for lib in sorted(set(libraries) - SYSTEM_LIBRARIES):
        failures.append(f"loads {lib}")

    undefined = re.findall(r"\(undefined\) (?:weak )?external (\S+)(?: \(from (\S+)\))?",
                           run(args.nm, "-u", "-m", args.module))
    bound = sum(1 for _, library in undefined if library)
    for name, library in undefined:
        if not library and not INTERPRETER.match(name):
            failures.append(f"undefined and looked up at load time: {name}")

    exported = dict(line.split()[1:3][::-1] for line in run(args.nm, "-gU", args.module).splitlines())
    if exported.get(ENTRY) != "T":
        failures.append(f"{ENTRY} is not an exported function")
    extra = sorted(n for n in exported if n != ENTRY and not RUNTIME_EXPORTS.match(n))
    for name in extra:
        failures.append(f"exports {name} ({run('llvm-cxxfilt-19', name[1:]).strip()})")

    runtime = sum(1 for n in exported if RUNTIME_EXPORTS.match(n))
    built_for = ", ".join(f"{platform} {minos}" for platform, minos in versions) or "?"
    print(f"{args.module}: Mach-O {' '.join(fields[1:2] + fields[4:5])} for {built_for}, "
          f"loads {', '.join(libraries)}; {len(undefined) - bound} names from the interpreter, "
          f"{bound} from the system; exports {ENTRY} and {runtime} of the linker and C++ runtime")
    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
