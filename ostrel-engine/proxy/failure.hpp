#pragma once

#include <string_view>
#include <system_error>

#include "ostrel-engine/error.hpp"
#include "ostrel-engine/rt/task.hpp"
#include "ostrel-model/transport.hpp"

namespace ostrel::engine {

// The failure category of an I/O error, from its kind.
model::FailureCategory failure_category(const std::error_code& code);

// A failure whose message is "{stage} {context}: {error}".
model::TransportFailure connection_failure(model::FailureStage stage, std::string_view context,
                                           const IoError& error);

// Waits for a proxy's task: its own result, or ProxyTask when it crashed or was aborted.
template <typename Result>
asio::awaitable<Result> join_proxy_task(rt::Task<Result>& task) {
    auto result = co_await task.join();
    if (!result) {
        co_return std::unexpected(EngineError(EngineError::ProxyTask{result.error().text()}));
    }
    co_return std::move(*result);
}

}  // namespace ostrel::engine
