"""Placeholder demo: the three functions."""
import numpy as np

import tarnwick_rs as rs

print(rs.hello_from_rust())
a = np.array([1, 2, 3, 4], dtype=np.uint64)
print("hamming_distance:", rs.hamming_distance(a, a ^ np.uint64(1)))
