#pragma once

#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "ostrel-engine/error.hpp"
#include "ostrel-engine/faults/stream.hpp"
#include "ostrel-engine/rt/cancellation.hpp"
#include "ostrel-engine/rt/swappable.hpp"
#include "ostrel-model/fault.hpp"

namespace ostrel::engine {

// Wraps a connection's stream in the layer of one fault. Injectors are immutable and shared by
// every connection that uses their fault set.
class FaultInjector {
  public:
    virtual ~FaultInjector() = default;
    virtual std::unique_ptr<Bidirectional> on_stream(
        StreamContext& ctx, std::unique_ptr<Bidirectional> stream) const = 0;
};

// The injectors of a fault list, in list order; dns faults have none.
class FaultChain {
  public:
    FaultChain() = default;

    static std::expected<FaultChain, EngineError> from_specs(
        std::span<const model::FaultSpec> specs);

    // Builds a stack over `base`: the last injector wraps first, so the first fault of the list
    // is outermost and sees every read and write first.
    std::unique_ptr<Bidirectional> wrap(StreamContext& ctx,
                                        std::unique_ptr<Bidirectional> base) const;

    const std::vector<std::shared_ptr<const FaultInjector>>& injectors() const {
        return injectors_;
    }
    size_t size() const { return injectors_.size(); }
    bool empty() const { return injectors_.empty(); }

  private:
    std::vector<std::shared_ptr<const FaultInjector>> injectors_;
};

// One prepared fault set of a proxy. Its token is cancelled when the set is replaced.
struct ActiveFaults {
    std::vector<model::FaultSpec> specs;
    FaultChain chain;
    rt::CancellationToken token;
};

// A proxy's current fault set. Copies share the same set; reading it takes no lock of ours.
class FaultRuntime {
  public:
    // Validates `specs` (paths under "faults"), checks that the protocol supports every kind,
    // and makes the prepared set current.
    static std::expected<FaultRuntime, EngineError> create(std::span<const model::FaultSpec> specs,
                                                           bool udp);

    // Prepares a set for this runtime's protocol without installing it. The support check
    // comes before validation here, so an unsupported and invalid list reports the former.
    std::expected<std::shared_ptr<const ActiveFaults>, EngineError> prepare_specs(
        std::span<const model::FaultSpec> specs) const;

    // Makes `set` current, then cancels the token of the set it replaced, which wakes every
    // connection still built from that set.
    void install(std::shared_ptr<const ActiveFaults> set) const;

    std::shared_ptr<const ActiveFaults> current() const { return active_->load(); }
    bool udp() const { return udp_; }

  private:
    FaultRuntime(std::shared_ptr<rt::Swappable<ActiveFaults>> active, bool udp)
        : active_(std::move(active)), udp_(udp) {}

    std::shared_ptr<rt::Swappable<ActiveFaults>> active_;
    bool udp_ = false;
};

}  // namespace ostrel::engine
