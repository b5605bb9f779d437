// The `_ostrel` extension module: the `Engine` class and `PhaseStateError`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ostrel-python/bridge.hpp"
#include "ostrel-python/engine.hpp"
#include "ostrel-python/error.hpp"

namespace {

int exec_module(PyObject* module) {
    if (ostrel::python::add_engine_type(module) < 0 || ostrel::python::install_exit_hook() < 0) {
        return -1;
    }
    return ostrel::python::add_phase_state_error(module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    // The classes are shared by the whole process, so a second interpreter must not load them.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Immediate methods take only the facade's own short locks.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_ostrel",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__ostrel() {
    return PyModuleDef_Init(&module_def);
}
