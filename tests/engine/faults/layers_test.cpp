// The fault layers over a real loopback connection: the stack wraps the accepted end, the test
// plays the client on the other end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrel-engine/faults/bandwidth.hpp"
#include "ostrel-engine/faults/blackhole.hpp"
#include "ostrel-engine/faults/connection_reset.hpp"
#include "ostrel-engine/faults/latency.hpp"
#include "ostrel-engine/faults/runtime.hpp"
#include "ostrel-engine/observed_stream.hpp"
#include "tests/engine/faults/loopback.hpp"

namespace ostrel::engine {
namespace {

using namespace fault_test;
using asio::experimental::awaitable_operators::operator&&;
using model::TrafficFlow;

struct Timed {
    IoResult result;
    double secs = 0;
};

// One connection with a fault stack over its accepted end.
class Harness {
  public:
    explicit Harness(const std::vector<model::FaultSpec>& specs)
        : strand(loop.strand()), pair(connected_pair(loop.io())) {
        auto chain = FaultChain::from_specs(specs);
        EXPECT_TRUE(chain.has_value());
        stack = chain->wrap(*conn.ctx,
                            std::make_unique<ObservedStream>(std::move(pair.server), conn.ctx));
    }
    ~Harness() { loop.halt(); }

    template <typename T>
    T run(asio::awaitable<T> body, Clock::duration timeout = 10s) {
        auto result = loop.run(strand, std::move(body), timeout);
        if (!result) throw std::runtime_error("timed out");
        return std::move(*result);
    }

    // The client sends `data`, then the stack reads once into a buffer of `capacity` bytes.
    Timed read(std::string_view data, size_t capacity = 4096) {
        return run(timed_read(data, capacity));
    }
    // The stack writes `data` once; the client then receives what was accepted.
    Timed write(std::string_view data) { return run(timed_write(data)); }

    asio::awaitable<Timed> timed_read(std::string_view data, size_t capacity) {
        if (!data.empty()) {
            EXPECT_FALSE(co_await send_all(pair.client, bytes(data)));
        }
        std::vector<std::byte> buffer(capacity);
        const auto start = Clock::now();
        IoResult result = co_await stack->read(buffer);
        const double secs = seconds_since(start);
        if (result && !data.empty()) {
            EXPECT_EQ(text(std::span(buffer).first(*result)), data);
        }
        co_return Timed{result, secs};
    }

    asio::awaitable<Timed> timed_write(std::string_view data) {
        const auto start = Clock::now();
        IoResult result = co_await stack->write(bytes(data));
        const double secs = seconds_since(start);
        if (result && *result > 0) {
            EXPECT_EQ(co_await receive_exactly(pair.client, *result), data.substr(0, *result));
        }
        co_return Timed{result, secs};
    }

    // Emits a side's signal on the strand, as a fault change or the end of the connection does.
    void emit(Side side) {
        loop.on(strand, [this, side] {
            conn.ctx->signal(side).emit(asio::cancellation_type::terminal);
            return 0;
        });
    }
    // Closes the accepted end, as the proxy does when the connection ends.
    void close() {
        loop.on(strand, [this] {
            stack.reset();
            return 0;
        });
    }

    Loop loop{2};
    rt::Executor strand;
    SocketPair pair;
    Connection conn;
    std::unique_ptr<Bidirectional> stack;
};

constexpr double kLong = 0.150;      // seconds, the delay a test applies
constexpr double kShortMax = 0.100;  // an undelayed operation takes less than this

TEST(LatencyStreamTest, DelaysOnlyTheFirstReadAndWriteOfItsSides) {
    for (TrafficFlow flow : {TrafficFlow::ToUpstream, TrafficFlow::ToClient, TrafficFlow::Both}) {
        SCOPED_TRACE(model::tag(flow));
        Harness h({latency(flow, kLong * 1000, kLong * 1000)});
        const bool on_read = flow != TrafficFlow::ToClient;
        const bool on_write = flow != TrafficFlow::ToUpstream;

        const Timed first_read = h.read("a");
        const Timed second_read = h.read("b");
        const Timed first_write = h.write("x");
        const Timed second_write = h.write("y");
        ASSERT_TRUE(first_read.result && second_read.result);
        ASSERT_TRUE(first_write.result && second_write.result);

        if (on_read) {
            EXPECT_GE(first_read.secs, kLong - 0.001);
        } else {
            EXPECT_LT(first_read.secs, kShortMax);
        }
        if (on_write) {
            EXPECT_GE(first_write.secs, kLong - 0.001);
        } else {
            EXPECT_LT(first_write.secs, kShortMax);
        }
        EXPECT_LT(second_read.secs, kShortMax);
        EXPECT_LT(second_write.secs, kShortMax);

        const uint64_t applied = uint64_t(on_read) + uint64_t(on_write);
        const model::FaultRecord record = h.conn.metrics->fault_record();
        EXPECT_EQ(record.latency.applications, applied);
        EXPECT_DOUBLE_EQ(record.latency.total_delay_ms, applied * kLong * 1000);
        EXPECT_EQ(h.conn.live->latency_applications.load(), applied);
        EXPECT_EQ(h.conn.live->latency_total_us.load(), applied * 150'000);
        EXPECT_TRUE(h.conn.metrics->impacted());
        EXPECT_EQ(h.conn.metrics->bytes_to_upstream(), 2u);
        EXPECT_EQ(h.conn.metrics->bytes_to_client(), 2u);
    }
}

TEST(LatencyStreamTest, DrawsTheTwoSidesIndependently) {
    Harness h({latency(TrafficFlow::Both, 1, 100)});
    const Timed read = h.read("a");
    const uint64_t read_us = h.conn.live->latency_total_us.load();
    const Timed write = h.write("x");
    const uint64_t write_us = h.conn.live->latency_total_us.load() - read_us;
    ASSERT_TRUE(read.result && write.result);
    EXPECT_EQ(h.conn.live->latency_applications.load(), 2u);
    EXPECT_NE(read_us, write_us);
    EXPECT_GE(read.secs, double(read_us) / 1e6 - 0.001);
    EXPECT_GE(write.secs, double(write_us) / 1e6 - 0.001);
}

TEST(LatencyStreamTest, RetriedReadWaitsForTheSameDeadline) {
    Harness h({latency(TrafficFlow::ToUpstream, 400, 400)});
    std::vector<std::byte> buffer(16);
    h.run(send_all(h.pair.client, bytes("a")));
    const auto start = Clock::now();
    auto first = start_op(h.strand, h.stack->read(buffer));
    std::this_thread::sleep_for(100ms);
    h.emit(Side::ToUpstream);
    ASSERT_TRUE(first->wait());
    ASSERT_FALSE(first->result->has_value());
    EXPECT_EQ(first->result->error(), asio::error::operation_aborted);

    // The retry neither draws again nor starts the delay over.
    const IoResult second = h.run(h.stack->read(buffer));
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*second, 1u);
    EXPECT_GE(seconds_since(start), 0.399);
    EXPECT_LT(seconds_since(start), 0.400 + kShortMax);
    EXPECT_EQ(h.conn.live->latency_applications.load(), 1u);
}

TEST(JitterStreamTest, ProbabilityZeroNeverDelays) {
    Harness h({jitter(TrafficFlow::Both, kLong * 1000, kLong * 1000, 0)});
    for (int i = 0; i < 3; ++i) {
        EXPECT_LT(h.read("r").secs, kShortMax);
        EXPECT_LT(h.write("w").secs, kShortMax);
    }
    EXPECT_EQ(h.conn.live->jitter_applications.load(), 0u);
    EXPECT_FALSE(h.conn.metrics->impacted());
}

TEST(JitterStreamTest, ProbabilityOneDelaysEveryCompletedOperationOfItsSide) {
    Harness h({jitter(TrafficFlow::ToUpstream, kLong * 1000, kLong * 1000, 1)});
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(h.read("r").secs, kLong - 0.001);
        EXPECT_LT(h.write("w").secs, kShortMax);
    }
    // Jitter looks at no sizes: an empty read is delayed too.
    const Timed empty = h.read("", 0);
    ASSERT_TRUE(empty.result);
    EXPECT_EQ(*empty.result, 0u);
    EXPECT_GE(empty.secs, kLong - 0.001);

    const model::FaultRecord record = h.conn.metrics->fault_record();
    EXPECT_EQ(record.jitter.applications, 4u);
    EXPECT_DOUBLE_EQ(record.jitter.total_delay_ms, 4 * kLong * 1000);
    EXPECT_EQ(h.conn.live->jitter_applications.load(), 4u);
    EXPECT_EQ(record.latency.applications, 0u);
}

TEST(BandwidthStreamTest, PacesWritesInChunksAtTheConfiguredRate) {
    constexpr size_t kTotal = 256 * 1024;
    Harness h({bandwidth(TrafficFlow::ToClient, 128 * 1024)});
    std::string payload(kTotal, '\0');
    for (size_t i = 0; i < kTotal; ++i) payload[i] = char('a' + i % 23);

    auto writer = [&]() -> asio::awaitable<size_t> {
        size_t sent = 0, largest = 0;
        while (sent < kTotal) {
            IoResult n = co_await h.stack->write(bytes(payload).subspan(sent));
            if (!n || *n == 0) break;
            largest = std::max(largest, *n);
            sent += *n;
        }
        EXPECT_EQ(sent, kTotal);
        co_return largest;
    };
    const auto start = Clock::now();
    auto [largest, received] = h.run(writer() && receive_exactly(h.pair.client, kTotal), 20s);
    const double secs = seconds_since(start);

    // 256 chunks, the first undelayed: 255 pauses of 1024 / 131072 s.
    EXPECT_GE(secs, 255.0 / 128 - 0.01);
    EXPECT_LT(secs, 4.0);
    EXPECT_EQ(largest, BandwidthStream::kChunkBytes);
    EXPECT_TRUE(received == payload);
    EXPECT_EQ(h.conn.metrics->fault_record().bandwidth_bytes_limited, kTotal);
    EXPECT_EQ(h.conn.live->bandwidth_bytes_limited.load(), kTotal);
    EXPECT_EQ(h.conn.metrics->bytes_to_client(), kTotal);
}

TEST(BandwidthStreamTest, ReadsAtMostTheCallersBufferAndPausesAfterEachChunk) {
    // 64-byte reads at 6400 bytes/s: a pause of 10 ms after each.
    Harness h({bandwidth(TrafficFlow::ToUpstream, 6400)});
    const std::string payload(640, 'q');
    auto reader = [&]() -> asio::awaitable<double> {
        EXPECT_FALSE(co_await send_all(h.pair.client, bytes(payload)));
        std::vector<std::byte> buffer(64);
        size_t got = 0;
        const auto start = Clock::now();
        while (got < payload.size()) {
            IoResult n = co_await h.stack->read(buffer);
            if (!n || *n == 0) break;
            EXPECT_LE(*n, 64u);
            got += *n;
        }
        EXPECT_EQ(got, payload.size());
        co_return seconds_since(start);
    };
    const double secs = h.run(reader());
    EXPECT_GE(secs, 9 * 0.010 - 0.001);
    EXPECT_LT(secs, 1.0);
    EXPECT_EQ(h.conn.live->bandwidth_bytes_limited.load(), payload.size());
}

TEST(BandwidthStreamTest, FirstChunkIsUndelayedAndLargeBuffersGetOneChunk) {
    // 1024-byte chunks at 10240 bytes/s: a pause of 100 ms after each.
    Harness h({bandwidth(TrafficFlow::ToUpstream, 10240)});
    auto reader = [&]() -> asio::awaitable<std::vector<Timed>> {
        EXPECT_FALSE(co_await send_all(h.pair.client, bytes(std::string(2048, 'z'))));
        std::vector<std::byte> buffer(8192);
        std::vector<Timed> reads;
        for (int i = 0; i < 2; ++i) {
            const auto start = Clock::now();
            IoResult n = co_await h.stack->read(buffer);
            reads.push_back({n, seconds_since(start)});
        }
        co_return reads;
    };
    const std::vector<Timed> reads = h.run(reader());
    ASSERT_TRUE(reads[0].result && reads[1].result);
    EXPECT_EQ(*reads[0].result, 1024u);
    EXPECT_EQ(*reads[1].result, 1024u);
    EXPECT_LT(reads[0].secs, kShortMax);
    EXPECT_GE(reads[1].secs, 0.099);
}

TEST(BlackholeStreamTest, StallsItsSideAndCountsItOnce) {
    Harness h({blackhole(TrafficFlow::ToUpstream)});
    h.run(send_all(h.pair.client, bytes("ping")));
    std::vector<std::byte> buffer(16);
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto read = start_op(h.strand, h.stack->read(buffer));
        std::this_thread::sleep_for(100ms);
        EXPECT_FALSE(read->done.load());
        h.emit(Side::ToUpstream);
        ASSERT_TRUE(read->wait());
        ASSERT_FALSE(read->result->has_value());
        EXPECT_EQ(read->result->error(), asio::error::operation_aborted);
    }
    // Responses still reach the client.
    const Timed write = h.write("pong");
    ASSERT_TRUE(write.result);
    EXPECT_EQ(*write.result, 4u);

    EXPECT_EQ(h.conn.live->blackhole_activations.load(), 1u);
    EXPECT_EQ(h.conn.metrics->fault_record().blackhole_activations, 1u);
    EXPECT_TRUE(h.conn.metrics->impacted());

    // The client's data was left unread: the stream below still has it.
    h.stack = Bidirectional::peel(std::move(h.stack)).stream;
    const IoResult below = h.run(h.stack->read(buffer));
    ASSERT_TRUE(below.has_value());
    EXPECT_EQ(text(std::span(buffer).first(*below)), "ping");
    EXPECT_EQ(h.conn.metrics->bytes_to_upstream(), 4u);
}

TEST(BlackholeStreamTest, BothSidesCountTwice) {
    Harness h({blackhole(TrafficFlow::Both)});
    h.run(send_all(h.pair.client, bytes("ping")));
    std::vector<std::byte> buffer(16);
    auto read = start_op(h.strand, h.stack->read(buffer));
    auto write = start_op(h.strand, h.stack->write(bytes("pong")));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(read->done.load());
    EXPECT_FALSE(write->done.load());
    h.emit(Side::ToUpstream);
    h.emit(Side::ToClient);
    ASSERT_TRUE(read->wait());
    ASSERT_TRUE(write->wait());
    EXPECT_EQ(h.conn.live->blackhole_activations.load(), 2u);
    EXPECT_EQ(h.conn.metrics->fault_record().blackhole_activations, 2u);
    EXPECT_EQ(h.conn.metrics->bytes_to_client(), 0u);
}

TEST(ConnectionResetStreamTest, ResetsThePeerInsteadOfClosing) {
    for (TrafficFlow flow : {TrafficFlow::ToUpstream, TrafficFlow::ToClient}) {
        SCOPED_TRACE(model::tag(flow));
        Harness h({connection_reset(flow, 1)});
        const bool on_read = flow == TrafficFlow::ToUpstream;

        const Timed read = h.read("request");
        const Timed write = on_read ? Timed{} : h.write("response");
        const IoResult& fired = on_read ? read.result : write.result;
        if (!on_read) {
            EXPECT_TRUE(read.result.has_value());
        }
        ASSERT_FALSE(fired.has_value());
        EXPECT_EQ(fired.error(), std::errc::connection_reset);
        EXPECT_EQ(fired.error(), StreamErrc::fault_reset);
        EXPECT_STREQ(fired.error().category().name(), "ostrel.stream");
        EXPECT_EQ(fired.error().message(), "connection reset by fault injection");

        // Nothing was relayed by the side that fired; closing the armed socket aborts.
        if (on_read) {
            EXPECT_EQ(h.conn.metrics->bytes_to_upstream(), 0u);
        }
        EXPECT_EQ(h.conn.metrics->bytes_to_client(), 0u);
        h.close();
        std::string received;
        const std::error_code seen = h.run(read_outcome(h.pair.client, &received));
        EXPECT_EQ(seen, asio::error::connection_reset);
        EXPECT_EQ(received, "");

        EXPECT_EQ(h.conn.live->connection_resets.load(), 1u);
        EXPECT_EQ(h.conn.metrics->fault_record().connection_resets, 1u);
        EXPECT_TRUE(h.conn.metrics->impacted());
    }
}

TEST(ConnectionResetStreamTest, ProbabilityZeroNeverResets) {
    Harness h({connection_reset(TrafficFlow::Both, 0)});
    ASSERT_TRUE(h.read("request").result.has_value());
    ASSERT_TRUE(h.write("response").result.has_value());
    h.close();
    const std::error_code seen = h.run(read_outcome(h.pair.client, nullptr));
    EXPECT_EQ(seen, asio::error::eof);
    EXPECT_EQ(h.conn.live->connection_resets.load(), 0u);
    EXPECT_FALSE(h.conn.metrics->impacted());
}

TEST(FaultLayerTest, EmptyBuffersPassThrough) {
    const std::vector<std::vector<model::FaultSpec>> stacks = {
        {latency(TrafficFlow::Both, 1000, 1000)},
        {bandwidth(TrafficFlow::Both, 1)},
        {blackhole(TrafficFlow::Both)},
        {connection_reset(TrafficFlow::Both, 1)},
    };
    for (const auto& specs : stacks) {
        SCOPED_TRACE(model::debug(specs[0]));
        Harness h(specs);
        const Timed read = h.read("", 0);
        const Timed write = h.write("");
        ASSERT_TRUE(read.result && write.result);
        EXPECT_EQ(*read.result, 0u);
        EXPECT_EQ(*write.result, 0u);
        EXPECT_LT(read.secs, kShortMax);
        EXPECT_LT(write.secs, kShortMax);
        EXPECT_FALSE(h.conn.metrics->impacted());
    }
}

TEST(FaultLayerTest, FirstFaultIsOutermost) {
    const model::FaultSpec delay = latency(TrafficFlow::ToClient, 10, 10);
    const model::FaultSpec pace = bandwidth(TrafficFlow::ToClient, 1000);
    Harness h({delay, pace});
    Bidirectional* top = h.stack.get();
    EXPECT_NE(dynamic_cast<LatencyStream*>(top), nullptr);
    auto inner = Bidirectional::peel(std::move(h.stack));
    EXPECT_FALSE(inner.base);
    EXPECT_NE(dynamic_cast<BandwidthStream*>(inner.stream.get()), nullptr);
    auto base = Bidirectional::peel(std::move(inner.stream));
    EXPECT_FALSE(base.base);
    EXPECT_NE(dynamic_cast<ObservedStream*>(base.stream.get()), nullptr);
    EXPECT_TRUE(Bidirectional::peel(std::move(base.stream)).base);

    Harness reversed({pace, delay});
    EXPECT_NE(dynamic_cast<BandwidthStream*>(reversed.stack.get()), nullptr);
}

TEST(FaultLayerTest, OuterFaultActsBeforeInnerOne) {
    {
        // A blackhole outside a reset: the write stalls and never reaches the reset.
        Harness h({blackhole(TrafficFlow::ToClient), connection_reset(TrafficFlow::ToClient, 1)});
        auto write = start_op(h.strand, h.stack->write(bytes("response")));
        std::this_thread::sleep_for(100ms);
        EXPECT_FALSE(write->done.load());
        h.emit(Side::ToClient);
        ASSERT_TRUE(write->wait());
        EXPECT_EQ(h.conn.live->connection_resets.load(), 0u);
        EXPECT_EQ(h.conn.live->blackhole_activations.load(), 1u);
    }
    {
        Harness h({connection_reset(TrafficFlow::ToClient, 1), blackhole(TrafficFlow::ToClient)});
        const Timed write = h.write("response");
        ASSERT_FALSE(write.result.has_value());
        EXPECT_EQ(write.result.error(), std::errc::connection_reset);
        EXPECT_EQ(h.conn.live->connection_resets.load(), 1u);
        EXPECT_EQ(h.conn.live->blackhole_activations.load(), 0u);
    }
}

TEST(FaultLayerTest, VectoredWriteSendsTheFirstNonEmptySlice) {
    Harness h({});
    const std::span<const std::byte> slices[] = {{}, bytes("ab"), bytes("cd")};
    const IoResult n = h.run(h.stack->write_vectored(slices));
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(*n, 2u);
    EXPECT_EQ(h.run(receive_exactly(h.pair.client, 2)), "ab");

    const std::span<const std::byte> empty[] = {{}, {}};
    const IoResult none = h.run(h.stack->write_vectored(empty));
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(*none, 0u);
    EXPECT_EQ(h.conn.metrics->bytes_to_client(), 2u);
}

}  // namespace
}  // namespace ostrel::engine
