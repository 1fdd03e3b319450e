import ctypes
import importlib.util
import math
import os
import struct

import pytest

import qboolean
import qdraft


# The sanitizer run keeps freed memory in quarantine, so the process grows.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def bits(x):
    """Bit pattern of a float, so that NaN and -0.0 compare exactly."""
    return struct.pack("<d", x)


def load_as(name):
    """Runs the shared object's entry point for `name` again, outside sys.modules."""
    spec = importlib.util.spec_from_file_location(name, qdraft.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def interpreter_error(api_name, obj):
    """The exception the interpreter's own C function raises for `obj`."""
    func = getattr(ctypes.pythonapi, api_name)
    func.argtypes = [ctypes.py_object]
    func.restype = ctypes.c_void_p if api_name == "PyNumber_Index" else ctypes.c_double
    with pytest.raises(BaseException) as info:
        func(obj)
    return info.value


def reference_angle(n, r):
    """The documented evaluation order: x, then y, then z, no fused multiply-add."""
    c = n[0] * r[0]
    c = c + n[1] * r[1]
    c = c + n[2] * r[2]
    try:
        return math.acos(c)
    except ValueError:
        return math.nan


@pytest.fixture
def qd():
    return qdraft


@pytest.fixture
def qb():
    return qboolean
