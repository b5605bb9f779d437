#pragma once

#include <memory>
#include <system_error>

#include "ostrel-engine/faults/stream.hpp"
#include "ostrel-engine/metrics.hpp"
#include "ostrel-model/fault.hpp"

namespace ostrel::engine {

// Whether a fault with `flow` acts on `side`: reads carry what the client sends towards the
// upstream, writes what travels back to the client.
constexpr bool acts_on(model::TrafficFlow flow, Side side) {
    switch (flow) {
        case model::TrafficFlow::ToUpstream:
            return side == Side::ToUpstream;
        case model::TrafficFlow::ToClient:
            return side == Side::ToClient;
        case model::TrafficFlow::Both:
            return true;
    }
    return false;
}

// What every fault layer shares: the stream it wraps, the connection's context and the sides
// its fault acts on. Flush, shutdown and reset pass straight through; peeling drops the layer
// with whatever delay it had pending and hands back the stream below.
class FaultLayer : public Bidirectional {
  public:
    asio::awaitable<std::error_code> flush() override { return inner_->flush(); }
    asio::awaitable<std::error_code> shutdown() override { return inner_->shutdown(); }
    std::error_code reset() override { return inner_->reset(); }

  protected:
    FaultLayer(std::unique_ptr<Bidirectional> inner, StreamContext& ctx, model::TrafficFlow flow)
        : inner_(std::move(inner)),
          ctx_(ctx),
          acts_on_read_(acts_on(flow, Side::ToUpstream)),
          acts_on_write_(acts_on(flow, Side::ToClient)) {}

    Peeled peel_self(std::unique_ptr<Bidirectional> self) override {
        std::unique_ptr<Bidirectional> inner = std::move(inner_);
        self.reset();
        return {std::move(inner), false};
    }

    TransportMetrics& metrics() const { return *ctx_.metrics; }

    std::unique_ptr<Bidirectional> inner_;
    StreamContext& ctx_;
    const bool acts_on_read_;
    const bool acts_on_write_;
};

}  // namespace ostrel::engine
