#include "ostrel-engine/faults/jitter.hpp"

namespace ostrel::engine {

JitterStream::JitterStream(std::unique_ptr<Bidirectional> inner, StreamContext& ctx,
                           DelaySampler sampler, double probability, model::TrafficFlow flow,
                           uint64_t seed)
    : FaultLayer(std::move(inner), ctx, flow),
      sampler_(sampler),
      probability_(probability),
      generator_(seed) {}

// Jitter looks at neither buffer space nor data length: every operation on an acting side
// takes the step.
asio::awaitable<IoResult> JitterStream::read(std::span<std::byte> buffer) {
    if (!acts_on_read_) return inner_->read(buffer);
    return jittered_read(buffer);
}

asio::awaitable<IoResult> JitterStream::write(std::span<const std::byte> data) {
    if (!acts_on_write_) return inner_->write(data);
    return jittered_write(data);
}

asio::awaitable<IoResult> JitterStream::jittered_read(std::span<std::byte> buffer) {
    if (must_wait(Side::ToUpstream)) {
        if (auto ec = co_await read_.delay.wait(ctx_, Side::ToUpstream)) {
            co_return std::unexpected(ec);
        }
        read_.decided = true;
    }
    IoResult result = co_await inner_->read(buffer);
    settle(Side::ToUpstream, result);
    co_return result;
}

asio::awaitable<IoResult> JitterStream::jittered_write(std::span<const std::byte> data) {
    if (must_wait(Side::ToClient)) {
        if (auto ec = co_await write_.delay.wait(ctx_, Side::ToClient)) {
            co_return std::unexpected(ec);
        }
        write_.decided = true;
    }
    IoResult result = co_await inner_->write(data);
    settle(Side::ToClient, result);
    co_return result;
}

bool JitterStream::must_wait(Side side) {
    SideState& s = state(side);
    if (s.decided) return false;
    if (s.delay.pending()) return true;
    // p = 1 always applies (every draw is below 1), p = 0 never.
    if (!(generator_.unit_closed_open() < probability_)) {
        s.decided = true;
        return false;
    }
    const auto drawn = sampler_.sample();
    metrics().mark_impacted();
    metrics().jitter_applied(to_micros(drawn));
    s.delay.start(drawn);
    return true;
}

void JitterStream::settle(Side side, const IoResult& result) {
    // An aborted operation did not complete; it will be retried and keeps its decision.
    if (!result && result.error() == asio::error::operation_aborted) return;
    state(side).decided = false;
}

std::unique_ptr<Bidirectional> JitterInjector::on_stream(
    StreamContext& ctx, std::unique_ptr<Bidirectional> stream) const {
    return std::make_unique<JitterStream>(std::move(stream), ctx, sampler_, probability_, flow_,
                                          thread_rng().next());
}

}  // namespace ostrel::engine
