"""Shared by the benchmarks: best-of-n, interleaved and per-run wall times, the load other work puts on the
processors, and one BLAS thread for fair comparisons."""
import gc
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


def best_interleaved(funcs, budget=1.5, min_rounds=3, max_rounds=50):
    """Best time of each function and its last result, the functions run in turn (min_rounds to max_rounds
    rounds within about `budget` seconds, or one round when it alone takes longer): a slow spell of the machine
    then falls on every library alike instead of deciding a ratio, and millisecond cases are not decided by one
    disturbed run. The garbage collector runs before each call, untimed: otherwise the objects one library
    leaves behind are collected in the next one's time."""
    best, results = [float("inf")] * len(funcs), [None] * len(funcs)
    rounds, spent = 0, 0.0
    while rounds < max_rounds and (rounds < min_rounds or spent < budget) and not (rounds == 1 and spent >= budget):
        for i, func in enumerate(funcs):
            results[i] = None
            gc.collect()
            start = time.perf_counter()
            results[i] = func()
            elapsed = time.perf_counter() - start
            best[i] = min(best[i], elapsed)
            spent += elapsed
        rounds += 1
    return best, results


def samples(func, repeat):
    """Wall time of each of `repeat` runs, and the last result: for tails that a best time hides."""
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = func()
        times.append(time.perf_counter() - start)
    return times, result


def cpu_ticks(cpus):
    """(busy, total) jiffies of each processor, from /proc/stat."""
    ticks = {}
    with open("/proc/stat") as f:
        for line in f:
            name, *values = line.split()
            if name.startswith("cpu") and name[3:].isdigit() and int(name[3:]) in cpus:
                v = list(map(int, values[:8]))
                ticks[int(name[3:])] = (sum(v) - v[3] - v[4], sum(v))
    return ticks


def background_load(cpus, seconds=0.5):
    """Share of each processor that other work took over `seconds`: "idle" is only idle if this is near 0."""
    before = cpu_ticks(cpus)
    time.sleep(seconds)
    after = cpu_ticks(cpus)
    return {c: (after[c][0] - before[c][0]) / max(1, after[c][1] - before[c][1]) for c in cpus}


def wait_quiet(cpus, limit=0.1, patience=30.0):
    """Waits up to `patience` s for other work to leave every processor in `cpus` below `limit`; returns the
    last load seen, so that a caller can flag times taken while the machine was busy."""
    deadline = time.monotonic() + patience
    while True:
        load = max(background_load(cpus).values())
        if load < limit or time.monotonic() > deadline:
            return load
