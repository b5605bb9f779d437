#pragma once

#include <string>

#include "ostrel-engine/error.hpp"

namespace ostrel::binding {

// Decides the exception class a host raises for an error.
enum class ErrorKind {
    Invalid,     // bad arguments and bad documents
    PhaseState,  // a phase that does not exist or is in the wrong state
    Runtime,     // everything else: wrong lifecycle state, engine failures
};

// The facade's one error type: the message reaches the host unchanged.
struct Error {
    std::string message;
    ErrorKind kind = ErrorKind::Runtime;

    static Error invalid(std::string message) { return {std::move(message), ErrorKind::Invalid}; }
    static Error runtime(std::string message) { return {std::move(message), ErrorKind::Runtime}; }
    static Error from_engine(const engine::EngineError& error);

    bool operator==(const Error&) const = default;
};

}  // namespace ostrel::binding
