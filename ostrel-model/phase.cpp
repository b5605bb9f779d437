#include "ostrel-model/phase.hpp"

#include <utility>

#include "ostrel-model/json_writer.hpp"

namespace ostrel::model {

std::string_view tag(ControlledPhaseState state) {
    switch (state) {
        case ControlledPhaseState::Pending:
            return "pending";
        case ControlledPhaseState::Running:
            return "running";
        case ControlledPhaseState::Stopped:
            return "stopped";
        case ControlledPhaseState::Deleted:
            return "deleted";
    }
    std::unreachable();
}

std::string_view tag(PhaseTransitionKind kind) {
    switch (kind) {
        case PhaseTransitionKind::Added:
            return "added";
        case PhaseTransitionKind::Modified:
            return "modified";
        case PhaseTransitionKind::Deleted:
            return "deleted";
        case PhaseTransitionKind::Started:
            return "started";
        case PhaseTransitionKind::Stopped:
            return "stopped";
    }
    std::unreachable();
}

std::string_view tag(PhaseTransitionReason reason) {
    switch (reason) {
        case PhaseTransitionReason::Explicit:
            return "explicit";
        case PhaseTransitionReason::Automatic:
            return "automatic";
        case PhaseTransitionReason::DurationElapsed:
            return "duration-elapsed";
        case PhaseTransitionReason::Superseded:
            return "superseded";
    }
    std::unreachable();
}

void write_json(JsonWriter& out, const ControlledPhase& phase) {
    out.begin_object();
    out.key("id").string(phase.id.to_string());
    out.key("name").string(phase.name);
    out.key("faults").raw(write_proxy_faults(phase.faults));
    out.key("duration");
    if (phase.duration) {
        out.string(phase.duration->text());
    } else {
        out.null();
    }
    out.key("state").string(tag(phase.state));
    out.key("planned_start_at");
    write_timestamp(out, phase.planned_start_at);
    out.key("started_at");
    write_timestamp(out, phase.started_at);
    out.end_object();
}

void write_json(JsonWriter& out, const PhaseTransition& transition) {
    out.begin_object();
    out.key("phase");
    write_json(out, transition.phase);
    out.key("kind").string(tag(transition.kind));
    out.key("reason");
    if (transition.reason) {
        out.string(tag(*transition.reason));
    } else {
        out.null();
    }
    out.end_object();
}

std::string to_json(const ControlledPhase& phase) {
    JsonWriter out;
    write_json(out, phase);
    return out.take();
}

std::string to_json(const std::vector<ControlledPhase>& phases) {
    JsonWriter out;
    out.begin_array();
    for (const auto& phase : phases) write_json(out, phase);
    out.end_array();
    return out.take();
}

std::string to_json(const PhaseTransition& transition) {
    JsonWriter out;
    write_json(out, transition);
    return out.take();
}

}  // namespace ostrel::model
