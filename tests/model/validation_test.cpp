#include "ostrel-model/validation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "ostrel-model/run.hpp"

namespace ostrel::model {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Proxy proxy(std::string name, std::string listen = "127.0.0.1:15432",
            std::string upstream = "database:5432") {
    return Proxy{.name = std::move(name),
                 .protocol = TransportProtocol::Tcp,
                 .listen = std::move(listen),
                 .upstream = std::move(upstream)};
}

Phase phase(std::optional<std::string> duration, std::vector<ProxyFaults> entries = {}) {
    Phase result{.name = "phase", .duration = std::nullopt, .proxies = std::move(entries)};
    if (duration) result.duration = *HumanDuration::parse(*duration);
    return result;
}

model::Run run(std::vector<Proxy> proxies, std::vector<Phase> phases) {
    return model::Run{.schema_version = 1,
                      .name = "run",
                      .proxies = std::move(proxies),
                      .phases = std::move(phases)};
}

FaultSpec jitter(double min_ms, double max_ms, double probability = 0.5) {
    return {FaultSpec::Jitter{.flow = TrafficFlow::Both,
                              .min_delay_ms = min_ms,
                              .max_delay_ms = max_ms,
                              .probability = probability}};
}
FaultSpec bandwidth(uint64_t bytes_per_second) {
    return {
        FaultSpec::Bandwidth{.flow = TrafficFlow::ToClient, .bytes_per_second = bytes_per_second}};
}
FaultSpec reset(double probability) {
    return {FaultSpec::ConnectionReset{.flow = TrafficFlow::Both, .probability = probability}};
}
FaultSpec blackhole() {
    return {FaultSpec::Blackhole{.flow = TrafficFlow::ToUpstream}};
}
FaultSpec dns(std::optional<uint64_t> delay_ms) {
    return {FaultSpec::Dns{.dns_case = DnsCase::Delay, .delay_ms = delay_ms}};
}
FaultSpec latency(DelayDistribution::Normal normal) {
    return {FaultSpec::Latency{.flow = TrafficFlow::Both, .distribution = {normal}}};
}
FaultSpec latency(DelayDistribution::Pareto pareto) {
    return {FaultSpec::Latency{.flow = TrafficFlow::Both, .distribution = {pareto}}};
}
FaultSpec latency(DelayDistribution::ParetoNormal pareto_normal) {
    return {FaultSpec::Latency{.flow = TrafficFlow::Both, .distribution = {pareto_normal}}};
}
FaultSpec latency(DelayDistribution::Uniform uniform) {
    return {FaultSpec::Latency{.flow = TrafficFlow::Both, .distribution = {uniform}}};
}

// "ok" or the error's display text.
std::string outcome(const std::expected<void, ValidationError>& result) {
    return result ? "ok" : result.error().display();
}

const std::string kNonNegativeHint = " Use milliseconds such as 100 or 250.5.";
const std::string kPositiveHint = " Choose a positive value appropriate for the distribution.";
const std::string kProbabilityHint = " Use a decimal such as 0.75 for a 75% probability.";
const std::string kRangeHint = " Make min_delay_ms less than or equal to max_delay_ms.";

TEST(ValidationError, DisplayAndDebugForms) {
    ValidationError error("proxies[1].name", "proxy name \"a\\b\" is duplicated.",
                          "Give every proxy a unique name.");
    EXPECT_EQ(error.display(), R"(proxies[1].name: proxy name "a\b" is duplicated. )"
                               "Give every proxy a unique name.");
    EXPECT_EQ(error.debug(), R"(ValidationError { path: "proxies[1].name", )"
                             R"(message: "proxy name \"a\\b\" is duplicated.", )"
                             R"(hint: "Give every proxy a unique name." })");
}

TEST(RunValidate, ReportsTheFirstProblem) {
    const std::vector<ProxyFaults> no_faults;
    const struct {
        std::string name;
        model::Run run;
        std::string expected;
    } cases[] = {
        {"valid", run({proxy("db")}, {phase("30s", {{"db", {jitter(1, 2)}}}), phase(std::nullopt)}),
         "ok"},
        {"no proxies and no phases", run({}, {}),
         "proxies: at least one proxy is required. Add a proxy with a listen address and an "
         "upstream address."},
        {"blank name", run({proxy("db"), proxy(" \t\u00a0\u3000")}, {phase(std::nullopt)}),
         "proxies[1].name: the proxy name is empty. Use a short stable name such as database or "
         "redis."},
        {"blank name on proxy 0 before a duplicate on proxy 1",
         run({proxy(" "), proxy(" ")}, {phase(std::nullopt)}),
         "proxies[0].name: the proxy name is empty. Use a short stable name such as database or "
         "redis."},
        {"all checks of one proxy before the next",
         run({proxy("db", ""), proxy("db")}, {phase(std::nullopt)}),
         "proxies[0].listen: the listen address is empty. Use an address such as 127.0.0.1:8080."},
        {"duplicate name", run({proxy("db"), proxy("cache"), proxy("db")}, {phase(std::nullopt)}),
         R"(proxies[2].name: proxy name "db" is duplicated. Give every proxy a unique name.)"},
        {"duplicate name quoted", run({proxy("a\"b\n"), proxy("a\"b\n")}, {phase(std::nullopt)}),
         R"(proxies[1].name: proxy name "a\"b\n" is duplicated. Give every proxy a unique name.)"},
        {"names compare untrimmed", run({proxy("db"), proxy(" db")}, {phase(std::nullopt)}), "ok"},
        {"blank listen", run({proxy("db", "  ")}, {phase(std::nullopt)}),
         "proxies[0].listen: the listen address is empty. Use an address such as 127.0.0.1:8080."},
        {"blank upstream", run({proxy("db", "127.0.0.1:1", "\n")}, {phase(std::nullopt)}),
         "proxies[0].upstream: the upstream address is empty. Use a host and port such as "
         "database:5432."},
        {"no phases", run({proxy("db")}, {}),
         "phases: a run needs at least one phase. Add a phase describing how long a network "
         "condition should last."},
        {"entry names compare untrimmed",
         run({proxy("db"), proxy(" db")}, {phase(std::nullopt, {{"db ", {}}})}),
         R"(phases[0].proxies[0].proxy: proxy "db " is not defined. Use the name of a proxy )"
         "declared in the run."},
        {"proxy twice in a phase",
         run({proxy("db"), proxy("cache")},
             {phase("1s", {{"cache", {}}}),
              phase(std::nullopt, {{"db", {}}, {"cache", {}}, {"db", {}}})}),
         R"(phases[1].proxies[2].proxy: proxy "db" is configured more than once in this )"
         "phase. Combine its faults into one proxy entry."},
        {"same proxy in two phases",
         run({proxy("db")}, {phase("1s", {{"db", {}}}), phase(std::nullopt, {{"db", {}}})}), "ok"},
        {"indefinite phase before another", run({proxy("db")}, {phase(std::nullopt), phase("10s")}),
         "phases[0].duration: an indefinite phase makes later phases unreachable. Give this "
         "phase a duration or make it the final phase."},
        {"indefinite phase last", run({proxy("db")}, {phase("10s"), phase(std::nullopt)}), "ok"},
        {"all phases timed", run({proxy("db")}, {phase("10s"), phase("1m")}), "ok"},
        {"fault error before a later undeclared entry",
         run({proxy("db")},
             {phase(std::nullopt, {{"db", {blackhole(), bandwidth(0)}}, {"ghost", {}}})}),
         "phases[0].proxies[0].faults[1].bytes_per_second: bandwidth must be greater than zero. "
         "Use the number of bytes allowed per second."},
        {"undeclared entry before a later fault error",
         run({proxy("db")}, {phase(std::nullopt, {{"ghost", {}}, {"db", {bandwidth(0)}}})}),
         R"(phases[0].proxies[0].proxy: proxy "ghost" is not defined. Use the name of a proxy )"
         "declared in the run."},
        {"duplicate entry reported before its faults are checked",
         run({proxy("db")}, {phase(std::nullopt, {{"db", {}}, {"db", {bandwidth(0)}}})}),
         R"(phases[0].proxies[1].proxy: proxy "db" is configured more than once in this )"
         "phase. Combine its faults into one proxy entry."},
        {"entries of a phase before its duration",
         run({proxy("db")}, {phase(std::nullopt, {{"db", {reset(2)}}}), phase("1s")}),
         "phases[0].proxies[0].faults[0].probability: probability must be between 0 and 1; "
         "received 2." +
             kProbabilityHint},
        {"an earlier phase's duration before a later phase's faults",
         run({proxy("db")}, {phase(std::nullopt), phase("1s", {{"db", {bandwidth(0)}}})}),
         "phases[0].duration: an indefinite phase makes later phases unreachable. Give this "
         "phase a duration or make it the final phase."},
        {"jitter range in phase 1",
         run({proxy("db")}, {phase("1s"), phase("1s", {{"db", {jitter(50, 10)}}})}),
         "phases[1].proxies[0].faults[0]: minimum delay 50ms is greater than maximum delay "
         "10ms." +
             kRangeHint},
        {"names and addresses are not checked beyond blankness",
         run({proxy("\u00e9 db", "not an address", "nowhere")}, {phase(std::nullopt)}), "ok"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome(c.run.validate()), c.expected) << c.name;
    }
}

TEST(ValidateFaultsAt, EveryRuleWithFullTexts) {
    const struct {
        FaultSpec fault;
        std::string expected;
    } cases[] = {
        {blackhole(), "ok"},
        {dns(0), "ok"},
        {dns(std::nullopt), "ok"},
        {bandwidth(1), "ok"},
        {bandwidth(0),
         "faults[0].bytes_per_second: bandwidth must be greater than zero. Use the number of "
         "bytes allowed per second."},
        {jitter(0, 0, 0), "ok"},
        {jitter(5, 5, 1), "ok"},
        {jitter(-0.0, 0), "ok"},
        {jitter(-1, 10),
         "faults[0].min_delay_ms: delay must be a finite non-negative number; received -1." +
             kNonNegativeHint},
        {jitter(1, -1e-7),
         "faults[0].max_delay_ms: delay must be a finite non-negative number; received "
         "-0.0000001." +
             kNonNegativeHint},
        {jitter(kInf, 10),
         "faults[0].min_delay_ms: delay must be a finite non-negative number; received inf." +
             kNonNegativeHint},
        {jitter(1, kNaN),
         "faults[0].max_delay_ms: delay must be a finite non-negative number; received NaN." +
             kNonNegativeHint},
        {jitter(0.5, 0.25),
         "faults[0]: minimum delay 0.5ms is greater than maximum delay 0.25ms." + kRangeHint},
        {jitter(1e21, 1),
         "faults[0]: minimum delay 1000000000000000000000ms is greater than maximum delay 1ms." +
             kRangeHint},
        {jitter(50, 10, 7),
         "faults[0]: minimum delay 50ms is greater than maximum delay 10ms." + kRangeHint},
        {jitter(1, 2, 1.5),
         "faults[0].probability: probability must be between 0 and 1; received 1.5." +
             kProbabilityHint},
        {jitter(1, 2, -0.25),
         "faults[0].probability: probability must be between 0 and 1; received -0.25." +
             kProbabilityHint},
        {reset(0), "ok"},
        {reset(1), "ok"},
        {reset(0.75), "ok"},
        {reset(kNaN), "faults[0].probability: probability must be between 0 and 1; received NaN." +
                          kProbabilityHint},
        {reset(-kInf),
         "faults[0].probability: probability must be between 0 and 1; received -inf." +
             kProbabilityHint},
        {latency(DelayDistribution::Normal{.mean_ms = 0, .stddev_ms = 1}), "ok"},
        {latency(DelayDistribution::Normal{.mean_ms = 120, .stddev_ms = 0}),
         "faults[0].distribution.stddev_ms: value must be a finite number greater than zero; "
         "received 0." +
             kPositiveHint},
        {latency(DelayDistribution::Normal{.mean_ms = 120, .stddev_ms = -0.0}),
         "faults[0].distribution.stddev_ms: value must be a finite number greater than zero; "
         "received -0." +
             kPositiveHint},
        {latency(DelayDistribution::Normal{.mean_ms = -5, .stddev_ms = 0}),
         "faults[0].distribution.mean_ms: delay must be a finite non-negative number; received "
         "-5." +
             kNonNegativeHint},
        {latency(DelayDistribution::Pareto{.shape = 1.5, .scale_ms = 10}), "ok"},
        {latency(DelayDistribution::Pareto{.shape = 0, .scale_ms = -1}),
         "faults[0].distribution.shape: value must be a finite number greater than zero; "
         "received 0." +
             kPositiveHint},
        {latency(DelayDistribution::Pareto{.shape = 2, .scale_ms = kInf}),
         "faults[0].distribution.scale_ms: value must be a finite number greater than zero; "
         "received inf." +
             kPositiveHint},
        {latency(DelayDistribution::ParetoNormal{
             .pareto_shape = 1, .pareto_scale_ms = 1, .normal_mean_ms = 0, .normal_stddev_ms = 1}),
         "ok"},
        {latency(DelayDistribution::ParetoNormal{.pareto_shape = -2,
                                                 .pareto_scale_ms = 0,
                                                 .normal_mean_ms = -1,
                                                 .normal_stddev_ms = 0}),
         "faults[0].distribution.pareto_shape: value must be a finite number greater than zero; "
         "received -2." +
             kPositiveHint},
        {latency(DelayDistribution::ParetoNormal{
             .pareto_shape = 1, .pareto_scale_ms = 0, .normal_mean_ms = -1, .normal_stddev_ms = 0}),
         "faults[0].distribution.pareto_scale_ms: value must be a finite number greater than "
         "zero; received 0." +
             kPositiveHint},
        {latency(DelayDistribution::ParetoNormal{.pareto_shape = 1,
                                                 .pareto_scale_ms = 1,
                                                 .normal_mean_ms = -250.5,
                                                 .normal_stddev_ms = 0}),
         "faults[0].distribution.normal_mean_ms: delay must be a finite non-negative number; "
         "received -250.5." +
             kNonNegativeHint},
        {latency(DelayDistribution::ParetoNormal{
             .pareto_shape = 1, .pareto_scale_ms = 1, .normal_mean_ms = 1, .normal_stddev_ms = 0}),
         "faults[0].distribution.normal_stddev_ms: value must be a finite number greater than "
         "zero; received 0." +
             kPositiveHint},
        {latency(DelayDistribution::Uniform{.min_ms = 5, .max_ms = 5}), "ok"},
        {latency(DelayDistribution::Uniform{.min_ms = 10, .max_ms = 5}),
         "faults[0].distribution: minimum delay 10ms is greater than maximum delay 5ms." +
             kRangeHint},
        {latency(DelayDistribution::Uniform{.min_ms = -1, .max_ms = 5}),
         "faults[0].distribution.min_delay_ms: delay must be a finite non-negative number; "
         "received -1." +
             kNonNegativeHint},
        {latency(DelayDistribution::Uniform{.min_ms = 1, .max_ms = kNaN}),
         "faults[0].distribution.max_delay_ms: delay must be a finite non-negative number; "
         "received NaN." +
             kNonNegativeHint},
    };
    for (const auto& c : cases) {
        std::vector<FaultSpec> faults{c.fault};
        EXPECT_EQ(outcome(validate_faults_at(faults, "faults")), c.expected) << c.expected;
    }
}

TEST(ValidateFaultsAt, StopsAtTheFirstFaultInOrder) {
    std::vector<FaultSpec> faults{blackhole(), dns(5), reset(3), bandwidth(0)};
    auto result = validate_faults_at(faults, "phases[2].proxies[1].faults");
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().path(), "phases[2].proxies[1].faults[2].probability");
    EXPECT_EQ(result.error().message(), "probability must be between 0 and 1; received 3.");
    EXPECT_EQ(result.error().hint(), "Use a decimal such as 0.75 for a 75% probability.");
    EXPECT_TRUE(validate_faults_at({}, "faults").has_value());
}

TEST(ValidateRange, AppendsFieldNamesToThePath) {
    EXPECT_EQ(outcome(validate_range("q", 0, 0)), "ok");
    EXPECT_EQ(outcome(validate_range("q", 0, kInf)),
              "q.max_delay_ms: delay must be a finite non-negative number; received inf." +
                  kNonNegativeHint);
    EXPECT_EQ(outcome(validate_range("q", -3, -4)),
              "q.min_delay_ms: delay must be a finite non-negative number; received -3." +
                  kNonNegativeHint);
    EXPECT_EQ(outcome(validate_range("q", 100.25, 100)),
              "q: minimum delay 100.25ms is greater than maximum delay 100ms." + kRangeHint);
}

}  // namespace
}  // namespace ostrel::model
