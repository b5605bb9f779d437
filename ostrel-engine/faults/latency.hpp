#pragma once

// Latency: the first read and the first write on the sides the fault acts on each wait for one
// delay drawn from the fault's distribution; later traffic passes undelayed.

#include <memory>
#include <span>

#include "ostrel-engine/faults/delay.hpp"
#include "ostrel-engine/faults/layer.hpp"
#include "ostrel-engine/faults/runtime.hpp"

namespace ostrel::engine {

class LatencyStream final : public FaultLayer {
  public:
    LatencyStream(std::unique_ptr<Bidirectional> inner, StreamContext& ctx, DelaySampler sampler,
                  model::TrafficFlow flow);

    asio::awaitable<IoResult> read(std::span<std::byte> buffer) override;
    asio::awaitable<IoResult> write(std::span<const std::byte> data) override;

  private:
    asio::awaitable<IoResult> delayed_read(std::span<std::byte> buffer);
    asio::awaitable<IoResult> delayed_write(std::span<const std::byte> data);
    asio::awaitable<std::error_code> delay_once(Side side);

    DelaySampler sampler_;
    PendingDelay read_delay_;
    PendingDelay write_delay_;
    bool read_done_ = false;
    bool write_done_ = false;
};

class LatencyInjector final : public FaultInjector {
  public:
    LatencyInjector(DelaySampler sampler, model::TrafficFlow flow)
        : sampler_(sampler), flow_(flow) {}

    std::unique_ptr<Bidirectional> on_stream(StreamContext& ctx,
                                             std::unique_ptr<Bidirectional> stream) const override;

  private:
    DelaySampler sampler_;
    model::TrafficFlow flow_;
};

}  // namespace ostrel::engine
