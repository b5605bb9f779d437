#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ostrel-engine/control.hpp"
#include "ostrel-engine/error.hpp"
#include "ostrel-engine/rt/asio.hpp"
#include "ostrel-engine/rt/queue.hpp"
#include "ostrel-engine/rt/sync.hpp"
#include "ostrel-model/phase.hpp"
#include "ostrel-model/run.hpp"
#include "ostrel-model/uuid.hpp"

namespace ostrel::engine {

// Transitions a schedule keeps for its reader; beyond that they are counted and dropped.
inline constexpr size_t kTransitionCapacity = 1024;

// Transitions dropped because the queue was full, since the last read.
using MissedCounter = std::shared_ptr<std::atomic<uint64_t>>;

// The receiving end of a schedule's transition queue. Shared, so that a reader can wait for
// the next transition without holding the schedule; readers are served one at a time.
struct TransitionReceiver {
    rt::AsyncMutex lock;
    rt::QueueReceiver<model::PhaseTransition> queue;
};

// The mutable state of one schedule. Every member function expects the schedule's lock held.
struct PhaseControlState {
    using Changed = std::expected<std::vector<model::ControlledPhase>, EngineError>;

    // None once the schedule has ended; the session's end restored the earlier faults.
    std::optional<ControlSession> session;
    // The pending phases in the order they will start; the front starts next.
    std::deque<model::Uuid> order;
    rt::QueueSender<model::PhaseTransition> transitions;
    MissedCounter missed;
    // Every phase ever added; deleted ones stay as records.
    std::map<model::Uuid, model::ControlledPhase> phases;
    // Changes at every start and every stop, so a duration timer can tell that the phase it was
    // armed for is gone, even if the same id were running again.
    uint64_t generation = 0;
    std::optional<model::Uuid> active;

    // `id` names a pending phase. A phase that was running is stopped as superseded even if
    // the new faults cannot be installed.
    Changed start(const model::Uuid& id, model::PhaseTransitionReason reason);
    Changed stop_and_advance(const model::Uuid& id, model::PhaseTransitionReason reason);
    void recompute_schedule();
    // Never waits: with the reader gone the transition is dropped, with the queue full it is
    // dropped and counted in `missed`.
    void emit(model::ControlledPhase phase, model::PhaseTransitionKind kind,
              std::optional<model::PhaseTransitionReason> reason);
    // Each entry must name a proxy of the session and carry a list its runtime can prepare.
    std::expected<void, EngineError> check_faults(
        const std::vector<model::ProxyFaults>& faults) const;
};

namespace detail {
struct ScheduleCore;
}  // namespace detail

// A live schedule of phases over a control session. Its duration timers run on the session's
// executor and hold it only weakly. Ending it (dropping it) ends the session, which restores
// the faults in force before the schedule began and frees the engine's control, and then closes
// the transition queue: a reader gets what is still queued, then none.
class PhaseSchedule {
  public:
    using Phase = std::expected<model::ControlledPhase, EngineError>;
    using Phases = std::expected<std::vector<model::ControlledPhase>, EngineError>;

    // No phases, nothing running; no fault changes.
    static PhaseSchedule create(ControlSession session);

    PhaseSchedule(PhaseSchedule&& other) noexcept = default;
    PhaseSchedule& operator=(PhaseSchedule&& other) noexcept;
    ~PhaseSchedule();

    // Queues a new pending phase at the back; never starts it.
    Phase add_phase(std::string name, std::optional<model::HumanDuration> duration,
                    std::vector<model::ProxyFaults> faults);
    // Replaces name, duration and faults of a pending phase; its place in the queue stays.
    Phase modify_phase(const model::Uuid& id, std::string name,
                       std::optional<model::HumanDuration> duration,
                       std::vector<model::ProxyFaults> faults);
    // The phase stopped by it (if one was running), then the started phase.
    Phases start_phase(const model::Uuid& id);
    // The stopped phase, then the phase that started after it (if any).
    Phases stop_phase(const model::Uuid& id);
    Phase delete_phase(const model::Uuid& id);
    // Index 0 is the front; a position past the end puts the phase last.
    Phase move_phase(const model::Uuid& id, uint64_t position);

    const std::shared_ptr<TransitionReceiver>& transitions() const { return transitions_; }
    const MissedCounter& missed() const { return missed_; }

  private:
    PhaseSchedule() = default;
    void end();

    std::shared_ptr<detail::ScheduleCore> state_;
    std::shared_ptr<TransitionReceiver> transitions_;
    MissedCounter missed_;
};

// The next transition; none once the schedule has ended and every queued transition has been
// read; MissedPhaseTransitions (once, with the count) if transitions were dropped since the last
// call, leaving the queued ones for the following calls.
asio::awaitable<std::expected<std::optional<model::PhaseTransition>, EngineError>> next_transition(
    std::shared_ptr<TransitionReceiver> transitions, MissedCounter missed);

}  // namespace ostrel::engine
