"""Every benchmark in one run: throughput sweeps, a plot, and the other scripts' tables.

Writes bench/results.md (machine, versions, date, the sweep tables, the output of every
bench/bench_*.py script and the C++ kernel benchmark's table) and bench/throughput.png.
Everything runs on one thread: the module never starts threads, so faiss gets one OpenMP thread
and BLAS is limited to one thread.

    python bench/run_all.py [--quick] [--out DIR] [--readme README.md]
        [--variant NAME=DIR ...] [--floor-lib LIB] [--kernel-bench EXE]
"""

from __future__ import annotations

import os

# Some machines set these for old OpenBLAS builds; they slow a current NumPy and are read when
# OpenBLAS loads, so they go before the first import of NumPy.
REMOVED_ENV = {k: os.environ.pop(k) for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if k in os.environ}

import argparse
import datetime
import importlib
import platform
import re
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

import numpy as np

import tarnwick_rs as rs
from common import cpu_name, markdown_table

HERE = Path(__file__).resolve().parent
CODE_BITS = 256
DIM = 384
NEAR_DISTANCE = 10  # the only match sits in the last row, so no scan stops early



def optional(name: str) -> Any:
    """The module, or None when it is not installed (the bench extra installs them all)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


faiss = optional("faiss")
simsimd = optional("simsimd")
threadpoolctl = optional("threadpoolctl")

# Extra arguments that keep each script's share of the run short.
SCRIPT_ARGS: dict[str, list[str]] = {
    "bench_similarity.py": ["--repeat", "15"],
    "bench_storage.py": ["--repeats", "11"],
    "bench_variants.py": ["--repeats", "41"],
}
QUICK_ARGS: dict[str, list[str]] = {
    "bench_similarity.py": ["--rows", "100000", "--repeat", "5"],
    "bench_storage.py": ["--entries", "100000", "--repeats", "5"],
    "bench_encoder.py": ["--rows", "1000", "--repeat", "3"],
    "bench_hamming.py": [],
    "bench_borrow.py": ["--number", "20000", "--repeat", "3"],
    "bench_variants.py": ["--repeats", "3", "--sizes", "1k,10k", "--faiss-repeats", "3"],
}
# Enough rounds that the per-row spread stays under the 3% by which the picked variant is judged.
KERNEL_BENCH_ARGS: list[str] = ["--rounds", "41"]
KERNEL_BENCH_QUICK_ARGS = ["--sizes", "1k,10k", "--rounds", "3"]


@dataclass
class Case:
    name: str
    fn: Callable[[], object]
    items: int  # codes scanned or embeddings encoded per call


def best_seconds(cases: list[Case], rounds: int, budget: float = 0.03) -> list[float]:
    """Best seconds per call of each case. Rounds alternate between the cases, so that a busy
    moment on a shared machine hits all of them alike; each round runs about `budget` seconds."""
    calls = []
    for case in cases:
        case.fn()  # warm up: page in inputs, lazy lookups
        start = time.perf_counter()
        case.fn()
        calls.append(max(1, int(budget / max(time.perf_counter() - start, 1e-7))))
    best = [float("inf")] * len(cases)
    for _ in range(rounds):
        for k, case in enumerate(cases):
            start = time.perf_counter()
            for _ in range(calls[k]):
                case.fn()
            best[k] = min(best[k], (time.perf_counter() - start) / calls[k])
    return best


def search_cases(n: int, rng: np.random.Generator) -> list[Case]:
    codes = rng.integers(0, 2**64, size=(n, 4), dtype=np.uint64)
    query = codes[-1].copy()
    for bit in rng.choice(CODE_BITS, size=NEAR_DISTANCE, replace=False):
        query[bit // 64] ^= np.uint64(1) << np.uint64(bit % 64)
    expected = (n - 1, 1.0 - NEAR_DISTANCE / CODE_BITS)

    sim = rs.HammingSimilarity(CODE_BITS)
    storage = rs.RustCacheStorage(n, CODE_BITS)
    for i, row in enumerate(codes):
        storage.add(row, 1_700_000_000 + i)
    assert sim.find_nearest(query, codes) == expected
    assert storage.search(query) == expected

    cases = [
        Case("HammingSimilarity.find_nearest", lambda: sim.find_nearest(query, codes), n),
        Case("RustCacheStorage.search", lambda: storage.search(query), n),
    ]
    if hasattr(np, "bitwise_count"):  # NumPy 2

        def numpy_nearest() -> int:
            return int(np.bitwise_count(codes ^ query).sum(axis=1).argmin())

        assert numpy_nearest() == n - 1
        cases.append(Case("NumPy bitwise_count + argmin", numpy_nearest, n))
    if faiss is not None:
        index = faiss.IndexBinaryFlat(CODE_BITS)
        index.add(codes.view(np.uint8))
        q8 = query[None].view(np.uint8)
        _, found = index.search(q8, 1)
        assert int(found[0, 0]) == n - 1
        cases.append(Case("faiss IndexBinaryFlat (k=1)", lambda: index.search(q8, 1), n))
    return cases


def encode_cases(batch: int, rng: np.random.Generator) -> list[Case]:
    matrix = rng.standard_normal((CODE_BITS, DIM)).astype(np.float32)
    x = rng.standard_normal((batch, DIM)).astype(np.float32)
    encoder = rs.RustBinaryEncoder(DIM, CODE_BITS, matrix)
    mt = matrix.T

    def blas() -> np.ndarray:
        return np.packbits((x @ mt) >= 0, axis=1, bitorder="little")

    # The BLAS expression sums in another order, so a few bits near zero may differ.
    agree = np.mean(encoder.encode(x).view(np.uint8) == blas())
    assert agree > 0.9, agree
    return [
        Case("RustBinaryEncoder.encode", lambda: encoder.encode(x), batch),
        Case("BLAS: packbits((X @ M.T) >= 0)", blas, batch),
    ]


Sweep = dict[str, dict[int, float]]  # implementation -> size -> items per second


def sweep(sizes: list[int], make: Callable[[int, np.random.Generator], list[Case]],
          rounds: int) -> Sweep:
    out: Sweep = {}
    for size in sizes:
        cases = make(size, np.random.default_rng(size))
        for case, seconds in zip(cases, best_seconds(cases, rounds)):
            out.setdefault(case.name, {})[size] = case.items / seconds
        print(f"  {size:>9,}: " + ", ".join(f"{c.name} {out[c.name][size]:.3g}/s" for c in cases),
              flush=True)
    return out


def sweep_table(result: Sweep, size_label: str, unit: str, scale: float) -> str:
    names = list(result)
    sizes = sorted({s for per in result.values() for s in per})
    rows = []
    for s in sizes:
        rows.append([f"{s:,}"] + [f"{result[n][s] / scale:.2f}" if s in result[n] else "-"
                                  for n in names])
    return markdown_table([size_label] + [f"{n} ({unit})" for n in names], rows)


def l2_bytes() -> int | None:
    """One core's L2 cache, from sysfs (Linux), or None."""
    for index in Path("/sys/devices/system/cpu/cpu0/cache").glob("index*"):
        try:
            if (index / "level").read_text().strip() == "2":
                size = (index / "size").read_text().strip()
                scale = {"K": 2**10, "M": 2**20}.get(size[-1], 1)
                return int(size.rstrip("KM")) * scale
        except (OSError, ValueError):
            continue
    return None


def plot(search: Sweep, encode: Sweep | None, path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = 2 if encode else 1
    fig, axes = plt.subplots(1, panels, figsize=(6.4 * panels, 4.8), squeeze=False)
    styles = ["o-", "s-", "^--", "D--"]
    ax = axes[0][0]
    for style, (name, per) in zip(styles, search.items()):
        sizes = sorted(per)
        ax.plot(sizes, [per[s] for s in sizes], style, label=name)
    l2 = l2_bytes()
    if l2:
        size = f"{l2 / 2**20:g} MiB" if l2 >= 2**20 else f"{l2 / 2**10:g} KiB"
        ax.axvline(l2 / 32, color="grey", linestyle=":", linewidth=1)
        # Left of the line, midway up: between the NumPy curve below and the others above.
        ax.annotate(f"{size} L2 full \n(32 B per code) ", (l2 / 32, 0.45),
                    xycoords=("data", "axes fraction"), ha="right", va="center",
                    fontsize="x-small", color="grey")
    ax.set(xscale="log", yscale="log", xlabel="stored codes (256 bits each)",
           ylabel="codes scanned per second", title="Nearest-code search, one query, one thread")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize="small")
    if encode:
        ax = axes[0][1]
        for style, (name, per) in zip(styles, encode.items()):
            sizes = sorted(per)
            ax.plot(sizes, [per[s] for s in sizes], style, label=name)
        ax.set(xscale="log", yscale="log", xlabel="embeddings per call (batch size)",
               ylabel="embeddings encoded per second",
               title=f"Encoding {DIM} floats to {CODE_BITS} bits, one thread")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize="small")
    fig.suptitle(title, fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def blas_description() -> str:
    if threadpoolctl is None:
        return "threadpoolctl not installed"
    # faiss may bring its own OpenBLAS; the directory tells whose library each one is.
    return "; ".join(f"{p['internal_api']} {p.get('version')} {p.get('architecture')} "
                     f"in {Path(p['filepath']).parent.name}"
                     for p in threadpoolctl.threadpool_info() if p["user_api"] == "blas") or "none found"


def compiler() -> str:
    try:
        out = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout
        return out.splitlines()[0] if out else "unknown"
    except OSError:
        return "unknown"


def machine_rows() -> list[list[str]]:
    mem = "unknown"
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                mem = f"{int(line.split()[1]) / 2**20:.0f} GiB"
    except OSError:
        pass
    flags = ""
    try:
        flags = Path("/proc/cpuinfo").read_text()
    except OSError:
        pass
    if re.search(r"\bavx512_vpopcntdq\b", flags) and re.search(r"\bavx512bw\b", flags):
        variant = "avx512"
    elif re.search(r"\bavx2\b", flags):
        variant = "avx2"
    else:
        variant = "sse2"
    versions = [
        ["date (UTC)", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")],
        ["CPU", f"{cpu_name()}, {os.cpu_count()} logical cores, kernel variant {variant}"],
        ["memory", mem],
        ["load average (1, 5, 15 min) at the end of the sweeps",
         ", ".join(f"{x:.2f}" for x in os.getloadavg())],
        ["OS", f"{platform.system()} {platform.release()} ({platform.machine()})"],
        ["Python", f"{platform.python_implementation()} {platform.python_version()}"],
        ["tarnwick_rs", f"{rs.rust_version()}, built with {compiler()}"],
        ["NumPy", f"{np.__version__}; BLAS: {blas_description()}, limited to 1 thread"],
        ["faiss-cpu", getattr(faiss, "__version__", "not installed")],
    ]
    versions.append(["simsimd", getattr(simsimd, "__version__", "not installed")])
    removed = ", ".join(f"{k}={v}" for k, v in REMOVED_ENV.items()) or "none were set"
    versions.append(["OpenBLAS variables removed", removed])
    return versions


def run_captured(command: list[str]) -> str:
    """The command's standard output, with the tail of its error output when it fails."""
    try:
        proc = subprocess.run(command, capture_output=True, text=True, timeout=600, cwd=HERE)
    except subprocess.TimeoutExpired:
        return "**timed out after 600 s**"
    text = proc.stdout.strip()
    if proc.returncode != 0:
        text += f"\n\n**failed with exit code {proc.returncode}:**\n\n```\n"
        text += "\n".join(proc.stderr.strip().splitlines()[-15:]) + "\n```"
    return text


def run_scripts(quick: bool, variants: list[str], floor_lib: Path | None) -> list[tuple[str, str, float]]:
    """(script, its Markdown output, seconds) for every bench_*.py beside this file."""
    out = []
    for script in sorted(HERE.glob("bench_*.py")):
        args = (QUICK_ARGS if quick else SCRIPT_ARGS).get(script.name, [])
        if script.name == "bench_variants.py":
            if not variants:
                out.append((script.name, "no per-variant builds given (--variant): skipped", 0.0))
                continue
            # The scripts run from bench/: the build folders are made absolute first.
            resolved = [f"{v.split('=', 1)[0]}={Path(v.split('=', 1)[1]).resolve()}" for v in variants]
            args = [a for v in resolved for a in ("--variant", v)] + args
            if floor_lib is not None:
                args += ["--floor-lib", str(floor_lib.resolve())]
        print(f"running {script.name} {' '.join(args)}", flush=True)
        start = time.perf_counter()
        text = run_captured([sys.executable, str(script), *args])
        out.append((script.name, text, time.perf_counter() - start))
    return out


def kept_sections(results: Path) -> list[str]:
    """The sections of an earlier results.md that other tools write (bench/neon_mca.py's), which
    this run does not measure and so keeps."""
    text = results.read_text() if results.exists() else ""
    start, end = "<!-- neon-mca:start -->", "<!-- neon-mca:end -->"
    if start not in text or end not in text:
        return []
    return [start + text.split(start, 1)[1].split(end, 1)[0] + end, ""]


def update_readme(readme: Path, block: str) -> None:
    """Replaces the text between the README's benchmark markers with `block`."""
    start, end = "<!-- bench-results:start -->", "<!-- bench-results:end -->"
    text = readme.read_text()
    if start not in text or end not in text:
        raise SystemExit(f"{readme}: benchmark markers not found")
    head, rest = text.split(start, 1)
    _, tail = rest.split(end, 1)
    readme.write_text(f"{head}{start}\n{block}\n{end}{tail}")


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    p.add_argument("--out", type=Path, default=HERE, help="where results.md and the PNG go")
    p.add_argument("--readme", type=Path, help="also rewrite this README's benchmark section")
    p.add_argument("--variant", action="append", default=[], metavar="NAME=DIR",
                   help="a module build pinned to one kernel variant, for bench_variants.py")
    p.add_argument("--floor-lib", type=Path, help="the read-floor library, for bench_variants.py")
    p.add_argument("--kernel-bench", type=Path, help="the C++ kernel benchmark (bench_kernels)")
    args = p.parse_args()
    started = time.perf_counter()
    args.out.mkdir(parents=True, exist_ok=True)

    if faiss is not None:
        faiss.omp_set_num_threads(1)
    limits = threadpoolctl.threadpool_limits(limits=1) if threadpoolctl is not None else None

    if args.quick:
        search_sizes, batches, rounds = [1_000, 10_000, 100_000], [1, 10, 100], 3
    else:
        search_sizes = [1_000, 3_000, 10_000, 30_000, 100_000, 300_000, 1_000_000]
        batches, rounds = [1, 10, 100, 1_000, 10_000], 11
    print("search sweep", flush=True)
    search = sweep(search_sizes, search_cases, rounds)
    encode = None
    if hasattr(rs, "RustBinaryEncoder"):
        print("encode sweep", flush=True)
        encode = sweep(batches, encode_cases, rounds)
    else:
        print("RustBinaryEncoder is not in this build: encode sweep skipped", flush=True)
    machine = machine_rows()  # BLAS is described while the one-thread limit is in force
    if limits is not None:
        limits.restore_original_limits()

    scripts = run_scripts(args.quick, args.variant, args.floor_lib)
    kernels: tuple[str, float] | None = None
    if args.kernel_bench is not None:
        command = [str(args.kernel_bench.resolve())]
        command += KERNEL_BENCH_QUICK_ARGS if args.quick else KERNEL_BENCH_ARGS
        print(f"running {' '.join(command)}", flush=True)
        start = time.perf_counter()
        kernels = (run_captured(command), time.perf_counter() - start)

    png = args.out / "throughput.png"
    plot(search, encode, png, f"tarnwick_rs {rs.rust_version()} on {cpu_name()}, "
         f"Python {platform.python_version()}, NumPy {np.__version__}, {machine[0][1]} UTC")

    summary = [
        "Nearest-code search: one query against N stored 256-bit codes whose only match is the "
        "last one, so no scan stops early; best of several rounds, millions of codes scanned "
        "per second. Throughput drops once the codes (32 bytes each; 44-byte records in "
        "`RustCacheStorage`) outgrow the caches (the dotted line of the plot marks where they fill one core's L2).",
        "",
        sweep_table(search, "stored codes N", "M codes/s", 1e6),
        "",
    ]
    if encode:
        summary += [
            f"Encoding: a batch of {DIM}-dim float32 embeddings to {CODE_BITS}-bit codes; "
            "thousands of embeddings per second. BLAS sums in another order than the encoder's "
            "fixed sequential order, so its codes may differ in bits near zero.",
            "",
            sweep_table(encode, "batch size", "k emb/s", 1e3),
            "",
        ]
    else:
        summary += ["Encoding: RustBinaryEncoder was not in this build; sweep skipped.", ""]

    lines = [
        "# tarnwick_rs performance report",
        "",
        f"Written by `bench/run_all.py{' --quick' if args.quick else ''}` "
        "(run it with `bash scripts/run bench`). One thread throughout.",
        "",
        markdown_table(["", ""], machine),
        "",
        "## Throughput sweeps",
        "",
        *summary,
        f"![throughput]({png.name})",
        "",
        "## Benchmark scripts",
        "",
    ]
    for name, text, seconds in scripts:
        if not any(line.startswith("|") for line in text.splitlines()):
            text = f"```text\n{text}\n```"  # plain columns: keep them aligned
        lines += [f"### `{name}` ({seconds:.0f} s)", "", text, ""]
    if kernels is not None:
        lines += [f"## Kernel benchmark: `bench_kernels` ({kernels[1]:.0f} s)", "",
                  "The C++ kernels without Python, each variant this CPU runs taking turns with "
                  "the read floor (`bash scripts/run bench-kernels --help`).", "", kernels[0], ""]
    total = time.perf_counter() - started
    lines += [f"Whole run: {total:.0f} s.", ""]
    lines += kept_sections(args.out / "results.md")
    (args.out / "results.md").write_text("\n".join(lines))
    if args.readme:
        update_readme(args.readme, "\n".join(["", markdown_table(["", ""], machine), "",
                                              *summary]))
    print(f"wrote {args.out / 'results.md'} and {png} in {total:.0f} s")
    failed = [name for name, text, _ in scripts if "**failed" in text or "**timed out" in text]
    if kernels is not None and ("**failed" in kernels[0] or "**timed out" in kernels[0]):
        failed.append("bench_kernels")
    if failed:
        print("failed: " + ", ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
