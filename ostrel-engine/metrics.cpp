#include "ostrel-engine/metrics.hpp"

namespace ostrel::engine {

uint64_t to_micros(std::chrono::nanoseconds delay) {
    // Nanoseconds in 64 bits divided by 1000 always fit, so there is nothing to saturate.
    if (delay.count() <= 0) return 0;
    return static_cast<uint64_t>(delay.count()) / 1000;
}

namespace {

uint64_t average(uint64_t total, uint64_t count) {
    return count == 0 ? 0 : total / count;
}

double average_ms(uint64_t total_us, uint64_t applications) {
    if (applications == 0) return 0.0;
    return static_cast<double>(total_us) / static_cast<double>(applications) / 1000.0;
}

}  // namespace

model::TransportStatus LiveMetrics::status() const {
    model::TransportStatus status;

    status.tcp.active = tcp.active.load();
    status.tcp.opened = tcp.opened.load();
    status.tcp.active_impacted = tcp.active_impacted.load();
    status.tcp.impacted = tcp.impacted.load();
    status.tcp.completed = tcp.completed.load();
    status.tcp.failed = tcp.failed.load();
    status.tcp.average_bytes_to_upstream =
        average(tcp.total_bytes_to_upstream.load(), status.tcp.completed);
    status.tcp.average_bytes_to_client =
        average(tcp.total_bytes_to_client.load(), status.tcp.completed);

    status.udp.active = udp.active.load();
    status.udp.started = udp.started.load();
    status.udp.active_impacted = udp.active_impacted.load();
    status.udp.impacted = udp.impacted.load();
    status.udp.completed = udp.completed.load();
    status.udp.failed = udp.failed.load();
    status.udp.average_request_bytes =
        average(udp.total_request_bytes.load(), status.udp.completed);
    status.udp.average_response_bytes =
        average(udp.total_response_bytes.load(), status.udp.completed);

    status.effects.latency_applications = latency_applications.load();
    status.effects.average_latency_ms =
        average_ms(latency_total_us.load(), status.effects.latency_applications);
    status.effects.jitter_applications = jitter_applications.load();
    status.effects.average_jitter_ms =
        average_ms(jitter_total_us.load(), status.effects.jitter_applications);
    status.effects.bandwidth_bytes_limited = bandwidth_bytes_limited.load();
    status.effects.blackhole_activations = blackhole_activations.load();
    status.effects.connection_resets = connection_resets.load();
    status.effects.dns_interventions = dns_interventions.load();

    status.dropped_records = dropped_records.load();
    if (auto failure = last_failure.load()) status.last_failure = *failure;
    return status;
}

void TransportMetrics::mark_impacted() {
    if (impacted_.exchange(true)) return;
    if (protocol_ == model::TransportProtocol::Tcp) {
        live_->tcp.active_impacted.fetch_add(1);
        live_->tcp.impacted.fetch_add(1);
    } else {
        live_->udp.active_impacted.fetch_add(1);
        live_->udp.impacted.fetch_add(1);
    }
}

void TransportMetrics::latency_applied(uint64_t micros) {
    latency_applications_.fetch_add(1);
    latency_total_us_.fetch_add(micros);
    live_->latency_applications.fetch_add(1);
    live_->latency_total_us.fetch_add(micros);
}

void TransportMetrics::jitter_applied(uint64_t micros) {
    jitter_applications_.fetch_add(1);
    jitter_total_us_.fetch_add(micros);
    live_->jitter_applications.fetch_add(1);
    live_->jitter_total_us.fetch_add(micros);
}

void TransportMetrics::bandwidth_limited(uint64_t bytes) {
    bandwidth_bytes_limited_.fetch_add(bytes);
    live_->bandwidth_bytes_limited.fetch_add(bytes);
}

void TransportMetrics::blackhole(Side side) {
    auto& flag = side == Side::ToUpstream ? blackhole_to_upstream_ : blackhole_to_client_;
    if (!flag.exchange(true)) live_->blackhole_activations.fetch_add(1);
}

void TransportMetrics::connection_reset() {
    if (!connection_reset_.exchange(true)) live_->connection_resets.fetch_add(1);
}

void TransportMetrics::dns_intervention() {
    dns_interventions_.fetch_add(1);
    live_->dns_interventions.fetch_add(1);
}

model::FaultRecord TransportMetrics::fault_record() const {
    model::FaultRecord record;
    record.latency.applications = latency_applications_.load();
    record.latency.total_delay_ms = static_cast<double>(latency_total_us_.load()) / 1000.0;
    record.jitter.applications = jitter_applications_.load();
    record.jitter.total_delay_ms = static_cast<double>(jitter_total_us_.load()) / 1000.0;
    record.bandwidth_bytes_limited = bandwidth_bytes_limited_.load();
    record.blackhole_activations =
        (blackhole_to_upstream_.load() ? 1u : 0u) + (blackhole_to_client_.load() ? 1u : 0u);
    record.connection_resets = connection_reset_.load() ? 1 : 0;
    record.dns_interventions = dns_interventions_.load();
    return record;
}

}  // namespace ostrel::engine
