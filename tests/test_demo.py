"""The cache-loop demo runs end to end on a tiny workload."""

import importlib.util
import io
import pathlib
import re
import subprocess
import sys

import pytest

import tarnwick_rs as rs

pytestmark = pytest.mark.spawns_interpreter

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
DEMO = EXAMPLES / "semantic_cache.py"


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


# scripts/run answers --help before it sets anything up: the demos read their options before
# they import NumPy or the module, here made unimportable.
WITHOUT_NUMPY = """import runpy, sys
sys.modules.update(numpy=None, tarnwick_rs=None)
del sys.argv[0]
runpy.run_path(sys.argv[0], run_name="__main__")"""


@pytest.mark.parametrize(
    "demo, args, returncode, expected",
    [
        ("semantic_cache.py", ("--capacity", "0"), 2, "error"),
        ("semantic_cache.py", ("--threshold", "1.5"), 2, "error"),
        ("semantic_cache.py", ("--queries", "x"), 2, "error"),
        ("semantic_cache.py", ("--help",), 0, "usage: "),
        ("real_text_cache.py", ("--help",), 0, "usage: "),
        ("real_text_cache.py", ("--rounds", "0"), 2, "error"),
    ],
)
def test_demo_options_need_neither_numpy_nor_the_module(demo, args, returncode, expected):
    out = subprocess.run([sys.executable, "-c", WITHOUT_NUMPY, str(EXAMPLES / demo), *args],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == returncode, out.stderr
    assert expected in (out.stderr if returncode else out.stdout)


class Stream(io.StringIO):
    def __init__(self, tty):
        super().__init__()
        self.tty = tty

    def isatty(self):
        return self.tty


# Redrawn in place on a terminal; whole lines in a log, where "\r" runs them together.
@pytest.mark.parametrize("tty, carriage_returns, newlines", [(True, 10, 1), (False, 0, 10)])
def test_progress_rewrites_in_place_only_on_a_terminal(monkeypatch, tty, carriage_returns,
                                                       newlines):
    spec = importlib.util.spec_from_file_location("semantic_cache", DEMO)
    assert spec is not None and spec.loader is not None
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    monkeypatch.setattr(demo, "PROGRESS_AFTER_S", 0.0)
    stream = Stream(tty)
    progress = demo.Progress(10, True, stream=stream)
    for done in range(1, 11):
        progress.update(done)
    out = stream.getvalue()
    assert (out.count("\r"), out.count("\n")) == (carriage_returns, newlines)
    assert out.endswith("] 100% 10/10\n")
