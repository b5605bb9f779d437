#include "ostrel-engine/faults/blackhole.hpp"

#include "ostrel-engine/rt/cancellation.hpp"

namespace ostrel::engine {

asio::awaitable<IoResult> BlackholeStream::read(std::span<std::byte> buffer) {
    if (buffer.empty() || !acts_on_read_) return inner_->read(buffer);
    return swallow(Side::ToUpstream);
}

asio::awaitable<IoResult> BlackholeStream::write(std::span<const std::byte> data) {
    if (data.empty() || !acts_on_write_) return inner_->write(data);
    return swallow(Side::ToClient);
}

asio::awaitable<IoResult> BlackholeStream::swallow(Side side) {
    metrics().mark_impacted();
    metrics().blackhole(side);
    // No timer and no polling: only the side's signal (a fault change, or the connection
    // ending) ends the stall.
    auto [ec] = co_await rt::async_stall(ctx_.wait_token(side));
    co_return std::unexpected(ec ? ec : make_error_code(asio::error::operation_aborted));
}

std::unique_ptr<Bidirectional> BlackholeInjector::on_stream(
    StreamContext& ctx, std::unique_ptr<Bidirectional> stream) const {
    return std::make_unique<BlackholeStream>(std::move(stream), ctx, flow_);
}

}  // namespace ostrel::engine
