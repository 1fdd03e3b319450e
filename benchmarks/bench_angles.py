"""normals2angles and draft_mask on 10^6 normals against numpy doing the same from the same input.

Run: python benchmarks/bench_angles.py [n]
Prints the best of 11 runs for each case and the ratio numpy / qdraft (above 1: qdraft faster).
"""
import os
import sys
import time

from timing import timed  # noqa: E402  (sets up the environment before numpy loads)

import numpy as np

import qdraft


def best_of(func, repeat=11):
    return timed(func, repeat)[0]


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rng = np.random.default_rng(1)
    arr = rng.normal(size=(n, 3))
    arr /= np.linalg.norm(arr, axis=1)[:, None]
    ref = [0.0, 0.0, 1.0]
    ref_np = np.array(ref)
    value = np.radians(89.0)
    inputs = {"list of lists": arr.tolist(), "list of tuples": [tuple(r) for r in arr.tolist()], "ndarray": arr}

    print(f"{n} normals; times are the best of 11 runs; ratio = numpy time / qdraft time")
    print(f"{'function':<15} {'input':<15} {'qdraft':>10} {'numpy':>10} {'ratio':>7}  numpy expression")
    for name, normals in inputs.items():
        if name == "ndarray":
            np_angles = lambda: np.arccos(normals @ ref_np).tolist()  # noqa: E731
            np_mask = lambda: (np.arccos(normals @ ref_np) < value).tolist()  # noqa: E731
            expr = "np.arccos(a @ ref).tolist()"
        else:
            np_angles = lambda: np.arccos(np.asarray(normals) @ ref_np)  # noqa: E731
            np_mask = lambda: np.arccos(np.asarray(normals) @ ref_np) < value  # noqa: E731
            expr = "np.arccos(np.asarray(x) @ ref)"
        rows = [
            ("normals2angles", lambda: qdraft.normals2angles(normals, ref, False), np_angles),
            ("draft_mask", lambda: qdraft.draft_mask(normals, ref, value, False), np_mask),
        ]
        for func, ours, theirs in rows:
            t_ours, t_np = best_of(ours), best_of(theirs)
            print(f"{func:<15} {name:<15} {t_ours * 1e3:>8.1f}ms {t_np * 1e3:>8.1f}ms {t_np / t_ours:>6.2f}x  {expr}")

    # What any list of n floats or bools costs to build (and the previous one to free), whatever computes it.
    angles = np.arccos(arr @ ref_np)
    mask = angles < value
    print(f"floor: precomputed angles.tolist() {best_of(angles.tolist) * 1e3:.1f}ms, "
          f"mask.tolist() {best_of(mask.tolist) * 1e3:.1f}ms")


if __name__ == "__main__":
    main()
