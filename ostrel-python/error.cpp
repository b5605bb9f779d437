#include "ostrel-python/error.hpp"

#include "ostrel-python/module.hpp"

namespace ostrel::python {

namespace {

ProcessObject phase_state_error;

PyObject* exception_class(binding::ErrorKind kind) {
    switch (kind) {
        case binding::ErrorKind::Invalid:
            return PyExc_ValueError;
        case binding::ErrorKind::PhaseState:
            // Made by the module's execution, which comes before any engine exists.
            return phase_state_error.get();
        case binding::ErrorKind::Runtime:
            break;
    }
    return PyExc_RuntimeError;
}

}  // namespace

int add_phase_state_error(PyObject* module) {
    PyObject* type = phase_state_error.get_or_make(
        [] { return PyErr_NewException("_ostrel.PhaseStateError", PyExc_RuntimeError, nullptr); });
    if (type == nullptr) {
        return -1;
    }
    return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
}

namespace {

// Messages may quote parts of the caller's document; a broken sequence in one must not turn the
// error into a UnicodeDecodeError.
PyObject* message_text(const binding::Error& error) {
    return PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()),
                                "replace");
}

}  // namespace

PyObject* raise_error(const binding::Error& error) {
    PyObject* message = message_text(error);
    if (message == nullptr) {
        return nullptr;
    }
    PyErr_SetObject(exception_class(error.kind), message);
    Py_DECREF(message);
    return nullptr;
}

PyObject* make_exception(const binding::Error& error) {
    PyObject* message = message_text(error);
    if (message == nullptr) {
        return nullptr;
    }
    PyObject* exception = PyObject_CallOneArg(exception_class(error.kind), message);
    Py_DECREF(message);
    return exception;
}

}  // namespace ostrel::python
