import os
"""qboolean.pyintersect: registration, conversion, the runs and counts, and the result's geometry."""
import collections
import subprocess
import sys

import numpy as np
import pytest

import qboolean
from conftest import UNDER_ASAN
from meshes import bar, box, cylinder, gap_widths, icosphere, open_edge_loops, rotation, torus, volume

TOL = 9.999999999999999e-06


def as_mesh(points, tris):
    return ([list(map(float, p)) for p in points], [list(map(int, t)) for t in tris])


def intersect(m1, m2, flip1=False, flip2=False):
    return qboolean.pyintersect(m1, m2, flip1, flip2)


def my_error_class():
    with pytest.raises(Exception) as info:
        intersect(as_mesh(*box()), as_mesh(*box((5, 5, 5), (6, 6, 6))))
    return type(info.value)


def panic_class():
    with pytest.raises(BaseException) as info:
        intersect(([], []), as_mesh(*box()))
    return type(info.value)


CUBE = as_mesh(*box((-1, -1, -1), (1, 1, 1)))
INNER = as_mesh(*box((-0.5, -0.25, -0.5), (0.5, 0.5, 0.25)))


# --- registration and conversion ------------------------------------------------------

def test_module_facts():
    assert qboolean.__all__ == ["pyintersect"]
    f = qboolean.pyintersect
    assert f.__text_signature__ is None and not f.__doc__
    assert f.__module__ == "qboolean" and f.__self__ is qboolean


@pytest.mark.parametrize(
    "args, kwargs, exc_type, message",
    [
        ((CUBE,), {}, TypeError, "pyintersect() missing 3 required positional arguments: 'm2', 'flip1', and 'flip2'"),
        ((list(CUBE), CUBE, False, False), {}, TypeError, "argument 'm1': 'list' object cannot be converted to 'PyTuple'"),
        ((CUBE, CUBE + ([],), False, False), {}, ValueError, "Expected tuple of length 2, but got tuple of length 3."),
        ((CUBE, (CUBE[0], [[0, 1]]), False, False), {}, ValueError, "expected a sequence of length 3 (got 2)"),
        ((CUBE, ([[0, 0, 0]], [[0, 1, 1.0]]), False, False), {}, TypeError,
         "argument 'm2': 'float' object cannot be interpreted as an integer"),
        ((CUBE, ([[0, 0, 0]], [[0, 1, -1]]), False, False), {}, OverflowError, "out of range integral type conversion attempted"),
        ((CUBE, ([[0, 0, 0]], [[0, 1, 2 ** 32]]), False, False), {}, OverflowError, "out of range integral type conversion attempted"),
        ((CUBE, None, 0, False), {}, TypeError, "argument 'm2': 'NoneType' object cannot be converted to 'PyTuple'"),
        ((CUBE, CUBE, False, 1), {}, TypeError, "argument 'flip2': 'int' object cannot be converted to 'PyBool'"),
        ((CUBE, CUBE, False), {"flip1": True}, TypeError, "pyintersect() got multiple values for argument 'flip1'"),
    ],
)
def test_conversion_errors(args, kwargs, exc_type, message):
    with pytest.raises(BaseException) as info:
        qboolean.pyintersect(*args, **kwargs)
    assert type(info.value) is exc_type and str(info.value) == message


def test_accepted_inputs_and_keywords():
    Mesh = collections.namedtuple("Mesh", "points tris")
    expected = intersect(CUBE, INNER)
    assert qboolean.pyintersect(m2=INNER, flip2=False, m1=Mesh(*CUBE), flip1=False) == expected
    arrays = (np.array(INNER[0]), np.array(INNER[1], dtype=np.uint32))
    assert intersect((np.array(CUBE[0]), np.array(CUBE[1])), arrays) == expected
    assert intersect(CUBE, (INNER[0], [[4294967295 * 0 + i for i in t] for t in INNER[1]])) == expected


def test_result_shape_and_round_trip():
    result = intersect(CUBE, INNER, False, True)
    (points, tris), counts = result
    assert type(result) is tuple and type(result[0]) is tuple
    assert type(points) is list and type(tris) is list and type(counts) is list
    assert all(type(p) is list and len(p) == 3 and all(type(x) is float for x in p) for p in points)
    assert all(type(t) is list and all(type(i) is int and i >= 0 for i in t) for t in tris)
    assert len(counts) == 4 and all(type(c) is int for c in counts)
    # A result is a valid mesh argument again.
    again = intersect(result[0], CUBE)
    assert sum(again[1]) == len(again[0][1])


# --- errors ---------------------------------------------------------------------------------

def test_empty_result_raises_my_error(capfd):
    MyError = my_error_class()
    assert MyError.__name__ == "MyError" and MyError.__module__ == "module"
    assert issubclass(MyError, Exception) and MyError.__bases__ == (Exception,)
    with pytest.raises(MyError) as info:
        intersect(CUBE, as_mesh(*box((3, 3, 3), (4, 4, 4))))
    assert info.value.args == ("derp",)
    assert my_error_class() is MyError
    assert not hasattr(qboolean, "MyError")
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "m1, m2, message",
    [
        (([], []), CUBE, "A triangle mesh must contain at least one triangle."),
        (CUBE, ([[0, 0, 0]], [[0, 1, 2]]), "index out of bounds: the len is 1 but the index is 1"),
        ((CUBE[0], CUBE[1] + [[0, 2, 1]]), ([], []), "mesh should be manifold: BadAdjascentTrianglesOrientation { triangle1: 0, triangle2: 12, edge: (0, 2) }"),
        (CUBE, (CUBE[0], [[0, 0, 1]]), "mesh should be manifold: BadTriangle(0)"),
    ],
)
def test_refused_meshes(m1, m2, message, capfd):
    with pytest.raises(BaseException) as info:
        intersect(m1, m2)
    assert type(info.value) is panic_class() and info.value.args == (message,)
    assert capfd.readouterr().out == ""


# --- runs and counts -------------------------------------------------------------------------

def test_nested_meshes():
    n_cube, n_inner = len(CUBE[1]), len(INNER[1])
    (points, tris), counts = intersect(CUBE, INNER)
    assert counts == [0, n_inner, 0, 0]
    assert [[points[i] for i in t] for t in tris] == [[INNER[0][i] for i in t] for t in INNER[1]]

    with pytest.raises(my_error_class()):
        intersect(CUBE, INNER, True, False)  # inner minus cube

    (points, tris), counts = intersect(CUBE, INNER, False, True)  # cube minus inner
    assert counts == [n_cube, n_inner, 0, 0]
    # Vertices numbered in order of first use (in stored corner order): the cube's, then the inner box's.
    stored = tris[:n_cube] + [[t[0], t[2], t[1]] for t in tris[n_cube:]]
    first_use = list(dict.fromkeys(i for t in stored for i in t))
    assert first_use == list(range(len(points)))
    assert [[points[i] for i in t] for t in tris[:n_cube]] == [[CUBE[0][i] for i in t] for t in CUBE[1]]
    assert [[points[i] for i in t] for t in tris[n_cube:]] == [[INNER[0][i] for i in (t[0], t[2], t[1])] for t in INNER[1]]
    assert volume(points, tris) == pytest.approx(8.0 - 1.0 * 0.75 * 0.75)


def check_closed(points, tris):
    unmatched, count = open_edge_loops(tris)
    assert all(n == 1 for n in count.values()), "an edge is used twice in one direction"
    widths = gap_widths(points, unmatched)
    # Only pieces dropped as degenerate may open gaps, each narrower than the tolerance.
    assert all(w <= TOL for w in widths), widths
    return len(widths)


def test_overlapping_cubes():
    other = as_mesh(*box((0, 0.5, -0.5), (2, 2, 2)))
    (points, tris), counts = intersect(CUBE, other)
    assert sum(counts) == len(tris) and counts[2] > 0 and counts[3] > 0
    assert sorted({i for t in tris for i in t}) == list(range(len(points)))
    run2 = {i for t in tris[counts[0] + counts[1]:counts[0] + counts[1] + counts[2]] for i in t}
    run3 = {i for t in tris[sum(counts[:3]):] for i in t}
    assert run2 & run3  # vertices on the crossing are shared by both meshes' pieces
    assert volume(points, tris) == pytest.approx(1.0 * 0.5 * 1.5)
    assert check_closed(points, tris) == 0


def test_shared_coplanar_face_is_covered_once_by_mesh1():
    a = as_mesh(*box((0, 0, 0), (2, 2, 1)))
    b = as_mesh(*box((1, 1, 0), (3, 3, 1)))  # shares the planes z = 0 and z = 1
    (points, tris), counts = intersect(a, b)
    assert volume(points, tris) == pytest.approx(1.0)
    p = np.array(points)
    on_planes = [i for i, t in enumerate(tris) if np.ptp(p[t][:, 2]) == 0]
    start3 = sum(counts[:3])
    assert on_planes and all(i < start3 for i in on_planes)
    assert check_closed(points, tris) == 0


def test_zero_area_triangle_is_never_cut():
    # A closed mesh (the inner box) plus a flat triangle with collinear corners that pierces the cube's face.
    flat = [[0.0, 0.0, 0.0], [3.0, 0.0, 0.0], [1.5, 0.0, 0.0]]
    m2 = (INNER[0] + flat, INNER[1] + [[8, 9, 10]])
    (points, tris), counts = intersect(CUBE, m2)
    assert counts[2] == 0 and counts[3] == 0
    assert counts[1] in (12, 13)


def test_open_mesh_flood_fill_stops_at_its_boundary():
    # Mesh 1 is the cube without its top face; it is cut by a slab through its middle.
    open_cube = (CUBE[0], CUBE[1][:2] + CUBE[1][4:])
    slab = as_mesh(*box((-2, -2, -0.5), (2, 2, 0.5)))
    (points, tris), counts = intersect(open_cube, slab)
    assert counts[2] > 0
    zs = [points[i][2] for t in tris[:counts[0]] for i in t]
    assert all(-0.5 <= z <= 0.5 for z in zs)


def two_shells(first, second):
    (p1, t1), (p2, t2) = first, second
    return (p1 + p2, t1 + [[i + len(p1) for i in t] for t in t2])


def test_untouched_shell_inside_the_other_mesh_is_kept_while_another_shell_is_cut():
    cutting = as_mesh(*box((0.5, -0.5, -0.5), (1.5, 0.5, 0.5)))     # crosses the cube's face x = 1
    inside = as_mesh(*box((-0.5, -0.5, -0.5), (-0.2, 0.5, 0.5)))    # wholly inside the cube
    m2 = two_shells(cutting, inside)
    (points, tris), counts = intersect(CUBE, m2)
    # The inner shell whole, plus the cutting box's face x = 0.5 (inside the cube); the rest in pieces.
    assert counts[1] == 12 + 2 and counts[3] > 0
    assert volume(points, tris) == pytest.approx(0.5 + 0.3)
    assert check_closed(points, tris) == 0


def test_untouched_shells_get_their_own_verdicts():
    outside = as_mesh(*box((3, 3, 3), (4, 4, 4)))
    m2 = two_shells(outside, INNER)   # the first shell is outside the cube, the second inside
    (points, tris), counts = intersect(CUBE, m2)
    assert counts == [0, 12, 0, 0]
    assert [[points[i] for i in t] for t in tris] == [[m2[0][i] for i in t] for t in m2[1][12:]]


def test_collinear_pieces_are_dropped():
    for seed in range(5):
        (points, tris), _ = intersect(*random_pair(np.random.default_rng(seed), "sphere", "box"))
        p = np.array(points)
        t = np.array(tris)
        e1, e2 = p[t[:, 1]] - p[t[:, 0]], p[t[:, 2]] - p[t[:, 0]]
        area2 = np.linalg.norm(np.cross(e1, e2), axis=1)
        assert (area2 > np.maximum(np.linalg.norm(e1, axis=1), np.linalg.norm(e2, axis=1)) * TOL).all()


# --- geometry on rotated and offset shapes ---------------------------------------------------

SHAPES = {
    "sphere": lambda: icosphere(3, 1.0),
    "torus": lambda: torus(1.0, 0.35, 32, 14),
    "box": lambda: box((-0.8, -0.6, -0.7), (0.7, 0.9, 0.6)),
    "cylinder": lambda: cylinder(0.45, 2.4, 28),
}


def random_pair(rng, name1, name2):
    meshes = []
    for name in (name1, name2):
        p, t = SHAPES[name]()
        # float32 coordinates, so manifold3d sees exactly the same mesh.
        p = (p @ rotation(rng).T + rng.normal(size=3) * 0.3).astype(np.float32).astype(float)
        meshes.append((p.tolist(), t.tolist()))
    return meshes


def manifold_volume(m1, m2, flip1, flip2):
    manifold3d = pytest.importorskip("manifold3d")
    a, b = (manifold3d.Manifold(manifold3d.Mesh(np.asarray(p, np.float32), np.asarray(t, np.uint32))) for p, t in (m1, m2))
    if flip1 and flip2:
        return -(a + b).volume()
    return ((b - a) if flip1 else (a - b) if flip2 else (a ^ b)).volume()


CASES = [("sphere", "sphere"), ("sphere", "torus"), ("torus", "box"), ("box", "cylinder"), ("cylinder", "sphere"),
         ("torus", "torus"), ("box", "box")]


@pytest.mark.parametrize("flags", [(False, False), (False, True), (True, False), (True, True)])
@pytest.mark.parametrize("seed, shapes", list(enumerate(CASES)))
def test_invariants_and_volume(seed, shapes, flags):
    m1, m2 = random_pair(np.random.default_rng(100 + seed), *shapes)
    expected = manifold_volume(m1, m2, *flags)
    try:
        (points, tris), counts = intersect(m1, m2, *flags)
    except Exception as e:
        assert type(e).__name__ == "MyError" and abs(expected) < 1e-9
        return
    assert sum(counts) == len(tris)
    assert sorted({i for t in tris for i in t}) == list(range(len(points)))
    p = np.array(points)
    for run, (lo, hi), source in [(0, (0, counts[0]), m1), (1, (counts[0], counts[0] + counts[1]), m2)]:
        src = {tuple(x) for x in source[0]}
        assert all(tuple(points[i]) in src for t in tris[lo:hi] for i in t), run
    assert volume(points, tris) == pytest.approx(expected, rel=1e-6, abs=1e-9)
    check_closed(points, tris)
    del p


def test_same_call_same_result_in_another_process():
    m1, m2 = random_pair(np.random.default_rng(7), "torus", "sphere")
    first = intersect(m1, m2, False, True)
    assert intersect(m1, m2, False, True) == first
    code = (
        "import json, sys, qboolean\n"
        "m1, m2 = json.load(sys.stdin)\n"
        "print(json.dumps(qboolean.pyintersect(tuple(m1), tuple(m2), False, True)))\n"
    )
    import json
    out = subprocess.run([sys.executable, "-c", code], input=json.dumps([m1, m2]), capture_output=True, text=True,
                         check=True).stdout
    assert json.loads(out) == json.loads(json.dumps(first))


def test_exception_classes_are_shared_across_modules_and_loads():
    from conftest import load_as

    import qdraft

    with pytest.raises(BaseException) as from_qdraft:
        qdraft.overhangs([], [], [0, 0, 1])
    assert type(from_qdraft.value) is panic_class()
    fresh = load_as("qboolean")
    with pytest.raises(my_error_class()):
        fresh.pyintersect(CUBE, as_mesh(*box((3, 3, 3), (4, 4, 4))), False, False)
    with pytest.raises(panic_class()):
        fresh.pyintersect(([], []), CUBE, False, False)

    # A PanicException raised by the caller's code is recognised by the other module as well.
    class Panics:
        def __float__(self):
            raise type(from_qdraft.value)("boom")

    with pytest.raises(BaseException) as resumed:
        qboolean.pyintersect(([[0, 0, Panics()]], [[0, 0, 0]]), CUBE, False, False)
    assert type(resumed.value) is panic_class()
    assert resumed.value.args == ("Unwrapped panic from Python code",)


@pytest.mark.parametrize("scale", [1e77, 1e154, 1e300, 1.7e308])
def test_flat_pillows_at_huge_magnitudes_end_cleanly(scale):
    # A triangle and its reverse (no volume) near the top of the double range:
    # cross products overflow to inf and inf - inf gives NaN. The call must end
    # with a result or an exception, never undefined behaviour (the sanitizer
    # run checks that).
    corners = [[0.0, 0.0, 0.0], [scale, 0.0, 0.0], [0.0, scale, 0.0]]
    inner = [[0.1 * scale, 0.1 * scale, 0.0], [0.9 * scale, 0.05 * scale, 0.0], [0.05 * scale, 0.8 * scale, 0.0]]
    pillows = [(corners, [[0, 1, 2], [0, 2, 1]]), (inner, [[0, 1, 2], [0, 2, 1]])]
    for a in pillows:
        for b in pillows:
            for flip2 in (False, True):
                try:
                    qboolean.pyintersect(a, b, False, flip2)
                except BaseException as e:  # MyError, or PanicException for a refused mesh
                    assert type(e).__name__ in ("MyError", "PanicException")


@pytest.mark.parametrize("exponent", [0, 256, 700, 1000, -300, -1000])
def test_extreme_magnitudes_give_the_scaled_result(exponent):
    # Two overlapping boxes scaled by 2^e: the same triangles, the points
    # scaled exactly, at magnitudes where products of four coordinates would
    # overflow or underflow.
    p1, t1 = box((-1, -1, -1), (1, 1, 1))
    p2 = p1 + [0.5, 0.3, 0.2]
    (want_points, want_tris), want_counts = qboolean.pyintersect((p1, t1), (p2, t1), False, False)
    s = 2.0 ** exponent
    (points, tris), counts = qboolean.pyintersect((p1 * s, t1), (p2 * s, t1), False, False)
    assert tris == want_tris and counts == want_counts
    assert points == [[c * s for c in p] for p in want_points]
    assert volume(np.asarray(want_points), np.asarray(want_tris)) == pytest.approx(1.5 * 1.7 * 1.8, rel=1e-12)


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer reserves more address space than any limit below")
def test_helper_thread_short_of_memory_raises_instead_of_ending_the_process():
    # The helper's thread-local block used to be allocated on first use, where
    # a failure aborts: with the address space capped a little above current
    # use, some caps ended the process (exit 127, "cannot allocate memory for
    # thread-local data") instead of raising.
    code = (
        "import resource, sys, numpy as np, qboolean\n"
        "sys.path.insert(0, sys.argv[1])\n"
        "from meshes import icosphere\n"
        "p, t = icosphere(7)\n"
        "a = (p, t.astype(np.uint64)); b = (p + [0.3, 0.2, 0.1], a[1])\n"
        "size = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
        "for extra in map(int, sys.argv[2:]):\n"
        "    cap = size + (extra << 20)\n"
        "    resource.setrlimit(resource.RLIMIT_AS, (cap, resource.RLIM_INFINITY))\n"
        "    try:\n"
        "        qboolean.pyintersect(a, b, False, True)\n"
        "        print(extra, 'ok', flush=True)\n"
        "    except MemoryError:\n"
        "        print(extra, 'MemoryError', flush=True)\n"
    )
    extras = [str(e) for e in range(90, 140, 5)]
    out = subprocess.run([sys.executable, "-c", code, os.path.dirname(__file__), *extras], capture_output=True,
                         text=True, timeout=300)
    assert out.returncode == 0, out.stderr[-500:]
    assert len(out.stdout.split("\n")) == len(extras) + 1


def test_open_soup_of_large_triangles_costs_about_its_output():
    # Every soup triangle crosses the sphere, so the sphere's pieces form a
    # fine arrangement and the result grows about quadratically; each piece
    # patch then needs an inside test against triangles whose boxes all hold
    # it. Per result triangle the cost must stay flat (it grew with the soup).
    import time
    sp, st = icosphere(2)
    per_triangle = {}
    for n in (250, 1000, 2500):
        rng = np.random.default_rng(n)
        soup = (rng.normal(size=(3 * n, 3)) * 0.8, np.arange(3 * n).reshape(n, 3))
        best = float("inf")
        for _ in range(2):
            t0 = time.perf_counter()
            (points, tris), counts = qboolean.pyintersect(soup, (sp, st), False, True)
            best = min(best, time.perf_counter() - t0)
        assert sum(counts) == len(tris)
        per_triangle[n] = best / len(tris)
    assert per_triangle[2500] < 3 * max(per_triangle[250], 1e-7), per_triangle


def _stacked(mesh, copies):
    points, tris = np.asarray(mesh[0], float), np.asarray(mesh[1])
    return (np.tile(points, (copies, 1)), np.concatenate([tris + len(points) * c for c in range(copies)]))


@pytest.mark.parametrize("second", ["sphere", "same box", "stacked"])
@pytest.mark.parametrize("flip2", [False, True])
def test_stacked_copies_of_a_shell_each_keep_what_one_copy_keeps(second, flip2):
    # Three exact copies of a box in one mesh: every copy's part of the
    # result is the single box's part, on the copy's own corners.
    def result(m1, m2):
        try:
            return qboolean.pyintersect(m1, m2, False, flip2)
        except my_error_class():
            return None

    single = box()
    other = {"sphere": (np.asarray(icosphere(2)[0]) * 0.8 + 0.3, icosphere(2)[1]),
             "same box": single, "stacked": _stacked(single, 2)}[second]
    one = result(single, single if second == "stacked" else other)
    three = result(_stacked(single, 3), other)
    assert (one is None) == (three is None)
    if three is None:
        return
    (p1, t1), c1 = one
    (points, tris), counts = three

    def mesh1_volume(p, t, c):
        return volume(p, t[:c[0]]) + volume(p, t[c[0] + c[1]:c[0] + c[1] + c[2]])

    assert counts[0] == 3 * c1[0] and counts[2] == 3 * c1[2]
    assert mesh1_volume(points, tris, counts) == pytest.approx(3 * mesh1_volume(p1, t1, c1))
    if second != "stacked":
        assert counts[1] == c1[1] and counts[3] == c1[3]


def test_stacked_copies_cost_about_one_copy():
    # N stacked boxes against themselves meet N^2 pairs of triangles; the
    # copies share the first copy's work instead.
    import time
    per_copy = {}
    for copies in (100, 1000, 8000):
        stack = _stacked(box(), copies)
        t0 = time.perf_counter()
        for flip2 in (False, True):
            try:
                qboolean.pyintersect(stack, stack, False, flip2)
            except my_error_class():
                assert flip2
        per_copy[copies] = (time.perf_counter() - t0) / copies
    assert per_copy[8000] < 5 * max(per_copy[100], 2e-6), per_copy


def test_long_flush_bars_scale_near_linearly():
    # A bar minus the same bar shifted half a unit along its length: every
    # side face is flush with four of the other's.
    import time
    per_triangle = {}
    for n in (1000, 10000, 100000):
        points, tris = bar(max(1, n // 8))
        shifted = (points + [0.5, 0.0, 0.0], tris)
        t0 = time.perf_counter()
        (p, t), counts = qboolean.pyintersect((points, tris), shifted, False, True)
        per_triangle[n] = (time.perf_counter() - t0) / len(tris)
        assert volume(p, t) == pytest.approx(0.5) and check_closed(p, t) == 0
    assert per_triangle[100000] < 8 * max(per_triangle[1000], per_triangle[10000], 2e-7), per_triangle
