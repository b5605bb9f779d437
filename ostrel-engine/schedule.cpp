#include "ostrel-engine/schedule.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <mutex>
#include <utility>

#include "ostrel-engine/rt/cancellation.hpp"
#include "ostrel-engine/rt/task.hpp"
#include "ostrel-model/timestamp.hpp"

namespace ostrel::engine {

namespace detail {

// What the schedule handle and its duration timers share. The timers hold it weakly.
struct ScheduleCore {
    std::mutex lock;
    PhaseControlState state;
    // Cancelled when the schedule ends, so sleeping timers finish at once instead of holding
    // their coroutine frames until their phase would have ended.
    rt::CancellationToken ended;
};

}  // namespace detail

namespace {

using detail::ScheduleCore;
using model::ControlledPhase;
using model::ControlledPhaseState;
using model::PhaseTransitionKind;
using model::PhaseTransitionReason;
using model::Uuid;

EngineError unknown_phase(const Uuid& id) {
    return EngineError(EngineError::UnknownPhase{id});
}

EngineError immutable(const ControlledPhase& phase) {
    return EngineError(EngineError::PhaseImmutable{phase.id, std::string(model::tag(phase.state))});
}

// None when the sum leaves the range of timestamps.
std::optional<model::Timestamp> add(model::Timestamp at, model::Duration span) {
    int64_t secs = 0;
    int64_t nanos = 0;
    int64_t total = 0;
    if (span.secs > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    if (__builtin_mul_overflow(static_cast<int64_t>(span.secs), int64_t{1'000'000'000}, &secs) ||
        __builtin_add_overflow(secs, static_cast<int64_t>(span.nanos), &nanos) ||
        __builtin_add_overflow(at.unix_nanos, nanos, &total)) {
        return std::nullopt;
    }
    return model::Timestamp{total};
}

void erase_id(std::deque<Uuid>& order, const Uuid& id) {
    order.erase(std::remove(order.begin(), order.end(), id), order.end());
}

void arm_active(const std::shared_ptr<ScheduleCore>& core);

asio::awaitable<void> duration_timer(std::weak_ptr<ScheduleCore> weak, rt::CancellationToken ended,
                                     Uuid id, uint64_t generation,
                                     std::chrono::nanoseconds duration) {
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_after(duration);
    auto schedule_ended = ended.cancelled();
    auto elapsed = timer.async_wait(asio::use_awaitable);
    auto race = std::move(schedule_ended) || std::move(elapsed);
    auto first = co_await std::move(race);
    if (first.index() == 0) co_return;

    std::shared_ptr<ScheduleCore> core = weak.lock();
    if (!core) co_return;
    std::lock_guard lock(core->lock);
    PhaseControlState& state = core->state;
    // A start or stop since the timer was armed means its phase is no longer the one running.
    if (!state.session || state.generation != generation || state.active != id) co_return;
    // Nobody is there to hear an error; the schedule stays as the failure left it.
    if (state.stop_and_advance(id, PhaseTransitionReason::DurationElapsed)) arm_active(core);
}

// Arms the duration timer of the running phase, if it has a duration. Called with the lock held.
void arm_active(const std::shared_ptr<ScheduleCore>& core) {
    PhaseControlState& state = core->state;
    if (!state.active || !state.session) return;
    const ControlledPhase& phase = state.phases.at(*state.active);
    if (!phase.duration) return;
    // The handle is dropped: the timer runs detached and ends with the schedule at the latest.
    rt::Task<void>::spawn(state.session->executor(),
                          duration_timer(core, core->ended, phase.id, state.generation,
                                         phase.duration->as_std().to_chrono()),
                          "phase timer");
}

}  // namespace

// --- PhaseControlState ------------------------------------------------------------------------

void PhaseControlState::emit(ControlledPhase phase, PhaseTransitionKind kind,
                             std::optional<PhaseTransitionReason> reason) {
    if (!transitions.valid()) return;
    auto sent = transitions.try_send(model::PhaseTransition{std::move(phase), kind, reason});
    if (sent == rt::TrySend::Full) missed->fetch_add(1);
}

void PhaseControlState::recompute_schedule() {
    std::optional<model::Timestamp> cursor;
    if (active) {
        const ControlledPhase& running = phases.at(*active);
        if (running.started_at && running.duration) {
            cursor = add(*running.started_at, running.duration->as_std());
        }
    }
    for (const Uuid& id : order) {
        ControlledPhase& phase = phases.at(id);
        phase.planned_start_at = cursor;
        if (cursor && phase.duration) {
            cursor = add(*cursor, phase.duration->as_std());
        } else {
            cursor.reset();
        }
    }
}

std::expected<void, EngineError> PhaseControlState::check_faults(
    const std::vector<model::ProxyFaults>& faults) const {
    for (const auto& entry : faults) {
        auto runtime = session->runtimes().find(entry.proxy);
        if (runtime == session->runtimes().end()) {
            return std::unexpected(EngineError(EngineError::UnknownProxy{entry.proxy}));
        }
        auto prepared = runtime->second.prepare_specs(entry.faults);
        if (!prepared) return std::unexpected(std::move(prepared.error()));
    }
    return {};
}

PhaseControlState::Changed PhaseControlState::start(const Uuid& id, PhaseTransitionReason reason) {
    erase_id(order, id);
    ControlledPhase& phase = phases.at(id);
    // Out of the queue it will not start by itself, so no start can be predicted for it.
    phase.planned_start_at.reset();
    std::vector<ControlledPhase> changed;
    if (std::optional<Uuid> previous = std::exchange(active, std::nullopt)) {
        ControlledPhase& stopped = phases.at(*previous);
        stopped.state = ControlledPhaseState::Stopped;
        changed.push_back(stopped);
        emit(stopped, PhaseTransitionKind::Stopped, PhaseTransitionReason::Superseded);
    }
    if (auto replaced = session->replace_faults(phase.faults); !replaced) {
        // Nothing runs now, so the predictions that counted on the stopped phase are void.
        recompute_schedule();
        return std::unexpected(std::move(replaced.error()));
    }
    phase.state = ControlledPhaseState::Running;
    phase.started_at = model::Timestamp::now();
    active = id;
    ++generation;
    changed.push_back(phase);
    emit(phase, PhaseTransitionKind::Started, reason);
    recompute_schedule();
    return changed;
}

PhaseControlState::Changed PhaseControlState::stop_and_advance(const Uuid& id,
                                                               PhaseTransitionReason reason) {
    auto found = phases.find(id);
    if (found == phases.end()) return std::unexpected(unknown_phase(id));
    ControlledPhase& phase = found->second;
    if (phase.state != ControlledPhaseState::Running) {
        return std::unexpected(EngineError(EngineError::PhaseNotRunning{id}));
    }
    phase.state = ControlledPhaseState::Stopped;
    active.reset();
    ++generation;
    std::vector<ControlledPhase> changed{phase};
    emit(phase, PhaseTransitionKind::Stopped, reason);
    if (!order.empty()) {
        Uuid next = order.front();
        order.pop_front();
        auto started = start(next, PhaseTransitionReason::Automatic);
        if (!started) return std::unexpected(std::move(started.error()));
        changed.insert(changed.end(), std::make_move_iterator(started->begin()),
                       std::make_move_iterator(started->end()));
        return changed;
    }
    // Nothing left to start: the proxies run without faults, not with those from before the
    // schedule; only its end brings those back.
    auto cleared = session->replace_faults({});
    recompute_schedule();
    if (!cleared) return std::unexpected(std::move(cleared.error()));
    return changed;
}

// --- PhaseSchedule -----------------------------------------------------------------------------

PhaseSchedule PhaseSchedule::create(ControlSession session) {
    auto [sender, receiver] = rt::make_queue<model::PhaseTransition>(kTransitionCapacity);
    PhaseSchedule schedule;
    schedule.missed_ = std::make_shared<std::atomic<uint64_t>>(0);
    schedule.transitions_ = std::make_shared<TransitionReceiver>();
    schedule.transitions_->queue = std::move(receiver);
    schedule.state_ = std::make_shared<ScheduleCore>();
    PhaseControlState& state = schedule.state_->state;
    state.session.emplace(std::move(session));
    state.transitions = std::move(sender);
    state.missed = schedule.missed_;
    return schedule;
}

PhaseSchedule& PhaseSchedule::operator=(PhaseSchedule&& other) noexcept {
    if (this != &other) {
        end();
        state_ = std::move(other.state_);
        transitions_ = std::move(other.transitions_);
        missed_ = std::move(other.missed_);
    }
    return *this;
}

PhaseSchedule::~PhaseSchedule() {
    end();
}

// A timer may hold the core for a moment, so the end does not wait for the last reference: the
// session and the sending end are taken out here, and the faults are back when this returns.
void PhaseSchedule::end() {
    std::shared_ptr<ScheduleCore> core = std::move(state_);
    if (!core) return;
    std::optional<ControlSession> session;
    rt::QueueSender<model::PhaseTransition> sender;
    {
        std::lock_guard lock(core->lock);
        session = std::exchange(core->state.session, std::nullopt);
        sender = std::move(core->state.transitions);
    }
    core->ended.cancel();
    // Faults first, then the end of the queue, so a reader that sees the end finds them back.
    session.reset();
    sender = rt::QueueSender<model::PhaseTransition>();
    transitions_.reset();
}

PhaseSchedule::Phase PhaseSchedule::add_phase(std::string name,
                                              std::optional<model::HumanDuration> duration,
                                              std::vector<model::ProxyFaults> faults) {
    std::lock_guard lock(state_->lock);
    PhaseControlState& state = state_->state;
    if (auto checked = state.check_faults(faults); !checked) {
        return std::unexpected(std::move(checked.error()));
    }
    Uuid id = Uuid::new_v4();
    while (state.phases.contains(id)) id = Uuid::new_v4();
    state.phases.emplace(id, ControlledPhase{
                                 .id = id,
                                 .name = std::move(name),
                                 .faults = std::move(faults),
                                 .duration = std::move(duration),
                                 .state = ControlledPhaseState::Pending,
                                 .planned_start_at = std::nullopt,
                                 .started_at = std::nullopt,
                             });
    state.order.push_back(id);
    state.recompute_schedule();
    ControlledPhase added = state.phases.at(id);
    state.emit(added, PhaseTransitionKind::Added, std::nullopt);
    return added;
}

PhaseSchedule::Phase PhaseSchedule::modify_phase(const Uuid& id, std::string name,
                                                 std::optional<model::HumanDuration> duration,
                                                 std::vector<model::ProxyFaults> faults) {
    std::lock_guard lock(state_->lock);
    PhaseControlState& state = state_->state;
    auto found = state.phases.find(id);
    if (found == state.phases.end()) return std::unexpected(unknown_phase(id));
    ControlledPhase& phase = found->second;
    if (phase.state != ControlledPhaseState::Pending) return std::unexpected(immutable(phase));
    if (auto checked = state.check_faults(faults); !checked) {
        return std::unexpected(std::move(checked.error()));
    }
    phase.name = std::move(name);
    phase.duration = std::move(duration);
    phase.faults = std::move(faults);
    state.recompute_schedule();
    state.emit(phase, PhaseTransitionKind::Modified, std::nullopt);
    return phase;
}

PhaseSchedule::Phases PhaseSchedule::start_phase(const Uuid& id) {
    std::lock_guard lock(state_->lock);
    PhaseControlState& state = state_->state;
    auto found = state.phases.find(id);
    if (found == state.phases.end()) return std::unexpected(unknown_phase(id));
    if (found->second.state != ControlledPhaseState::Pending) {
        return std::unexpected(immutable(found->second));
    }
    auto changed = state.start(id, PhaseTransitionReason::Explicit);
    if (changed) arm_active(state_);
    return changed;
}

PhaseSchedule::Phases PhaseSchedule::stop_phase(const Uuid& id) {
    std::lock_guard lock(state_->lock);
    auto changed = state_->state.stop_and_advance(id, PhaseTransitionReason::Explicit);
    if (changed) arm_active(state_);
    return changed;
}

PhaseSchedule::Phase PhaseSchedule::delete_phase(const Uuid& id) {
    std::lock_guard lock(state_->lock);
    PhaseControlState& state = state_->state;
    auto found = state.phases.find(id);
    if (found == state.phases.end()) return std::unexpected(unknown_phase(id));
    ControlledPhase& phase = found->second;
    if (phase.state != ControlledPhaseState::Pending) return std::unexpected(immutable(phase));
    phase.state = ControlledPhaseState::Deleted;
    phase.planned_start_at.reset();
    erase_id(state.order, id);
    state.recompute_schedule();
    state.emit(phase, PhaseTransitionKind::Deleted, std::nullopt);
    return phase;
}

PhaseSchedule::Phase PhaseSchedule::move_phase(const Uuid& id, uint64_t position) {
    std::lock_guard lock(state_->lock);
    PhaseControlState& state = state_->state;
    auto found = state.phases.find(id);
    if (found == state.phases.end()) return std::unexpected(unknown_phase(id));
    ControlledPhase& phase = found->second;
    if (phase.state != ControlledPhaseState::Pending) return std::unexpected(immutable(phase));
    erase_id(state.order, id);
    const auto index =
        static_cast<std::ptrdiff_t>(std::min<uint64_t>(position, state.order.size()));
    state.order.insert(state.order.begin() + index, id);
    state.recompute_schedule();
    state.emit(phase, PhaseTransitionKind::Modified, std::nullopt);
    return phase;
}

asio::awaitable<std::expected<std::optional<model::PhaseTransition>, EngineError>> next_transition(
    std::shared_ptr<TransitionReceiver> transitions, MissedCounter missed) {
    using Result = std::expected<std::optional<model::PhaseTransition>, EngineError>;
    const uint64_t dropped = missed->exchange(0);
    if (dropped != 0) {
        co_return Result(std::unexpect, EngineError::MissedPhaseTransitions{dropped});
    }
    rt::AsyncMutex::Guard guard = co_await transitions->lock.lock();
    std::optional<model::PhaseTransition> next = co_await transitions->queue.receive();
    co_return Result(std::move(next));
}

}  // namespace ostrel::engine
