#include "ostrel-engine/proxy/udp.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "ostrel-engine/engine.hpp"
#include "ostrel-engine/proxy/dns.hpp"
#include "ostrel-engine/rt/runtime.hpp"

namespace ostrel::engine {
namespace {

using namespace std::chrono_literals;
using asio::ip::udp;
using model::DnsCase;
using model::FailureCategory;
using model::FailureStage;
using model::FaultSpec;
using model::TrafficFlow;
using model::UdpExchangeOutcome;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const udp::endpoint kLoopback(asio::ip::make_address("127.0.0.1"), 0);

template <typename T>
T await_on(rt::Runtime& runtime, asio::awaitable<T> body, std::chrono::seconds limit = 20s) {
    auto done = asio::co_spawn(runtime.executor(), std::move(body), asio::use_future);
    if (done.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "timed out";
        std::abort();
    }
    return done.get();
}

template <typename Predicate>
bool eventually(Predicate ready, Clock::duration limit = 10s) {
    const auto deadline = Clock::now() + limit;
    while (!ready()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string text_of(std::span<const std::byte> data) {
    return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

std::string address_text(const udp::endpoint& endpoint) {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

// A plain UDP socket on loopback, used synchronously with bounded waits.
class Socket {
  public:
    explicit Socket(const udp::endpoint& local = kLoopback) : socket_(io_, local) {}

    udp::endpoint local() const { return socket_.local_endpoint(); }
    void send_to(const udp::endpoint& to, std::string_view data) {
        socket_.send_to(asio::buffer(data.data(), data.size()), to);
    }
    // The next datagram and its sender, if one comes within `limit`.
    std::optional<std::pair<std::string, udp::endpoint>> receive(
        std::chrono::milliseconds limit = 5000ms) {
        pollfd fd{socket_.native_handle(), POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
        std::string buffer(65536, '\0');
        udp::endpoint from;
        std::error_code ec;
        const size_t n = socket_.receive_from(asio::buffer(buffer), from, 0, ec);
        if (ec) return std::nullopt;
        buffer.resize(n);
        return std::pair{buffer, from};
    }

  private:
    asio::io_context io_;
    udp::socket socket_;
};

// An upstream served by a thread: every datagram is kept and answered `answers` times with its
// own bytes after `delay`. With no answers it only listens.
class Upstream {
  public:
    explicit Upstream(int answers = 1, std::chrono::milliseconds delay = 0ms,
                      const udp::endpoint& local = kLoopback)
        : socket_(local), answers_(answers), delay_(delay), thread_([this] { serve(); }) {}
    ~Upstream() {
        stop_ = true;
        thread_.join();
    }

    udp::endpoint endpoint() const { return socket_.local(); }
    std::string address() const { return address_text(endpoint()); }
    std::vector<std::string> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

  private:
    void serve() {
        while (!stop_) {
            auto datagram = socket_.receive(20ms);
            if (!datagram) continue;
            {
                std::lock_guard lock(mutex_);
                received_.push_back(datagram->first);
            }
            std::this_thread::sleep_for(delay_);
            for (int i = 0; i < answers_; ++i) socket_.send_to(datagram->second, datagram->first);
        }
    }

    Socket socket_;
    const int answers_;
    const std::chrono::milliseconds delay_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> received_;
    std::thread thread_;
};

// A UDP proxy named "dns" on 127.0.0.1 with its own runtime, recorder and record queue.
struct Proxy {
    rt::Runtime runtime{4};
    rt::CancellationToken token;
    std::optional<rt::QueueReceiver<model::TransportRecord>> records;
    std::optional<ObservationRecorder> recorder;
    std::optional<rt::Task<void>> collector;
    std::optional<FaultRuntime> faults;
    std::optional<RunningUdpProxy> proxy;
    std::string upstream;

    explicit Proxy(std::string upstream_text, const std::vector<FaultSpec>& specs = {},
                   bool keep_records = true, const udp::endpoint& listen = kLoopback)
        : upstream(std::move(upstream_text)) {
        std::optional<rt::QueueSender<model::TransportRecord>> sender;
        if (keep_records) {
            auto [queue_sender, receiver] = rt::make_queue<model::TransportRecord>(1024);
            sender = std::move(queue_sender);
            records = std::move(receiver);
        }
        auto [handle, task] = ObservationRecorder::start(std::move(sender), runtime.executor());
        recorder = std::move(handle);
        collector = std::move(task);
        auto created = FaultRuntime::create(specs, true);
        EXPECT_TRUE(created.has_value()) << created.error().display();
        faults = std::move(*created);
        auto bound = RunningUdpProxy::bind(listen, "dns", upstream, *faults, token, *recorder,
                                           runtime.executor());
        EXPECT_TRUE(bound.has_value());
        proxy = std::move(*bound);
    }
    ~Proxy() {
        if (proxy) (void)shutdown();
    }

    udp::endpoint address() const { return proxy->local_address(); }

    void install(const std::vector<FaultSpec>& specs) {
        auto prepared = faults->prepare_specs(specs);
        ASSERT_TRUE(prepared.has_value());
        faults->install(*prepared);
    }

    model::UdpExchangeRecord next_record() {
        auto record = await_on(runtime, records->receive());
        EXPECT_TRUE(record.has_value() && record->udp());
        return *record->udp();
    }

    model::TransportStatus status() const { return recorder->live()->status(); }

    RunningUdpProxy::Result shutdown() {
        token.cancel();
        auto result = await_on(runtime, std::move(*proxy).join());
        proxy.reset();
        return result;
    }
};

FaultSpec latency(TrafficFlow flow, double ms) {
    return {model::LatencyFault{flow, {model::UniformDistribution{ms, ms}}}};
}
FaultSpec jitter(TrafficFlow flow, double ms, double probability) {
    return {model::JitterFault{flow, ms, ms, probability}};
}
FaultSpec blackhole(TrafficFlow flow) {
    return {model::BlackholeFault{flow}};
}
FaultSpec dns(DnsCase dns_case, std::optional<uint64_t> delay_ms = std::nullopt) {
    return {model::DnsFault{dns_case, delay_ms}};
}

// ID 0x1234, RD, one question: example.com A IN.
const std::string kQuery(
    "\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
    "\x07"
    "example\x03"
    "com\x00\x00\x01\x00\x01",
    29);

std::span<const std::byte> bytes(std::string_view text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

TEST(UdpProxy, RelaysEachDatagramAsOneRecordedExchange) {
    Upstream upstream;
    Proxy proxy(upstream.address());
    Socket client;

    client.send_to(proxy.address(), "hello");
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->first, "hello");
    // The answer comes from the proxy's listening socket.
    EXPECT_EQ(reply->second, proxy.address());

    client.send_to(proxy.address(), "second datagram");
    ASSERT_TRUE(client.receive());
    EXPECT_EQ(upstream.received(), (std::vector<std::string>{"hello", "second datagram"}));

    auto first = proxy.next_record();
    auto second = proxy.next_record();
    EXPECT_NE(first.exchange_id, second.exchange_id);
    model::UdpExchangeRecord expected;
    expected.exchange_id = first.exchange_id;
    expected.proxy = "dns";
    expected.peer = address_text(client.local());
    expected.upstream = upstream.address();
    expected.started_at = first.started_at;
    expected.completed_at = first.completed_at;
    expected.request_bytes = 5;
    expected.response_bytes = 5;
    expected.outcome = UdpExchangeOutcome::Completed;
    EXPECT_EQ(first, expected);
    ASSERT_TRUE(first.completed_at);
    EXPECT_LE(first.started_at, *first.completed_at);
    EXPECT_EQ(second.request_bytes, 15u);
    EXPECT_EQ(second.response_bytes, 15u);

    EXPECT_EQ(proxy.status().udp, (model::UdpStatus{0, 2, 0, 0, 2, 0, 10, 10}));
    EXPECT_TRUE(proxy.shutdown().has_value());
}

TEST(UdpProxy, RelaysOnlyTheFirstResponse) {
    Upstream upstream(/*answers=*/2);
    Proxy proxy(upstream.address());
    Socket client;
    client.send_to(proxy.address(), "ping");
    ASSERT_TRUE(client.receive());
    EXPECT_EQ(proxy.next_record().response_bytes, 4u);
    EXPECT_FALSE(client.receive(300ms));
}

TEST(UdpProxy, RelaysEmptyDatagrams) {
    Upstream upstream;
    Proxy proxy(upstream.address());
    Socket client;
    client.send_to(proxy.address(), "");
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->first, "");
    auto record = proxy.next_record();
    EXPECT_EQ(record.outcome, UdpExchangeOutcome::Completed);
    EXPECT_EQ(record.request_bytes, 0u);
}

TEST(UdpProxy, RelaysLargeDatagramsWhole) {
    Upstream upstream;
    Proxy proxy(upstream.address());
    Socket client;
    std::string large(60000, '\0');
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7);
    client.send_to(proxy.address(), large);
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->first, large);
    EXPECT_EQ(proxy.next_record().response_bytes, 60000u);
}

TEST(UdpProxy, ServesIpv6) {
    const udp::endpoint v6(asio::ip::make_address("::1"), 0);
    {
        asio::io_context io;
        udp::socket probe(io);
        std::error_code ec;
        probe.open(udp::v6(), ec);
        if (!ec) probe.bind(v6, ec);
        if (ec) GTEST_SKIP() << "no IPv6 loopback: " << ec.message();
    }
    Upstream upstream(1, 0ms, v6);
    Proxy proxy("[::1]:" + std::to_string(upstream.endpoint().port()), {}, true, v6);
    Socket client(v6);
    client.send_to(proxy.address(), "six");
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->first, "six");
    auto record = proxy.next_record();
    EXPECT_EQ(record.peer, "[::1]:" + std::to_string(client.local().port()));
    EXPECT_EQ(record.outcome, UdpExchangeOutcome::Completed);
}

TEST(UdpProxy, DelaysApplyPerDirection) {
    struct Case {
        std::string name;
        std::vector<FaultSpec> faults;
        uint64_t latency_applications;
        uint64_t jitter_applications;
        double total_ms;
    };
    const Case cases[] = {
        {"latency both", {latency(TrafficFlow::Both, 100)}, 2, 0, 200},
        {"latency to-client", {latency(TrafficFlow::ToClient, 150)}, 1, 0, 150},
        {"latency to-upstream", {latency(TrafficFlow::ToUpstream, 150)}, 1, 0, 150},
        {"jitter always", {jitter(TrafficFlow::Both, 80, 1.0)}, 0, 2, 160},
        {"jitter never", {jitter(TrafficFlow::Both, 500, 0.0)}, 0, 0, 0},
        {"delays add up",
         {latency(TrafficFlow::ToUpstream, 60), jitter(TrafficFlow::ToUpstream, 70, 1.0)},
         1,
         1,
         130},
    };
    Upstream upstream;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Proxy proxy(upstream.address(), c.faults);
        Socket client;
        const auto began = Clock::now();
        client.send_to(proxy.address(), "slow");
        ASSERT_TRUE(client.receive());
        const double elapsed = seconds_since(began);
        EXPECT_GE(elapsed, c.total_ms / 1000 - 0.005);
        EXPECT_LT(elapsed, c.total_ms / 1000 + 1.0);
        auto record = proxy.next_record();
        EXPECT_EQ(record.outcome, UdpExchangeOutcome::Completed);
        EXPECT_EQ(record.faults.latency.applications, c.latency_applications);
        EXPECT_EQ(record.faults.jitter.applications, c.jitter_applications);
        EXPECT_DOUBLE_EQ(record.faults.latency.total_delay_ms + record.faults.jitter.total_delay_ms,
                         c.total_ms);
        const auto status = proxy.status();
        EXPECT_EQ(status.udp.impacted, c.total_ms > 0 ? 1u : 0u);
        EXPECT_EQ(status.effects.latency_applications, c.latency_applications);
        EXPECT_EQ(status.effects.jitter_applications, c.jitter_applications);
    }
}

TEST(UdpProxy, BlackholesDropPerDirection) {
    struct Case {
        std::string name;
        std::vector<FaultSpec> faults;
        bool reaches_upstream;
    };
    const Case cases[] = {
        {"to-client", {blackhole(TrafficFlow::ToClient)}, true},
        {"to-upstream", {blackhole(TrafficFlow::ToUpstream)}, false},
        {"both", {blackhole(TrafficFlow::Both)}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Upstream upstream;
        Proxy proxy(upstream.address(), c.faults);
        Socket client;
        client.send_to(proxy.address(), "void");
        auto record = proxy.next_record();
        EXPECT_EQ(record.outcome, UdpExchangeOutcome::FaultDropped);
        EXPECT_FALSE(record.failure);
        EXPECT_EQ(record.request_bytes, c.reaches_upstream ? 4u : 0u);
        EXPECT_EQ(record.response_bytes, 0u);
        EXPECT_EQ(record.faults.blackhole_activations, 1u);
        EXPECT_EQ(upstream.received().size(), c.reaches_upstream ? 1u : 0u);
        EXPECT_FALSE(client.receive(100ms));
        EXPECT_EQ(proxy.status().effects.blackhole_activations, 1u);
        EXPECT_EQ(proxy.status().udp.impacted, 1u);
    }
}

TEST(UdpProxy, BlackholeAfterADelayDropsOnlyOnceTheDelayIsOver) {
    Upstream upstream;
    Proxy proxy(upstream.address(),
                {latency(TrafficFlow::ToUpstream, 150), blackhole(TrafficFlow::Both)});
    Socket client;
    const auto began = Clock::now();
    client.send_to(proxy.address(), "late");
    auto record = proxy.next_record();
    EXPECT_GE(seconds_since(began), 0.145);
    EXPECT_EQ(record.outcome, UdpExchangeOutcome::FaultDropped);
    EXPECT_EQ(record.faults.latency.applications, 1u);
    EXPECT_TRUE(upstream.received().empty());
}

TEST(UdpProxy, DnsFaultsAnswerQueriesInsteadOfTheUpstream) {
    const DnsCase cases[] = {DnsCase::Truncated, DnsCase::Refused,     DnsCase::ServFail,
                             DnsCase::NxDomain,  DnsCase::EmptyAnswer, DnsCase::RandomA};
    Upstream upstream;
    for (DnsCase dns_case : cases) {
        SCOPED_TRACE(std::string(model::tag(dns_case)));
        // Only the first dns fault of the list counts.
        Proxy proxy(upstream.address(), {dns(dns_case), dns(DnsCase::Timeout)});
        Socket client;
        client.send_to(proxy.address(), kQuery);
        auto answer = client.receive();
        ASSERT_TRUE(answer);
        auto expected = dns_fault_answer(dns_case, bytes(kQuery));
        ASSERT_TRUE(expected);
        if (dns_case == DnsCase::RandomA) {
            // The address is random; everything before it is fixed.
            ASSERT_EQ(answer->first.size(), expected->size());
            EXPECT_EQ(answer->first.substr(0, expected->size() - 4),
                      text_of(*expected).substr(0, expected->size() - 4));
        } else {
            EXPECT_EQ(answer->first, text_of(*expected));
        }
        auto record = proxy.next_record();
        EXPECT_EQ(record.outcome, UdpExchangeOutcome::Completed);
        EXPECT_EQ(record.request_bytes, 0u);
        EXPECT_EQ(record.response_bytes, expected->size());
        EXPECT_EQ(record.faults.dns_interventions, 1u);
        EXPECT_EQ(proxy.status().effects.dns_interventions, 1u);
        EXPECT_EQ(proxy.status().udp.impacted, 1u);
    }
    EXPECT_TRUE(upstream.received().empty());
}

TEST(UdpProxy, DnsAnswersPassThroughResponseFaults) {
    Upstream upstream;
    Proxy proxy(upstream.address(), {dns(DnsCase::Refused), latency(TrafficFlow::ToClient, 120)});
    Socket client;
    const auto began = Clock::now();
    client.send_to(proxy.address(), kQuery);
    ASSERT_TRUE(client.receive());
    EXPECT_GE(seconds_since(began), 0.115);
    EXPECT_EQ(proxy.next_record().faults.latency.applications, 1u);

    proxy.install({dns(DnsCase::Refused), blackhole(TrafficFlow::ToClient)});
    client.send_to(proxy.address(), kQuery);
    auto record = proxy.next_record();
    EXPECT_EQ(record.outcome, UdpExchangeOutcome::FaultDropped);
    EXPECT_EQ(record.response_bytes, 0u);
    EXPECT_FALSE(client.receive(100ms));
    EXPECT_TRUE(upstream.received().empty());
}

TEST(UdpProxy, UnanswerableDatagramsAreForwardedUnchanged) {
    Upstream upstream;
    Proxy proxy(upstream.address(), {dns(DnsCase::Refused)});
    Socket client;
    const std::string short_datagram = kQuery.substr(0, 11);
    client.send_to(proxy.address(), short_datagram);
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->first, short_datagram);
    EXPECT_EQ(upstream.received(), std::vector<std::string>{short_datagram});
    auto record = proxy.next_record();
    EXPECT_EQ(record.outcome, UdpExchangeOutcome::Completed);
    EXPECT_EQ(record.request_bytes, 11u);
    EXPECT_EQ(record.faults.dns_interventions, 1u);
}

TEST(UdpProxy, DnsDelayForwardsAfterItsDelay) {
    struct Case {
        std::optional<uint64_t> delay_ms;
        double at_least;
    };
    for (const Case& c : {Case{std::nullopt, 0.0}, Case{200, 0.195}}) {
        Upstream upstream;
        Proxy proxy(upstream.address(), {dns(DnsCase::Delay, c.delay_ms)});
        Socket client;
        const auto began = Clock::now();
        client.send_to(proxy.address(), kQuery);
        auto reply = client.receive();
        ASSERT_TRUE(reply);
        EXPECT_GE(seconds_since(began), c.at_least);
        EXPECT_EQ(reply->first, kQuery);
        auto record = proxy.next_record();
        EXPECT_EQ(record.outcome, UdpExchangeOutcome::Completed);
        EXPECT_EQ(record.request_bytes, kQuery.size());
        EXPECT_EQ(record.faults.dns_interventions, 1u);
    }
}

TEST(UdpProxy, DnsTimeoutSendsNothingToAnyone) {
    Upstream upstream;
    Proxy proxy(upstream.address(), {dns(DnsCase::Timeout, 300)});
    Socket client;
    const auto began = Clock::now();
    client.send_to(proxy.address(), kQuery);
    auto record = proxy.next_record();
    EXPECT_GE(seconds_since(began), 0.295);
    EXPECT_EQ(record.outcome, UdpExchangeOutcome::FaultDropped);
    EXPECT_EQ(record.request_bytes, 0u);
    EXPECT_EQ(record.response_bytes, 0u);
    EXPECT_EQ(record.faults.dns_interventions, 1u);
    EXPECT_FALSE(client.receive(100ms));
    EXPECT_TRUE(upstream.received().empty());
}

TEST(UdpProxy, EachStepReadsTheCurrentFaults) {
    // The upstream answers late; meanwhile the response direction gets a blackhole.
    Upstream upstream(1, 400ms);
    Proxy proxy(upstream.address());
    Socket client;
    client.send_to(proxy.address(), "changing");
    ASSERT_TRUE(eventually([&] { return upstream.received().size() == 1; }));
    proxy.install({blackhole(TrafficFlow::ToClient)});
    auto record = proxy.next_record();
    EXPECT_EQ(record.outcome, UdpExchangeOutcome::FaultDropped);
    EXPECT_EQ(record.request_bytes, 8u);
    EXPECT_EQ(record.faults.blackhole_activations, 1u);
    EXPECT_FALSE(client.receive(100ms));

    proxy.install({});
    client.send_to(proxy.address(), "clear");
    ASSERT_TRUE(client.receive());
    EXPECT_EQ(proxy.next_record().outcome, UdpExchangeOutcome::Completed);
}

TEST(UdpProxy, UnansweredRequestFailsAfterTheLimit) {
    asio::io_context io;
    udp::socket silent(io, kLoopback);  // bound, never read
    const std::string upstream = address_text(silent.local_endpoint());
    Proxy proxy(upstream);
    Socket client;
    // Each request gets its own limit, counted from its own start.
    const auto began = Clock::now();
    client.send_to(proxy.address(), "anyone?");
    std::this_thread::sleep_for(600ms);
    const auto later = Clock::now();
    client.send_to(proxy.address(), "hello??");
    const model::TransportFailure expected{
        FailureStage::Exchange, FailureCategory::TimedOut,
        "UDP exchange " + upstream + ": UDP upstream response timed out"};
    for (const auto start : {began, later}) {
        auto record = proxy.next_record();
        EXPECT_GE(seconds_since(start), 9.9);
        EXPECT_LT(seconds_since(start), 11.0);
        EXPECT_EQ(record.outcome, UdpExchangeOutcome::TransferFailed);
        EXPECT_EQ(record.request_bytes, 7u);
        EXPECT_EQ(record.failure, expected);
    }
    EXPECT_EQ(proxy.status().last_failure, expected);
    EXPECT_EQ(proxy.status().udp.failed, 2u);
}

TEST(UdpProxy, AFailedExchangeLeavesTheProxyServing) {
    // Nothing listens on the port at first: the upstream refuses the request.
    const uint16_t port = [] {
        Socket probe;
        return probe.local().port();
    }();
    const std::string upstream = "127.0.0.1:" + std::to_string(port);
    Proxy proxy(upstream);
    Socket client;
    client.send_to(proxy.address(), "refused");
    auto refused = proxy.next_record();
    EXPECT_EQ(refused.outcome, UdpExchangeOutcome::TransferFailed);
    ASSERT_TRUE(refused.failure);
    EXPECT_EQ(refused.failure->stage, FailureStage::Exchange);
    EXPECT_EQ(refused.failure->category, FailureCategory::Other);
    EXPECT_EQ(refused.failure->message,
              "UDP exchange " + upstream + ": Connection refused (os error 111)");

    // The same proxy serves the next datagram once the upstream is there.
    Upstream late(1, 0ms, udp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    client.send_to(proxy.address(), "served");
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->first, "served");
    EXPECT_EQ(proxy.next_record().outcome, UdpExchangeOutcome::Completed);
    EXPECT_EQ(proxy.status().udp.failed, 1u);
    EXPECT_EQ(proxy.status().udp.completed, 2u);
    EXPECT_TRUE(proxy.shutdown().has_value());
}

TEST(UdpProxy, AClientThatLeftDoesNotDisturbOthers) {
    Upstream upstream(1, 200ms);
    Proxy proxy(upstream.address());
    {
        Socket gone;
        gone.send_to(proxy.address(), "bye");
    }
    // The reply to the closed port draws a refusal that the listening socket must not report.
    auto left = proxy.next_record();
    EXPECT_EQ(left.outcome, UdpExchangeOutcome::Completed);
    Socket client;
    client.send_to(proxy.address(), "still there");
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->first, "still there");
    EXPECT_EQ(proxy.next_record().outcome, UdpExchangeOutcome::Completed);
    EXPECT_TRUE(proxy.shutdown().has_value());
}

TEST(UdpProxy, AnUnresolvableUpstreamFailsEachExchangeOnly) {
    // Refused before any lookup: there is no port to split off.
    Proxy proxy("upstream-without-port");
    Socket client;
    const model::TransportFailure expected{
        FailureStage::Exchange, FailureCategory::Other,
        "UDP exchange upstream-without-port: invalid socket address"};
    for (int i = 0; i < 2; ++i) {
        client.send_to(proxy.address(), "lost");
        auto record = proxy.next_record();
        EXPECT_EQ(record.outcome, UdpExchangeOutcome::TransferFailed);
        EXPECT_EQ(record.request_bytes, 0u);
        EXPECT_EQ(record.failure, expected);
    }
    EXPECT_EQ(proxy.status().udp.failed, 2u);
    EXPECT_EQ(proxy.status().last_failure, expected);
    EXPECT_TRUE(proxy.shutdown().has_value());
}

TEST(UdpProxy, ShutdownCancelsPendingExchanges) {
    asio::io_context io;
    udp::socket silent(io, kLoopback);
    Proxy proxy(address_text(silent.local_endpoint()));
    Socket client;
    for (int i = 0; i < 3; ++i) client.send_to(proxy.address(), "pending");
    ASSERT_TRUE(eventually([&] { return proxy.status().udp.active == 3; }));
    std::this_thread::sleep_for(100ms);

    const auto began = Clock::now();
    EXPECT_TRUE(proxy.shutdown().has_value());
    EXPECT_LT(seconds_since(began), 2.0);
    for (int i = 0; i < 3; ++i) {
        auto record = proxy.next_record();
        EXPECT_EQ(record.outcome, UdpExchangeOutcome::Cancelled);
        EXPECT_FALSE(record.failure);
        EXPECT_EQ(record.request_bytes, 7u);
    }
    EXPECT_EQ(proxy.status().udp.active, 0u);
}

TEST(UdpProxy, ShutdownEndsADelay) {
    Upstream upstream;
    Proxy proxy(upstream.address(), {latency(TrafficFlow::ToUpstream, 5000)});
    Socket client;
    client.send_to(proxy.address(), "never");
    ASSERT_TRUE(eventually([&] { return proxy.status().effects.latency_applications == 1; }));
    const auto began = Clock::now();
    EXPECT_TRUE(proxy.shutdown().has_value());
    EXPECT_LT(seconds_since(began), 2.0);
    auto record = proxy.next_record();
    EXPECT_EQ(record.outcome, UdpExchangeOutcome::Cancelled);
    EXPECT_EQ(record.request_bytes, 0u);
    EXPECT_TRUE(upstream.received().empty());
}

TEST(UdpProxy, StoppedRecorderEndsTheProxyWithItsError) {
    // A relayed request, and a query a dns fault answers at once.
    const std::pair<std::vector<FaultSpec>, std::string> cases[] = {
        {{}, "unrecorded"},
        {{dns(DnsCase::Refused)}, kQuery},
    };
    for (const auto& [specs, request] : cases) {
        SCOPED_TRACE(specs.size());
        Upstream upstream;
        Proxy proxy(upstream.address(), specs);
        ASSERT_TRUE(await_on(proxy.runtime, proxy.recorder->stop()).has_value());
        Socket client;
        client.send_to(proxy.address(), request);
        auto joined = await_on(proxy.runtime, std::move(*proxy.proxy).join());
        proxy.proxy.reset();
        ASSERT_FALSE(joined.has_value());
        EXPECT_EQ(joined.error().display(), "transport observation recorder stopped unexpectedly");
        EXPECT_FALSE(client.receive(100ms));
        EXPECT_TRUE(upstream.received().empty());
    }
}

TEST(UdpProxy, BindRefusesAPortInUse) {
    rt::Runtime runtime(1);
    Socket taken;
    auto [handle, task] = ObservationRecorder::start(std::nullopt, runtime.executor());
    auto bound =
        RunningUdpProxy::bind(taken.local(), "dns", "127.0.0.1:1", *FaultRuntime::create({}, true),
                              rt::CancellationToken(), handle, runtime.executor());
    ASSERT_FALSE(bound.has_value());
    EXPECT_EQ(rt::os_error(bound.error().code), std::errc::address_in_use);
}

TEST(UdpProxy, TransferFailureCategories) {
    struct Case {
        std::error_code code;
        FailureCategory category;
    };
    const Case cases[] = {
        {std::make_error_code(std::errc::timed_out), FailureCategory::TimedOut},
        {std::error_code(EHOSTUNREACH, std::system_category()),
         FailureCategory::NetworkUnreachable},
        {asio::error::network_unreachable, FailureCategory::NetworkUnreachable},
        {std::error_code(ECONNREFUSED, std::system_category()), FailureCategory::Other},
        {std::error_code(ECONNRESET, std::system_category()), FailureCategory::Other},
        {asio::error::host_not_found, FailureCategory::Other},
    };
    for (const Case& c : cases) {
        auto failure = transfer_failure("10.0.0.2:53", IoError{c.code, "boom"});
        EXPECT_EQ(failure, (model::TransportFailure{FailureStage::Exchange, c.category,
                                                    "UDP exchange 10.0.0.2:53: boom"}))
            << c.code.message();
    }
}

// Pending exchanges hold no receive buffer while they wait for their upstream.
TEST(UdpProxy, ManyPendingExchangesStayLight) {
    const size_t count = kSanitized ? 2000 : 10000;
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < count + 256) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, count + 256);
        ::setrlimit(RLIMIT_NOFILE, &files);
        if (files.rlim_cur < count + 256) GTEST_SKIP() << "too few file descriptors";
    }
    auto resident = [] {
        std::ifstream statm("/proc/self/statm");
        size_t size = 0, pages = 0;
        statm >> size >> pages;
        return pages * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    };

    asio::io_context io;
    udp::socket silent(io, kLoopback);
    Proxy proxy(address_text(silent.local_endpoint()), {}, /*keep_records=*/false);
    Socket client;
    const size_t before = resident();
    // Paced so that the proxy's receive buffer never overflows.
    for (size_t sent = 0; sent < count;) {
        for (size_t i = 0; i < 100 && sent < count; ++i, ++sent) {
            client.send_to(proxy.address(), "0123456789abcdef0123456789abcdef0123456789");
        }
        ASSERT_TRUE(eventually([&] { return proxy.status().udp.started == sent; }));
    }
    std::this_thread::sleep_for(300ms);
    const size_t grown = resident() - before;
    EXPECT_EQ(proxy.status().udp.active, count);
    std::printf("%zu pending exchanges: resident memory grew by %.1f MiB\n", count,
                static_cast<double>(grown) / (1 << 20));
    if (!kSanitized) {
        EXPECT_LT(grown, size_t{100} << 20);
    }

    const auto began = Clock::now();
    EXPECT_TRUE(proxy.shutdown().has_value());
    EXPECT_LT(seconds_since(began), 10.0);
    EXPECT_TRUE(eventually([&] { return proxy.status().udp.completed == count; }));
    EXPECT_EQ(proxy.status().udp.active, 0u);
}

// The engine binds UDP proxies next to TCP ones and joins them at shutdown.
TEST(UdpEngine, StartsRelaysAndShutsDown) {
    rt::Runtime runtime(2);
    Upstream upstream;
    FaultEngine engine;
    engine.transport_events = 16;
    engine.proxies.push_back(
        EngineProxy{"web", "127.0.0.1:0", "127.0.0.1:1", {}, model::TransportProtocol::Tcp});
    engine.proxies.push_back(EngineProxy{"dns",
                                         "127.0.0.1:0",
                                         upstream.address(),
                                         {dns(DnsCase::NxDomain)},
                                         model::TransportProtocol::Udp});
    auto started = await_on(runtime, std::move(engine).start(runtime.executor()));
    ASSERT_TRUE(started.has_value()) << started.error().display();
    std::shared_ptr<RunningEngine> running = std::move(*started);
    ASSERT_EQ(running->tcp_endpoints().size(), 1u);
    ASSERT_EQ(running->udp_endpoints().size(), 1u);
    const udp::endpoint address = running->udp_endpoints()[0];
    EXPECT_NE(address.port(), 0);

    Socket client;
    client.send_to(address, kQuery);
    auto answer = client.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->first, text_of(*dns_response(bytes(kQuery), kDnsNxDomain, false)));
    auto events = running->take_transport_events();
    ASSERT_TRUE(events);
    auto record = await_on(runtime, events->receive());
    ASSERT_TRUE(record && record->udp());
    EXPECT_EQ(record->udp()->proxy, "dns");

    auto summary = await_on(runtime, running->shutdown());
    ASSERT_TRUE(summary.has_value()) << summary.error().display();
    EXPECT_EQ(summary->status.udp.completed, 1u);
    EXPECT_EQ(summary->status.effects.dns_interventions, 1u);
}

TEST(UdpEngine, FailedBindStopsTheProxiesAlreadyBound) {
    rt::Runtime runtime(2);
    Socket taken;
    const uint16_t first_port = [] {
        Socket probe;
        return probe.local().port();
    }();
    FaultEngine engine;
    engine.proxies.push_back(EngineProxy{"a",
                                         "127.0.0.1:" + std::to_string(first_port),
                                         "127.0.0.1:1",
                                         {},
                                         model::TransportProtocol::Udp});
    engine.proxies.push_back(EngineProxy{
        "b", address_text(taken.local()), "127.0.0.1:1", {}, model::TransportProtocol::Udp});
    auto started = await_on(runtime, std::move(engine).start(runtime.executor()));
    ASSERT_FALSE(started.has_value());
    EXPECT_TRUE(started.error().display().starts_with("I/O error: Address already in use"))
        << started.error().display();
    // The first proxy has released its port.
    asio::io_context io;
    udp::socket again(io);
    again.open(udp::v4());
    std::error_code ec;
    again.bind(udp::endpoint(asio::ip::make_address("127.0.0.1"), first_port), ec);
    EXPECT_FALSE(ec) << ec.message();
}

}  // namespace
}  // namespace ostrel::engine
