#include "ostrel-engine/rt/queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace ostrel::engine::rt {
namespace {

using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;

bool is_aborted(std::exception_ptr error) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        return e.code() == asio::error::operation_aborted;
    } catch (...) {
        return false;
    }
}

void settle(asio::io_context& ctx) {
    ctx.restart();
    ctx.poll();
}

void drain(asio::io_context& ctx) {
    ctx.restart();
    ctx.run_for(10s);
}

TEST(Queue, SendWaitsWhileFullAndResumesWhenTheReceiverTakesOne) {
    asio::io_context ctx;
    auto [tx, rx] = make_queue<int>(2);
    int sent = 0;
    bool done = false;
    asio::co_spawn(
        ctx,
        [&, tx = std::move(tx)]() mutable -> asio::awaitable<void> {
            for (int i = 0; i < 4; ++i) {
                EXPECT_TRUE(co_await tx.send(i));
                ++sent;
            }
            done = true;
        },
        asio::detached);
    settle(ctx);
    EXPECT_EQ(sent, 2);

    EXPECT_EQ(rx.try_receive(), 0);
    settle(ctx);
    EXPECT_EQ(sent, 3);
    EXPECT_EQ(rx.try_receive(), 1);
    settle(ctx);
    EXPECT_TRUE(done);

    EXPECT_EQ(rx.try_receive(), 2);
    EXPECT_EQ(rx.try_receive(), 3);
    EXPECT_EQ(rx.try_receive(), std::nullopt);
}

TEST(Queue, TrySendReportsFullAndClosed) {
    auto [tx, rx] = make_queue<std::string>(1);
    EXPECT_FALSE(tx.is_closed());
    EXPECT_EQ(tx.try_send("a"), TrySend::Sent);
    EXPECT_EQ(tx.try_send("b"), TrySend::Full);
    EXPECT_EQ(rx.try_receive(), "a");
    EXPECT_EQ(tx.try_send("c"), TrySend::Sent);

    { auto gone = std::move(rx); }
    EXPECT_TRUE(tx.is_closed());
    EXPECT_EQ(tx.try_send("d"), TrySend::Closed);
}

// The capacity only bounds the queue; nothing proportional to it is allocated.
TEST(Queue, HugeCapacityIsALimitNotAReservation) {
    auto [tx, rx] = make_queue<int>(size_t{1} << 63);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(tx.try_send(i), TrySend::Sent);
    EXPECT_EQ(rx.try_receive(), 0);
}

TEST(QueueDeathTest, ZeroCapacityIsRefused) {
#ifdef NDEBUG
    GTEST_SKIP() << "assertions are compiled out";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(make_queue<int>(0), "room for at least one value");
#endif
}

TEST(Queue, QueuedValuesOutliveTheSendersThenNone) {
    asio::io_context ctx;
    auto [tx, rx] = make_queue<int>(8);
    {
        auto copy = tx;
        EXPECT_EQ(tx.try_send(1), TrySend::Sent);
        EXPECT_EQ(copy.try_send(2), TrySend::Sent);
        auto moved = std::move(tx);
        EXPECT_EQ(moved.try_send(3), TrySend::Sent);
    }
    std::vector<std::optional<int>> received;
    asio::co_spawn(
        ctx,
        [&]() -> asio::awaitable<void> {
            for (int i = 0; i < 5; ++i) received.push_back(co_await rx.receive());
        },
        asio::detached);
    drain(ctx);
    EXPECT_EQ(received, (std::vector<std::optional<int>>{1, 2, 3, std::nullopt, std::nullopt}));
}

TEST(Queue, LastSenderGoneWakesAWaitingReceiver) {
    asio::io_context ctx;
    auto [tx, rx] = make_queue<int>(4);
    auto copy = tx;
    bool finished = false;
    asio::co_spawn(
        ctx,
        [&]() -> asio::awaitable<void> {
            EXPECT_EQ(co_await rx.receive(), 5);
            EXPECT_EQ(co_await rx.receive(), std::nullopt);
            finished = true;
        },
        asio::detached);
    settle(ctx);
    EXPECT_EQ(copy.try_send(5), TrySend::Sent);
    settle(ctx);
    { auto gone = std::move(tx); }
    settle(ctx);
    EXPECT_FALSE(finished);  // one sender is still there
    { auto gone = std::move(copy); }
    settle(ctx);
    EXPECT_TRUE(finished);
}

TEST(Queue, ReceiverGoneFailsWaitingAndLaterSends) {
    asio::io_context ctx;
    auto [tx, rx] = make_queue<std::shared_ptr<int>>(1);
    auto value = std::make_shared<int>(7);
    std::weak_ptr<int> watch = value;
    ASSERT_EQ(tx.try_send(std::move(value)), TrySend::Sent);

    std::vector<bool> results;
    asio::co_spawn(
        ctx,
        [&]() -> asio::awaitable<void> {
            results.push_back(co_await tx.send(std::make_shared<int>(8)));
            results.push_back(co_await tx.send(std::make_shared<int>(9)));
        },
        asio::detached);
    settle(ctx);
    EXPECT_TRUE(results.empty());

    { auto gone = std::move(rx); }
    EXPECT_TRUE(watch.expired());  // queued values go with the receiver
    drain(ctx);
    EXPECT_EQ(results, (std::vector<bool>{false, false}));
}

TEST(Queue, WaitingSendersAreServedInArrivalOrder) {
    asio::io_context ctx;
    auto [tx, rx] = make_queue<int>(1);
    ASSERT_EQ(tx.try_send(0), TrySend::Sent);
    for (int i = 1; i <= 4; ++i) {
        asio::co_spawn(
            ctx, [&, i]() -> asio::awaitable<void> { co_await tx.send(i); }, asio::detached);
        settle(ctx);
    }
    // A sender arriving while others wait does not overtake them.
    EXPECT_EQ(tx.try_send(99), TrySend::Full);

    std::vector<int> received;
    asio::co_spawn(
        ctx,
        [&]() -> asio::awaitable<void> {
            for (int i = 0; i < 5; ++i) received.push_back(*co_await rx.receive());
        },
        asio::detached);
    drain(ctx);
    EXPECT_EQ(received, (std::vector<int>{0, 1, 2, 3, 4}));
}

// Cancellation either while the operation waits or after it was woken but before it resumed.
struct CancelCase {
    const char* name;
    bool after_wake;
};
const CancelCase kCancelCases[] = {{"while waiting", false}, {"after wake-up", true}};

TEST(Queue, CancelledReceiveTakesNothing) {
    for (const auto& c : kCancelCases) {
        SCOPED_TRACE(c.name);
        asio::io_context ctx;
        auto [tx, rx] = make_queue<int>(4);
        asio::cancellation_signal signal;
        std::exception_ptr error;
        bool done = false;
        std::optional<int> got;
        asio::co_spawn(
            ctx, [&]() -> asio::awaitable<void> { got = co_await rx.receive(); },
            asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) {
                done = true;
                error = e;
            }));
        settle(ctx);
        if (c.after_wake) {
            ASSERT_EQ(tx.try_send(7), TrySend::Sent);
            signal.emit(asio::cancellation_type::terminal);
        } else {
            signal.emit(asio::cancellation_type::terminal);
            settle(ctx);
            ASSERT_EQ(tx.try_send(7), TrySend::Sent);
        }
        drain(ctx);
        EXPECT_TRUE(done);
        EXPECT_TRUE(is_aborted(error));
        EXPECT_EQ(got, std::nullopt);
        EXPECT_EQ(rx.try_receive(), 7);
    }
}

TEST(Queue, ReceiveLosingARaceLeavesTheValueQueued) {
    asio::io_context ctx;
    auto [tx, rx] = make_queue<int>(4);
    std::optional<int> later;
    asio::co_spawn(
        ctx,
        [&]() -> asio::awaitable<void> {
            asio::steady_timer timer(ctx, 10ms);
            auto first = co_await (rx.receive() || timer.async_wait(asio::use_awaitable));
            EXPECT_EQ(first.index(), 1u);
            EXPECT_EQ(tx.try_send(3), TrySend::Sent);
            later = co_await rx.receive();
        },
        asio::detached);
    drain(ctx);
    EXPECT_EQ(later, 3);
}

// A cancelled sender's value is not enqueued, and a slot freed for it goes to the next sender.
TEST(Queue, CancelledSendWithdrawsTheValue) {
    for (const auto& c : kCancelCases) {
        SCOPED_TRACE(c.name);
        asio::io_context ctx;
        auto [tx, rx] = make_queue<int>(1);
        ASSERT_EQ(tx.try_send(1), TrySend::Sent);
        asio::cancellation_signal signal;
        std::exception_ptr error;
        bool cancelled_done = false;
        std::optional<bool> next_result;
        asio::co_spawn(
            ctx, [&]() -> asio::awaitable<void> { co_await tx.send(2); },
            asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) {
                cancelled_done = true;
                error = e;
            }));
        settle(ctx);
        asio::co_spawn(
            ctx, [&]() -> asio::awaitable<void> { next_result = co_await tx.send(3); },
            asio::detached);
        settle(ctx);

        if (c.after_wake) {
            EXPECT_EQ(rx.try_receive(), 1);  // frees a slot for the first waiting sender
            signal.emit(asio::cancellation_type::terminal);
        } else {
            signal.emit(asio::cancellation_type::terminal);
            settle(ctx);
            EXPECT_EQ(rx.try_receive(), 1);
        }
        drain(ctx);
        EXPECT_TRUE(cancelled_done);
        EXPECT_TRUE(is_aborted(error));
        EXPECT_EQ(next_result, true);
        EXPECT_EQ(rx.try_receive(), 3);
        EXPECT_EQ(rx.try_receive(), std::nullopt);
        EXPECT_EQ(tx.try_send(4), TrySend::Sent);  // no slot stayed reserved
    }
}

TEST(Queue, ManyProducersOnManyThreadsDeliverEveryItemOnce) {
    constexpr int kProducers = 8;
    constexpr int kPerProducer = 12'500;  // 100k in all
    asio::io_context ctx;
    auto [tx, rx] = make_queue<std::pair<int, int>>(64);

    std::vector<int> next_expected(kProducers, 0);
    int received = 0;
    bool out_of_order = false;
    bool ended = false;
    asio::co_spawn(
        asio::make_strand(ctx),
        [&]() -> asio::awaitable<void> {
            while (auto item = co_await rx.receive()) {
                auto [producer, seq] = *item;
                if (next_expected[producer] != seq) out_of_order = true;
                next_expected[producer] = seq + 1;
                ++received;
            }
            ended = true;
        },
        asio::detached);
    for (int p = 0; p < kProducers; ++p) {
        asio::co_spawn(
            asio::make_strand(ctx),
            [p, sender = tx]() mutable -> asio::awaitable<void> {
                for (int i = 0; i < kPerProducer; ++i) {
                    // Mix the waiting and the never-waiting paths.
                    if (i % 3 == 0 && sender.try_send({p, i}) == TrySend::Sent) continue;
                    if (!co_await sender.send({p, i})) co_return;
                }
            },
            asio::detached);
    }
    { auto gone = std::move(tx); }

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { ctx.run_for(60s); });
    for (auto& thread : threads) thread.join();

    EXPECT_TRUE(ended);
    EXPECT_FALSE(out_of_order);
    EXPECT_EQ(received, kProducers * kPerProducer);
    EXPECT_EQ(next_expected, std::vector<int>(kProducers, kPerProducer));
}

// Senders and the receiver both give up after short, varying times, so cancellations land
// before, during and after wake-ups. Exactly the values whose send reported true arrive.
TEST(Queue, SendersAndReceiverGivingUpLoseAndDuplicateNothing) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 2'000;
    asio::io_context ctx;
    auto [tx, rx] = make_queue<int>(4);

    std::vector<std::vector<int>> accepted(kProducers);
    std::vector<int> received;
    asio::co_spawn(
        asio::make_strand(ctx),
        [&]() -> asio::awaitable<void> {
            asio::steady_timer timer(co_await asio::this_coro::executor);
            for (int r = 0;; ++r) {
                timer.expires_after(std::chrono::microseconds(r % 40));
                auto result = co_await (rx.receive() || timer.async_wait(asio::use_awaitable));
                if (result.index() == 1) continue;
                auto& item = std::get<0>(result);
                if (!item) break;
                received.push_back(*item);
            }
        },
        asio::detached);
    for (int p = 0; p < kProducers; ++p) {
        asio::co_spawn(
            asio::make_strand(ctx),
            [&, p, sender = tx]() mutable -> asio::awaitable<void> {
                asio::steady_timer timer(co_await asio::this_coro::executor);
                for (int i = 0; i < kPerProducer; ++i) {
                    int value = p * kPerProducer + i;
                    timer.expires_after(std::chrono::microseconds((i * 7 + p) % 30));
                    auto result =
                        co_await (sender.send(value) || timer.async_wait(asio::use_awaitable));
                    if (result.index() == 0 && std::get<0>(result)) {
                        accepted[p].push_back(value);
                    }
                }
            },
            asio::detached);
    }
    { auto gone = std::move(tx); }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { ctx.run_for(60s); });
    for (auto& thread : threads) thread.join();

    std::vector<int> expected;
    for (const auto& values : accepted)
        expected.insert(expected.end(), values.begin(), values.end());
    std::sort(expected.begin(), expected.end());
    std::sort(received.begin(), received.end());
    EXPECT_FALSE(expected.empty());
    EXPECT_LT(expected.size(), size_t{kProducers * kPerProducer});  // some sends gave up
    EXPECT_EQ(received, expected);
}

}  // namespace
}  // namespace ostrel::engine::rt
