"""check_part and check_parts: values, one failing part per batch, process pools and a dask cluster."""
import base64
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest
import trimesh

import qgeom
from cad import part

PULL = (0.0, 0.0, 1.0)
NAMES = ["bracket", "bad", "box"]


def parts():
    """Two good parts, and one whose flipped face makes the native code raise PanicException."""
    box = trimesh.creation.box((4.0, 3.0, 2.0))
    bad = (box.vertices, np.vstack([box.faces[:-1], box.faces[-1:, ::-1]]))
    return [part("bracket"), bad, box]


def assert_batch(reports):
    """The bad part's row carries the panic; the others are the serial results."""
    assert [r.name for r in reports] == NAMES
    with pytest.raises(qgeom.PanicException) as info:
        qgeom.blocked_vertices(parts()[1])
    assert reports[1].error == f"PanicException: {info.value}" and not reports[1].ok
    assert reports[1].faces == 0 and len(reports[1].failing_faces) == 0
    for report, mesh, name in zip(reports[::2], parts()[::2], NAMES[::2]):
        assert report.error is None
        assert report == qgeom.check_part(mesh, PULL, 2.0, undercuts=True, name=name)


def test_box_values():
    report = qgeom.check_part(trimesh.creation.box((4.0, 3.0, 2.0)), (0, 0, -5), 1.0, undercuts=True)
    # The four walls fail; no vertex is blocked both along and against the pull.
    assert len(report.failing_faces) == 8 and report.blocked_vertices.tolist() == []
    assert report.total_area == pytest.approx(52.0) and report.failing_area == pytest.approx(28.0)
    assert report.affected_area == report.failing_area and not report.ok


def test_serial_batch_reports_the_failure_in_its_row():
    assert_batch(qgeom.check_parts(parts(), PULL, 2.0, undercuts=True, processes=0, names=NAMES))


def test_process_pool_gives_the_serial_results():
    assert_batch(qgeom.check_parts(parts(), PULL, 2.0, undercuts=True, processes=2, names=NAMES))


class DiesWhenUnpickled:
    """Ends the worker process that receives it, as a crash in native code would."""

    def __reduce__(self):
        return os._exit, (3,)


def test_a_dying_worker_loses_only_its_own_part():
    meshes = parts()
    meshes[1] = DiesWhenUnpickled()
    reports = qgeom.check_parts(meshes, PULL, 2.0, undercuts=True, processes=2, names=NAMES)
    assert "ended abruptly" in reports[1].error
    assert reports[0].ok is False and reports[0].error is None and reports[2].error is None


def test_dask_local_cluster_gives_the_serial_results():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        reports = qgeom.check_parts(parts(), PULL, 2.0, undercuts=True, client=client, names=NAMES)
    assert_batch(reports)


def test_files_reach_the_cluster_as_bytes(tmp_path):
    distributed = pytest.importorskip("distributed")
    box = trimesh.creation.box((4.0, 3.0, 2.0))
    box.export(tmp_path / "box.stl")
    paths = [tmp_path / "box.stl", tmp_path / "missing.stl"]
    with distributed.LocalCluster(n_workers=1, processes=False, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        reports = qgeom.check_parts(paths, PULL, client=client)
    assert reports[0] == qgeom.check_part(paths[0], PULL)
    assert reports[1].error.startswith("FileNotFoundError")


@pytest.mark.parametrize("kwargs, message", [
    ({"processes": 2, "client": object()}, "either processes or client"),
    ({"processes": -1}, "processes must be 0 or more"),
    ({"names": ["one"]}, "1 names for 3 parts"),
])
def test_bad_batch_arguments(kwargs, message):
    with pytest.raises(ValueError, match=message):
        qgeom.check_parts(parts(), **kwargs)


@pytest.mark.parametrize("make, kind, message", [
    ("qboolean.pyintersect(t, ([[x + 9 for x in p] for p in t[0]], t[1]), False, False)", "MyError", "derp"),
    ("qdraft.overhangs([[0, 0, 0]], [], [0, 0, 1])", "PanicException",
     "A triangle mesh must contain at least one triangle."),
    ("qgeom.blocked_vertices((t[0], t[1][:3]), check=True)", "MeshCheckError",
     "mesh: 3 edges have no face on their other side (the mesh is open)"),
])
def test_exceptions_pickled_in_a_fresh_process_load_here(make, kind, message):
    code = ("import base64, pickle, sys, qboolean, qdraft, qgeom\n"
            "t = ([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])\n"
            f"try:\n    {make}\n"
            "except BaseException as e:\n    sys.stdout.write(base64.b64encode(pickle.dumps(e)).decode())\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=True)
    error = pickle.loads(base64.b64decode(out.stdout))
    assert type(error) is getattr(qgeom, kind) and str(error) == message
