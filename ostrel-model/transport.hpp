#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ostrel-model/json_writer.hpp"
#include "ostrel-model/timestamp.hpp"
#include "ostrel-model/uuid.hpp"

namespace ostrel::model {

enum class TcpStreamOutcome {
    Active,
    Completed,
    UpstreamConnectFailed,
    TransferFailed,
    Cancelled,
    FaultReset,
};

enum class UdpExchangeOutcome {
    Active,
    Completed,
    TransferFailed,
    Cancelled,
    FaultDropped,
};

enum class FailureStage {
    Connect,
    Transfer,
    Exchange,
};

enum class FailureCategory {
    DnsFailed,
    ConnectionRefused,
    TimedOut,
    NetworkUnreachable,
    ConnectionReset,
    BrokenPipe,
    Other,
};

std::string_view tag(TcpStreamOutcome outcome);
std::string_view tag(UdpExchangeOutcome outcome);
std::string_view tag(FailureStage stage);
std::string_view tag(FailureCategory category);

struct TransportFailure {
    FailureStage stage = FailureStage::Connect;
    FailureCategory category = FailureCategory::Other;
    std::string message;

    bool operator==(const TransportFailure&) const = default;
};

struct DelayRecord {
    uint64_t applications = 0;
    double total_delay_ms = 0.0;

    bool operator==(const DelayRecord&) const = default;
};

struct FaultRecord {
    DelayRecord latency;
    DelayRecord jitter;
    uint64_t bandwidth_bytes_limited = 0;
    // Sides of the transport a blackhole swallowed: 0, 1 or 2.
    uint64_t blackhole_activations = 0;
    uint64_t connection_resets = 0;
    uint64_t dns_interventions = 0;

    bool operator==(const FaultRecord&) const = default;
};

struct TcpStreamRecord {
    Uuid stream_id;
    std::string proxy;
    std::string peer;
    std::string upstream;
    Timestamp opened_at;
    std::optional<Timestamp> closed_at;
    uint64_t bytes_to_upstream = 0;
    uint64_t bytes_to_client = 0;
    FaultRecord faults;
    TcpStreamOutcome outcome = TcpStreamOutcome::Active;
    std::optional<TransportFailure> failure;

    bool operator==(const TcpStreamRecord&) const = default;
};

struct UdpExchangeRecord {
    Uuid exchange_id;
    std::string proxy;
    std::string peer;
    std::string upstream;
    Timestamp started_at;
    std::optional<Timestamp> completed_at;
    uint64_t request_bytes = 0;
    uint64_t response_bytes = 0;
    FaultRecord faults;
    UdpExchangeOutcome outcome = UdpExchangeOutcome::Active;
    std::optional<TransportFailure> failure;

    bool operator==(const UdpExchangeRecord&) const = default;
};

// One finished (or, in snapshots, open) transport: a TCP stream or a UDP exchange.
struct TransportRecord {
    std::variant<TcpStreamRecord, UdpExchangeRecord> value;

    TransportRecord(TcpStreamRecord record) : value(std::move(record)) {}
    TransportRecord(UdpExchangeRecord record) : value(std::move(record)) {}

    bool is_tcp() const { return std::holds_alternative<TcpStreamRecord>(value); }
    const TcpStreamRecord* tcp() const { return std::get_if<TcpStreamRecord>(&value); }
    const UdpExchangeRecord* udp() const { return std::get_if<UdpExchangeRecord>(&value); }

    bool operator==(const TransportRecord&) const = default;
};

struct TcpStatus {
    uint64_t active = 0;
    uint64_t opened = 0;
    uint64_t active_impacted = 0;
    uint64_t impacted = 0;
    uint64_t completed = 0;
    uint64_t failed = 0;
    uint64_t average_bytes_to_upstream = 0;
    uint64_t average_bytes_to_client = 0;

    bool operator==(const TcpStatus&) const = default;
};

struct UdpStatus {
    uint64_t active = 0;
    uint64_t started = 0;
    uint64_t active_impacted = 0;
    uint64_t impacted = 0;
    uint64_t completed = 0;
    uint64_t failed = 0;
    uint64_t average_request_bytes = 0;
    uint64_t average_response_bytes = 0;

    bool operator==(const UdpStatus&) const = default;
};

struct EffectsStatus {
    uint64_t latency_applications = 0;
    double average_latency_ms = 0.0;
    uint64_t jitter_applications = 0;
    double average_jitter_ms = 0.0;
    uint64_t bandwidth_bytes_limited = 0;
    uint64_t blackhole_activations = 0;
    uint64_t connection_resets = 0;
    uint64_t dns_interventions = 0;

    bool operator==(const EffectsStatus&) const = default;
};

struct TransportStatus {
    TcpStatus tcp;
    UdpStatus udp;
    EffectsStatus effects;
    uint64_t dropped_records = 0;
    std::optional<TransportFailure> last_failure;

    bool operator==(const TransportStatus&) const = default;
};

// The status together with the transports open when it was taken.
struct TransportSummary {
    TransportStatus status;
    std::vector<TcpStreamRecord> tcp_streams;
    std::vector<UdpExchangeRecord> udp_exchanges;

    bool operator==(const TransportSummary&) const = default;
};

void write_json(JsonWriter& out, const TransportFailure& failure);
void write_json(JsonWriter& out, const DelayRecord& record);
void write_json(JsonWriter& out, const FaultRecord& record);
void write_json(JsonWriter& out, const TcpStreamRecord& record);
void write_json(JsonWriter& out, const UdpExchangeRecord& record);
void write_json(JsonWriter& out, const TransportRecord& record);
void write_json(JsonWriter& out, const TcpStatus& status);
void write_json(JsonWriter& out, const UdpStatus& status);
void write_json(JsonWriter& out, const EffectsStatus& status);
void write_json(JsonWriter& out, const TransportStatus& status);
void write_json(JsonWriter& out, const TransportSummary& summary);

std::string to_json(const TransportFailure& failure);
std::string to_json(const TcpStreamRecord& record);
std::string to_json(const UdpExchangeRecord& record);
std::string to_json(const TransportRecord& record);
std::string to_json(const TransportStatus& status);
std::string to_json(const TransportSummary& summary);

// Stable sorts by (opened_at, stream_id) and (started_at, exchange_id); ids compare by bytes.
void sort_tcp_records(std::vector<TcpStreamRecord>& records);
void sort_udp_records(std::vector<UdpExchangeRecord>& records);

}  // namespace ostrel::model
