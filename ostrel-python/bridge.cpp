#include "ostrel-python/bridge.hpp"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "ostrel-engine/rt/runtime.hpp"
#include "ostrel-python/error.hpp"
#include "ostrel-python/module.hpp"

namespace ostrel::python {

namespace {

namespace rt = engine::rt;

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Shared by the runtime task and the future's done callback.
struct Pending {
    // Strong references, released under the interpreter when the outcome is delivered.
    PyObject* loop = nullptr;
    PyObject* future = nullptr;
    PyObject* context = nullptr;
    rt::Executor strand;
    // Emitted on the strand only; cancels the operation.
    asio::cancellation_signal cancel;
};

ProcessObject asyncio_get_running_loop;
ProcessObject deliver_function;
ProcessObject exit_hook_function;

// A runtime thread must never ask for the interpreter once it finalises: Python ends such a
// thread in place, and the runtime's catch-all frames turn that forced unwind into an abort.
// Checking for finalisation first leaves a window, so deliveries pass this gate instead, and an
// atexit hook (which runs before finalisation starts) closes it and waits for those inside.
class DeliveryGate {
  public:
    bool enter() {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        ++inside_;
        return true;
    }

    void leave() {
        std::lock_guard lock(mutex_);
        if (--inside_ == 0) idle_.notify_all();
    }

    void close() {
        std::unique_lock lock(mutex_);
        closed_ = true;
        idle_.wait(lock, [this] { return inside_ == 0; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable idle_;
    bool closed_ = false;
    int inside_ = 0;
};

DeliveryGate delivery_gate;

PyObject* close_delivery_gate(PyObject*, PyObject*) {
    // Deliveries already inside need the interpreter to finish.
    PyThreadState* saved = PyEval_SaveThread();
    delivery_gate.close();
    PyEval_RestoreThread(saved);
    Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_close_delivery_gate", close_delivery_gate, METH_NOARGS, nullptr};

// deliver(future, ok, value): runs on the loop's thread in the caller's context.
PyObject* deliver(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "deliver takes three arguments");
        return nullptr;
    }
    PyObject* future = args[0];
    PyObject* cancelled = PyObject_CallMethod(future, "cancelled", nullptr);
    if (cancelled == nullptr) return nullptr;
    int is_cancelled = PyObject_IsTrue(cancelled);
    Py_DECREF(cancelled);
    if (is_cancelled < 0) return nullptr;
    if (is_cancelled) Py_RETURN_NONE;
    const char* method = PyObject_IsTrue(args[1]) ? "set_result" : "set_exception";
    PyObject* done = PyObject_CallMethod(future, method, "O", args[2]);
    if (done == nullptr) return nullptr;
    Py_DECREF(done);
    Py_RETURN_NONE;
}

PyMethodDef deliver_def = {"_deliver",
                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(deliver)),
                           METH_FASTCALL, nullptr};

// The future's done callback: a cancelled future cancels the operation.
PyObject* on_done(PyObject* capsule, PyObject* future) {
    PyObject* cancelled = PyObject_CallMethod(future, "cancelled", nullptr);
    if (cancelled == nullptr) return nullptr;
    int is_cancelled = PyObject_IsTrue(cancelled);
    Py_DECREF(cancelled);
    if (is_cancelled < 0) return nullptr;
    if (is_cancelled) {
        auto* weak = static_cast<std::weak_ptr<Pending>*>(PyCapsule_GetPointer(capsule, nullptr));
        if (auto pending = weak->lock()) {
            asio::post(pending->strand,
                       [pending] { pending->cancel.emit(asio::cancellation_type::terminal); });
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef on_done_def = {"_on_done", on_done, METH_O, nullptr};

void free_weak(PyObject* capsule) {
    delete static_cast<std::weak_ptr<Pending>*>(PyCapsule_GetPointer(capsule, nullptr));
}

PyObject* to_python(const Value& value) {
    if (std::holds_alternative<std::monostate>(value)) Py_RETURN_NONE;
    if (const auto* flag = std::get_if<bool>(&value)) return PyBool_FromLong(*flag);
    const auto& text = std::get<std::string>(value);
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// On a runtime thread: hands the outcome to the loop, in the caller's context.
void deliver_outcome(const std::shared_ptr<Pending>& pending, std::exception_ptr crash,
                     Outcome outcome) {
    // The interpreter may be going or gone; then there is nobody to tell, and the references
    // leak.
    if (!delivery_gate.enter()) return;
    if (interpreter_finalizing()) {
        delivery_gate.leave();
        return;
    }
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* ok = Py_False;
    PyObject* value = nullptr;
    if (crash) {
        std::string what = "internal failure in an engine operation";
        try {
            std::rethrow_exception(crash);
        } catch (const std::exception& e) {
            what += ": ";
            what += e.what();
        } catch (...) {
        }
        value = PyObject_CallFunction(PyExc_SystemError, "s", what.c_str());
    } else if (outcome) {
        ok = Py_True;
        value = to_python(*outcome);
    } else {
        value = make_exception(outcome.error());
    }
    if (value != nullptr) {
        PyObject* args = PyTuple_Pack(4, deliver_function.get(), pending->future, ok, value);
        PyObject* kwargs = args ? Py_BuildValue("{s:O}", "context", pending->context) : nullptr;
        PyObject* method = PyObject_GetAttrString(pending->loop, "call_soon_threadsafe");
        PyObject* handle =
            (args && kwargs && method) ? PyObject_Call(method, args, kwargs) : nullptr;
        Py_XDECREF(handle);
        Py_XDECREF(method);
        Py_XDECREF(kwargs);
        Py_XDECREF(args);
        Py_DECREF(value);
    }
    // A closed loop refuses the callback; the outcome is then discarded.
    PyErr_Clear();
    Py_CLEAR(pending->loop);
    Py_CLEAR(pending->future);
    Py_CLEAR(pending->context);
    PyGILState_Release(gil);
    delivery_gate.leave();
}

}  // namespace

int install_exit_hook() {
    PyObject* hook = exit_hook_function.get_or_make([]() -> PyObject* {
        PyObject* function = PyCFunction_New(&exit_hook_def, nullptr);
        if (function == nullptr) return nullptr;
        PyObject* atexit = PyImport_ImportModule("atexit");
        PyObject* registered =
            atexit ? PyObject_CallMethod(atexit, "register", "O", function) : nullptr;
        Py_XDECREF(atexit);
        if (registered == nullptr) {
            Py_DECREF(function);
            return nullptr;
        }
        Py_DECREF(registered);
        return function;
    });
    return hook == nullptr ? -1 : 0;
}

PyObject* spawn_future(std::function<asio::awaitable<Outcome>()> operation) {
    PyObject* get_loop = asyncio_get_running_loop.get_or_make([]() -> PyObject* {
        PyObject* asyncio = PyImport_ImportModule("asyncio");
        if (asyncio == nullptr) return nullptr;
        PyObject* function = PyObject_GetAttrString(asyncio, "get_running_loop");
        Py_DECREF(asyncio);
        return function;
    });
    if (get_loop == nullptr) return nullptr;
    if (deliver_function.get_or_make([] { return PyCFunction_New(&deliver_def, nullptr); }) ==
        nullptr) {
        return nullptr;
    }
    PyObject* loop = PyObject_CallNoArgs(get_loop);
    if (loop == nullptr) return nullptr;
    PyObject* context = PyContext_CopyCurrent();
    PyObject* future = context ? PyObject_CallMethod(loop, "create_future", nullptr) : nullptr;
    if (future == nullptr) {
        Py_XDECREF(context);
        Py_DECREF(loop);
        return nullptr;
    }

    auto pending = std::make_shared<Pending>();
    PyObject* capsule = PyCapsule_New(new std::weak_ptr<Pending>(pending), nullptr, free_weak);
    PyObject* callback = capsule ? PyCFunction_New(&on_done_def, capsule) : nullptr;
    Py_XDECREF(capsule);
    PyObject* added =
        callback ? PyObject_CallMethod(future, "add_done_callback", "O", callback) : nullptr;
    Py_XDECREF(callback);
    if (added == nullptr) {
        Py_DECREF(future);
        Py_DECREF(context);
        Py_DECREF(loop);
        return nullptr;
    }
    Py_DECREF(added);

    pending->loop = loop;
    pending->context = context;
    pending->future = Py_NewRef(future);
    pending->strand = asio::make_strand(rt::Runtime::process().executor());
    asio::co_spawn(
        pending->strand, operation(),
        asio::bind_cancellation_slot(pending->cancel.slot(),
                                     [pending](std::exception_ptr crash, Outcome outcome) {
                                         deliver_outcome(pending, crash, std::move(outcome));
                                     }));
    return future;
}

asio::awaitable<Outcome> as_outcome(binding::Engine::Async<std::string> operation) {
    auto result = co_await std::move(operation);
    if (!result) co_return std::unexpected(std::move(result.error()));
    co_return Value(std::move(*result));
}

asio::awaitable<Outcome> as_outcome(binding::Engine::Async<std::optional<std::string>> operation) {
    auto result = co_await std::move(operation);
    if (!result) co_return std::unexpected(std::move(result.error()));
    if (!*result) co_return Value();
    co_return Value(std::move(**result));
}

asio::awaitable<Outcome> as_outcome(binding::Engine::Async<bool> operation) {
    auto result = co_await std::move(operation);
    if (!result) co_return std::unexpected(std::move(result.error()));
    co_return Value(*result);
}

asio::awaitable<Outcome> as_outcome(binding::Engine::Async<void> operation) {
    auto result = co_await std::move(operation);
    if (!result) co_return std::unexpected(std::move(result.error()));
    co_return Value();
}

}  // namespace ostrel::python
