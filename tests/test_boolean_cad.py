"""pyintersect on machined parts: flush tools and touching parts with known volumes, exported CAD parts
in random and axis-aligned poses against manifold3d, and parts drilled over and over."""
import itertools
import math

import numpy as np
import pytest

from cad import PARTS, check, grid_pose, manifold, part, place, random_pose, reference, rotation, scale
from meshes import box, cylinder

pytest.importorskip("manifold3d")

FLAGS = [(False, False), (False, True), (True, False), (True, True)]
FLAG_IDS = ["and", "a-b", "b-a", "or"]


def prism_volume(n, r, h):
    return n / 2 * r * r * math.sin(2 * math.pi / n) * h


def rod(x, y, z0, z1, r, n=16):
    """An n-sided drill along z from z0 to z1."""
    return cylinder(r, z1 - z0, n, (x, y, (z0 + z1) / 2))


def other_diagonals(mesh):
    """The same box with each face split along its other diagonal."""
    p, t = mesh
    a, b, c, d = t[0::2, 0], t[0::2, 1], t[0::2, 2], t[1::2, 2]
    return p, np.stack([np.stack([a, b, d], 1), np.stack([b, c, d], 1)], 1).reshape(-1, 3)


def on_axes(mesh):
    """Coordinates within 1e-12 of zero made exactly zero, so a plane through the axis hits vertices."""
    p, t = mesh
    return np.where(np.abs(p) < 1e-12, 0.0, p), t


def turned(mesh, n):
    """An n-sided prism turned by one side about its axis, its corners a few ulps off the old ones."""
    rot = np.array([[math.cos(2 * math.pi / n), -math.sin(2 * math.pi / n), 0],
                    [math.sin(2 * math.pi / n), math.cos(2 * math.pi / n), 0], [0, 0, 1]])
    return mesh[0] @ rot.T, mesh[1]


def renumbered(mesh, n):
    """The same turn done exactly: each corner of the prism takes its neighbour's place."""
    p, t = mesh
    step = np.r_[(np.arange(n) + 1) % n, n + (np.arange(n) + 1) % n, 2 * n, 2 * n + 1]
    return p[step], t


BLOCK = box((0, 0, 0), (4, 3, 2))        # volume 24
DISC = prism_volume(24, 0.5, 1.0)         # the drill's cross-section area
BIG = 20 * 20 * 20


def catalogue():
    """(name, a, b, volume of a, volume of b, volume of a and b, slack for slivers thinner than 1.5e-5)."""
    yield "flush pocket", BLOCK, box((1, 1, 1), (3, 2, 2)), 24, 2, 2, None
    yield "flush drill", BLOCK, rod(2, 1.5, 0, 2, 0.5, 24), 24, 2 * DISC, 2 * DISC, None
    yield "flush slot", BLOCK, box((1.5, 0, 1), (2.5, 3, 2)), 24, 3, 3, None
    yield "flush step", BLOCK, box((3, 0, 1), (5, 3, 3)), 24, 12, 3, None
    yield "same block", BLOCK, BLOCK, 24, 24, 24, None
    yield "same block, other diagonals", BLOCK, other_diagonals(BLOCK), 24, 24, 24, None
    yield "touching face", BLOCK, box((4, 0, 0), (8, 3, 2)), 24, 24, 0, None
    yield "touching part of a face", BLOCK, box((4, 1, 0.5), (6, 2, 1.5)), 24, 2, 0, None
    yield "touching edge", BLOCK, box((4, 0, 2), (6, 3, 4)), 24, 12, 0, None
    yield "touching corner", BLOCK, box((4, 3, 2), (5, 4, 3)), 24, 1, 0, None
    yield "half-space on a face", BLOCK, box((-10, -10, -18), (10, 10, 2)), 24, BIG, 24, None
    yield "half-space through the middle", BLOCK, box((-10, -10, -19), (10, 10, 1)), 24, BIG, 12, None
    axle, v = on_axes(cylinder(1.0, 2.0, 24)), prism_volume(24, 1.0, 2.0)
    yield "half-space through vertices", axle, box((-10, -20, -10), (10, 0, 10)), v, BIG, v / 2, None
    for n in (6, 12, 24):
        prism = cylinder(1.0, 2.0, n)
        v = prism_volume(n, 1.0, 2.0)
        yield f"{n}-sided prism turned by 360/{n}", prism, turned(prism, n), v, v, v, None
    prism, v = cylinder(1.0, 2.0, 12), prism_volume(12, 1.0, 2.0)
    yield "12-sided prism turned exactly", prism, renumbered(prism, 12), v, v, v, None
    for eps in (1e-7, 1e-5, 1e-3):
        yield f"pocket overshooting by {eps:g}", BLOCK, box((1, 1, 1), (3, 2, 2 + eps)), 24, 2 * (1 + eps), 2, 3e-5
        yield (f"drill overshooting by {eps:g}", BLOCK, rod(2, 1.5, -eps, 2 + eps, 0.5, 24), 24, (2 + 2 * eps) * DISC,
               2 * DISC, 3e-5 * DISC)
    for d in (1e-7, 1e-4):
        yield f"copy shifted by {d:g} along x", BLOCK, box((d, 0, 0), (4 + d, 3, 2)), 24, 24, (4 - d) * 6, 9e-5
        yield (f"copy shifted by {d:g} diagonally", BLOCK, box((d, d, d), (4 + d, 3 + d, 2 + d)), 24, 24,
               (4 - d) * (3 - d) * (2 - d), 4e-4)


CATALOGUE = list(catalogue())


def expected_volume(va, vb, vab, flip1, flip2):
    if flip1 and flip2:
        return -(va + vb - vab)
    return vb - vab if flip1 else va - vab if flip2 else vab


@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
@pytest.mark.parametrize("name, a, b, va, vb, vab, slack", CATALOGUE, ids=[c[0] for c in CATALOGUE])
def test_catalogue(name, a, b, va, vb, vab, slack, flags):
    check(a, b, *flags, expected_volume(va, vb, vab, *flags), slack)


@pytest.mark.parametrize("name, a, b, va, vb, vab, slack", CATALOGUE, ids=[c[0] for c in CATALOGUE])
def test_reference_agrees_with_the_catalogue(name, a, b, va, vb, vab, slack):
    # The reference for the parts below, checked where the answer is known.
    ma, mb = manifold(a), manifold(b)
    for flags in FLAGS:
        want = expected_volume(va, vb, vab, *flags)
        assert reference(ma, mb, *flags) == pytest.approx(want, rel=1e-9, abs=1e-12 * scale(a, b) ** 3)


PAIRS = list(itertools.combinations_with_replacement(PARTS, 2))
PAIR_IDS = ["-".join(p) for p in PAIRS]


def compare(m1, m2, flags):
    check(m1, m2, *flags, reference(manifold(m1), manifold(m2), *flags))


@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("names", PAIRS, ids=PAIR_IDS)
def test_turned_parts(names, seed, flags):
    rng = np.random.default_rng([seed, *map(PARTS.index, names)])
    compare(random_pose(rng, part(names[0]), 15), random_pose(rng, part(names[1]), 15), flags)


@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("names", PAIRS, ids=PAIR_IDS)
def test_mated_parts(names, seed, flags):
    rng = np.random.default_rng([100 + seed, *map(PARTS.index, names)])
    m1 = place(part(names[0]))
    compare(m1, grid_pose(rng, m1, part(names[1])), flags)


@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
@pytest.mark.parametrize("names", [("housing", "plate"), ("tee", "shaft"), ("bracket", "gear"), ("plate", "plate")],
                         ids="-".join)
@pytest.mark.parametrize("pose", ["turned", "mated"])
def test_fine_parts(pose, names, flags):
    rng = np.random.default_rng([7, *map(PARTS.index, names)])
    m1 = place(part(names[0], "fine"))
    m2 = (random_pose(rng, part(names[1], "fine"), 10) if pose == "turned"
          else grid_pose(rng, m1, part(names[1], "fine")))
    compare(m1, m2, flags)


def along_x(y, z, x0, x1, r):
    return place(rod(-z, y, x0, x1, r), [[0, 0, 1], [0, 1, 0], [-1, 0, 0]])


def along_y(x, z, y0, y1, r):
    return place(rod(x, -z, y0, y1, r), [[1, 0, 0], [0, 0, 1], [0, -1, 0]])


CHAINS = {
    # Plate: a through hole, one across the slot, one enlarging a hole, a notch in a rounded corner,
    # a blind hole flush with the top, a bore as wide as a counterbore and ending on its floor.
    "plate": ("plate", "coarse", np.eye(3),
              [rod(-20, 0, -10, 10, 2.5), rod(0, 0, -10, 10, 5), rod(35, 22, -10, 10, 5), rod(48, 33, -10, 10, 4),
               rod(-20, -20, 0, 4, 3), rod(-35, -22, 2.5, 10, 6.5)]),
    # Housing, turned at random: cross holes through the walls, ribs, bosses and the pocket.
    "housing": ("housing", "coarse", rotation(np.random.default_rng(11)),
                [along_x(y, 20, -50, 50, 3) for y in (-20, 0, 20)]
                + [along_y(x, 20, -50, 50, 2.5) for x in (-25, 0, 25)]),
    # Bracket: enlarged and counterbored holes, a new hole, the upright's hole redrilled as wide,
    # a notch in the rounded corner, a groove along the fillet starting on the base's top face.
    "bracket": ("bracket", "fine", np.eye(3),
                [rod(40, 10, -5, 10, 4), rod(20, 20, -5, 10, 3), along_x(10, 35, -5, 10, 3.25), rod(40, 30, 3, 10, 5),
                 rod(60, 0, -5, 10, 6), rod(6, 20, 6, 50, 1.5)]),
}


@pytest.mark.parametrize("name", CHAINS)
def test_drilled_again_and_again(name):
    part_name, quality, rot, drills = CHAINS[name]
    current = place(part(part_name, quality), rot)
    ref = manifold(current)
    for step, d in enumerate(drills):
        d = place(d, rot)
        ref = ref - manifold(d)
        try:
            current = check(current, d, False, True, ref.volume())
        except AssertionError as e:
            raise AssertionError(f"drilling {step + 1}: {e}") from None


def with_needle():
    """BLOCK's top front edge split at its middle by a zero-area triangle, as edge repairs leave them."""
    points, tris = BLOCK
    a, b = 4, 5  # (0, 0, 2) and (4, 0, 2)
    points = np.vstack([points, [[2.0, 0.0, 2.0]]])
    m = len(points) - 1
    out = []
    for t in tris.tolist():
        k = [i for i in range(3) if t[i] == a and t[(i + 1) % 3] == b]
        out += [[a, m, t[(k[0] + 2) % 3]], [m, b, t[(k[0] + 2) % 3]]] if k else [t]
    return points, np.array(out + [[b, m, a]])


@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
@pytest.mark.parametrize("x0, x1, z0", [(1, 3, 1), (1.8, 2.2, 1.5), (2, 3, 1), (1, 2, 0.5), (0.5, 1.5, 2)])
def test_cut_through_a_zero_area_triangle(x0, x1, z0, flags):
    # The tool crosses the split edge, through its middle vertex in some cases.
    tool = box((x0, -1, z0), (x1, 1, 3))
    both = (x1 - x0) * 1 * (2 - z0)
    check(with_needle(), tool, *flags, expected_volume(24, (x1 - x0) * 2 * (3 - z0), both, *flags))
