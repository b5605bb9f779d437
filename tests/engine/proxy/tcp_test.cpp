#include "ostrel-engine/proxy/tcp.hpp"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "ostrel-engine/rt/runtime.hpp"

namespace ostrel::engine {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;

// Runs a coroutine on the runtime and waits for it, bounded.
template <typename T>
T await_on(rt::Runtime& runtime, asio::awaitable<T> body, std::chrono::seconds limit = 20s) {
    auto done = asio::co_spawn(runtime.executor(), std::move(body), asio::use_future);
    if (done.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "timed out";
        std::abort();
    }
    return done.get();
}

const tcp::endpoint kLoopback(asio::ip::make_address("127.0.0.1"), 0);

// A listener whose backlog is full and which never accepts: further connection attempts get no
// answer on loopback, as from a host that drops them.
struct SilentListener {
    explicit SilentListener(asio::io_context& io) : acceptor(io, kLoopback) {
        acceptor.listen(0);
        for (int i = 0; i < 4; ++i) {
            fillers.emplace_back(io);
            // Initiating the connect sends the SYN; nobody runs `io`, so nothing completes.
            fillers.back().async_connect(acceptor.local_endpoint(), [](std::error_code) {});
        }
        std::this_thread::sleep_for(200ms);
    }
    tcp::endpoint local_endpoint() const { return acceptor.local_endpoint(); }

    tcp::acceptor acceptor;
    std::vector<tcp::socket> fillers;
};

struct Proxy {
    rt::Runtime runtime{2};
    rt::CancellationToken token;
    std::optional<rt::QueueReceiver<model::TransportRecord>> records;
    std::optional<ObservationRecorder> recorder;
    std::optional<rt::Task<void>> collector;
    std::optional<RunningTcpProxy> proxy;

    explicit Proxy(const std::string& upstream) {
        auto [sender, receiver] = rt::make_queue<model::TransportRecord>(64);
        records = std::move(receiver);
        auto [handle, task] = ObservationRecorder::start(std::move(sender), runtime.executor());
        recorder = std::move(handle);
        collector = std::move(task);
        auto runtime_faults = FaultRuntime::create({}, false);
        auto bound = RunningTcpProxy::bind(kLoopback, "db", upstream, *runtime_faults, token,
                                           *recorder, runtime.executor());
        EXPECT_TRUE(bound.has_value());
        proxy = std::move(*bound);
    }

    model::TcpStreamRecord next_record() {
        auto record = await_on(runtime, records->receive());
        EXPECT_TRUE(record.has_value());
        return *record->tcp();
    }

    RunningTcpProxy::Result shutdown() {
        token.cancel();
        return await_on(runtime, std::move(*proxy).join());
    }
};

TEST(TcpProxyTest, UnansweredConnectionAttemptTimesOut) {
    asio::io_context io;
    SilentListener silent(io);
    std::string upstream = "127.0.0.1:" + std::to_string(silent.local_endpoint().port());

    Proxy proxy(upstream);
    tcp::socket client(io);
    client.connect(proxy.proxy->local_address());
    auto began = std::chrono::steady_clock::now();
    auto record = proxy.next_record();
    auto waited = std::chrono::steady_clock::now() - began;

    EXPECT_EQ(record.outcome, model::TcpStreamOutcome::UpstreamConnectFailed);
    ASSERT_TRUE(record.failure.has_value());
    EXPECT_EQ(record.failure->category, model::FailureCategory::TimedOut);
    EXPECT_EQ(record.failure->message, "connect " + upstream + ": connection attempt exceeded 10s");
    EXPECT_GE(waited, 9s);
    EXPECT_TRUE(proxy.shutdown().has_value());
}

TEST(TcpProxyTest, ShutdownWhileConnectingEndsTheAttemptAsCancelled) {
    asio::io_context io;
    SilentListener silent(io);

    Proxy proxy("127.0.0.1:" + std::to_string(silent.local_endpoint().port()));
    tcp::socket client(io);
    client.connect(proxy.proxy->local_address());
    std::this_thread::sleep_for(300ms);
    auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(proxy.shutdown().has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);
    auto record = proxy.next_record();
    EXPECT_EQ(record.outcome, model::TcpStreamOutcome::Cancelled);
    EXPECT_FALSE(record.failure.has_value());
}

TEST(TcpProxyTest, StoppedRecorderEndsTheAcceptLoopWithItsError) {
    Proxy proxy("127.0.0.1:1");
    auto stopped = await_on(proxy.runtime, proxy.recorder->stop());
    EXPECT_TRUE(stopped.has_value());

    asio::io_context io;
    tcp::socket client(io);
    client.connect(proxy.proxy->local_address());
    // The proxy closes the client without relaying anything.
    char byte;
    std::error_code ec;
    client.read_some(asio::buffer(&byte, 1), ec);
    EXPECT_TRUE(ec);

    auto joined = await_on(proxy.runtime, std::move(*proxy.proxy).join());
    ASSERT_FALSE(joined.has_value());
    EXPECT_EQ(joined.error().display(), "transport observation recorder stopped unexpectedly");
    // The listener is closed: nobody accepts any more.
    tcp::socket late(io);
    late.connect(proxy.proxy->local_address(), ec);
    EXPECT_TRUE(ec);
}

TEST(TcpProxyTest, BindRefusesAPortInUse) {
    rt::Runtime runtime(1);
    asio::io_context io;
    tcp::acceptor taken(io, kLoopback);
    taken.listen();
    auto [handle, task] = ObservationRecorder::start(std::nullopt, runtime.executor());
    auto bound = RunningTcpProxy::bind(taken.local_endpoint(), "db", "127.0.0.1:1",
                                       *FaultRuntime::create({}, false), rt::CancellationToken(),
                                       handle, runtime.executor());
    ASSERT_FALSE(bound.has_value());
    EXPECT_EQ(bound.error().code, std::errc::address_in_use);
    await_on(runtime, handle.stop());
}

}  // namespace
}  // namespace ostrel::engine
