"""The valgrind workload: every operation of the module, succeeding and failing, a few times.

Reuses the cases of tests/test_leaks.py and the hostile calls of tests/test_failure_state.py.
"""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import pytest  # noqa: E402  (the test modules' skip is an exception like any other here)

import tarnwick_rs as rs  # noqa: E402
import test_failure_state as failures  # noqa: E402
import test_leaks as leaks  # noqa: E402


def main(rounds: int = 3) -> None:
    calls = 0
    for name, (build, needs, raises) in sorted(leaks.CASES.items()):
        if needs and getattr(rs, needs, None) is None:
            continue
        call, _ = build()
        leaks.run(call, raises, rounds)
        calls += rounds
    for param in failures.hostile_cases():
        cls, method, position, factory, exc = param.values
        if getattr(rs, cls, None) is None:
            continue
        kit = failures.KITS[cls]
        obj = kit["make"]()
        call = failures.hostile_call(method, position, factory, by_keyword=False)
        try:
            call(obj, kit)
        except pytest.skip.Exception:
            continue
        except exc:
            calls += 1
        else:
            raise AssertionError(f"{param.id} did not fail")
    print(f"valgrind exercise: {calls} calls")


if __name__ == "__main__":
    main()
