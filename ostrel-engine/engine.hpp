#pragma once

#include <cstddef>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ostrel-engine/error.hpp"
#include "ostrel-engine/faults/runtime.hpp"
#include "ostrel-engine/observation.hpp"
#include "ostrel-engine/proxy/tcp.hpp"
#include "ostrel-engine/proxy/udp.hpp"
#include "ostrel-engine/rt/broadcast.hpp"
#include "ostrel-engine/rt/cancellation.hpp"
#include "ostrel-engine/rt/queue.hpp"
#include "ostrel-engine/rt/sync.hpp"
#include "ostrel-engine/rt/task.hpp"
#include "ostrel-model/config.hpp"
#include "ostrel-model/fault.hpp"
#include "ostrel-model/run.hpp"
#include "ostrel-model/validation.hpp"

namespace ostrel::engine {

// One proxy as the engine holds it: the texts of the run and the faults it starts with.
struct EngineProxy {
    std::string name;
    std::string listen;
    std::string upstream;
    std::vector<model::FaultSpec> faults;
    model::TransportProtocol protocol = model::TransportProtocol::Tcp;
};

class RunningEngine;
class ControlSession;

// What a started engine will open. Built from a validated run; nothing touches the network
// until it is started.
class FaultEngine {
  public:
    static FaultEngine from_run(const model::Run& run);

    // Prepares every proxy (fault runtime, listen address, a check that the upstream resolves),
    // starts the recorder and binds the proxies in order. On failure nothing stays open.
    asio::awaitable<std::expected<std::shared_ptr<RunningEngine>, EngineError>> start(
        rt::Executor executor) &&;

    // Capacity of the transport-record queue; none means no queue is created.
    std::optional<size_t> transport_events;
    std::vector<EngineProxy> proxies;
};

// The checks of a run document applied to the engine's proxies and their first faults.
std::expected<void, model::ValidationError> validate_engine_proxies(
    const std::vector<EngineProxy>& proxies);

// Capacity of the progress channel of a timed run.
inline constexpr size_t kProgressCapacity = 32;

// Everything a started engine owns. Releasing the last reference without `shutdown` cancels the
// shutdown token; the tasks then wind down without anybody waiting for them.
class RunningEngine {
  public:
    ~RunningEngine();
    RunningEngine(const RunningEngine&) = delete;
    RunningEngine& operator=(const RunningEngine&) = delete;

    const std::vector<asio::ip::tcp::endpoint>& tcp_endpoints() const { return tcp_endpoints_; }
    const std::vector<asio::ip::udp::endpoint>& udp_endpoints() const { return udp_endpoints_; }
    // Proxy name → fault runtime, ordered by name.
    const std::map<std::string, FaultRuntime, std::less<>>& runtimes() const { return runtimes_; }
    const ObservationRecorder& recorder() const { return *recorder_; }
    const std::shared_ptr<rt::Semaphore>& control() const { return control_; }
    const rt::BroadcastSender<model::RunProgress>& progress() const { return progress_; }
    const rt::Executor& executor() const { return executor_; }

    // The receiving end of the transport-record queue, once.
    std::optional<rt::QueueReceiver<model::TransportRecord>> take_transport_events() {
        return std::exchange(transport_events_, std::nullopt);
    }
    // Sees only progress sent after this call.
    rt::BroadcastReceiver<model::RunProgress> subscribe_run_progress() const {
        return progress_.subscribe();
    }

    // The exclusive right to replace every proxy's faults (defined in control.cpp). Never
    // waits: ControlAlreadyActive while a timed run or a live schedule holds it.
    std::expected<ControlSession, EngineError> begin_control() const;
    // Every proxy, ordered by name, with the faults in force now.
    std::vector<model::ProxyFaults> active_faults() const;
    // Replaces one proxy's faults, outside any control session.
    std::expected<void, EngineError> set_faults(std::string_view proxy,
                                                std::vector<model::FaultSpec> faults) const;

    // Stops every proxy (TCP ones in order, then UDP ones), then the recorder, and returns the
    // final summary. Call it on the only remaining reference.
    asio::awaitable<std::expected<model::TransportSummary, EngineError>> shutdown();

  private:
    friend class FaultEngine;
    RunningEngine() = default;

    rt::Executor executor_;
    std::vector<asio::ip::tcp::endpoint> tcp_endpoints_;
    std::vector<asio::ip::udp::endpoint> udp_endpoints_;
    std::vector<RunningTcpProxy> tcp_proxies_;
    std::vector<RunningUdpProxy> udp_proxies_;
    rt::CancellationToken shutdown_token_;
    std::optional<ObservationRecorder> recorder_;
    std::shared_ptr<rt::Semaphore> control_;
    rt::BroadcastSender<model::RunProgress> progress_;
    std::map<std::string, FaultRuntime, std::less<>> runtimes_;
    std::optional<rt::Task<void>> collector_;
    std::optional<rt::QueueReceiver<model::TransportRecord>> transport_events_;
};

}  // namespace ostrel::engine
