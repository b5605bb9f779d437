#include "ostrel-binding/engine.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>

#include "ostrel-binding/error.hpp"
#include "ostrel-engine/error.hpp"
#include "ostrel-model/json_reader.hpp"
#include "ostrel-model/uuid.hpp"

namespace ostrel::binding {

void PrintTo(const Error& error, std::ostream* out) {
    static constexpr const char* kKinds[] = {"Invalid", "PhaseState", "Runtime"};
    *out << kKinds[static_cast<int>(error.kind)] << " \"" << error.message << '"';
}

namespace {

constexpr std::string_view kRun = R"({
  "schema_version": 1,
  "name": "checkout-degradation",
  "proxies": [
    {"name": "database", "protocol": "tcp", "listen": "127.0.0.1:15432", "upstream": "database:5432"},
    {"name": "resolver", "protocol": "udp", "listen": "127.0.0.1:15353", "upstream": "10.0.0.2:53"}
  ],
  "phases": [
    {"name": "baseline", "duration": "30s", "proxies": []},
    {"name": "slow-database", "duration": "2m 30s", "proxies": [
      {"proxy": "database", "faults": [
        {"type": "latency", "flow": "to-client",
         "distribution": {"type": "normal", "mean_ms": 120, "stddev_ms": 15}},
        {"type": "jitter", "flow": "both", "min_delay_ms": 5, "max_delay_ms": 40.5, "probability": 0.25},
        {"type": "bandwidth", "flow": "to-upstream", "bytes_per_second": 65536}
      ]},
      {"proxy": "resolver", "faults": [{"type": "dns", "case": "delay", "delay_ms": 500}]}
    ]},
    {"name": "outage", "duration": "10s", "proxies": [
      {"proxy": "database", "faults": [
        {"type": "blackhole", "flow": "to-client"},
        {"type": "connection-reset", "flow": "both", "probability": 0.5}
      ]}
    ]},
    {"name": "recovery", "proxies": []}
  ]
})";

// One proxy and one phase whose faults are `faults`.
std::string one_phase_run(std::string_view faults, uint32_t schema_version = 1) {
    return R"({"schema_version":)" + std::to_string(schema_version) +
           R"(,"name":"n","proxies":[{"name":"db","protocol":"tcp","listen":"127.0.0.1:0",)"
           R"("upstream":"127.0.0.1:1"}],"phases":[{"name":"p","proxies":[{"proxy":"db",)"
           R"("faults":)" +
           std::string(faults) + "}]}]}";
}

TEST(EngineCreate, ValidRunMakesAnIdleEngine) {
    auto engine = Engine::create(kRun, std::nullopt);
    ASSERT_TRUE(engine.has_value()) << engine.error().message;
    EXPECT_FALSE(engine->alive());
    EXPECT_EQ(engine->endpoints(),
              std::unexpected(Error{"the engine has not been started", ErrorKind::Runtime}));
    EXPECT_EQ(engine->summary(), std::nullopt);

    // A copy is the same engine, not a second one.
    Engine copy = *engine;
    EXPECT_FALSE(copy.alive());
    EXPECT_EQ(copy.endpoints(), engine->endpoints());
}

TEST(EngineCreate, AcceptsEveryPositiveCapacity) {
    for (int64_t capacity : {int64_t{1}, int64_t{1024}, std::numeric_limits<int64_t>::max()}) {
        auto engine = Engine::create(kRun, capacity);
        EXPECT_TRUE(engine.has_value()) << capacity;
    }
}

struct Refusal {
    std::string name;
    std::string document;
    std::optional<int64_t> event_capacity;
    std::string message;
};

class EngineRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(EngineRefusal, IsInvalidWithTheExactText) {
    const Refusal& refusal = GetParam();
    auto engine = Engine::create(refusal.document, refusal.event_capacity);
    ASSERT_FALSE(engine.has_value());
    EXPECT_EQ(engine.error(), (Error{refusal.message, ErrorKind::Invalid}));
}

INSTANTIATE_TEST_SUITE_P(
    Construction, EngineRefusal,
    testing::Values(
        Refusal{"ZeroCapacity", std::string(kRun), 0, "event_capacity must be at least 1"},
        Refusal{"NegativeCapacity", std::string(kRun), -5, "event_capacity must be at least 1"},
        // The capacity is looked at before the document is read.
        Refusal{"CapacityBeforeDocument", "{", 0, "event_capacity must be at least 1"},
        Refusal{"LowestCapacity", "not json", std::numeric_limits<int64_t>::min(),
                "event_capacity must be at least 1"},
        // The version is looked at before validation: this run has no proxies at all.
        Refusal{"SchemaVersionTwo", R"({"schema_version":2,"name":"n","proxies":[],"phases":[]})",
                std::nullopt, "schema version mismatch: expected 1, got 2"},
        Refusal{"SchemaVersionZero", one_phase_run("[]", 0), 1024,
                "schema version mismatch: expected 1, got 0"},
        Refusal{"NoProxies", R"({"schema_version":1,"name":"n","proxies":[],"phases":[]})",
                std::nullopt,
                "proxies: at least one proxy is required. Add a proxy with a listen address and "
                "an upstream address."},
        Refusal{"JitterRange",
                one_phase_run(R"([{"type":"jitter","flow":"both","min_delay_ms":50,)"
                              R"("max_delay_ms":10,"probability":0.5}])"),
                std::nullopt,
                "phases[0].proxies[0].faults[0]: minimum delay 50ms is greater than maximum "
                "delay 10ms. Make min_delay_ms less than or equal to max_delay_ms."},
        Refusal{"ZeroBandwidth",
                one_phase_run(R"([{"type":"bandwidth","flow":"both","bytes_per_second":0}])"), 7,
                "phases[0].proxies[0].faults[0].bytes_per_second: bandwidth must be greater than "
                "zero. Use the number of bytes allowed per second."}),
    [](const testing::TestParamInfo<Refusal>& info) { return info.param.name; });

// Reader refusals reach the caller as the reader wrote them, position included.
TEST(EngineCreate, ReaderRefusalsKeepTheReaderText) {
    const std::string documents[] = {
        "",
        "{}",
        R"({"schema_version":1,"name":"n","proxies":[{"name":"db","listen":"a","upstream":"b"}],)"
        R"("phases":[]})",
        one_phase_run(R"([{"type":"teleport"}])"),
        std::string(kRun) + " x",
    };
    for (const auto& document : documents) {
        auto expected = model::read_run(document);
        ASSERT_FALSE(expected.has_value()) << document;
        auto engine = Engine::create(document, std::nullopt);
        ASSERT_FALSE(engine.has_value()) << document;
        EXPECT_EQ(engine.error(), (Error{expected.error(), ErrorKind::Invalid}));
        EXPECT_NE(engine.error().message.find(" at line "), std::string::npos)
            << engine.error().message;
    }
}

TEST(ErrorFromEngine, PhaseErrorsArePhaseStateAndTheRestRuntime) {
    using E = engine::EngineError;
    auto id = *model::Uuid::parse("67e55044-10b1-426f-9247-bb680e5fe0c8");
    const std::string text = id.to_string();
    struct Case {
        E error;
        Error expected;
    };
    const Case cases[] = {
        {E::UnknownPhase{id}, {"phase " + text + " does not exist", ErrorKind::PhaseState}},
        {E::PhaseImmutable{id, "stopped"},
         {"phase " + text + " is stopped and can no longer be changed", ErrorKind::PhaseState}},
        {E::PhaseNotRunning{id}, {"phase " + text + " is not running", ErrorKind::PhaseState}},
        {E::ControlAlreadyActive{},
         {"a run or adaptive phase is already controlling this engine", ErrorKind::Runtime}},
        {E::UnknownProxy{"db"}, {"proxy \"db\" is not configured", ErrorKind::Runtime}},
        {E::MissedPhaseTransitions{3},
         {"missed 3 phase transitions because the transition consumer fell behind",
          ErrorKind::Runtime}},
        {E::ObservationRecorderStopped{},
         {"transport observation recorder stopped unexpectedly", ErrorKind::Runtime}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Error::from_engine(c.error), c.expected) << c.expected.message;
    }
}

}  // namespace
}  // namespace ostrel::binding
