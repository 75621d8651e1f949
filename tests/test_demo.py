"""The cache-loop demo runs end to end on a tiny workload."""

import pathlib
import re
import subprocess
import sys

import pytest

import tarnwick_rs as rs

pytestmark = pytest.mark.spawns_interpreter

DEMO = pathlib.Path(__file__).resolve().parents[1] / "examples" / "semantic_cache.py"


def run_demo(*args):
    return subprocess.run([sys.executable, str(DEMO), *args], capture_output=True, text=True, timeout=120)


def table(stdout):
    rows = re.findall(r"^\| (.+?) +\| +(.+?) \|$", stdout, flags=re.MULTILINE)
    return dict(rows[1:] if rows and rows[0][0] == "metric" else rows)


@pytest.mark.skipif(not hasattr(rs, "RustBinaryEncoder"), reason="RustBinaryEncoder not built yet")
def test_demo_runs_cache_loop():
    out = run_demo("--queries", "400", "--capacity", "16", "--topics", "40", "--seed", "7")
    assert out.returncode == 0, out.stderr
    summary = table(out.stdout)
    assert summary["queries"] == "400"
    hits, evictions = int(summary["hits"]), int(summary["evictions"])
    assert hits > 0 and evictions > 0
    assert summary["entries stored"] == "16 of 16"
    assert summary["memory_usage() (bytes)"] == str(44 * 16)
    # Unrelated topics are ~128 bits apart: every hit lands on its own topic.
    assert summary["hits on the same topic"].startswith(f"{hits} ")
    # Fully determined by its arguments.
    assert table(run_demo("--queries", "400", "--capacity", "16", "--topics", "40", "--seed", "7").stdout)[
        "hits"] == str(hits)


@pytest.mark.parametrize("args", [("--capacity", "0"), ("--threshold", "1.5"), ("--queries", "x")])
def test_demo_rejects_bad_options(args):
    out = run_demo(*args)
    assert out.returncode == 2
    assert "error" in out.stderr
