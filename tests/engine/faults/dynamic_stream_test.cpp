// A connection's stack following its proxy's fault set, over real loopback sockets.
#include "ostrel-engine/faults/dynamic_stream.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrel-engine/observed_stream.hpp"
#include "tests/engine/faults/loopback.hpp"

namespace ostrel::engine {
namespace {

using namespace fault_test;
using asio::experimental::awaitable_operators::operator&&;
using asio::experimental::awaitable_operators::operator||;
using model::FaultSpec;
using model::TrafficFlow;

// One proxied connection: the client end, and the dynamic stack over the accepted end.
class Harness {
  public:
    explicit Harness(const std::vector<FaultSpec>& specs)
        : runtime(*FaultRuntime::create(specs, false)),
          strand(loop.strand()),
          pair(connected_pair(loop.io())),
          stream(std::make_unique<DynamicFaultStream>(
              runtime, std::make_unique<ObservedStream>(std::move(pair.server), conn.ctx), conn.ctx,
              strand)) {}
    ~Harness() {
        // Nothing runs once the loop is halted, so the stream goes as if on its strand.
        loop.halt();
        stream.reset();
    }

    void install(const std::vector<FaultSpec>& specs) {
        auto set = runtime.prepare_specs(specs);
        ASSERT_TRUE(set.has_value());
        runtime.install(*set);
    }

    template <typename T>
    T run(asio::awaitable<T> body, Clock::duration timeout = 10s) {
        auto result = loop.run(strand, std::move(body), timeout);
        if (!result) throw std::runtime_error("timed out");
        return std::move(*result);
    }

    std::shared_ptr<Background<IoResult>> start_read(std::vector<std::byte>& buffer) {
        return start_op(strand, stream->read(buffer));
    }
    void send(std::string_view data) { EXPECT_FALSE(run(send_all(pair.client, bytes(data)))); }

    // Whether the stack was rebuilt from the runtime's current set.
    bool follows_runtime() {
        return loop.on(strand, [this] { return stream->active() == runtime.current(); });
    }

    Loop loop{2};
    Connection conn;
    FaultRuntime runtime;
    rt::Executor strand;
    SocketPair pair;
    std::unique_ptr<DynamicFaultStream> stream;
};

bool eventually(const std::function<bool()>& condition, Clock::duration timeout = 3s) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TEST(DynamicFaultStreamTest, BlackholedClientResumesWhenTheFaultIsRemoved) {
    Harness h({blackhole(TrafficFlow::ToUpstream)});
    std::vector<std::byte> buffer(64);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        h.send("hello");
        auto read = h.start_read(buffer);
        std::this_thread::sleep_for(150ms);
        EXPECT_FALSE(read->done.load());

        // Responses still flow while requests are swallowed.
        const IoResult response = h.run(h.stream->write(bytes("pong")));
        ASSERT_TRUE(response.has_value());
        EXPECT_EQ(h.run(receive_exactly(h.pair.client, 4)), "pong");

        h.install({});
        ASSERT_TRUE(read->wait());
        ASSERT_TRUE(read->result->has_value());
        EXPECT_EQ(text(std::span(buffer).first(**read->result)), "hello");

        h.install({blackhole(TrafficFlow::ToUpstream)});
    }
    // However often it stalled and resumed, one side of one connection counts once.
    EXPECT_EQ(h.conn.live->blackhole_activations.load(), 1u);
    EXPECT_EQ(h.conn.metrics->fault_record().blackhole_activations, 1u);
}

TEST(DynamicFaultStreamTest, BothDirectionsInsideTheStackAreRebuilt) {
    Harness h({blackhole(TrafficFlow::Both)});
    h.send("request");
    std::vector<std::byte> buffer(64);
    auto read = h.start_read(buffer);
    auto write = start_op(h.strand, h.stream->write(bytes("response")));
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(read->done.load());
    EXPECT_FALSE(write->done.load());

    h.install({});
    ASSERT_TRUE(read->wait());
    ASSERT_TRUE(write->wait());
    ASSERT_TRUE(read->result->has_value());
    ASSERT_TRUE(write->result->has_value());
    EXPECT_EQ(text(std::span(buffer).first(**read->result)), "request");
    EXPECT_EQ(h.run(receive_exactly(h.pair.client, **write->result)),
              std::string("response").substr(0, **write->result));
    EXPECT_TRUE(h.follows_runtime());
    EXPECT_EQ(h.conn.live->blackhole_activations.load(), 2u);
}

TEST(DynamicFaultStreamTest, EmptySetRemovesEveryLayerFromAnIdleConnection) {
    constexpr double kDelay = 0.200;
    Harness h({latency(TrafficFlow::Both, kDelay * 1000, kDelay * 1000),
               bandwidth(TrafficFlow::Both, 1)});
    std::vector<std::byte> buffer(64);

    h.send("a");
    const auto start = Clock::now();
    const IoResult first = h.run(h.stream->read(buffer));
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, 1u);
    EXPECT_GE(seconds_since(start), kDelay - 0.001);

    // The connection now waits for the client, which sends nothing; the wake-up alone makes
    // it re-layer, before any byte arrives.
    auto idle = h.start_read(buffer);
    std::this_thread::sleep_for(50ms);
    h.install({});
    EXPECT_TRUE(eventually([&] { return h.follows_runtime(); }));
    EXPECT_FALSE(idle->done.load());

    // The bandwidth layer's one-second pause and the write-side latency went with the layers.
    h.send("b");
    ASSERT_TRUE(idle->wait(1s));
    ASSERT_TRUE(idle->result->has_value());
    EXPECT_EQ(text(std::span(buffer).first(**idle->result)), "b");
    const auto write_start = Clock::now();
    const IoResult written = h.run(h.stream->write(bytes("xyz")));
    EXPECT_LT(seconds_since(write_start), 0.100);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(*written, 3u);

    // What was recorded before the change stays.
    const model::FaultRecord record = h.conn.metrics->fault_record();
    EXPECT_EQ(record.latency.applications, 1u);
    EXPECT_DOUBLE_EQ(record.latency.total_delay_ms, kDelay * 1000);
    EXPECT_EQ(record.bandwidth_bytes_limited, 1u);
    EXPECT_EQ(h.conn.metrics->bytes_to_upstream(), 2u);
    EXPECT_EQ(h.conn.metrics->bytes_to_client(), 3u);
}

TEST(DynamicFaultStreamTest, NewSetStartsItsFaultsAfresh) {
    const FaultSpec delay = latency(TrafficFlow::ToUpstream, 100, 100);
    Harness h({delay});
    std::vector<std::byte> buffer(64);
    auto timed_read = [&]() -> double {
        h.send("x");
        const auto start = Clock::now();
        EXPECT_TRUE(h.run(h.stream->read(buffer)).has_value());
        return seconds_since(start);
    };
    EXPECT_GE(timed_read(), 0.099);
    EXPECT_LT(timed_read(), 0.090);
    h.install({delay});
    EXPECT_GE(timed_read(), 0.099);
    EXPECT_EQ(h.conn.live->latency_applications.load(), 2u);
}

TEST(DynamicFaultStreamTest, StopEndsPendingAndLaterOperations) {
    Harness h({blackhole(TrafficFlow::Both)});
    std::vector<std::byte> buffer(64);
    auto read = h.start_read(buffer);
    std::this_thread::sleep_for(50ms);
    h.loop.on(h.strand, [&] {
        h.stream->stop();
        return 0;
    });
    ASSERT_TRUE(read->wait(1s));
    ASSERT_FALSE(read->result->has_value());
    EXPECT_EQ(read->result->error(), asio::error::operation_aborted);

    h.install({});
    const IoResult later = h.run(h.stream->write(bytes("late")));
    ASSERT_FALSE(later.has_value());
    EXPECT_EQ(later.error(), asio::error::operation_aborted);
    EXPECT_EQ(h.run(h.stream->flush()), asio::error::operation_aborted);
    EXPECT_TRUE(h.loop.on(h.strand, [&] { return h.stream->stopped(); }));
}

TEST(DynamicFaultStreamTest, AwaitingCoroutinesCancellationReachesTheStack) {
    Harness h({blackhole(TrafficFlow::ToUpstream)});
    std::vector<std::byte> buffer(64);
    auto race = [&]() -> asio::awaitable<size_t> {
        auto winner = co_await (h.stream->read(buffer) || sleep_for(100ms));
        co_return winner.index();
    };
    EXPECT_EQ(h.run(race(), 3s), 1u);

    // The stream stays usable by the next operation.
    h.install({});
    h.send("next");
    const IoResult next = h.run(h.stream->read(buffer));
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(text(std::span(buffer).first(*next)), "next");
}

TEST(DynamicFaultStreamTest, ResetFaultAbortsTheClientConnection) {
    Harness h({connection_reset(TrafficFlow::ToClient, 1)});
    const IoResult write = h.run(h.stream->write(bytes("response")));
    ASSERT_FALSE(write.has_value());
    EXPECT_EQ(write.error(), std::errc::connection_reset);
    h.loop.on(h.strand, [&] {
        h.stream.reset();
        return 0;
    });
    EXPECT_EQ(h.run(read_outcome(h.pair.client, nullptr)), asio::error::connection_reset);
}

// The proxy's relay in both directions over the dynamic stream while fault sets are swapped
// as fast as possible: every byte arrives once and in order.
TEST(DynamicFaultStreamTest, InstallRaceLosesNoBytes) {
    constexpr size_t kTotal = 8 << 20;
    Harness h({});
    SocketPair upstream = connected_pair(h.loop.io());
    std::string payload(kTotal, '\0');
    for (size_t i = 0; i < kTotal; ++i) payload[i] = char(i * 7 + i / 251);

    auto to_upstream = [&]() -> asio::awaitable<void> {
        std::vector<std::byte> buffer(8192);
        for (;;) {
            IoResult n = co_await h.stream->read(buffer);
            if (!n || *n == 0) break;
            if (co_await send_all(upstream.client, std::span(buffer).first(*n))) break;
        }
        upstream.client.shutdown(tcp::socket::shutdown_send);
    };
    auto to_client = [&]() -> asio::awaitable<void> {
        std::vector<std::byte> buffer(8192);
        for (;;) {
            auto [ec, n] =
                co_await upstream.client.async_read_some(asio::buffer(buffer), rt::use_tuple);
            if (ec) break;
            size_t sent = 0;
            while (sent < n) {
                IoResult w = co_await h.stream->write(std::span(buffer).subspan(sent, n - sent));
                if (!w) co_return;
                sent += *w;
            }
        }
        EXPECT_FALSE(co_await h.stream->shutdown());
    };
    auto echo = [&]() -> asio::awaitable<void> {
        std::vector<std::byte> buffer(8192);
        for (;;) {
            auto [ec, n] =
                co_await upstream.server.async_read_some(asio::buffer(buffer), rt::use_tuple);
            if (ec) break;
            if (co_await send_all(upstream.server, std::span(buffer).first(n))) break;
        }
        upstream.server.shutdown(tcp::socket::shutdown_send);
    };
    auto client = [&]() -> asio::awaitable<std::string> {
        auto sender = [&]() -> asio::awaitable<void> {
            for (size_t sent = 0; sent < kTotal; sent += 4096) {
                EXPECT_FALSE(co_await send_all(h.pair.client, bytes(payload).subspan(sent, 4096)));
            }
            h.pair.client.shutdown(tcp::socket::shutdown_send);
        };
        co_return co_await (sender() && receive_exactly(h.pair.client, kTotal + 1));
    };

    // Coroutine lambdas reach their captures through the closure: keep each one alive.
    auto relay_body = [&]() -> asio::awaitable<bool> {
        co_await (to_upstream() && to_client());
        co_return true;
    };
    auto echo_body = [&]() -> asio::awaitable<bool> {
        co_await echo();
        co_return true;
    };
    auto relay = start_op(h.strand, relay_body());
    auto echoing = start_op(h.loop.strand(), echo_body());
    auto received = start_op(h.loop.strand(), client());

    const std::vector<std::vector<FaultSpec>> sets = {
        {latency(TrafficFlow::Both, 0, 2)},
        {},
        {jitter(TrafficFlow::Both, 0, 1, 0.5), latency(TrafficFlow::ToClient, 1, 1)},
        {bandwidth(TrafficFlow::Both, 8 << 20)},
        {blackhole(TrafficFlow::ToUpstream)},
        {blackhole(TrafficFlow::ToClient), jitter(TrafficFlow::ToUpstream, 0, 0, 1)},
    };
    size_t installs = 0;
    const auto deadline = Clock::now() + 20s;
    while (!received->done.load() && Clock::now() < deadline) {
        h.install(sets[installs++ % sets.size()]);
        std::this_thread::sleep_for(std::chrono::microseconds(500 + installs % 1000));
    }
    h.install({});
    ASSERT_TRUE(received->wait(10s));
    ASSERT_TRUE(relay->wait());
    ASSERT_TRUE(echoing->wait());
    EXPECT_GT(installs, 20u);
    ASSERT_TRUE(received->result.has_value());
    EXPECT_EQ(received->result->size(), kTotal);
    EXPECT_TRUE(*received->result == payload);
    EXPECT_EQ(h.conn.metrics->bytes_to_upstream(), kTotal);
    EXPECT_EQ(h.conn.metrics->bytes_to_client(), kTotal);
    // The upstream pair goes before the harness: nothing may still refer to it.
    h.loop.halt();
}

}  // namespace
}  // namespace ostrel::engine
