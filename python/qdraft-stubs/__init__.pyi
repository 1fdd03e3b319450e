"""Draft angles and overhangs of triangle meshes (native code).

Vectors and points are sequences of three numbers or numpy arrays; lists of them are sequences
or numpy arrays of shape ``(n, 3)`` (trimesh's ``face_normals``, ``vertices``). Results are plain
Python lists. Every argument can also be passed by keyword. Calls hold the interpreter lock.
"""
from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt
from typing_extensions import TypeAlias

_Number: TypeAlias = Union[SupportsFloat, SupportsIndex]
_Array: TypeAlias = npt.NDArray[Union[np.floating[Any], np.integer[Any]]]
_Vector: TypeAlias = Union[Sequence[_Number], _Array]
_Vectors: TypeAlias = Union[Sequence[_Vector], _Array]
_Triangles: TypeAlias = Union[Sequence[Sequence[SupportsIndex]], npt.NDArray[np.integer[Any]]]

__all__ = ["overhangs", "normals2angles", "draft_mask"]

def overhangs(points: _Vectors, tris: _Triangles, normal: _Vector) -> list[bool]:
    """Which points have the mesh itself ahead of them along ``normal``: one bool per point.

    ``points`` (n, 3) and ``tris`` (m, 3) vertex indices form a closed, consistently oriented
    mesh; ``normal`` is a direction (any length). A point on the underside of a part is blocked
    along the pull direction.

    Raises PanicException (a BaseException subclass, not caught by ``except Exception``) for a
    mesh without triangles, a triangle index out of range or a mesh that is not consistently
    oriented; TypeError or ValueError for arguments of the wrong type or shape; MemoryError.
    """

def normals2angles(normals: _Vectors, ref_normal: _Vector, degrees: bool) -> list[float]:
    """The angle between each normal and ``ref_normal``: in degrees when ``degrees`` is True,
    else in radians, from 0 to 180 degrees (pi).

    Inputs are not normalised: pass unit vectors. A non-unit normal gives a wrong angle or nan.
    ``degrees`` must be a Python bool. Raises TypeError or ValueError for bad arguments.
    """

def draft_mask(normals: _Vectors, ref_normal: _Vector, value: SupportsFloat, invert: bool) -> list[bool]:
    """True for each normal whose angle to ``ref_normal`` (to ``-ref_normal`` when ``invert``) is
    less than ``value``, in radians.

    With the pull direction as ``ref_normal`` and ``value = radians(90 - required draft)``, a face
    releases with the moving half of the mould where the mask is True, or with the fixed half where
    the mask with ``invert=True`` is. Normals must be unit vectors (nan angles give False).
    ``invert`` must be a Python bool. Raises TypeError or ValueError for bad arguments.
    """
