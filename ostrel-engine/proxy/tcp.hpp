#pragma once

#include <expected>
#include <string>

#include "ostrel-engine/error.hpp"
#include "ostrel-engine/faults/runtime.hpp"
#include "ostrel-engine/observation.hpp"
#include "ostrel-engine/rt/asio.hpp"
#include "ostrel-engine/rt/cancellation.hpp"
#include "ostrel-engine/rt/task.hpp"

namespace ostrel::engine {

// A TCP proxy: accepts clients on its listen address and relays each one to a fresh connection
// to the upstream through the proxy's current fault layers, recording every connection.
class RunningTcpProxy {
  public:
    using Result = std::expected<void, EngineError>;

    // Binds the listener (address reuse, backlog 128) and starts the accept task on `executor`.
    static std::expected<RunningTcpProxy, IoError> bind(const asio::ip::tcp::endpoint& listen,
                                                        std::string name, std::string upstream,
                                                        FaultRuntime runtime,
                                                        rt::CancellationToken token,
                                                        ObservationRecorder recorder,
                                                        const rt::Executor& executor);

    const asio::ip::tcp::endpoint& local_address() const { return local_; }

    // Waits for the accept task: its result, or ProxyTask if it crashed or was aborted. After
    // the token is cancelled it returns once every connection of the proxy has finished.
    asio::awaitable<Result> join() &&;

  private:
    RunningTcpProxy(asio::ip::tcp::endpoint local, rt::Task<Result> task)
        : local_(std::move(local)), task_(std::move(task)) {}

    asio::ip::tcp::endpoint local_;
    rt::Task<Result> task_;
};

// Upstream connection attempts give up after this long, resolution included.
inline constexpr std::chrono::seconds kUpstreamConnectLimit{10};

}  // namespace ostrel::engine
