#include "ostrel-engine/schedule.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/engine/control_fixture.hpp"

namespace ostrel::engine {
namespace {

using namespace control_test;
using model::ControlledPhase;
using model::ControlledPhaseState;
using model::PhaseTransition;
using model::PhaseTransitionKind;
using model::PhaseTransitionReason;
using model::ProxyFaults;
using model::Timestamp;
using model::Uuid;
using Clock = std::chrono::steady_clock;
using Kind = PhaseTransitionKind;
using Reason = PhaseTransitionReason;

constexpr int64_t kSecond = 1'000'000'000;

const FaultMap kInitial = {{"a", {latency_ms(10, 20)}}, {"b", {blackhole()}}};
const FaultMap kCleared = {{"a", {}}, {"b", {}}};

std::optional<model::HumanDuration> lasting(std::optional<std::string> text) {
    if (!text) return std::nullopt;
    auto parsed = model::HumanDuration::parse(*text);
    if (!parsed) throw std::runtime_error(parsed.error());
    return *parsed;
}

std::string immutable_text(const Uuid& id, std::string_view state) {
    return "phase " + id.to_string() + " is " + std::string(state) +
           " and can no longer be changed";
}

// A started engine with proxies a and b and a schedule over it.
class ScheduleHarness : public EngineHarness {
  public:
    ScheduleHarness()
        : EngineHarness({tcp_proxy("a", {latency_ms(10, 20)}), tcp_proxy("b", {blackhole()})}),
          schedule(PhaseSchedule::create(begin())),
          transitions(schedule->transitions()),
          missed(schedule->missed()) {}

    ControlledPhase add(std::string name, std::optional<std::string> duration = std::nullopt,
                        std::vector<ProxyFaults> faults = {}) {
        auto added = schedule->add_phase(std::move(name), lasting(duration), std::move(faults));
        if (!added) throw std::runtime_error(added.error().display());
        return std::move(*added);
    }

    std::vector<ControlledPhase> start(const Uuid& id) {
        auto started = schedule->start_phase(id);
        if (!started) throw std::runtime_error(started.error().display());
        return std::move(*started);
    }

    std::vector<ControlledPhase> stop(const Uuid& id) {
        auto stopped = schedule->stop_phase(id);
        if (!stopped) throw std::runtime_error(stopped.error().display());
        return std::move(*stopped);
    }

    // The transitions queued now, without waiting.
    std::vector<PhaseTransition> queued() {
        std::vector<PhaseTransition> out;
        while (auto next = transitions->queue.try_receive()) out.push_back(std::move(*next));
        return out;
    }

    std::expected<std::optional<PhaseTransition>, EngineError> next(Clock::duration timeout = 5s) {
        return run(next_transition(transitions, missed), timeout);
    }

    // The transition that must come next.
    PhaseTransition expect_next(Clock::duration timeout = 5s) {
        auto next_one = next(timeout);
        if (!next_one) throw std::runtime_error(next_one.error().display());
        if (!*next_one) throw std::runtime_error("the schedule ended");
        return std::move(**next_one);
    }

    std::optional<PhaseSchedule> schedule;
    std::shared_ptr<TransitionReceiver> transitions;
    MissedCounter missed;
};

struct Seen {
    Uuid id;
    Kind kind;
    std::optional<Reason> reason;
    ControlledPhaseState state;

    bool operator==(const Seen&) const = default;
};

std::vector<Seen> seen(const std::vector<PhaseTransition>& transitions) {
    std::vector<Seen> out;
    for (const auto& t : transitions) {
        out.push_back(Seen{t.phase.id, t.kind, t.reason, t.phase.state});
    }
    return out;
}

std::vector<std::pair<Uuid, ControlledPhaseState>> states(
    const std::vector<ControlledPhase>& phases) {
    std::vector<std::pair<Uuid, ControlledPhaseState>> out;
    for (const auto& phase : phases) out.emplace_back(phase.id, phase.state);
    return out;
}

TEST(PhaseSchedule, AddingNeverStartsAPhase) {
    ScheduleHarness h;
    EXPECT_EQ(h.faults(), kInitial);
    const ControlledPhase first = h.add("first", "1s", {{"a", {blackhole()}}});
    const ControlledPhase second = h.add("second", "2s");
    const ControlledPhase third = h.add("first", "3s");
    for (const auto* phase : {&first, &second, &third}) {
        EXPECT_EQ(phase->state, ControlledPhaseState::Pending);
        EXPECT_EQ(phase->planned_start_at, std::nullopt);
        EXPECT_EQ(phase->started_at, std::nullopt);
    }
    EXPECT_NE(first.id, third.id);
    EXPECT_EQ(first.faults, (std::vector<ProxyFaults>{{"a", {blackhole()}}}));
    EXPECT_EQ(second.duration->text(), "2s");
    EXPECT_EQ(h.queued(), (std::vector<PhaseTransition>{{first, Kind::Added, std::nullopt},
                                                        {second, Kind::Added, std::nullopt},
                                                        {third, Kind::Added, std::nullopt}}));
    EXPECT_EQ(h.faults(), kInitial);
}

TEST(PhaseSchedule, AddAndModifyCheckTheFaults) {
    ScheduleHarness h;
    const ControlledPhase pending = h.add("pending", "1s", {{"a", {blackhole()}}});
    h.queued();
    struct Case {
        const char* name;
        std::vector<ProxyFaults> faults;
        std::string error;
    } cases[] = {
        {"unknown proxy", {{"a", {}}, {"db", {}}}, "proxy \"db\" is not configured"},
        {"invalid list",
         {{"b", {blackhole()}}, {"a", {bandwidth(0)}}},
         "invalid configuration: faults[0].bytes_per_second: bandwidth must be greater than "
         "zero. Use the number of bytes allowed per second."},
        {"list the runtime cannot build",
         {{"a", {model::FaultSpec{model::JitterFault{model::TrafficFlow::Both, 5, 4, 0.5}}}}},
         "invalid configuration: faults[0]: minimum delay 5ms is greater than maximum delay 4ms. "
         "Make min_delay_ms less than or equal to max_delay_ms."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto added = h.schedule->add_phase("x", std::nullopt, c.faults);
        ASSERT_FALSE(added.has_value());
        EXPECT_EQ(added.error().display(), c.error);
        auto modified = h.schedule->modify_phase(pending.id, "x", std::nullopt, c.faults);
        ASSERT_FALSE(modified.has_value());
        EXPECT_EQ(modified.error().display(), c.error);
        EXPECT_TRUE(h.queued().empty());
    }
    // The failed modifications left the phase as it was.
    auto started = h.start(pending.id);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].name, "pending");
    EXPECT_EQ(h.faults(), (FaultMap{{"a", {blackhole()}}, {"b", {}}}));
}

TEST(PhaseSchedule, ModifyReplacesEverythingButIdentityAndPlace) {
    ScheduleHarness h;
    const ControlledPhase running = h.add("running", "1h");
    const ControlledPhase first = h.add("first", "10s", {{"a", {blackhole()}}});
    const ControlledPhase second = h.add("second", "5s");
    h.start(running.id);
    h.queued();

    auto modified = h.schedule->modify_phase(first.id, "renamed", std::nullopt, {});
    ASSERT_TRUE(modified.has_value());
    EXPECT_EQ(modified->id, first.id);
    EXPECT_EQ(modified->name, "renamed");
    EXPECT_EQ(modified->duration, std::nullopt);
    EXPECT_TRUE(modified->faults.empty());
    EXPECT_EQ(modified->state, ControlledPhaseState::Pending);
    EXPECT_EQ(h.queued(), (std::vector<PhaseTransition>{{*modified, Kind::Modified, {}}}));

    // Still first in line: it starts when the running phase stops, and runs indefinitely, so
    // nothing behind it has a predicted start.
    ASSERT_TRUE(modified->planned_start_at.has_value());
    auto after = h.stop(running.id);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1].id, first.id);
    EXPECT_EQ(h.faults(), kCleared);
    auto second_now = h.schedule->move_phase(second.id, 0);
    ASSERT_TRUE(second_now.has_value());
    EXPECT_EQ(second_now->planned_start_at, std::nullopt);
}

TEST(PhaseSchedule, PredictionsFollowTheRunningPhaseAndTheQueue) {
    ScheduleHarness h;
    const ControlledPhase a = h.add("a", "10s");
    const ControlledPhase b = h.add("b", "20s");
    const ControlledPhase c = h.add("c", "1m 30s");
    const ControlledPhase d = h.add("d");
    const ControlledPhase e = h.add("e", "5s");
    h.queued();

    auto started = h.start(a.id);
    ASSERT_EQ(started.size(), 1u);
    ASSERT_TRUE(started[0].started_at.has_value());
    const int64_t base = started[0].started_at->unix_nanos;
    EXPECT_EQ(started[0].planned_start_at, std::nullopt);

    struct Step {
        const char* name;
        std::function<ControlledPhase()> change;
        std::optional<int64_t> planned_after_base;  // of the changed phase
    };
    auto at = [&](int64_t seconds) { return std::optional<int64_t>(seconds * kSecond); };
    std::vector<Step> steps = {
        // Queue: b c d e. b starts when a ends, c 20s later, d 90s after that.
        {"touch b", [&] { return *h.schedule->modify_phase(b.id, "b", lasting("20s"), {}); },
         at(10)},
        {"touch c", [&] { return *h.schedule->modify_phase(c.id, "c", lasting("1m 30s"), {}); },
         at(30)},
        {"touch d", [&] { return *h.schedule->modify_phase(d.id, "d", std::nullopt, {}); },
         at(120)},
        // Behind an indefinite phase nothing can be predicted.
        {"touch e", [&] { return *h.schedule->modify_phase(e.id, "e", lasting("5s"), {}); },
         std::nullopt},
        // Queue: e b c d.
        {"move e to the front", [&] { return *h.schedule->move_phase(e.id, 0); }, at(10)},
        {"b after e", [&] { return *h.schedule->move_phase(b.id, 1); }, at(15)},
        // Queue: e c d (b deleted); a deleted phase has no prediction.
        {"delete b", [&] { return *h.schedule->delete_phase(b.id); }, std::nullopt},
        {"c moves up", [&] { return *h.schedule->move_phase(c.id, 1); }, at(15)},
        {"d after c", [&] { return *h.schedule->move_phase(d.id, 2); }, at(105)},
        // A duration too long to add to a timestamp ends the predictions.
        {"huge c", [&] { return *h.schedule->modify_phase(c.id, "c", lasting("500000years"), {}); },
         at(15)},
        {"d unpredictable", [&] { return *h.schedule->move_phase(d.id, 2); }, std::nullopt},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        ControlledPhase changed = step.change();
        if (step.planned_after_base) {
            ASSERT_TRUE(changed.planned_start_at.has_value());
            EXPECT_EQ(changed.planned_start_at->unix_nanos - base, *step.planned_after_base);
        } else {
            EXPECT_EQ(changed.planned_start_at, std::nullopt);
        }
    }

    // After a stop, the predictions count from the start of the phase that followed.
    auto stopped = h.schedule->stop_phase(a.id);
    ASSERT_TRUE(stopped.has_value());
    ASSERT_EQ(stopped->size(), 2u);  // a stopped, e started
    auto e_now = (*stopped)[1];
    EXPECT_EQ(e_now.id, e.id);
    auto c_now = h.schedule->move_phase(c.id, 0);
    ASSERT_TRUE(c_now.has_value());
    ASSERT_TRUE(e_now.started_at.has_value());
    EXPECT_EQ(c_now->planned_start_at->unix_nanos - e_now.started_at->unix_nanos, 5 * kSecond);
    h.stop(e.id);  // c starts and lasts beyond the range of timestamps
    auto d_now = h.schedule->move_phase(d.id, 0);
    ASSERT_TRUE(d_now.has_value());
    EXPECT_EQ(d_now->planned_start_at, std::nullopt);
}

TEST(PhaseSchedule, StateErrorsChangeNothing) {
    ScheduleHarness h;
    const ControlledPhase stopped = h.add("stopped");
    h.start(stopped.id);
    const ControlledPhase deleted = h.add("deleted");
    ASSERT_TRUE(h.schedule->delete_phase(deleted.id).has_value());
    const ControlledPhase pending = h.add("pending");
    const ControlledPhase running = h.add("running", std::nullopt, {{"b", {reset(0.5)}}});
    h.start(running.id);
    const Uuid unknown = Uuid::new_v4();
    h.queued();
    const FaultMap faults = h.faults();

    enum class Op { Modify, Start, Delete, Move, Stop };
    auto apply = [&](Op op, const Uuid& id) -> std::optional<EngineError> {
        auto error_of = [](auto result) -> std::optional<EngineError> {
            if (result) return std::nullopt;
            return std::move(result.error());
        };
        switch (op) {
            case Op::Modify:
                return error_of(h.schedule->modify_phase(id, "x", std::nullopt, {}));
            case Op::Start:
                return error_of(h.schedule->start_phase(id));
            case Op::Delete:
                return error_of(h.schedule->delete_phase(id));
            case Op::Move:
                return error_of(h.schedule->move_phase(id, 0));
            case Op::Stop:
                return error_of(h.schedule->stop_phase(id));
        }
        return std::nullopt;
    };
    const std::string missing = "phase " + unknown.to_string() + " does not exist";
    struct Case {
        Op op;
        const char* op_name;
        Uuid id;
        std::string error;
    };
    std::vector<Case> cases;
    for (auto [op, name] : {std::pair{Op::Modify, "modify"}, std::pair{Op::Start, "start"},
                            std::pair{Op::Delete, "delete"}, std::pair{Op::Move, "move"}}) {
        cases.push_back({op, name, running.id, immutable_text(running.id, "running")});
        cases.push_back({op, name, stopped.id, immutable_text(stopped.id, "stopped")});
        cases.push_back({op, name, deleted.id, immutable_text(deleted.id, "deleted")});
        cases.push_back({op, name, unknown, missing});
    }
    for (const auto& id : {pending.id, stopped.id, deleted.id}) {
        cases.push_back({Op::Stop, "stop", id, "phase " + id.to_string() + " is not running"});
    }
    cases.push_back({Op::Stop, "stop", unknown, missing});

    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.op_name) + " " + c.error);
        auto error = apply(c.op, c.id);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->display(), c.error);
        if (c.error == missing) {
            EXPECT_TRUE(error->is<EngineError::UnknownPhase>());
        } else if (c.op == Op::Stop) {
            EXPECT_TRUE(error->is<EngineError::PhaseNotRunning>());
        } else {
            EXPECT_TRUE(error->is<EngineError::PhaseImmutable>());
        }
        EXPECT_TRUE(h.queued().empty());
        EXPECT_EQ(h.faults(), faults);
    }
    // The running phase still runs, and the pending one is next.
    auto after = h.stop(running.id);
    EXPECT_EQ(states(after), (std::vector<std::pair<Uuid, ControlledPhaseState>>{
                                 {running.id, ControlledPhaseState::Stopped},
                                 {pending.id, ControlledPhaseState::Running}}));
}

TEST(PhaseSchedule, StartingAnotherPhaseSupersedesTheRunningOne) {
    ScheduleHarness h;
    const ControlledPhase a = h.add("a", std::nullopt, {{"a", {blackhole()}}});
    const ControlledPhase b = h.add("b", std::nullopt, {{"b", {reset(0.1)}}});
    const ControlledPhase c = h.add("c", std::nullopt, {{"a", {reset(0.2)}}, {"b", {}}});
    h.queued();

    auto first = h.start(a.id);
    EXPECT_EQ(states(first), (std::vector<std::pair<Uuid, ControlledPhaseState>>{
                                 {a.id, ControlledPhaseState::Running}}));
    EXPECT_EQ(h.faults(), (FaultMap{{"a", {blackhole()}}, {"b", {}}}));

    auto second = h.start(c.id);
    EXPECT_EQ(states(second),
              (std::vector<std::pair<Uuid, ControlledPhaseState>>{
                  {a.id, ControlledPhaseState::Stopped}, {c.id, ControlledPhaseState::Running}}));
    EXPECT_EQ(h.faults(), (FaultMap{{"a", {reset(0.2)}}, {"b", {}}}));
    // b kept its place at the front: it starts when c stops.
    auto third = h.stop(c.id);
    EXPECT_EQ(states(third),
              (std::vector<std::pair<Uuid, ControlledPhaseState>>{
                  {c.id, ControlledPhaseState::Stopped}, {b.id, ControlledPhaseState::Running}}));
    EXPECT_EQ(h.faults(), (FaultMap{{"a", {}}, {"b", {reset(0.1)}}}));
    // Nothing left: no faults at all, not the ones from before the schedule.
    auto last = h.stop(b.id);
    EXPECT_EQ(states(last), (std::vector<std::pair<Uuid, ControlledPhaseState>>{
                                {b.id, ControlledPhaseState::Stopped}}));
    EXPECT_EQ(h.faults(), kCleared);

    EXPECT_EQ(seen(h.queued()),
              (std::vector<Seen>{
                  {a.id, Kind::Started, Reason::Explicit, ControlledPhaseState::Running},
                  {a.id, Kind::Stopped, Reason::Superseded, ControlledPhaseState::Stopped},
                  {c.id, Kind::Started, Reason::Explicit, ControlledPhaseState::Running},
                  {c.id, Kind::Stopped, Reason::Explicit, ControlledPhaseState::Stopped},
                  {b.id, Kind::Started, Reason::Automatic, ControlledPhaseState::Running},
                  {b.id, Kind::Stopped, Reason::Explicit, ControlledPhaseState::Stopped},
              }));
    // Started once, the start time is kept after the stop.
    EXPECT_EQ(last[0].started_at, third[1].started_at);

    h.schedule.reset();
    EXPECT_EQ(h.faults(), kInitial);
    EXPECT_TRUE(h.control_free());
}

TEST(PhaseSchedule, MovePositions) {
    ScheduleHarness h;
    const ControlledPhase running = h.add("running");
    h.start(running.id);
    std::vector<Uuid> ids;
    for (const char* name : {"p0", "p1", "p2", "p3"}) ids.push_back(h.add(name).id);
    h.queued();
    struct Case {
        size_t phase;
        uint64_t position;
        std::vector<size_t> order;
    } cases[] = {
        {3, 0, {3, 0, 1, 2}},
        {0, 1, {3, 0, 1, 2}},  // where it already was: still reported
        {3, 1000, {0, 1, 2, 3}},
        {1, 2, {0, 2, 1, 3}},
        {3, 3, {0, 2, 1, 3}},
        {3, 4, {0, 2, 1, 3}},
        {0, std::numeric_limits<uint64_t>::max(), {2, 1, 3, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.phase) + " to " + std::to_string(c.position));
        auto moved = h.schedule->move_phase(ids[c.phase], c.position);
        ASSERT_TRUE(moved.has_value());
        EXPECT_EQ(moved->id, ids[c.phase]);
        EXPECT_EQ(h.queued(), (std::vector<PhaseTransition>{{*moved, Kind::Modified, {}}}));
    }
    // The queue order shows in which phase each stop starts.
    std::vector<Uuid> order;
    Uuid current = running.id;
    for (int i = 0; i < 4; ++i) {
        auto changed = h.stop(current);
        ASSERT_EQ(changed.size(), 2u);
        current = changed[1].id;
        order.push_back(current);
    }
    EXPECT_EQ(order, (std::vector<Uuid>{ids[2], ids[1], ids[3], ids[0]}));
}

TEST(PhaseSchedule, FailedStartStopsTheRunningPhaseAndKeepsItsFaults) {
    ScheduleHarness h;
    const ControlledPhase running = h.add("running", "1h", {{"a", {blackhole()}}});
    const ControlledPhase twice = h.add("twice", "1s", {{"a", {reset(0.5)}}, {"b", {}}, {"a", {}}});
    const ControlledPhase later = h.add("later", "1s");
    h.start(running.id);
    h.queued();

    const std::string duplicate =
        "invalid fault configuration: proxy \"a\" is configured more than once";
    auto failed = h.schedule->start_phase(twice.id);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().display(), duplicate);
    EXPECT_EQ(seen(h.queued()), (std::vector<Seen>{{running.id, Kind::Stopped, Reason::Superseded,
                                                    ControlledPhaseState::Stopped}}));
    EXPECT_EQ(h.faults(), (FaultMap{{"a", {blackhole()}}, {"b", {}}}));

    // Nothing runs, so nothing is predicted for the phase still queued.
    auto later_now = h.schedule->move_phase(later.id, 0);
    ASSERT_TRUE(later_now.has_value());
    EXPECT_EQ(later_now->planned_start_at, std::nullopt);
    auto not_running = h.schedule->stop_phase(running.id);
    ASSERT_FALSE(not_running.has_value());
    EXPECT_TRUE(not_running.error().is<EngineError::PhaseNotRunning>());

    // Still pending, but out of the queue: only an explicit start reaches it.
    auto started_later = h.start(later.id);
    ASSERT_EQ(started_later.size(), 1u);
    auto stopped_later = h.stop(later.id);
    ASSERT_EQ(stopped_later.size(), 1u);
    EXPECT_EQ(h.faults(), kCleared);
    auto again = h.schedule->start_phase(twice.id);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().display(), duplicate);
    auto fixed = h.schedule->modify_phase(twice.id, "fixed", std::nullopt, {{"b", {blackhole()}}});
    ASSERT_TRUE(fixed.has_value());
    EXPECT_EQ(fixed->state, ControlledPhaseState::Pending);
    h.start(twice.id);
    EXPECT_EQ(h.faults(), (FaultMap{{"a", {}}, {"b", {blackhole()}}}));
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(PhaseSchedule, DurationTimersAdvanceThePhases) {
    ScheduleHarness h;
    const ControlledPhase a = h.add("a", "150ms", {{"a", {blackhole()}}});
    const ControlledPhase b = h.add("b", "200ms", {{"b", {reset(0.5)}}});
    h.queued();
    const auto start = Clock::now();
    h.start(a.id);

    struct Expected {
        Uuid id;
        Kind kind;
        Reason reason;
        double at_ms;
    } expected[] = {
        {a.id, Kind::Started, Reason::Explicit, 0},
        {a.id, Kind::Stopped, Reason::DurationElapsed, 150},
        {b.id, Kind::Started, Reason::Automatic, 150},
        {b.id, Kind::Stopped, Reason::DurationElapsed, 350},
    };
    std::vector<PhaseTransition> got;
    for (const Expected& e : expected) {
        PhaseTransition t = h.expect_next();
        const double at = ms_since(start);
        SCOPED_TRACE(std::string(model::tag(e.kind)) + " " + std::string(model::tag(e.reason)));
        EXPECT_EQ(t.phase.id, e.id);
        EXPECT_EQ(t.kind, e.kind);
        EXPECT_EQ(t.reason, e.reason);
        EXPECT_GE(at, e.at_ms - 1);
        EXPECT_LE(at, e.at_ms + 250);
        got.push_back(std::move(t));
    }
    // b started the moment a's duration ran out.
    const int64_t gap = got[2].phase.started_at->unix_nanos - got[0].phase.started_at->unix_nanos;
    EXPECT_GE(gap, 150'000'000);
    EXPECT_LE(gap, 400'000'000);
    // The stop is announced before the faults are cleared; an operation waits for the timer's
    // whole change.
    auto not_running = h.schedule->stop_phase(b.id);
    ASSERT_FALSE(not_running.has_value());
    EXPECT_TRUE(not_running.error().is<EngineError::PhaseNotRunning>());
    EXPECT_EQ(h.faults(), kCleared);
    auto quiet = h.queued();
    EXPECT_TRUE(quiet.empty());
}

TEST(PhaseSchedule, StaleTimersDoNothing) {
    ScheduleHarness h;
    // a's timer would fire at 200ms, while b (300ms) runs; b must run its full time.
    const ControlledPhase a = h.add("a", "200ms");
    const ControlledPhase b = h.add("b", "300ms");
    // c is stopped at once, and its sleeping timer must not touch d.
    const ControlledPhase c = h.add("c", "400ms");
    const ControlledPhase d = h.add("d");
    h.queued();

    h.start(a.id);
    std::this_thread::sleep_for(50ms);
    const auto b_start = Clock::now();
    h.start(b.id);
    EXPECT_EQ(seen(h.queued()),
              (std::vector<Seen>{
                  {a.id, Kind::Started, Reason::Explicit, ControlledPhaseState::Running},
                  {a.id, Kind::Stopped, Reason::Superseded, ControlledPhaseState::Stopped},
                  {b.id, Kind::Started, Reason::Explicit, ControlledPhaseState::Running},
              }));
    PhaseTransition b_end = h.expect_next();
    EXPECT_GE(ms_since(b_start), 299);
    EXPECT_EQ(b_end.phase.id, b.id);
    EXPECT_EQ(b_end.reason, Reason::DurationElapsed);
    PhaseTransition c_start = h.expect_next();
    EXPECT_EQ(c_start.phase.id, c.id);
    EXPECT_EQ(c_start.reason, Reason::Automatic);

    auto stopped = h.stop(c.id);  // d starts automatically
    ASSERT_EQ(stopped.size(), 2u);
    EXPECT_EQ(stopped[1].id, d.id);
    // Stopped is final, also for a restart.
    auto restart = h.schedule->start_phase(c.id);
    ASSERT_FALSE(restart.has_value());
    EXPECT_EQ(restart.error().display(), immutable_text(c.id, "stopped"));
    h.queued();
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(h.queued().empty());
    // d still runs.
    EXPECT_EQ(h.stop(d.id).size(), 1u);
}

TEST(PhaseSchedule, OverflowIsReportedOnceWithTheCount) {
    ScheduleHarness h;
    std::vector<Uuid> ids;
    for (size_t i = 0; i < kTransitionCapacity + 6; ++i) ids.push_back(h.add("p").id);
    EXPECT_EQ(h.missed->load(), 6u);

    auto missed = h.next();
    ASSERT_FALSE(missed.has_value());
    EXPECT_TRUE(missed.error().is<EngineError::MissedPhaseTransitions>());
    EXPECT_EQ(missed.error().display(),
              "missed 6 phase transitions because the transition consumer fell behind");
    // The queued ones are untouched, oldest first; the dropped ones are gone.
    for (size_t i = 0; i < kTransitionCapacity; ++i) {
        auto next = h.next();
        ASSERT_TRUE(next.has_value());
        ASSERT_TRUE(next->has_value());
        ASSERT_EQ((*next)->phase.id, ids[i]) << i;
    }
    EXPECT_EQ(h.missed->load(), 0u);
    // Room again: the next change is queued and read.
    h.schedule->delete_phase(ids.back());
    auto deleted = h.expect_next();
    EXPECT_EQ(deleted.kind, Kind::Deleted);
    EXPECT_EQ(deleted.phase.id, ids.back());
    EXPECT_EQ(deleted.phase.state, ControlledPhaseState::Deleted);
}

TEST(PhaseSchedule, ReaderSeesTheEndAfterTheQueuedTransitions) {
    for (size_t queued : {0, 2}) {
        SCOPED_TRACE(queued);
        ScheduleHarness h;
        for (size_t i = 0; i < queued; ++i) h.add("p");
        // Read without holding the schedule, as its owner's other readers do.
        auto waiter = [](std::shared_ptr<TransitionReceiver> transitions,
                         MissedCounter missed) -> asio::awaitable<std::optional<size_t>> {
            size_t read = 0;
            for (;;) {
                auto op = next_transition(transitions, missed);
                auto next = co_await std::move(op);
                if (!next) co_return std::nullopt;
                if (!*next) co_return read;
                ++read;
            }
        };
        auto read = waiter(h.transitions, h.missed);
        auto result = asio::co_spawn(h.executor(), std::move(read), asio::use_future);
        EXPECT_EQ(result.wait_for(100ms), std::future_status::timeout);
        h.schedule.reset();
        ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(result.get(), queued);
    }
}

TEST(PhaseSchedule, EndingRestoresAtOnceDespiteASleepingTimer) {
    ScheduleHarness h;
    const ControlledPhase slow = h.add("slow", "1h", {{"a", {}}, {"b", {reset(1)}}});
    h.start(slow.id);
    EXPECT_EQ(h.faults(), (FaultMap{{"a", {}}, {"b", {reset(1)}}}));
    auto refused = h.engine().begin_control();
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().display(), kControlAlreadyActive);
    auto direct = h.engine().set_faults("a", {});
    ASSERT_FALSE(direct.has_value());
    EXPECT_EQ(direct.error().display(), kControlAlreadyActive);

    h.schedule.reset();
    EXPECT_EQ(h.faults(), kInitial);
    EXPECT_TRUE(h.control_free());
    for (Kind kind : {Kind::Added, Kind::Started}) EXPECT_EQ(h.expect_next().kind, kind);
    auto next = h.next();
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(*next, std::nullopt);
    EXPECT_TRUE(h.engine().begin_control().has_value());
}

}  // namespace
}  // namespace ostrel::engine
