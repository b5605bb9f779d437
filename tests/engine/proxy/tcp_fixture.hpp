#pragma once

// A TCP proxy on a runtime of its own, with a recorder whose records the test reads, for the
// tests of the proxy and its relay. It listens on 127.0.0.1 with an ephemeral port.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>
#include <string>
#include <utility>

#include "ostrel-engine/proxy/tcp.hpp"
#include "ostrel-engine/rt/runtime.hpp"

namespace ostrel::engine::tcp_test {

using namespace std::chrono_literals;
using asio::ip::tcp;

inline const tcp::endpoint kLoopback(asio::ip::make_address("127.0.0.1"), 0);

// Runs a coroutine on the runtime and waits for it, bounded.
template <typename T>
T await_on(rt::Runtime& runtime, asio::awaitable<T> body, std::chrono::seconds limit = 30s) {
    auto done = asio::co_spawn(runtime.executor(), std::move(body), asio::use_future);
    if (done.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "timed out";
        std::abort();
    }
    return done.get();
}

struct TcpProxyUnderTest {
    rt::Runtime runtime{2};
    rt::CancellationToken token;
    std::optional<rt::QueueReceiver<model::TransportRecord>> records;
    std::optional<ObservationRecorder> recorder;
    std::optional<rt::Task<void>> collector;
    std::optional<RunningTcpProxy> proxy;
    bool joined = false;

    explicit TcpProxyUnderTest(const std::string& upstream) {
        auto [sender, receiver] = rt::make_queue<model::TransportRecord>(64);
        records = std::move(receiver);
        auto [handle, task] = ObservationRecorder::start(std::move(sender), runtime.executor());
        recorder = std::move(handle);
        collector = std::move(task);
        auto faults = FaultRuntime::create({}, false);
        auto bound = RunningTcpProxy::bind(kLoopback, "db", upstream, *faults, token, *recorder,
                                           runtime.executor());
        EXPECT_TRUE(bound.has_value());
        proxy = std::move(*bound);
    }

    // A test that returns early still shuts the proxy down.
    ~TcpProxyUnderTest() {
        if (!joined) {
            EXPECT_TRUE(shutdown().has_value());
        }
    }

    model::TcpStreamRecord next_record() {
        auto record = await_on(runtime, records->receive());
        EXPECT_TRUE(record.has_value());
        return *record->tcp();
    }

    // Waits for the accept loop to end by itself.
    RunningTcpProxy::Result join() {
        joined = true;
        return await_on(runtime, std::move(*proxy).join());
    }

    RunningTcpProxy::Result shutdown() {
        token.cancel();
        return join();
    }
};

}  // namespace ostrel::engine::tcp_test
