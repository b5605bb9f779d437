#pragma once

// Blackhole: reads or writes on the sides the fault acts on never complete; nothing moves on
// that side until the fault set changes or the connection ends.

#include <memory>
#include <span>

#include "ostrel-engine/faults/layer.hpp"
#include "ostrel-engine/faults/runtime.hpp"

namespace ostrel::engine {

class BlackholeStream final : public FaultLayer {
  public:
    BlackholeStream(std::unique_ptr<Bidirectional> inner, StreamContext& ctx,
                    model::TrafficFlow flow)
        : FaultLayer(std::move(inner), ctx, flow) {}

    asio::awaitable<IoResult> read(std::span<std::byte> buffer) override;
    asio::awaitable<IoResult> write(std::span<const std::byte> data) override;

  private:
    asio::awaitable<IoResult> swallow(Side side);
};

class BlackholeInjector final : public FaultInjector {
  public:
    explicit BlackholeInjector(model::TrafficFlow flow) : flow_(flow) {}

    std::unique_ptr<Bidirectional> on_stream(StreamContext& ctx,
                                             std::unique_ptr<Bidirectional> stream) const override;

  private:
    model::TrafficFlow flow_;
};

}  // namespace ostrel::engine
