#include "ostrel-engine/metrics.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ostrel-model/transport.hpp"

namespace ostrel::engine {
namespace {

using namespace std::chrono_literals;
using model::TransportProtocol;

TEST(ToMicros, TruncatesAndClampsNegative) {
    struct Case {
        std::chrono::nanoseconds delay;
        uint64_t micros;
    };
    const Case cases[] = {
        {0ns, 0},
        {999ns, 0},
        {1000ns, 1},
        {1999ns, 1},
        {1s + 250us + 7ns, 1'000'250},
        {-1ns, 0},
        {-5s, 0},
        {std::chrono::nanoseconds::max(), 9'223'372'036'854'775},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_micros(c.delay), c.micros) << c.delay.count() << "ns";
    }
}

TEST(LiveMetricsStatus, FreshStatusJson) {
    LiveMetrics live;
    EXPECT_EQ(model::to_json(live.status()),
              "{\"tcp\":{\"active\":0,\"opened\":0,\"active_impacted\":0,\"impacted\":0,"
              "\"completed\":0,\"failed\":0,\"average_bytes_to_upstream\":0,"
              "\"average_bytes_to_client\":0},"
              "\"udp\":{\"active\":0,\"started\":0,\"active_impacted\":0,\"impacted\":0,"
              "\"completed\":0,\"failed\":0,\"average_request_bytes\":0,"
              "\"average_response_bytes\":0},"
              "\"effects\":{\"latency_applications\":0,\"average_latency_ms\":0.0,"
              "\"jitter_applications\":0,\"average_jitter_ms\":0.0,"
              "\"bandwidth_bytes_limited\":0,\"blackhole_activations\":0,"
              "\"connection_resets\":0,\"dns_interventions\":0},"
              "\"dropped_records\":0,\"last_failure\":null}");
}

TEST(LiveMetricsStatus, ByteAveragesTruncateOverCompleted) {
    LiveMetrics live;
    live.tcp.completed = 3;
    live.tcp.total_bytes_to_upstream = 10;
    live.tcp.total_bytes_to_client = 2;
    live.udp.completed = 4;
    live.udp.total_request_bytes = 103;
    live.udp.total_response_bytes = 7;
    auto status = live.status();
    EXPECT_EQ(status.tcp.average_bytes_to_upstream, 3u);
    EXPECT_EQ(status.tcp.average_bytes_to_client, 0u);
    EXPECT_EQ(status.udp.average_request_bytes, 25u);
    EXPECT_EQ(status.udp.average_response_bytes, 1u);

    // Bytes without completions must not divide by zero.
    LiveMetrics empty;
    empty.tcp.total_bytes_to_upstream = 10;
    empty.udp.total_response_bytes = 10;
    EXPECT_EQ(empty.status().tcp.average_bytes_to_upstream, 0u);
    EXPECT_EQ(empty.status().udp.average_response_bytes, 0u);
}

TEST(LiveMetricsStatus, CopiesCountsAndLastFailure) {
    LiveMetrics live;
    live.tcp.active = 1;
    live.tcp.opened = 2;
    live.tcp.active_impacted = 3;
    live.tcp.impacted = 4;
    live.tcp.failed = 5;
    live.udp.active = 6;
    live.udp.started = 7;
    live.udp.active_impacted = 8;
    live.udp.impacted = 9;
    live.udp.failed = 10;
    live.dropped_records = 11;
    model::TransportFailure failure{model::FailureStage::Connect,
                                    model::FailureCategory::ConnectionRefused, "refused"};
    live.last_failure.exchange(
        std::make_shared<const std::optional<model::TransportFailure>>(failure));

    auto status = live.status();
    EXPECT_EQ(status.tcp, (model::TcpStatus{1, 2, 3, 4, 0, 5, 0, 0}));
    EXPECT_EQ(status.udp, (model::UdpStatus{6, 7, 8, 9, 0, 10, 0, 0}));
    EXPECT_EQ(status.dropped_records, 11u);
    EXPECT_EQ(status.last_failure, failure);
}

struct Transport {
    std::shared_ptr<LiveMetrics> live = std::make_shared<LiveMetrics>();
    TransportMetrics tcp{TransportProtocol::Tcp, live};
    TransportMetrics udp{TransportProtocol::Udp, live};
};

TEST(TransportMetrics, DelaysAddHereAndLive) {
    Transport t;
    t.tcp.latency_applied(100'000);
    t.udp.latency_applied(150'000);
    t.tcp.jitter_applied(1);
    t.tcp.jitter_applied(2);

    auto effects = t.live->status().effects;
    EXPECT_EQ(effects.latency_applications, 2u);
    EXPECT_EQ(effects.average_latency_ms, 125.0);
    EXPECT_EQ(effects.jitter_applications, 2u);
    EXPECT_EQ(effects.average_jitter_ms, 0.0015);

    auto record = t.tcp.fault_record();
    EXPECT_EQ(record.latency, (model::DelayRecord{1, 100.0}));
    EXPECT_EQ(record.jitter, (model::DelayRecord{2, 0.003}));
    EXPECT_EQ(t.udp.fault_record().latency, (model::DelayRecord{1, 150.0}));
}

TEST(TransportMetrics, RecordedDelayInMilliseconds) {
    Transport t;
    t.tcp.latency_applied(118'734);
    t.tcp.latency_applied(0);
    EXPECT_EQ(t.tcp.fault_record().latency, (model::DelayRecord{2, 118.734}));
}

TEST(TransportMetrics, ImpactedCountsOncePerTransportInItsProtocol) {
    Transport t;
    t.tcp.mark_impacted();
    t.tcp.mark_impacted();
    EXPECT_TRUE(t.tcp.impacted());
    EXPECT_FALSE(t.udp.impacted());
    auto status = t.live->status();
    EXPECT_EQ(status.tcp.active_impacted, 1u);
    EXPECT_EQ(status.tcp.impacted, 1u);
    EXPECT_EQ(status.udp.active_impacted, 0u);
    EXPECT_EQ(status.udp.impacted, 0u);

    t.udp.mark_impacted();
    status = t.live->status();
    EXPECT_EQ(status.tcp.impacted, 1u);
    EXPECT_EQ(status.udp.active_impacted, 1u);
    EXPECT_EQ(status.udp.impacted, 1u);
}

TEST(TransportMetrics, BlackholeCountsEachSideOnce) {
    Transport t;
    for (int i = 0; i < 3; ++i) {
        t.tcp.blackhole(Side::ToUpstream);
        t.tcp.blackhole(Side::ToClient);
    }
    t.udp.blackhole(Side::ToClient);
    EXPECT_EQ(t.tcp.fault_record().blackhole_activations, 2u);
    EXPECT_EQ(t.udp.fault_record().blackhole_activations, 1u);
    EXPECT_EQ(t.live->status().effects.blackhole_activations, 3u);
}

TEST(TransportMetrics, ResetCountsOnce) {
    Transport t;
    EXPECT_EQ(t.tcp.fault_record().connection_resets, 0u);
    t.tcp.connection_reset();
    t.tcp.connection_reset();
    EXPECT_EQ(t.tcp.fault_record().connection_resets, 1u);
    EXPECT_EQ(t.live->status().effects.connection_resets, 1u);
}

TEST(TransportMetrics, BandwidthDnsAndBytes) {
    Transport t;
    t.tcp.bandwidth_limited(1024);
    t.tcp.bandwidth_limited(10);
    t.udp.dns_intervention();
    t.udp.dns_intervention();
    t.tcp.add_bytes_to_upstream(5);
    t.tcp.add_bytes_to_client(7);
    t.tcp.add_bytes_to_client(1);

    EXPECT_EQ(t.tcp.fault_record().bandwidth_bytes_limited, 1034u);
    EXPECT_EQ(t.udp.fault_record().dns_interventions, 2u);
    EXPECT_EQ(t.tcp.bytes_to_upstream(), 5u);
    EXPECT_EQ(t.tcp.bytes_to_client(), 8u);
    auto status = t.live->status();
    EXPECT_EQ(status.effects.bandwidth_bytes_limited, 1034u);
    EXPECT_EQ(status.effects.dns_interventions, 2u);
    // Bytes reach the live totals only when the collector finishes the transport.
    EXPECT_EQ(status.tcp.average_bytes_to_client, 0u);
}

TEST(TransportMetrics, UntouchedTransportHasZeroRecord) {
    Transport t;
    EXPECT_EQ(t.tcp.fault_record(), model::FaultRecord{});
    EXPECT_EQ(t.tcp.live(), t.live);
    EXPECT_EQ(t.udp.protocol(), TransportProtocol::Udp);
}

TEST(TransportMetrics, ConcurrentFlagsCountOnce) {
    Transport t;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&t] {
            for (int n = 0; n < 1000; ++n) {
                t.tcp.mark_impacted();
                t.tcp.blackhole(Side::ToUpstream);
                t.tcp.connection_reset();
                t.tcp.latency_applied(1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    auto status = t.live->status();
    EXPECT_EQ(status.tcp.impacted, 1u);
    EXPECT_EQ(status.tcp.active_impacted, 1u);
    EXPECT_EQ(status.effects.blackhole_activations, 1u);
    EXPECT_EQ(status.effects.connection_resets, 1u);
    EXPECT_EQ(status.effects.latency_applications, 8000u);
    EXPECT_EQ(t.tcp.fault_record().latency.total_delay_ms, 8.0);
}

}  // namespace
}  // namespace ostrel::engine
