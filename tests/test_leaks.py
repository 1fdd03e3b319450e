"""Repeated calls leave reference counts and memory unchanged, on success and on failure."""
import gc
import resource
import sys

import numpy as np
import pytest

import qboolean
import qdraft
from conftest import UNDER_ASAN
from meshes import box

BOX = box((-1, -1, -1), (1, 1, 1))
BOX_LISTS = (BOX[0].tolist(), BOX[1].tolist())
OTHER = (box((0, 0, 0), (2, 2, 2))[0].tolist(), BOX[1].tolist())
FAR = (box((5, 5, 5), (6, 6, 6))[0].tolist(), BOX[1].tolist())
BAD = (BOX_LISTS[0], BOX_LISTS[1] + [[0, 2, 1]])

NORMALS = [[0.0, 0.6, 0.8], (1.0, 0.0, 0.0), [0.0, 0.0, -1.0]]
REF = [0.0, 0.0, 1.0]


class Raises:
    def __float__(self):
        raise RuntimeError("no")


def calls():
    arr = np.array(NORMALS)
    return [
        lambda: qdraft.normals2angles(NORMALS, REF, True),
        lambda: qdraft.normals2angles(arr, REF, False),
        lambda: qdraft.draft_mask(NORMALS, REF, 0.5, False),
        lambda: qdraft.normals2angles(NORMALS, REF, 1),                     # bad bool
        lambda: qdraft.normals2angles([[0, 0]], REF, True),                 # bad length
        lambda: qdraft.normals2angles([[0, 0, Raises()]], REF, True),       # caller's code raises
        lambda: qdraft.normals2angles(NORMALS, "abc", True),                # prefixed interpreter error
        lambda: qdraft.draft_mask(NORMALS, REF, 0.5, False, 1),             # binding error
        lambda: qdraft.draft_mask(NORMALS, REF, value=0.5, bogus=True),
        lambda: qdraft.overhangs(*BOX_LISTS, REF),
        lambda: qdraft.overhangs(*BAD, REF),                                  # PanicException
        lambda: qboolean.pyintersect(BOX_LISTS, OTHER, False, True),
        lambda: qboolean.pyintersect(BOX_LISTS, FAR, False, False),          # MyError
        lambda: qboolean.pyintersect(BOX_LISTS, BAD, False, False),          # PanicException
        lambda: qboolean.pyintersect(BOX_LISTS, OTHER, False, 0),            # conversion error
    ]


@pytest.mark.parametrize("index", range(15))
def test_reference_counts_unchanged(index):
    call = calls()[index]
    tracked = [NORMALS, REF, *NORMALS, *NORMALS[0], *REF, BOX_LISTS, *BOX_LISTS, *BOX_LISTS[0][:3], OTHER, BAD]
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(200):
        try:
            call()
        except BaseException:
            pass
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == before


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer quarantines freed memory")
def test_memory_is_released():
    normals = np.random.default_rng(0).normal(size=(20000, 3)).tolist()

    def churn():
        for _ in range(30):
            qdraft.normals2angles(normals, REF, True)
            qdraft.draft_mask(normals, REF, 0.5, True)
            try:
                qdraft.normals2angles(normals + [[0, 0]], REF, True)
            except ValueError:
                pass
            qboolean.pyintersect(BOX_LISTS, OTHER, False, True)
            try:
                qboolean.pyintersect(BOX_LISTS, BAD, False, True)
            except BaseException:
                pass

    churn()
    gc.collect()
    start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(5):
        churn()
    gc.collect()
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start
    assert grown_kib < 8 * 1024
