#include "ostrel-engine/faults/latency.hpp"

namespace ostrel::engine {

LatencyStream::LatencyStream(std::unique_ptr<Bidirectional> inner, StreamContext& ctx,
                             DelaySampler sampler, model::TrafficFlow flow)
    : FaultLayer(std::move(inner), ctx, flow), sampler_(sampler) {}

asio::awaitable<IoResult> LatencyStream::read(std::span<std::byte> buffer) {
    if (buffer.empty() || !acts_on_read_ || read_done_) return inner_->read(buffer);
    return delayed_read(buffer);
}

asio::awaitable<IoResult> LatencyStream::write(std::span<const std::byte> data) {
    if (data.empty() || !acts_on_write_ || write_done_) return inner_->write(data);
    return delayed_write(data);
}

asio::awaitable<IoResult> LatencyStream::delayed_read(std::span<std::byte> buffer) {
    if (auto ec = co_await delay_once(Side::ToUpstream)) co_return std::unexpected(ec);
    co_return co_await inner_->read(buffer);
}

asio::awaitable<IoResult> LatencyStream::delayed_write(std::span<const std::byte> data) {
    if (auto ec = co_await delay_once(Side::ToClient)) co_return std::unexpected(ec);
    co_return co_await inner_->write(data);
}

asio::awaitable<std::error_code> LatencyStream::delay_once(Side side) {
    const bool read_side = side == Side::ToUpstream;
    PendingDelay& delay = read_side ? read_delay_ : write_delay_;
    // A retried operation finds its delay still pending and waits for the same deadline.
    if (!delay.pending()) {
        const auto drawn = sampler_.sample();
        metrics().mark_impacted();
        metrics().latency_applied(to_micros(drawn));
        delay.start(drawn);
    }
    if (auto ec = co_await delay.wait(ctx_, side)) co_return ec;
    (read_side ? read_done_ : write_done_) = true;
    co_return std::error_code();
}

std::unique_ptr<Bidirectional> LatencyInjector::on_stream(
    StreamContext& ctx, std::unique_ptr<Bidirectional> stream) const {
    return std::make_unique<LatencyStream>(std::move(stream), ctx, sampler_, flow_);
}

}  // namespace ostrel::engine
