"""Small helpers shared by the benchmark scripts."""
from __future__ import annotations

import platform
import subprocess
import timeit
from typing import Callable


def per_call_seconds(fn: Callable[[], object], number: int, repeat: int = 7) -> float:
    """Best-of-`repeat` seconds per call of `fn`."""
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def cpu_name() -> str:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)
