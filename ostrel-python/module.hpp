#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace ostrel::python {

// A Python object the module creates once per process and keeps until the process ends. The
// module has no per-module state, so its types live here; a re-import reuses them, which keeps
// `isinstance` and `except` working across module objects.
class ProcessObject {
  public:
    // The object, made by `make` (a new reference or nullptr with an exception set) on the first
    // call. Two first calls racing may both make one; the first to publish wins.
    template <typename Make>
    PyObject* get_or_make(Make make) {
        if (PyObject* existing = object_.load(std::memory_order_acquire)) {
            return existing;
        }
        PyObject* made = make();
        if (made == nullptr) {
            return nullptr;
        }
        PyObject* expected = nullptr;
        if (!object_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
            Py_DECREF(made);
            return expected;
        }
        return made;
    }

    // The object once made; nullptr before.
    PyObject* get() const { return object_.load(std::memory_order_acquire); }

  private:
    std::atomic<PyObject*> object_{nullptr};
};

}  // namespace ostrel::python
