"""Closed triangle meshes built in numpy, outward-facing, and checks on result meshes."""
from collections import Counter

import numpy as np


def box(lo=(0, 0, 0), hi=(1, 1, 1)):
    lo, hi = np.asarray(lo, float), np.asarray(hi, float)
    corners = np.array([[(hi if (i >> k) & 1 else lo)[k] for k in range(3)] for i in range(8)])
    # Two triangles per face, counter-clockwise seen from outside.
    quads = [(0, 2, 3, 1), (4, 5, 7, 6), (0, 1, 5, 4), (2, 6, 7, 3), (0, 4, 6, 2), (1, 3, 7, 5)]
    tris = [t for a, b, c, d in quads for t in ((a, b, c), (a, c, d))]
    return corners, np.array(tris)


def bar(length):
    """A closed 1 x 1 x length bar along +x, four side triangles per unit: long, flat faces."""
    xs = np.arange(length + 1, dtype=float)
    ring = np.array([(0, 0), (1, 0), (1, 1), (0, 1)], dtype=float)
    points = np.column_stack([np.repeat(xs, 4), np.tile(ring, (length + 1, 1))])
    i, j = np.meshgrid(np.arange(length), np.arange(4), indexing="ij")
    a, b = (4 * i + j).ravel(), (4 * i + (j + 1) % 4).ravel()
    end = 4 * length
    caps = np.array([(0, 2, 1), (0, 3, 2), (end, end + 1, end + 2), (end, end + 2, end + 3)])
    return points, np.concatenate([np.column_stack([a, b, b + 4]), np.column_stack([a, b + 4, a + 4]), caps])


def icosphere(subdivisions=2, radius=1.0, centre=(0, 0, 0)):
    t = (1 + 5 ** 0.5) / 2
    v = [(-1, t, 0), (1, t, 0), (-1, -t, 0), (1, -t, 0), (0, -1, t), (0, 1, t), (0, -1, -t), (0, 1, -t),
         (t, 0, -1), (t, 0, 1), (-t, 0, -1), (-t, 0, 1)]
    f = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4), (11, 10, 2),
         (10, 7, 6), (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8), (3, 8, 9), (4, 9, 5), (2, 4, 11),
         (6, 2, 10), (8, 6, 7), (9, 8, 1)]
    verts = [np.array(p, float) / np.linalg.norm(p) for p in v]
    for _ in range(subdivisions):
        cache, faces = {}, []

        def mid(a, b):
            key = (min(a, b), max(a, b))
            if key not in cache:
                m = verts[a] + verts[b]
                verts.append(m / np.linalg.norm(m))
                cache[key] = len(verts) - 1
            return cache[key]

        for a, b, c in f:
            ab, bc, ca = mid(a, b), mid(b, c), mid(c, a)
            faces += [(a, ab, ca), (b, bc, ab), (c, ca, bc), (ab, bc, ca)]
        f = faces
    return np.array(verts) * radius + np.asarray(centre, float), np.array(f)


def torus(major=1.0, minor=0.3, n=24, m=12):
    u, v = np.meshgrid(np.arange(n) * 2 * np.pi / n, np.arange(m) * 2 * np.pi / m, indexing="ij")
    pts = np.stack([(major + minor * np.cos(v)) * np.cos(u), (major + minor * np.cos(v)) * np.sin(u),
                    minor * np.sin(v)], axis=-1).reshape(-1, 3)
    idx = lambda i, j: (i % n) * m + (j % m)  # noqa: E731
    tris = []
    for i in range(n):
        for j in range(m):
            a, b, c, d = idx(i, j), idx(i + 1, j), idx(i + 1, j + 1), idx(i, j + 1)
            tris += [(a, b, c), (a, c, d)]
    return pts, np.array(tris)


def cylinder(radius=0.5, height=2.0, n=24, centre=(0, 0, 0)):
    ang = np.arange(n) * 2 * np.pi / n
    ring = np.stack([radius * np.cos(ang), radius * np.sin(ang)], axis=-1)
    pts = np.concatenate([np.column_stack([ring, np.full(n, -height / 2)]),
                          np.column_stack([ring, np.full(n, height / 2)]), [[0, 0, -height / 2], [0, 0, height / 2]]])
    bottom, top = 2 * n, 2 * n + 1
    tris = []
    for i in range(n):
        j = (i + 1) % n
        tris += [(i, j, n + j), (i, n + j, n + i), (bottom, j, i), (top, n + i, n + j)]
    return pts + np.asarray(centre, float), np.array(tris)


def rotation(rng):
    q = rng.normal(size=4)
    q /= np.linalg.norm(q)
    w, x, y, z = q
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


def volume(points, tris):
    p = np.asarray(points, float)
    t = np.asarray(tris)
    if len(t) == 0:
        return 0.0
    a, b, c = p[t[:, 0]], p[t[:, 1]], p[t[:, 2]]
    return float(np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6.0)


def open_edge_loops(tris):
    """Directed edges without their reverse, grouped into loops (the gaps of a result)."""
    count = Counter((int(t[k]), int(t[(k + 1) % 3])) for t in tris for k in range(3))
    unmatched = [e for e, n in count.items() for _ in range(max(0, n - count.get((e[1], e[0]), 0)))]
    return unmatched, count


def gap_widths(points, unmatched):
    """Each chain of unmatched edges closes on itself around a thin gap; its width is 2 area / length."""
    p = np.asarray(points, float)
    succ = {}
    for a, b in unmatched:
        succ.setdefault(a, []).append(b)
    widths, seen = [], set()
    for start, _ in unmatched:
        if (start, succ[start][0]) in seen:
            continue
        loop, v = [start], start
        while True:
            nxt = next((w for w in succ[v] if (v, w) not in seen), None)
            if nxt is None:
                break
            seen.add((v, nxt))
            v = nxt
            if v == start:
                break
            loop.append(v)
        q = p[loop]
        area = np.linalg.norm(np.cross(q - q[0], np.roll(q, -1, axis=0) - q[0]).sum(axis=0)) / 2
        length = np.linalg.norm(np.roll(q, -1, axis=0) - q, axis=1).sum()
        widths.append(2 * area / max(length, 1e-300))
    return widths
