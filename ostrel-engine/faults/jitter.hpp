#pragma once

// Jitter: before each read or write on the sides the fault acts on, with the fault's
// probability, a delay drawn uniformly from its range; every completed operation decides anew.

#include <memory>
#include <span>

#include "ostrel-engine/faults/delay.hpp"
#include "ostrel-engine/faults/layer.hpp"
#include "ostrel-engine/faults/runtime.hpp"

namespace ostrel::engine {

class JitterStream final : public FaultLayer {
  public:
    // `sampler` is uniform over the fault's delay range; `probability` lies in [0, 1].
    JitterStream(std::unique_ptr<Bidirectional> inner, StreamContext& ctx, DelaySampler sampler,
                 double probability, model::TrafficFlow flow, uint64_t seed);

    asio::awaitable<IoResult> read(std::span<std::byte> buffer) override;
    asio::awaitable<IoResult> write(std::span<const std::byte> data) override;

  private:
    struct SideState {
        PendingDelay delay;
        // Set once the jitter step of the current operation is over, so that an operation
        // aborted further down and retried does not decide again.
        bool decided = false;
    };

    asio::awaitable<IoResult> jittered_read(std::span<std::byte> buffer);
    asio::awaitable<IoResult> jittered_write(std::span<const std::byte> data);
    // The decision part of the jitter step: true when a delay (new or pending) must be waited
    // out before the operation goes below.
    bool must_wait(Side side);
    void settle(Side side, const IoResult& result);
    SideState& state(Side side) { return side == Side::ToUpstream ? read_ : write_; }

    DelaySampler sampler_;
    double probability_;
    Xoshiro256 generator_;
    SideState read_;
    SideState write_;
};

class JitterInjector final : public FaultInjector {
  public:
    JitterInjector(DelaySampler sampler, double probability, model::TrafficFlow flow)
        : sampler_(sampler), probability_(probability), flow_(flow) {}

    std::unique_ptr<Bidirectional> on_stream(StreamContext& ctx,
                                             std::unique_ptr<Bidirectional> stream) const override;

  private:
    DelaySampler sampler_;
    double probability_;
    model::TrafficFlow flow_;
};

}  // namespace ostrel::engine
