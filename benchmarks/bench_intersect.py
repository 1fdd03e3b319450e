"""pyintersect against manifold3d: intersection and difference of two overlapping meshes.

Run: python benchmarks/bench_intersect.py [--max-triangles N]
Cases: two subdivided spheres, and a sphere against a torus, at about 10^3 to 10^6 triangles each. Times are
end to end from the same input, conversion included on both sides (manifold3d: building both Manifold objects
from float32/uint32 arrays, the boolean, and getting the mesh back; qboolean: lists or arrays in, lists out).
Peak memory is the growth of the process's peak resident size during one call, measured in a forked child.
"""
import argparse
import multiprocessing
import os
import resource
import sys
import time

from timing import timed  # noqa: E402  (sets up the environment before numpy loads)

import numpy as np  # noqa: E402

import qboolean  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from meshes import icosphere, torus  # noqa: E402

try:
    import manifold3d
except ImportError:
    manifold3d = None


def sphere_pair(subdivisions):
    p1, t1 = icosphere(subdivisions, 1.0)
    p2, t2 = icosphere(subdivisions, 1.0, centre=(0.43, 0.31, 0.27))
    return (p1, t1), (p2, t2)


def sphere_torus(subdivisions):
    p1, t1 = icosphere(subdivisions, 1.0)
    n = int(round((len(t1) / 2) ** 0.5 * 1.6))
    p2, t2 = torus(0.9, 0.35, n, max(8, len(t1) // (2 * n)))
    return (p1, t1), (p2 + [0.21, 0.13, 0.17], t2)


def manifold_op(m1, m2, op):
    a = manifold3d.Manifold(manifold3d.Mesh(m1[0].astype(np.float32), m1[1].astype(np.uint32)))
    b = manifold3d.Manifold(manifold3d.Mesh(m2[0].astype(np.float32), m2[1].astype(np.uint32)))
    r = (a ^ b) if op == "intersection" else (a - b)
    mesh = r.to_mesh()
    return mesh.vert_properties, mesh.tri_verts


def best(func, repeat):
    return timed(func, repeat)[0]


def peak_growth_mib(func):
    ctx = multiprocessing.get_context("fork")
    q = ctx.Queue()

    def child():
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        func()
        q.put((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024)

    p = ctx.Process(target=child)
    p.start()
    value = q.get()
    p.join()
    return value


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--max-triangles", type=int, default=1_400_000)
    args = parser.parse_args()
    print("ratio = manifold3d time / qboolean time (above 1: qboolean faster); mem = peak RSS growth in MiB")
    print(f"{'case':<14} {'tris each':>9} {'op':<12} {'input':<6} {'qboolean':>10} {'mem':>6} {'manifold':>10} {'mem':>6} {'ratio':>6}")
    for name, make in [("spheres", sphere_pair), ("sphere-torus", sphere_torus)]:
        previous = None
        for sub in (3, 5, 6, 8):
            m1, m2 = make(sub)
            if len(m1[1]) > args.max_triangles:
                continue
            repeat = 3 if len(m1[1]) < 200_000 else 1
            lists = ((m1[0].tolist(), m1[1].tolist()), (m2[0].tolist(), m2[1].tolist()))
            for op, flip2 in (("intersection", False), ("difference", True)):
                t_m = mem_m = None
                if manifold3d is not None:
                    t_m = best(lambda: manifold_op(m1, m2, op), repeat)
                    mem_m = peak_growth_mib(lambda: manifold_op(m1, m2, op))
                for kind, (a, b) in (("lists", lists), ("arrays", (m1, m2))):
                    t_q = best(lambda: qboolean.pyintersect(a, b, False, flip2), repeat)
                    mem_q = peak_growth_mib(lambda: qboolean.pyintersect(a, b, False, flip2))
                    row = f"{name:<14} {len(m1[1]):>9} {op:<12} {kind:<6} {t_q * 1e3:>8.1f}ms {mem_q:>6.0f}"
                    if t_m is not None:
                        row += f" {t_m * 1e3:>8.1f}ms {mem_m:>6.0f} {t_m / t_q:>6.2f}"
                    print(row, flush=True)
                    if kind == "arrays" and op == "intersection":
                        if previous is not None:
                            n0, t0 = previous
                            print(f"{'':<14} growth: time x{t_q / t0:.1f} for size x{len(m1[1]) / n0:.1f}")
                        previous = (len(m1[1]), t_q)


if __name__ == "__main__":
    main()
