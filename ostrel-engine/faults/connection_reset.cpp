#include "ostrel-engine/faults/connection_reset.hpp"

#include "ostrel-engine/faults/delay.hpp"

namespace ostrel::engine {

asio::awaitable<IoResult> ConnectionResetStream::read(std::span<std::byte> buffer) {
    if (buffer.empty() || !armed_ || !acts_on_read_) return inner_->read(buffer);
    return fire();
}

asio::awaitable<IoResult> ConnectionResetStream::write(std::span<const std::byte> data) {
    if (data.empty() || !armed_ || !acts_on_write_) return inner_->write(data);
    return fire();
}

// Nothing is read or written: the socket is armed so that closing it sends a reset, and the
// error tells the proxy to close it.
asio::awaitable<IoResult> ConnectionResetStream::fire() {
    metrics().mark_impacted();
    metrics().connection_reset();
    if (auto ec = inner_->reset()) co_return std::unexpected(ec);
    co_return std::unexpected(make_error_code(StreamErrc::fault_reset));
}

std::unique_ptr<Bidirectional> ConnectionResetInjector::on_stream(
    StreamContext& ctx, std::unique_ptr<Bidirectional> stream) const {
    // p = 1 arms always (every draw is below 1), p = 0 never.
    const bool armed = thread_rng().unit_closed_open() < probability_;
    return std::make_unique<ConnectionResetStream>(std::move(stream), ctx, armed, flow_);
}

}  // namespace ostrel::engine
