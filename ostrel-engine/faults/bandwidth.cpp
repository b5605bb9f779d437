#include "ostrel-engine/faults/bandwidth.hpp"

#include <algorithm>

namespace ostrel::engine {

namespace {

// How far behind its schedule a paced side may run and still catch up.
constexpr std::chrono::milliseconds kCatchUp{20};

}  // namespace

BandwidthStream::BandwidthStream(std::unique_ptr<Bidirectional> inner, StreamContext& ctx,
                                 uint64_t bytes_per_second, model::TrafficFlow flow)
    : FaultLayer(std::move(inner), ctx, flow), bytes_per_second_(bytes_per_second) {}

asio::awaitable<IoResult> BandwidthStream::read(std::span<std::byte> buffer) {
    if (buffer.empty() || !acts_on_read_) return inner_->read(buffer);
    return paced_read(buffer);
}

asio::awaitable<IoResult> BandwidthStream::write(std::span<const std::byte> data) {
    if (data.empty() || !acts_on_write_) return inner_->write(data);
    return paced_write(data);
}

// The pause after a chunk delays the next operation, not the one that moved the chunk.
asio::awaitable<IoResult> BandwidthStream::paced_read(std::span<std::byte> buffer) {
    if (read_pause_.pending()) {
        if (auto ec = co_await read_pause_.wait(ctx_, Side::ToUpstream)) {
            co_return std::unexpected(ec);
        }
    }
    IoResult result = co_await inner_->read(buffer.first(std::min(buffer.size(), kChunkBytes)));
    passed(result, read_pause_, read_due_);
    co_return result;
}

asio::awaitable<IoResult> BandwidthStream::paced_write(std::span<const std::byte> data) {
    if (write_pause_.pending()) {
        if (auto ec = co_await write_pause_.wait(ctx_, Side::ToClient)) {
            co_return std::unexpected(ec);
        }
    }
    IoResult result = co_await inner_->write(data.first(std::min(data.size(), kChunkBytes)));
    passed(result, write_pause_, write_due_);
    co_return result;
}

void BandwidthStream::passed(IoResult result, PendingDelay& pause, Clock::time_point& due) {
    // Errors and end of stream start no pause.
    if (!result || *result == 0) return;
    metrics().mark_impacted();
    metrics().bandwidth_limited(*result);
    // A pause runs from when the previous one was due, not from now: the time spent moving a
    // chunk and the timer's lateness would otherwise add to every pause, and at high rates the
    // cap would be missed by far. Lateness is made up only within kCatchUp, so after an idle
    // spell no burst builds up. The first pause runs from now.
    const std::chrono::nanoseconds length =
        duration_from_secs(double(*result) / double(bytes_per_second_));
    const Clock::time_point now = Clock::now();
    const Clock::time_point from = due == Clock::time_point{} ? now : std::max(now - kCatchUp, due);
    due = length >= Clock::time_point::max() - from ? Clock::time_point::max() : from + length;
    pause.start_until(due);
}

std::unique_ptr<Bidirectional> BandwidthInjector::on_stream(
    StreamContext& ctx, std::unique_ptr<Bidirectional> stream) const {
    return std::make_unique<BandwidthStream>(std::move(stream), ctx, bytes_per_second_, flow_);
}

}  // namespace ostrel::engine
