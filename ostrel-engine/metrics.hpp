#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "ostrel-engine/rt/swappable.hpp"
#include "ostrel-model/config.hpp"
#include "ostrel-model/transport.hpp"

namespace ostrel::engine {

// Whole microseconds of a delay, truncated; a negative delay counts as 0.
uint64_t to_micros(std::chrono::nanoseconds delay);

// Engine-wide live counters behind the status. Every counter is a sequentially consistent
// atomic; a reader sees each one on its own, not a consistent cut.
struct LiveMetrics {
    struct Tcp {
        std::atomic<uint64_t> active{0}, opened{0}, active_impacted{0}, impacted{0}, completed{0},
            failed{0}, total_bytes_to_upstream{0}, total_bytes_to_client{0};
    };
    struct Udp {
        std::atomic<uint64_t> active{0}, started{0}, active_impacted{0}, impacted{0}, completed{0},
            failed{0}, total_request_bytes{0}, total_response_bytes{0};
    };

    Tcp tcp;
    Udp udp;
    std::atomic<uint64_t> dropped_records{0};
    rt::Swappable<std::optional<model::TransportFailure>> last_failure{
        std::make_shared<const std::optional<model::TransportFailure>>()};
    std::atomic<uint64_t> latency_applications{0}, latency_total_us{0}, jitter_applications{0},
        jitter_total_us{0}, bandwidth_bytes_limited{0}, blackhole_activations{0},
        connection_resets{0}, dns_interventions{0};

    // The live status: counts, averages over finished transports, effects, last failure.
    model::TransportStatus status() const;
};

// Which way traffic of one transport travels, as the fault layers see it: reads from the
// client go to the upstream, writes to the client come from it.
enum class Side { ToUpstream, ToClient };

// The counters of one transport, shared by its proxy task, every fault layer over it and the
// collector's entry for it. Flags are set by exchange so each counts once per transport, also
// when the fault layers are rebuilt.
class TransportMetrics {
  public:
    TransportMetrics(model::TransportProtocol protocol, std::shared_ptr<LiveMetrics> live)
        : protocol_(protocol), live_(std::move(live)) {}

    model::TransportProtocol protocol() const { return protocol_; }
    const std::shared_ptr<LiveMetrics>& live() const { return live_; }

    void add_bytes_to_upstream(uint64_t n) { bytes_to_upstream_.fetch_add(n); }
    void add_bytes_to_client(uint64_t n) { bytes_to_client_.fetch_add(n); }

    // The first effect of any fault; raises the impacted counts of the protocol once.
    void mark_impacted();
    void latency_applied(uint64_t micros);
    void jitter_applied(uint64_t micros);
    void bandwidth_limited(uint64_t bytes);
    // The first blackhole activation on a side raises the live activations once.
    void blackhole(Side side);
    // The first reset raises the live resets once.
    void connection_reset();
    void dns_intervention();

    uint64_t bytes_to_upstream() const { return bytes_to_upstream_.load(); }
    uint64_t bytes_to_client() const { return bytes_to_client_.load(); }
    bool impacted() const { return impacted_.load(); }
    // What the faults did, as a record shows it.
    model::FaultRecord fault_record() const;

  private:
    const model::TransportProtocol protocol_;
    const std::shared_ptr<LiveMetrics> live_;

    std::atomic<uint64_t> bytes_to_upstream_{0};
    std::atomic<uint64_t> bytes_to_client_{0};
    std::atomic<uint64_t> latency_applications_{0};
    std::atomic<uint64_t> latency_total_us_{0};
    std::atomic<uint64_t> jitter_applications_{0};
    std::atomic<uint64_t> jitter_total_us_{0};
    std::atomic<uint64_t> bandwidth_bytes_limited_{0};
    std::atomic<uint64_t> dns_interventions_{0};
    std::atomic<bool> impacted_{false};
    std::atomic<bool> blackhole_to_upstream_{false};
    std::atomic<bool> blackhole_to_client_{false};
    std::atomic<bool> connection_reset_{false};
};

}  // namespace ostrel::engine
