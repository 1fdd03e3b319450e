"""The qgeom-check command on STL, OBJ and 3MF files written here: exit codes, report, PLY and PNG."""
import json
import subprocess
import sys

import numpy as np
import pytest
import trimesh
from PIL import Image

import qgeom
from cad import part
from qgeom import render
from qgeom.cli import main


def octahedron():
    """Every face has 35 degrees of draft and no vertex is blocked both ways: it passes."""
    v = [[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [0, 0, -1]]
    f = [[0, 2, 4], [2, 1, 4], [1, 3, 4], [3, 0, 4], [2, 0, 5], [1, 2, 5], [3, 1, 5], [0, 3, 5]]
    return trimesh.Trimesh(v, f, process=False)


@pytest.fixture
def files(tmp_path):
    """An STL that passes, an OBJ and a 3MF (a scene of two meshes) that fail, and a broken STL."""
    octahedron().export(tmp_path / "good.stl")
    trimesh.Trimesh(*part("bracket"), process=False).export(tmp_path / "bracket.obj")
    scene = trimesh.Scene()
    scene.add_geometry(trimesh.creation.icosphere(2, radius=3.0), geom_name="shell")
    scene.add_geometry(trimesh.creation.box((1.0, 1.0, 1.0)), geom_name="core")
    scene.export(tmp_path / "shell.3mf")
    (tmp_path / "broken.stl").write_text("solid broken\nendsolid broken\n")
    return tmp_path


def run(*args):
    return main([str(a) for a in args])


def test_passing_part_exits_0(files, capsys):
    assert run(files / "good.stl", "--workers", 0) == 0
    out = capsys.readouterr().out
    assert "1 of 1 parts pass" in out and out.splitlines()[1].split()[-1] == "ok"


def test_folder_report_matches_check_part(files, tmp_path):
    out = tmp_path / "report.json"
    assert run(files, "--undercuts", "--min-draft-deg", 2, "--out", out, "--workers", 0) == 1
    report = json.loads(out.read_text())
    rows = {r["name"].rsplit("/", 1)[-1]: r for r in report["parts"]}
    assert sorted(rows) == ["bracket.obj", "broken.stl", "good.stl", "shell.3mf"]
    assert report["failed"] == 3 and report["min_draft_deg"] == 2.0 and report["pull"] == [0.0, 0.0, 1.0]
    assert rows["good.stl"]["ok"] and rows["broken.stl"]["error"] and not rows["broken.stl"]["ok"]
    for name in ("bracket.obj", "shell.3mf"):
        expected = qgeom.check_part(files / name, (0, 0, 1), 2.0, undercuts=True).to_dict()
        assert rows[name] == {**expected, "name": rows[name]["name"]}
    # The scene's two meshes are one part: the box inside the shell is blocked both ways.
    assert rows["shell.3mf"]["faces"] == 320 + 12 and rows["shell.3mf"]["blocked_vertices"] == 8


def test_pictures_show_the_failing_faces(files, tmp_path):
    ply, png = tmp_path / "coloured.ply", tmp_path / "picture.png"
    assert run(files / "bracket.obj", "--undercuts", "--ply", ply, "--png", png, "--workers", 0) == 1
    report = qgeom.check_part(files / "bracket.obj", undercuts=True)
    coloured = trimesh.load(ply, process=False)
    assert len(coloured.faces) == report.faces and len(coloured.vertices) == report.vertices
    faces = coloured.metadata["_ply_raw"]["face"]["data"]  # trimesh shows the vertex colours only
    red = (faces["red"] == render.RED[0]) & (faces["green"] == render.RED[1])
    assert np.array_equal(np.flatnonzero(red), report.failing_faces) and red.any()
    blue = np.all(coloured.visual.vertex_colors[:, :3] == render.BLUE, axis=1)
    assert np.array_equal(np.flatnonzero(blue), report.blocked_vertices) and blue.any()
    with Image.open(png) as image:
        assert image.format == "PNG" and image.size == (800, 600)
        # Not a blank canvas: some pixels carry the failing faces' red.
        pixels = np.asarray(image.convert("RGB")).reshape(-1, 3).astype(int)
    assert (np.abs(pixels - render.RED).sum(axis=1) < 120).any()


def test_several_parts_get_one_picture_each(files, tmp_path):
    png = tmp_path / "out" / "p.png"
    png.parent.mkdir()
    run(files / "good.stl", files / "shell.3mf", "--png", png, "--workers", 0)
    assert sorted(p.name for p in png.parent.iterdir()) == ["p-good.png", "p-shell.png"]


@pytest.mark.parametrize("args, code, message", [
    (["--pull", "0,0"], 2, "expected three numbers"),
    (["--pull", "0,0,0"], 2, "not all zero"),
    (["--min-draft-deg", "95"], 2, "below 90"),
    (["--workers", "-1"], 2, "0 or more"),
    (["--workers", "1", "--scheduler", "tcp://x:1"], 2, "not allowed with argument"),
])
def test_usage_errors(files, capsys, args, code, message):
    with pytest.raises(SystemExit) as info:
        run(files / "good.stl", *args)
    assert info.value.code == code and message in capsys.readouterr().err


@pytest.mark.parametrize("paths, code", [(["missing.stl"], 2), (["empty"], 2), (["good.stl", "missing.stl"], 1)])
def test_missing_inputs(files, capsys, paths, code):
    (files / "empty").mkdir()
    assert run(*[files / p for p in paths], "--workers", 0) == code
    assert "qgeom-check: " in capsys.readouterr().err


def test_console_script_with_worker_processes(files):
    # The installed command, as a user runs it; the pool's workers are fresh interpreters.
    out = subprocess.run([sys.executable, "-m", "qgeom", str(files / "good.stl"), str(files / "bracket.obj"),
                          "--workers", "2"], capture_output=True, text=True, timeout=300)
    assert out.returncode == 1, out.stderr
    assert "1 of 2 parts pass" in out.stdout and "FAILS" in out.stdout
