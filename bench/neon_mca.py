"""The NEON scans' inner loops on paper: cycles per row from llvm-mca on three aarch64 cores.

No ARM hardware is needed or used. The NEON Hamming kernels are cross-compiled for aarch64 by
CMake with the build's own flags (GCC through cmake/toolchains/aarch64-linux-gnu.cmake, as the
Linux wheels are built; clang-19 for aarch64-linux-gnu, the compiler family of the macOS wheels),
and a twin of each object with -g is compiled from the same command line. The twin must hold the
same code, instruction for instruction; its line tables tell which scan each loop belongs to. Per
scan, the innermost loop holding CNT instructions that counts the most bytes a pass is the one
measured: its instructions, from the branch target to the backward branch, go to llvm-mca-19 as
they are, and llvm-mca must report having run that many instructions a pass. Rows a pass are the
bytes CNT counts a pass over 32 (a 4-word code).

The bound beside each figure is llvm-mca's cycles for the loop's own EOR and CNT instructions
alone: no scan of 4-word codes can go faster on that core, whatever it does with the counts.

    python bench/neon_mca.py [--baseline REV] [--results bench/results.md] [--work build/neon-mca]
        [--cmake CMAKE] [--ninja NINJA]

--baseline measures the sources of a git revision too (from `git archive`), for a before and
after table. --results replaces this tool's section of that file (between its markers) or
appends it.
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
SOURCE = "src/kernels/arm/neon/hamming.cpp"
OBJECT = f"CMakeFiles/tw_kernels.dir/{SOURCE}.o"
CORES = ["neoverse-n1", "neoverse-v2", "apple-m1"]
ITERATIONS = 1000
# Scan label and the function whose inlined body holds its loop.
SCANS = [
    ("find_nearest, 4-word codes", "nearest4"),
    ("search (44-byte records)", "nearest_records"),
    ("distance batch, 4-word codes", "distances4"),
    ("similarity batch, 4-word codes", "similarities4"),
]
START, END = "<!-- neon-mca:start -->", "<!-- neon-mca:end -->"
BRANCHES = {"b", "cbz", "cbnz", "tbz", "tbnz"}


@dataclass(frozen=True)
class Compiler:
    name: str  # as the tables show it
    key: str  # build folder
    cmake_args: tuple[str, ...]


COMPILERS = [
    Compiler("GCC (aarch64-linux-gnu-g++)", "gcc",
             ("-DCMAKE_TOOLCHAIN_FILE=" + str(REPO / "cmake/toolchains/aarch64-linux-gnu.cmake"),)),
    # No linker for aarch64 is needed: CMake's compiler check builds a static library.
    Compiler("clang-19 (--target=aarch64-linux-gnu)", "clang",
             ("-DCMAKE_SYSTEM_NAME=Linux", "-DCMAKE_SYSTEM_PROCESSOR=aarch64",
              "-DCMAKE_CXX_COMPILER=clang++-19", "-DCMAKE_CXX_COMPILER_TARGET=aarch64-linux-gnu",
              "-DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY")),
]


@dataclass
class Insn:
    address: int
    mnemonic: str
    operands: str


@dataclass
class Loop:
    function: str
    body: list[Insn]
    nested: bool  # holds a further loop, which llvm-mca sees once a pass
    frames: list[str] = field(default_factory=list)

    @property
    def cnt_bytes(self) -> int:
        return sum(16 if ".16b" in i.operands else 8 for i in self.body if i.mnemonic == "cnt")


@dataclass
class Measure:
    cycles: float  # per row
    bound: float  # per row, the loop's EOR and CNT alone


def run(command: list[str], cwd: Path | None = None) -> str:
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"error: {' '.join(command)} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


def need(tool: str) -> str:
    path = shutil.which(tool)
    if path is None:
        sys.exit(f"error: {tool} not found (Debian: clang-19, llvm-19, g++-aarch64-linux-gnu)")
    return path


def build_objects(source_dir: Path, build_dir: Path, compiler: Compiler, cmake: str,
                  ninja: str) -> tuple[Path, Path]:
    """The kernel object as the build makes it, and its twin with -g."""
    build_dir.mkdir(parents=True, exist_ok=True)
    run([cmake, "-Wno-deprecated", "-S", str(source_dir), "-B", str(build_dir), "-G", "Ninja",
         f"-DCMAKE_MAKE_PROGRAM={ninja}", "-DTW_BUILD_MODULE=OFF", "-DCMAKE_BUILD_TYPE=Release",
         *compiler.cmake_args])
    run([ninja, "-C", str(build_dir), OBJECT])
    command = run([ninja, "-C", str(build_dir), "-t", "commands", OBJECT]).strip().splitlines()[-1]
    # The same command line, without the dependency file, writing the twin.
    command = re.sub(r" -MD -MT \S+ -MF \S+", "", command)
    twin = build_dir / "neon-hamming-g.o"
    command = re.sub(r" -o \S+ ", f" -o {twin} ", command)
    subprocess.run(f"{command} -g", shell=True, cwd=build_dir, check=True)
    return build_dir / OBJECT, twin


def disassemble(objdump: str, obj: Path) -> dict[str, list[Insn]]:
    functions: dict[str, list[Insn]] = {}
    current: list[Insn] = []
    for line in run([objdump, "-d", "--no-show-raw-insn", "-C", str(obj)]).splitlines():
        head = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if head:
            current = functions.setdefault(head.group(1), [])
            continue
        m = re.match(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*?)\s*(//.*)?$", line)
        if m:
            current.append(Insn(int(m.group(1), 16), m.group(2), m.group(3)))
    return functions


def branch_target(insn: Insn) -> int | None:
    if insn.mnemonic not in BRANCHES and not insn.mnemonic.startswith("b."):
        return None
    m = re.search(r"(?:^|, )0x([0-9a-f]+)(?: <.*>)?$", insn.operands)
    return int(m.group(1), 16) if m else None


def loops(functions: dict[str, list[Insn]]) -> list[Loop]:
    """Every backward branch's range within its function."""
    out = []
    for name, body in functions.items():
        for end, insn in enumerate(body):
            target = branch_target(insn)
            # (A branch back out of the function is a tail call.)
            if target is None or target > insn.address or target < body[0].address:
                continue
            start = next(i for i, x in enumerate(body) if x.address == target)
            inner = [j for j in range(start, end) if (t := branch_target(body[j])) is not None
                     and body[start].address <= t <= body[j].address]
            out.append(Loop(name, body[start:end + 1], nested=bool(inner)))
    return out


def frames(symbolizer: str, obj: Path, address: int) -> list[str]:
    """The inlining chain at `address`, innermost first (function names only)."""
    text = run([symbolizer, f"--obj={obj}", "--inlining", hex(address)])
    return [line for i, line in enumerate(text.strip().splitlines()) if i % 2 == 0]


def in_scan(loop: Loop, function: str) -> bool:
    """Whether the loop is the named function's: inlined into it, or in a helper that the
    compiler kept apart and whose name holds the function's (a lambda of it as an argument)."""
    pattern = re.compile(rf"(^|::){function}(<.*>)?(\(|$)")
    return any(pattern.search(f) for f in [*loop.frames, loop.function])


def scan_loops(obj: Path, twin: Path, objdump: str, symbolizer: str) -> list[tuple[str, Loop]]:
    code = disassemble(objdump, obj)
    if code != disassemble(objdump, twin):
        sys.exit(f"error: {twin} (-g) does not hold the code of {obj}: cannot place its loops")
    counting = [lp for lp in loops(code) if lp.cnt_bytes > 0]
    # Innermost among the loops that count: none of the others lies within it.
    def within(inner: Loop, outer: Loop) -> bool:
        return (inner is not outer and outer.body[0].address <= inner.body[0].address
                and inner.body[-1].address <= outer.body[-1].address)
    innermost = [lp for lp in counting if not any(within(o, lp) for o in counting)]
    for lp in innermost:
        lp.frames = frames(symbolizer, twin, lp.body[-1].address)
    found = []
    for label, function in SCANS:
        mine = [lp for lp in innermost if in_scan(lp, function)]
        if not mine:
            sys.exit(f"error: no loop of {function} holds CNT instructions in {obj}")
        # The main loops count the most rows a pass; the others take the last rows.
        widest = max(lp.cnt_bytes for lp in mine)
        main = [lp for lp in mine if lp.cnt_bytes == widest]
        for lp in main:
            # A scan may keep a loop per case, e.g. a division only where it cannot multiply.
            dividing = [any(i.mnemonic == "fdiv" for i in m.body) for m in main]
            note = ""
            if len(set(dividing)) > 1:
                note = " (dividing)" if dividing[main.index(lp)] else " (multiplying)"
            elif len(main) > 1:
                note = f" (loop {main.index(lp) + 1} of {len(main)})"
            found.append((label + note, lp))
    return found


def mca_source(body: list[Insn]) -> str:
    lines = [".Lloop:"]
    for insn in body:
        target = branch_target(insn)
        operands = insn.operands
        if target is not None:
            label = ".Lloop" if target == body[0].address else ".Lexit"
            operands = re.sub(r"0x[0-9a-f]+(?: <.*>)?$", label, operands)
        elif "<" in operands or insn.mnemonic in ("adr", "adrp"):
            sys.exit(f"error: the loop refers to a symbol: {insn.mnemonic} {operands}")
        lines.append(f"  {insn.mnemonic} {operands}")
    lines.append(".Lexit:")
    return "\n".join(lines) + "\n"


def mca_cycles(mca: str, source: str, core: str, expected: int) -> float:
    """Cycles a pass in llvm-mca's steady state; checks that it ran `expected` instructions."""
    out = subprocess.run([mca, "-mtriple=aarch64-linux-gnu", f"-mcpu={core}",
                          f"-iterations={ITERATIONS}", "-resource-pressure=0",
                          "-instruction-info=0"], input=source, capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"error: llvm-mca -mcpu={core}:\n{out.stderr}\n{source}")
    stats = dict(re.findall(r"^(Iterations|Instructions|Total Cycles):\s+(\d+)$", out.stdout, re.M))
    if int(stats["Instructions"]) != expected * int(stats["Iterations"]):
        sys.exit(f"error: llvm-mca ran {stats['Instructions']} instructions in "
                 f"{stats['Iterations']} passes of a {expected}-instruction loop")
    return int(stats["Total Cycles"]) / int(stats["Iterations"])


def xor_cnt_alone(loop: Loop) -> list[Insn]:
    """The loop's vector EORs and CNTs with nothing else, each reading registers that nothing
    in the block writes, so that no chain runs from one pass to the next."""
    out = []
    for n, insn in enumerate(i for i in loop.body if i.mnemonic in ("eor", "cnt")):
        arrangement = ".16b" if ".16b" in insn.operands else ".8b"
        if not insn.operands.startswith("v"):
            continue  # a scalar EOR
        if insn.mnemonic == "eor":
            operands = f"v{n % 28}{arrangement}, v30{arrangement}, v31{arrangement}"
        else:
            operands = f"v{n % 28}{arrangement}, v{(n - 1) % 28}{arrangement}"
        out.append(Insn(insn.address, insn.mnemonic, operands))
    return out


def measure(loop: Loop, mca: str) -> dict[str, Measure]:
    rows = loop.cnt_bytes / 32
    whole = mca_source(loop.body)
    alone = xor_cnt_alone(loop)
    return {core: Measure(mca_cycles(mca, whole, core, len(loop.body)) / rows,
                          mca_cycles(mca, mca_source(alone), core, len(alone)) / rows)
            for core in CORES}


@dataclass
class Row:
    scan: str
    compiler: str
    loop: Loop
    by_core: dict[str, Measure]


def measure_tree(source_dir: Path, work: Path, tools: dict[str, str], cmake: str,
                 ninja: str) -> list[Row]:
    rows = []
    for compiler in COMPILERS:
        obj, twin = build_objects(source_dir, work / compiler.key, compiler, cmake, ninja)
        for label, loop in scan_loops(obj, twin, tools["objdump"], tools["symbolizer"]):
            rows.append(Row(label, compiler.name, loop, measure(loop, tools["mca"])))
    return rows


def table(rows: list[Row]) -> str:
    head = ["scan", "compiler", "rows a pass", "instructions"]
    head += [f"{core}: cycles a row (× bound)" for core in CORES]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    bounds = {core: rows[0].by_core[core].bound for core in CORES}
    for r in rows:
        cells = [r.scan, r.compiler, f"{r.loop.cnt_bytes / 32:g}",
                 f"{len(r.loop.body)}{' (nested loop)' if r.loop.nested else ''}"]
        for core in CORES:
            m = r.by_core[core]
            cell = f"{m.cycles:.2f} ({m.cycles / m.bound:.2f}×)"
            if abs(m.bound - bounds[core]) > 0.01:
                cell += f", bound {m.bound:.2f}"
            cells.append(cell)
        lines.append("| " + " | ".join(cells) + " |")
    lines.append("| XOR+CNT bound | | | | " + " | ".join(f"{bounds[c]:.2f}" for c in CORES) + " |")
    return "\n".join(lines)


def versions(tools: dict[str, str]) -> str:
    def first(command: list[str]) -> str:
        return run(command).splitlines()[0].strip()
    gcc = first(["aarch64-linux-gnu-g++", "--version"])
    clang = first(["clang++-19", "--version"])
    mca = next(line.strip() for line in run([tools["mca"], "--version"]).splitlines()
               if "version" in line)
    return f"{gcc}; {clang}; llvm-mca {mca.split('version')[-1].strip()}"


def section(current: list[Row], baseline: tuple[str, list[Row]] | None, about: str) -> str:
    lines = [
        START,
        "## NEON scans on paper: llvm-mca",
        "",
        "Written by `bench/neon_mca.py` (`bash scripts/run bench-neon-mca`). No ARM hardware "
        "measured these figures: they are llvm-mca's steady-state cycles for each scan's inner "
        "loop as the compiler emitted it, cross-compiled with the build's flags, per row of "
        "4-word codes, on llvm-mca's model of each core. The bound is the loop's own XOR and "
        "CNT instructions alone on that core. Loads, caches, branch prediction and the "
        "loop's entry and exit are outside the model, and so is any work outside the loop "
        "measured; a loop that holds a further loop (\"nested loop\") has that one counted "
        "once a pass.",
        "",
        f"Tools: {about}.",
        "",
    ]
    if baseline is not None:
        lines += [f"Before (sources of `{baseline[0]}`):", "", table(baseline[1]), "", "Now:", ""]
    lines += [table(current), END]
    return "\n".join(lines)


def write_section(path: Path, text: str) -> None:
    old = path.read_text() if path.exists() else ""
    if START in old and END in old:
        head, rest = old.split(START, 1)
        new = head + text + rest.split(END, 1)[1]
    else:
        new = old.rstrip("\n") + ("\n\n" if old else "") + text + "\n"
    path.write_text(new)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--baseline", metavar="REV", help="also measure this git revision's sources")
    p.add_argument("--results", type=Path, help="write the tables into this file's section")
    p.add_argument("--work", type=Path, default=REPO / "build/neon-mca", help="build folders")
    p.add_argument("--cmake", default="cmake")
    p.add_argument("--ninja", default="ninja")
    args = p.parse_args()
    tools = {"mca": need("llvm-mca-19"), "objdump": need("llvm-objdump-19"),
             "symbolizer": need("llvm-symbolizer-19")}
    need("clang++-19")
    need("aarch64-linux-gnu-g++")
    cmake, ninja = need(args.cmake), need(args.ninja)

    baseline = None
    if args.baseline:
        rev = run(["git", "-C", str(REPO), "rev-parse", "--short", args.baseline]).strip()
        tree = args.work / f"source-{rev}"
        if not tree.exists():
            tree.mkdir(parents=True)
            archive = subprocess.run(["git", "-C", str(REPO), "archive", rev, "CMakeLists.txt",
                                      "src", "cmake"], capture_output=True, check=True).stdout
            subprocess.run(["tar", "-x", "-C", str(tree)], input=archive, check=True)
        print(f"measuring the sources of {rev}", flush=True)
        baseline = (rev, measure_tree(tree, args.work / f"before-{rev}", tools, cmake, ninja))
    print("measuring the working tree's sources", flush=True)
    current = measure_tree(REPO, args.work, tools, cmake, ninja)
    text = section(current, baseline, versions(tools))
    print(text)
    if args.results:
        write_section(args.results, text)
        print(f"wrote the section of {args.results}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
