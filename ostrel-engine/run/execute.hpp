#pragma once

#include <expected>
#include <string>

#include "ostrel-engine/control.hpp"
#include "ostrel-engine/error.hpp"
#include "ostrel-engine/observation.hpp"
#include "ostrel-engine/rt/asio.hpp"
#include "ostrel-engine/rt/broadcast.hpp"
#include "ostrel-model/run.hpp"
#include "ostrel-model/timestamp.hpp"
#include "ostrel-model/transport.hpp"

namespace ostrel::engine {

// What a completed timed run returns.
struct RunReport {
    std::string run_name;
    model::Timestamp started_at;    // after validation, before any phase was added
    model::Timestamp completed_at;  // after the summary was read
    model::TransportSummary transport;

    bool operator==(const RunReport&) const = default;
};

// {"schema_version":1,"run_name":..,"started_at":..,"completed_at":..,
//  "outcome":{"type":"success"},"transport":{..}}
std::string to_json(const RunReport& report);

// Walks the run's phases on the session's engine: each phase starts when the one before it has
// lasted its duration, and each start is announced on `progress` to the subscribers of that
// moment. Completes when the last phase's duration has elapsed; a run whose last phase has none
// runs until the caller abandons it. However it ends (also when the awaiting coroutine is
// cancelled or the awaitable is dropped), the faults in force before the run come back and the
// engine's control is free again.
asio::awaitable<std::expected<RunReport, EngineError>> execute(
    ControlSession session, ObservationRecorder recorder,
    rt::BroadcastSender<model::RunProgress> progress, model::Run run);

}  // namespace ostrel::engine
