"""trimesh adapters over qdraft and qboolean, with opt-in checks of the input.

Every function takes a ``trimesh.Trimesh``, a ``trimesh.Scene`` (its meshes are
concatenated with their transforms applied) or a ``(vertices, faces)`` pair, and
returns numpy arrays or a ``trimesh.Trimesh``.
"""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, List, Literal, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

import qboolean
import qdraft

from ._errors import MyError

if TYPE_CHECKING:
    import trimesh

__all__ = [
    "MeshCheckError", "MeshLike", "Operation", "as_arrays", "merge_vertices", "mesh_problems",
    "face_normals", "draft_faces", "blocked_vertices", "boolean", "SOURCES",
]

MeshLike = Union["trimesh.Trimesh", "trimesh.Scene", Tuple[npt.ArrayLike, npt.ArrayLike]]
Operation = Literal["intersection", "difference", "union"]
Vector = Union[Sequence[float], npt.NDArray[Any]]

# Labels of boolean() result faces, in the order of qboolean's four counts.
SOURCES = ("a", "b", "a cut", "b cut")

# Normals further than this from unit length are reported by the normals check.
UNIT_TOLERANCE = 1e-6


class MeshCheckError(ValueError):
    """A mesh failed a check that the caller asked for; ``problems`` holds one line per finding."""

    def __init__(self, name: str, problems: Sequence[str]) -> None:
        self.name = name
        self.problems = list(problems)
        super().__init__(f"{name}: " + "; ".join(self.problems))

    def __reduce__(self) -> Any:
        return (type(self), (self.name, self.problems))


def _trimesh() -> Any:
    try:
        import trimesh
    except ImportError as e:  # pragma: no cover - trimesh is in the test extra
        raise ImportError("this needs trimesh: pip install 'qgeom[trimesh]'") from e
    return trimesh


def as_arrays(mesh: MeshLike) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """Vertices (float64, shape (n, 3)) and faces (int64, shape (m, 3)) of a mesh, scene or pair."""
    if hasattr(mesh, "geometry") and hasattr(mesh, "graph"):
        # A Scene, as trimesh loads 3MF and some OBJ files: dump() applies each node's transform.
        meshes = [g for g in mesh.dump() if hasattr(g, "faces") and len(g.faces)]
        if not meshes:
            raise ValueError("the scene holds no triangle mesh")
        vertices, faces, offset = [], [], 0
        for g in meshes:
            vertices.append(np.asarray(g.vertices, np.float64))
            faces.append(np.asarray(g.faces, np.int64) + offset)
            offset += len(g.vertices)
        return np.concatenate(vertices), np.concatenate(faces)
    if hasattr(mesh, "vertices") and hasattr(mesh, "faces"):
        v, f = mesh.vertices, mesh.faces
    elif isinstance(mesh, (tuple, list)) and len(mesh) == 2:
        v, f = mesh
    else:
        raise TypeError(f"expected a trimesh.Trimesh, a trimesh.Scene or a (vertices, faces) pair, "
                        f"got {type(mesh).__name__}")
    vertices = np.asarray(v, np.float64)
    faces = np.asarray(f)
    if vertices.size == 0:
        vertices = vertices.reshape(0, 3)
    if faces.size == 0:
        faces = faces.reshape(0, 3)
    if vertices.ndim != 2 or vertices.shape[1] != 3:
        raise ValueError(f"vertices must have shape (n, 3), not {vertices.shape}")
    if faces.ndim != 2 or faces.shape[1] != 3:
        raise ValueError(f"faces must have shape (m, 3), not {faces.shape}")
    if faces.dtype.kind not in "iu" and faces.size:
        raise TypeError(f"faces must hold integers, not {faces.dtype}")
    return vertices, faces.astype(np.int64)


def merge_vertices(vertices: npt.NDArray[np.float64], faces: npt.NDArray[np.int64]) -> tuple[
        npt.NDArray[np.float64], npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Merges vertices with exactly equal coordinates (as an STL file repeats them).

    Returns the merged vertices (in order of first occurrence), the faces renumbered, and for
    each input vertex its index in the merged list. Nothing is rounded: vertices that differ in
    the last bit stay apart.
    """
    if len(vertices) == 0:
        return vertices, faces, np.zeros(0, np.int64)
    # + 0.0 makes -0.0 and 0.0 the same point.
    _, first, inverse = np.unique(vertices + 0.0, axis=0, return_index=True, return_inverse=True)
    inverse = inverse.reshape(-1)
    order = np.argsort(first, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    index = rank[inverse].astype(np.int64)
    return vertices[first[order]], index[faces] if len(faces) else faces, index


def face_normals(vertices: npt.NDArray[np.float64], faces: npt.NDArray[np.int64]) -> tuple[
        npt.NDArray[np.float64], npt.NDArray[np.bool_]]:
    """Unit normals of the faces (right-hand rule) and a mask of faces without one (no area)."""
    tri = vertices[faces]
    n = np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])
    length = np.sqrt((n * n).sum(axis=1))
    degenerate = ~(length > 0) | ~np.isfinite(length)
    with np.errstate(invalid="ignore", divide="ignore"):
        unit = n / length[:, None]
    unit[degenerate] = 0.0
    return unit, degenerate


def mesh_problems(mesh: MeshLike, *, closed: bool = True, merged: bool = True,
                  normals: Optional[npt.ArrayLike] = None, areas: bool = False) -> List[str]:
    """What is wrong with a mesh for the analyses, one sentence each; empty when nothing is.

    ``closed``: every directed edge is matched by exactly one reverse edge, so the surface is
    closed and consistently oriented (what ``overhangs`` and ``pyintersect`` assume).
    ``merged``: no two vertices share their coordinates. ``normals``: face normals given by the
    caller must be of unit length (``qdraft`` does not normalise them). ``areas``: every face has
    an area, so a normal.
    """
    vertices, faces = as_arrays(mesh)
    if len(faces) == 0:
        return ["the mesh has no faces"]
    bad = (faces < 0) | (faces >= len(vertices))
    if bad.any():
        return [f"{int(bad.any(axis=1).sum())} faces refer to vertices that do not exist "
                f"(indices outside 0..{len(vertices) - 1})"]
    problems: List[str] = []
    if merged:
        distinct = len(np.unique(vertices + 0.0, axis=0))
        if distinct < len(vertices):
            problems.append(f"{len(vertices) - distinct} of {len(vertices)} vertices repeat the coordinates of "
                            f"another, so faces are not connected (merge them: merge=True, or trimesh's "
                            f"process=True)")
    if closed:
        f = faces
        repeats = int(((f[:, 0] == f[:, 1]) | (f[:, 1] == f[:, 2]) | (f[:, 2] == f[:, 0])).sum())
        if repeats:
            problems.append(f"{repeats} faces use the same vertex twice")
        edges = np.concatenate([f[:, [0, 1]], f[:, [1, 2]], f[:, [2, 0]]])
        n = len(vertices)
        keys, counts = np.unique(edges[:, 0] * n + edges[:, 1], return_counts=True)
        twice = int((counts > 1).sum())
        if twice:
            problems.append(f"{twice} directed edges are used by more than one face "
                            f"(faces not consistently oriented, or more than two faces at an edge)")
        unmatched = int((~np.isin((keys % n) * n + keys // n, keys)).sum())
        if unmatched:
            problems.append(f"{unmatched} edges have no face on their other side (the mesh is open)")
    if normals is not None:
        given = np.asarray(normals, np.float64)
        if given.shape != faces.shape:
            problems.append(f"normals have shape {given.shape}, faces {faces.shape}")
        else:
            length = np.sqrt((given * given).sum(axis=1))
            off = ~(np.abs(length - 1.0) <= UNIT_TOLERANCE)
            if off.any():
                problems.append(f"{int(off.sum())} normals are not of unit length "
                                f"(lengths from {np.nanmin(length):.6g} to {np.nanmax(length):.6g})")
    if areas:
        _, degenerate = face_normals(vertices, faces)
        if degenerate.any():
            problems.append(f"{int(degenerate.sum())} faces have no area, so no normal")
    return problems


def _checked(mesh: MeshLike, name: str, **checks: Any) -> None:
    problems = mesh_problems(mesh, **checks)
    if problems:
        raise MeshCheckError(name, problems)


def _unit(direction: Vector, what: str) -> npt.NDArray[np.float64]:
    d = np.asarray(direction, np.float64).reshape(-1)
    length = float(np.sqrt((d * d).sum())) if d.shape == (3,) else 0.0
    if not (length > 0 and math.isfinite(length)):
        raise ValueError(f"{what} must be a finite, non-zero vector of three numbers, not {direction!r}")
    return d / length


def draft_faces(mesh: MeshLike, pull: Vector = (0.0, 0.0, 1.0), min_draft_deg: float = 1.0, *,
                normals: Optional[npt.ArrayLike] = None, check: bool = False) -> npt.NDArray[np.bool_]:
    """Faces with less than ``min_draft_deg`` degrees of draft: True where a face cannot be released.

    A face releases with the half of the mould that moves along ``pull`` when its normal is within
    ``90 - min_draft_deg`` degrees of ``pull``, or with the other half when it is within that of
    ``-pull``. ``pull`` need not be of unit length. Normals are computed from the faces unless
    ``normals`` are given; given ones are normalised (``check=True`` refuses those that are not of
    unit length instead, with a MeshCheckError). Faces without area have no normal and never fail;
    without ``normals``, ``check=True`` refuses them.
    """
    if not 0.0 <= min_draft_deg < 90.0:
        raise ValueError(f"min_draft_deg must be at least 0 and below 90, not {min_draft_deg!r}")
    vertices, faces = as_arrays(mesh)
    if check:
        _checked((vertices, faces), "mesh", closed=False, merged=False, normals=normals, areas=normals is None)
    unit, degenerate = face_normals(vertices, faces)
    if normals is not None:
        given = np.asarray(normals, np.float64)
        if given.shape != faces.shape:
            raise ValueError(f"normals must have shape {faces.shape}, not {given.shape}")
        length = np.sqrt((given * given).sum(axis=1))
        degenerate = ~(length > 0) | ~np.isfinite(length)
        with np.errstate(invalid="ignore", divide="ignore"):
            unit = np.where(degenerate[:, None], 0.0, given / length[:, None])
    if len(faces) == 0:
        return np.zeros(0, np.bool_)
    ref = _unit(pull, "pull")
    limit = math.radians(90.0 - min_draft_deg)
    with_pull = np.array(qdraft.draft_mask(unit, ref, limit, False), np.bool_)
    against = np.array(qdraft.draft_mask(unit, ref, limit, True), np.bool_)
    return ~(with_pull | against) & ~degenerate


def blocked_vertices(mesh: MeshLike, direction: Vector = (0.0, 0.0, 1.0), *, merge: bool = True,
                     check: bool = False) -> npt.NDArray[np.bool_]:
    """Vertices that the mesh itself stands in front of along ``direction``: one bool per vertex.

    With ``merge`` (the default) vertices with equal coordinates are merged first, as an STL file
    repeats them, and every copy gets the merged vertex's answer. ``check=True`` refuses an open or
    inconsistently oriented mesh (and, without ``merge``, repeated vertices) with a MeshCheckError
    before the native call.
    """
    vertices, faces = as_arrays(mesh)
    d = _unit(direction, "direction")
    index = None
    if merge:
        vertices, faces, index = merge_vertices(vertices, faces)
    if check:
        _checked((vertices, faces), "mesh", closed=True, merged=True)
    blocked = np.array(qdraft.overhangs(vertices, faces, d), np.bool_)
    return blocked if index is None else blocked[index]


def _empty_result() -> Any:
    tm = _trimesh()
    result = tm.Trimesh(vertices=np.zeros((0, 3)), faces=np.zeros((0, 3), np.int64), process=False)
    result.metadata["counts"] = (0, 0, 0, 0)
    return result


def boolean(a: MeshLike, b: MeshLike, operation: Operation = "intersection", *, merge: bool = True,
            check: bool = False) -> "trimesh.Trimesh":
    """Intersection, difference (``a`` minus ``b``) or union of two closed meshes as a trimesh.Trimesh.

    The result is closed and faces outwards when the inputs are. Its ``face_attributes["source"]``
    labels each face 0..3 (``SOURCES``: whole face of ``a``, whole face of ``b``, piece of a cut face
    of ``a``, piece of a cut face of ``b``), and ``metadata["counts"]`` holds qboolean's four counts.
    An empty result is an empty mesh. The union is the complement of the intersection of the two
    complements. ``merge`` merges repeated vertices first; ``check=True`` refuses open or
    inconsistently oriented inputs with a MeshCheckError naming ``a`` or ``b``.
    """
    flips = {"intersection": (False, False), "difference": (False, True), "union": (True, True)}
    if operation not in flips:
        raise ValueError(f"operation must be one of {', '.join(map(repr, flips))}, not {operation!r}")
    tm = _trimesh()
    meshes = []
    for name, mesh in (("a", a), ("b", b)):
        vertices, faces = as_arrays(mesh)
        if merge:
            vertices, faces, _ = merge_vertices(vertices, faces)
        if check:
            _checked((vertices, faces), name, closed=True, merged=True)
        meshes.append((vertices, faces))
    try:
        (points, tris), counts = qboolean.pyintersect(meshes[0], meshes[1], *flips[operation])
    except MyError:
        return _empty_result()
    vertices = np.array(points, np.float64).reshape(-1, 3)
    faces = np.array(tris, np.int64).reshape(-1, 3)
    if operation == "union":
        # The two complements' intersection faces into the union: turn it back outwards.
        faces = faces[:, [0, 2, 1]]
    source = np.repeat(np.arange(4, dtype=np.int8), counts)
    result = tm.Trimesh(vertices=vertices, faces=faces, process=False, face_attributes={"source": source})
    result.metadata["counts"] = tuple(int(c) for c in counts)
    return result
