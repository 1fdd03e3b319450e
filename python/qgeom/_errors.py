"""The two exception classes of the native modules, as importable names."""
from __future__ import annotations

import qboolean

# Neither class is a module attribute; the modules' own unpickling helper hands
# out the one shared class of each without having to provoke a failure.
MyError: type[Exception] = type(qboolean._restore_exception("module.MyError", ("derp",)))
PanicException: type[BaseException] = type(
    qboolean._restore_exception("pyo3_runtime.PanicException", ("",)))

__all__ = ["MyError", "PanicException"]
