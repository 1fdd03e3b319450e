"""A moulded part checked along the pull direction +z, then drilled.

1. Draft: a box 40 x 30 x 20 whose side walls lean inwards by 3 degrees except the front wall
   (y = 0), which is vertical and so cannot be released from the mould.
2. Undercut: the box stands on a base plate and carries a ledge on its right wall; the corners of
   the plate below the ledge are blocked along +z (the part is built as the union of the three
   bodies with qboolean).
3. Drilling: a cylinder is taken out of the part (qboolean with flip2), and the result is checked
   to be closed.
Everything is built here in code; no data file is needed. With `--png PATH` the drilled part is
also drawn, failing faces and undercut vertices marked (this needs `pip install '.[check]'`).
"""
import argparse
import math
from collections import Counter

import qboolean
import qdraft

PULL = [0.0, 0.0, 1.0]
REQUIRED_DRAFT_DEG = 1.0


def sample_part(width=40.0, depth=30.0, height=20.0, draft_deg=3.0):
    inset = height * math.tan(math.radians(draft_deg))
    points = [
        [0.0, 0.0, 0.0], [width, 0.0, 0.0], [width, depth, 0.0], [0.0, depth, 0.0],
        # The top is inset on three sides; the front edge stays above the base.
        [inset, 0.0, height], [width - inset, 0.0, height], [width - inset, depth - inset, height],
        [inset, depth - inset, height],
    ]
    faces = {
        "bottom": [[0, 2, 1], [0, 3, 2]],
        "top": [[4, 5, 6], [4, 6, 7]],
        "front (y=0)": [[0, 1, 5], [0, 5, 4]],
        "right (x=40)": [[1, 2, 6], [1, 6, 5]],
        "back (y=30)": [[2, 3, 7], [2, 7, 6]],
        "left (x=0)": [[3, 0, 4], [3, 4, 7]],
    }
    return points, faces


def face_normal(points, tri):
    a, b, c = (points[i] for i in tri)
    u = [b[k] - a[k] for k in range(3)]
    v = [c[k] - a[k] for k in range(3)]
    n = [u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]
    length = math.sqrt(sum(x * x for x in n))
    return [x / length for x in n]


def block(lo, hi):
    """An axis-aligned box as (points, triangles), facing outwards."""
    pts = [[hi[k] if (i >> k) & 1 else lo[k] for k in range(3)] for i in range(8)]
    quads = [(0, 2, 3, 1), (4, 5, 7, 6), (0, 1, 5, 4), (2, 6, 7, 3), (0, 4, 6, 2), (1, 3, 7, 5)]
    return pts, [list(t) for a, b, c, d in quads for t in ((a, b, c), (a, c, d))]


def cylinder(cx, cy, radius, z0, z1, n=32):
    ring = [(cx + radius * math.cos(2 * math.pi * i / n), cy + radius * math.sin(2 * math.pi * i / n)) for i in range(n)]
    pts = [[x, y, z0] for x, y in ring] + [[x, y, z1] for x, y in ring] + [[cx, cy, z0], [cx, cy, z1]]
    tris = []
    for i in range(n):
        j = (i + 1) % n
        tris += [[i, j, n + j], [i, n + j, n + i], [2 * n, j, i], [2 * n + 1, n + i, n + j]]
    return pts, tris


def union(a, b):
    """Both bodies taken inside-out give the inward surface of their union; turn it back outwards."""
    (points, tris), _ = qboolean.pyintersect(a, b, True, True)
    return points, [[t[0], t[2], t[1]] for t in tris]


def volume(points, tris):
    total = 0.0
    for a, b, c in ((points[i] for i in t) for t in tris):
        total += (a[0] * (b[1] * c[2] - b[2] * c[1]) - a[1] * (b[0] * c[2] - b[2] * c[0])
                  + a[2] * (b[0] * c[1] - b[1] * c[0])) / 6.0
    return total


def open_edges(tris):
    """Directed edges whose reverse is missing, or that occur twice: zero for a closed, oriented surface."""
    edges = Counter((t[k], t[(k + 1) % 3]) for t in tris for k in range(3))
    return sum(1 for e, n in edges.items() if n != 1 or edges.get((e[1], e[0])) != 1)


def undercut_and_drilling():
    box_points, faces = sample_part()
    box = (box_points, [tri for tris in faces.values() for tri in tris])
    plate = block([-5.0, 5.0, -3.0], [55.0, 25.0, 2.0])
    ledge = block([38.0, 4.0, 12.0], [58.0, 26.0, 15.0])
    part = union(union(box, plate), ledge)

    blocked = qdraft.overhangs(part[0], part[1], PULL)
    print()
    print(f"Undercut check along +z: part of {len(part[1])} triangles, {len(part[0])} vertices")
    print(f"{sum(blocked)} vertices are blocked by the part itself (every underside is; the ones at x > 39 and")
    print("z < 12 sit under the ledge: that is the undercut):")
    for p, b in zip(part[0], blocked):
        if b:
            print(f"  ({p[0]:g}, {p[1]:g}, {p[2]:g})")

    drill = cylinder(20.0, 15.0, 4.0, -10.0, 40.0)
    (points, tris), counts = qboolean.pyintersect(part, drill, False, True)
    print()
    print("Drilling a hole of radius 4 through the part (difference with a cylinder):")
    print(f"  runs: {counts[0]} whole part triangles, {counts[1]} whole drill triangles, "
          f"{counts[2]} part pieces, {counts[3]} drill pieces")
    print(f"  volume before {volume(*part):.3f}, after {volume(points, tris):.3f} "
          f"(the hole takes {volume(*part) - volume(points, tris):.3f})")
    gaps = open_edges(tris)
    print(f"  result closed: {'yes' if gaps == 0 else f'no, {gaps} open edges'}")
    return points, tris


def picture(part, path):
    """The part as qgeom-check draws it, with the pull direction up."""
    import numpy as np
    from qgeom import check_part, merge_vertices
    from qgeom.render import render_png

    report = check_part(part, PULL, REQUIRED_DRAFT_DEG, undercuts=True, name="demo part")
    # The report indexes the part's vertices after merging, as check_part saw them.
    points, tris, _ = merge_vertices(np.asarray(part[0], float), np.asarray(part[1], np.int64))
    render_png(path, points, tris, report.failing_faces, report.blocked_vertices, pull=PULL, size=(640, 480),
               title=f"demo part: {len(report.failing_faces)} of {report.faces} faces fail "
                     f"{REQUIRED_DRAFT_DEG:g}° draft, {len(report.blocked_vertices)} undercut vertices")
    print(f"\npicture of the drilled part: {path}")


def main():
    points, faces = sample_part()
    names = [name for name, tris in faces.items() for _ in tris]
    tris = [tri for tris in faces.values() for tri in tris]
    normals = [face_normal(points, tri) for tri in tris]

    angles = qdraft.normals2angles(normals, PULL, True)
    # A face releases with the moving half when its normal is within 90 - 1 degrees of the pull,
    # or with the fixed half when it is within that of the reversed pull.
    limit = math.radians(90.0 - REQUIRED_DRAFT_DEG)
    with_pull = qdraft.draft_mask(normals, PULL, limit, False)
    against_pull = qdraft.draft_mask(normals, PULL, limit, True)

    print(f"Draft check along +z, {len(tris)} faces, {REQUIRED_DRAFT_DEG:g} degree required")
    print(f"{'face':>4}  {'wall':<13} {'angle to pull':>13} {'draft':>8}  result")
    failing = []
    for i, (name, angle) in enumerate(zip(names, angles)):
        draft = abs(90.0 - angle)
        ok = with_pull[i] or against_pull[i]
        if not ok:
            failing.append(i)
        print(f"{i:>4}  {name:<13} {angle:>12.3f}° {draft:>7.3f}°  {'ok' if ok else 'FAILS'}")
    print(f"faces failing the {REQUIRED_DRAFT_DEG:g} degree draft: {failing}")
    return undercut_and_drilling()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--png", help="also draw the drilled part to this PNG file")
    args = parser.parse_args()
    drilled = main()
    if args.png:
        picture(drilled, args.png)
