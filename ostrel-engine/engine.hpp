#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "ostrel-model/config.hpp"
#include "ostrel-model/fault.hpp"
#include "ostrel-model/run.hpp"

namespace ostrel::engine {

// One proxy as the engine holds it: the texts of the run and the faults it starts with.
struct EngineProxy {
    std::string name;
    std::string listen;
    std::string upstream;
    std::vector<model::FaultSpec> faults;
    model::TransportProtocol protocol = model::TransportProtocol::Tcp;
};

// What a started engine will open. Built from a validated run; nothing touches the network
// until it is started.
class FaultEngine {
  public:
    static FaultEngine from_run(const model::Run& run);

    // Capacity of the transport-record queue; none means no queue is created.
    std::optional<size_t> transport_events;
    std::vector<EngineProxy> proxies;
};

}  // namespace ostrel::engine
