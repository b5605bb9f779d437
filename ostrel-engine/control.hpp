#pragma once

#include <expected>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ostrel-engine/error.hpp"
#include "ostrel-engine/faults/runtime.hpp"
#include "ostrel-engine/rt/asio.hpp"
#include "ostrel-engine/rt/sync.hpp"
#include "ostrel-model/fault.hpp"
#include "ostrel-model/run.hpp"

namespace ostrel::engine {

class RunningEngine;

// Proxy name → fault runtime, ordered by name.
using RuntimeMap = std::map<std::string, FaultRuntime, std::less<>>;

// The exclusive right to replace every proxy's faults, begun with RunningEngine::begin_control.
// Ending it (dropping it) restores the faults that were in force when it began, then gives the
// engine's control back, in that order, so the next controller starts from the restored faults.
class ControlSession {
  public:
    ControlSession(ControlSession&& other) noexcept;
    ControlSession& operator=(ControlSession&& other) noexcept;
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;
    ~ControlSession();

    // Gives every proxy exactly the faults the list names for it, and none to the proxies it
    // does not name. On error no proxy's faults have changed.
    std::expected<void, EngineError> replace_faults(const std::vector<model::ProxyFaults>& list);
    // Installs the faults of the session's start, once; later calls do nothing. A proxy whose
    // earlier list can no longer be prepared keeps what it has.
    void restore_previous();

    const RuntimeMap& runtimes() const { return runtimes_; }
    // The engine's runtime, where the work of the session's owner (duration timers) runs.
    const rt::Executor& executor() const { return executor_; }

  private:
    friend class RunningEngine;
    using Snapshot = std::map<std::string, std::vector<model::FaultSpec>, std::less<>>;

    ControlSession(rt::Semaphore::Permit permit, RuntimeMap runtimes, Snapshot previous,
                   rt::Executor executor);
    void end();

    rt::Semaphore::Permit permit_;
    RuntimeMap runtimes_;
    std::optional<Snapshot> previous_;
    rt::Executor executor_;
};

}  // namespace ostrel::engine
