"""normals2angles and draft_mask: values bit for bit, NaN, infinities, signed zeros."""
import math
import random
import subprocess
import sys

import numpy as np
import pytest

import qdraft
from conftest import UNDER_ASAN, bits, reference_angle

PI = 3.141592653589793
HALF_PI = 1.5707963267948966
DEG = 57.29577951308232
Z = [0.0, 0.0, 1.0]


@pytest.mark.parametrize("degrees", [False, True])
def test_empty_input(degrees):
    assert qdraft.normals2angles([], Z, degrees) == []
    assert qdraft.draft_mask([], Z, 1.0, degrees) == []


@pytest.mark.parametrize(
    "normal, ref, radians, degrees",
    [
        ([0, 0, 1], [0, 0, 1], 0.0, 0.0),
        ([0, 0, 1], [0, 0, -1], PI, 180.0),
        ([1, 0, 0], [0, 0, 1], HALF_PI, 90.0),
        ([0, 0, 2], [0, 0, 1], math.nan, math.nan),        # product 2: no clamping
        ([5.0, -3.0, 1e300], [0, 0, 0], HALF_PI, 90.0),     # zero reference
        ([-0.0, -0.0, -0.0], [0, 0, 1], HALF_PI, 90.0),
        ([math.nan, 0, 0], [0, 0, 1], math.nan, math.nan),
        ([math.inf, 0, 0], [0, 0, 1], math.nan, math.nan),  # inf * 0
        ([math.inf, 0, 0], [1, 0, 0], math.nan, math.nan),
        ([0, 0, 1], [0, 0, math.inf], math.nan, math.nan),
    ],
)
def test_known_angles(normal, ref, radians, degrees):
    [r] = qdraft.normals2angles([normal], ref, False)
    [d] = qdraft.normals2angles([normal], ref, True)
    assert type(r) is float and type(d) is float
    assert bits(r) == bits(radians) or (math.isnan(r) and math.isnan(radians))
    assert bits(d) == bits(degrees) or (math.isnan(d) and math.isnan(degrees))


def test_degrees_is_one_multiplication():
    normals = [[math.cos(t), math.sin(t), 0.0] for t in np.linspace(0, 3, 101)]
    rad = qdraft.normals2angles(normals, [1.0, 0.0, 0.0], False)
    deg = qdraft.normals2angles(normals, [1.0, 0.0, 0.0], True)
    assert [bits(r * DEG) for r in rad] == [bits(d) for d in deg]


def random_unitish(rng):
    v = [rng.uniform(-1, 1) for _ in range(3)]
    n = math.sqrt(sum(c * c for c in v)) or 1.0
    return [c / n for c in v]


def test_random_normals_bit_for_bit():
    rng = random.Random(11)
    normals = [random_unitish(rng) for _ in range(3000)]
    # Near the domain edge of acos: rounding just past 1 must give NaN, not a clamp.
    normals += [[0.6, 0.8, 0.0], [0.8, 0.6, 0.0], [1e-8, 1.0, 1e-8]]
    refs = [random_unitish(rng) for _ in range(4)] + [[0.6, 0.8, 0.0]]
    for ref in refs:
        got = qdraft.normals2angles(normals, ref, False)
        want = [reference_angle(n, ref) for n in normals]
        assert [bits(g) for g in got] == [bits(w) if not math.isnan(w) else bits(g) for w, g in zip(want, got)]
        assert [math.isnan(g) for g in got] == [math.isnan(w) for w in want]
        deg = qdraft.normals2angles(np.array(normals), ref, True)
        assert [bits(d) for d in deg] == [bits(g * DEG) for g in got]


def test_accumulation_order_matters():
    # x*rx + y*ry is rounded before z*rz is added: a different order changes the result.
    n = [-0.9130254192869451, 0.406764177207672, 0.9663754346193478]
    r = [0.18636746076011512, -0.21280062724417204, -0.6593016062886374]
    [got] = qdraft.normals2angles([n], r, False)
    assert bits(got) == bits(reference_angle(n, r))
    assert got != math.acos(n[2] * r[2] + n[1] * r[1] + n[0] * r[0])


@pytest.mark.parametrize(
    "normal, ref, value, invert, expected",
    [
        ([0, 0, 1], Z, 1e-300, False, True),
        ([0, 0, 1], Z, 0.0, False, False),          # strict comparison
        ([0, 0, 1], Z, PI, True, False),            # angle pi against the flipped reference
        ([0, 0, 1], Z, math.nextafter(PI, 4), True, True),
        ([1, 0, 0], Z, HALF_PI, False, False),      # equal to the threshold
        ([1, 0, 0], Z, HALF_PI, True, False),
        ([1, 0, 0], Z, 90.0, False, True),          # radians, not degrees
        ([0, 0, 2], Z, 90.0, False, False),         # NaN angle
        ([0, 0, 1], Z, math.nan, False, False),
        ([0, 0, 1], Z, math.inf, False, True),
        ([0, 0, -1], Z, 0.1, True, True),
        ([0, 0, -1], Z, 0.1, False, False),
    ],
)
def test_draft_mask_cases(normal, ref, value, invert, expected):
    result = qdraft.draft_mask([normal], ref, value, invert)
    assert result == [expected]
    assert type(result[0]) is bool


def test_invert_negates_the_reference_not_the_angle():
    # Against (-0.0, -0.0, -0.0) the products are signed zeros: angle pi/2 either way.
    assert qdraft.draft_mask([[1, 0, 0]], [0.0, 0.0, 0.0], math.nextafter(HALF_PI, 4), True) == [True]
    rng = random.Random(5)
    normals = [random_unitish(rng) for _ in range(500)]
    ref = random_unitish(rng)
    neg = [-c for c in ref]
    for value in (0.3, 1.2, 2.9):
        assert qdraft.draft_mask(normals, ref, value, True) == [reference_angle(n, neg) < value for n in normals]
        assert qdraft.draft_mask(normals, ref, value, False) == [reference_angle(n, ref) < value for n in normals]


def test_output_order_and_length():
    normals = [[0, 0, 1], [1, 0, 0], [0, 0, -1]] * 7
    assert qdraft.normals2angles(normals, Z, True) == [0.0, 90.0, 180.0] * 7
    assert qdraft.draft_mask(normals, Z, 1.0, False) == [True, False, False] * 7


@pytest.mark.parametrize("value", [1e-12, 0.3, HALF_PI, 1.0471975511965979, 2.5, PI - 1e-9, PI])
def test_draft_mask_near_its_threshold_matches_acos(value):
    # Products within a few ulps of cos(value) on both sides, and far from it.
    c0 = math.cos(value)
    cs = [c0]
    for _ in range(40):
        cs.append(math.nextafter(cs[-1], 2.0))
    down = [c0]
    for _ in range(40):
        down.append(math.nextafter(down[-1], -2.0))
    cs += down + [c0 + 1e-9, c0 - 1e-9, c0 + 2e-9, c0 - 2e-9, 1.0, -1.0, 1.0000000000000002, -1.0000000000000002]
    normals = [[c, 0.0, 0.0] for c in cs]
    want = [reference_angle(n, [1.0, 0.0, 0.0]) < value for n in normals]
    assert qdraft.draft_mask(normals, [1.0, 0.0, 0.0], value, False) == want
    assert qdraft.draft_mask(np.array(normals), [1.0, 0.0, 0.0], value, False) == want


def test_array_changed_by_a_later_argument_is_read_as_it_was():
    arr = np.array([[0.0, 0.0, 1.0], [0.0, 0.0, 1.0]])

    class Wipes:
        def __float__(self):
            arr[:] = -1.0
            return 0.5

    assert qdraft.draft_mask(arr, [0, 0, 1], Wipes(), False) == [True, True]
    arr[:] = [0.0, 0.0, 1.0]
    assert qdraft.normals2angles(arr, [0, 0, Wipes()], False) == [1.0471975511965979] * 2


def test_collection_during_the_call_cannot_change_an_array_read_in_place():
    # A collection inside the call (before 3.12, at the allocation of the
    # result list) runs arbitrary code; this callback rewrites the array that
    # is being read in place. Threshold 1: the call's first tracked allocation
    # collects.
    import gc

    arr = np.tile([0.0, 0.6, 0.8], (1000, 1))
    want = qdraft.normals2angles(arr.copy(), [0.0, 0.0, 1.0], False)
    ref = [0.0, 0.0, 1.0]
    wiped = []

    def wipe(phase, info):
        if phase == "start" and not wiped:
            wiped.append(True)
            arr[:] = 0.0

    threshold = gc.get_threshold()
    gc.collect()
    gc.callbacks.append(wipe)
    gc.set_threshold(1)
    try:
        got = qdraft.normals2angles(arr, ref, False)
    finally:
        gc.callbacks.remove(wipe)
        gc.set_threshold(*threshold)
    assert got == want


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's operator new reports a failed allocation and aborts")
def test_native_out_of_memory_is_a_memory_error():
    # A trillion rows over one: the mask's buffer cannot be had, and nothing is
    # read before it is allocated.
    rows = np.lib.stride_tricks.as_strided(np.array([0.0, 0.0, 1.0]), shape=(10**12, 3), strides=(0, 8))
    with pytest.raises(MemoryError):
        qdraft.draft_mask(rows, [0.0, 0.0, 1.0], 0.5, False)


def many_normals(n, seed):
    """Unit-ish normals with non-finite rows and products right at a draft threshold mixed in."""
    rng = np.random.default_rng(seed)
    arr = rng.normal(size=(n, 3))
    arr /= np.linalg.norm(arr, axis=1)[:, None]
    c0 = math.cos(0.3)
    near = [c0, math.nextafter(c0, 2.0), math.nextafter(c0, -2.0), c0 + 1e-9, 1.0000000000000002]
    picks = rng.choice(n, size=200, replace=False)
    for k, i in enumerate(picks):
        arr[i] = [near[k % len(near)], 0.0, 0.0] if k % 4 else [math.nan, math.inf, -math.inf][k % 3 : k % 3 + 1] * 3
    return arr


@pytest.mark.parametrize("layout", ["list", "C array", "Fortran array", "strided view"])
@pytest.mark.parametrize("n", [70_001, 70_002])
def test_many_normals_bit_for_bit(layout, n):
    # Large enough that the work is shared between threads; odd and even lengths.
    arr = many_normals(n, n)
    rows = arr.tolist()
    given = {
        "list": rows,
        "C array": arr,
        "Fortran array": np.asfortranarray(arr),
        "strided view": np.repeat(arr, 2, axis=0)[::2],
    }[layout]
    ref = [1.0, 0.0, 0.0]
    want = [reference_angle(r, ref) for r in rows]
    got = qdraft.normals2angles(given, ref, False)
    assert [bits(g) for g in got] == [bits(w) for w in want]
    deg = qdraft.normals2angles(given, ref, True)
    assert [bits(d) for d in deg] == [bits(w * DEG) for w in want]
    for invert in (False, True):
        flipped = [-c for c in ref] if invert else ref
        mask = [reference_angle(r, flipped) < 0.3 for r in rows]
        assert qdraft.draft_mask(given, ref, 0.3, invert) == mask


def test_allocation_failures_while_building_many_angles():
    # Failing allocations at several points while a helper thread is busy:
    # the call fails cleanly and the next one works.
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("no allocation hooks")
    code = """
import _testcapi, numpy as np, qdraft
a = np.full((300_000, 3), 0.5)
for start in (1, 1_000, 100_000, 250_000):
    _testcapi.set_nomemory(start, 0)
    try:
        qdraft.normals2angles(a, [0.0, 0.0, 1.0], False)
        raised = None
    except BaseException as e:
        raised = e
    finally:
        _testcapi.remove_mem_hooks()
    assert type(raised).__name__ in ("MemoryError", "PanicException"), repr(raised)
print(len(qdraft.normals2angles(a, [0.0, 0.0, 1.0], True)))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["300000"]
