#include "ostrel-engine/proxy/tcp.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <future>
#include <thread>

#include "ostrel-engine/rt/runtime.hpp"
#include "tests/engine/proxy/tcp_fixture.hpp"

namespace ostrel::engine::tcp_test {
namespace {

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

TEST(TcpProxyTest, UnansweredConnectionAttemptTimesOut) {
    asio::io_context io;
    SilentListener silent(io);
    std::string upstream = "127.0.0.1:" + std::to_string(silent.local_endpoint().port());

    TcpProxyUnderTest proxy(upstream);
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

    TcpProxyUnderTest proxy("127.0.0.1:" + std::to_string(silent.local_endpoint().port()));
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
    TcpProxyUnderTest proxy("127.0.0.1:1");
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

    auto joined = proxy.join();
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

// An upstream on its own thread that echoes every byte and closes once the client closed.
class EchoUpstream {
  public:
    EchoUpstream() : acceptor_(io_, kLoopback) {
        asio::co_spawn(io_, accept_loop(), asio::detached);
        thread_ = std::thread([this] { io_.run(); });
    }
    ~EchoUpstream() {
        io_.stop();
        thread_.join();
    }
    std::string address() const {
        return "127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port());
    }

  private:
    asio::awaitable<void> accept_loop() {
        for (;;) {
            auto [ec, socket] = co_await acceptor_.async_accept(rt::use_tuple);
            if (ec) co_return;
            asio::co_spawn(io_, echo(std::move(socket)), asio::detached);
        }
    }
    static asio::awaitable<void> echo(tcp::socket socket) {
        std::array<char, 4096> buffer;
        for (;;) {
            auto [ec, n] = co_await socket.async_read_some(asio::buffer(buffer), rt::use_tuple);
            if (ec) break;
            auto [write_ec, written] =
                co_await asio::async_write(socket, asio::buffer(buffer.data(), n), rt::use_tuple);
            if (write_ec) break;
        }
        std::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_send, ignored);
    }

    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::thread thread_;
};

// Sends `text` and reads as many bytes back within `limit`; what came back, possibly less.
std::string echo_through(asio::io_context& io, tcp::socket& client, const std::string& text,
                         std::chrono::milliseconds limit = 5000ms) {
    std::string back(text.size(), '\0');
    size_t got = 0;
    asio::async_write(client, asio::buffer(text), [](std::error_code, size_t) {});
    asio::async_read(client, asio::buffer(back), [&got](std::error_code, size_t n) { got = n; });
    io.restart();
    io.run_for(limit);
    if (!io.stopped()) {
        std::error_code ignored;
        client.cancel(ignored);
        io.restart();
        io.run();
    }
    back.resize(got);
    return back;
}

// UBSan's vptr check (paired with ASan in our builds) probes memory through a pipe the first
// time it meets a type; with no descriptor left that probe fails and it reports a bad vptr.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerNeedsDescriptors = true;
#else
constexpr bool kSanitizerNeedsDescriptors = false;
#endif

// Uses up every descriptor the process may open, under a lowered limit; gives both back on
// release or destruction.
class DescriptorExhaustion {
  public:
    DescriptorExhaustion() {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 512);
        setrlimit(RLIMIT_NOFILE, &lowered);
        for (;;) {
            const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                exhausted_ = errno == EMFILE;
                break;
            }
            held_.push_back(fd);
        }
    }
    ~DescriptorExhaustion() { release(); }

    bool exhausted() const { return exhausted_; }
    void release() {
        for (const int fd : held_) ::close(fd);
        held_.clear();
        setrlimit(RLIMIT_NOFILE, &saved_);
    }

  private:
    rlimit saved_{};
    std::vector<int> held_;
    bool exhausted_ = false;
};

TEST(TcpProxyTest, AcceptPausesWhileDescriptorsRunOutAndServesOnceTheyReturn) {
    if (kSanitizerNeedsDescriptors) GTEST_SKIP() << "runs in the ThreadSanitizer build";
    EchoUpstream upstream;
    TcpProxyUnderTest proxy(upstream.address());
    asio::io_context io;
    tcp::socket early(io);
    early.connect(proxy.proxy->local_address());
    EXPECT_EQ(echo_through(io, early, "before"), "before");

    // The client's socket exists before the descriptors run out; its connection waits in the
    // listener's backlog while every accept fails with EMFILE.
    tcp::socket client(io);
    client.open(tcp::v4());
    DescriptorExhaustion exhaustion;
    ASSERT_TRUE(exhaustion.exhausted());
    client.connect(proxy.proxy->local_address());
    std::this_thread::sleep_for(400ms);
    // The connection accepted earlier is not disturbed by the failing accepts.
    EXPECT_EQ(echo_through(io, early, "during"), "during");
    exhaustion.release();

    EXPECT_EQ(echo_through(io, client, "after"), "after");
    std::error_code ec;
    early.shutdown(tcp::socket::shutdown_send, ec);
    client.shutdown(tcp::socket::shutdown_send, ec);
    ASSERT_FALSE(ec);
    for (int i = 0; i < 2; ++i) {
        auto record = proxy.next_record();
        EXPECT_EQ(record.outcome, model::TcpStreamOutcome::Completed);
        EXPECT_FALSE(record.failure.has_value());
    }
    EXPECT_TRUE(proxy.shutdown().has_value());
}

TEST(TcpProxyTest, ShutdownDuringTheAcceptPauseIsPrompt) {
    if (kSanitizerNeedsDescriptors) GTEST_SKIP() << "runs in the ThreadSanitizer build";
    EchoUpstream upstream;
    TcpProxyUnderTest proxy(upstream.address());
    asio::io_context io;
    tcp::socket relaying(io);
    relaying.connect(proxy.proxy->local_address());
    EXPECT_EQ(echo_through(io, relaying, "ping"), "ping");

    tcp::socket waiting(io);
    waiting.open(tcp::v4());
    DescriptorExhaustion exhaustion;
    ASSERT_TRUE(exhaustion.exhausted());
    waiting.connect(proxy.proxy->local_address());
    // The pauses have grown to a second: 10 + 20 + ... + 640 ms is 1.27 s, so the loop now
    // sleeps until about 2.27 s, descriptors or not.
    std::this_thread::sleep_for(1400ms);
    exhaustion.release();
    auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(proxy.shutdown().has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - began, 400ms);

    // The relaying connection was stopped by the shutdown, not left running.
    auto record = proxy.next_record();
    EXPECT_EQ(record.outcome, model::TcpStreamOutcome::Cancelled);
}

}  // namespace
}  // namespace ostrel::engine::tcp_test
