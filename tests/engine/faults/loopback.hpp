#pragma once

// Shared fixtures of the fault tests: connected loopback sockets, an event loop with a few
// threads, and bounded runs of coroutines on it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ostrel-engine/faults/stream.hpp"
#include "ostrel-engine/metrics.hpp"
#include "ostrel-engine/rt/asio.hpp"
#include "ostrel-model/fault.hpp"

namespace ostrel::engine::fault_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tcp = asio::ip::tcp;

// An io_context run by `threads` threads until the loop is destroyed.
class Loop {
  public:
    explicit Loop(size_t threads = 2) : work_(io_.get_executor()) {
        for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { io_.run(); });
    }
    ~Loop() { halt(); }

    // Stops the threads; handlers still queued never run. Call before destroying objects that
    // pending operations refer to.
    void halt() {
        io_.stop();
        for (std::thread& t : threads_) {
            if (t.joinable()) t.join();
        }
    }

    asio::io_context& io() { return io_; }
    rt::Executor strand() { return asio::make_strand(io_); }

    // Runs `body` on `executor` and waits for it at most `timeout`. On a timeout the loop is
    // halted, so nothing refers to the test's objects any more, and the result is empty.
    template <typename T>
    std::optional<T> run(const rt::Executor& executor, asio::awaitable<T> body,
                         Clock::duration timeout = 10s) {
        std::future<T> done = asio::co_spawn(executor, std::move(body), asio::use_future);
        if (done.wait_for(timeout) != std::future_status::ready) {
            ADD_FAILURE() << "timed out";
            halt();
            return std::nullopt;
        }
        return done.get();
    }
    bool run(const rt::Executor& executor, asio::awaitable<void> body,
             Clock::duration timeout = 10s) {
        std::future<void> done = asio::co_spawn(executor, std::move(body), asio::use_future);
        if (done.wait_for(timeout) != std::future_status::ready) {
            ADD_FAILURE() << "timed out";
            halt();
            return false;
        }
        done.get();
        return true;
    }

    // Runs `fn` on `executor` (a connection's strand) and returns its result.
    template <typename Fn>
    auto on(const rt::Executor& executor, Fn fn) -> decltype(fn()) {
        std::packaged_task<decltype(fn())()> task(std::move(fn));
        auto result = task.get_future();
        asio::post(executor, [&task] { task(); });
        if (result.wait_for(10s) != std::future_status::ready) {
            halt();
            throw std::runtime_error("timed out waiting for the strand");
        }
        return result.get();
    }

  private:
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
};

// Two connected TCP sockets on 127.0.0.1 and an ephemeral port: `server` is the accepted end
// (the proxy's client socket), `client` the connecting one.
struct SocketPair {
    tcp::socket server;
    tcp::socket client;
};

inline SocketPair connected_pair(asio::io_context& io) {
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    tcp::socket client(io);
    client.connect(acceptor.local_endpoint());
    tcp::socket server = acceptor.accept();
    server.set_option(tcp::no_delay(true));
    client.set_option(tcp::no_delay(true));
    return {std::move(server), std::move(client)};
}

// A connection's counters and stream context, as the TCP proxy makes them.
struct Connection {
    std::shared_ptr<LiveMetrics> live = std::make_shared<LiveMetrics>();
    std::shared_ptr<TransportMetrics> metrics =
        std::make_shared<TransportMetrics>(model::TransportProtocol::Tcp, live);
    std::shared_ptr<StreamContext> ctx = std::make_shared<StreamContext>(metrics);
};

inline model::FaultSpec latency(model::TrafficFlow flow, double min_ms, double max_ms) {
    return {model::LatencyFault{flow, {model::UniformDistribution{min_ms, max_ms}}}};
}
inline model::FaultSpec jitter(model::TrafficFlow flow, double min_ms, double max_ms,
                               double probability) {
    return {model::JitterFault{flow, min_ms, max_ms, probability}};
}
inline model::FaultSpec bandwidth(model::TrafficFlow flow, uint64_t bytes_per_second) {
    return {model::BandwidthFault{flow, bytes_per_second}};
}
inline model::FaultSpec blackhole(model::TrafficFlow flow) {
    return {model::BlackholeFault{flow}};
}
inline model::FaultSpec connection_reset(model::TrafficFlow flow, double probability) {
    return {model::ConnectionResetFault{flow, probability}};
}

inline std::span<const std::byte> bytes(std::string_view text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

inline std::string text(std::span<const std::byte> data) {
    return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

inline asio::awaitable<void> sleep_for(Clock::duration d) {
    asio::steady_timer timer(co_await asio::this_coro::executor, d);
    co_await timer.async_wait(rt::use_tuple);
}

// Writes all of `data` to a plain socket.
inline asio::awaitable<std::error_code> send_all(tcp::socket& socket,
                                                 std::span<const std::byte> data) {
    auto [ec, n] =
        co_await asio::async_write(socket, asio::buffer(data.data(), data.size()), rt::use_tuple);
    (void)n;
    co_return ec;
}

// Reads exactly `n` bytes from a plain socket; fewer on end of stream or error.
inline asio::awaitable<std::string> receive_exactly(tcp::socket& socket, size_t n) {
    std::string out(n, '\0');
    auto [ec, got] = co_await asio::async_read(socket, asio::buffer(out), rt::use_tuple);
    (void)ec;
    out.resize(got);
    co_return out;
}

// How a plain socket's next read ends: data, an orderly end of stream, or an error.
inline asio::awaitable<std::error_code> read_outcome(tcp::socket& socket, std::string* data) {
    char buffer[4096];
    auto [ec, n] = co_await socket.async_read_some(asio::buffer(buffer), rt::use_tuple);
    if (data) data->assign(buffer, n);
    co_return ec;
}

// An operation started in the background; `done` turns true once `result` is set.
template <typename T>
struct Background {
    std::optional<T> result;
    std::atomic<bool> done{false};

    // Waits up to `timeout` for the operation to end.
    bool wait(Clock::duration timeout = 5s) const {
        const auto deadline = Clock::now() + timeout;
        while (!done.load()) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
};

template <typename T>
std::shared_ptr<Background<T>> start_op(const rt::Executor& executor, asio::awaitable<T> op) {
    auto state = std::make_shared<Background<T>>();
    asio::co_spawn(executor, std::move(op), [state](std::exception_ptr error, T value) {
        if (!error) state->result = std::move(value);
        state->done.store(true);
    });
    return state;
}

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace ostrel::engine::fault_test
