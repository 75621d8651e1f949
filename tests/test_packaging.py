"""The installed distribution: version, stub files, and the stub checked against the module."""
import importlib.metadata
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tarnwick_rs as rs

ROOT = Path(__file__).resolve().parent.parent


def test_distribution_version_is_the_module_version():
    assert importlib.metadata.version("tarnwick_rs") == rs.rust_version()


def test_stub_is_installed_beside_the_module_and_as_a_stub_package():
    site = Path(rs.__file__).parent
    beside = site / "tarnwick_rs.pyi"
    package = site / "tarnwick_rs-stubs" / "__init__.pyi"
    assert beside.read_bytes() == package.read_bytes()
    # Installed from the checkout's stub, not a stale copy.
    source = ROOT / "tarnwick_rs.pyi"
    if source.exists():
        assert beside.read_bytes() == source.read_bytes()


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed")
@pytest.mark.spawns_interpreter
def test_stubtest_finds_no_difference(tmp_path):
    allowlist = ROOT / "tests" / "stubtest-allowlist.txt"
    cmd = [sys.executable, "-m", "mypy.stubtest", "tarnwick_rs"]
    if allowlist.exists():
        cmd += ["--allowlist", str(allowlist)]
    # Run outside the checkout so that the installed stub package is the one found.
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    out = subprocess.run(cmd, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
