#include "ostrel-engine/faults/runtime.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "tests/engine/faults/loopback.hpp"

namespace ostrel::engine {
namespace {

using namespace fault_test;
using model::FaultSpec;
using model::TrafficFlow;

const std::string kInvalidFault = "invalid fault configuration: ";

FaultSpec dns(model::DnsCase c, std::optional<uint64_t> delay_ms) {
    return {model::DnsFault{c, delay_ms}};
}

FaultSpec normal_latency(double mean_ms, double stddev_ms) {
    return {
        model::LatencyFault{TrafficFlow::Both, {model::NormalDistribution{mean_ms, stddev_ms}}}};
}

std::string chain_error(const std::vector<FaultSpec>& specs) {
    auto chain = FaultChain::from_specs(specs);
    if (chain) return "";
    EXPECT_TRUE(chain.error().is<EngineError::InvalidFaultConfig>());
    return chain.error().display();
}

TEST(FaultChainTest, RefusesFaultsItCannotBuild) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::string range = "jitter delay range must be finite, non-negative, and ordered";
    struct Case {
        std::vector<FaultSpec> specs;
        std::string message;
    } cases[] = {
        {{connection_reset(TrafficFlow::Both, 1.5)},
         "connection-reset probability must be between zero and one"},
        {{connection_reset(TrafficFlow::Both, -0.1)},
         "connection-reset probability must be between zero and one"},
        {{jitter(TrafficFlow::Both, 1, 2, 1.01)},
         "jitter probability must be between zero and one"},
        {{jitter(TrafficFlow::Both, 1, 2, std::numeric_limits<double>::quiet_NaN())},
         "jitter probability must be between zero and one"},
        {{jitter(TrafficFlow::Both, 5, 4, 0.5)}, range},
        {{jitter(TrafficFlow::Both, -1, 4, 0.5)}, range},
        {{jitter(TrafficFlow::Both, 0, kInf, 0.5)}, range},
        // The range is checked before the probability.
        {{jitter(TrafficFlow::Both, 5, 4, 2)}, range},
        {{bandwidth(TrafficFlow::Both, 0)}, "bandwidth must be greater than zero"},
        {{latency(TrafficFlow::Both, 5, 4)},
         "low > high (or equal if exclusive) in uniform distribution"},
        {{normal_latency(0, kInf)},
         "variation parameter is non-finite in (log)normal distribution"},
        // The first failure in list order wins.
        {{blackhole(TrafficFlow::Both), bandwidth(TrafficFlow::Both, 0),
          connection_reset(TrafficFlow::Both, 1.5)},
         "bandwidth must be greater than zero"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(chain_error(c.specs), kInvalidFault + c.message);
    }
}

TEST(FaultChainTest, HasOneInjectorPerNonDnsFaultInOrder) {
    auto chain = FaultChain::from_specs(std::vector<FaultSpec>{
        dns(model::DnsCase::Refused, std::nullopt), latency(TrafficFlow::Both, 1, 2),
        dns(model::DnsCase::Delay, 250), blackhole(TrafficFlow::ToClient)});
    ASSERT_TRUE(chain.has_value());
    EXPECT_EQ(chain->size(), 2u);
    EXPECT_TRUE(FaultChain::from_specs({})->empty());
}

TEST(FaultRuntimeTest, SupportCheckNamesTheFaultAndTheProtocol) {
    struct Case {
        bool udp;
        std::vector<FaultSpec> specs;
        std::string message;  // empty: supported
    } cases[] = {
        {true,
         {bandwidth(TrafficFlow::Both, 1000)},
         "fault Bandwidth { bytes_per_second: 1000, flow: Both } is not supported by udp proxies"},
        {false,
         {dns(model::DnsCase::Refused, std::nullopt)},
         "fault Dns { case: Refused, delay_ms: None } is not supported by tcp proxies"},
        {true,
         {latency(TrafficFlow::Both, 1, 2), connection_reset(TrafficFlow::ToClient, 0.5),
          bandwidth(TrafficFlow::Both, 1000)},
         "fault ConnectionReset { probability: 0.5, flow: ToClient } is not supported by udp "
         "proxies"},
        {true,
         {latency(TrafficFlow::Both, 1, 2), jitter(TrafficFlow::ToClient, 1, 2, 0.5),
          blackhole(TrafficFlow::Both), dns(model::DnsCase::NxDomain, 10)},
         ""},
        {false,
         {latency(TrafficFlow::Both, 1, 2), jitter(TrafficFlow::ToClient, 1, 2, 0.5),
          bandwidth(TrafficFlow::Both, 1000), blackhole(TrafficFlow::Both),
          connection_reset(TrafficFlow::Both, 0.5)},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        auto created = FaultRuntime::create(c.specs, c.udp);
        auto empty = FaultRuntime::create({}, c.udp);
        ASSERT_TRUE(empty.has_value());
        auto prepared = empty->prepare_specs(c.specs);
        if (c.message.empty()) {
            EXPECT_TRUE(created.has_value());
            EXPECT_TRUE(prepared.has_value());
            continue;
        }
        ASSERT_FALSE(created.has_value());
        ASSERT_FALSE(prepared.has_value());
        EXPECT_EQ(created.error().display(), kInvalidFault + c.message);
        EXPECT_EQ(prepared.error().display(), kInvalidFault + c.message);
    }
}

TEST(FaultRuntimeTest, DnsOnlyListGivesAnEmptyChainOnUdp) {
    const std::vector<FaultSpec> specs = {dns(model::DnsCase::ServFail, std::nullopt)};
    auto runtime = FaultRuntime::create(specs, true);
    ASSERT_TRUE(runtime.has_value());
    EXPECT_TRUE(runtime->udp());
    auto set = runtime->current();
    EXPECT_TRUE(set->chain.empty());
    EXPECT_EQ(set->specs, specs);
    EXPECT_FALSE(set->token.is_cancelled());
}

TEST(FaultRuntimeTest, CreateValidatesFirstAndPrepareChecksSupportFirst) {
    // Unsupported on udp and invalid (a zero bandwidth) at the same time.
    const std::vector<FaultSpec> specs = {blackhole(TrafficFlow::Both),
                                          bandwidth(TrafficFlow::Both, 0)};
    auto created = FaultRuntime::create(specs, true);
    ASSERT_FALSE(created.has_value());
    ASSERT_TRUE(created.error().is<EngineError::InvalidConfiguration>());
    const auto& validation = std::get<EngineError::InvalidConfiguration>(created.error().kind());
    EXPECT_EQ(validation.error.path(), "faults[1].bytes_per_second");
    EXPECT_EQ(created.error().display(), "invalid configuration: " + validation.error.display());

    auto runtime = FaultRuntime::create({}, true);
    ASSERT_TRUE(runtime.has_value());
    auto prepared = runtime->prepare_specs(specs);
    ASSERT_FALSE(prepared.has_value());
    EXPECT_EQ(prepared.error().display(),
              kInvalidFault +
                  "fault Bandwidth { bytes_per_second: 0, flow: Both } is not supported by udp "
                  "proxies");

    // On tcp the same list is supported, and both report the validation error.
    auto tcp = FaultRuntime::create({}, false);
    ASSERT_TRUE(tcp.has_value());
    auto invalid = tcp->prepare_specs(specs);
    ASSERT_FALSE(invalid.has_value());
    EXPECT_TRUE(invalid.error().is<EngineError::InvalidConfiguration>());
}

TEST(FaultRuntimeTest, InstallSwapsTheSetAndCancelsTheOldToken) {
    auto runtime =
        FaultRuntime::create(std::vector<FaultSpec>{latency(TrafficFlow::Both, 1, 2)}, false);
    ASSERT_TRUE(runtime.has_value());
    const FaultRuntime copy = *runtime;
    const auto first = runtime->current();
    EXPECT_EQ(first->chain.size(), 1u);

    auto next = runtime->prepare_specs(std::vector<FaultSpec>{blackhole(TrafficFlow::Both)});
    ASSERT_TRUE(next.has_value());
    // Preparing touches nothing; a failed preparation neither.
    EXPECT_EQ(runtime->current(), first);
    EXPECT_FALSE(runtime->prepare_specs(std::vector<FaultSpec>{bandwidth(TrafficFlow::Both, 0)}));
    EXPECT_EQ(runtime->current(), first);
    EXPECT_FALSE(first->token.is_cancelled());

    runtime->install(*next);
    EXPECT_EQ(runtime->current(), *next);
    EXPECT_EQ(copy.current(), *next);
    EXPECT_TRUE(first->token.is_cancelled());
    EXPECT_FALSE((*next)->token.is_cancelled());
}

TEST(FaultRuntimeTest, ConcurrentInstallsAndReadsSeeWholeSets) {
    auto runtime = FaultRuntime::create({}, false);
    ASSERT_TRUE(runtime.has_value());
    std::vector<std::shared_ptr<const ActiveFaults>> sets;
    for (size_t n = 0; n < 4; ++n) {
        std::vector<FaultSpec> specs(n, blackhole(TrafficFlow::Both));
        sets.push_back(*runtime->prepare_specs(specs));
    }
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            auto set = runtime->current();
            ASSERT_EQ(set->chain.size(), set->specs.size());
        }
    });
    for (int i = 0; i < 20000; ++i) {
        runtime->install(*runtime->prepare_specs(sets[i % 4]->specs));
    }
    stop.store(true);
    reader.join();
    EXPECT_FALSE(runtime->current()->token.is_cancelled());
}

}  // namespace
}  // namespace ostrel::engine
