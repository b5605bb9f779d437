#include "ostrel-engine/engine.hpp"

#include <map>

namespace ostrel::engine {

FaultEngine FaultEngine::from_run(const model::Run& run) {
    // The first phase's faults are active from the start; a later entry for the same proxy wins.
    std::map<std::string, const std::vector<model::FaultSpec>*, std::less<>> first_phase;
    if (!run.phases.empty()) {
        for (const auto& entry : run.phases.front().proxies) {
            first_phase[entry.proxy] = &entry.faults;
        }
    }
    FaultEngine engine;
    engine.proxies.reserve(run.proxies.size());
    for (const auto& proxy : run.proxies) {
        auto found = first_phase.find(proxy.name);
        engine.proxies.push_back(EngineProxy{
            .name = proxy.name,
            .listen = proxy.listen,
            .upstream = proxy.upstream,
            .faults = found == first_phase.end() ? std::vector<model::FaultSpec>{} : *found->second,
            .protocol = proxy.protocol,
        });
    }
    return engine;
}

}  // namespace ostrel::engine
