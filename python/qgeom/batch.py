"""Checks of many parts: in this process, in a process pool or on a dask.distributed cluster.

Every part gets its own row: a part that fails (an unreadable file, a mesh the native code
refuses with PanicException, a worker process that dies) is reported there and never stops or
hangs the batch.
"""
from __future__ import annotations

import concurrent.futures
import dataclasses
import multiprocessing
import os
import sys
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, List, Optional, Protocol, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from .mesh import MeshLike, Vector, _unit, as_arrays, blocked_vertices, draft_faces, merge_vertices


__all__ = ["MESH_SUFFIXES", "CheckInput", "CheckReport", "check_part", "check_parts", "load_part"]

MESH_SUFFIXES = (".stl", ".obj", ".ply", ".3mf")
CheckInput = Union[str, "os.PathLike[str]", MeshLike]

class Client(Protocol):
    """What check_parts uses of a dask.distributed.Client (so type checkers need not read dask)."""

    def submit(self, func: Callable[..., Any], *args: Any, **kwargs: Any) -> Any: ...

    def cancel(self, futures: Any, *args: Any, **kwargs: Any) -> Any: ...


# A batch shorter than this shows no progress bar (tqdm's delay, in seconds).
PROGRESS_DELAY = 2.0


@dataclasses.dataclass(frozen=True, eq=False)
class CheckReport:
    """The result of checking one part. Indices refer to the part's vertices after merging
    repeated ones and to its faces in file order; areas are in the file's units squared."""

    name: str
    faces: int = 0
    vertices: int = 0
    failing_faces: npt.NDArray[np.int64] = dataclasses.field(default_factory=lambda: np.zeros(0, np.int64))
    # None when undercuts were not checked.
    blocked_vertices: Optional[npt.NDArray[np.int64]] = None
    total_area: float = 0.0
    failing_area: float = 0.0
    affected_area: float = 0.0
    error: Optional[str] = None

    @property
    def ok(self) -> bool:
        """No error, no face failing the draft and no blocked vertex."""
        blocked = 0 if self.blocked_vertices is None else len(self.blocked_vertices)
        return self.error is None and len(self.failing_faces) == 0 and blocked == 0

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, CheckReport):
            return NotImplemented
        for field in dataclasses.fields(self):
            a, b = getattr(self, field.name), getattr(other, field.name)
            if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
                if a is None or b is None or not np.array_equal(a, b):
                    return False
            elif a != b:
                return False
        return True

    __hash__ = None  # type: ignore[assignment]

    def to_dict(self) -> Dict[str, Any]:
        """Plain values for JSON."""
        return {
            "name": self.name,
            "ok": self.ok,
            "error": self.error,
            "faces": self.faces,
            "vertices": self.vertices,
            "failing_faces": len(self.failing_faces),
            "blocked_vertices": None if self.blocked_vertices is None else len(self.blocked_vertices),
            "total_area": self.total_area,
            "failing_area": self.failing_area,
            "affected_area": self.affected_area,
            "failing_face_indices": self.failing_faces.tolist(),
            "blocked_vertex_indices": None if self.blocked_vertices is None else self.blocked_vertices.tolist(),
        }


def load_part(source: Union[str, "os.PathLike[str]", bytes], file_type: Optional[str] = None) -> Tuple[
        npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """Vertices and faces of an STL, OBJ, PLY or 3MF file (a path, or its bytes with ``file_type``).

    Coordinates are kept as stored (trimesh's process=False); scenes, as 3MF files load, are
    concatenated with their transforms applied.
    """
    import trimesh

    if isinstance(source, bytes):
        import io

        loaded = trimesh.load(io.BytesIO(source), file_type=file_type, process=False)
    else:
        loaded = trimesh.load(os.fspath(source), file_type=file_type, process=False)
    return as_arrays(loaded)


def _face_areas(vertices: npt.NDArray[np.float64], faces: npt.NDArray[np.int64]) -> npt.NDArray[np.float64]:
    tri = vertices[faces]
    n = np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])
    return np.sqrt((n * n).sum(axis=1)) / 2.0


def check_part(part: CheckInput, pull: Vector = (0.0, 0.0, 1.0), min_draft_deg: float = 1.0, *,
               undercuts: bool = False, check: bool = False, name: Optional[str] = None) -> CheckReport:
    """Checks one part (a path or a mesh) in this process; exceptions propagate.

    Draft: faces with less than ``min_draft_deg`` degrees towards either half of the mould
    (``draft_faces``). Undercuts (when asked for): vertices blocked by the part both along ``pull``
    and against it, so that neither half releases them. ``affected_area`` is the area of the faces
    failing the draft or touching a blocked vertex. ``check=True`` refuses open or inconsistently
    oriented meshes and faces without area (MeshCheckError).
    """
    if isinstance(part, (str, os.PathLike)):
        vertices, faces = load_part(part)
        name = name if name is not None else os.fspath(part)
    else:
        vertices, faces = as_arrays(part)
        name = name if name is not None else _mesh_name(part)
    vertices, faces, _ = merge_vertices(vertices, faces)
    direction = _unit(pull, "pull")
    failing = draft_faces((vertices, faces), direction, min_draft_deg, check=check)
    affected = failing.copy()
    blocked_idx = None
    if undercuts:
        blocked = blocked_vertices((vertices, faces), direction, merge=False, check=check)
        blocked &= blocked_vertices((vertices, faces), -direction, merge=False)
        blocked_idx = np.flatnonzero(blocked).astype(np.int64)
        affected |= blocked[faces].any(axis=1)
    areas = _face_areas(vertices, faces)
    return CheckReport(
        name=name, faces=len(faces), vertices=len(vertices),
        failing_faces=np.flatnonzero(failing).astype(np.int64), blocked_vertices=blocked_idx,
        total_area=float(areas.sum()), failing_area=float(areas[failing].sum()),
        affected_area=float(areas[affected].sum()))


def _mesh_name(mesh: Any) -> str:
    metadata = getattr(mesh, "metadata", None) or {}
    return str(metadata.get("name") or metadata.get("file_name") or "mesh")


@dataclasses.dataclass(frozen=True)
class _FileBytes:
    """A file's contents, sent to a cluster whose workers may not see our file system."""

    data: bytes
    file_type: Optional[str]


@dataclasses.dataclass(frozen=True)
class _Settings:
    pull: Tuple[float, float, float]
    min_draft_deg: float
    undercuts: bool
    check: bool


def _describe(error: BaseException) -> str:
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _run(name: str, part: Any, settings: _Settings) -> CheckReport:
    """One part in a worker: every failure becomes the row's error, never an exception."""
    try:
        if isinstance(part, _FileBytes):
            part = load_part(part.data, part.file_type)
        return check_part(part, settings.pull, settings.min_draft_deg, undercuts=settings.undercuts,
                          check=settings.check, name=name)
    except KeyboardInterrupt:
        raise
    except BaseException as e:  # PanicException derives from BaseException
        return CheckReport(name=name, error=_describe(e))


def _progress(total: int, progress: Optional[bool]) -> Any:
    if progress is False:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    # None: only on a terminal, and only once the batch has run for a while.
    return tqdm(total=total, unit="part", disable=None if progress is None else False,
                delay=PROGRESS_DELAY if progress is None else 0.0, file=sys.stderr)


def _pool_pass(jobs: Sequence[Tuple[int, str, Any]], settings: _Settings, workers: int,
               results: List[Optional[CheckReport]], done: Callable[[], None]) -> List[int]:
    """Runs jobs in a fresh pool; returns the indices lost with a worker process that died."""
    lost = []
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        futures = {pool.submit(_run, name, part, settings): (i, name) for i, name, part in jobs}
        for future in concurrent.futures.as_completed(futures):
            i, name = futures[future]
            try:
                results[i] = future.result()
            except BrokenProcessPool:
                lost.append(i)
                continue
            except BaseException as e:  # the part or its report could not be pickled
                results[i] = CheckReport(name=name, error=_describe(e))
            done()
    return sorted(lost)


def _in_pool(jobs: List[Tuple[int, str, Any]], settings: _Settings, workers: int,
             results: List[Optional[CheckReport]], done: Callable[[], None]) -> None:
    lost = _pool_pass(jobs, settings, workers, results, done)
    if not lost:
        return
    # A dying worker takes every running job with it: each lost part runs again alone, so
    # only the part that kills its process is reported.
    by_index = {i: (i, name, part) for i, name, part in jobs}
    for i in lost:
        if _pool_pass([by_index[i]], settings, 1, results, done):
            results[i] = CheckReport(name=by_index[i][1], error="the worker process checking this part ended "
                                                               "abruptly (a crash or os._exit in native code)")
            done()


def _on_cluster(jobs: List[Tuple[int, str, Any]], settings: _Settings, client: Client,
                results: List[Optional[CheckReport]], done: Callable[[], None]) -> None:
    from distributed import as_completed

    futures = {}
    for i, name, part in jobs:
        if isinstance(part, (str, os.PathLike)):
            # Workers may not see this file system: the file travels as bytes.
            path = Path(part)
            try:
                part = _FileBytes(path.read_bytes(), path.suffix.lstrip(".").lower() or None)
            except OSError as e:
                results[i] = CheckReport(name=name, error=_describe(e))
                done()
                continue
        futures[client.submit(_run, name, part, settings, pure=False)] = (i, name)
    try:
        for future in as_completed(list(futures)):
            i, name = futures[future]
            try:
                results[i] = future.result()
            except BaseException as e:  # KilledWorker, a lost connection
                results[i] = CheckReport(name=name, error=_describe(e))
            done()
    finally:
        client.cancel(list(futures))


def check_parts(parts: Iterable[CheckInput], pull: Vector = (0.0, 0.0, 1.0), min_draft_deg: float = 1.0, *,
                undercuts: bool = False, check: bool = False, processes: Optional[int] = None,
                client: Optional[Client] = None, progress: Optional[bool] = None,
                names: Optional[Sequence[str]] = None) -> List[CheckReport]:
    """Checks many parts (paths or meshes) like ``check_part``; one report per part, in order.

    Failures are reported in the part's own row (``report.error``), never raised. Where it runs:
    ``client``, a ``dask.distributed.Client``: on its cluster (files are read here and sent as
    bytes; qgeom must be installed on the workers). Otherwise a process pool of ``processes``
    workers (default: one per processor, and no pool for a single part); ``processes=0`` runs in
    this process. Results are the same wherever they are computed. ``progress``: a tqdm bar
    (None: on a terminal, once the batch has run for two seconds).
    """
    items = list(parts)
    if names is not None and len(names) != len(items):
        raise ValueError(f"{len(names)} names for {len(items)} parts")
    if client is not None and processes is not None:
        raise ValueError("give either processes or client, not both")
    if processes is not None and processes < 0:
        raise ValueError(f"processes must be 0 or more, not {processes}")
    if not 0.0 <= min_draft_deg < 90.0:
        raise ValueError(f"min_draft_deg must be at least 0 and below 90, not {min_draft_deg!r}")
    direction = _unit(pull, "pull")
    settings = _Settings(tuple(float(x) for x in direction), float(min_draft_deg),  # type: ignore[arg-type]
                         bool(undercuts), bool(check))
    jobs = []
    for i, part in enumerate(items):
        if names is not None:
            name = names[i]
        elif isinstance(part, (str, os.PathLike)):
            name = os.fspath(part)
        else:
            name = f"{_mesh_name(part)} #{i}"
        jobs.append((i, name, part))
    results: List[Optional[CheckReport]] = [None] * len(items)
    bar = _progress(len(items), progress)

    def done() -> None:
        if bar is not None:
            bar.update()

    try:
        if client is not None:
            _on_cluster(jobs, settings, client, results, done)
        else:
            workers = processes if processes is not None else (0 if len(items) < 2 else os.cpu_count() or 1)
            if workers == 0:
                for i, name, part in jobs:
                    results[i] = _run(name, part, settings)
                    done()
            else:
                _in_pool(jobs, settings, min(workers, max(len(items), 1)), results, done)
    finally:
        if bar is not None:
            bar.close()
    return [r if r is not None else CheckReport(name=jobs[i][1], error="no result") for i, r in enumerate(results)]
