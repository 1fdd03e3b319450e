"""overhangs against trimesh's ray.intersects_any (with embreex, and its pure-numpy intersector).

Run: python benchmarks/bench_overhangs.py [--max-triangles N]
Meshes: a subdivided sphere with bumps (a closed surface with folds) and a height-field terrain, at about
10^4, 10^5 and 10^6 triangles. Each vertex casts one ray along +z from 0.01 beyond itself, as overhangs does.
Times are end to end from the same input (lists, or numpy arrays); trimesh's times include building its
intersector. The pure-numpy intersector is only run up to 10^5 triangles (it is far slower).
"""
import argparse
import os
import time

from timing import timed  # noqa: E402  (sets up the environment before numpy loads)

import numpy as np
import trimesh
from trimesh.ray import ray_triangle

import qdraft

try:
    from trimesh.ray import ray_pyembree
except ImportError:  # embreex missing
    ray_pyembree = None

DIRECTION = np.array([0.0, 0.0, 1.0])


def bumpy_sphere(subdivisions):
    mesh = trimesh.creation.icosphere(subdivisions=subdivisions)
    v = mesh.vertices
    r = 1.0 + 0.15 * np.sin(7 * v[:, 0]) * np.sin(7 * v[:, 1]) * np.sin(7 * v[:, 2])
    return v * r[:, None], mesh.faces


def terrain(n):
    x, y = np.meshgrid(np.linspace(0, 10, n), np.linspace(0, 10, n))
    z = np.sin(x) * np.cos(1.3 * y) + 0.2 * np.sin(5 * x + 3 * y)
    vertices = np.column_stack([x.ravel(), y.ravel(), z.ravel()])
    i = np.arange(n - 1)[:, None] * n + np.arange(n - 1)[None, :]
    a, b, c, d = i.ravel(), i.ravel() + 1, i.ravel() + n + 1, i.ravel() + n
    faces = np.concatenate([np.column_stack([a, b, c]), np.column_stack([a, c, d])])
    return vertices, faces



def trimesh_any(vertices, faces, intersector):
    mesh = trimesh.Trimesh(vertices, faces, process=False)
    origins = vertices + 0.01 * DIRECTION
    return intersector(mesh).intersects_any(origins, np.tile(DIRECTION, (len(vertices), 1)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--max-triangles", type=int, default=1_500_000)
    args = parser.parse_args()
    cases = [("bumpy sphere", bumpy_sphere, s) for s in (5, 6, 8)] + [("terrain", terrain, n) for n in (72, 225, 708)]
    print("ratio = trimesh time / qdraft time (above 1: qdraft faster); agree = share of equal entries")
    header = f"{'mesh':<13} {'triangles':>9} {'input':<7} {'qdraft':>9} {'us/vertex':>9} {'embree':>9} {'ratio':>6} {'agree':>7} {'numpy-rt':>9} {'ratio':>6}"
    print(header)
    previous = None
    for name, make, size in cases:
        vertices, faces = make(size)
        if len(faces) > args.max_triangles:
            continue
        repeat = 3 if len(faces) < 500_000 else 1
        inputs = {"lists": (vertices.tolist(), faces.tolist()), "arrays": (vertices, faces)}
        for kind, (pts, tris) in inputs.items():
            t_ours, ours = timed(lambda: qdraft.overhangs(pts, tris, [0.0, 0.0, 1.0]), repeat)
            row = f"{name:<13} {len(faces):>9} {kind:<7} {t_ours * 1e3:>7.1f}ms {t_ours / len(vertices) * 1e6:>9.3f}"
            if ray_pyembree is not None:
                t_emb, theirs = timed(lambda: trimesh_any(np.asarray(pts, dtype=float), np.asarray(tris), ray_pyembree.RayMeshIntersector), repeat)
                agree = np.mean(np.asarray(ours) == theirs)
                row += f" {t_emb * 1e3:>7.1f}ms {t_emb / t_ours:>6.2f} {agree:>7.4f}"
            else:
                row += f" {'-':>9} {'-':>6} {'-':>7}"
            if len(faces) <= 150_000:
                t_np, _ = timed(lambda: trimesh_any(np.asarray(pts, dtype=float), np.asarray(tris), ray_triangle.RayMeshIntersector), 1)
                row += f" {t_np * 1e3:>7.1f}ms {t_np / t_ours:>6.2f}"
            print(row, flush=True)
            if kind == "arrays" and name == "bumpy sphere":
                if previous is not None:
                    n0, t0 = previous
                    growth = (t_ours / t0) / ((len(faces) * np.log(len(faces))) / (n0 * np.log(n0)))
                    print(f"{'':<13} growth from {n0} triangles: time x{t_ours / t0:.1f} for size x{len(faces) / n0:.1f}; "
                          f"relative to n log n: {growth:.2f}")
                previous = (len(faces), t_ours)


if __name__ == "__main__":
    main()
