"""Shared by the benchmarks: best-of-n wall time, with one BLAS thread for fair comparisons."""
import os
import time

# One BLAS thread: its idle threads spin on the second core and disturb every timing.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")


def timed(func, repeat):
    """Best wall time of `repeat` runs, and the last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = func()
        best = min(best, time.perf_counter() - start)
    return best, result
