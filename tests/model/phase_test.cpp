#include "ostrel-model/phase.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace ostrel::model {
namespace {

// 2025-03-01T10:15:30Z
constexpr int64_t kBaseNanos = 1740824130LL * 1'000'000'000;

Uuid uuid(std::string_view text) {
    auto parsed = Uuid::parse(text);
    EXPECT_TRUE(parsed.has_value()) << text;
    return parsed.value_or(Uuid{});
}

HumanDuration duration(std::string text) {
    auto parsed = HumanDuration::parse(std::move(text));
    EXPECT_TRUE(parsed.has_value());
    return parsed.value();
}

ControlledPhase slow_phase() {
    return ControlledPhase{
        .id = uuid("0f5c2a8e-6b1d-4c3e-9a77-2d4f1e0b9c31"),
        .name = "slow",
        .faults = {ProxyFaults{"database", {FaultSpec{BlackholeFault{TrafficFlow::ToClient}}}}},
        .duration = duration("30s"),
        .state = ControlledPhaseState::Running,
        .planned_start_at = std::nullopt,
        .started_at = Timestamp{kBaseNanos + 123'456'789},
    };
}

constexpr std::string_view kSlowPhase =
    R"({"id":"0f5c2a8e-6b1d-4c3e-9a77-2d4f1e0b9c31","name":"slow",)"
    R"("faults":[{"proxy":"database","faults":[{"type":"blackhole","flow":"to-client"}]}],)"
    R"("duration":"30s","state":"running","planned_start_at":null,)"
    R"("started_at":"2025-03-01T10:15:30.123456789Z"})";

TEST(PhaseJson, TransitionMatchesTheDocumentedForm) {
    PhaseTransition transition{slow_phase(), PhaseTransitionKind::Started,
                               PhaseTransitionReason::Explicit};
    EXPECT_EQ(to_json(transition), R"({"phase":)" + std::string(kSlowPhase) +
                                       R"(,"kind":"started","reason":"explicit"})");
}

TEST(PhaseJson, PendingPhaseWithoutDurationOrFaults) {
    ControlledPhase phase{
        .id = uuid("00000000-0000-4000-8000-00000000000a"),
        .name = "quiet \"night\"",
        .faults = {},
        .duration = std::nullopt,
        .state = ControlledPhaseState::Pending,
        .planned_start_at = Timestamp{kBaseNanos + 250'000'000},
        .started_at = std::nullopt,
    };
    EXPECT_EQ(to_json(phase),
              R"({"id":"00000000-0000-4000-8000-00000000000a","name":"quiet \"night\"",)"
              R"("faults":[],"duration":null,"state":"pending",)"
              R"("planned_start_at":"2025-03-01T10:15:30.250Z","started_at":null})");
}

TEST(PhaseJson, DurationKeepsTheCallersText) {
    ControlledPhase phase = slow_phase();
    phase.duration = duration("2m 30s");
    phase.state = ControlledPhaseState::Stopped;
    phase.started_at = Timestamp{kBaseNanos};
    const std::string json = to_json(phase);
    EXPECT_NE(json.find(R"("duration":"2m 30s","state":"stopped")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("started_at":"2025-03-01T10:15:30Z")"), std::string::npos) << json;
}

TEST(PhaseJson, ListOfPhasesKeepsItsOrder) {
    ControlledPhase first = slow_phase();
    first.state = ControlledPhaseState::Stopped;
    ControlledPhase second = slow_phase();
    second.id = uuid("ffffffff-ffff-4fff-bfff-ffffffffffff");
    second.faults.clear();
    second.duration.reset();
    second.started_at.reset();
    second.state = ControlledPhaseState::Deleted;
    EXPECT_EQ(to_json(std::vector<ControlledPhase>{first, second}),
              "[" + to_json(first) + "," + to_json(second) + "]");
    EXPECT_EQ(to_json(std::vector<ControlledPhase>{}), "[]");
}

TEST(PhaseJson, Tags) {
    struct Case {
        std::string_view text;
        std::string_view expected;
    } cases[] = {
        {tag(ControlledPhaseState::Pending), "pending"},
        {tag(ControlledPhaseState::Running), "running"},
        {tag(ControlledPhaseState::Stopped), "stopped"},
        {tag(ControlledPhaseState::Deleted), "deleted"},
        {tag(PhaseTransitionKind::Added), "added"},
        {tag(PhaseTransitionKind::Modified), "modified"},
        {tag(PhaseTransitionKind::Deleted), "deleted"},
        {tag(PhaseTransitionKind::Started), "started"},
        {tag(PhaseTransitionKind::Stopped), "stopped"},
        {tag(PhaseTransitionReason::Explicit), "explicit"},
        {tag(PhaseTransitionReason::Automatic), "automatic"},
        {tag(PhaseTransitionReason::DurationElapsed), "duration-elapsed"},
        {tag(PhaseTransitionReason::Superseded), "superseded"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.text, c.expected);
}

TEST(PhaseJson, TransitionWithoutReasonWritesNull) {
    ControlledPhase phase = slow_phase();
    phase.state = ControlledPhaseState::Pending;
    phase.started_at.reset();
    const std::string json = to_json(PhaseTransition{phase, PhaseTransitionKind::Added, {}});
    EXPECT_TRUE(json.ends_with(R"(},"kind":"added","reason":null})")) << json;
}

}  // namespace
}  // namespace ostrel::model
