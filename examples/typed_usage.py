"""The typed surface of qdraft, qboolean and qgeom; the test suite checks this file with mypy --strict.

Run it as a script to see the same calls work: python examples/typed_usage.py
"""
from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt
import trimesh

import qboolean
import qdraft
import qgeom


def tetrahedron(shift: float) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    points = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], np.float64) + shift
    return points, np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]], np.int64)


def native_calls() -> None:
    normals = np.array([[0.0, 0.0, 1.0], [1.0, 0.0, 0.0]])
    angles: list[float] = qdraft.normals2angles(normals, ref_normal=[0.0, 0.0, 1.0], degrees=True)
    releases: list[bool] = qdraft.draft_mask(normals, [0, 0, 1], value=math.radians(89.0), invert=False)
    points, tris = tetrahedron(0.0)
    blocked: list[bool] = qdraft.overhangs(points, tris, normal=(0.0, 0.0, 1.0))
    try:
        (out_points, out_tris), counts = qboolean.pyintersect(
            (points, tris), tetrahedron(0.25), flip1=False, flip2=True)
    except qgeom.MyError:
        out_points, out_tris, counts = [], [], [0, 0, 0, 0]
    whole_a, whole_b, cut_a, cut_b = counts
    print(angles, releases, blocked, len(out_points), len(out_tris), whole_a + whole_b + cut_a + cut_b)


def adapters() -> None:
    box = trimesh.creation.box(extents=(4.0, 3.0, 2.0))
    drill = trimesh.creation.cylinder(radius=0.5, height=4.0)
    failing: npt.NDArray[np.bool_] = qgeom.draft_faces(box, pull=(0, 0, 1), min_draft_deg=1.0)
    blocked: npt.NDArray[np.bool_] = qgeom.blocked_vertices(box, direction=np.array([0.0, 0.0, 1.0]))
    drilled: trimesh.Trimesh = qgeom.boolean(box, drill, "difference", check=True)
    problems: list[str] = qgeom.mesh_problems(drilled)
    print(int(failing.sum()), int(blocked.sum()), drilled.metadata["counts"], problems)


def batch() -> None:
    reports: list[qgeom.CheckReport] = qgeom.check_parts(
        [trimesh.creation.box(), trimesh.creation.icosphere()], (0.0, 0.0, 1.0), 2.0, undercuts=True, processes=0)
    for report in reports:
        blocked = 0 if report.blocked_vertices is None else len(report.blocked_vertices)
        print(report.name, report.ok, len(report.failing_faces), blocked, f"{report.affected_area:.3f}")


if __name__ == "__main__":
    native_calls()
    adapters()
    batch()
