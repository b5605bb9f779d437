#pragma once

// One place that pulls in Asio with the pieces the engine uses, so every file sees the same
// configuration.

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>

namespace ostrel::engine::rt {

using Executor = asio::any_io_executor;

// `co_await op(..., use_tuple)` returns (error_code, results...) instead of throwing: the data
// path treats end of stream, resets and cancellation as ordinary outcomes.
inline constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

// Asio reports operating-system errors in a category of its own whose codes do not compare
// equal to std::errc values; this gives them the system's category.
inline std::error_code os_error(const std::error_code& code) {
    if (code.category() == asio::error::get_system_category()) {
        return {code.value(), std::system_category()};
    }
    return code;
}

}  // namespace ostrel::engine::rt
