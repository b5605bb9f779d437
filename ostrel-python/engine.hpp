#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ostrel::python {

// Adds the `Engine` class to the module, creating it on the first call of the process.
// 0 on success, -1 with an exception set.
int add_engine_type(PyObject* module);

}  // namespace ostrel::python
