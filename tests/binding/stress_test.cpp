// Many clients through a running engine on several threads while faults change and the engine
// is read from all sides, then a shutdown in the middle of the traffic.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ostrel-binding/engine.hpp"
#include "ostrel-engine/rt/runtime.hpp"

namespace ostrel::binding {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;
namespace rt = engine::rt;

template <typename T>
T await_on(const rt::Executor& executor, asio::awaitable<T> op, Clock::duration limit = 20s) {
    auto done = asio::co_spawn(executor, std::move(op), asio::use_future);
    if (done.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "timed out";
        std::abort();
    }
    return done.get();
}

asio::awaitable<void> pause(Clock::duration d) {
    asio::steady_timer timer(co_await asio::this_coro::executor, d);
    co_await timer.async_wait(rt::use_tuple);
}

// The text after `"key":` up to the next delimiter, searched from `from`; quotes stripped.
std::string field(const std::string& json, std::string_view key, size_t from = 0) {
    const std::string needle = "\"" + std::string(key) + "\":";
    size_t at = json.find(needle, from);
    if (at == std::string::npos) return {};
    at += needle.size();
    if (json[at] == '"') {
        const size_t end = json.find('"', at + 1);
        return json.substr(at + 1, end - at - 1);
    }
    const size_t end = json.find_first_of(",}]", at);
    return json.substr(at, end - at);
}

uint64_t count(const std::string& json, std::string_view group, std::string_view key) {
    const size_t at = json.find("\"" + std::string(group) + "\":{");
    if (at == std::string::npos) return UINT64_MAX;
    return std::stoull(field(json, key, at));
}

// Upstreams on their own threads: TCP echoes every byte and closes after the client did; UDP
// answers every datagram with itself.
class EchoUpstreams {
  public:
    EchoUpstreams()
        : acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}),
          datagrams_(io_, {asio::ip::make_address("127.0.0.1"), 0}) {
        asio::co_spawn(io_, accept_loop(), asio::detached);
        asio::co_spawn(io_, answer_loop(), asio::detached);
        thread_ = std::thread([this] { io_.run(); });
    }
    ~EchoUpstreams() {
        io_.stop();
        thread_.join();
    }
    uint16_t tcp_port() const { return acceptor_.local_endpoint().port(); }
    uint16_t udp_port() const { return datagrams_.local_endpoint().port(); }

  private:
    asio::awaitable<void> accept_loop() {
        for (;;) {
            auto [ec, socket] = co_await acceptor_.async_accept(rt::use_tuple);
            if (ec) co_return;
            asio::co_spawn(io_, echo(std::move(socket)), asio::detached);
        }
    }
    static asio::awaitable<void> echo(tcp::socket socket) {
        std::array<char, 8192> buffer;
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
    asio::awaitable<void> answer_loop() {
        std::array<char, 2048> buffer;
        for (;;) {
            udp::endpoint from;
            auto [ec, n] =
                co_await datagrams_.async_receive_from(asio::buffer(buffer), from, rt::use_tuple);
            if (ec == asio::error::operation_aborted) co_return;
            if (ec) continue;
            std::error_code ignored;
            datagrams_.send_to(asio::buffer(buffer.data(), n), from, 0, ignored);
        }
    }

    asio::io_context io_;
    tcp::acceptor acceptor_;
    udp::socket datagrams_;
    std::thread thread_;
};

// What the clients saw.
struct Tally {
    std::mutex mutex;
    // Local ports of clean connections that echoed everything and saw the end of stream.
    std::multiset<uint16_t> finished_ports;
    std::atomic<uint64_t> clean_connects{0};
    std::atomic<uint64_t> rough_connects{0};
    std::atomic<uint64_t> bytes_echoed{0};
    std::atomic<uint64_t> udp_sent{0};
    std::atomic<uint64_t> udp_answered{0};
    // Bytes that came back other than as sent, or in another order.
    std::atomic<uint64_t> mismatches{0};
};

// The byte at `offset` of a connection's stream: every connection sends a different sequence.
char pattern(uint64_t seed, size_t offset) {
    return static_cast<char>((seed * 131 + offset * 7 + offset / 251) & 0xff);
}

// Connects again and again through a proxy whose faults never drop data; every byte must come
// back in order, also on a connection cut short by the shutdown.
asio::awaitable<void> clean_client(tcp::endpoint proxy, uint64_t seed, Tally& tally,
                                   std::atomic<bool>& stop) {
    auto executor = co_await asio::this_coro::executor;
    for (uint64_t round = 0; !stop.load(); ++round) {
        tcp::socket socket(executor);
        auto [connect_ec] = co_await socket.async_connect(proxy, rt::use_tuple);
        if (connect_ec) co_return;
        tally.clean_connects.fetch_add(1);
        std::error_code ec;
        const uint16_t port = socket.local_endpoint(ec).port();
        const uint64_t stream = seed * 1000 + round;
        size_t offset = 0;
        bool intact = true;
        for (size_t chunk = 0; chunk < 6 && intact; ++chunk) {
            std::string out((stream * 37 + chunk * 1499) % 6000 + 1, '\0');
            for (size_t i = 0; i < out.size(); ++i) out[i] = pattern(stream, offset + i);
            auto [write_ec, written] =
                co_await asio::async_write(socket, asio::buffer(out), rt::use_tuple);
            std::string back(out.size(), '\0');
            auto [read_ec, got] =
                co_await asio::async_read(socket, asio::buffer(back), rt::use_tuple);
            for (size_t i = 0; i < got; ++i) {
                if (back[i] != out[i]) tally.mismatches.fetch_add(1);
            }
            tally.bytes_echoed.fetch_add(got);
            offset += out.size();
            intact = !write_ec && !read_ec;
        }
        if (!intact) continue;
        socket.shutdown(tcp::socket::shutdown_send, ec);
        char extra;
        auto [end_ec, n] = co_await socket.async_read_some(asio::buffer(&extra, 1), rt::use_tuple);
        if (n != 0) tally.mismatches.fetch_add(1);
        if (end_ec == asio::error::eof) {
            std::lock_guard lock(tally.mutex);
            tally.finished_ports.insert(port);
        }
    }
}

// Short connections through a proxy whose faults swallow or reset traffic; only their records
// are checked.
asio::awaitable<void> rough_client(tcp::endpoint proxy, Tally& tally, std::atomic<bool>& stop) {
    using namespace asio::experimental::awaitable_operators;
    auto executor = co_await asio::this_coro::executor;
    while (!stop.load()) {
        tcp::socket socket(executor);
        auto [connect_ec] = co_await socket.async_connect(proxy, rt::use_tuple);
        if (connect_ec) co_return;
        tally.rough_connects.fetch_add(1);
        const std::string out(300, 'r');
        auto sent = co_await asio::async_write(socket, asio::buffer(out), rt::use_tuple);
        (void)sent;
        std::array<char, 300> back;
        asio::steady_timer limit(executor, 30ms);
        auto read = asio::async_read(socket, asio::buffer(back), rt::use_tuple);
        auto expiry = limit.async_wait(rt::use_tuple);
        auto race = std::move(read) || std::move(expiry);
        co_await std::move(race);
    }
}

// One fresh socket per datagram, so a late answer cannot be taken for another one's.
asio::awaitable<void> udp_client(udp::endpoint proxy, uint64_t seed, Tally& tally,
                                 std::atomic<bool>& stop) {
    using namespace asio::experimental::awaitable_operators;
    auto executor = co_await asio::this_coro::executor;
    for (uint64_t n = 0; !stop.load(); ++n) {
        udp::socket socket(executor, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        const std::string out = "datagram " + std::to_string(seed) + "/" + std::to_string(n);
        std::error_code ec;
        socket.send_to(asio::buffer(out), proxy, 0, ec);
        if (ec) co_return;
        tally.udp_sent.fetch_add(1);
        std::array<char, 256> back;
        asio::steady_timer limit(executor, 300ms);
        auto receive = socket.async_receive(asio::buffer(back), rt::use_tuple);
        auto expiry = limit.async_wait(rt::use_tuple);
        auto race = std::move(receive) || std::move(expiry);
        auto first = co_await std::move(race);
        if (first.index() == 0) {
            auto [receive_ec, got] = std::get<0>(first);
            if (!receive_ec) {
                tally.udp_answered.fetch_add(1);
                if (std::string(back.data(), got) != out) tally.mismatches.fetch_add(1);
            }
        }
    }
}

constexpr std::array<std::string_view, 4> kCleanFaults = {
    R"([])",
    R"([{"type":"latency","flow":"both","distribution":{"type":"uniform","min_ms":0,"max_ms":4}}])",
    R"([{"type":"jitter","flow":"to-client","min_delay_ms":1,"max_delay_ms":3,"probability":0.5},
        {"type":"bandwidth","flow":"both","bytes_per_second":4000000}])",
    R"([{"type":"bandwidth","flow":"to-upstream","bytes_per_second":2000000}])",
};
constexpr std::array<std::string_view, 3> kRoughFaults = {
    R"([{"type":"blackhole","flow":"to-client"}])",
    R"([{"type":"connection-reset","flow":"both","probability":0.5}])",
    R"([])",
};
constexpr std::array<std::string_view, 3> kUdpFaults = {
    R"([])",
    R"([{"type":"latency","flow":"both","distribution":{"type":"uniform","min_ms":0,"max_ms":3}}])",
    R"([{"type":"jitter","flow":"both","min_delay_ms":0,"max_delay_ms":2,"probability":1}])",
};

// Replaces the faults of the three proxies in turn until `stop`.
asio::awaitable<void> change_faults(Engine engine, std::atomic<bool>& stop,
                                    std::atomic<uint64_t>& changes) {
    for (size_t i = 0; !stop.load(); ++i) {
        auto clean = co_await engine.set_faults("clean", std::string(kCleanFaults[i % 4]));
        auto rough = co_await engine.set_faults("rough", std::string(kRoughFaults[i % 3]));
        auto datagrams = co_await engine.set_faults("datagrams", std::string(kUdpFaults[i % 3]));
        if (clean && rough && datagrams) changes.fetch_add(1);
        co_await pause(5ms);
    }
}

// Status, snapshot and the active faults, read over and over until `stop`.
asio::awaitable<void> read_engine(Engine engine, std::atomic<bool>& stop,
                                  std::atomic<uint64_t>& reads) {
    while (!stop.load()) {
        auto status = co_await engine.status();
        auto snapshot = co_await engine.snapshot();
        auto faults = co_await engine.active_faults();
        if (status && snapshot && faults) reads.fetch_add(1);
        co_await pause(2ms);
    }
}

// Every record until the queue ends with the engine.
asio::awaitable<std::vector<std::string>> read_records(Engine engine) {
    std::vector<std::string> records;
    for (;;) {
        auto record = co_await engine.next_record();
        if (!record || !*record) break;
        records.push_back(std::move(**record));
    }
    co_return records;
}

uint16_t port_of(const std::string& endpoint) {
    return static_cast<uint16_t>(std::stoul(endpoint.substr(endpoint.rfind(':') + 1)));
}

TEST(EngineStress, TrafficFaultChangesAndReadersThenShutdownMidway) {
    const auto began = Clock::now();
    EchoUpstreams upstreams;
    const std::string tcp_upstream = "127.0.0.1:" + std::to_string(upstreams.tcp_port());
    const std::string udp_upstream = "127.0.0.1:" + std::to_string(upstreams.udp_port());
    const std::string run =
        R"({"schema_version":1,"name":"stress","proxies":[)"
        R"({"name":"clean","protocol":"tcp","listen":"127.0.0.1:0","upstream":")" +
        tcp_upstream +
        R"("},{"name":"rough","protocol":"tcp","listen":"127.0.0.1:0","upstream":")" +
        tcp_upstream +
        R"("},{"name":"datagrams","protocol":"udp","listen":"127.0.0.1:0",)"
        R"("upstream":")" +
        udp_upstream + R"("}],"phases":[{"name":"start","proxies":[]}]})";

    rt::Runtime runtime(4);
    const rt::Executor executor = runtime.executor();
    auto created = Engine::create(run, int64_t{1} << 20, executor);
    ASSERT_TRUE(created.has_value()) << created.error().message;
    Engine engine = *created;
    auto endpoints = await_on(executor, engine.start());
    ASSERT_TRUE(endpoints.has_value()) << endpoints.error().message;
    const auto loopback = asio::ip::make_address("127.0.0.1");
    const size_t tcp_list = endpoints->find("\"tcp\":[");
    const size_t udp_list = endpoints->find("\"udp\":[");
    // ["127.0.0.1:p1","127.0.0.1:p2"] and ["127.0.0.1:p3"], in proxy order.
    auto nth_endpoint = [&](size_t list, size_t n) {
        size_t open = endpoints->find('[', list);
        for (size_t i = 0; i < n; ++i)
            open = endpoints->find('"', endpoints->find('"', open + 1) + 1);
        const size_t at = endpoints->find('"', open + 1);
        const size_t end = endpoints->find('"', at + 1);
        return port_of(endpoints->substr(at + 1, end - at - 1));
    };
    const tcp::endpoint clean_proxy(loopback, nth_endpoint(tcp_list, 0));
    const tcp::endpoint rough_proxy(loopback, nth_endpoint(tcp_list, 1));
    const udp::endpoint udp_proxy(loopback, nth_endpoint(udp_list, 0));

    auto records = asio::co_spawn(executor, read_records(engine), asio::use_future);

    Tally tally;
    std::atomic<bool> stop_clients{false};
    std::atomic<bool> stop_control{false};
    std::atomic<uint64_t> changes{0};
    std::atomic<uint64_t> reads{0};
    asio::io_context clients;
    std::vector<std::future<void>> running;
    for (uint64_t i = 0; i < 8; ++i) {
        running.push_back(asio::co_spawn(
            clients, clean_client(clean_proxy, i + 1, tally, stop_clients), asio::use_future));
    }
    for (uint64_t i = 0; i < 2; ++i) {
        running.push_back(asio::co_spawn(clients, rough_client(rough_proxy, tally, stop_clients),
                                         asio::use_future));
    }
    for (uint64_t i = 0; i < 3; ++i) {
        running.push_back(asio::co_spawn(clients, udp_client(udp_proxy, i, tally, stop_clients),
                                         asio::use_future));
    }
    std::vector<std::thread> client_threads;
    for (int i = 0; i < 2; ++i) client_threads.emplace_back([&clients] { clients.run(); });
    std::vector<std::future<void>> control;
    control.push_back(
        asio::co_spawn(executor, change_faults(engine, stop_control, changes), asio::use_future));
    for (int i = 0; i < 2; ++i) {
        control.push_back(
            asio::co_spawn(executor, read_engine(engine, stop_control, reads), asio::use_future));
    }

    std::this_thread::sleep_for(1500ms);

    // The clients go on; the readers and the fault changes too, so shutdown has to find a
    // moment when none of them holds the engine.
    std::optional<std::expected<std::string, Error>> summary;
    const auto shutdown_began = Clock::now();
    while (Clock::now() - shutdown_began < 10s) {
        summary = await_on(executor, engine.shutdown());
        if (summary->has_value() ||
            summary->error().message != "wait for active engine operations before shutdown") {
            break;
        }
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(summary.has_value());
    ASSERT_TRUE(summary->has_value()) << summary->error().message;
    stop_control.store(true);
    for (auto& done : control) {
        ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
        done.get();
    }
    stop_clients.store(true);
    for (auto& done : running) {
        ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
        done.get();
    }
    for (auto& thread : client_threads) thread.join();
    ASSERT_EQ(records.wait_for(10s), std::future_status::ready);
    const std::vector<std::string> read = records.get();

    EXPECT_EQ(tally.mismatches.load(), 0u);
    EXPECT_GT(tally.finished_ports.size(), 0u);
    EXPECT_GT(tally.rough_connects.load(), 0u);
    EXPECT_GT(tally.udp_answered.load(), 0u);
    EXPECT_GT(changes.load(), 0u);
    EXPECT_GT(reads.load(), 0u);

    // Every transport the engine opened is recorded, once.
    const std::string& final_summary = **summary;
    EXPECT_EQ(count(final_summary, "tcp", "active"), 0u);
    EXPECT_EQ(count(final_summary, "udp", "active"), 0u);
    EXPECT_EQ(std::stoull(field(final_summary, "dropped_records")), 0u);
    EXPECT_EQ(read.size(),
              count(final_summary, "tcp", "opened") + count(final_summary, "udp", "started"));
    std::set<std::string> ids;
    std::map<uint16_t, size_t> clean_peers;
    size_t clean_records = 0;
    for (const std::string& record : read) {
        const bool stream = field(record, "type") == "tcp-stream";
        const std::string id = field(record, stream ? "stream_id" : "exchange_id");
        EXPECT_TRUE(ids.insert(id).second) << "recorded twice: " << id;
        if (field(record, "proxy") != "clean") continue;
        ++clean_records;
        ++clean_peers[port_of(field(record, "peer"))];
        // Nothing on this proxy fails: it ends with its client or with the shutdown.
        const std::string outcome = field(record, "outcome");
        EXPECT_TRUE(outcome == "completed" || outcome == "cancelled") << record;
    }
    EXPECT_LE(clean_records, tally.clean_connects.load());
    for (uint16_t port : tally.finished_ports) {
        EXPECT_GE(clean_peers[port], tally.finished_ports.count(port)) << "port " << port;
    }
    EXPECT_LT(Clock::now() - began, 30s);
    std::cout << read.size() << " records, " << tally.finished_ports.size()
              << " clean connections finished, " << tally.bytes_echoed.load() << " bytes echoed, "
              << tally.udp_answered.load() << " of " << tally.udp_sent.load()
              << " datagrams answered, " << changes.load() << " fault changes, " << reads.load()
              << " rounds of reads\n";
}

}  // namespace
}  // namespace ostrel::binding
