"""Object-code checks that the compiler's flags alone cannot promise.

1. Every x86-64 object uses only instructions whose CPU features the dispatcher checks before
   it runs that object's variant: the files of src/kernels/x86/<variant>/ the features that
   `kernel_tests --variants-json` lists for <variant>, everything else the x86-64 baseline.
2. No encoder object contains a fused multiply-add: every product and every sum of the
   projection must be rounded on its own.

    python scripts/check_objects.py --tests KERNEL_TESTS BUILD_DIR... [--objdump OBJDUMP]

Each BUILD_DIR is searched for *.o / *.obj files (ELF or Mach-O); KERNEL_TESTS is the C++ test
binary built from the same sources (a command prefix such as "qemu-aarch64 -L
/usr/aarch64-linux-gnu" may be given with --runner). For a build whose tests cannot run here
(macOS), a build of the tests for this machine stands in: the dispatcher's table differs only
for MSVC, so it is the same for GCC on Linux and clang on macOS.
x86 objects are decoded with iced-x86; aarch64 objects are disassembled with objdump.
"""

from __future__ import annotations

import argparse
import json
import re
import shlex
import struct
import subprocess
import sys
from collections import Counter
from pathlib import Path

from elftools.elf.constants import SH_FLAGS
from elftools.elf.elffile import ELFFile

# What every x86-64 CPU runs: no check needed before use.
X86_BASELINE = {
    "INTEL8086", "INTEL186", "INTEL286", "INTEL386", "INTEL486", "X64", "CMOV", "CPUID", "FPU",
    "FPU287", "FPU387", "SSE", "SSE2", "MULTIBYTENOP", "PAUSE", "CET_IBT", "RDTSC", "FXSAVE_FXRSTOR",
}
# macOS 10.12 and later run on a Penryn or later only, and clang compiles for one there by
# default (zig for a Core 2, which has less).
MACOS_X86_BASELINE = X86_BASELINE | {"SSE3", "SSSE3", "SSE4_1"}
# Our names for the features iced-x86 reports beyond the baseline.
ICED_TO_OURS = {
    "SSE3": "sse3", "SSSE3": "ssse3", "SSE4_1": "sse4.1", "SSE4_2": "sse4.2", "POPCNT": "popcnt",
    "AVX": "avx", "AVX2": "avx2", "BMI1": "bmi1", "BMI2": "bmi2", "FMA": "fma", "LZCNT": "lzcnt",
    "F16C": "f16c", "MOVBE": "movbe", "AVX512F": "avx512f", "AVX512BW": "avx512bw",
    "AVX512DQ": "avx512dq", "AVX512VL": "avx512vl", "AVX512CD": "avx512cd",
    "AVX512_VPOPCNTDQ": "avx512vpopcntdq",
}
# GCC writes BSF as TZCNT's encoding (rep bsf) where both give the same result; CPUs without
# BMI1 run it as BSF.
COMPATIBLE_ENCODINGS = {("TZCNT", "BMI1")}
# XGETBV, in the feature query only, which runs it after CPUID has reported OSXSAVE.
GUARDED_BY_CPUID = {"cpu.cpp": {"XSAVE"}}

FUSED_X86 = re.compile(r"^V?F(N)?M(ADD|SUB|ADDSUB|SUBADD)")
# Fused or accumulating floating-point multiplies: scalar, Advanced SIMD, SVE, BF16.
FUSED_ARM = re.compile(r"^(fmla|fmls|fmlal2?|fmlsl2?|fmadd|fmsub|fnmadd|fnmsub|fmad|fmsb|fnmad|"
                       r"fnmsb|fnmla|fnmls|fcmla|fmmla|fdot|bfmla|bfmlal[bt]|bfmls|bfmlsl[bt]|"
                       r"bfmmla|bfdot)$")


def variant_of(path: Path) -> str | None:
    """The kernel variant whose folder holds the object's source, or None for baseline code."""
    parts = path.as_posix()
    match = re.search(r"src/kernels/(?:x86|arm)/(\w+)/", parts)
    return match.group(1) if match else None


def source_name(path: Path) -> str:
    return re.sub(r"\.(o|obj)$", "", path.name)


def is_encoder(path: Path) -> bool:
    return source_name(path) == "encode.cpp"


MACHO_MAGIC_64 = 0xFEEDFACF
MACHO_MACHINES = {0x01000007: "EM_X86_64", 0x0100000C: "EM_AARCH64"}


def macho_code_sections(data: bytes):
    """(machine, bytes) of each section of a 64-bit Mach-O object that holds instructions."""
    cputype, _sub, _type, ncmds = struct.unpack_from("<iiII", data, 4)
    machine = MACHO_MACHINES.get(cputype & 0xFFFFFFFF, f"Mach-O cputype {cputype:#x}")
    offset = 32
    for _ in range(ncmds):
        cmd, cmdsize = struct.unpack_from("<II", data, offset)
        if cmd == 0x19:  # LC_SEGMENT_64
            nsects = struct.unpack_from("<I", data, offset + 64)[0]
            for i in range(nsects):
                sect = offset + 72 + 80 * i
                size, fileoff = struct.unpack_from("<QI", data, sect + 40)
                flags = struct.unpack_from("<I", data, sect + 64)[0]
                zerofill = (flags & 0xFF) in (0x1, 0xC, 0x12)
                # S_ATTR_PURE_INSTRUCTIONS or S_ATTR_SOME_INSTRUCTIONS
                if flags & 0x80000400 and size and not zerofill:
                    yield machine, data[fileoff:fileoff + size]
        offset += cmdsize


def is_macho(path: Path) -> bool:
    with path.open("rb") as f:
        head = f.read(4)
    return len(head) == 4 and struct.unpack("<I", head)[0] == MACHO_MAGIC_64


def code_sections(path: Path):
    if is_macho(path):
        yield from macho_code_sections(path.read_bytes())
        return
    with path.open("rb") as f:
        elf = ELFFile(f)
        machine = elf["e_machine"]
        for section in elf.iter_sections():
            if section["sh_flags"] & SH_FLAGS.SHF_EXECINSTR and section.data_size:
                yield machine, section.data()


def x86_features(path: Path) -> tuple[Counter, Counter]:
    """Feature -> instruction count, and mnemonic -> count, over the object's code."""
    from iced_x86 import CpuidFeature, Decoder, Mnemonic

    feature_names = {getattr(CpuidFeature, n): n for n in dir(CpuidFeature) if n.isupper()}
    mnemonic_names = {getattr(Mnemonic, n): n for n in dir(Mnemonic) if n[:1].isupper()}
    features: Counter = Counter()
    mnemonics: Counter = Counter()
    for _machine, data in code_sections(path):
        for instr in Decoder(64, data):
            mnemonic = mnemonic_names.get(instr.mnemonic, "?").upper()
            mnemonics[mnemonic] += 1
            for feature in instr.cpuid_features():
                name = feature_names.get(feature, str(feature))
                if (mnemonic, name) not in COMPATIBLE_ENCODINGS:
                    features[name] += 1
    return features, mnemonics


def arm_mnemonics(path: Path, objdump: str) -> Counter:
    """Mnemonic -> count; Apple's syntax (llvm-objdump on Mach-O) writes the arrangement into
    the mnemonic ("fmla.4s"), which is dropped."""
    out = subprocess.run([objdump, "-d", "--no-show-raw-insn", str(path)], capture_output=True,
                         text=True, check=True).stdout
    mnemonics: Counter = Counter()
    for line in out.splitlines():
        match = re.match(r"^\s*[0-9a-f]+:\s+([a-z][\w.]*)", line)
        if match:
            mnemonics[match.group(1).split(".")[0]] += 1
    return mnemonics


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("build_dirs", type=Path, nargs="+")
    p.add_argument("--tests", required=True, dest="kernel_tests", help="the C++ test binary")
    p.add_argument("--runner", default="", help="command prefix to run KERNEL_TESTS (an emulator)")
    p.add_argument("--objdump", default="objdump", help="objdump for aarch64 objects")
    args = p.parse_args()

    required = json.loads(subprocess.run(shlex.split(args.runner) + [args.kernel_tests, "--variants-json"],
                                         capture_output=True, text=True, check=True).stdout)
    objects = sorted((d, o) for d in args.build_dirs for o in d.rglob("*")
                     if o.suffix in (".o", ".obj") and "googletest" not in o.as_posix()
                     and "/tests/cpp/" not in o.as_posix())
    if not objects:
        print(f"no object files under {' '.join(map(str, args.build_dirs))}", file=sys.stderr)
        return 1
    failures = []
    encoders = 0
    for build_dir, obj in objects:
        sections = list(code_sections(obj))
        if not sections:
            continue
        machine = sections[0][0]
        variant = variant_of(obj)
        rel = obj.relative_to(build_dir.parent)
        if machine == "EM_X86_64":
            features, mnemonics = x86_features(obj)
            allowed = set(required.get(variant, {}).get("requires", [])) if variant else set()
            extra = GUARDED_BY_CPUID.get(source_name(obj), set())
            baseline = MACOS_X86_BASELINE if is_macho(obj) else X86_BASELINE
            for feature, count in sorted(features.items()):
                if feature in baseline or feature in extra:
                    continue
                ours = ICED_TO_OURS.get(feature)
                if ours is None or ours not in allowed:
                    failures.append(f"{rel}: {count} instruction(s) need {feature}, which the "
                                    f"dispatcher does not check for {variant or 'baseline code'}")
            fused = {m: n for m, n in mnemonics.items() if FUSED_X86.match(m)}
            products = sum(n for m, n in mnemonics.items() if re.match(r"^V?MUL[PS]S$", m))
            sums = sum(n for m, n in mnemonics.items() if re.match(r"^V?ADD[PS]S$", m))
        elif machine == "EM_AARCH64":
            mnemonics = arm_mnemonics(obj, args.objdump)
            fused = {m: n for m, n in mnemonics.items() if FUSED_ARM.match(m)}
            products, sums = mnemonics["fmul"], mnemonics["fadd"]
        else:
            failures.append(f"{rel}: unexpected machine {machine}")
            continue
        if is_encoder(obj):
            encoders += 1
            print(f"{rel}: {products} multiplies, {sums} adds, fused: {fused or 'none'}")
            if fused:
                failures.append(f"{rel}: fused multiply-add in the encoder: {fused}")
            elif not products or not sums:
                failures.append(f"{rel}: no float multiply or add found: the check proves nothing")
    print(f"checked {len(objects)} objects ({encoders} encoder objects) against {json.dumps(required)}")
    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    return 1 if failures or encoders == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
