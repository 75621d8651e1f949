"""Reads LeakSanitizer logs and fails only on leaks that the module itself allocated.

The interpreter leaks by design at exit; a leak counts here when a frame of its allocation
stack lies in tarnwick_rs.
"""
from __future__ import annotations

import pathlib
import re
import sys


def module_leaks(text: str) -> list[str]:
    blocks = re.split(r"\n(?=(?:Direct|Indirect) leak of )", text)
    return [b for b in blocks if b.startswith(("Direct", "Indirect")) and "tarnwick_rs" in b]


def main(paths: list[str]) -> int:
    errors = 0
    for path in paths:
        text = pathlib.Path(path).read_text(errors="replace")
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text:
            print(text)
            errors += 1
        for leak in module_leaks(text):
            print(leak)
            errors += 1
    print(f"sanitizer logs: {len(paths)} file(s), {errors} finding(s) in tarnwick_rs")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
