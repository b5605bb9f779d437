#pragma once

// Connection reset: an armed layer aborts the connection with a TCP reset at the first read or
// write on the sides the fault acts on; whether it is armed is drawn once, when it is built.

#include <memory>
#include <span>

#include "ostrel-engine/faults/layer.hpp"
#include "ostrel-engine/faults/runtime.hpp"

namespace ostrel::engine {

class ConnectionResetStream final : public FaultLayer {
  public:
    ConnectionResetStream(std::unique_ptr<Bidirectional> inner, StreamContext& ctx, bool armed,
                          model::TrafficFlow flow)
        : FaultLayer(std::move(inner), ctx, flow), armed_(armed) {}

    asio::awaitable<IoResult> read(std::span<std::byte> buffer) override;
    asio::awaitable<IoResult> write(std::span<const std::byte> data) override;

    bool armed() const { return armed_; }

  private:
    asio::awaitable<IoResult> fire();

    const bool armed_;
};

class ConnectionResetInjector final : public FaultInjector {
  public:
    // `probability` lies in [0, 1].
    ConnectionResetInjector(double probability, model::TrafficFlow flow)
        : probability_(probability), flow_(flow) {}

    std::unique_ptr<Bidirectional> on_stream(StreamContext& ctx,
                                             std::unique_ptr<Bidirectional> stream) const override;

  private:
    double probability_;
    model::TrafficFlow flow_;
};

}  // namespace ostrel::engine
