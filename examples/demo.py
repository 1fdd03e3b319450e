"""A moulded box checked for draft along the pull direction +z.

The part is built here in code: a box 40 x 30 x 20 whose side walls lean inwards by 3 degrees
except the front wall (y = 0), which is vertical and so cannot be released from the mould.
"""
import math

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


if __name__ == "__main__":
    main()
