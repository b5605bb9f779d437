#include "ostrel-engine/rt/sync.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <exception>
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

// Runs everything that is ready now, without blocking.
void settle(asio::io_context& ctx) {
    ctx.restart();
    ctx.poll();
}

// Runs until no work is left, bounded in time.
void drain(asio::io_context& ctx) {
    ctx.restart();
    ctx.run_for(10s);
}

TEST(AsyncMutex, WaitersAreServedInArrivalOrder) {
    asio::io_context ctx;
    AsyncMutex mutex;
    auto held = mutex.try_lock();
    ASSERT_TRUE(held.has_value());
    EXPECT_FALSE(mutex.try_lock().has_value());

    std::vector<int> order;
    for (int i = 0; i < 5; ++i) {
        asio::co_spawn(
            ctx,
            [&, i]() -> asio::awaitable<void> {
                auto guard = co_await mutex.lock();
                order.push_back(i);
                // Hold the lock across a suspension: the next waiter must still wait.
                co_await asio::post(ctx, asio::use_awaitable);
            },
            asio::detached);
        settle(ctx);  // each waiter is queued before the next one arrives
    }
    EXPECT_TRUE(order.empty());

    held->unlock();
    EXPECT_FALSE(held->owns_lock());
    // A lock being handed on cannot be taken by try_lock in between.
    EXPECT_FALSE(mutex.try_lock().has_value());
    drain(ctx);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(mutex.try_lock().has_value());
}

// A waiter cancelled while queued never gets the lock and the next waiter does. The second case
// cancels after the lock was already handed to the waiter but before it resumed: the lock must
// move on, not leak.
TEST(AsyncMutex, CancelledWaiterLeavesTheQueue) {
    for (bool cancel_after_handoff : {false, true}) {
        SCOPED_TRACE(cancel_after_handoff ? "cancelled after handoff" : "cancelled while queued");
        asio::io_context ctx;
        AsyncMutex mutex;
        auto held = mutex.try_lock();
        ASSERT_TRUE(held.has_value());

        asio::cancellation_signal signal;
        bool first_locked = false, second_locked = false;
        std::exception_ptr first_error;
        bool first_done = false;
        asio::co_spawn(
            ctx,
            [&]() -> asio::awaitable<void> {
                auto guard = co_await mutex.lock();
                first_locked = true;
            },
            asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) {
                first_done = true;
                first_error = e;
            }));
        settle(ctx);
        asio::co_spawn(
            ctx,
            [&]() -> asio::awaitable<void> {
                auto guard = co_await mutex.lock();
                second_locked = true;
            },
            asio::detached);
        settle(ctx);

        if (cancel_after_handoff) {
            held->unlock();  // posts the handoff to the first waiter; nothing has run yet
            signal.emit(asio::cancellation_type::terminal);
        } else {
            signal.emit(asio::cancellation_type::terminal);
            settle(ctx);
            EXPECT_TRUE(first_done);
            EXPECT_FALSE(second_locked);
            held->unlock();
        }
        drain(ctx);

        EXPECT_TRUE(first_done);
        EXPECT_TRUE(is_aborted(first_error));
        EXPECT_FALSE(first_locked);
        EXPECT_TRUE(second_locked);
        EXPECT_TRUE(mutex.try_lock().has_value());
    }
}

TEST(AsyncMutex, LockLosingARaceDoesNotTakeTheLock) {
    asio::io_context ctx;
    AsyncMutex mutex;
    auto held = mutex.try_lock();
    ASSERT_TRUE(held.has_value());

    int winner = -1;
    bool other_locked = false;
    asio::co_spawn(
        ctx,
        [&]() -> asio::awaitable<void> {
            asio::steady_timer timer(ctx, 20ms);
            auto result = co_await (mutex.lock() || timer.async_wait(asio::use_awaitable));
            winner = static_cast<int>(result.index());
            // Locking again afterwards queues normally.
            asio::co_spawn(
                ctx,
                [&]() -> asio::awaitable<void> {
                    auto guard = co_await mutex.lock();
                    other_locked = true;
                },
                asio::detached);
            co_await asio::post(ctx, asio::use_awaitable);
            held->unlock();
        },
        asio::detached);
    drain(ctx);
    EXPECT_EQ(winner, 1);
    EXPECT_TRUE(other_locked);
    EXPECT_TRUE(mutex.try_lock().has_value());
}

TEST(AsyncMutex, ProtectsStateAcrossSuspensionsOnManyThreads) {
    constexpr int kWorkers = 8;
    constexpr int kRounds = 300;
    asio::io_context ctx;
    AsyncMutex mutex;
    long counter = 0;  // deliberately not atomic: only the mutex orders the accesses
    int holders = 0;
    bool overlapped = false;
    for (int w = 0; w < kWorkers; ++w) {
        auto strand = asio::make_strand(ctx);
        asio::co_spawn(
            strand,
            [&, strand]() -> asio::awaitable<void> {
                for (int r = 0; r < kRounds; ++r) {
                    auto guard = co_await mutex.lock();
                    if (++holders != 1) overlapped = true;
                    long seen = counter;
                    co_await asio::post(strand, asio::use_awaitable);
                    counter = seen + 1;
                    --holders;
                }
            },
            asio::detached);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { ctx.run_for(30s); });
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, kWorkers * kRounds);
    EXPECT_TRUE(mutex.try_lock().has_value());
}

// Lockers give up after a short, varying time while others hold the lock across suspensions,
// so cancellations land before, during and after handoffs. A lock handed to a waiter that gave
// up must move on: at the end the mutex is free and nobody ever held it alongside another.
TEST(AsyncMutex, LockersGivingUpNeverLeakOrShareTheLock) {
    constexpr int kWorkers = 8;
    constexpr int kRounds = 200;
    asio::io_context ctx;
    AsyncMutex mutex;
    std::atomic<int> holders = 0;
    std::atomic<bool> overlapped = false;
    std::atomic<int> acquired = 0, gave_up = 0;
    for (int w = 0; w < kWorkers; ++w) {
        auto strand = asio::make_strand(ctx);
        asio::co_spawn(
            strand,
            [&, strand, w]() -> asio::awaitable<void> {
                asio::steady_timer timer(strand);
                for (int r = 0; r < kRounds; ++r) {
                    timer.expires_after(std::chrono::microseconds((w * 7 + r * 13) % 50));
                    auto result = co_await (mutex.lock() || timer.async_wait(asio::use_awaitable));
                    if (result.index() == 1) {
                        ++gave_up;
                        continue;
                    }
                    ++acquired;
                    if (holders.fetch_add(1) != 0) overlapped = true;
                    co_await asio::post(strand, asio::use_awaitable);
                    holders.fetch_sub(1);
                }
            },
            asio::detached);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { ctx.run_for(30s); });
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(acquired + gave_up, kWorkers * kRounds);
    EXPECT_GT(acquired, 0);
    EXPECT_TRUE(mutex.try_lock().has_value());
}

TEST(AsyncMutex, MovedGuardUnlocksOnce) {
    AsyncMutex a, b;
    auto guard = a.try_lock();
    ASSERT_TRUE(guard.has_value());
    AsyncMutex::Guard moved = std::move(*guard);
    EXPECT_FALSE(guard->owns_lock());
    EXPECT_TRUE(moved.owns_lock());
    guard.reset();  // the moved-from guard must not release the lock
    EXPECT_FALSE(a.try_lock().has_value());

    // Assigning over a guard releases what it held.
    auto other = b.try_lock();
    ASSERT_TRUE(other.has_value());
    moved = std::move(*other);
    EXPECT_TRUE(a.try_lock().has_value());
    EXPECT_FALSE(b.try_lock().has_value());
}

TEST(Semaphore, PermitsAreCountedAndGivenBack) {
    auto semaphore = Semaphore::create(1);
    EXPECT_EQ(semaphore->available(), 1u);

    auto first = semaphore->try_acquire();
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(semaphore->try_acquire().has_value());
    EXPECT_EQ(semaphore->available(), 0u);

    first->release();
    EXPECT_EQ(semaphore->available(), 1u);
    first->release();  // a released permit gives nothing back twice
    EXPECT_EQ(semaphore->available(), 1u);

    auto second = semaphore->try_acquire();
    ASSERT_TRUE(second.has_value());
    semaphore->close();
    second.reset();  // a permit held across close is still given back
    EXPECT_EQ(semaphore->available(), 1u);
    EXPECT_FALSE(semaphore->try_acquire().has_value());
}

TEST(Semaphore, PermitKeepsTheSemaphoreAlive) {
    auto semaphore = Semaphore::create(2);
    auto permit = semaphore->try_acquire();
    ASSERT_TRUE(permit.has_value());
    std::weak_ptr<Semaphore> weak = semaphore;
    semaphore.reset();
    EXPECT_FALSE(weak.expired());
    permit.reset();
    EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace ostrel::engine::rt
