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

// An integer argument (anything with __index__) that fits in a signed 64-bit integer.
bool convert_int64(PyObject* value, const char* name, std::optional<int64_t>& out) {
    if (!PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) {
        return false;
    }
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow != 0) {
        PyErr_Format(PyExc_OverflowError, "%s does not fit in a signed 64-bit integer", name);
        return false;
    }
    if (number == -1 && PyErr_Occurred()) {
        return false;
    }
    out = number;
    return true;
}

// `event_capacity`: None, or an integer.
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
    return convert_int64(value, "event_capacity", out);
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

// A str argument as UTF-8; false with an exception set otherwise (a str with lone surrogates
// has no UTF-8 form and raises UnicodeEncodeError, a ValueError).
bool text_argument(PyObject* value, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return false;
    out.assign(data, static_cast<size_t>(size));
    return true;
}

// `duration`: a str, or None for an indefinite phase.
bool duration_argument(PyObject* value, std::optional<std::string>& out) {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "duration must be a str or None, not %.200s",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    std::string text;
    if (!text_argument(value, text)) return false;
    out = std::move(text);
    return true;
}

PyObject* engine_set_faults(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"proxy", "faults_json", nullptr};
    PyObject* proxy = nullptr;
    PyObject* faults = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UU:set_faults", const_cast<char**>(keywords),
                                     &proxy, &faults)) {
        return nullptr;
    }
    std::string proxy_text, faults_text;
    if (!text_argument(proxy, proxy_text) || !text_argument(faults, faults_text)) return nullptr;
    return awaitable(self, [proxy_text, faults_text](const binding::Engine& e) {
        return e.set_faults(proxy_text, faults_text);
    });
}

PyObject* engine_run(PyObject* self, PyObject*) {
    return awaitable(self, [](const binding::Engine& e) { return e.run(); });
}

PyObject* engine_active_faults(PyObject* self, PyObject*) {
    return awaitable(self, [](const binding::Engine& e) { return e.active_faults(); });
}

PyObject* engine_next_progress(PyObject* self, PyObject*) {
    return awaitable(self, [](const binding::Engine& e) { return e.next_progress(); });
}

PyObject* engine_begin_schedule(PyObject* self, PyObject*) {
    return awaitable(self, [](const binding::Engine& e) { return e.begin_schedule(); });
}

PyObject* engine_schedule_active(PyObject* self, PyObject*) {
    return PyBool_FromLong(facade(self).schedule_active());
}

PyObject* engine_end_schedule(PyObject* self, PyObject*) {
    return awaitable(self, [](const binding::Engine& e) { return e.end_schedule(); });
}

PyObject* engine_add_phase(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"name", "duration", "faults_json", nullptr};
    PyObject *name = nullptr, *duration = nullptr, *faults = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UOU:schedule_add_phase",
                                     const_cast<char**>(keywords), &name, &duration, &faults)) {
        return nullptr;
    }
    std::string name_text, faults_text;
    std::optional<std::string> duration_text;
    if (!text_argument(name, name_text) || !duration_argument(duration, duration_text) ||
        !text_argument(faults, faults_text)) {
        return nullptr;
    }
    return awaitable(self, [=](const binding::Engine& e) {
        return e.add_phase(name_text, duration_text, faults_text);
    });
}

PyObject* engine_modify_phase(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"id", "name", "duration", "faults_json", nullptr};
    PyObject *id = nullptr, *name = nullptr, *duration = nullptr, *faults = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UUOU:schedule_modify_phase",
                                     const_cast<char**>(keywords), &id, &name, &duration,
                                     &faults)) {
        return nullptr;
    }
    std::string id_text, name_text, faults_text;
    std::optional<std::string> duration_text;
    if (!text_argument(id, id_text) || !text_argument(name, name_text) ||
        !duration_argument(duration, duration_text) || !text_argument(faults, faults_text)) {
        return nullptr;
    }
    return awaitable(self, [=](const binding::Engine& e) {
        return e.modify_phase(id_text, name_text, duration_text, faults_text);
    });
}

// Methods whose only argument is a phase id.
template <auto Method>
PyObject* phase_method(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
    static const char* keywords[] = {"id", nullptr};
    PyObject* id = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &id)) {
        return nullptr;
    }
    std::string id_text;
    if (!text_argument(id, id_text)) return nullptr;
    return awaitable(self, [id_text](const binding::Engine& e) { return (e.*Method)(id_text); });
}

PyObject* engine_delete_phase(PyObject* self, PyObject* args, PyObject* kwargs) {
    return phase_method<&binding::Engine::delete_phase>(self, args, kwargs,
                                                        "U:schedule_delete_phase");
}

PyObject* engine_start_phase(PyObject* self, PyObject* args, PyObject* kwargs) {
    return phase_method<&binding::Engine::start_phase>(self, args, kwargs,
                                                       "U:schedule_start_phase");
}

PyObject* engine_stop_phase(PyObject* self, PyObject* args, PyObject* kwargs) {
    return phase_method<&binding::Engine::stop_phase>(self, args, kwargs, "U:schedule_stop_phase");
}

PyObject* engine_move_phase(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"id", "position", nullptr};
    PyObject* id = nullptr;
    PyObject* position_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UO:schedule_move_phase",
                                     const_cast<char**>(keywords), &id, &position_arg)) {
        return nullptr;
    }
    std::optional<int64_t> position;
    if (position_arg == Py_None || !convert_int64(position_arg, "position", position)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "position must be an int, not None");
        }
        return nullptr;
    }
    std::string id_text;
    if (!text_argument(id, id_text)) return nullptr;
    return awaitable(self, [id_text, position](const binding::Engine& e) {
        return e.move_phase(id_text, *position);
    });
}

PyObject* engine_next_transition(PyObject* self, PyObject*) {
    return awaitable(self, [](const binding::Engine& e) { return e.next_transition(); });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

template <typename F>
PyCFunction keywords_method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Each docstring is the method's text signature alone; the order is the class's.
PyMethodDef engine_methods[] = {
    {"alive", engine_alive, METH_NOARGS, "alive($self)\n--\n\n"},
    {"endpoints", engine_endpoints, METH_NOARGS, "endpoints($self)\n--\n\n"},
    {"summary", engine_summary, METH_NOARGS, "summary($self)\n--\n\n"},
    {"start", engine_start, METH_NOARGS, "start($self)\n--\n\n"},
    {"set_faults", keywords_method(engine_set_faults), kKeywords,
     "set_faults($self, proxy, faults_json)\n--\n\n"},
    {"run", engine_run, METH_NOARGS, "run($self)\n--\n\n"},
    {"status", engine_status, METH_NOARGS, "status($self)\n--\n\n"},
    {"snapshot", engine_snapshot, METH_NOARGS, "snapshot($self)\n--\n\n"},
    {"active_faults", engine_active_faults, METH_NOARGS, "active_faults($self)\n--\n\n"},
    {"next_progress", engine_next_progress, METH_NOARGS, "next_progress($self)\n--\n\n"},
    {"next_record", engine_next_record, METH_NOARGS, "next_record($self)\n--\n\n"},
    {"next_event", keywords_method(engine_next_event), kKeywords,
     "next_event($self, status_interval=None)\n--\n\n"},
    {"shutdown", engine_shutdown, METH_NOARGS, "shutdown($self)\n--\n\n"},
    {"begin_schedule", engine_begin_schedule, METH_NOARGS, "begin_schedule($self)\n--\n\n"},
    {"schedule_active", engine_schedule_active, METH_NOARGS, "schedule_active($self)\n--\n\n"},
    {"end_schedule", engine_end_schedule, METH_NOARGS, "end_schedule($self)\n--\n\n"},
    {"schedule_add_phase", keywords_method(engine_add_phase), kKeywords,
     "schedule_add_phase($self, name, duration, faults_json)\n--\n\n"},
    {"schedule_modify_phase", keywords_method(engine_modify_phase), kKeywords,
     "schedule_modify_phase($self, id, name, duration, faults_json)\n--\n\n"},
    {"schedule_delete_phase", keywords_method(engine_delete_phase), kKeywords,
     "schedule_delete_phase($self, id)\n--\n\n"},
    {"schedule_start_phase", keywords_method(engine_start_phase), kKeywords,
     "schedule_start_phase($self, id)\n--\n\n"},
    {"schedule_stop_phase", keywords_method(engine_stop_phase), kKeywords,
     "schedule_stop_phase($self, id)\n--\n\n"},
    {"schedule_move_phase", keywords_method(engine_move_phase), kKeywords,
     "schedule_move_phase($self, id, position)\n--\n\n"},
    {"schedule_next_transition", engine_next_transition, METH_NOARGS,
     "schedule_next_transition($self)\n--\n\n"},
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
