"""Adds this CPU's kernel benchmark record to bench/cpus/, which the dispatch table is held to.

Runs the kernel benchmark three times: warm with the code matrices on a 64-byte line, warm 16
bytes past one (as NumPy often hands them out), and cold (caches flushed) at 1M rows. The runs
are appended to bench/cpus/<vendor>-f<family>-m<model>.json, so a second session on the same
CPU adds its runs beside the first; the tests take each variant's best run.

    python bench/record_cpu.py --bench build/bench-kernels/bench_kernels
"""

from __future__ import annotations

import argparse
import datetime
import json
import pathlib
import subprocess
import sys
import tempfile

CPU_FIELDS = ("cpu", "vendor", "family", "model", "features", "caches")
RUN_FIELDS = ("floor", "rounds", "clock", "offset", "cold", "rows")


def commit_of(root: pathlib.Path) -> str:
    """The checkout's commit, marked when the kernels or the benchmark differ from it."""
    try:
        rev = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=root, check=True,
                             capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--", "src", "bench/kernels"],
                               cwd=root, check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    return rev + ("+changes" if dirty.strip() else "")


def run_pass(bench: str, args: list[str]) -> dict:
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "run.json"
        command = [bench, *args, "--json", str(out)]
        print("running:", " ".join(command[:1] + args), file=sys.stderr, flush=True)
        subprocess.run(command, check=True, stdout=sys.stderr)
        run = json.loads(out.read_text())
    run["command"] = "bench_kernels " + " ".join(args)
    return run


def main() -> int:
    parser = argparse.ArgumentParser(description="Adds this CPU's kernel benchmark record to bench/cpus/.")
    parser.add_argument("--bench", required=True, help="the bench_kernels executable")
    parser.add_argument("--rounds", type=int, default=21, help="rounds of the warm runs")
    parser.add_argument("--cold-rounds", type=int, default=9, help="rounds of the cold run")
    parser.add_argument("--out-dir", default=None, help="default: bench/cpus of this checkout")
    parser.add_argument("--ops", default=None, help="only these operations (bench_kernels --ops)")
    options = parser.parse_args()

    root = pathlib.Path(__file__).resolve().parent.parent
    out_dir = pathlib.Path(options.out_dir) if options.out_dir else root / "bench" / "cpus"
    extra = ["--ops", options.ops] if options.ops else []
    passes = [
        ["--rounds", str(options.rounds), *extra],
        ["--rounds", str(options.rounds), "--offset", "16", *extra],
        ["--rounds", str(options.cold_rounds), "--cold", "--sizes", "1M", *extra],
    ]
    commit = commit_of(root)
    date = datetime.date.today().isoformat()
    runs = [run_pass(options.bench, p) for p in passes]

    cpu = {k: runs[0][k] for k in CPU_FIELDS}
    path = out_dir / f"{cpu['vendor']}-f{cpu['family']}-m{cpu['model']}.json"
    record = {**cpu, "runs": []}
    if path.exists():
        record = json.loads(path.read_text())
        for k in ("vendor", "family", "model"):
            if record[k] != cpu[k]:
                sys.exit(f"{path}: {k} is {record[k]!r}, this CPU's {cpu[k]!r}")
        record["caches"] = cpu["caches"]
    for run in runs:
        record["runs"].append({"commit": commit, "date": date, "command": run["command"],
                               **{k: run[k] for k in RUN_FIELDS}})
    out_dir.mkdir(parents=True, exist_ok=True)
    path.write_text(dumps(record))
    print(f"{path}: {len(record['runs'])} runs", file=sys.stderr)
    return 0


def dumps(record: dict) -> str:
    """One line per row, so that a diff shows which measurements a session added."""
    head = {k: v for k, v in record.items() if k != "runs"}
    lines = ["{" + json.dumps(head)[1:-1] + ', "runs": [']
    for i, run in enumerate(record["runs"]):
        fields = {k: v for k, v in run.items() if k != "rows"}
        lines.append("  {" + json.dumps(fields)[1:-1] + ', "rows": [')
        rows = [json.dumps(row) for row in run["rows"]]
        lines.extend("    " + r + ("," if j + 1 < len(rows) else "") for j, r in enumerate(rows))
        lines.append("  ]}" + ("," if i + 1 < len(record["runs"]) else ""))
    lines.append("]}")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.exit(main())
