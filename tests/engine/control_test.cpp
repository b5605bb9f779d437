#include "ostrel-engine/control.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/engine/control_fixture.hpp"

namespace ostrel::engine {
namespace {

using namespace control_test;
using model::FaultSpec;
using model::ProxyFaults;

// Proxies a and b with faults, c without.
std::vector<EngineProxy> three_proxies() {
    return {tcp_proxy("a", {latency_ms(10, 20)}), tcp_proxy("b", {blackhole()}), tcp_proxy("c")};
}

const FaultMap kInitial = {
    {"a", {latency_ms(10, 20)}},
    {"b", {blackhole()}},
    {"c", {}},
};

TEST(ControlSession, OnlyOneAtATime) {
    EngineHarness h(three_proxies());
    std::optional<ControlSession> first(h.begin());
    EXPECT_FALSE(h.control_free());

    auto second = h.engine().begin_control();
    ASSERT_FALSE(second.has_value());
    EXPECT_TRUE(second.error().is<EngineError::ControlAlreadyActive>());
    EXPECT_EQ(second.error().display(), kControlAlreadyActive);

    // A moved-from session neither restores nor gives the permit back.
    ControlSession moved(std::move(*first));
    first.reset();
    EXPECT_FALSE(h.engine().begin_control().has_value());

    { ControlSession gone = std::move(moved); }
    EXPECT_TRUE(h.control_free());
    EXPECT_TRUE(h.engine().begin_control().has_value());
    EXPECT_TRUE(h.control_free());
}

TEST(ControlSession, ReplaceFaultsIsAllOrNothing) {
    const std::string bandwidth_zero =
        "invalid configuration: faults[0].bytes_per_second: bandwidth must be greater than zero. "
        "Use the number of bytes allowed per second.";
    struct Case {
        const char* name;
        std::vector<ProxyFaults> list;
        std::string error;  // empty: succeeds
        FaultMap after;     // when it succeeds
    } cases[] = {
        {"naming only a leaves the others without faults",
         {{"a", {blackhole(model::TrafficFlow::ToClient)}}},
         "",
         {{"a", {blackhole(model::TrafficFlow::ToClient)}}, {"b", {}}, {"c", {}}}},
        {"an empty list clears every proxy", {}, "", {{"a", {}}, {"b", {}}, {"c", {}}}},
        {"entries in any order",
         {{"c", {reset(0.5), latency_ms(1, 2)}}, {"a", {}}},
         "",
         {{"a", {}}, {"b", {}}, {"c", {reset(0.5), latency_ms(1, 2)}}}},
        {"a proxy named twice",
         {{"a", {blackhole()}}, {"b", {}}, {"a", {}}},
         "invalid fault configuration: proxy \"a\" is configured more than once",
         {}},
        {"an unknown proxy after valid entries",
         {{"a", {blackhole()}}, {"no \"such\"", {}}},
         "proxy \"no \\\"such\\\"\" is not configured",
         {}},
        {"the unknown proxy is found before a later duplicate",
         {{"a", {}}, {"x", {}}, {"a", {}}},
         "proxy \"x\" is not configured",
         {}},
        {"an invalid list for one proxy",
         {{"a", {blackhole()}}, {"c", {bandwidth(0)}}},
         bandwidth_zero,
         {}},
        {"a list its runtime cannot build",
         {{"b", {reset(1.5)}}, {"a", {blackhole()}}},
         "invalid configuration: faults[0].probability: probability must be between 0 and 1; "
         "received 1.5. Use a decimal such as 0.75 for a 75% probability.",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h(three_proxies());
        ControlSession session = h.begin();
        const auto sets_before = h.sets();
        auto replaced = session.replace_faults(c.list);
        if (c.error.empty()) {
            ASSERT_TRUE(replaced.has_value()) << replaced.error().display();
            EXPECT_EQ(h.faults(), c.after);
            // Every proxy gets a new set, named or not.
            for (const auto& [name, set] : h.sets()) EXPECT_NE(set, sets_before.at(name)) << name;
        } else {
            ASSERT_FALSE(replaced.has_value());
            EXPECT_EQ(replaced.error().display(), c.error);
            EXPECT_EQ(h.faults(), kInitial);
            EXPECT_EQ(h.sets(), sets_before);
        }
    }
}

TEST(ControlSession, EndingRestoresEveryProxyWithNewSets) {
    EngineHarness h(three_proxies());
    std::optional<ControlSession> session(h.begin());
    ASSERT_TRUE(session->replace_faults({{"c", {blackhole()}}}).has_value());
    ASSERT_TRUE(session->replace_faults({{"c", {latency_ms(5, 5)}}}).has_value());
    EXPECT_EQ(h.faults(), (FaultMap{{"a", {}}, {"b", {}}, {"c", {latency_ms(5, 5)}}}));

    std::vector<rt::CancellationToken> tokens;
    const auto sets_before = h.sets();
    for (const auto& [name, runtime] : h.engine().runtimes()) {
        tokens.push_back(runtime.current()->token);
    }
    session.reset();
    EXPECT_EQ(h.faults(), kInitial);
    EXPECT_TRUE(h.control_free());
    // The replaced sets' tokens wake the open connections, which then rebuild their layers.
    for (const auto& token : tokens) EXPECT_TRUE(token.is_cancelled());
    for (const auto& [name, set] : h.sets()) EXPECT_NE(set, sets_before.at(name)) << name;
}

TEST(ControlSession, RestoresOnceAndKeepsThePermitUntilItEnds) {
    EngineHarness h(three_proxies());
    std::optional<ControlSession> session(h.begin());
    ASSERT_TRUE(session->replace_faults({}).has_value());
    session->restore_previous();
    EXPECT_EQ(h.faults(), kInitial);
    const auto restored = h.sets();

    ASSERT_TRUE(session->replace_faults({{"b", {reset(0.25)}}}).has_value());
    session->restore_previous();
    EXPECT_EQ(h.faults(), (FaultMap{{"a", {}}, {"b", {reset(0.25)}}, {"c", {}}}));
    EXPECT_FALSE(h.engine().begin_control().has_value());

    const auto before_end = h.sets();
    session.reset();
    EXPECT_EQ(h.sets(), before_end);
    EXPECT_NE(h.sets(), restored);
    EXPECT_TRUE(h.control_free());
}

TEST(RunningEngine, SetFaultsOutsideSessions) {
    EngineHarness h(three_proxies());
    std::optional<ControlSession> session(h.begin());
    auto refused = h.engine().set_faults("a", {});
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().display(), kControlAlreadyActive);
    EXPECT_EQ(h.faults(), kInitial);
    session.reset();

    struct Case {
        const char* name;
        std::string proxy;
        std::vector<FaultSpec> faults;
        std::string error;  // empty: succeeds
    } cases[] = {
        {"changes only the named proxy", "b", {latency_ms(1, 3), reset(0.1)}, ""},
        {"an empty list removes every fault", "a", {}, ""},
        {"unknown proxy", "db", {}, "proxy \"db\" is not configured"},
        {"invalid list",
         "c",
         {blackhole(), bandwidth(0)},
         "invalid configuration: faults[1].bytes_per_second: bandwidth must be greater than zero. "
         "Use the number of bytes allowed per second."},
    };
    FaultMap expected = kInitial;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto set = h.engine().set_faults(c.proxy, c.faults);
        if (c.error.empty()) {
            ASSERT_TRUE(set.has_value()) << set.error().display();
            expected[c.proxy] = c.faults;
        } else {
            ASSERT_FALSE(set.has_value());
            EXPECT_EQ(set.error().display(), c.error);
        }
        EXPECT_EQ(h.faults(), expected);
        // Only a check: the permit is free again.
        EXPECT_TRUE(h.control_free());
    }
    // No session restores a direct change.
    { ControlSession later = h.begin(); }
    EXPECT_EQ(h.faults(), expected);
}

TEST(RunningEngine, ActiveFaultsOrderedByName) {
    EngineHarness h({tcp_proxy("b", {reset(0.5)}), tcp_proxy("a"), tcp_proxy("B", {blackhole()})});
    const std::vector<ProxyFaults> expected = {
        {"B", {blackhole()}},
        {"a", {}},
        {"b", {reset(0.5)}},
    };
    EXPECT_EQ(h.engine().active_faults(), expected);
}

}  // namespace
}  // namespace ostrel::engine
