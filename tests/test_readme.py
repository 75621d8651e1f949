"""The README's Python examples run as written."""
import re
from pathlib import Path

import pytest

import tarnwick_rs as rs

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S) if README.exists() else []


@pytest.mark.skipif(not BLOCKS, reason="README not in this checkout")
@pytest.mark.skipif(not hasattr(rs, "RustBinaryEncoder"), reason="encoder not built")
@pytest.mark.parametrize("number", range(len(BLOCKS)))
def test_readme_example_runs(number):
    exec(compile(BLOCKS[number], f"README.md python block {number + 1}", "exec"), {})
