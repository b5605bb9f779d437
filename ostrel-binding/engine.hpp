#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "ostrel-binding/error.hpp"
#include "ostrel-engine/engine.hpp"
#include "ostrel-engine/rt/asio.hpp"
#include "ostrel-engine/rt/broadcast.hpp"
#include "ostrel-engine/rt/queue.hpp"
#include "ostrel-engine/rt/sync.hpp"
#include "ostrel-engine/schedule.hpp"
#include "ostrel-model/run.hpp"
#include "ostrel-model/transport.hpp"

namespace ostrel::binding {

// The lifecycle of one engine. Stopped is final, whether shutdown completed or start failed.
struct Created {
    engine::FaultEngine engine;
};
struct Starting {};
struct Running {
    std::string endpoints;
    // Every operation that works on the running engine holds a copy while it works; shutdown
    // refuses while any such copy exists.
    std::shared_ptr<engine::RunningEngine> engine;
};
struct Stopped {
    std::optional<std::string> summary;
};
using State = std::variant<Created, Starting, Running, Stopped>;

// What every handle of one engine shares.
class Inner {
  public:
    // Holds the state locked for a short read or swap; never kept across an await.
    class StateGuard {
      public:
        State& operator*() { return state_; }
        State* operator->() { return &state_; }

      private:
        friend class Inner;
        StateGuard(std::mutex& mutex, State& state) : lock_(mutex), state_(state) {}

        std::unique_lock<std::mutex> lock_;
        State& state_;
    };

    Inner(model::Run run, size_t event_capacity, engine::FaultEngine engine,
          engine::rt::Executor executor)
        : run(std::move(run)),
          event_capacity(event_capacity),
          executor(std::move(executor)),
          state_(Created{std::move(engine)}) {}

    StateGuard state() { return StateGuard(state_mutex_, state_); }
    // The running engine, or the error that says why there is none.
    std::expected<std::shared_ptr<engine::RunningEngine>, Error> running();
    // Drops the live schedule, if any, which restores the earlier faults; whether there was one.
    asio::awaitable<bool> end_schedule();

    const model::Run run;
    const size_t event_capacity;
    // Where the engine's tasks run; empty means the process runtime.
    const engine::rt::Executor executor;

    // The receiving end of the transport-record queue, filled by start; readers take turns.
    engine::rt::AsyncMutex records_mutex;
    std::optional<engine::rt::QueueReceiver<model::TransportRecord>> records;
    // The run-progress subscription taken when start completed.
    engine::rt::AsyncMutex progress_mutex;
    std::optional<engine::rt::BroadcastReceiver<model::RunProgress>> progress;
    // The live schedule; taken before the schedule's own state lock when both are needed.
    engine::rt::AsyncMutex schedule_mutex;
    std::optional<engine::PhaseSchedule> schedule;
    // A second handle on the schedule's transition queue, so that waiting for a transition does
    // not hold `schedule`.
    struct Transitions {
        std::shared_ptr<engine::TransitionReceiver> receiver;
        engine::MissedCounter missed;
    };
    std::mutex transitions_mutex;
    std::optional<Transitions> transitions;

  private:
    std::mutex state_mutex_;
    State state_;
};

// The engine a host program talks to: text in, text out, errors as `Error`. Copies are cheap
// and all refer to the same engine, which lives as long as any copy does.
class Engine {
  public:
    static constexpr size_t kDefaultEventCapacity = 1024;

    // Reads, checks and validates the run document; opens no socket and resolves no name.
    // `executor` is where the engine's tasks run; by default the process runtime, created on
    // the first start.
    static std::expected<Engine, Error> create(std::string_view config_json,
                                               std::optional<int64_t> event_capacity,
                                               engine::rt::Executor executor = {});

    bool alive() const;
    std::expected<std::string, Error> endpoints() const;
    // The summary kept by a completed shutdown.
    std::optional<std::string> summary() const;

    // Asynchronous operations: each holds a copy of the handle while it runs.
    template <typename T>
    using Async = asio::awaitable<std::expected<T, Error>>;

    // Binds every proxy; the endpoints JSON.
    Async<std::string> start() const;
    // The live status JSON.
    Async<std::string> status() const;
    // The summary JSON of the transports open now.
    Async<std::string> snapshot() const;
    // Stops the engine; the final summary JSON, also kept for `summary`.
    Async<std::string> shutdown() const;
    // The next transport record JSON; none once no record will come any more.
    Async<std::optional<std::string>> next_record() const;
    // The next record as an event, or a status event when none came within the interval
    // (seconds, default 2); none once nothing will come any more.
    Async<std::optional<std::string>> next_event(std::optional<double> status_interval) const;
    // The timed run through the document's phases; its report JSON.
    Async<std::string> run() const;
    // The next progress JSON of a timed run; none once no progress will come any more.
    Async<std::optional<std::string>> next_progress() const;

    // Replaces one proxy's faults (a JSON list of faults), outside any schedule or run.
    Async<void> set_faults(std::string proxy, std::string faults_json) const;
    // Every proxy, ordered by name, with its faults now (JSON).
    Async<std::string> active_faults() const;

    // The live phase schedule.
    Async<void> begin_schedule() const;
    // Whether a schedule was active and has now ended (the earlier faults are back).
    Async<bool> end_schedule() const;
    bool schedule_active() const;
    Async<std::string> add_phase(std::string name, std::optional<std::string> duration,
                                 std::string faults_json) const;
    Async<std::string> modify_phase(std::string id, std::string name,
                                    std::optional<std::string> duration,
                                    std::string faults_json) const;
    Async<std::string> delete_phase(std::string id) const;
    Async<std::string> start_phase(std::string id) const;
    Async<std::string> stop_phase(std::string id) const;
    Async<std::string> move_phase(std::string id, int64_t position) const;
    // The next transition JSON; none once the schedule has ended and its queue is read.
    Async<std::optional<std::string>> next_transition() const;

  private:
    explicit Engine(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}

    std::shared_ptr<Inner> inner_;
};

}  // namespace ostrel::binding
