#include "ostrel-engine/run/execute.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "ostrel-engine/rt/task.hpp"
#include "tests/engine/control_fixture.hpp"

namespace ostrel::engine {
namespace {

using namespace control_test;
using model::ProxyFaults;
using model::RunProgress;
using Clock = std::chrono::steady_clock;
using RunResult = std::expected<RunReport, EngineError>;

const FaultMap kInitial = {{"a", {latency_ms(10, 20)}}, {"b", {blackhole()}}};

std::vector<EngineProxy> two_proxies() {
    return {tcp_proxy("a", {latency_ms(10, 20)}), tcp_proxy("b", {blackhole()})};
}

model::Phase phase(std::string name, std::optional<std::string> duration,
                   std::vector<ProxyFaults> proxies = {}) {
    std::optional<model::HumanDuration> lasting;
    if (duration) lasting = model::HumanDuration::parse(*duration).value();
    return model::Phase{std::move(name), std::move(lasting), std::move(proxies)};
}

model::Run run_of(std::vector<model::Phase> phases) {
    model::Run run;
    run.schema_version = 1;
    run.name = "checkout";
    run.proxies = {
        {"a", model::TransportProtocol::Tcp, "127.0.0.1:0", "127.0.0.1:9"},
        {"b", model::TransportProtocol::Tcp, "127.0.0.1:0", "127.0.0.1:9"},
    };
    run.phases = std::move(phases);
    return run;
}

asio::awaitable<RunResult> execute_on(EngineHarness& h, ControlSession session, model::Run run) {
    return execute(std::move(session), h.engine().recorder(), h.engine().progress(),
                   std::move(run));
}

// One progress message, when it arrived and the faults in force at that moment.
struct Arrival {
    RunProgress progress;
    double at_ms = 0;
    FaultMap faults;
};

// Reads `count` progress messages on the runtime.
std::future<std::vector<Arrival>> read_progress(EngineHarness& h, size_t count,
                                                Clock::time_point start) {
    auto reader = [](EngineHarness* h, rt::BroadcastReceiver<RunProgress> receiver, size_t count,
                     Clock::time_point start) -> asio::awaitable<std::vector<Arrival>> {
        std::vector<Arrival> out;
        while (out.size() < count) {
            auto next = co_await receiver.receive();
            auto* progress = std::get_if<RunProgress>(&next);
            if (!progress) break;
            const double at =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            out.push_back(Arrival{std::move(*progress), at, h->faults()});
        }
        co_return out;
    };
    auto op = reader(&h, h.engine().subscribe_run_progress(), count, start);
    return asio::co_spawn(h.executor(), std::move(op), asio::use_future);
}

int64_t ms_between(model::Timestamp from, model::Timestamp to) {
    return (to.unix_nanos - from.unix_nanos) / 1'000'000;
}

TEST(RunExecution, ThreePhasesInTurnThenTheEarlierFaults) {
    EngineHarness h(two_proxies());
    const std::vector<std::vector<ProxyFaults>> faults = {
        {{"a", {blackhole(model::TrafficFlow::ToClient)}}},
        {{"b", {reset(0.5)}}, {"a", {latency_ms(1, 2)}}},
        {},
    };
    model::Run run = run_of({phase("slow", "200ms", faults[0]), phase("slower", "300ms", faults[1]),
                             phase("calm", "500ms", faults[2])});
    const auto start = Clock::now();
    auto progress = read_progress(h, 3, start);
    auto report = h.run(execute_on(h, h.begin(), run));
    const double took_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ASSERT_TRUE(report.has_value()) << report.error().display();
    ASSERT_EQ(progress.wait_for(1s), std::future_status::ready);
    const std::vector<Arrival> arrivals = progress.get();

    EXPECT_EQ(h.faults(), kInitial);
    EXPECT_TRUE(h.control_free());
    EXPECT_GE(took_ms, 1000);
    EXPECT_LE(took_ms, 1600);
    EXPECT_EQ(report->run_name, "checkout");
    EXPECT_GE(ms_between(report->started_at, report->completed_at), 999);
    EXPECT_LE(ms_between(report->started_at, report->completed_at), 1600);
    EXPECT_EQ(report->transport, model::TransportSummary{});

    struct Expected {
        std::string name;
        uint64_t duration_ms;
        double at_ms;
        FaultMap faults;
    } expected[] = {
        {"slow", 200, 0, {{"a", {blackhole(model::TrafficFlow::ToClient)}}, {"b", {}}}},
        {"slower", 300, 200, {{"a", {latency_ms(1, 2)}}, {"b", {reset(0.5)}}}},
        {"calm", 500, 500, {{"a", {}}, {"b", {}}}},
    };
    ASSERT_EQ(arrivals.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i].name);
        const RunProgress& p = arrivals[i].progress;
        EXPECT_EQ(p.run_name, "checkout");
        EXPECT_EQ(p.phase_name, expected[i].name);
        EXPECT_EQ(p.phase_index, i + 1);
        EXPECT_EQ(p.phase_count, 3u);
        EXPECT_EQ(p.phase_duration_ms, expected[i].duration_ms);
        EXPECT_EQ(p.proxies, faults[i]);
        EXPECT_GE(arrivals[i].at_ms, expected[i].at_ms - 1);
        EXPECT_LE(arrivals[i].at_ms, expected[i].at_ms + 250);
        EXPECT_EQ(arrivals[i].faults, expected[i].faults);
        if (i > 0) {
            const int64_t gap =
                ms_between(arrivals[i - 1].progress.phase_started_at, p.phase_started_at);
            EXPECT_GE(gap, static_cast<int64_t>(expected[i - 1].duration_ms));
            EXPECT_LE(gap, static_cast<int64_t>(expected[i - 1].duration_ms) + 250);
        }
    }
    EXPECT_GE(ms_between(report->started_at, arrivals[0].progress.phase_started_at), 0);
}

TEST(RunExecution, DurationsInWholeMilliseconds) {
    EngineHarness h(two_proxies());
    model::Run run =
        run_of({phase("a", "1500us"), phase("b", "2ms 999us 999ns"), phase("c", "10ms")});
    auto progress = read_progress(h, 3, Clock::now());
    auto report = h.run(execute_on(h, h.begin(), run));
    ASSERT_TRUE(report.has_value()) << report.error().display();
    ASSERT_EQ(progress.wait_for(1s), std::future_status::ready);
    std::vector<std::optional<uint64_t>> durations;
    for (const Arrival& arrival : progress.get()) {
        durations.push_back(arrival.progress.phase_duration_ms);
    }
    EXPECT_EQ(durations, (std::vector<std::optional<uint64_t>>{1, 2, 10}));
}

TEST(RunExecution, AbandonedRunRestoresAndFreesControl) {
    EngineHarness h(two_proxies());
    model::Run run = run_of({phase("short", "50ms", {{"a", {}}}),
                             phase("forever", std::nullopt, {{"b", {reset(0.25)}}})});
    auto progress = read_progress(h, 2, Clock::now());
    auto task = rt::Task<RunResult>::spawn(h.executor(), execute_on(h, h.begin(), run), "run");
    ASSERT_EQ(progress.wait_for(5s), std::future_status::ready);
    const std::vector<Arrival> arrivals = progress.get();
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_EQ(arrivals[1].progress.phase_duration_ms, std::nullopt);
    EXPECT_EQ(arrivals[1].progress.phase_index, 2u);

    // The last phase has no end: the run goes on until its caller gives up on it.
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(task.is_finished());
    EXPECT_EQ(h.faults(), (FaultMap{{"a", {}}, {"b", {reset(0.25)}}}));
    auto refused = h.engine().set_faults("a", {});
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().display(), kControlAlreadyActive);

    task.abort();
    auto joined = h.run(task.join());
    ASSERT_FALSE(joined.has_value());
    EXPECT_EQ(joined.error().kind, rt::TaskFailure::Kind::Aborted);
    EXPECT_EQ(h.faults(), kInitial);
    EXPECT_TRUE(h.control_free());
}

TEST(RunExecution, RunNeverAwaitedStillEndsItsSession) {
    EngineHarness h(two_proxies());
    {
        auto op = execute_on(h, h.begin(), run_of({phase("p", "10ms")}));
        EXPECT_FALSE(h.control_free());
    }
    EXPECT_TRUE(h.control_free());
    EXPECT_EQ(h.faults(), kInitial);
}

TEST(RunExecution, FailuresLeaveTheEarlierFaults) {
    EngineHarness h(two_proxies());
    auto [stopped, collector] = ObservationRecorder::start(std::nullopt, h.executor());
    ASSERT_TRUE(h.run(stopped.stop()).has_value());

    struct Case {
        const char* name;
        model::Run run;
        bool stopped_recorder;
        std::string error;
    } cases[] = {
        {"invalid run", run_of({phase("open", std::nullopt), phase("unreachable", "1s")}), false,
         "invalid configuration: phases[0].duration: an indefinite phase makes later phases "
         "unreachable. Give this phase a duration or make it the final phase."},
        {"recorder stopped", run_of({phase("p", "20ms", {{"a", {blackhole()}}})}), true,
         "transport observation recorder stopped unexpectedly"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ObservationRecorder& recorder = c.stopped_recorder ? stopped : h.engine().recorder();
        auto result = h.run(execute(h.begin(), recorder, h.engine().progress(), std::move(c.run)));
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().display(), c.error);
        EXPECT_EQ(h.faults(), kInitial);
        EXPECT_TRUE(h.control_free());
    }
    (void)h.run(collector.join());
}

TEST(RunReportJson, DocumentedShape) {
    RunReport report{
        .run_name = "checkout \"eu\"",
        .started_at = model::Timestamp{1740824130LL * 1'000'000'000},
        .completed_at = model::Timestamp{1740824133LL * 1'000'000'000 + 500'000'000},
        .transport = model::TransportSummary{},
    };
    report.transport.status.tcp.opened = 2;
    EXPECT_EQ(to_json(report),
              R"({"schema_version":1,"run_name":"checkout \"eu\"",)"
              R"("started_at":"2025-03-01T10:15:30Z","completed_at":"2025-03-01T10:15:33.500Z",)"
              R"("outcome":{"type":"success"},"transport":{"status":{"tcp":{"active":0,)"
              R"("opened":2,"active_impacted":0,"impacted":0,"completed":0,"failed":0,)"
              R"("average_bytes_to_upstream":0,"average_bytes_to_client":0},)"
              R"("udp":{"active":0,"started":0,"active_impacted":0,"impacted":0,"completed":0,)"
              R"("failed":0,"average_request_bytes":0,"average_response_bytes":0},)"
              R"("effects":{"latency_applications":0,"average_latency_ms":0.0,)"
              R"("jitter_applications":0,"average_jitter_ms":0.0,"bandwidth_bytes_limited":0,)"
              R"("blackhole_activations":0,"connection_resets":0,"dns_interventions":0},)"
              R"("dropped_records":0,"last_failure":null},"tcp_streams":[],"udp_exchanges":[]}})");
}

}  // namespace
}  // namespace ostrel::engine
