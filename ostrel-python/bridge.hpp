#pragma once

// From an operation of the facade, running on the engine's runtime, to a future on the
// caller's asyncio loop.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "ostrel-binding/engine.hpp"
#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::python {

// What an operation hands back, before it becomes a Python object.
using Value = std::variant<std::monostate, std::string, bool>;  // None, str, bool
using Outcome = std::expected<Value, binding::Error>;

// Runs `operation` as a task on the process runtime and returns a future of the running loop
// of the calling thread that receives its outcome. Cancelling the future cancels the
// operation. Returns nullptr with an exception set when no loop is running.
PyObject* spawn_future(std::function<asio::awaitable<Outcome>()> operation);

// Registers, once per process, the atexit hook after which no outcome is handed to Python any
// more. 0 on success, -1 with an exception set.
int install_exit_hook();

// Adapters from the facade's result types.
asio::awaitable<Outcome> as_outcome(binding::Engine::Async<std::string> operation);
asio::awaitable<Outcome> as_outcome(binding::Engine::Async<std::optional<std::string>> operation);
asio::awaitable<Outcome> as_outcome(binding::Engine::Async<bool> operation);
asio::awaitable<Outcome> as_outcome(binding::Engine::Async<void> operation);

}  // namespace ostrel::python
