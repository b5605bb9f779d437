#pragma once

// A started engine on a runtime of its own, for the tests of control sessions, schedules and
// timed runs. Its TCP proxies listen on 127.0.0.1 with ephemeral ports; nothing connects to
// their upstreams.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ostrel-engine/control.hpp"
#include "ostrel-engine/engine.hpp"
#include "ostrel-engine/rt/runtime.hpp"
#include "ostrel-model/fault.hpp"

namespace ostrel::engine::control_test {

using namespace std::chrono_literals;
using FaultMap = std::map<std::string, std::vector<model::FaultSpec>>;

inline model::FaultSpec latency_ms(double min_ms, double max_ms) {
    return {model::LatencyFault{model::TrafficFlow::Both,
                                {model::UniformDistribution{min_ms, max_ms}}}};
}
inline model::FaultSpec blackhole(model::TrafficFlow flow = model::TrafficFlow::Both) {
    return {model::BlackholeFault{flow}};
}
inline model::FaultSpec bandwidth(uint64_t bytes_per_second) {
    return {model::BandwidthFault{model::TrafficFlow::Both, bytes_per_second}};
}
inline model::FaultSpec reset(double probability) {
    return {model::ConnectionResetFault{model::TrafficFlow::Both, probability}};
}

inline EngineProxy tcp_proxy(std::string name, std::vector<model::FaultSpec> faults = {}) {
    return EngineProxy{
        .name = std::move(name),
        .listen = "127.0.0.1:0",
        .upstream = "127.0.0.1:9",
        .faults = std::move(faults),
        .protocol = model::TransportProtocol::Tcp,
    };
}

class EngineHarness {
  public:
    explicit EngineHarness(std::vector<EngineProxy> proxies, size_t threads = 4)
        : runtime_(threads) {
        FaultEngine config;
        config.proxies = std::move(proxies);
        auto started = run(std::move(config).start(runtime_.executor()));
        if (!started) throw std::runtime_error(started.error().display());
        engine_ = std::move(*started);
    }
    ~EngineHarness() {
        if (engine_ && engine_.use_count() == 1) {
            auto engine = engine_;
            engine_.reset();
            (void)run(engine->shutdown());
        }
    }

    RunningEngine& engine() { return *engine_; }
    rt::Runtime& runtime() { return runtime_; }
    rt::Executor executor() { return runtime_.executor(); }

    // Runs `op` on the runtime and waits for it, never longer than `timeout`.
    template <typename T>
    T run(asio::awaitable<T> op, std::chrono::steady_clock::duration timeout = 10s) {
        auto future = asio::co_spawn(runtime_.executor(), std::move(op), asio::use_future);
        if (future.wait_for(timeout) != std::future_status::ready) {
            throw std::runtime_error("operation did not complete in time");
        }
        return future.get();
    }

    FaultMap faults() const {
        FaultMap out;
        for (auto& entry : engine_->active_faults()) out.emplace(entry.proxy, entry.faults);
        return out;
    }

    // The identity of every proxy's current set: a new set means the proxy was re-installed.
    std::map<std::string, const ActiveFaults*> sets() const {
        std::map<std::string, const ActiveFaults*> out;
        for (const auto& [name, runtime] : engine_->runtimes()) {
            out.emplace(name, runtime.current().get());
        }
        return out;
    }

    ControlSession begin() {
        auto session = engine_->begin_control();
        if (!session) throw std::runtime_error(session.error().display());
        return std::move(*session);
    }

    bool control_free() const { return engine_->control()->available() == 1; }

  private:
    rt::Runtime runtime_;
    std::shared_ptr<RunningEngine> engine_;
};

inline constexpr const char* kControlAlreadyActive =
    "a run or adaptive phase is already controlling this engine";

}  // namespace ostrel::engine::control_test
