#include "ostrel-engine/rt/runtime.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ostrel-engine/rt/swappable.hpp"

namespace ostrel::engine::rt {
namespace {

using namespace std::chrono_literals;

constexpr auto kLimit = 10s;

TEST(Runtime, DefaultsToOneThreadPerProcessor) {
    Runtime runtime;
    EXPECT_EQ(runtime.threads(), std::max(1u, std::thread::hardware_concurrency()));
    Runtime explicit_size(3);
    EXPECT_EQ(explicit_size.threads(), 3u);
}

// Four handlers that can only finish together prove four threads run the context at once.
TEST(Runtime, RunsWorkOnSeveralThreadsAtOnce) {
    constexpr int kThreads = 4;
    Runtime runtime(kThreads);
    std::latch all_running(kThreads);
    std::mutex mutex;
    std::set<std::thread::id> seen;
    std::vector<std::future<bool>> done;
    for (int i = 0; i < kThreads; ++i) {
        auto finished = std::make_shared<std::promise<bool>>();
        done.push_back(finished->get_future());
        asio::post(runtime.executor(), [&, finished] {
            {
                std::lock_guard lock(mutex);
                seen.insert(std::this_thread::get_id());
            }
            all_running.count_down();
            const auto deadline = std::chrono::steady_clock::now() + kLimit;
            while (!all_running.try_wait() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
            finished->set_value(all_running.try_wait());
        });
    }
    for (auto& f : done) {
        EXPECT_TRUE(f.get());
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads));
    EXPECT_EQ(seen.count(std::this_thread::get_id()), 0u);
}

TEST(Runtime, HandlerThatThrowsDoesNotStopTheThread) {
    Runtime runtime(1);
    asio::post(runtime.executor(), [] { throw std::runtime_error("escaped"); });
    std::promise<void> ran;
    asio::post(runtime.executor(), [&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(kLimit), std::future_status::ready);
}

// Destruction must not wait for pending work: a long timer and a coroutine suspended on it
// are abandoned, and their state is freed (LeakSanitizer checks the latter).
TEST(Runtime, DestroysPromptlyWithPendingWork) {
    auto held = std::make_shared<int>(7);
    const auto started = std::chrono::steady_clock::now();
    {
        Runtime runtime(2);
        std::promise<void> suspended;
        asio::co_spawn(
            runtime.executor(),
            [held, &suspended]() -> asio::awaitable<void> {
                asio::steady_timer timer(co_await asio::this_coro::executor, 1h);
                suspended.set_value();
                co_await timer.async_wait(asio::use_awaitable);
            },
            asio::detached);
        ASSERT_EQ(suspended.get_future().wait_for(kLimit), std::future_status::ready);
        EXPECT_EQ(held.use_count(), 2);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(held.use_count(), 1);
}

TEST(Runtime, ProcessRuntimeIsOneInstanceFromEveryThread) {
    std::vector<Runtime*> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) {
        threads.emplace_back([&slot] { slot = &Runtime::process(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (auto* runtime : seen) {
        EXPECT_EQ(runtime, &Runtime::process());
    }
    std::promise<void> ran;
    asio::post(Runtime::process().executor(), [&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(kLimit), std::future_status::ready);
}

// Writers exchange distinct values while readers load: every value ever stored comes back
// exactly once (from an exchange or the final load), and readers only see stored values.
TEST(Swappable, ExchangeAndLoadFromSeveralThreads) {
    constexpr int kWriters = 4;
    constexpr int kPerWriter = 2000;
    Swappable<int> current(std::make_shared<const int>(-1));
    std::atomic<bool> writing{true};
    std::atomic<int> bad_reads{0};
    std::vector<std::vector<int>> returned(kWriters);
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (writing.load()) {
                auto value = current.load();
                if (!value || *value < -1 || *value >= kWriters * kPerWriter) {
                    bad_reads.fetch_add(1);
                }
            }
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kPerWriter; ++i) {
                auto old = current.exchange(std::make_shared<const int>(w * kPerWriter + i));
                returned[w].push_back(*old);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    writing.store(false);
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(bad_reads.load(), 0);

    std::vector<int> all{*current.load()};
    for (const auto& values : returned) {
        all.insert(all.end(), values.begin(), values.end());
    }
    std::sort(all.begin(), all.end());
    std::vector<int> expected;
    for (int v = -1; v < kWriters * kPerWriter; ++v) {
        expected.push_back(v);
    }
    EXPECT_EQ(all, expected);
}

TEST(Swappable, ReaderKeepsOldValueAlive) {
    Swappable<int> current(std::make_shared<const int>(1));
    auto before = current.load();
    auto replaced = current.exchange(std::make_shared<const int>(2));
    EXPECT_EQ(replaced, before);
    replaced.reset();
    EXPECT_EQ(*before, 1);
    EXPECT_EQ(before.use_count(), 1);
    EXPECT_EQ(*current.load(), 2);
}

}  // namespace
}  // namespace ostrel::engine::rt
