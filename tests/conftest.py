import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code: str) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (same executable), capturing output."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.fixture
def python():
    return run_python


# Set by scripts/emulated-aarch64 (e.g. "qemu-aarch64") when the suite runs under user-mode
# emulation: the kernel cannot exec sys.executable there (no binfmt registration is assumed),
# and the emulator does not enforce RLIMIT_AS.
EMULATOR = os.environ.get("TW_EMULATED")

EMULATION_SKIPS = {
    "spawns_interpreter": "starts sys.executable in a child process, which cannot exec under {} without binfmt",
    "address_space_limit": "{} ignores RLIMIT_AS",
}


def pytest_collection_modifyitems(config, items):
    if not EMULATOR:
        return
    for item in items:
        reasons = [why.format(EMULATOR) for marker, why in EMULATION_SKIPS.items()
                   if item.get_closest_marker(marker)]
        if reasons:
            item.add_marker(pytest.mark.skip(reason="; ".join(reasons)))
