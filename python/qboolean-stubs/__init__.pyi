"""Intersection of closed triangle meshes (native code); a flipped mesh counts as its outside."""
from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt
from typing_extensions import TypeAlias

_Number: TypeAlias = Union[SupportsFloat, SupportsIndex]
_Array: TypeAlias = npt.NDArray[Union[np.floating[Any], np.integer[Any]]]
_Points: TypeAlias = Union[Sequence[Union[Sequence[_Number], _Array]], _Array]
_Triangles: TypeAlias = Union[Sequence[Sequence[SupportsIndex]], npt.NDArray[np.integer[Any]]]
# A (points, triangles) tuple, as trimesh's (mesh.vertices, mesh.faces); a list is refused.
_Mesh: TypeAlias = tuple[_Points, _Triangles]
# The four counts split the triangle list into consecutive runs.
_Counts: TypeAlias = list[int]

__all__ = ["pyintersect"]

def pyintersect(m1: _Mesh, m2: _Mesh, flip1: bool,
                flip2: bool) -> tuple[tuple[list[list[float]], list[list[int]]], _Counts]:
    """The surface of the region inside both meshes, facing outwards, and four counts.

    ``m1`` and ``m2`` are closed, consistently oriented meshes as ``(points, triangles)`` tuples.
    ``flip1`` / ``flip2`` (Python bools) take a mesh inside-out, so that it counts as its outside:
    ``(a, b, False, True)`` is ``a`` minus ``b``; ``(a, b, True, True)`` is the outside of the
    union, facing into it (reverse every triangle for the union itself).

    Returns ``((points, triangles), counts)``: points as ``[x, y, z]`` lists in the inputs' units,
    triangles as index triples, and four counts that split the triangle list into runs, in order:
    whole triangles of ``m1``, whole triangles of ``m2``, pieces of cut triangles of ``m1``, pieces
    of cut triangles of ``m2``. Their sum is the number of triangles. The result is closed when
    the inputs are, and deterministic.

    Raises ``MyError("derp")`` (an Exception subclass; ``qgeom.MyError``) when the result is
    empty, including meshes that only touch; PanicException (a BaseException subclass,
    ``qgeom.PanicException``) for a mesh that is not consistently oriented or refers to a missing
    vertex; TypeError or ValueError for arguments of the wrong type or shape; MemoryError.
    """
