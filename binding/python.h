// Every binding source includes the interpreter's headers through this file so
// that the size macro is set consistently.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
