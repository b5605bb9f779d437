// The relay between a client and its upstream: every byte arrives once and in order whatever
// the size of the reads and writes, in both directions at once, with both half-closes.
#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "tests/engine/proxy/tcp_fixture.hpp"

namespace ostrel::engine::tcp_test {
namespace {

// Bytes that differ from their neighbours over long stretches, so that a lost, repeated or
// reordered block shows.
std::vector<char> pattern(size_t size, unsigned seed) {
    std::vector<char> out(size);
    for (size_t i = 0; i < size; ++i) out[i] = char((i * 131 + i / 4099 + seed) & 0xff);
    return out;
}

// Reads to end of stream; sockets carry a receive time-out so nothing here waits forever.
std::vector<char> read_all(tcp::socket& socket) {
    std::vector<char> got;
    std::array<char, 65536> chunk;
    for (;;) {
        std::error_code ec;
        size_t n = socket.read_some(asio::buffer(chunk), ec);
        got.insert(got.end(), chunk.data(), chunk.data() + n);
        if (ec) break;
    }
    return got;
}

void bound_receive(tcp::socket& socket) {
    timeval limit{20, 0};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

// Both directions carry megabytes at the same time: the relay's buffers grow while reads fill
// them, and the upstream's reply streams back while the request is still arriving.
TEST(RelayTest, BulkBothWaysAtOnceArrivesIntactAndCounted) {
    const std::vector<char> request = pattern(6 * 1024 * 1024 + 4097, 1);
    const std::vector<char> reply = pattern(5 * 1024 * 1024 + 333, 2);

    asio::io_context io;
    tcp::acceptor acceptor(io, kLoopback);
    std::vector<char> upstream_got;
    std::thread upstream([&] {
        tcp::socket peer = acceptor.accept();
        bound_receive(peer);
        std::thread sender([&] {
            asio::write(peer, asio::buffer(reply));
            peer.shutdown(tcp::socket::shutdown_send);
        });
        upstream_got = read_all(peer);
        sender.join();
    });

    TcpProxyUnderTest proxy("127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()));
    tcp::socket client(io);
    client.connect(proxy.proxy->local_address());
    bound_receive(client);
    std::thread sender([&] {
        asio::write(client, asio::buffer(request));
        client.shutdown(tcp::socket::shutdown_send);
    });
    const std::vector<char> client_got = read_all(client);
    sender.join();
    upstream.join();

    EXPECT_TRUE(upstream_got == request) << "upstream got " << upstream_got.size() << " bytes";
    EXPECT_TRUE(client_got == reply) << "client got " << client_got.size() << " bytes";
    client.close();
    auto record = proxy.next_record();
    EXPECT_EQ(record.outcome, model::TcpStreamOutcome::Completed);
    EXPECT_EQ(record.bytes_to_upstream, request.size());
    EXPECT_EQ(record.bytes_to_client, reply.size());
}

// After a bulk transfer has grown the buffers, small exchanges still go through one by one:
// nothing waits for a buffer to fill, and a shrunk buffer loses nothing.
TEST(RelayTest, SmallExchangesAfterBulkEachGetTheirAnswer) {
    asio::io_context io;
    tcp::acceptor acceptor(io, kLoopback);
    std::thread upstream([&] {
        tcp::socket peer = acceptor.accept();
        bound_receive(peer);
        std::array<char, 100000> chunk;
        for (;;) {
            std::error_code ec;
            size_t n = peer.read_some(asio::buffer(chunk), ec);
            if (ec) break;
            asio::write(peer, asio::buffer(chunk.data(), n), ec);
            if (ec) break;
        }
        peer.shutdown(tcp::socket::shutdown_send);
    });

    TcpProxyUnderTest proxy("127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()));
    tcp::socket client(io);
    client.connect(proxy.proxy->local_address());
    bound_receive(client);

    const std::vector<char> bulk = pattern(2 * 1024 * 1024, 3);
    std::thread sender([&] { asio::write(client, asio::buffer(bulk)); });
    std::vector<char> echoed(bulk.size());
    std::error_code ec;
    asio::read(client, asio::buffer(echoed), ec);
    sender.join();
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_TRUE(echoed == bulk);

    for (int i = 0; i < 50; ++i) {
        const std::vector<char> message = pattern(size_t(1 + i * 37), unsigned(i));
        asio::write(client, asio::buffer(message));
        std::vector<char> back(message.size());
        asio::read(client, asio::buffer(back), ec);
        ASSERT_FALSE(ec) << "exchange " << i << ": " << ec.message();
        EXPECT_TRUE(back == message) << "exchange " << i;
    }
    client.shutdown(tcp::socket::shutdown_send);
    EXPECT_TRUE(read_all(client).empty());
    upstream.join();
    client.close();
    auto record = proxy.next_record();
    EXPECT_EQ(record.outcome, model::TcpStreamOutcome::Completed);
    EXPECT_EQ(record.bytes_to_upstream, record.bytes_to_client);
}

}  // namespace
}  // namespace ostrel::engine::tcp_test
