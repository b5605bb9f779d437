#include "ostrel-model/transport.hpp"

#include <algorithm>
#include <tuple>
#include <utility>

namespace ostrel::model {

std::string_view tag(TcpStreamOutcome outcome) {
    switch (outcome) {
        case TcpStreamOutcome::Active:
            return "active";
        case TcpStreamOutcome::Completed:
            return "completed";
        case TcpStreamOutcome::UpstreamConnectFailed:
            return "upstream-connect-failed";
        case TcpStreamOutcome::TransferFailed:
            return "transfer-failed";
        case TcpStreamOutcome::Cancelled:
            return "cancelled";
        case TcpStreamOutcome::FaultReset:
            return "fault-reset";
    }
    std::unreachable();
}

std::string_view tag(UdpExchangeOutcome outcome) {
    switch (outcome) {
        case UdpExchangeOutcome::Active:
            return "active";
        case UdpExchangeOutcome::Completed:
            return "completed";
        case UdpExchangeOutcome::TransferFailed:
            return "transfer-failed";
        case UdpExchangeOutcome::Cancelled:
            return "cancelled";
        case UdpExchangeOutcome::FaultDropped:
            return "fault-dropped";
    }
    std::unreachable();
}

std::string_view tag(FailureStage stage) {
    switch (stage) {
        case FailureStage::Connect:
            return "connect";
        case FailureStage::Transfer:
            return "transfer";
        case FailureStage::Exchange:
            return "exchange";
    }
    std::unreachable();
}

std::string_view tag(FailureCategory category) {
    switch (category) {
        case FailureCategory::DnsFailed:
            return "dns-failed";
        case FailureCategory::ConnectionRefused:
            return "connection-refused";
        case FailureCategory::TimedOut:
            return "timed-out";
        case FailureCategory::NetworkUnreachable:
            return "network-unreachable";
        case FailureCategory::ConnectionReset:
            return "connection-reset";
        case FailureCategory::BrokenPipe:
            return "broken-pipe";
        case FailureCategory::Other:
            return "other";
    }
    std::unreachable();
}

namespace {

void write_failure(JsonWriter& out, const std::optional<TransportFailure>& failure) {
    if (failure) {
        write_json(out, *failure);
    } else {
        out.null();
    }
}

template <typename T>
std::string render(const T& value) {
    JsonWriter out;
    write_json(out, value);
    return out.take();
}

}  // namespace

void write_json(JsonWriter& out, const TransportFailure& failure) {
    out.begin_object();
    out.key("stage").string(tag(failure.stage));
    out.key("category").string(tag(failure.category));
    out.key("message").string(failure.message);
    out.end_object();
}

void write_json(JsonWriter& out, const DelayRecord& record) {
    out.begin_object();
    out.key("applications").uint(record.applications);
    out.key("total_delay_ms").number(record.total_delay_ms);
    out.end_object();
}

void write_json(JsonWriter& out, const FaultRecord& record) {
    out.begin_object();
    out.key("latency");
    write_json(out, record.latency);
    out.key("jitter");
    write_json(out, record.jitter);
    out.key("bandwidth_bytes_limited").uint(record.bandwidth_bytes_limited);
    out.key("blackhole_activations").uint(record.blackhole_activations);
    out.key("connection_resets").uint(record.connection_resets);
    out.key("dns_interventions").uint(record.dns_interventions);
    out.end_object();
}

void write_json(JsonWriter& out, const TcpStreamRecord& record) {
    out.begin_object();
    out.key("stream_id").string(record.stream_id.to_string());
    out.key("proxy").string(record.proxy);
    out.key("peer").string(record.peer);
    out.key("upstream").string(record.upstream);
    out.key("opened_at").string(record.opened_at.to_rfc3339());
    out.key("closed_at");
    write_timestamp(out, record.closed_at);
    out.key("bytes_to_upstream").uint(record.bytes_to_upstream);
    out.key("bytes_to_client").uint(record.bytes_to_client);
    out.key("faults");
    write_json(out, record.faults);
    out.key("outcome").string(tag(record.outcome));
    out.key("failure");
    write_failure(out, record.failure);
    out.end_object();
}

void write_json(JsonWriter& out, const UdpExchangeRecord& record) {
    out.begin_object();
    out.key("exchange_id").string(record.exchange_id.to_string());
    out.key("proxy").string(record.proxy);
    out.key("peer").string(record.peer);
    out.key("upstream").string(record.upstream);
    out.key("started_at").string(record.started_at.to_rfc3339());
    out.key("completed_at");
    write_timestamp(out, record.completed_at);
    out.key("request_bytes").uint(record.request_bytes);
    out.key("response_bytes").uint(record.response_bytes);
    out.key("faults");
    write_json(out, record.faults);
    out.key("outcome").string(tag(record.outcome));
    out.key("failure");
    write_failure(out, record.failure);
    out.end_object();
}

void write_json(JsonWriter& out, const TransportRecord& record) {
    out.begin_object();
    if (const auto* tcp = record.tcp()) {
        out.key("type").string("tcp-stream");
        out.key("stream");
        write_json(out, *tcp);
    } else {
        out.key("type").string("udp-exchange");
        out.key("exchange");
        write_json(out, *record.udp());
    }
    out.end_object();
}

void write_json(JsonWriter& out, const TcpStatus& status) {
    out.begin_object();
    out.key("active").uint(status.active);
    out.key("opened").uint(status.opened);
    out.key("active_impacted").uint(status.active_impacted);
    out.key("impacted").uint(status.impacted);
    out.key("completed").uint(status.completed);
    out.key("failed").uint(status.failed);
    out.key("average_bytes_to_upstream").uint(status.average_bytes_to_upstream);
    out.key("average_bytes_to_client").uint(status.average_bytes_to_client);
    out.end_object();
}

void write_json(JsonWriter& out, const UdpStatus& status) {
    out.begin_object();
    out.key("active").uint(status.active);
    out.key("started").uint(status.started);
    out.key("active_impacted").uint(status.active_impacted);
    out.key("impacted").uint(status.impacted);
    out.key("completed").uint(status.completed);
    out.key("failed").uint(status.failed);
    out.key("average_request_bytes").uint(status.average_request_bytes);
    out.key("average_response_bytes").uint(status.average_response_bytes);
    out.end_object();
}

void write_json(JsonWriter& out, const EffectsStatus& status) {
    out.begin_object();
    out.key("latency_applications").uint(status.latency_applications);
    out.key("average_latency_ms").number(status.average_latency_ms);
    out.key("jitter_applications").uint(status.jitter_applications);
    out.key("average_jitter_ms").number(status.average_jitter_ms);
    out.key("bandwidth_bytes_limited").uint(status.bandwidth_bytes_limited);
    out.key("blackhole_activations").uint(status.blackhole_activations);
    out.key("connection_resets").uint(status.connection_resets);
    out.key("dns_interventions").uint(status.dns_interventions);
    out.end_object();
}

void write_json(JsonWriter& out, const TransportStatus& status) {
    out.begin_object();
    out.key("tcp");
    write_json(out, status.tcp);
    out.key("udp");
    write_json(out, status.udp);
    out.key("effects");
    write_json(out, status.effects);
    out.key("dropped_records").uint(status.dropped_records);
    out.key("last_failure");
    write_failure(out, status.last_failure);
    out.end_object();
}

void write_json(JsonWriter& out, const TransportSummary& summary) {
    out.begin_object();
    out.key("status");
    write_json(out, summary.status);
    out.key("tcp_streams").begin_array();
    for (const auto& record : summary.tcp_streams) write_json(out, record);
    out.end_array();
    out.key("udp_exchanges").begin_array();
    for (const auto& record : summary.udp_exchanges) write_json(out, record);
    out.end_array();
    out.end_object();
}

std::string to_json(const TransportFailure& failure) {
    return render(failure);
}
std::string to_json(const TcpStreamRecord& record) {
    return render(record);
}
std::string to_json(const UdpExchangeRecord& record) {
    return render(record);
}
std::string to_json(const TransportRecord& record) {
    return render(record);
}
std::string to_json(const TransportStatus& status) {
    return render(status);
}
std::string to_json(const TransportSummary& summary) {
    return render(summary);
}

void sort_tcp_records(std::vector<TcpStreamRecord>& records) {
    std::ranges::stable_sort(records, [](const TcpStreamRecord& a, const TcpStreamRecord& b) {
        return std::tie(a.opened_at, a.stream_id) < std::tie(b.opened_at, b.stream_id);
    });
}

void sort_udp_records(std::vector<UdpExchangeRecord>& records) {
    std::ranges::stable_sort(records, [](const UdpExchangeRecord& a, const UdpExchangeRecord& b) {
        return std::tie(a.started_at, a.exchange_id) < std::tie(b.started_at, b.exchange_id);
    });
}

}  // namespace ostrel::model
