#include "ostrel-engine/run/execute.hpp"

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <utility>

#include "ostrel-engine/schedule.hpp"
#include "ostrel-model/json_writer.hpp"
#include "ostrel-model/phase.hpp"
#include "ostrel-model/uuid.hpp"
#include "ostrel-model/validation.hpp"

namespace ostrel::engine {

namespace {

// Whole milliseconds; fractions are dropped and what does not fit saturates.
uint64_t whole_millis(model::Duration span) {
    uint64_t millis = 0;
    if (__builtin_mul_overflow(span.secs, uint64_t{1000}, &millis) ||
        __builtin_add_overflow(millis, uint64_t{span.nanos / 1'000'000}, &millis)) {
        return std::numeric_limits<uint64_t>::max();
    }
    return millis;
}

}  // namespace

std::string to_json(const RunReport& report) {
    model::JsonWriter out;
    out.begin_object();
    out.key("schema_version").uint(1);
    out.key("run_name").string(report.run_name);
    out.key("started_at").string(report.started_at.to_rfc3339());
    out.key("completed_at").string(report.completed_at.to_rfc3339());
    out.key("outcome").begin_object().key("type").string("success").end_object();
    out.key("transport");
    model::write_json(out, report.transport);
    out.end_object();
    return out.take();
}

asio::awaitable<std::expected<RunReport, EngineError>> execute(
    ControlSession session, ObservationRecorder recorder,
    rt::BroadcastSender<model::RunProgress> progress, model::Run run) {
    using Result = std::expected<RunReport, EngineError>;
    if (auto valid = run.validate(); !valid) {
        co_return Result(std::unexpect, EngineError::InvalidConfiguration{valid.error()});
    }
    const model::Timestamp started_at = model::Timestamp::now();
    const auto phase_count = static_cast<uint32_t>(run.phases.size());

    // From here on the schedule owns the session: leaving this function in any way ends it.
    std::optional<PhaseSchedule> schedule(PhaseSchedule::create(std::move(session)));
    const std::shared_ptr<TransitionReceiver> transitions = schedule->transitions();
    const MissedCounter missed = schedule->missed();

    std::map<model::Uuid, uint32_t> positions;
    std::optional<model::Uuid> first;
    for (uint32_t index = 0; index < phase_count; ++index) {
        const model::Phase& phase = run.phases[index];
        auto added = schedule->add_phase(phase.name, phase.duration, phase.proxies);
        if (!added) co_return Result(std::unexpect, std::move(added.error()));
        positions.emplace(added->id, index + 1);
        if (!first) first = added->id;
        // Reading each "added" transition keeps the queue empty for the run's own transitions.
        auto read = next_transition(transitions, missed);
        auto discarded = co_await std::move(read);
        if (!discarded) co_return Result(std::unexpect, std::move(discarded.error()));
    }
    if (first) {
        auto started = schedule->start_phase(*first);
        if (!started) co_return Result(std::unexpect, std::move(started.error()));
    }

    for (;;) {
        auto read = next_transition(transitions, missed);
        auto next = co_await std::move(read);
        if (!next) co_return Result(std::unexpect, std::move(next.error()));
        if (!*next) break;
        const model::PhaseTransition& transition = **next;
        auto position = positions.find(transition.phase.id);
        const uint32_t index = position == positions.end() ? 0 : position->second;
        if (transition.kind == model::PhaseTransitionKind::Started) {
            const model::ControlledPhase& phase = transition.phase;
            model::RunProgress message{
                .run_name = run.name,
                .phase_name = phase.name,
                .phase_index = index,
                .phase_count = phase_count,
                .phase_duration_ms =
                    phase.duration ? std::optional<uint64_t>(whole_millis(phase.duration->as_std()))
                                   : std::nullopt,
                .phase_started_at = phase.started_at.value_or(model::Timestamp::now()),
                .proxies = phase.faults,
            };
            progress.send(std::move(message));
        } else if (transition.kind == model::PhaseTransitionKind::Stopped &&
                   transition.reason == model::PhaseTransitionReason::DurationElapsed &&
                   index == phase_count) {
            break;
        }
    }

    // The faults from before the run are back before the summary is read.
    schedule.reset();
    auto snapshot = recorder.snapshot();
    auto summary = co_await std::move(snapshot);
    if (!summary) co_return Result(std::unexpect, std::move(summary.error()));
    co_return Result(RunReport{
        .run_name = run.name,
        .started_at = started_at,
        .completed_at = model::Timestamp::now(),
        .transport = std::move(*summary),
    });
}

}  // namespace ostrel::engine
