#include "ostrel-model/transport.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace ostrel::model {
namespace {

// 2025-03-01T10:15:30Z
constexpr int64_t kBaseSeconds = 1740824130;
constexpr int64_t kNanosPerSecond = 1'000'000'000;

Timestamp at(int64_t seconds_after_base, int64_t nanos = 0) {
    return Timestamp{(kBaseSeconds + seconds_after_base) * kNanosPerSecond + nanos};
}

Uuid uuid(std::string_view text) {
    auto parsed = Uuid::parse(text);
    EXPECT_TRUE(parsed.has_value()) << text;
    return parsed.value_or(Uuid{});
}

constexpr std::string_view kZeroFaults =
    R"({"latency":{"applications":0,"total_delay_ms":0.0},)"
    R"("jitter":{"applications":0,"total_delay_ms":0.0},)"
    R"("bandwidth_bytes_limited":0,"blackhole_activations":0,"connection_resets":0,)"
    R"("dns_interventions":0})";

TcpStreamRecord finished_tcp_record() {
    TcpStreamRecord record;
    record.stream_id = uuid("4f1c2a9e-8d3b-4c57-9a0e-2b6f1d7c8e90");
    record.proxy = "database";
    record.peer = "127.0.0.1:51512";
    record.upstream = "database:5432";
    record.opened_at = at(0, 125'000'000);
    record.closed_at = at(1, 500'000'000);
    record.bytes_to_upstream = 512;
    record.bytes_to_client = 2048;
    record.faults.latency = DelayRecord{1, 118.734};
    record.outcome = TcpStreamOutcome::Completed;
    return record;
}

UdpExchangeRecord timed_out_udp_record() {
    UdpExchangeRecord record;
    record.exchange_id = uuid("0b7e5d21-3c4a-4f8e-b1d2-6a9c0e4f7d13");
    record.proxy = "resolver";
    record.peer = "127.0.0.1:40211";
    record.upstream = "10.0.0.2:53";
    record.started_at = at(30, 4'512'000);
    record.completed_at = at(40, 6'001'000);
    record.request_bytes = 29;
    record.response_bytes = 0;
    record.outcome = UdpExchangeOutcome::TransferFailed;
    record.failure = TransportFailure{FailureStage::Exchange, FailureCategory::TimedOut,
                                      "UDP exchange 10.0.0.2:53: UDP upstream response timed out"};
    return record;
}

constexpr std::string_view kFinishedTcpJson =
    R"({"stream_id":"4f1c2a9e-8d3b-4c57-9a0e-2b6f1d7c8e90","proxy":"database",)"
    R"("peer":"127.0.0.1:51512","upstream":"database:5432",)"
    R"("opened_at":"2025-03-01T10:15:30.125Z","closed_at":"2025-03-01T10:15:31.500Z",)"
    R"("bytes_to_upstream":512,"bytes_to_client":2048,)"
    R"("faults":{"latency":{"applications":1,"total_delay_ms":118.734},)"
    R"("jitter":{"applications":0,"total_delay_ms":0.0},)"
    R"("bandwidth_bytes_limited":0,"blackhole_activations":0,"connection_resets":0,)"
    R"("dns_interventions":0},"outcome":"completed","failure":null})";

constexpr std::string_view kTimedOutUdpJson =
    R"({"exchange_id":"0b7e5d21-3c4a-4f8e-b1d2-6a9c0e4f7d13","proxy":"resolver",)"
    R"("peer":"127.0.0.1:40211","upstream":"10.0.0.2:53",)"
    R"("started_at":"2025-03-01T10:16:00.004512Z",)"
    R"("completed_at":"2025-03-01T10:16:10.006001Z","request_bytes":29,"response_bytes":0,)"
    R"("faults":{"latency":{"applications":0,"total_delay_ms":0.0},)"
    R"("jitter":{"applications":0,"total_delay_ms":0.0},)"
    R"("bandwidth_bytes_limited":0,"blackhole_activations":0,"connection_resets":0,)"
    R"("dns_interventions":0},)"
    R"("outcome":"transfer-failed","failure":{"stage":"exchange","category":"timed-out",)"
    R"("message":"UDP exchange 10.0.0.2:53: UDP upstream response timed out"}})";

constexpr std::string_view kFreshStatusJson =
    R"({"tcp":{"active":0,"opened":0,"active_impacted":0,"impacted":0,"completed":0,"failed":0,)"
    R"("average_bytes_to_upstream":0,"average_bytes_to_client":0},)"
    R"("udp":{"active":0,"started":0,"active_impacted":0,"impacted":0,"completed":0,"failed":0,)"
    R"("average_request_bytes":0,"average_response_bytes":0},)"
    R"("effects":{"latency_applications":0,"average_latency_ms":0.0,"jitter_applications":0,)"
    R"("average_jitter_ms":0.0,"bandwidth_bytes_limited":0,"blackhole_activations":0,)"
    R"("connection_resets":0,"dns_interventions":0},)"
    R"("dropped_records":0,"last_failure":null})";

TEST(TransportRecordJson, FinishedTcpStreamMatchesDocumentedForm) {
    EXPECT_EQ(to_json(finished_tcp_record()), kFinishedTcpJson);
}

TEST(TransportRecordJson, TimedOutUdpExchangeAsDeliveredRecord) {
    const TransportRecord record(timed_out_udp_record());
    EXPECT_EQ(to_json(record),
              R"({"type":"udp-exchange","exchange":)" + std::string(kTimedOutUdpJson) + "}");
    EXPECT_EQ(to_json(timed_out_udp_record()), kTimedOutUdpJson);
}

TEST(TransportRecordJson, TcpStreamWrappedPutsTypeFirst) {
    const TransportRecord record(finished_tcp_record());
    EXPECT_EQ(to_json(record),
              R"({"type":"tcp-stream","stream":)" + std::string(kFinishedTcpJson) + "}");
}

TEST(TransportRecordJson, ActiveRecordsHaveNullClosingTime) {
    TcpStreamRecord tcp;
    tcp.stream_id = uuid("00000000-0000-4000-8000-000000000001");
    tcp.proxy = "web";
    tcp.peer = "[::1]:40000";
    tcp.upstream = "localhost:8080";
    tcp.opened_at = at(0);
    tcp.bytes_to_upstream = 7;
    EXPECT_EQ(to_json(tcp), R"({"stream_id":"00000000-0000-4000-8000-000000000001","proxy":"web",)"
                            R"("peer":"[::1]:40000","upstream":"localhost:8080",)"
                            R"("opened_at":"2025-03-01T10:15:30Z","closed_at":null,)"
                            R"("bytes_to_upstream":7,"bytes_to_client":0,"faults":)" +
                                std::string(kZeroFaults) +
                                R"(,"outcome":"active","failure":null})");

    UdpExchangeRecord udp;
    udp.exchange_id = uuid("00000000-0000-4000-8000-000000000002");
    udp.proxy = "dns";
    udp.peer = "127.0.0.1:5000";
    udp.upstream = "127.0.0.1:53";
    udp.started_at = at(0);
    EXPECT_EQ(to_json(udp),
              R"({"exchange_id":"00000000-0000-4000-8000-000000000002","proxy":"dns",)"
              R"("peer":"127.0.0.1:5000","upstream":"127.0.0.1:53",)"
              R"("started_at":"2025-03-01T10:15:30Z","completed_at":null,)"
              R"("request_bytes":0,"response_bytes":0,"faults":)" +
                  std::string(kZeroFaults) + R"(,"outcome":"active","failure":null})");
}

TEST(TransportRecordJson, FaultRecordOfZeros) {
    JsonWriter out;
    write_json(out, FaultRecord{});
    EXPECT_EQ(out.str(), kZeroFaults);
}

TEST(TransportRecordJson, FaultRecordCountsAndDelayForms) {
    FaultRecord faults;
    faults.latency = DelayRecord{2, 12.0};
    faults.jitter = DelayRecord{1, 0.25};
    faults.bandwidth_bytes_limited = 4096;
    faults.blackhole_activations = 2;
    faults.connection_resets = 1;
    faults.dns_interventions = 3;
    JsonWriter out;
    write_json(out, faults);
    EXPECT_EQ(out.str(),
              R"({"latency":{"applications":2,"total_delay_ms":12.0},)"
              R"("jitter":{"applications":1,"total_delay_ms":0.25},)"
              R"("bandwidth_bytes_limited":4096,"blackhole_activations":2,"connection_resets":1,)"
              R"("dns_interventions":3})");

    JsonWriter non_finite;
    write_json(non_finite, DelayRecord{1, std::numeric_limits<double>::infinity()});
    EXPECT_EQ(non_finite.str(), R"({"applications":1,"total_delay_ms":null})");
}

TEST(TransportRecordJson, FailureObjectHasThreeKeys) {
    EXPECT_EQ(to_json(TransportFailure{FailureStage::Connect, FailureCategory::ConnectionRefused,
                                       "connect to \"db\" refused"}),
              R"({"stage":"connect","category":"connection-refused",)"
              R"("message":"connect to \"db\" refused"})");

    TcpStreamRecord record = finished_tcp_record();
    record.outcome = TcpStreamOutcome::UpstreamConnectFailed;
    record.failure = TransportFailure{FailureStage::Connect, FailureCategory::DnsFailed, "no"};
    const std::string json = to_json(record);
    EXPECT_TRUE(
        json.ends_with(R"("outcome":"upstream-connect-failed",)"
                       R"("failure":{"stage":"connect","category":"dns-failed","message":"no"}})"))
        << json;
}

TEST(TransportRecordJson, TimestampFractionForms) {
    struct Case {
        int64_t nanos;
        std::string_view text;
    };
    const Case cases[] = {
        {0, "2025-03-01T10:15:30Z"},
        {250'000'000, "2025-03-01T10:15:30.250Z"},
        {250'000, "2025-03-01T10:15:30.000250Z"},
        {1, "2025-03-01T10:15:30.000000001Z"},
        {999'999'999, "2025-03-01T10:15:30.999999999Z"},
        {123'456'000, "2025-03-01T10:15:30.123456Z"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nanos);
        TcpStreamRecord record = finished_tcp_record();
        record.opened_at = at(0, c.nanos);
        record.closed_at = at(0, c.nanos);
        const std::string json = to_json(record);
        const std::string expected = R"("opened_at":")" + std::string(c.text) +
                                     R"(","closed_at":")" + std::string(c.text) + R"(")";
        EXPECT_NE(json.find(expected), std::string::npos) << json;
    }
}

TEST(TransportTags, KebabCaseTexts) {
    EXPECT_EQ(tag(TcpStreamOutcome::Active), "active");
    EXPECT_EQ(tag(TcpStreamOutcome::Completed), "completed");
    EXPECT_EQ(tag(TcpStreamOutcome::UpstreamConnectFailed), "upstream-connect-failed");
    EXPECT_EQ(tag(TcpStreamOutcome::TransferFailed), "transfer-failed");
    EXPECT_EQ(tag(TcpStreamOutcome::Cancelled), "cancelled");
    EXPECT_EQ(tag(TcpStreamOutcome::FaultReset), "fault-reset");

    EXPECT_EQ(tag(UdpExchangeOutcome::Active), "active");
    EXPECT_EQ(tag(UdpExchangeOutcome::Completed), "completed");
    EXPECT_EQ(tag(UdpExchangeOutcome::TransferFailed), "transfer-failed");
    EXPECT_EQ(tag(UdpExchangeOutcome::Cancelled), "cancelled");
    EXPECT_EQ(tag(UdpExchangeOutcome::FaultDropped), "fault-dropped");

    EXPECT_EQ(tag(FailureStage::Connect), "connect");
    EXPECT_EQ(tag(FailureStage::Transfer), "transfer");
    EXPECT_EQ(tag(FailureStage::Exchange), "exchange");

    EXPECT_EQ(tag(FailureCategory::DnsFailed), "dns-failed");
    EXPECT_EQ(tag(FailureCategory::ConnectionRefused), "connection-refused");
    EXPECT_EQ(tag(FailureCategory::TimedOut), "timed-out");
    EXPECT_EQ(tag(FailureCategory::NetworkUnreachable), "network-unreachable");
    EXPECT_EQ(tag(FailureCategory::ConnectionReset), "connection-reset");
    EXPECT_EQ(tag(FailureCategory::BrokenPipe), "broken-pipe");
    EXPECT_EQ(tag(FailureCategory::Other), "other");
}

TEST(TransportStatusJson, FreshStatus) {
    EXPECT_EQ(to_json(TransportStatus{}), kFreshStatusJson);
}

TEST(TransportStatusJson, CountsAveragesAndLastFailure) {
    TransportStatus status;
    status.tcp = TcpStatus{1, 4, 1, 2, 3, 1, 3, 1024};
    status.udp = UdpStatus{0, 2, 0, 1, 2, 1, 29, 45};
    status.effects = EffectsStatus{2, 125.0, 1, 0.5, 100, 2, 1, 4};
    status.dropped_records = 5;
    status.last_failure =
        TransportFailure{FailureStage::Transfer, FailureCategory::ConnectionReset, "reset"};
    EXPECT_EQ(to_json(status),
              R"({"tcp":{"active":1,"opened":4,"active_impacted":1,"impacted":2,"completed":3,)"
              R"("failed":1,"average_bytes_to_upstream":3,"average_bytes_to_client":1024},)"
              R"("udp":{"active":0,"started":2,"active_impacted":0,"impacted":1,"completed":2,)"
              R"("failed":1,"average_request_bytes":29,"average_response_bytes":45},)"
              R"("effects":{"latency_applications":2,"average_latency_ms":125.0,)"
              R"("jitter_applications":1,"average_jitter_ms":0.5,"bandwidth_bytes_limited":100,)"
              R"("blackhole_activations":2,"connection_resets":1,"dns_interventions":4},)"
              R"("dropped_records":5,"last_failure":{"stage":"transfer",)"
              R"("category":"connection-reset","message":"reset"}})");
}

TEST(TransportSummaryJson, EmptyListsAreWrittenAsEmptyArrays) {
    TransportSummary summary;
    summary.status.tcp.opened = 3;
    summary.status.tcp.completed = 3;
    const std::string status_json = to_json(summary.status);
    EXPECT_EQ(to_json(summary),
              R"({"status":)" + status_json + R"(,"tcp_streams":[],"udp_exchanges":[]})");
    EXPECT_NE(status_json.find(R"("opened":3)"), std::string::npos);
}

TEST(TransportSummaryJson, ListsHoldRecordsInTheirOwnForm) {
    TransportSummary summary;
    summary.tcp_streams = {finished_tcp_record(), finished_tcp_record()};
    summary.udp_exchanges = {timed_out_udp_record()};
    EXPECT_EQ(to_json(summary), R"({"status":)" + std::string(kFreshStatusJson) +
                                    R"(,"tcp_streams":[)" + std::string(kFinishedTcpJson) + "," +
                                    std::string(kFinishedTcpJson) + R"(],"udp_exchanges":[)" +
                                    std::string(kTimedOutUdpJson) + "]}");
}

TcpStreamRecord tcp_at(Timestamp opened_at, std::string_view id, std::string name) {
    TcpStreamRecord record;
    record.opened_at = opened_at;
    record.stream_id = uuid(id);
    record.proxy = std::move(name);
    return record;
}

UdpExchangeRecord udp_at(Timestamp started_at, std::string_view id, std::string name) {
    UdpExchangeRecord record;
    record.started_at = started_at;
    record.exchange_id = uuid(id);
    record.proxy = std::move(name);
    return record;
}

template <typename Record>
std::vector<std::string> names(const std::vector<Record>& records) {
    std::vector<std::string> out;
    for (const auto& record : records) out.push_back(record.proxy);
    return out;
}

TEST(TransportRecordOrder, TcpByOpeningTimeThenIdBytesStable) {
    // "a..." sorts after "9..." as bytes (0xa0 > 0x9f) and as lower-case text alike.
    std::vector<TcpStreamRecord> records = {
        tcp_at(at(1), "00000000-0000-4000-8000-000000000000", "later"),
        tcp_at(at(0), "a0000000-0000-4000-8000-000000000000", "same-instant-high"),
        tcp_at(at(0), "9fffffff-ffff-4fff-bfff-ffffffffffff", "same-instant-low"),
        tcp_at(at(0, 1), "00000000-0000-4000-8000-000000000000", "one-nano-later"),
        tcp_at(at(-1), "ffffffff-ffff-4fff-bfff-ffffffffffff", "earliest"),
        tcp_at(at(0), "a0000000-0000-4000-8000-000000000000", "same-key-second"),
    };
    sort_tcp_records(records);
    EXPECT_EQ(names(records),
              (std::vector<std::string>{"earliest", "same-instant-low", "same-instant-high",
                                        "same-key-second", "one-nano-later", "later"}));
}

TEST(TransportRecordOrder, UdpByStartTimeThenIdBytesStable) {
    std::vector<UdpExchangeRecord> records = {
        udp_at(at(0), "00000000-0000-4000-8000-000000000002", "first-equal"),
        udp_at(at(0), "00000000-0000-4000-8000-000000000001", "low"),
        udp_at(at(0), "00000000-0000-4000-8000-000000000002", "second-equal"),
        udp_at(at(0), "00000000-0000-4000-8000-000000000002", "third-equal"),
        udp_at(at(-2), "00000000-0000-4000-8000-000000000009", "earlier"),
    };
    sort_udp_records(records);
    EXPECT_EQ(names(records), (std::vector<std::string>{"earlier", "low", "first-equal",
                                                        "second-equal", "third-equal"}));
}

TEST(TransportRecordOrder, EqualKeysKeepTheirOrderInLongLists) {
    // Long enough that an unstable sort would move equal keys around.
    constexpr int kCount = 200;
    const std::string_view ids[] = {"00000000-0000-4000-8000-000000000002",
                                    "00000000-0000-4000-8000-000000000001"};
    std::vector<TcpStreamRecord> records;
    for (int i = 0; i < kCount; ++i) {
        records.push_back(tcp_at(at(i % 3), ids[i % 2], std::to_string(i)));
    }
    sort_tcp_records(records);
    for (size_t i = 1; i < records.size(); ++i) {
        const auto& a = records[i - 1];
        const auto& b = records[i];
        ASSERT_LE(std::tie(a.opened_at, a.stream_id), std::tie(b.opened_at, b.stream_id)) << i;
        if (a.opened_at == b.opened_at && a.stream_id == b.stream_id) {
            ASSERT_LT(std::stoi(a.proxy), std::stoi(b.proxy)) << i;
        }
    }
}

}  // namespace
}  // namespace ostrel::model
