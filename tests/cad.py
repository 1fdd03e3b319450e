"""Machined-part fixtures, placements and a manifold3d reference for the boolean tests."""
import functools
import itertools
from pathlib import Path

import numpy as np

import qboolean
from meshes import rotation, volume

DATA = Path(__file__).with_name("data") / "cad_parts.npz"
PARTS = ("bracket", "gear", "housing", "tee", "shaft", "plate")
REL = 1e-6


@functools.lru_cache(maxsize=None)
def part(name, quality="coarse"):
    """A part as made by data/make_cad_parts.py: float64 (n, 3) points, int64 (m, 3) triangles."""
    with np.load(DATA) as d:
        return d[f"{name}_{quality}_v"], d[f"{name}_{quality}_f"].astype(np.int64)


def f32(points):
    """The float64 values of the nearest float32 coordinates, as an STL file would hold them."""
    return np.asarray(points, np.float32).astype(np.float64)


def is_closed(tris):
    """Number of unmatched directed edges: (u, v) used more or less often than (v, u). 0 when closed."""
    t = np.asarray(tris, np.int64).reshape(-1, 3)
    if not len(t):
        return 0
    n = int(t.max()) + 1
    e = np.concatenate([t[:, [0, 1]], t[:, [1, 2]], t[:, [2, 0]]])
    keys, inv = np.unique(np.concatenate([e[:, 0] * n + e[:, 1], e[:, 1] * n + e[:, 0]]), return_inverse=True)
    fwd = np.bincount(inv[:len(e)], minlength=len(keys))
    rev = np.bincount(inv[len(e):], minlength=len(keys))
    return int(np.abs(fwd - rev).sum() // 2)


# The 24 rotations that keep a part axis-aligned: exact, so planar faces stay on their planes.
AXIS_ROTATIONS = [np.array(m) for p in itertools.permutations(np.eye(3, dtype=int))
                  for s in itertools.product((1, -1), repeat=3)
                  for m in [np.array(p) * np.array(s)[:, None]] if round(np.linalg.det(m)) == 1]


def place(mesh, rot=np.eye(3), shift=(0, 0, 0)):
    points, tris = mesh
    return f32(np.asarray(points) @ np.asarray(rot).T + shift), tris


def random_pose(rng, mesh, spread):
    """Centred on its box, turned at random, moved by about `spread`."""
    p, t = mesh
    centred = p - (p.min(0) + p.max(0)) / 2
    return place((centred, t), rotation(rng), rng.normal(size=3) * spread)


def grid_pose(rng, fixed, mesh, step=1.0):
    """An axis-aligned pose of `mesh` next to `fixed`, as parts are mated in CAD: along each axis
    flush with a side of `fixed`, touching it from outside, or at a whole number of `step`s."""
    p = place(mesh, AXIS_ROTATIONS[rng.integers(24)])[0]
    lo, hi, plo, phi = fixed[0].min(0), fixed[0].max(0), p.min(0), p.max(0)
    shift = []
    for k in range(3):
        options = [lo[k] - plo[k], hi[k] - phi[k], hi[k] - plo[k], lo[k] - phi[k],
                   step * np.round(rng.uniform(lo[k] - phi[k], hi[k] - plo[k]) / step)]
        shift.append(options[rng.choice(5, p=[0.3, 0.3, 0.05, 0.05, 0.3])])
    return place((p, mesh[1]), np.eye(3), shift)


def manifold(mesh):
    """A manifold3d solid with exactly the given coordinates (float32 ones before manifold3d 3)."""
    import manifold3d
    p, t = mesh
    if hasattr(manifold3d, "Mesh64"):
        return manifold3d.Manifold(manifold3d.Mesh64(np.ascontiguousarray(p, np.float64),
                                                     np.ascontiguousarray(t, np.uint64)))
    return manifold3d.Manifold(manifold3d.Mesh(np.ascontiguousarray(p, np.float32),
                                               np.ascontiguousarray(t, np.uint32)))


def reference(a, b, flip1, flip2):
    """manifold3d's volume of what pyintersect(a, b, flip1, flip2) should bound (manifolds a, b)."""
    if flip1 and flip2:
        return -(a + b).volume()
    return ((b - a) if flip1 else (a - b) if flip2 else (a ^ b)).volume()


def scale(*meshes):
    return max(float(np.ptp(np.asarray(m[0]), axis=0).max()) for m in meshes)


def check(m1, m2, flip1, flip2, expected, slack=None):
    """Runs pyintersect and checks the result against the expected signed volume.

    Expected 0: the region has no volume and the call must raise "derp". Otherwise the result must be
    closed with a volume within REL of `expected` plus `slack` (by default 1e-9 of the cube of the inputs'
    size); a region with |expected| <= slack may also come back empty. Returns (points, tris) or None.
    """
    if slack is None:
        slack = 1e-9 * scale(m1, m2) ** 3
    try:
        (points, tris), counts = qboolean.pyintersect(m1, m2, flip1, flip2)
    except Exception as e:
        assert type(e).__name__ == "MyError" and str(e) == "derp", repr(e)
        assert abs(expected) <= slack, f"empty result, expected volume {expected!r}"
        return None
    vol, open_edges = volume(points, tris), is_closed(tris)
    assert sum(counts) == len(tris)
    assert expected != 0 and open_edges == 0 and abs(vol - expected) <= REL * abs(expected) + slack, \
        f"{len(tris)} triangles, {open_edges} unmatched directed edges, volume {vol!r}, expected {expected!r}"
    return points, tris
