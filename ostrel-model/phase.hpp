#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel-model/run.hpp"
#include "ostrel-model/timestamp.hpp"
#include "ostrel-model/uuid.hpp"

namespace ostrel::model {

class JsonWriter;

enum class ControlledPhaseState { Pending, Running, Stopped, Deleted };

// "pending", "running", "stopped", "deleted"
std::string_view tag(ControlledPhaseState state);

// One phase of a live schedule. Only a pending phase can be changed, moved, deleted or started;
// a running one can only be stopped; stopped and deleted are final.
struct ControlledPhase {
    Uuid id;
    std::string name;
    std::vector<ProxyFaults> faults;
    std::optional<HumanDuration> duration;  // none: runs until stopped
    ControlledPhaseState state = ControlledPhaseState::Pending;
    std::optional<Timestamp> planned_start_at;  // only for a pending phase, when predictable
    std::optional<Timestamp> started_at;        // set once, kept after the phase stops

    bool operator==(const ControlledPhase&) const = default;
};

enum class PhaseTransitionKind { Added, Modified, Deleted, Started, Stopped };

enum class PhaseTransitionReason { Explicit, Automatic, DurationElapsed, Superseded };

std::string_view tag(PhaseTransitionKind kind);
std::string_view tag(PhaseTransitionReason reason);

// One change of one phase; `phase` is a copy taken after the change.
struct PhaseTransition {
    ControlledPhase phase;
    PhaseTransitionKind kind = PhaseTransitionKind::Added;
    std::optional<PhaseTransitionReason> reason;  // none for kinds only a caller causes

    bool operator==(const PhaseTransition&) const = default;
};

void write_json(JsonWriter& out, const ControlledPhase& phase);
void write_json(JsonWriter& out, const PhaseTransition& transition);

std::string to_json(const ControlledPhase& phase);
// A JSON array of the phases, in the given order.
std::string to_json(const std::vector<ControlledPhase>& phases);
std::string to_json(const PhaseTransition& transition);

}  // namespace ostrel::model
