#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ostrel-binding/error.hpp"

namespace ostrel::python {

// Adds `PhaseStateError` to the module, creating it on the first call of the process.
// 0 on success, -1 with an exception set.
int add_phase_state_error(PyObject* module);

// Raises the exception for a facade error, its message as the single argument. Returns nullptr,
// for the caller to return.
PyObject* raise_error(const binding::Error& error);

// The exception instance for a facade error (a new reference), or nullptr with an exception set.
PyObject* make_exception(const binding::Error& error);

}  // namespace ostrel::python
