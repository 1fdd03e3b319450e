"""Argument binding and conversion: accepted objects, error classes, messages and their order."""
import array
import sys

import numpy as np
import pytest

import qdraft
from conftest import interpreter_error

N = [[0.0, 0.0, 1.0]]
R = [0.0, 0.0, 1.0]


def raises(exc_type, message, func, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert info.value.args == (message,)


# --- binding -------------------------------------------------------------------

@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: qdraft.draft_mask(N, R, 0.1, False, 5), "draft_mask() takes 4 positional arguments but 5 were given"),
        (lambda: qdraft.draft_mask(N, R, 0.1, False, 5, bogus=1), "draft_mask() takes 4 positional arguments but 5 were given"),
        (lambda: qdraft.normals2angles(N, R, True, normals=N), "normals2angles() got multiple values for argument 'normals'"),
        (lambda: qdraft.normals2angles(N, bogus=1, other=2), "normals2angles() got an unexpected keyword argument 'bogus'"),
        (lambda: qdraft.normals2angles(N, R, bogus=1, normals=N), "normals2angles() got an unexpected keyword argument 'bogus'"),
        (lambda: qdraft.normals2angles(N, R, normals=N, bogus=1), "normals2angles() got multiple values for argument 'normals'"),
        (lambda: qdraft.normals2angles(N, R), "normals2angles() missing 1 required positional argument: 'degrees'"),
        (lambda: qdraft.normals2angles(N), "normals2angles() missing 2 required positional arguments: 'ref_normal' and 'degrees'"),
        (lambda: qdraft.normals2angles(), "normals2angles() missing 3 required positional arguments: 'normals', 'ref_normal', and 'degrees'"),
        (lambda: qdraft.draft_mask(N, invert=False), "draft_mask() missing 2 required positional arguments: 'ref_normal' and 'value'"),
        (lambda: qdraft.draft_mask(), "draft_mask() missing 4 required positional arguments: 'normals', 'ref_normal', 'value', and 'invert'"),
        # Binding errors come before any conversion error.
        (lambda: qdraft.normals2angles(5, 6), "normals2angles() missing 1 required positional argument: 'degrees'"),
    ],
)
def test_binding_errors(call, message):
    raises(TypeError, message, call)


def test_unencodable_keyword_is_unexpected():
    with pytest.raises(TypeError) as info:
        qdraft.normals2angles(N, R, True, **{"\udcff": 1})
    assert str(info.value).startswith("normals2angles() got an unexpected keyword argument '")


def test_all_arguments_by_keyword():
    assert qdraft.normals2angles(degrees=False, ref_normal=R, normals=N) == [0.0]
    assert qdraft.draft_mask(invert=False, value=0.5, normals=N, ref_normal=R) == [True]


# --- conversion errors ----------------------------------------------------------

class Seq:
    """A user-defined sequence."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class NoLen:
    """Item access without a length."""

    def __init__(self, *items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


class TypeErrorSub(TypeError):
    pass


float_str_msg = str(interpreter_error("PyFloat_AsDouble", "a"))
index_float_msg = str(interpreter_error("PyNumber_Index", 1.0))
nolen_msg = "object of type 'NoLen' has no len()"


@pytest.mark.parametrize(
    "args, exc_type, message",
    [
        (({1: 2}, R, True), TypeError, "argument 'normals': 'dict' object cannot be converted to 'Sequence'"),
        (({(0, 0, 1)}, R, True), TypeError, "argument 'normals': 'set' object cannot be converted to 'Sequence'"),
        ((iter(N), R, True), TypeError, "argument 'normals': 'list_iterator' object cannot be converted to 'Sequence'"),
        ((5, R, True), TypeError, "argument 'normals': 'int' object cannot be converted to 'Sequence'"),
        (([5], R, True), TypeError, "argument 'normals': 'int' object cannot be converted to 'Sequence'"),
        (([[0, 1]], R, True), ValueError, "expected a sequence of length 3 (got 2)"),
        (([[0, 0, 1], [0, 1, 2, 3]], R, True), ValueError, "expected a sequence of length 3 (got 4)"),
        ((N, [1, 2], True), ValueError, "expected a sequence of length 3 (got 2)"),
        ((N, "abc", True), TypeError, "argument 'ref_normal': " + float_str_msg),
        ((N, R, 1), TypeError, "argument 'degrees': 'int' object cannot be converted to 'PyBool'"),
        ((N, R, None), TypeError, "argument 'degrees': 'NoneType' object cannot be converted to 'PyBool'"),
        ((N, R, np.bool_(True)), TypeError, "argument 'degrees': 'bool' object cannot be converted to 'PyBool'"),
        ((N, NoLen(0, 0, 1), True), TypeError, "argument 'ref_normal': " + nolen_msg),
        ((N, [0, 0, Raises(RuntimeError("boom"))], True), RuntimeError, "boom"),
        ((N, [0, 0, Raises(TypeErrorSub("sub"))], True), TypeErrorSub, "sub"),
        ((N, [0, 0, Raises(TypeError("plain"))], True), TypeError, "argument 'ref_normal': plain"),
        ((N, [0, 0, Raises(OverflowError("big"))], True), OverflowError, "big"),
        ((N, [0, 0, 10**400], True), OverflowError, str(interpreter_error("PyFloat_AsDouble", 10**400))),
        # The first bad argument in parameter order decides.
        (([[0, 1]], "abc", 1), ValueError, "expected a sequence of length 3 (got 2)"),
        ((N, "ab", 1), ValueError, "expected a sequence of length 3 (got 2)"),
        ((N, R, 2), TypeError, "argument 'degrees': 'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_normals2angles_conversion_errors(args, exc_type, message):
    raises(exc_type, message, qdraft.normals2angles, *args)


@pytest.mark.parametrize(
    "args, exc_type, message",
    [
        ((N, R, "x", False), TypeError, "argument 'value': " + float_str_msg),
        ((N, R, None, 1), TypeError, "argument 'value': " + str(interpreter_error("PyFloat_AsDouble", None))),
        ((N, R, 0.5, 0), TypeError, "argument 'invert': 'int' object cannot be converted to 'PyBool'"),
        (("abc", R, 0.5, False), ValueError, "expected a sequence of length 3 (got 1)"),
        ((N, None, 0.5, 0), TypeError, "argument 'ref_normal': 'NoneType' object cannot be converted to 'Sequence'"),
    ],
)
def test_draft_mask_conversion_errors(args, exc_type, message):
    raises(exc_type, message, qdraft.draft_mask, *args)


def test_iteration_error_is_raised_unchanged():
    class BadIter(Seq):
        def __iter__(self):
            raise KeyError("it")

    with pytest.raises(KeyError):
        qdraft.normals2angles(BadIter(), R, True)


# --- acceptance by protocol ---------------------------------------------------

def gen_rows():
    class Rows:
        def __getitem__(self, i):
            if i >= 2:
                raise IndexError
            return (0.0, 0.0, 1.0 if i == 0 else -1.0)

    return Rows()


class HugeLen(Seq):
    def __len__(self):
        return sys.maxsize


class LenRaises(Seq):
    def __len__(self):
        raise RuntimeError("no length")


expected_two = [0.0, 180.0]


@pytest.mark.parametrize(
    "normals",
    [
        [[0, 0, 1], [0, 0, -1]],
        ((0, 0, 1), (0, 0, -1)),
        [range(0, 0), ] * 0 + [(0, 0, 1), [0.0, 0.0, -1.0]],
        Seq(Seq(0, 0, 1), Seq(0, 0, -1)),
        gen_rows(),
        HugeLen((0, 0, 1), (0, 0, -1)),
        LenRaises((0, 0, 1), (0, 0, -1)),
        [array.array("d", [0, 0, 1]), memoryview(array.array("d", [0, 0, -1]))],
        np.array([[0, 0, 1], [0, 0, -1]], dtype=np.float64),
        np.array([[0, 0, 1], [0, 0, -1]], dtype=np.float32),
        np.array([[0, 0, 1], [0, 0, -1]], dtype=np.int64),
        np.array([[0, 0, 1], [0, 0, -1]], dtype=np.int8),
        np.array([[0, 0, 1], [0, 0, -1]], dtype=object),
        np.asfortranarray(np.array([[0, 0, 1], [0, 0, -1]], dtype=np.float64)),
        np.array([[0, 0, -1, 9], [0, 0, 1, 9]], dtype=np.float64)[::-1, :3],
        [np.array([0, 0, 1]), np.array([0.0, 0.0, -1.0])],
        [[False, False, True], [0, 0, -1]],
    ],
)
def test_sequences_and_buffers_accepted(normals):
    assert qdraft.normals2angles(normals, (0, 0, 1), True) == expected_two


@pytest.mark.parametrize(
    "ref",
    [range(0, 3), b"\x00\x01\x02", bytearray(b"\x00\x01\x02"), array.array("i", [0, 1, 2]),
     memoryview(array.array("d", [0, 1, 2])), np.arange(3), np.arange(3.0)[::1], Seq(0, True, 2.0)],
)
def test_vec3_accepts_sequences(ref):
    # A normal (1, 0, 0) against the reference (0, 1, 2): the product is 0.
    assert qdraft.normals2angles([[1, 0, 0]], ref, False) == [1.5707963267948966]


@pytest.mark.parametrize(
    "normals, exc_type",
    [
        (np.zeros((2, 2)), ValueError),            # rows of two
        (np.zeros((3,)), TypeError),               # items are scalars, not sequences
        pytest.param(np.matrix([[0, 0, 1]]), ValueError, marks=pytest.mark.filterwarnings("ignore")),  # rows of length 1
        (np.array([["a", "b", "c"]]), TypeError),
    ],
)
def test_unusual_arrays_fall_back_to_the_sequence_protocol(normals, exc_type):
    with pytest.raises(exc_type):
        qdraft.normals2angles(normals, R, False)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_three_dimensional_array_converts_like_its_items():
    # Items of the rows are arrays of one element: numpy decides whether float() takes them.
    arr = np.zeros((2, 3, 1))
    try:
        expected = qdraft.normals2angles([[float(x) for x in row] for row in arr], R, False)
    except TypeError:
        with pytest.raises(TypeError):
            qdraft.normals2angles(arr, R, False)
    else:
        assert qdraft.normals2angles(arr, R, False) == expected


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_buffer_and_sequence_paths_agree_bit_for_bit():
    rng = np.random.default_rng(7)
    values = rng.normal(size=(500, 3)) * 10.0 ** rng.integers(-300, 300, size=(500, 3))
    values[::17, 1] = np.nan
    values[::23, 2] = np.inf
    values[::29, 0] = -0.0
    ref = [0.3, -0.4, 0.5]
    for dtype in (np.float64, np.float32, np.int32, np.uint16):
        arr = values.astype(dtype) if dtype in (np.float64, np.float32) else (values % 1000).astype(dtype)
        a = np.array(qdraft.normals2angles(arr, ref, False))
        b = np.array(qdraft.normals2angles(arr.tolist(), ref, False))
        assert a.tobytes() == b.tobytes()


def test_float_minus_one_is_a_value():
    assert qdraft.normals2angles([[-1.0, 0, 0]], [1.0, 0, 0], False) == [3.141592653589793]
    assert qdraft.draft_mask([[0, 0, 1]], R, -1.0, False) == [False]


def test_inputs_are_not_modified():
    normals = [[0.0, 0.0, 1.0], (1.0, 0.0, 0.0)]
    ref = [0.0, 0.0, 1.0]
    qdraft.draft_mask(normals, ref, 0.1, True)
    assert normals == [[0.0, 0.0, 1.0], (1.0, 0.0, 0.0)] and ref == [0.0, 0.0, 1.0]


def test_list_mutated_during_conversion():
    normals = [[0.0, 0.0, 1.0]]

    class Shrinks:
        def __float__(self):
            normals.clear()
            return 1.0

    normals.append([Shrinks(), 0.0, 0.0])
    normals.append([0.0, 0.0, 1.0])
    # The list iterator sees the list shrink and stops.
    assert len(qdraft.normals2angles(normals, R, False)) == 2

    row = [0.0, 0.0, 0.0]

    class ShrinksRow:
        def __float__(self):
            row.clear()
            return 1.0

    row[0] = ShrinksRow()
    with pytest.raises(IndexError):
        qdraft.normals2angles([row], R, False)


def test_ndarray_subclasses():
    class Plain(np.ndarray):  # like trimesh's TrackedArray: ndarray's item access kept
        pass

    class Zeroed(np.ndarray):  # its own item access: must be read through it
        def __getitem__(self, i):
            return np.ndarray.__getitem__(self, i) * 0

    base = np.array([[0.0, 0.0, 1.0], [0.0, 0.0, -1.0]])
    assert qdraft.normals2angles(base.view(Plain), R, True) == [0.0, 180.0]
    assert qdraft.normals2angles(base.view(Zeroed), R, True) == [90.0, 90.0]
    assert qdraft.normals2angles(base, np.array(R).view(Zeroed), True) == [90.0, 90.0]
