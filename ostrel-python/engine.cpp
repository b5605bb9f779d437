#include "ostrel-python/engine.hpp"

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "ostrel-binding/engine.hpp"
#include "ostrel-python/bridge.hpp"
#include "ostrel-python/error.hpp"
#include "ostrel-python/module.hpp"

namespace ostrel::python {

namespace {

// An `Engine` instance: one facade handle, constructed in place by `engine_new` and destroyed by
// `engine_dealloc`. It holds no Python references, so the type takes no part in GC.
struct EngineObject {
    PyObject ob_base;
    binding::Engine engine;
};

binding::Engine& facade(PyObject* self) {
    return reinterpret_cast<EngineObject*>(self)->engine;
}

PyObject* to_str(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// `event_capacity`: None, or any integer (operator.index) that fits in a signed 64-bit integer.
bool convert_event_capacity(PyObject* value, std::optional<int64_t>& out) {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    if (!PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "event_capacity must be an int or None, not %.200s",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) {
        return false;
    }
    int overflow = 0;
    long long capacity = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError,
                        "event_capacity does not fit in a signed 64-bit integer");
        return false;
    }
    if (capacity == -1 && PyErr_Occurred()) {
        return false;
    }
    out = capacity;
    return true;
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"config_json", "event_capacity", nullptr};
    PyObject* config_json = nullptr;
    PyObject* event_capacity_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|O:Engine", const_cast<char**>(keywords),
                                     &config_json, &event_capacity_arg)) {
        return nullptr;
    }
    std::optional<int64_t> event_capacity;
    if (!convert_event_capacity(event_capacity_arg, event_capacity)) {
        return nullptr;
    }
    // A str with lone surrogates has no UTF-8 form; its UnicodeEncodeError (a ValueError) is
    // the refusal.
    PyObject* utf8 = PyUnicode_AsUTF8String(config_json);
    if (utf8 == nullptr) {
        return nullptr;
    }
    auto engine = binding::Engine::create(
        std::string_view(PyBytes_AS_STRING(utf8), static_cast<size_t>(PyBytes_GET_SIZE(utf8))),
        event_capacity);
    Py_DECREF(utf8);
    if (!engine) {
        return raise_error(engine.error());
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    new (&reinterpret_cast<EngineObject*>(self)->engine) binding::Engine(std::move(*engine));
    return self;
}

void engine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // Pending operations hold their own handles; this drops only the object's share.
    facade(self).~Engine();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* engine_alive(PyObject* self, PyObject*) {
    return PyBool_FromLong(facade(self).alive());
}

PyObject* engine_endpoints(PyObject* self, PyObject*) {
    auto endpoints = facade(self).endpoints();
    if (!endpoints) {
        return raise_error(endpoints.error());
    }
    return to_str(*endpoints);
}

PyObject* engine_summary(PyObject* self, PyObject*) {
    auto summary = facade(self).summary();
    if (!summary) {
        Py_RETURN_NONE;
    }
    return to_str(*summary);
}

// Awaitable methods: each operation holds its own copy of the facade handle.
template <typename Operation>
PyObject* awaitable(PyObject* self, Operation operation) {
    binding::Engine engine = facade(self);
    return spawn_future([engine, operation] { return as_outcome(operation(engine)); });
}

PyObject* engine_start(PyObject* self, PyObject*) {
    return awaitable(self, [](const binding::Engine& e) { return e.start(); });
}

PyObject* engine_status(PyObject* self, PyObject*) {
    return awaitable(self, [](const binding::Engine& e) { return e.status(); });
}

PyObject* engine_snapshot(PyObject* self, PyObject*) {
    return awaitable(self, [](const binding::Engine& e) { return e.snapshot(); });
}

PyObject* engine_next_record(PyObject* self, PyObject*) {
    return awaitable(self, [](const binding::Engine& e) { return e.next_record(); });
}

PyObject* engine_next_event(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"status_interval", nullptr};
    PyObject* interval_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:next_event", const_cast<char**>(keywords),
                                     &interval_arg)) {
        return nullptr;
    }
    std::optional<double> interval;
    if (interval_arg != Py_None) {
        double seconds = PyFloat_AsDouble(interval_arg);
        if (seconds == -1.0 && PyErr_Occurred()) {
            return nullptr;
        }
        interval = seconds;
    }
    return awaitable(self, [interval](const binding::Engine& e) { return e.next_event(interval); });
}

PyObject* engine_shutdown(PyObject* self, PyObject*) {
    return awaitable(self, [](const binding::Engine& e) { return e.shutdown(); });
}

// Each docstring is the method's text signature alone.
PyMethodDef engine_methods[] = {
    {"alive", engine_alive, METH_NOARGS, "alive($self)\n--\n\n"},
    {"endpoints", engine_endpoints, METH_NOARGS, "endpoints($self)\n--\n\n"},
    {"summary", engine_summary, METH_NOARGS, "summary($self)\n--\n\n"},
    {"start", engine_start, METH_NOARGS, "start($self)\n--\n\n"},
    {"status", engine_status, METH_NOARGS, "status($self)\n--\n\n"},
    {"snapshot", engine_snapshot, METH_NOARGS, "snapshot($self)\n--\n\n"},
    {"next_record", engine_next_record, METH_NOARGS, "next_record($self)\n--\n\n"},
    {"next_event", reinterpret_cast<PyCFunction>(engine_next_event), METH_VARARGS | METH_KEYWORDS,
     "next_event($self, status_interval=None)\n--\n\n"},
    {"shutdown", engine_shutdown, METH_NOARGS, "shutdown($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The part before "--" becomes the class's __text_signature__, the rest its __doc__.
constexpr char kEngineDoc[] =
    "Engine(config_json, event_capacity=None)\n--\n\n"
    "Native engine; every method forwards to [`ostrel_binding::Engine`].";

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>(kEngineDoc)},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    .name = "_ostrel.Engine",
    .basicsize = sizeof(EngineObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = engine_slots,
};

ProcessObject engine_type;

}  // namespace

int add_engine_type(PyObject* module) {
    PyObject* type = engine_type.get_or_make([] { return PyType_FromSpec(&engine_spec); });
    if (type == nullptr) {
        return -1;
    }
    return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
}

}  // namespace ostrel::python
