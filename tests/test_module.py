"""Module facts: registration, docstrings, signatures, fresh modules per load."""
import pytest

import qboolean
import qdraft
from conftest import load_as

NORMALS2ANGLES_DOC = (
    "calculates angles in radians for normals compared to ref_normal\n\n"
    "warning: \nIt does **not** check if inputs are normalized nor does it normalize for you\n\n"
    "# args: \nnormals: Vec[r=n, c=3]\nnormal: Vec[r=3]\n\nreturns angles: Vec[r=n]"
)


def test_qdraft_module_facts():
    assert qdraft.__doc__ == ""
    assert qdraft.__name__ == "qdraft"
    assert qdraft.__all__ == ["overhangs", "normals2angles", "draft_mask"]
    assert not hasattr(qdraft, "pyintersect")


def test_qboolean_module_facts():
    assert qboolean.__doc__ == ""
    assert qboolean.__name__ == "qboolean"
    assert not hasattr(qboolean, "MyError")
    assert not hasattr(qboolean, "normals2angles")


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("overhangs", "(points, tris, normal, /)",
         "return mask: Vec<bool> of points indicating if the blocked by trifaces along normal"),
        ("normals2angles", "(normals, ref_normal, degrees, /)", NORMALS2ANGLES_DOC),
        ("draft_mask", "(normals, ref_normal, value, invert,/)", "returns a mask: Vec<bool>"),
    ],
)
def test_function_docstrings(name, signature, doc):
    func = getattr(qdraft, name)
    assert func.__name__ == name
    assert func.__text_signature__ == signature
    assert func.__doc__ == doc
    assert func.__module__ == "qdraft"
    assert func.__self__ is qdraft


def test_same_bytes_under_both_names():
    with open(qdraft.__file__, "rb") as a, open(qboolean.__file__, "rb") as b:
        assert a.read() == b.read()


@pytest.mark.parametrize("name", ["qdraft", "qboolean"])
def test_each_load_builds_a_fresh_complete_module(name):
    first, second = load_as(name), load_as(name)
    assert first is not second
    names = getattr(first, "__all__", [])
    assert names == getattr(second, "__all__", [])
    for func in names:
        assert getattr(first, func) is not getattr(second, func)
        assert getattr(first, func).__self__ is first


def test_fresh_module_computes_like_the_imported_one():
    fresh = load_as("qdraft")
    args = ([[0.0, 0.6, 0.8]], [0.0, 0.0, 1.0], True)
    assert fresh.normals2angles(*args) == qdraft.normals2angles(*args)


# Two tetrahedra far apart (an empty intersection) and a mesh without triangles.
TET = ([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])
FAR = ([[5, 5, 5], [6, 5, 5], [5, 6, 5], [5, 5, 6]], TET[1])
FAILING_CALLS = [
    pytest.param("qboolean.pyintersect", (TET, FAR, False, False), "derp", id="MyError"),
    pytest.param("qdraft.overhangs", ([[0, 0, 0]], [], [0, 0, 1]),
                 "A triangle mesh must contain at least one triangle.", id="PanicException"),
]


def function(dotted):
    """The function as pickle finds it by name (other tests load fresh copies of the modules)."""
    import importlib

    module, name = dotted.split(".")
    return getattr(importlib.import_module(module), name)


def raised_by(func, args):
    try:
        function(func)(*args)
    except BaseException as e:  # PanicException derives from BaseException
        return e
    raise AssertionError("no exception")


@pytest.mark.parametrize("func, args, message", FAILING_CALLS)
def test_exceptions_pickle_to_the_same_class(func, args, message):
    import pickle

    error = raised_by(func, args)
    if hasattr(error, "add_note"):
        error.add_note("part 7")
    back = pickle.loads(pickle.dumps(error))
    assert type(back) is type(error)
    assert back.args == (message,) and str(back) == message
    assert getattr(back, "__notes__", None) == getattr(error, "__notes__", None)
    assert qboolean.__all__ == ["pyintersect"]


@pytest.mark.parametrize("func, args, message", FAILING_CALLS)
def test_pool_worker_failure_reaches_the_caller(func, args, message):
    import concurrent.futures
    import multiprocessing

    with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        error = pool.submit(function(func), *args).exception(timeout=120)
    assert type(error) is type(raised_by(func, args))
    assert str(error) == message
