"""Per-call cost of the array borrow registration, seen through hamming_distance on 4-word codes."""

import argparse
import timeit

import numpy as np

import tarnwick_rs


def ns_per_call(stmt, env, number, repeat):
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--number", type=int, default=200_000, help="calls per repeat")
    parser.add_argument("--repeat", type=int, default=7, help="repeats; the minimum is reported")
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    a = rng.integers(0, 2**64, size=4, dtype=np.uint64)
    b = rng.integers(0, 2**64, size=4, dtype=np.uint64)
    big = rng.integers(0, 2**64, size=64, dtype=np.uint64)
    env = {"hd": tarnwick_rs.hamming_distance, "a": a, "b": b, "v1": big[:4], "v2": big[8:12]}

    cases = [
        ("hamming_distance(a, b), separate arrays", "hd(a, b)"),
        ("hamming_distance(a, a), same array", "hd(a, a)"),
        ("hamming_distance(v1, v2), views of one buffer", "hd(v1, v2)"),
    ]
    print(f"{'case':<48} {'ns/call':>10}")
    print("-" * 59)
    for name, stmt in cases:
        print(f"{name:<48} {ns_per_call(stmt, env, args.number, args.repeat):>10.1f}")


if __name__ == "__main__":
    main()
