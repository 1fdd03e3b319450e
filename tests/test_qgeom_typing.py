"""The installed stubs: mypy reads them (the example passes --strict, wrong calls are caught), and they
name the parameters the modules really take by keyword."""
import ast
import inspect
from pathlib import Path

import numpy as np
import pytest

import qboolean
import qdraft

mypy_api = pytest.importorskip("mypy.api")

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "typed_usage.py"

WRONG = '''\
import numpy as np
import qboolean, qdraft, qgeom
n = np.zeros((2, 3))
t = [[0, 1, 2]]
qdraft.draft_mask(n, [0, 0, 1], 0.5)
qdraft.normals2angles(n, [0, 0, 1], degrees=1.5)
qboolean.pyintersect([n, t], (n, t), False, False)
angles: list[str] = qdraft.normals2angles(n, [0, 0, 1], True)
qdraft.overhangs(n, [[0.5, 1.0, 2.0]], [0, 0, 1])
qgeom.boolean((n, t), (n, t), "xor")
counts: str = qboolean.pyintersect((n, t), (n, t), False, True)[1]
qdraft.draft_mask(n, ref_normal=[0, 0, 1], value=0.5, invert=False, extra=1)
'''


# Interactive shells that trimesh can use; reading them would only make the run slower.
CONFIG = "[mypy]\n[mypy-IPython.*,prompt_toolkit.*,traitlets.*,wcwidth.*]\nfollow_imports = skip\n"


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """One --strict run over the example and WRONG: the error lines of each file, and the output."""
    folder = tmp_path_factory.mktemp("mypy")
    (folder / "mypy.ini").write_text(CONFIG)
    (folder / "wrong.py").write_text(WRONG)
    out, err, _ = mypy_api.run(["--config-file", str(folder / "mypy.ini"), "--cache-dir", str(folder / "cache"),
                                "--strict", "--no-error-summary", str(EXAMPLE), str(folder / "wrong.py")])
    errors = {"example": set(), "wrong": set()}
    for line in out.splitlines():
        if ": error:" in line:
            path, number = line.split(":")[:2]
            errors["wrong" if path.endswith("wrong.py") else "example"].add(int(number))
    return errors, out + err


def test_example_passes_strict(mypy_errors):
    errors, out = mypy_errors
    assert errors["example"] == set(), out


def test_wrong_calls_are_caught_line_by_line(mypy_errors):
    errors, out = mypy_errors
    assert sorted(errors["wrong"]) == list(range(5, 13)), out
    assert "Cannot find implementation or library stub" not in out


def stub_functions(module):
    path = Path(module.__file__).parent / f"{module.__name__}-stubs" / "__init__.pyi"
    tree = ast.parse(path.read_text())
    names = next(ast.literal_eval(node.value) for node in tree.body
                 if isinstance(node, ast.Assign) and node.targets[0].id == "__all__")
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    return names, functions


@pytest.mark.parametrize("module", [qdraft, qboolean])
def test_stubs_cover_the_modules(module):
    names, functions = stub_functions(module)
    assert names == module.__all__ and sorted(functions) == sorted(names)
    for name, node in functions.items():
        assert ast.get_docstring(node), name
        assert not node.args.posonlyargs and not node.args.defaults
        if getattr(module, name).__text_signature__:
            runtime = list(inspect.signature(getattr(module, name)).parameters)
            assert [a.arg for a in node.args.args] == runtime


TET = (np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], float),
       np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]))
VALUES = {"points": TET[0], "tris": TET[1], "normal": [0.0, 0.0, 1.0], "normals": [[0.0, 0.0, 1.0]],
          "ref_normal": [0.0, 0.0, 1.0], "degrees": True, "value": 0.5, "invert": False,
          "m1": TET, "m2": TET, "flip1": False, "flip2": False}


@pytest.mark.parametrize("module", [qdraft, qboolean])
def test_stub_parameter_names_work_as_keywords(module):
    _, functions = stub_functions(module)
    for name, node in functions.items():
        kwargs = {a.arg: VALUES[a.arg] for a in node.args.args}
        positional = [VALUES[a.arg] for a in node.args.args]
        func = getattr(module, name)
        assert func(**dict(reversed(kwargs.items()))) == func(*positional)
