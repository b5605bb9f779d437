#include "ostrel-engine/rt/broadcast.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::engine::rt {
namespace {

using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;

void settle(asio::io_context& ctx) {
    ctx.restart();
    ctx.poll();
}

void drain(asio::io_context& ctx) {
    ctx.restart();
    ctx.run_for(10s);
}

// Readable form of a result, so that whole sequences compare in one assertion.
template <typename T>
std::string describe(const BroadcastResult<T>& result) {
    if (const T* value = std::get_if<0>(&result)) return std::to_string(*value);
    if (const Lagged* lagged = std::get_if<Lagged>(&result)) {
        return "lagged " + std::to_string(lagged->missed);
    }
    return "closed";
}

// Receives `count` results without waiting on anything else.
std::vector<std::string> receive_n(BroadcastReceiver<int>& rx, int count) {
    asio::io_context ctx;
    std::vector<std::string> out;
    asio::co_spawn(
        ctx,
        [&]() -> asio::awaitable<void> {
            for (int i = 0; i < count; ++i) out.push_back(describe(co_await rx.receive()));
        },
        asio::detached);
    ctx.run_for(10s);
    return out;
}

using Strings = std::vector<std::string>;

TEST(Broadcast, EverySubscriberSeesEveryMessageInOrder) {
    auto tx = make_broadcast<int>(8);
    auto a = tx.subscribe();
    auto b = tx.subscribe();
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(tx.send(i), 2u);
    EXPECT_EQ(receive_n(a, 3), (Strings{"1", "2", "3"}));
    EXPECT_EQ(receive_n(b, 2), (Strings{"1", "2"}));
    EXPECT_EQ(tx.send(4), 2u);
    EXPECT_EQ(receive_n(b, 2), (Strings{"3", "4"}));
    EXPECT_EQ(receive_n(a, 1), (Strings{"4"}));
}

TEST(Broadcast, SendWithoutSubscribersReachesNobody) {
    auto tx = make_broadcast<int>(2);
    EXPECT_EQ(tx.send(1), 0u);
    {
        auto gone = tx.subscribe();
        EXPECT_EQ(tx.send(2), 1u);
    }
    EXPECT_EQ(tx.send(3), 0u);
}

// A receiver that fell behind learns exactly how many messages were overwritten, once, then
// continues with the oldest message still held.
TEST(Broadcast, LaggingReceiverLearnsHowManyItMissed) {
    struct Case {
        size_t capacity;
        int sent;
        Strings expected;
    };
    const Case cases[] = {
        {4, 4, {"0", "1", "2", "3"}},
        {4, 5, {"lagged 1", "1", "2", "3", "4"}},
        {4, 10, {"lagged 6", "6", "7", "8", "9"}},
        {1, 3, {"lagged 2", "2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "capacity " << c.capacity << ", sent " << c.sent);
        auto tx = make_broadcast<int>(c.capacity);
        auto rx = tx.subscribe();
        for (int i = 0; i < c.sent; ++i) tx.send(i);
        EXPECT_EQ(receive_n(rx, static_cast<int>(c.expected.size())), c.expected);
        tx.send(100);
        EXPECT_EQ(receive_n(rx, 1), (Strings{"100"}));
    }
}

TEST(Broadcast, LagIsCountedFromWhereTheReceiverStopped) {
    auto tx = make_broadcast<int>(2);
    auto rx = tx.subscribe();
    tx.send(0);
    tx.send(1);
    EXPECT_EQ(receive_n(rx, 1), (Strings{"0"}));
    for (int i = 2; i < 6; ++i) tx.send(i);  // 1, 2, 3 overwritten; 4, 5 held
    EXPECT_EQ(receive_n(rx, 3), (Strings{"lagged 3", "4", "5"}));
}

TEST(Broadcast, LateSubscriberSeesOnlyLaterMessages) {
    auto tx = make_broadcast<int>(4);
    auto early = tx.subscribe();
    tx.send(1);
    tx.send(2);
    auto late = tx.subscribe();
    tx.send(3);
    EXPECT_EQ(receive_n(late, 1), (Strings{"3"}));
    EXPECT_EQ(receive_n(early, 3), (Strings{"1", "2", "3"}));
}

TEST(Broadcast, ClosedOnceSendersAreGoneAndEverythingIsRead) {
    auto tx = make_broadcast<int>(4);
    auto rx = tx.subscribe();
    auto copy = tx;
    tx.send(1);
    copy.send(2);
    { auto gone = std::move(tx); }
    copy.send(3);
    { auto gone = std::move(copy); }
    EXPECT_EQ(receive_n(rx, 5), (Strings{"1", "2", "3", "closed", "closed"}));
}

TEST(Broadcast, WaitingReceiversWakeOnSendAndOnClose) {
    asio::io_context ctx;
    auto tx = make_broadcast<int>(4);
    auto a = tx.subscribe();
    auto b = tx.subscribe();
    Strings seen_a, seen_b;
    auto reader = [&](BroadcastReceiver<int>& rx, Strings& seen) {
        asio::co_spawn(
            ctx,
            [&]() -> asio::awaitable<void> {
                for (;;) {
                    auto result = co_await rx.receive();
                    seen.push_back(describe(result));
                    if (std::holds_alternative<Closed>(result)) break;
                }
            },
            asio::detached);
    };
    reader(a, seen_a);
    reader(b, seen_b);
    settle(ctx);
    EXPECT_TRUE(seen_a.empty());

    tx.send(7);
    settle(ctx);
    EXPECT_EQ(seen_a, (Strings{"7"}));
    EXPECT_EQ(seen_b, (Strings{"7"}));

    { auto gone = std::move(tx); }
    drain(ctx);
    EXPECT_EQ(seen_a, (Strings{"7", "closed"}));
    EXPECT_EQ(seen_b, (Strings{"7", "closed"}));
}

TEST(Broadcast, CancelledReceiveKeepsItsPlace) {
    asio::io_context ctx;
    auto tx = make_broadcast<int>(4);
    auto rx = tx.subscribe();
    Strings seen;
    asio::co_spawn(
        ctx,
        [&]() -> asio::awaitable<void> {
            asio::steady_timer timer(ctx, 10ms);
            auto first = co_await (rx.receive() || timer.async_wait(asio::use_awaitable));
            // The operator flattens the receive's variant: the timer is the last alternative.
            EXPECT_TRUE(std::holds_alternative<std::monostate>(first));
            tx.send(5);
            seen.push_back(describe(co_await rx.receive()));
        },
        asio::detached);
    drain(ctx);
    EXPECT_EQ(seen, (Strings{"5"}));
}

TEST(Broadcast, ConcurrentSendersAndReceiversOnManyThreads) {
    constexpr int kSenders = 4;
    constexpr int kPerSender = 2'000;
    asio::io_context ctx;
    auto tx = make_broadcast<int>(16);
    std::vector<BroadcastReceiver<int>> receivers;
    for (int r = 0; r < 3; ++r) receivers.push_back(tx.subscribe());

    // Every message is either seen or counted as missed, exactly once per receiver.
    std::vector<uint64_t> accounted(receivers.size(), 0);
    for (size_t r = 0; r < receivers.size(); ++r) {
        asio::co_spawn(
            asio::make_strand(ctx),
            [&, r]() -> asio::awaitable<void> {
                for (;;) {
                    auto result = co_await receivers[r].receive();
                    if (std::holds_alternative<Closed>(result)) break;
                    if (auto* lagged = std::get_if<Lagged>(&result)) {
                        accounted[r] += lagged->missed;
                    } else {
                        ++accounted[r];
                    }
                }
            },
            asio::detached);
    }
    for (int s = 0; s < kSenders; ++s) {
        asio::co_spawn(
            asio::make_strand(ctx),
            [sender = tx]() mutable -> asio::awaitable<void> {
                for (int i = 0; i < kPerSender; ++i) {
                    sender.send(i);
                    if (i % 64 == 0) co_await asio::post(asio::use_awaitable);
                }
            },
            asio::detached);
    }
    { auto gone = std::move(tx); }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { ctx.run_for(30s); });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(accounted, std::vector<uint64_t>(receivers.size(), kSenders * kPerSender));
}

}  // namespace
}  // namespace ostrel::engine::rt
