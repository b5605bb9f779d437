#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "ostrel-engine/error.hpp"
#include "ostrel-engine/faults/runtime.hpp"
#include "ostrel-engine/observation.hpp"
#include "ostrel-engine/rt/asio.hpp"
#include "ostrel-engine/rt/cancellation.hpp"
#include "ostrel-engine/rt/task.hpp"
#include "ostrel-model/transport.hpp"

namespace ostrel::engine {

// A UDP proxy: every datagram a client sends is one exchange, relayed through a fresh socket of
// its own to the upstream, whose first answer goes back to the client from the listening
// socket. The proxy's current faults act on the request and on the response, and a dns fault
// may answer in the upstream's place. Every exchange is recorded.
class RunningUdpProxy {
  public:
    using Result = std::expected<void, EngineError>;

    // Binds the datagram socket and starts the receive task on `executor`.
    static std::expected<RunningUdpProxy, IoError> bind(const asio::ip::udp::endpoint& listen,
                                                        std::string name, std::string upstream,
                                                        FaultRuntime runtime,
                                                        rt::CancellationToken token,
                                                        ObservationRecorder recorder,
                                                        const rt::Executor& executor);

    const asio::ip::udp::endpoint& local_address() const { return local_; }

    // Waits for the receive task: its result, or ProxyTask if it crashed or was aborted. After
    // the token is cancelled it returns once every exchange of the proxy has finished.
    asio::awaitable<Result> join() &&;

  private:
    RunningUdpProxy(asio::ip::udp::endpoint local, rt::Task<Result> task)
        : local_(std::move(local)), task_(std::move(task)) {}

    asio::ip::udp::endpoint local_;
    rt::Task<Result> task_;
};

// How long an exchange waits for the upstream's answer.
inline constexpr std::chrono::seconds kUdpResponseLimit{10};

// The largest datagram the proxy takes from a client.
inline constexpr size_t kMaxDatagram = 65535;

// A failure of the upstream leg of an exchange: stage "exchange", the message
// "UDP exchange {upstream}: {error}".
model::TransportFailure transfer_failure(std::string_view upstream, const IoError& error);

}  // namespace ostrel::engine
