"""Builds tests/data/cad_parts.npz: six machined parts tessellated as a CAD export would.

Run with a Python that has build123d (kept out of the test extras, it is large):
    python tests/data/make_cad_parts.py
The output is deterministic; the tests only read the .npz. Coordinates keep the tessellator's rounding
noise (a planar face at x = 0 may hold points at x = -7e-16), as real exports do.
"""
import itertools
import math
from pathlib import Path

import numpy as np
from build123d import (Align, Axis, Box, Cylinder, Plane, Polyline, Pos, Rot, SlotCenterToCenter,
                       chamfer, extrude, fillet, make_face)

MIN = Align.MIN
OUT = Path(__file__).with_name("cad_parts.npz")
# (linear deflection mm, angular deflection rad): coarse like a quick STL export, fine like a print export.
QUALITIES = {"coarse": (0.8, 0.9), "fine": (0.002, 0.03)}
# These go through float32, as a binary STL stores coordinates.
FLOAT32 = {"gear", "tee"}


def bracket():
    lo = (MIN, MIN, MIN)
    part = Box(60, 40, 6, align=lo) + Box(6, 40, 50, align=lo)
    part = fillet(part.edges().filter_by(Axis.Y).filter_by_position(Axis.X, 5.9, 6.1)
                  .filter_by_position(Axis.Z, 5.9, 6.1), 5)
    part = fillet(part.edges().filter_by(Axis.Z).filter_by_position(Axis.X, 59.9, 60.1), 4)
    for y in (10, 30):
        part -= Pos(40, y, 3) * Cylinder(3.25, 8)
        part -= Pos(3, y, 35) * Rot(0, 90, 0) * Cylinder(3.25, 8)
    return part


def gear(teeth=16, module=3.0, width=10.0):
    rp = teeth * module / 2
    ra, rf = rp + module, rp - 1.25 * module
    pts = []
    for k in range(teeth):
        a = 2 * math.pi * k / teeth
        # Trapezoid tooth: wide at the root, narrow at the tip.
        for r, half in ((rf, 0.30), (ra, 0.12), (ra, -0.12), (rf, -0.30)):
            t = a - half * 2 * math.pi / teeth
            pts.append((round(r * math.cos(t), 6), round(r * math.sin(t), 6)))
    part = extrude(make_face(Polyline(*pts, close=True)), width)
    part += Pos(0, 0, width) * Cylinder(12, 6, align=(Align.CENTER, Align.CENTER, MIN))
    part -= Cylinder(6, 50)
    part -= Pos(6, 0, 0) * Box(3, 3, 50)
    return chamfer(part.edges().filter_by(lambda e: e.is_closed and abs(e.radius - 12) < 1e-6)
                   .sort_by(Axis.Z)[-1:], 1)


def housing():
    part = Box(80, 60, 40, align=(Align.CENTER, Align.CENTER, MIN))
    part = fillet(part.edges().filter_by(Axis.Z), 6)
    part -= Pos(0, 0, 4) * Box(72, 52, 40, align=(Align.CENTER, Align.CENTER, MIN))
    for x in (-15, 15):
        part += Pos(x, 0, 4) * Box(3, 52, 25, align=(Align.CENTER, Align.CENTER, MIN))
    for x, y in ((-30, -20), (30, -20), (-30, 20), (30, 20)):
        part += Pos(x, y, 4) * Cylinder(4, 30, align=(Align.CENTER, Align.CENTER, MIN))
        part -= Pos(x, y, 10) * Cylinder(1.6, 30, align=(Align.CENTER, Align.CENTER, MIN))
    part -= Pos(0, -30, 20) * Box(24, 4, 12)   # pocket in the front wall, 2 mm deep
    return part


def tee():
    part = Rot(0, 90, 0) * Cylinder(15, 100) + Cylinder(15, 50, align=(Align.CENTER, Align.CENTER, MIN))
    flanges = [Plane.YZ.offset(-50), Plane.YZ.offset(44), Plane.XY.offset(44)]
    for pl in flanges:
        part += pl * Cylinder(30, 6, align=(Align.CENTER, Align.CENTER, MIN))
        for k in range(4):
            a = math.pi / 4 + k * math.pi / 2
            part -= pl * Pos(22 * math.cos(a), 22 * math.sin(a), 0) * Cylinder(3, 20)
    part -= Rot(0, 90, 0) * Cylinder(11, 120)
    part -= Cylinder(11, 60, align=(Align.CENTER, Align.CENTER, MIN))
    return part


def shaft():
    steps = [(10, 30), (12.5, 50), (15, 20), (12.5, 40)]
    part, z = None, 0.0
    for r, length in steps:
        c = Pos(0, 0, z) * Cylinder(r, length, align=(Align.CENTER, Align.CENTER, MIN))
        part = c if part is None else part + c
        z += length
    ends = part.edges().filter_by(lambda e: e.is_closed).sort_by(Axis.Z)
    part = chamfer([ends[0], ends[-1]], 1)
    # Keyway on the 25 mm seat: 6 wide, 3.5 deep, 30 long with round ends.
    seat = Plane(origin=(9, 0, 55), x_dir=(0, 0, 1), z_dir=(1, 0, 0))
    return part - extrude(seat * SlotCenterToCenter(24, 6), amount=10)


def plate():
    part = Box(100, 70, 8)
    part = fillet(part.edges().filter_by(Axis.Z), 6)
    for x in (-35, 0, 35):
        for y in (-22, 22):
            part -= Pos(x, y, 0) * Cylinder(4, 20)
            part -= Pos(x, y, 4) * Cylinder(6.5, 3)   # counterbore, 1.5 mm deep
    part -= extrude(SlotCenterToCenter(30, 8), amount=20, both=True)
    return part


def merged(shape, tol, ang):
    verts, faces = shape.tessellate(tol, ang)
    v = np.array([tuple(p) for p in verts], dtype=np.float64)
    f = np.array(faces, dtype=np.int64)
    return weld(v, f)


def weld(v, f, eps=1e-6):
    """Joins vertices closer than about eps (mm) and renumbers them in order of first use."""
    # The tessellator gives each face its own copies of its boundary nodes, some a few ulps apart.
    # Eight grids offset by half a cell: any two points that close share a cell in one of them.
    label = np.arange(len(v))
    while True:
        before = label.copy()
        for off in itertools.product((0.0, 0.5), repeat=3):
            _, cell = np.unique(np.floor(v / eps + off).astype(np.int64), axis=0, return_inverse=True)
            low = np.full(cell.max() + 1, len(v))
            np.minimum.at(low, cell.reshape(-1), label)
            label = low[cell.reshape(-1)]
        if (label == before).all():
            break
    f = label[f]
    order = dict.fromkeys(f.reshape(-1).tolist())
    index = np.zeros(len(v), dtype=np.int64)
    index[list(order)] = np.arange(len(order))
    return v[list(order)], index[f]


def check(name, v, f, cad_volume):
    """Closed, consistently oriented, welded, and bounding about the CAD volume."""
    assert len(np.unique(v, axis=0)) == len(v), f"{name}: repeated vertices"
    assert (f[:, 0] != f[:, 1]).all() and (f[:, 1] != f[:, 2]).all() and (f[:, 2] != f[:, 0]).all(), name
    n = len(v)
    d = np.concatenate([f[:, [0, 1]], f[:, [1, 2]], f[:, [2, 0]]]).astype(np.int64)
    edges = d[:, 0] * n + d[:, 1]
    # Each directed edge once, and its reverse once: closed and consistently oriented.
    assert len(np.unique(edges)) == len(edges), f"{name}: a directed edge used twice"
    assert np.isin(d[:, 1] * n + d[:, 0], edges).all(), f"{name}: open"
    a, b, c = v[f[:, 0]], v[f[:, 1]], v[f[:, 2]]
    vol = np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6
    assert abs(vol - cad_volume) < 0.05 * cad_volume, (name, vol, cad_volume)
    return vol


def main():
    parts = {"bracket": bracket, "gear": gear, "housing": housing, "tee": tee, "shaft": shaft, "plate": plate}
    data = {}
    for name, build in parts.items():
        shape = build()
        assert shape.is_valid, name
        for quality, (tol, ang) in QUALITIES.items():
            v, f = merged(shape, tol, ang)
            if name in FLOAT32:
                v, f = weld(v.astype(np.float32).astype(np.float64), f)
            vol = check(f"{name}_{quality}", v, f, shape.volume)
            print(f"{name:8s} {quality:6s} {len(v):6d} vertices {len(f):6d} triangles  volume {vol:12.3f}"
                  f"  (CAD {shape.volume:12.3f})")
            data[f"{name}_{quality}_v"] = v
            data[f"{name}_{quality}_f"] = f.astype(np.uint32)
    np.savez_compressed(OUT, **data)
    print(f"{OUT.name}: {OUT.stat().st_size / 1e6:.2f} MB")


if __name__ == "__main__":
    main()
