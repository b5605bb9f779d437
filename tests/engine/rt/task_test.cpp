#include "ostrel-engine/rt/task.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ostrel-engine/rt/cancellation.hpp"
#include "ostrel-engine/rt/runtime.hpp"

namespace ostrel::engine::rt {
namespace {

using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;
using Kind = TaskFailure::Kind;

constexpr auto kLimit = 10s;

template <typename T>
T run_on(Runtime& runtime, asio::awaitable<T> body) {
    auto future =
        asio::co_spawn(asio::make_strand(runtime.executor()), std::move(body), asio::use_future);
    if (future.wait_for(kLimit) != std::future_status::ready) {
        ADD_FAILURE() << "coroutine did not finish in time";
        std::abort();
    }
    return future.get();
}

template <typename T>
TaskResult<T> join(Runtime& runtime, Task<T> task) {
    return run_on(runtime, task.join());
}

template <typename Predicate>
bool eventually(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

TEST(TaskFailure, Texts) {
    struct Case {
        TaskFailure failure;
        const char* text;
    };
    const Case cases[] = {
        {{Kind::Aborted, "accept database", ""}, "task accept database was cancelled"},
        {{Kind::Crashed, "accept database", "bad file descriptor"},
         "task accept database panicked: bad file descriptor"},
        {{Kind::Crashed, "relay", ""}, "task relay panicked: "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.failure.text(), c.text);
    }
}

TEST(Task, ReturnsItsValue) {
    Runtime runtime(2);
    auto task = Task<int>::spawn(
        runtime.executor(),
        []() -> asio::awaitable<int> {
            co_await sleep_for(1ms);
            co_return 42;
        }(),
        "answer");
    auto result = join(runtime, task);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, 42);
    EXPECT_TRUE(task.is_finished());
}

TEST(Task, VoidTaskAndMoveOnlyValue) {
    Runtime runtime(2);
    bool ran = false;
    auto plain = Task<void>::spawn(
        runtime.executor(),
        [](bool& ran) -> asio::awaitable<void> {
            co_await sleep_for(1ms);
            ran = true;
        }(ran),
        "plain");
    EXPECT_TRUE(join(runtime, plain).has_value());
    EXPECT_TRUE(ran);

    auto boxed = Task<std::unique_ptr<int>>::spawn(
        runtime.executor(),
        []() -> asio::awaitable<std::unique_ptr<int>> { co_return std::make_unique<int>(5); }(),
        "boxed");
    auto result = run_on(runtime, [&]() -> asio::awaitable<int> {
        auto r = co_await boxed.join();
        co_return r.has_value() && *r ? **r : -1;
    }());
    EXPECT_EQ(result, 5);
}

TEST(Task, ReportsCrashWithExceptionText) {
    Runtime runtime(2);
    struct Case {
        const char* name;
        std::function<asio::awaitable<int>()> body;
        const char* text;
    };
    const Case cases[] = {
        {"parser",
         []() -> asio::awaitable<int> {
             co_await sleep_for(1ms);
             throw std::runtime_error("unexpected end of input");
         },
         "task parser panicked: unexpected end of input"},
        {"early",
         []() -> asio::awaitable<int> {
             throw std::logic_error("before any wait");
             co_return 0;
         },
         "task early panicked: before any wait"},
        {"odd",
         []() -> asio::awaitable<int> {
             throw 17;
             co_return 0;
         },
         "task odd panicked: unknown exception"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto result = join(runtime, Task<int>::spawn(runtime.executor(), c.body(), c.name));
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, Kind::Crashed);
        EXPECT_EQ(result.error().task, c.name);
        EXPECT_EQ(result.error().text(), c.text);
    }
}

// A task blocked in any kind of wait stops soon after abort and reports that it was
// cancelled, releasing what it holds.
TEST(Task, AbortStopsBlockedTask) {
    Runtime runtime(2);
    CancellationToken never;
    struct Case {
        const char* name;
        std::function<asio::awaitable<void>()> wait;
    };
    const Case cases[] = {
        {"timer", [] { return sleep_for(1h); }},
        {"stall", [] { return async_stall(asio::use_awaitable); }},
        {"token", [never] { return never.cancelled(); }},
        {"token with tuple",
         [never]() -> asio::awaitable<void> {
             // The wait itself swallows the error; the next co_await still stops the task.
             auto [error] = co_await never.async_wait(use_tuple);
             EXPECT_EQ(error, asio::error::operation_aborted);
             co_await sleep_for(1h);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto held = std::make_shared<int>(0);
        std::atomic<bool> waiting{false};
        auto task = Task<int>::spawn(
            runtime.executor(),
            [](std::shared_ptr<int> held, const Case& c,
               std::atomic<bool>& waiting) -> asio::awaitable<int> {
                waiting = true;
                co_await c.wait();
                co_return *held;
            }(held, c, waiting),
            c.name);
        ASSERT_TRUE(eventually([&] { return waiting.load(); }));
        std::this_thread::sleep_for(5ms);
        EXPECT_FALSE(task.is_finished());
        const auto aborted_at = std::chrono::steady_clock::now();
        task.abort();
        auto result = join(runtime, task);
        EXPECT_LT(std::chrono::steady_clock::now() - aborted_at, 2s);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, Kind::Aborted);
        EXPECT_EQ(result.error().text(), std::string("task ") + c.name + " was cancelled");
        EXPECT_EQ(held.use_count(), 1);
        EXPECT_EQ(never.waiter_count(), 0u);
    }
}

TEST(Task, AbortAfterTheEndKeepsTheResult) {
    Runtime runtime(2);
    auto finished = Task<int>::spawn(
        runtime.executor(), []() -> asio::awaitable<int> { co_return 3; }(), "finished");
    ASSERT_TRUE(eventually([&] { return finished.is_finished(); }));
    finished.abort();
    auto result = join(runtime, finished);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, 3);

    // Abort requested while the body is still to run, but the body never suspends: the abort
    // reaches its strand only after the body has ended.
    auto quick = Task<int>::spawn(
        runtime.executor(), []() -> asio::awaitable<int> { co_return 4; }(), "quick");
    quick.abort();
    result = join(runtime, quick);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, 4);
}

TEST(Task, JoinIsCancellationSafe) {
    Runtime runtime(2);
    CancellationToken release;
    auto task = Task<int>::spawn(
        runtime.executor(),
        [](CancellationToken release) -> asio::awaitable<int> {
            co_await release.cancelled();
            co_return 9;
        }(release),
        "slow");
    const size_t winner = run_on(runtime, [&]() -> asio::awaitable<size_t> {
        auto raced = co_await (task.join() || sleep_for(10ms));
        co_return raced.index();
    }());
    EXPECT_EQ(winner, 1u);
    EXPECT_FALSE(task.is_finished());
    release.cancel();
    auto result = join(runtime, task);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, 9);
}

TEST(Task, DroppedHandleDetaches) {
    Runtime runtime(2);
    std::promise<void> reached;
    Task<void>::spawn(
        runtime.executor(),
        [](std::promise<void>& reached) -> asio::awaitable<void> {
            co_await sleep_for(10ms);
            reached.set_value();
        }(reached),
        "detached");
    EXPECT_EQ(reached.get_future().wait_for(kLimit), std::future_status::ready);
}

// Each task returns its index once its own token is cancelled; the tokens are cancelled in an
// order other than spawn order, and join_next follows the order of ending.
TEST(TaskSet, ReturnsResultsInOrderOfEnding) {
    Runtime runtime(2);
    TaskSet<int> set;
    std::vector<CancellationToken> release(3);
    for (int i = 0; i < 3; ++i) {
        set.spawn(
            runtime.executor(),
            [](CancellationToken release, int index) -> asio::awaitable<int> {
                co_await release.cancelled();
                co_return index;
            }(release[i], i),
            "worker " + std::to_string(i));
    }
    EXPECT_EQ(set.size(), 3u);
    for (int index : {2, 0, 1}) {
        // join_next is already waiting when the task ends.
        auto next = asio::co_spawn(asio::make_strand(runtime.executor()), set.join_next(),
                                   asio::use_future);
        EXPECT_EQ(next.wait_for(20ms), std::future_status::timeout);
        release[index].cancel();
        ASSERT_EQ(next.wait_for(kLimit), std::future_status::ready);
        auto result = next.get();
        ASSERT_TRUE(result.has_value());
        ASSERT_TRUE(result->has_value());
        EXPECT_EQ(**result, index);
    }
    EXPECT_EQ(set.size(), 0u);
    EXPECT_FALSE(run_on(runtime, set.join_next()).has_value());
}

TEST(TaskSet, ReportsCrashesAndAborts) {
    Runtime runtime(2);
    TaskSet<void> set;
    set.spawn(
        runtime.executor(),
        []() -> asio::awaitable<void> {
            co_await sleep_for(1ms);
            throw std::runtime_error("lost the upstream");
        }(),
        "crasher");
    auto crashed = run_on(runtime, set.join_next());
    ASSERT_TRUE(crashed.has_value());
    ASSERT_FALSE(crashed->has_value());
    EXPECT_EQ(crashed->error().text(), "task crasher panicked: lost the upstream");

    for (const char* name : {"a", "b"}) {
        set.spawn(runtime.executor(), sleep_for(1h), name);
    }
    EXPECT_EQ(set.size(), 2u);
    set.abort_all();
    for (int i = 0; i < 2; ++i) {
        auto aborted = run_on(runtime, set.join_next());
        ASSERT_TRUE(aborted.has_value());
        ASSERT_FALSE(aborted->has_value());
        EXPECT_EQ(aborted->error().kind, Kind::Aborted);
    }
    EXPECT_TRUE(set.empty());
}

TEST(TaskSet, JoinNextIsCancellationSafe) {
    Runtime runtime(2);
    TaskSet<int> set;
    CancellationToken release;
    set.spawn(
        runtime.executor(),
        [](CancellationToken release) -> asio::awaitable<int> {
            co_await release.cancelled();
            co_return 1;
        }(release),
        "held");
    const size_t winner = run_on(runtime, [&]() -> asio::awaitable<size_t> {
        auto raced = co_await (set.join_next() || sleep_for(10ms));
        co_return raced.index();
    }());
    EXPECT_EQ(winner, 1u);
    release.cancel();
    auto result = run_on(runtime, set.join_next());
    ASSERT_TRUE(result.has_value() && result->has_value());
    EXPECT_EQ(**result, 1);
}

TEST(TaskSet, DestructionAbortsEveryTask) {
    Runtime runtime(2);
    auto held = std::make_shared<int>(0);
    std::atomic<int> waiting{0};
    {
        TaskSet<int> set;
        auto body = [](std::shared_ptr<int> held, std::atomic<int>& waiting,
                       bool stall) -> asio::awaitable<int> {
            ++waiting;
            if (stall) {
                co_await async_stall(asio::use_awaitable);
            } else {
                co_await sleep_for(1h);
            }
            co_return *held;
        };
        set.spawn(runtime.executor(), body(held, waiting, true), "stalled");
        set.spawn(runtime.executor(), body(held, waiting, false), "sleeping");
        ASSERT_TRUE(eventually([&] { return waiting.load() == 2; }));
        EXPECT_EQ(held.use_count(), 3);
    }
    EXPECT_TRUE(eventually([&] { return held.use_count() == 1; }));
}

}  // namespace
}  // namespace ostrel::engine::rt
