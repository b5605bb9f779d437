#include "ostrel-engine/rt/task.hpp"

namespace ostrel::engine::rt {

std::string TaskFailure::text() const {
    if (kind == Kind::Aborted) {
        return "task " + task + " was cancelled";
    }
    return "task " + task + " panicked: " + message;
}

namespace detail {

std::string describe_exception(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& escaped) {
        return escaped.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace detail

}  // namespace ostrel::engine::rt
