"""overhangs: the blocked-vertex mask, mesh refusals, and agreement with testing every triangle."""
import math
import subprocess
import sys

import numpy as np
import pytest

import qdraft

SQUARES_POINTS = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)]
SQUARES_TRIS = [(0, 1, 2), (0, 2, 3), (4, 5, 6), (4, 6, 7)]
F, T = False, True


def panic_class():
    try:
        qdraft.overhangs([], [], [0, 0, 1])
    except BaseException as e:  # noqa: B036 - the class is only reachable through an instance
        return type(e)
    raise AssertionError("no panic")


PanicException = panic_class()


@pytest.mark.parametrize(
    "points, tris, normal, expected",
    [
        (SQUARES_POINTS, SQUARES_TRIS, (0, 0, 1), [T, T, T, T, F, F, F, F]),
        (SQUARES_POINTS, SQUARES_TRIS, (0, 0, -1), [F, F, F, F, T, T, T, T]),
        (SQUARES_POINTS, SQUARES_TRIS, (0, 0, 200), [F] * 8),
        (SQUARES_POINTS, SQUARES_TRIS[:2], (1, 0, 0), [F] * 8),      # rays inside the plane
        (SQUARES_POINTS, SQUARES_TRIS, (0, 0, 0), [F] * 8),
        # A tiny step leaves every origin on its own square: a hit at time 0.
        (SQUARES_POINTS, SQUARES_TRIS, (0.0, 0.0, 1e-300), [T] * 8),
        (SQUARES_POINTS, SQUARES_TRIS, (0, 0, math.nan), [F] * 8),
        (SQUARES_POINTS, SQUARES_TRIS, (0, 0, math.inf), [F] * 8),
        # The origin of point 3 lies on triangle 0: hit at time 0.
        ([(0, 0, 0), (1, 0, 0), (0, 1, 0), (0.25, 0.25, -0.01), (3, 3, -0.01), (3, 2, -0.01)],
         [(0, 1, 2), (3, 4, 5)], (0, 0, 1), [F, F, F, T, F, F]),
        # Unused points get entries; a point above the squares is not blocked, one between them is.
        (SQUARES_POINTS + [(0.5, 0.5, 5), (0.5, 0.5, 0.5), (math.nan, 0, 0), (0.5, 0.5, -math.inf)],
         SQUARES_TRIS, (0, 0, 1), [T, T, T, T, F, F, F, F, F, T, F, F]),
    ],
)
def test_overhang_cases(points, tris, normal, expected):
    mask = qdraft.overhangs(points, tris, normal)
    assert mask == expected
    assert all(type(m) is bool for m in mask)
    assert qdraft.overhangs(np.array(points, dtype=float), np.array(tris), np.array(normal, dtype=float)) == expected


@pytest.mark.parametrize(
    "points, tris, message",
    [
        ([(0, 0, 0)] * 3, [], "A triangle mesh must contain at least one triangle."),
        ([], [(0, 1, 2)], "index out of bounds: the len is 0 but the index is 0"),
        ([(0, 0, 0)] * 5, [(0, 0, 1), (0, 1, 9)], "index out of bounds: the len is 5 but the index is 9"),
        ([(0, 0, 0)] * 3, [(0, 0, 1)], "mesh should be manifold: BadTriangle(0)"),
        ([(0, 0, 0)] * 4, [(0, 1, 2), (0, 1, 3)],
         "mesh should be manifold: BadAdjascentTrianglesOrientation { triangle1: 0, triangle2: 1, edge: (0, 1) }"),
        ([(0, 0, 0)] * 4, [(0, 1, 2), (0, 1, 2)],
         "mesh should be manifold: BadAdjascentTrianglesOrientation { triangle1: 0, triangle2: 1, edge: (0, 1) }"),
        # Triangle 3's first edge (1, 2) repeats triangle 0's second edge.
        ([(0, 0, 0)] * 5, [(0, 1, 2), (3, 4, 0), (2, 1, 3), (1, 2, 4)],
         "mesh should be manifold: BadAdjascentTrianglesOrientation { triangle1: 0, triangle2: 3, edge: (1, 2) }"),
        ([(0, 0, 0)] * 6, [(0, 1, 2), (3, 4, 4), (2, 1, 5)], "mesh should be manifold: BadTriangle(1)"),
    ],
)
def test_refused_meshes_raise_panic(points, tris, message, capfd):
    with pytest.raises(BaseException) as info:
        qdraft.overhangs(points, tris, [0, 0, 1])
    assert type(info.value) is PanicException
    assert info.value.args == (message,)
    assert message in capfd.readouterr().err
    # The interpreter stays usable.
    assert qdraft.overhangs(SQUARES_POINTS, SQUARES_TRIS, (0, 0, 1))[0] is True


def test_panic_exception_class_facts():
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    with pytest.raises(BaseException) as info:
        try:
            qdraft.overhangs([], [], [0, 0, 1])
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as Exception")
    assert type(info.value) is panic_class()


def test_panic_from_callers_float_is_resumed(capfd):
    class Panics:
        def __float__(self):
            raise PanicException("from python")

    with pytest.raises(BaseException) as info:
        qdraft.normals2angles([[0, 0, Panics()]], [0, 0, 1], True)
    assert type(info.value) is PanicException
    assert info.value.args == ("Unwrapped panic from Python code",)
    err = capfd.readouterr().err
    assert "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\nPython stack trace below:\n" in err
    assert "from python" in err  # the traceback printed with it
    assert qdraft.normals2angles([[0, 0, 1]], [0, 0, 1], True) == [0.0]


def test_panic_classes_are_shared_across_module_loads():
    from conftest import load_as

    fresh = load_as("qdraft")
    with pytest.raises(BaseException) as info:
        fresh.overhangs([], [], [0, 0, 1])
    assert type(info.value) is PanicException


# --- agreement with testing every triangle ------------------------------------------------

def _exact_meets(a, b, c, o, d):
    """Whether the ray o + s d (s >= 0) meets the closed triangle abc, in rational arithmetic."""
    from fractions import Fraction as Q
    a, b, c, o, d = ([Q(float(x)) for x in v] for v in (a, b, c, o, d))
    rel = [[p[i] - o[i] for i in range(3)] for p in (a, b, c)]

    def cross(u, v):
        return [u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]

    def dot(u, v):
        return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]

    A, B, C = rel
    # Edge functions: the line meets the closed triangle when none has the sign opposite to their sum d.n.
    edges = [dot(d, cross(A, B)), dot(d, cross(B, C)), dot(d, cross(C, A))]
    dn = sum(edges)
    if dn == 0 or any(e * dn < 0 for e in edges):
        return False
    return dot(A, cross(B, C)) * dn >= 0  # the crossing is not behind the origin


def blocked_brute_force(points, tris, normal):
    """Every vertex's ray against every triangle: numpy where a wide margin decides, fractions where not."""
    p = np.asarray(points, dtype=float)
    t3 = np.asarray(tris)
    d = np.asarray(normal, dtype=float)
    a, b, c = p[t3[:, 0]], p[t3[:, 1]], p[t3[:, 2]]
    finite = np.isfinite(a).all(1) & np.isfinite(b).all(1) & np.isfinite(c).all(1)
    out = []
    if not np.isfinite(d).all() or not d.any():
        return [False] * len(p)
    with np.errstate(all="ignore"):
        for v in p:
            o = v + d * 0.01
            if not np.isfinite(o).all():
                out.append(False)
                continue
            A, B, C = a - o, b - o, c - o
            m = [np.abs(X).max(1) for X in (A, B, C)]
            dsum = np.abs(d).sum()
            e = [np.cross(X, Y) @ d for X, Y in ((A, B), (B, C), (C, A))]
            bound = [1e-9 * dsum * m[i] * m[j] + 1e-300 for i, j in ((0, 1), (1, 2), (2, 0))]
            vol = np.einsum("ij,ij->i", A, np.cross(B, C))
            vbound = 1e-9 * m[0] * m[1] * m[2] + 1e-300
            sure = finite & np.all([np.abs(x) > bd for x, bd in zip(e, bound)], axis=0) & (np.abs(vol) > vbound)
            sure &= np.all([np.isfinite(x) for x in e], axis=0) & (m[0] + m[1] + m[2] < 1e100)
            s = np.sign(e)
            hit = sure & (s[0] == s[1]) & (s[1] == s[2]) & (np.sign(vol) == s[0])
            blocked = bool(hit.any())
            if not blocked:
                for i in np.nonzero(finite & ~sure)[0]:
                    if _exact_meets(a[i], b[i], c[i], o, d):
                        blocked = True
                        break
            out.append(blocked)
    return out


def grid_mesh(rng, n, layers):
    """Stacked, grid-aligned open sheets with random heights: rays through vertices and along edges."""
    points, tris = [], []
    for layer in range(layers):
        base = len(points)
        z = rng.choice([0.0, 0.5, 1.0, 2.0]) + layer
        for i in range(n):
            for j in range(n):
                points.append((float(i), float(j), z + (rng.integers(0, 2) * 0.25 if rng.random() < 0.3 else 0.0)))
        for i in range(n - 1):
            for j in range(n - 1):
                q = base + i * n + j
                tris += [(q, q + n, q + n + 1), (q, q + n + 1, q + 1)] if rng.random() < 0.5 else [(q, q + n, q + 1), (q + 1, q + n, q + n + 1)]
    return points, tris


def random_soup(rng, count):
    points = rng.normal(size=(3 * count, 3)) * rng.choice([1.0, 1e-3, 1e3])
    if rng.random() < 0.3:
        points = np.round(points)  # coincidences and axis-aligned faces
    return points.tolist(), [(3 * i, 3 * i + 1, 3 * i + 2) for i in range(count)]


@pytest.mark.parametrize("seed", range(10))
def test_agrees_with_testing_every_triangle(seed):
    rng = np.random.default_rng(seed)
    if seed % 2:
        points, tris = grid_mesh(rng, 5, 3)
    else:
        points, tris = random_soup(rng, 60)
    directions = [(0, 0, 1), (0, 0, -1), (1, 0, 0), (0, 1, -1), (1, 1, 1)] + rng.normal(size=(3, 3)).tolist()
    for normal in directions:
        assert qdraft.overhangs(points, tris, normal) == blocked_brute_force(points, tris, normal), normal


def test_non_finite_triangles_do_not_disturb_finite_points():
    rng = np.random.default_rng(3)
    points, tris = grid_mesh(rng, 5, 2)
    bad_start = len(points)
    points = points + [(math.nan, 0, 0), (2, 2, math.inf), (1, 1, 7), (math.inf, -math.inf, 3)]
    tris = tris + [(bad_start, bad_start + 1, bad_start + 2), (bad_start + 1, bad_start + 3, bad_start + 2)]
    for normal in [(0, 0, 1), (0, 0, -1), (0.3, 0.2, 1)]:
        assert qdraft.overhangs(points, tris, normal) == blocked_brute_force(points, tris, normal)


def test_large_mesh_runs_in_reasonable_time():
    # A 300 x 300 terrain (about 180,000 triangles): a quadratic path would not finish.
    n = 300
    x, y = np.meshgrid(np.linspace(0, 30, n), np.linspace(0, 30, n))
    z = np.sin(x) * np.cos(y)
    points = np.column_stack([x.ravel(), y.ravel(), z.ravel()])
    q = (np.arange(n - 1)[:, None] * n + np.arange(n - 1)[None, :]).ravel()
    tris = np.concatenate([np.column_stack([q, q + 1, q + n + 1]), np.column_stack([q, q + n + 1, q + n])])
    mask = qdraft.overhangs(points, tris, [1.0, 0.3, 0.2])
    assert len(mask) == n * n
    assert 0 < sum(mask) < n * n


def test_rays_through_edges_and_corners_from_inside_a_closed_mesh_are_blocked():
    # Coordinates on a 2^-20 grid make every edge midpoint exact. Under each
    # corner and edge midpoint of the upper half, an unused point inside: its
    # +z ray keeps x and y exactly, so it leaves right through that corner or
    # edge, which the triangles there must not all miss.
    from meshes import icosphere
    p, t = icosphere(4)
    p = np.round((np.asarray(p) * [1.37, 0.93, 1.11] + [0.11, -0.7, 0.3]) * 2**20) / 2**20
    t = np.asarray(t)
    centre_z = p[:, 2].mean()
    edges = np.unique(np.sort(np.concatenate([t[:, [0, 1]], t[:, [1, 2]], t[:, [2, 0]]]), axis=1), axis=0)
    targets = np.concatenate([p, (p[edges[:, 0]] + p[edges[:, 1]]) / 2])
    targets = targets[targets[:, 2] > centre_z + 0.3]
    probes = np.column_stack([targets[:, :2], np.full(len(targets), centre_z)])
    mask = qdraft.overhangs(np.concatenate([p, probes]), t, [0, 0, 1])
    assert all(mask[len(p):])


def _best_time(f, repeat=3):
    import time
    best = math.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        best = min(best, time.perf_counter() - t0)
    return best


def _strip(n):
    # A flat open strip along x, the ray direction in its plane.
    k = n // 2
    xs = np.arange(k + 1, dtype=float)
    pts = np.concatenate([np.column_stack([xs, 0 * xs, 0 * xs]), np.column_stack([xs, 0 * xs + 1, 0 * xs])])
    q = np.arange(k)
    return pts, np.concatenate([np.column_stack([q, q + 1, q + k + 2]), np.column_stack([q, q + k + 2, q + k + 1])]), [1, 0, 0]


def _bar(n):
    # A closed 1 x 1 x L bar along x, rays along it.
    from meshes import bar
    return (*bar(max(1, n // 8)), [1, 0, 0])


def _coincident_boxes(n):
    from meshes import box
    bp, bt = box()
    copies = max(1, n // 12)
    return (np.tile(np.asarray(bp, float), (copies, 1)),
            np.concatenate([np.asarray(bt) + 8 * c for c in range(copies)]), [0, 0, 1])


def _tiny_direction_sphere(n):
    from meshes import icosphere
    sub = {1000: 3, 10000: 5, 100000: 7}[n]  # 1280, 20480, 327680 triangles
    p, t = icosphere(sub)
    return np.asarray(p), np.asarray(t), [0, 0, 1e-308]


@pytest.mark.parametrize("family", [_strip, _bar, _coincident_boxes, _tiny_direction_sphere])
def test_pathological_meshes_and_directions_scale_near_linearly(family):
    # Ten times the triangles may cost at most about ten times the time (plus
    # noise): these families used to be quadratic, or to test every triangle.
    times = {}
    for n in (1000, 10000, 100000):
        points, tris, d = family(n)
        times[n] = _best_time(lambda: qdraft.overhangs(points, tris, d)) / len(tris)
    assert times[100000] < 8 * max(times[1000], times[10000], 2e-7), times
