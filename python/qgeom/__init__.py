"""qgeom: draft, undercut and boolean checks of triangle meshes, over the native qdraft and qboolean.

- trimesh adapters: ``draft_faces``, ``blocked_vertices``, ``boolean`` (numpy arrays and
  ``trimesh.Trimesh`` out), opt-in input checks (``mesh_problems``, ``check=True``);
- batches: ``check_part`` and ``check_parts`` (process pool or dask.distributed client);
- ``MyError`` and ``PanicException``, the native modules' exception classes, importable here;
- the ``qgeom-check`` command (also ``python -m qgeom``).
"""
from ._errors import MyError, PanicException
from .batch import MESH_SUFFIXES, CheckReport, check_part, check_parts, load_part
from .mesh import (
    SOURCES,
    MeshCheckError,
    as_arrays,
    blocked_vertices,
    boolean,
    draft_faces,
    face_normals,
    merge_vertices,
    mesh_problems,
)

__all__ = [
    "MESH_SUFFIXES", "SOURCES", "MeshCheckError", "MyError", "PanicException", "CheckReport",
    "as_arrays", "blocked_vertices", "boolean", "check_part", "check_parts", "draft_faces",
    "face_normals", "load_part", "merge_vertices", "mesh_problems",
]
