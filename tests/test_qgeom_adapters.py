"""qgeom's trimesh adapters against the native modules' own answers and manifold3d's volumes."""
import math

import numpy as np
import pytest
import trimesh

import qboolean
import qdraft
import qgeom
from cad import is_closed, manifold, part
from meshes import volume


def box(extents=(2.0, 2.0, 2.0), shift=(0.0, 0.0, 0.0)):
    mesh = trimesh.creation.box(extents)
    mesh.apply_translation(shift)
    return mesh


def soup(mesh):
    """The mesh as an STL file loaded without merging holds it: three vertices of its own per face."""
    vertices = np.asarray(mesh.vertices)[np.asarray(mesh.faces)].reshape(-1, 3)
    return vertices, np.arange(len(vertices)).reshape(-1, 3)


@pytest.mark.parametrize("operation, flips", [("intersection", (False, False)), ("difference", (False, True))])
def test_boolean_is_the_modules_result(operation, flips):
    a, b = part("bracket"), part("shaft")
    (points, tris), counts = qboolean.pyintersect(a, b, *flips)
    result = qgeom.boolean(a, b, operation)
    assert np.array_equal(result.vertices, points) and np.array_equal(result.faces, tris)
    assert result.metadata["counts"] == tuple(counts)
    assert np.array_equal(np.bincount(result.face_attributes["source"], minlength=4), counts)


@pytest.mark.parametrize("a, b, shift", [("bracket", "shaft", (0, 0, 0)), ("housing", "tee", (3.0, 1.0, 2.0)),
                                         ("gear", "plate", (0.5, 0.5, 0.0))])
def test_union_is_closed_with_manifolds_volume(a, b, shift):
    ma, mb = part(a), part(b)
    mb = (mb[0] + shift, mb[1])
    result = qgeom.boolean(ma, mb, "union")
    expected = (manifold(ma) + manifold(mb)).volume()
    assert is_closed(result.faces) == 0
    assert volume(result.vertices, result.faces) == pytest.approx(expected, rel=1e-6)
    assert result.volume > 0  # faces outwards


@pytest.mark.parametrize("operation", ["intersection", "difference"])
def test_empty_result_is_an_empty_mesh(operation):
    a = box()
    b = box(shift=(10, 0, 0)) if operation == "intersection" else box(extents=(3, 3, 3))
    result = qgeom.boolean(a, b, operation)
    assert isinstance(result, trimesh.Trimesh)
    assert result.vertices.shape == (0, 3) and result.faces.shape == (0, 3)
    assert result.metadata["counts"] == (0, 0, 0, 0)


def test_boolean_merges_an_stl_soup():
    result = qgeom.boolean(soup(box()), soup(box(shift=(1, 1, 1))), "intersection")
    assert result.volume == pytest.approx(1.0) and is_closed(result.faces) == 0
    with pytest.raises(qgeom.MeshCheckError, match=r"^a: .*repeat the coordinates"):
        qgeom.boolean(soup(box()), box(), merge=False, check=True)


def test_scene_is_concatenated_with_its_transforms():
    a, b = box(), trimesh.creation.icosphere(1)
    scene = trimesh.Scene()
    scene.add_geometry(a)
    scene.add_geometry(b, transform=trimesh.transformations.translation_matrix([4.0, 0.0, 0.0]))
    vertices, faces = qgeom.as_arrays(scene)
    moved = b.vertices + [4.0, 0.0, 0.0]
    assert len(faces) == len(a.faces) + len(b.faces)
    assert {tuple(np.round(v, 9)) for v in vertices} == {tuple(np.round(v, 9)) for v in np.vstack([a.vertices, moved])}
    assert np.array_equal(np.sort(qgeom.blocked_vertices(scene)), np.sort(np.concatenate(
        [qgeom.blocked_vertices(a), qgeom.blocked_vertices((moved, b.faces))])))
    with pytest.raises(ValueError, match="no triangle mesh"):
        qgeom.as_arrays(trimesh.Scene())


def test_draft_faces_is_the_modules_mask_both_ways():
    mesh = trimesh.creation.icosphere(2)
    pull, draft = np.array([0.0, 0.6, 0.8]), 5.0
    limit = math.radians(90.0 - draft)
    releases = np.array(qdraft.draft_mask(mesh.face_normals, pull, limit, False)) | np.array(
        qdraft.draft_mask(mesh.face_normals, pull, limit, True))
    failing = qgeom.draft_faces(mesh, pull * 7.0, draft)  # any length of pull
    assert failing.dtype == np.bool_ and np.array_equal(failing, ~releases)
    assert 0 < failing.sum() < len(failing)


def test_given_normals_are_normalised_or_refused():
    mesh = box()
    normals = mesh.face_normals * np.arange(1, 13)[:, None]
    assert np.array_equal(qgeom.draft_faces(mesh, normals=normals), qgeom.draft_faces(mesh))
    with pytest.raises(qgeom.MeshCheckError, match="11 normals are not of unit length"):
        qgeom.draft_faces(mesh, normals=normals, check=True)


def test_faces_without_area_never_fail_unless_checked():
    vertices = np.vstack([box().vertices, [[5, 5, 5], [6, 5, 5], [7, 5, 5]]])
    faces = np.vstack([box().faces, [[8, 9, 10]]])
    assert not qgeom.draft_faces((vertices, faces))[-1]
    with pytest.raises(qgeom.MeshCheckError, match="1 faces have no area"):
        qgeom.draft_faces((vertices, faces), check=True)


def test_unmerged_vertices_get_the_merged_answer():
    mesh = box()
    vertices, faces = soup(mesh)
    blocked = qgeom.blocked_vertices((vertices, faces))
    on_merged = dict(zip(map(tuple, mesh.vertices), qdraft.overhangs(mesh.vertices, mesh.faces, [0, 0, 1])))
    assert blocked.tolist() == [on_merged[tuple(v)] for v in vertices]
    assert len(np.unique(vertices[blocked], axis=0)) == 4  # the bottom corners of the box


def test_merge_vertices_keeps_first_order_and_joins_signed_zeros():
    vertices = np.array([[1.0, 0, 0], [0.0, 0, 0], [1.0, 0, 0], [-0.0, 0, 0], [1.0, 0, 1e-300]])
    merged, faces, index = qgeom.merge_vertices(vertices, np.array([[0, 1, 4], [2, 3, 4]]))
    assert merged.tolist() == [[1.0, 0, 0], [0.0, 0, 0], [1.0, 0, 1e-300]]
    assert index.tolist() == [0, 1, 0, 1, 2] and faces.tolist() == [[0, 1, 2], [0, 1, 2]]


@pytest.mark.parametrize("mesh, kwargs, message", [
    (lambda: trimesh.Trimesh(box().vertices, box().faces[:-1]), {}, "3 edges have no face on their other side"),
    (lambda: trimesh.Trimesh(box().vertices, np.vstack([box().faces[:-1], box().faces[-1:, ::-1]])), {},
     "3 directed edges are used by more than one face"),
    (lambda: soup(box()), {}, "28 of 36 vertices repeat"),
    (lambda: (box().vertices, box().faces + 1), {}, "faces refer to vertices that do not exist"),
    (lambda: (np.zeros((0, 3)), np.zeros((0, 3), int)), {}, "the mesh has no faces"),
])
def test_mesh_problems(mesh, kwargs, message):
    problems = qgeom.mesh_problems(mesh(), **kwargs)
    assert any(message in p for p in problems), problems


def test_closed_mesh_has_no_problems():
    assert qgeom.mesh_problems(part("gear")) == []


def test_open_mesh_is_refused_when_asked_and_named():
    opened = trimesh.Trimesh(box().vertices, box().faces[:-2], process=False)
    with pytest.raises(qgeom.MeshCheckError, match=r"^b: .*the mesh is open") as info:
        qgeom.boolean(box(), opened, "union", check=True)
    assert info.value.name == "b" and len(info.value.problems) == 1
    with pytest.raises(qgeom.MeshCheckError, match="the mesh is open"):
        qgeom.blocked_vertices(opened, check=True)


def test_inconsistent_mesh_without_check_raises_the_native_panic():
    mesh = box()
    flipped = (mesh.vertices, np.vstack([mesh.faces[:-1], mesh.faces[-1:, ::-1]]))
    with pytest.raises(qgeom.PanicException):
        qgeom.blocked_vertices(flipped)
    assert issubclass(qgeom.PanicException, BaseException) and not issubclass(qgeom.PanicException, Exception)


@pytest.mark.parametrize("call, error, message", [
    (lambda: qgeom.boolean(box(), box(), "xor"), ValueError, "operation must be one of"),
    (lambda: qgeom.draft_faces(box(), (0, 0, 0)), ValueError, "pull must be a finite, non-zero vector"),
    (lambda: qgeom.draft_faces(box(), (0, 0, 1), 90.0), ValueError, "min_draft_deg must be"),
    (lambda: qgeom.draft_faces("box.stl"), TypeError, "expected a trimesh.Trimesh"),
    (lambda: qgeom.draft_faces((np.zeros((3, 3)), [[0.0, 1.0, 2.0]])), TypeError, "faces must hold integers"),
])
def test_bad_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_my_error_is_the_class_the_module_raises():
    with pytest.raises(qgeom.MyError, match="derp"):
        qboolean.pyintersect(part("plate"), (part("plate")[0] + 1000.0, part("plate")[1]), False, False)
