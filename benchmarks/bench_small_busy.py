"""pyintersect on small inputs (about 1,300 triangles in all) with the second processor idle and busy, against the
same call confined to one processor (serial).

Run: python benchmarks/bench_small_busy.py [--calls N] [--rounds R]
Cases: a sphere (320 triangles) and a torus (960) overlapping, intersection and difference; two overlapping
tori (640 each), intersection. ndarrays in, as bench_intersect.py's "arrays".

Each condition runs R times in a fresh process started with taskset, the conditions taking turns and each
waiting up to 30 s for the machine to be quiet first: "2 proc" may use the first two processors, "1 proc" only
the first. "busy" adds a separate process pinned to the second processor that spins for the whole measurement.
Per call times over N calls in all, after a warm-up in each process: min, median, 90th percentile and max,
since a helper thread that waits for a busy processor shows in the tail, not in the best time. Ratios are
against the serial call with the other processor idle and busy: where the two processors share a core, a
spinning neighbour slows serial code too, and the busy serial time is the fair bar.
"""
import argparse
import hashlib
import json
import os
import subprocess
import sys
import time

from timing import samples, wait_quiet  # noqa: E402  (sets up the environment before numpy loads)

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from meshes import icosphere, torus  # noqa: E402

SPIN = "while True: pass"


def cases():
    sphere = icosphere(2, 1.0)
    ring = torus(0.9, 0.35, 24, 20)
    ring = (ring[0] + [0.21, 0.13, 0.17], ring[1])
    t1 = torus(1.0, 0.35, 20, 16)
    t2 = (t1[0] + [0.9, 0.1, 0.05], t1[1])
    return {"sphere-torus intersection": (sphere, ring, False, False),
            "sphere-torus difference": (sphere, ring, False, True),
            "torus-torus intersection": (t1, t2, False, False)}


def measure(calls):
    """In the child: per-call times of every case, and a digest of each result."""
    import qboolean
    out = {"cpus": sorted(os.sched_getaffinity(0))}
    for name, (a, b, flip1, flip2) in cases().items():
        call = lambda: qboolean.pyintersect(a, b, flip1, flip2)  # noqa: E731
        samples(call, 20)
        times, result = samples(call, calls)
        digest = hashlib.sha256(repr(result).encode()).hexdigest()[:16]
        out[name] = {"times": times, "triangles": len(result[0][1]), "digest": digest,
                     "input": len(a[1]) + len(b[1])}
    return out


def run_child(cpus, busy_cpu, calls):
    spinner = None
    try:
        if busy_cpu is not None:
            spinner = subprocess.Popen(["taskset", "-c", str(busy_cpu), sys.executable, "-c", SPIN])
            time.sleep(0.3)  # let it get going
        command = ["taskset", "-c", ",".join(map(str, cpus)), sys.executable, os.path.abspath(__file__),
                   "--measure", "--calls", str(calls)]
        return json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
    finally:
        if spinner is not None:
            spinner.kill()
            spinner.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)  # what the child runs
    args = parser.parse_args()
    if args.measure:
        print(json.dumps(measure(args.calls)))
        return
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        print("needs two processors; this process may use only", cpus)
        return
    first, second = cpus[:2]
    conditions = {"2 proc, other idle": ([first, second], None), "2 proc, other busy": ([first, second], second),
                  "1 proc, other idle": ([first], None), "1 proc, other busy": ([first], second)}
    # Conditions take turns, so that other work on the machine falls on all of them alike.
    results, loads = {label: None for label in conditions}, []
    for _ in range(args.rounds):
        for label, (c, busy) in conditions.items():
            loads.append(wait_quiet([first, second]))
            res = run_child(c, busy, args.calls // args.rounds)
            if results[label] is None:
                results[label] = res
            else:
                for name in cases():
                    results[label][name]["times"] += res[name]["times"]
                    results[label][name]["digest"] += " " + res[name]["digest"]
    if max(loads) > 0.1:
        print(f"warning: other work took up to {max(loads):.0%} of a processor before a condition ran; "
              f"some rows were taken on a busy machine")
    print(f"per call, ms, over {args.calls} calls; busy = a process spinning on processor {second}; "
          f"ratio = median (p90) / the serial median (p90)")
    print(f"{'case':<26} {'tris':>5} {'condition':<19} {'min':>6} {'median':>6} {'p90':>6} {'max':>6} "
          f"{'vs serial idle':>15} {'vs serial busy':>15}")
    for name in cases():
        stats = {}
        for label, res in results.items():
            t = np.array(res[name]["times"]) * 1e3
            stats[label] = (t.min(), np.median(t), np.percentile(t, 90), t.max())
        for label, res in results.items():
            lo, med, p90, hi = stats[label]
            row = f"{name:<26} {res[name]['input']:>5} {label:<19} {lo:>6.2f} {med:>6.2f} {p90:>6.2f} {hi:>6.2f}"
            for serial in ("1 proc, other idle", "1 proc, other busy"):
                s = stats[serial]
                row += f" {med / s[1]:>6.2f} ({p90 / s[2]:>5.2f})"
            print(row)
        same = len({d for res in results.values() for d in res[name]["digest"].split()}) == 1
        print(f"{name:<26} result: {results['1 proc, other idle'][name]['triangles']} triangles, "
              f"{'identical in every condition' if same else 'DIFFERS between conditions'}")


if __name__ == "__main__":
    main()
