#include "ostrel-engine/observation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ostrel-engine/rt/runtime.hpp"

namespace ostrel::engine {
namespace {

using namespace std::chrono_literals;
using model::TcpStreamOutcome;
using model::Timestamp;
using model::TransportFailure;
using model::TransportProtocol;
using model::UdpExchangeOutcome;
using model::Uuid;

constexpr auto kStopped = "transport observation recorder stopped unexpectedly";

TransportFailure refused() {
    return {model::FailureStage::Connect, model::FailureCategory::ConnectionRefused,
            "connect to 127.0.0.1:9: connection refused"};
}

TransportFailure timed_out() {
    return {model::FailureStage::Exchange, model::FailureCategory::TimedOut,
            "UDP exchange 127.0.0.1:53: UDP upstream response timed out"};
}

// A runtime, a recorder on it and the reader of its record queue.
class Harness {
  public:
    explicit Harness(size_t record_capacity = 1024, size_t threads = 4) : runtime_(threads) {
        auto [sender, receiver] = rt::make_queue<model::TransportRecord>(record_capacity);
        auto [recorder, collector] =
            ObservationRecorder::start(std::move(sender), runtime_.executor());
        recorder_.emplace(std::move(recorder));
        collector_ = std::move(collector);
        records_ = std::move(receiver);
    }

    ObservationRecorder& recorder() { return *recorder_; }
    rt::QueueReceiver<model::TransportRecord>& records() { return records_; }
    rt::Task<void>& collector() { return collector_; }
    rt::Runtime& runtime() { return runtime_; }
    void drop_recorder() { recorder_.reset(); }

    // Runs `op` on the runtime and waits for it, never longer than a few seconds.
    template <typename T>
    T run(asio::awaitable<T> op) {
        auto future = asio::co_spawn(runtime_.executor(), std::move(op), asio::use_future);
        if (future.wait_for(10s) != std::future_status::ready) {
            throw std::runtime_error("operation did not complete in time");
        }
        return future.get();
    }

    std::shared_ptr<TransportMetrics> metrics(TransportProtocol protocol) {
        return std::make_shared<TransportMetrics>(protocol, recorder_->live());
    }

    ObservationGuard open(const std::shared_ptr<TransportMetrics>& metrics,
                          Uuid id = Uuid::new_v4()) {
        auto guard =
            run(recorder_->open(id, "database", "127.0.0.1:51512", "database:5432", metrics));
        if (!guard) throw std::runtime_error(guard.error().display());
        return std::move(*guard);
    }

    void finish(ObservationGuard guard, TcpStreamOutcome outcome,
                std::optional<TransportFailure> failure = std::nullopt) {
        run(std::move(guard).finish_tcp(outcome, std::move(failure)));
    }
    void finish(ObservationGuard guard, UdpExchangeOutcome outcome,
                std::optional<TransportFailure> failure = std::nullopt) {
        run(std::move(guard).finish_udp(outcome, std::move(failure)));
    }

    // Also a barrier: the collector answers only after every earlier message.
    model::TransportSummary snapshot() {
        auto summary = run(recorder_->snapshot());
        if (!summary) throw std::runtime_error(summary.error().display());
        return std::move(*summary);
    }

    model::TransportStatus status() { return recorder_->live()->status(); }

    std::vector<model::TransportRecord> queued_records() {
        std::vector<model::TransportRecord> out;
        while (auto record = records_.try_receive()) out.push_back(std::move(*record));
        return out;
    }

  private:
    // Declared first so that it outlives everything that sends to the collector.
    rt::Runtime runtime_;
    std::optional<ObservationRecorder> recorder_;
    rt::Task<void> collector_;
    rt::QueueReceiver<model::TransportRecord> records_;
};

TEST(ObservationRecorder, FreshStatusJson) {
    Harness h;
    EXPECT_EQ(model::to_json(h.status()),
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

TEST(ObservationRecorder, FinishedTcpStreamBecomesRecord) {
    Harness h;
    const auto id = Uuid::new_v4();
    const auto before = Timestamp::now();
    auto metrics = h.metrics(TransportProtocol::Tcp);
    auto guard = h.open(metrics, id);
    EXPECT_TRUE(guard.armed());
    EXPECT_EQ(guard.id(), id);
    metrics->add_bytes_to_upstream(512);
    metrics->add_bytes_to_client(2048);
    metrics->mark_impacted();
    metrics->latency_applied(118'734);
    metrics->blackhole(Side::ToClient);
    h.finish(std::move(guard), TcpStreamOutcome::Completed);
    const auto after = Timestamp::now();

    auto record = h.run(h.records().receive());
    ASSERT_TRUE(record.has_value());
    const auto* stream = record->tcp();
    ASSERT_NE(stream, nullptr);
    EXPECT_LE(before, stream->opened_at);
    ASSERT_TRUE(stream->closed_at.has_value());
    EXPECT_LE(stream->opened_at, *stream->closed_at);
    EXPECT_LE(*stream->closed_at, after);

    model::TcpStreamRecord expected;
    expected.stream_id = id;
    expected.proxy = "database";
    expected.peer = "127.0.0.1:51512";
    expected.upstream = "database:5432";
    expected.opened_at = stream->opened_at;
    expected.closed_at = stream->closed_at;
    expected.bytes_to_upstream = 512;
    expected.bytes_to_client = 2048;
    expected.faults.latency = {1, 118.734};
    expected.faults.blackhole_activations = 1;
    expected.outcome = TcpStreamOutcome::Completed;
    EXPECT_EQ(*stream, expected);
}

TEST(ObservationRecorder, FinishedUdpExchangeBecomesRecord) {
    Harness h;
    const auto id = Uuid::new_v4();
    auto metrics = h.metrics(TransportProtocol::Udp);
    auto guard = h.open(metrics, id);
    metrics->add_bytes_to_upstream(29);
    metrics->dns_intervention();
    h.finish(std::move(guard), UdpExchangeOutcome::TransferFailed, timed_out());

    auto record = h.run(h.records().receive());
    ASSERT_TRUE(record.has_value());
    const auto* exchange = record->udp();
    ASSERT_NE(exchange, nullptr);
    ASSERT_TRUE(exchange->completed_at.has_value());

    model::UdpExchangeRecord expected;
    expected.exchange_id = id;
    expected.proxy = "database";
    expected.peer = "127.0.0.1:51512";
    expected.upstream = "database:5432";
    expected.started_at = exchange->started_at;
    expected.completed_at = exchange->completed_at;
    expected.request_bytes = 29;
    expected.response_bytes = 0;
    expected.faults.dns_interventions = 1;
    expected.outcome = UdpExchangeOutcome::TransferFailed;
    expected.failure = timed_out();
    EXPECT_EQ(*exchange, expected);

    auto status = h.status();
    EXPECT_EQ(status.udp, (model::UdpStatus{0, 1, 0, 0, 1, 1, 29, 0}));
    EXPECT_EQ(status.last_failure, timed_out());
}

TEST(ObservationRecorder, OutcomesCountInCompletedAndFailuresInFailed) {
    struct Step {
        TcpStreamOutcome outcome;
        std::optional<TransportFailure> failure;
        uint64_t completed;
        uint64_t failed;
        std::optional<TransportFailure> last_failure;
    };
    const Step steps[] = {
        {TcpStreamOutcome::FaultReset, std::nullopt, 1, 0, std::nullopt},
        {TcpStreamOutcome::Cancelled, std::nullopt, 2, 0, std::nullopt},
        {TcpStreamOutcome::UpstreamConnectFailed, refused(), 3, 1, refused()},
        {TcpStreamOutcome::Completed, std::nullopt, 4, 1, refused()},
        {TcpStreamOutcome::TransferFailed, timed_out(), 5, 2, timed_out()},
    };
    Harness h;
    for (const auto& step : steps) {
        h.finish(h.open(h.metrics(TransportProtocol::Tcp)), step.outcome, step.failure);
        h.snapshot();
        auto status = h.status();
        SCOPED_TRACE(std::string(model::tag(step.outcome)));
        EXPECT_EQ(status.tcp.completed, step.completed);
        EXPECT_EQ(status.tcp.failed, step.failed);
        EXPECT_EQ(status.tcp.active, 0u);
        EXPECT_EQ(status.last_failure, step.last_failure);
    }
    EXPECT_EQ(h.status().udp, model::UdpStatus{});
}

TEST(ObservationRecorder, ByteAveragesOverFinishedTransports) {
    Harness h;
    for (uint64_t bytes : {3, 3, 4}) {
        auto metrics = h.metrics(TransportProtocol::Tcp);
        auto guard = h.open(metrics);
        metrics->add_bytes_to_upstream(bytes);
        metrics->add_bytes_to_client(100);
        h.finish(std::move(guard), TcpStreamOutcome::Completed);
    }
    // An open stream's bytes stay out of the averages.
    auto open_metrics = h.metrics(TransportProtocol::Tcp);
    auto open_guard = h.open(open_metrics);
    open_metrics->add_bytes_to_upstream(1000);
    h.snapshot();

    auto status = h.status();
    EXPECT_EQ(status.tcp.completed, 3u);
    EXPECT_EQ(status.tcp.opened, 4u);
    EXPECT_EQ(status.tcp.average_bytes_to_upstream, 3u);
    EXPECT_EQ(status.tcp.average_bytes_to_client, 100u);
    EXPECT_NE(model::to_json(status).find("\"average_bytes_to_upstream\":3,"), std::string::npos);
}

TEST(ObservationRecorder, ImpactedStaysAfterFinishActiveImpactedFalls) {
    Harness h;
    auto metrics = h.metrics(TransportProtocol::Tcp);
    auto guard = h.open(metrics);
    auto untouched = h.open(h.metrics(TransportProtocol::Tcp));
    metrics->mark_impacted();
    metrics->latency_applied(100'000);
    metrics->latency_applied(150'000);
    h.snapshot();

    auto status = h.status();
    EXPECT_EQ(status.tcp.active, 2u);
    EXPECT_EQ(status.tcp.active_impacted, 1u);
    EXPECT_EQ(status.tcp.impacted, 1u);
    EXPECT_EQ(status.effects.latency_applications, 2u);
    EXPECT_EQ(status.effects.average_latency_ms, 125.0);

    h.finish(std::move(guard), TcpStreamOutcome::Completed);
    h.finish(std::move(untouched), TcpStreamOutcome::Completed);
    h.snapshot();
    status = h.status();
    EXPECT_EQ(status.tcp.active, 0u);
    EXPECT_EQ(status.tcp.active_impacted, 0u);
    EXPECT_EQ(status.tcp.impacted, 1u);
    EXPECT_NE(
        model::to_json(status).find("\"latency_applications\":2,\"average_latency_ms\":125.0"),
        std::string::npos);
}

TEST(ObservationRecorder, BlackholeOnBothSidesCountsTwo) {
    Harness h;
    auto metrics = h.metrics(TransportProtocol::Tcp);
    auto guard = h.open(metrics);
    for (int i = 0; i < 5; ++i) {
        metrics->blackhole(Side::ToUpstream);
        metrics->blackhole(Side::ToClient);
    }
    h.finish(std::move(guard), TcpStreamOutcome::Cancelled);
    auto record = h.run(h.records().receive());
    ASSERT_TRUE(record && record->tcp());
    EXPECT_EQ(record->tcp()->faults.blackhole_activations, 2u);
    EXPECT_EQ(h.status().effects.blackhole_activations, 2u);
}

TEST(ObservationRecorder, RecordsBeyondCapacityAreCountedAsDropped) {
    constexpr size_t kCapacity = 1024;
    Harness h(kCapacity);
    for (size_t i = 0; i < kCapacity; ++i) {
        h.finish(h.open(h.metrics(TransportProtocol::Tcp)), TcpStreamOutcome::Completed);
    }
    h.snapshot();
    EXPECT_EQ(h.status().dropped_records, 0u);

    h.finish(h.open(h.metrics(TransportProtocol::Tcp)), TcpStreamOutcome::Completed);
    h.snapshot();
    EXPECT_EQ(h.status().dropped_records, 1u);
    h.finish(h.open(h.metrics(TransportProtocol::Udp)), UdpExchangeOutcome::Completed);
    h.snapshot();
    EXPECT_EQ(h.status().dropped_records, 2u);

    // Reading one record makes room for exactly one more.
    ASSERT_TRUE(h.records().try_receive().has_value());
    const auto id = Uuid::new_v4();
    h.finish(h.open(h.metrics(TransportProtocol::Udp), id), UdpExchangeOutcome::Completed);
    h.snapshot();
    EXPECT_EQ(h.status().dropped_records, 2u);
    auto records = h.queued_records();
    ASSERT_EQ(records.size(), kCapacity);
    ASSERT_TRUE(records.back().udp());
    EXPECT_EQ(records.back().udp()->exchange_id, id);

    auto status = h.status();
    EXPECT_EQ(status.tcp.completed + status.udp.completed, kCapacity + 3);
}

TEST(ObservationRecorder, ReaderGoneStopsOfferingAndCounting) {
    Harness h(1);
    h.finish(h.open(h.metrics(TransportProtocol::Tcp)), TcpStreamOutcome::Completed);
    h.finish(h.open(h.metrics(TransportProtocol::Tcp)), TcpStreamOutcome::Completed);
    h.snapshot();
    EXPECT_EQ(h.status().dropped_records, 1u);

    h.records() = rt::QueueReceiver<model::TransportRecord>{};
    for (int i = 0; i < 3; ++i) {
        h.finish(h.open(h.metrics(TransportProtocol::Tcp)), TcpStreamOutcome::Completed);
    }
    h.snapshot();
    auto status = h.status();
    EXPECT_EQ(status.dropped_records, 1u);
    EXPECT_EQ(status.tcp.completed, 5u);
}

TEST(ObservationRecorder, DroppedArmedGuardFinishesCancelled) {
    Harness h;
    const auto tcp_id = Uuid::new_v4();
    const auto udp_id = Uuid::new_v4();
    {
        auto tcp = h.open(h.metrics(TransportProtocol::Tcp), tcp_id);
        auto udp = h.open(h.metrics(TransportProtocol::Udp), udp_id);
        // Moving hands the duty over: only the destination reports.
        auto moved = std::move(tcp);
        EXPECT_FALSE(tcp.armed());
        EXPECT_TRUE(moved.armed());
    }
    auto summary = h.snapshot();
    EXPECT_TRUE(summary.tcp_streams.empty());
    EXPECT_TRUE(summary.udp_exchanges.empty());

    auto records = h.queued_records();
    ASSERT_EQ(records.size(), 2u);
    ASSERT_TRUE(records[0].tcp());
    EXPECT_EQ(records[0].tcp()->stream_id, tcp_id);
    EXPECT_EQ(records[0].tcp()->outcome, TcpStreamOutcome::Cancelled);
    EXPECT_EQ(records[0].tcp()->failure, std::nullopt);
    EXPECT_TRUE(records[0].tcp()->closed_at.has_value());
    ASSERT_TRUE(records[1].udp());
    EXPECT_EQ(records[1].udp()->exchange_id, udp_id);
    EXPECT_EQ(records[1].udp()->outcome, UdpExchangeOutcome::Cancelled);
    EXPECT_EQ(records[1].udp()->failure, std::nullopt);

    auto status = h.status();
    EXPECT_EQ(status.tcp.completed, 1u);
    EXPECT_EQ(status.udp.completed, 1u);
    EXPECT_EQ(status.tcp.failed + status.udp.failed, 0u);
    EXPECT_EQ(status.tcp.active + status.udp.active, 0u);
}

asio::awaitable<void> open_and_hang(ObservationRecorder recorder, Uuid id,
                                    std::shared_ptr<std::promise<void>> opened) {
    auto metrics = std::make_shared<TransportMetrics>(TransportProtocol::Tcp, recorder.live());
    auto guard = co_await recorder.open(id, "database", "127.0.0.1:1", "database:5432", metrics);
    metrics->add_bytes_to_upstream(3);
    opened->set_value();
    asio::steady_timer forever(co_await asio::this_coro::executor, std::chrono::hours(1));
    co_await forever.async_wait(asio::use_awaitable);
}

TEST(ObservationRecorder, AbortedTaskFinishesCancelled) {
    Harness h;
    const auto id = Uuid::new_v4();
    auto opened = std::make_shared<std::promise<void>>();
    auto task = rt::Task<void>::spawn(h.runtime().executor(),
                                      open_and_hang(h.recorder(), id, opened), "connection");
    ASSERT_EQ(opened->get_future().wait_for(10s), std::future_status::ready);
    task.abort();
    EXPECT_FALSE(h.run(task.join()).has_value());

    auto record = h.run(h.records().receive());
    ASSERT_TRUE(record && record->tcp());
    EXPECT_EQ(record->tcp()->stream_id, id);
    EXPECT_EQ(record->tcp()->outcome, TcpStreamOutcome::Cancelled);
    EXPECT_EQ(record->tcp()->failure, std::nullopt);
    EXPECT_EQ(record->tcp()->bytes_to_upstream, 3u);
    EXPECT_EQ(h.snapshot().tcp_streams.size(), 0u);
}

TEST(ObservationRecorder, DroppedGuardOnFullQueueStaysActive) {
    // One runtime thread, held busy, so the collector cannot drain the observation queue while
    // the guards are dropped.
    Harness h(4096, 1);
    constexpr size_t kGuards = 1100;
    std::vector<ObservationGuard> guards;
    for (size_t i = 0; i < kGuards; ++i)
        guards.push_back(h.open(h.metrics(TransportProtocol::Tcp)));
    // Every announcement processed, so the queue is empty before the guards go.
    h.snapshot();

    std::promise<void> release;
    std::promise<void> blocked;
    asio::post(h.runtime().executor(), [&release, &blocked] {
        blocked.set_value();
        release.get_future().wait();
    });
    blocked.get_future().wait();
    guards.clear();
    release.set_value();

    auto summary = h.snapshot();
    auto records = h.queued_records();
    EXPECT_GE(records.size(), 1024u);
    EXPECT_LT(records.size(), kGuards);
    EXPECT_EQ(records.size() + summary.tcp_streams.size(), kGuards);
    for (const auto& stream : summary.tcp_streams) {
        EXPECT_EQ(stream.outcome, TcpStreamOutcome::Active);
    }
    EXPECT_EQ(summary.status.tcp.active, summary.tcp_streams.size());
    EXPECT_EQ(summary.status.tcp.completed, records.size());
}

TEST(ObservationRecorder, FinishForUnknownIdChangesNothing) {
    Harness h;
    const auto id = Uuid::new_v4();
    auto first = h.open(h.metrics(TransportProtocol::Tcp), id);
    // A second announcement under the same id replaces the entry; its bytes are the ones
    // reported.
    auto replacement = h.metrics(TransportProtocol::Tcp);
    auto second = h.open(replacement, id);
    replacement->add_bytes_to_upstream(7);
    h.finish(std::move(first), TcpStreamOutcome::Completed);
    h.snapshot();
    const auto before = h.status();
    ASSERT_EQ(before.tcp.completed, 1u);

    h.finish(std::move(second), TcpStreamOutcome::TransferFailed, refused());
    auto summary = h.snapshot();
    EXPECT_EQ(summary.status, before);
    EXPECT_TRUE(summary.tcp_streams.empty());
    auto records = h.queued_records();
    ASSERT_EQ(records.size(), 1u);
    ASSERT_TRUE(records[0].tcp());
    EXPECT_EQ(records[0].tcp()->bytes_to_upstream, 7u);
    EXPECT_EQ(records[0].tcp()->outcome, TcpStreamOutcome::Completed);
}

TEST(ObservationRecorder, SnapshotListsOnlyOpenTransportsAsActive) {
    Harness h;
    std::vector<std::pair<ObservationGuard, std::shared_ptr<TransportMetrics>>> open;
    for (int i = 0; i < 3; ++i) {
        auto tcp = h.metrics(TransportProtocol::Tcp);
        tcp->add_bytes_to_upstream(10 + i);
        tcp->add_bytes_to_client(20 + i);
        open.emplace_back(h.open(tcp), tcp);
    }
    auto udp = h.metrics(TransportProtocol::Udp);
    udp->add_bytes_to_upstream(29);
    auto udp_guard = h.open(udp);
    h.finish(h.open(h.metrics(TransportProtocol::Tcp)), TcpStreamOutcome::Completed);
    h.finish(h.open(h.metrics(TransportProtocol::Udp)), UdpExchangeOutcome::Completed);
    // Bytes counted after the announcement show up too.
    open[0].second->add_bytes_to_client(100);

    auto summary = h.snapshot();
    ASSERT_EQ(summary.tcp_streams.size(), 3u);
    ASSERT_EQ(summary.udp_exchanges.size(), 1u);
    EXPECT_TRUE(std::is_sorted(
        summary.tcp_streams.begin(), summary.tcp_streams.end(), [](const auto& a, const auto& b) {
            return std::tie(a.opened_at, a.stream_id) < std::tie(b.opened_at, b.stream_id);
        }));
    for (const auto& stream : summary.tcp_streams) {
        EXPECT_EQ(stream.outcome, TcpStreamOutcome::Active);
        EXPECT_EQ(stream.closed_at, std::nullopt);
        EXPECT_EQ(stream.failure, std::nullopt);
        auto it = std::find_if(open.begin(), open.end(),
                               [&](const auto& o) { return o.first.id() == stream.stream_id; });
        ASSERT_NE(it, open.end());
        EXPECT_EQ(stream.bytes_to_upstream, it->second->bytes_to_upstream());
        EXPECT_EQ(stream.bytes_to_client, it->second->bytes_to_client());
    }
    const auto& exchange = summary.udp_exchanges[0];
    EXPECT_EQ(exchange.exchange_id, udp_guard.id());
    EXPECT_EQ(exchange.outcome, UdpExchangeOutcome::Active);
    EXPECT_EQ(exchange.completed_at, std::nullopt);
    EXPECT_EQ(exchange.request_bytes, 29u);

    auto json = model::to_json(summary);
    EXPECT_NE(json.find("\"closed_at\":null"), std::string::npos);
    EXPECT_NE(json.find("\"outcome\":\"active\""), std::string::npos);
    EXPECT_EQ(summary.status.tcp.active, 3u);
    EXPECT_EQ(summary.status.tcp.completed, 1u);
    EXPECT_EQ(summary.status.udp.active, 1u);
    EXPECT_EQ(summary.status.udp.completed, 1u);
}

TEST(ObservationRecorder, StopGivesFinalSummaryThenRecorderIsGone) {
    Harness h;
    h.finish(h.open(h.metrics(TransportProtocol::Tcp)), TcpStreamOutcome::Completed);
    h.finish(h.open(h.metrics(TransportProtocol::Udp)), UdpExchangeOutcome::Completed);
    auto still_open = h.open(h.metrics(TransportProtocol::Tcp));

    auto summary = h.run(h.recorder().stop());
    ASSERT_TRUE(summary.has_value());
    ASSERT_EQ(summary->tcp_streams.size(), 1u);
    EXPECT_EQ(summary->tcp_streams[0].stream_id, still_open.id());
    EXPECT_TRUE(summary->udp_exchanges.empty());
    EXPECT_EQ(summary->status.tcp.opened, 2u);
    EXPECT_EQ(summary->status.tcp.completed, 1u);
    EXPECT_EQ(summary->status.udp.completed, 1u);
    EXPECT_TRUE(h.run(h.collector().join()).has_value());

    auto opened = h.run(h.recorder().open(Uuid::new_v4(), "database", "127.0.0.1:1",
                                          "database:5432", h.metrics(TransportProtocol::Tcp)));
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().display(), kStopped);
    // The announcement was counted before the recorder turned out to be gone.
    EXPECT_EQ(h.status().tcp.opened, 3u);
    auto snapshot = h.run(h.recorder().snapshot());
    ASSERT_FALSE(snapshot.has_value());
    EXPECT_EQ(snapshot.error().display(), kStopped);
    auto stopped = h.run(h.recorder().stop());
    ASSERT_FALSE(stopped.has_value());
    EXPECT_EQ(stopped.error().display(), kStopped);

    // Finishing after the stop loses the message without complaint.
    h.finish(std::move(still_open), TcpStreamOutcome::Completed);
    EXPECT_EQ(h.status().tcp.completed, 1u);

    // The record reader gets what was queued, then the end.
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(h.run(h.records().receive()).has_value());
    EXPECT_FALSE(h.run(h.records().receive()).has_value());
}

TEST(ObservationRecorder, CollectorEndsWhenEveryHandleIsGone) {
    Harness h;
    auto guard = h.open(h.metrics(TransportProtocol::Tcp));
    h.drop_recorder();
    EXPECT_FALSE(h.collector().is_finished());
    h.finish(std::move(guard), TcpStreamOutcome::Completed);
    EXPECT_TRUE(h.run(h.collector().join()).has_value());
    EXPECT_TRUE(h.run(h.records().receive()).has_value());
    EXPECT_FALSE(h.run(h.records().receive()).has_value());
}

asio::awaitable<void> relay(ObservationRecorder recorder, int n) {
    const auto protocol = n % 2 == 0 ? TransportProtocol::Tcp : TransportProtocol::Udp;
    auto metrics = std::make_shared<TransportMetrics>(protocol, recorder.live());
    auto guard = co_await recorder.open(Uuid::new_v4(), "p", "127.0.0.1:1", "u:1", metrics);
    if (!guard) throw std::runtime_error(guard.error().display());
    metrics->add_bytes_to_upstream(10);
    metrics->add_bytes_to_client(20);
    if (n % 3 == 0) metrics->mark_impacted();
    if (protocol == TransportProtocol::Tcp) {
        co_await std::move(*guard).finish_tcp(TcpStreamOutcome::Completed, std::nullopt);
    } else {
        co_await std::move(*guard).finish_udp(UdpExchangeOutcome::TransferFailed, timed_out());
    }
}

TEST(ObservationRecorder, ConcurrentTransportsAreAllCounted) {
    // More transports than the observation queue holds, so announcers also wait for room.
    constexpr int kTransports = 3000;
    Harness h(2 * kTransports, 4);
    std::vector<std::future<void>> done;
    for (int n = 0; n < kTransports; ++n) {
        done.push_back(asio::co_spawn(asio::make_strand(h.runtime().executor()),
                                      relay(h.recorder(), n), asio::use_future));
    }
    for (auto& f : done) {
        ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
        f.get();
    }

    auto summary = h.snapshot();
    EXPECT_TRUE(summary.tcp_streams.empty());
    EXPECT_TRUE(summary.udp_exchanges.empty());
    const auto& status = summary.status;
    constexpr uint64_t kHalf = kTransports / 2;
    constexpr uint64_t kImpacted = (kTransports + 2) / 3;
    EXPECT_EQ(status.tcp.opened, kHalf);
    EXPECT_EQ(status.udp.started, kHalf);
    EXPECT_EQ(status.tcp.completed, kHalf);
    EXPECT_EQ(status.udp.completed, kHalf);
    EXPECT_EQ(status.tcp.active + status.udp.active, 0u);
    EXPECT_EQ(status.tcp.active_impacted + status.udp.active_impacted, 0u);
    EXPECT_EQ(status.tcp.impacted + status.udp.impacted, kImpacted);
    EXPECT_EQ(status.tcp.average_bytes_to_upstream, 10u);
    EXPECT_EQ(status.udp.average_response_bytes, 20u);
    EXPECT_EQ(status.tcp.failed, 0u);
    EXPECT_EQ(status.udp.failed, kHalf);
    EXPECT_EQ(status.dropped_records, 0u);
    EXPECT_EQ(h.queued_records().size(), static_cast<size_t>(kTransports));
}

}  // namespace
}  // namespace ostrel::engine
