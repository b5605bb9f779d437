#include "ostrel-engine/rt/oneshot.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

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

TEST(OneShot, DeliversTheValueWhetherSentBeforeOrWhileWaiting) {
    for (bool send_first : {true, false}) {
        SCOPED_TRACE(send_first ? "sent before receive" : "sent while waiting");
        asio::io_context ctx;
        auto [tx, rx] = make_oneshot<std::string>();
        std::optional<std::optional<std::string>> got;
        if (send_first) {
            EXPECT_TRUE(tx.send("reply"));
        }
        asio::co_spawn(
            ctx, [&]() -> asio::awaitable<void> { got = co_await rx.receive(); }, asio::detached);
        settle(ctx);
        if (!send_first) {
            EXPECT_FALSE(got.has_value());
            EXPECT_TRUE(tx.send("reply"));
        }
        drain(ctx);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, "reply");
        EXPECT_FALSE(tx.send("again"));  // the sender is used up
    }
}

TEST(OneShot, SenderDroppedWithoutSendingGivesNone) {
    for (bool drop_first : {true, false}) {
        SCOPED_TRACE(drop_first ? "dropped before receive" : "dropped while waiting");
        asio::io_context ctx;
        auto [tx, rx] = make_oneshot<int>();
        std::optional<std::optional<int>> got;
        if (drop_first) {
            auto gone = std::move(tx);
        }
        asio::co_spawn(
            ctx, [&]() -> asio::awaitable<void> { got = co_await rx.receive(); }, asio::detached);
        settle(ctx);
        if (!drop_first) {
            EXPECT_FALSE(got.has_value());
            // Assigning over a live sender drops it, like destroying it.
            tx = OneShotSender<int>();
        }
        drain(ctx);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, std::nullopt);
    }
}

TEST(OneShot, SendFailsWhenTheReceiverIsGone) {
    auto [tx, rx] = make_oneshot<std::shared_ptr<int>>();
    { auto gone = std::move(rx); }
    auto value = std::make_shared<int>(1);
    std::weak_ptr<int> watch = value;
    EXPECT_FALSE(tx.send(std::move(value)));
    EXPECT_TRUE(watch.expired());
}

TEST(OneShot, ValueSentBeforeTheReceiverGoesIsReleasedWithIt) {
    auto [tx, rx] = make_oneshot<std::shared_ptr<int>>();
    auto value = std::make_shared<int>(1);
    std::weak_ptr<int> watch = value;
    EXPECT_TRUE(tx.send(std::move(value)));
    EXPECT_FALSE(watch.expired());
    rx = OneShotReceiver<std::shared_ptr<int>>();
    EXPECT_TRUE(watch.expired());
}

TEST(OneShot, CancelledReceiveLeavesTheValueForTheNextOne) {
    asio::io_context ctx;
    auto [tx, rx] = make_oneshot<int>();
    std::optional<int> later;
    asio::co_spawn(
        ctx,
        [&]() -> asio::awaitable<void> {
            asio::steady_timer timer(ctx, 10ms);
            auto first = co_await (rx.receive() || timer.async_wait(asio::use_awaitable));
            EXPECT_EQ(first.index(), 1u);
            EXPECT_TRUE(tx.send(42));
            later = co_await rx.receive();
        },
        asio::detached);
    drain(ctx);
    EXPECT_EQ(later, 42);
}

TEST(OneShot, SendFromAnotherThreadWakesTheReceiver) {
    asio::io_context ctx;
    auto [tx, rx] = make_oneshot<int>();
    std::optional<int> got;
    asio::co_spawn(
        ctx, [&]() -> asio::awaitable<void> { got = co_await rx.receive(); }, asio::detached);
    std::thread runner([&] { ctx.run_for(10s); });
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(tx.send(9));
    runner.join();
    EXPECT_EQ(got, 9);
}

}  // namespace
}  // namespace ostrel::engine::rt
