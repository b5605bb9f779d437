// The facade's operations that change faults while the engine runs: the timed run, the live
// phase schedule and the direct replacement of one proxy's faults.
#include "ostrel-engine/control.hpp"
#include "ostrel-binding/engine.hpp"
#include "ostrel-engine/run/execute.hpp"
#include "ostrel-model/json_reader.hpp"
#include "ostrel-model/json_writer.hpp"
#include "ostrel-model/phase.hpp"
#include "ostrel-model/text.hpp"
#include "ostrel-model/uuid.hpp"

namespace ostrel::binding {

namespace {

template <typename T>
using Async = Engine::Async<T>;

constexpr std::string_view kNoSchedule = "no phase schedule is active";

std::expected<model::Uuid, Error> parse_phase_id(const std::string& text) {
    if (auto id = model::Uuid::parse(text)) return *id;
    return std::unexpected(Error::invalid("invalid phase id " + model::quoted(text)));
}

std::expected<std::optional<model::HumanDuration>, Error> parse_phase_duration(
    const std::optional<std::string>& text) {
    if (!text) return std::optional<model::HumanDuration>();
    auto duration = model::HumanDuration::parse(*text);
    if (!duration) {
        return std::unexpected(Error::invalid("invalid phase duration " + model::quoted(*text) +
                                              ": " + duration.error()));
    }
    return std::optional<model::HumanDuration>(std::move(*duration));
}

std::expected<std::vector<model::ProxyFaults>, Error> parse_entries(const std::string& json) {
    auto entries = model::read_proxy_faults(json);
    if (!entries) return std::unexpected(Error::invalid(std::move(entries.error())));
    return std::move(*entries);
}

std::string phases_json(const std::vector<model::ControlledPhase>& phases) {
    model::JsonWriter out;
    out.begin_array();
    for (const auto& phase : phases) out.raw(model::to_json(phase));
    out.end_array();
    return out.take();
}

Async<std::string> do_run(std::shared_ptr<Inner> inner) {
    auto running = inner->running();
    if (!running) co_return std::unexpected(running.error());
    auto session = (*running)->begin_control();
    if (!session) co_return std::unexpected(Error::from_engine(session.error()));
    auto report = co_await engine::execute(std::move(*session), (*running)->recorder(),
                                           (*running)->progress(), inner->run);
    if (!report) co_return std::unexpected(Error::from_engine(report.error()));
    co_return engine::to_json(*report);
}

Async<std::optional<std::string>> do_next_progress(std::shared_ptr<Inner> inner) {
    auto lock = co_await inner->progress_mutex.lock();
    if (!inner->progress) {
        co_return std::unexpected(Error::runtime("start the engine before reading progress"));
    }
    for (;;) {
        auto message = co_await inner->progress->receive();
        // A reader that fell behind skips what was overwritten.
        if (std::holds_alternative<engine::rt::Lagged>(message)) continue;
        if (std::holds_alternative<engine::rt::Closed>(message)) {
            co_return std::optional<std::string>();
        }
        co_return model::to_json(std::get<model::RunProgress>(message));
    }
}

Async<void> do_set_faults(std::shared_ptr<Inner> inner, std::string proxy,
                          std::string faults_json) {
    auto faults = model::read_fault_list(faults_json);
    if (!faults) co_return std::unexpected(Error::invalid(std::move(faults.error())));
    auto running = inner->running();
    if (!running) co_return std::unexpected(running.error());
    auto set = (*running)->set_faults(proxy, std::move(*faults));
    if (!set) co_return std::unexpected(Error::from_engine(set.error()));
    co_return std::expected<void, Error>{};
}

Async<std::string> do_active_faults(std::shared_ptr<Inner> inner) {
    auto running = inner->running();
    if (!running) co_return std::unexpected(running.error());
    co_return model::write_proxy_faults((*running)->active_faults());
}

Async<void> do_begin_schedule(std::shared_ptr<Inner> inner) {
    auto running = inner->running();
    if (!running) co_return std::unexpected(running.error());
    auto lock = co_await inner->schedule_mutex.lock();
    if (inner->schedule) {
        co_return std::unexpected(Error::runtime("a phase schedule is already active"));
    }
    auto session = (*running)->begin_control();
    if (!session) co_return std::unexpected(Error::from_engine(session.error()));
    auto schedule = engine::PhaseSchedule::create(std::move(*session));
    {
        std::lock_guard transitions(inner->transitions_mutex);
        inner->transitions = Inner::Transitions{schedule.transitions(), schedule.missed()};
    }
    inner->schedule = std::move(schedule);
    co_return std::expected<void, Error>{};
}

Async<bool> do_end_schedule(std::shared_ptr<Inner> inner) {
    co_return co_await inner->end_schedule();
}

// Runs `operation` on the active schedule, with `schedule` held throughout.
template <typename Result, typename Operation>
Async<std::string> with_schedule(std::shared_ptr<Inner> inner, Operation operation) {
    auto lock = co_await inner->schedule_mutex.lock();
    if (!inner->schedule) co_return std::unexpected(Error::runtime(std::string(kNoSchedule)));
    Result result = operation(*inner->schedule);
    if (!result) co_return std::unexpected(Error::from_engine(result.error()));
    if constexpr (std::is_same_v<typename Result::value_type, model::ControlledPhase>) {
        co_return model::to_json(*result);
    } else {
        co_return phases_json(*result);
    }
}

Async<std::string> do_add_phase(std::shared_ptr<Inner> inner, std::string name,
                                std::optional<std::string> duration_text, std::string faults_json) {
    auto duration = parse_phase_duration(duration_text);
    if (!duration) co_return std::unexpected(duration.error());
    auto faults = parse_entries(faults_json);
    if (!faults) co_return std::unexpected(faults.error());
    auto add = [&](engine::PhaseSchedule& schedule) {
        return schedule.add_phase(std::move(name), std::move(*duration), std::move(*faults));
    };
    co_return co_await with_schedule<engine::PhaseSchedule::Phase>(inner, add);
}

Async<std::string> do_modify_phase(std::shared_ptr<Inner> inner, std::string id_text,
                                   std::string name, std::optional<std::string> duration_text,
                                   std::string faults_json) {
    auto id = parse_phase_id(id_text);
    if (!id) co_return std::unexpected(id.error());
    auto duration = parse_phase_duration(duration_text);
    if (!duration) co_return std::unexpected(duration.error());
    auto faults = parse_entries(faults_json);
    if (!faults) co_return std::unexpected(faults.error());
    auto modify = [&](engine::PhaseSchedule& schedule) {
        return schedule.modify_phase(*id, std::move(name), std::move(*duration),
                                     std::move(*faults));
    };
    co_return co_await with_schedule<engine::PhaseSchedule::Phase>(inner, modify);
}

Async<std::string> do_delete_phase(std::shared_ptr<Inner> inner, std::string id_text) {
    auto id = parse_phase_id(id_text);
    if (!id) co_return std::unexpected(id.error());
    auto remove = [&](engine::PhaseSchedule& schedule) { return schedule.delete_phase(*id); };
    co_return co_await with_schedule<engine::PhaseSchedule::Phase>(inner, remove);
}

Async<std::string> do_start_phase(std::shared_ptr<Inner> inner, std::string id_text) {
    auto id = parse_phase_id(id_text);
    if (!id) co_return std::unexpected(id.error());
    auto start = [&](engine::PhaseSchedule& schedule) { return schedule.start_phase(*id); };
    co_return co_await with_schedule<engine::PhaseSchedule::Phases>(inner, start);
}

Async<std::string> do_stop_phase(std::shared_ptr<Inner> inner, std::string id_text) {
    auto id = parse_phase_id(id_text);
    if (!id) co_return std::unexpected(id.error());
    auto stop = [&](engine::PhaseSchedule& schedule) { return schedule.stop_phase(*id); };
    co_return co_await with_schedule<engine::PhaseSchedule::Phases>(inner, stop);
}

Async<std::string> do_move_phase(std::shared_ptr<Inner> inner, std::string id_text,
                                 int64_t position) {
    auto id = parse_phase_id(id_text);
    if (!id) co_return std::unexpected(id.error());
    if (position < 0)
        co_return std::unexpected(Error::invalid("phase position cannot be negative"));
    auto move = [&](engine::PhaseSchedule& schedule) {
        return schedule.move_phase(*id, static_cast<uint64_t>(position));
    };
    co_return co_await with_schedule<engine::PhaseSchedule::Phase>(inner, move);
}

Async<std::optional<std::string>> do_next_transition(std::shared_ptr<Inner> inner) {
    std::optional<Inner::Transitions> handle;
    {
        std::lock_guard transitions(inner->transitions_mutex);
        handle = inner->transitions;
    }
    if (!handle) co_return std::unexpected(Error::runtime(std::string(kNoSchedule)));
    auto transition = co_await engine::next_transition(handle->receiver, handle->missed);
    if (!transition) co_return std::unexpected(Error::from_engine(transition.error()));
    if (!*transition) co_return std::optional<std::string>();
    co_return model::to_json(**transition);
}

}  // namespace

// Ending the schedule drops it, which restores the earlier faults and frees the control.
asio::awaitable<bool> Inner::end_schedule() {
    auto lock = co_await schedule_mutex.lock();
    bool ended = schedule.has_value();
    schedule.reset();
    std::lock_guard guard(transitions_mutex);
    transitions.reset();
    co_return ended;
}

Async<std::string> Engine::run() const {
    return do_run(inner_);
}
Async<std::optional<std::string>> Engine::next_progress() const {
    return do_next_progress(inner_);
}
Async<void> Engine::set_faults(std::string proxy, std::string faults_json) const {
    return do_set_faults(inner_, std::move(proxy), std::move(faults_json));
}
Async<std::string> Engine::active_faults() const {
    return do_active_faults(inner_);
}
Async<void> Engine::begin_schedule() const {
    return do_begin_schedule(inner_);
}
Async<bool> Engine::end_schedule() const {
    return do_end_schedule(inner_);
}
bool Engine::schedule_active() const {
    std::lock_guard transitions(inner_->transitions_mutex);
    return inner_->transitions.has_value();
}
Async<std::string> Engine::add_phase(std::string name, std::optional<std::string> duration,
                                     std::string faults_json) const {
    return do_add_phase(inner_, std::move(name), std::move(duration), std::move(faults_json));
}
Async<std::string> Engine::modify_phase(std::string id, std::string name,
                                        std::optional<std::string> duration,
                                        std::string faults_json) const {
    return do_modify_phase(inner_, std::move(id), std::move(name), std::move(duration),
                           std::move(faults_json));
}
Async<std::string> Engine::delete_phase(std::string id) const {
    return do_delete_phase(inner_, std::move(id));
}
Async<std::string> Engine::start_phase(std::string id) const {
    return do_start_phase(inner_, std::move(id));
}
Async<std::string> Engine::stop_phase(std::string id) const {
    return do_stop_phase(inner_, std::move(id));
}
Async<std::string> Engine::move_phase(std::string id, int64_t position) const {
    return do_move_phase(inner_, std::move(id), position);
}
Async<std::optional<std::string>> Engine::next_transition() const {
    return do_next_transition(inner_);
}

}  // namespace ostrel::binding
