#include "ostrel-engine/observed_stream.hpp"

namespace ostrel::engine {

namespace {

bool would_block(const std::error_code& ec) {
    return ec == asio::error::would_block || ec == asio::error::try_again;
}

}  // namespace

ObservedStream::ObservedStream(asio::ip::tcp::socket socket, std::shared_ptr<StreamContext> ctx)
    : socket_(std::move(socket)), ctx_(std::move(ctx)) {
    // A socket that is not open fails every operation on its own; nothing to report here.
    std::error_code ignored;
    socket_.non_blocking(true, ignored);
}

ObservedStream::~ObservedStream() {
    // Asio's destructor turns a linger option set by the user off before closing, so that it
    // cannot block; an explicit close keeps it, and an armed socket sends its reset.
    std::error_code ignored;
    socket_.close(ignored);
}

asio::awaitable<IoResult> ObservedStream::read(std::span<std::byte> buffer) {
    // Asio tries the read at once and otherwise waits for readiness on the descriptor's standing
    // registration, which a separate wait would have to renew with a system call.
    auto [ec, n] = co_await socket_.async_read_some(asio::buffer(buffer.data(), buffer.size()),
                                                    ctx_->wait_token(Side::ToUpstream));
    if (!ec) {
        ctx_->metrics->add_bytes_to_upstream(n);
        co_return n;
    }
    if (ec == asio::error::eof) co_return size_t{0};
    co_return std::unexpected(ec);
}

asio::awaitable<IoResult> ObservedStream::write(std::span<const std::byte> data) {
    for (;;) {
        std::error_code ec;
        const size_t n = socket_.write_some(asio::buffer(data.data(), data.size()), ec);
        if (!ec) {
            ctx_->metrics->add_bytes_to_client(n);
            co_return n;
        }
        if (!would_block(ec)) co_return std::unexpected(ec);
        auto [wait_ec] = co_await socket_.async_wait(asio::ip::tcp::socket::wait_write,
                                                     ctx_->wait_token(Side::ToClient));
        if (wait_ec) co_return std::unexpected(wait_ec);
    }
}

asio::awaitable<std::error_code> ObservedStream::flush() {
    co_return std::error_code();
}

asio::awaitable<std::error_code> ObservedStream::shutdown() {
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    co_return ec;
}

std::error_code ObservedStream::reset() {
    std::error_code ec;
    socket_.set_option(asio::socket_base::linger(true, 0), ec);
    return ec;
}

}  // namespace ostrel::engine
