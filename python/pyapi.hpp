// The one place the CPython API is included: the stable ABI of Python 3.11, so that one
// build of the module serves every later interpreter.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>
