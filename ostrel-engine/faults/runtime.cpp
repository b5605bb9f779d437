#include "ostrel-engine/faults/runtime.hpp"

#include <cmath>
#include <string>

#include "ostrel-engine/faults/bandwidth.hpp"
#include "ostrel-engine/faults/blackhole.hpp"
#include "ostrel-engine/faults/connection_reset.hpp"
#include "ostrel-engine/faults/delay.hpp"
#include "ostrel-engine/faults/jitter.hpp"
#include "ostrel-engine/faults/latency.hpp"
#include "ostrel-model/validation.hpp"

namespace ostrel::engine {

namespace {

using InjectorResult = std::expected<std::shared_ptr<const FaultInjector>, EngineError>;

EngineError invalid(std::string message) {
    return EngineError(EngineError::InvalidFaultConfig{std::move(message)});
}

bool is_probability(double p) {
    return std::isfinite(p) && p >= 0 && p <= 1;
}

std::string probability_message(const char* kind) {
    return std::string(kind) + " probability must be between zero and one";
}

InjectorResult injector(const model::LatencyFault& fault) {
    auto sampler = DelaySampler::create(fault.distribution);
    if (!sampler) return std::unexpected(sampler.error());
    return std::make_shared<const LatencyInjector>(*sampler, fault.flow);
}

InjectorResult injector(const model::JitterFault& fault) {
    if (!std::isfinite(fault.min_delay_ms) || !std::isfinite(fault.max_delay_ms) ||
        fault.min_delay_ms < 0 || fault.min_delay_ms > fault.max_delay_ms) {
        return std::unexpected(
            invalid("jitter delay range must be finite, non-negative, and ordered"));
    }
    if (!is_probability(fault.probability)) {
        return std::unexpected(invalid(probability_message("jitter")));
    }
    auto sampler =
        DelaySampler::create({model::UniformDistribution{fault.min_delay_ms, fault.max_delay_ms}});
    if (!sampler) return std::unexpected(sampler.error());
    return std::make_shared<const JitterInjector>(*sampler, fault.probability, fault.flow);
}

InjectorResult injector(const model::BandwidthFault& fault) {
    if (fault.bytes_per_second == 0) {
        return std::unexpected(invalid("bandwidth must be greater than zero"));
    }
    return std::make_shared<const BandwidthInjector>(fault.bytes_per_second, fault.flow);
}

InjectorResult injector(const model::BlackholeFault& fault) {
    return std::make_shared<const BlackholeInjector>(fault.flow);
}

InjectorResult injector(const model::ConnectionResetFault& fault) {
    if (!is_probability(fault.probability)) {
        return std::unexpected(invalid(probability_message("connection-reset")));
    }
    return std::make_shared<const ConnectionResetInjector>(fault.probability, fault.flow);
}

bool supported(const model::FaultSpec& fault, bool udp) {
    if (udp) {
        return !std::holds_alternative<model::BandwidthFault>(fault.kind) &&
               !std::holds_alternative<model::ConnectionResetFault>(fault.kind);
    }
    return !std::holds_alternative<model::DnsFault>(fault.kind);
}

std::expected<void, EngineError> check_support(std::span<const model::FaultSpec> specs, bool udp) {
    for (const model::FaultSpec& fault : specs) {
        if (!supported(fault, udp)) {
            return std::unexpected(invalid("fault " + model::debug(fault) +
                                           " is not supported by " + (udp ? "udp" : "tcp") +
                                           " proxies"));
        }
    }
    return {};
}

std::expected<void, EngineError> validate(std::span<const model::FaultSpec> specs) {
    if (auto ok = model::validate_faults_at(specs, "faults"); !ok) {
        return std::unexpected(EngineError(EngineError::InvalidConfiguration{ok.error()}));
    }
    return {};
}

std::expected<std::shared_ptr<const ActiveFaults>, EngineError> build(
    std::span<const model::FaultSpec> specs) {
    auto chain = FaultChain::from_specs(specs);
    if (!chain) return std::unexpected(chain.error());
    return std::make_shared<const ActiveFaults>(ActiveFaults{
        std::vector<model::FaultSpec>(specs.begin(), specs.end()),
        std::move(*chain),
        rt::CancellationToken(),
    });
}

}  // namespace

std::expected<FaultChain, EngineError> FaultChain::from_specs(
    std::span<const model::FaultSpec> specs) {
    FaultChain chain;
    chain.injectors_.reserve(specs.size());
    for (const model::FaultSpec& fault : specs) {
        if (std::holds_alternative<model::DnsFault>(fault.kind)) continue;
        InjectorResult built = std::visit(
            [](const auto& f) -> InjectorResult {
                if constexpr (std::is_same_v<std::decay_t<decltype(f)>, model::DnsFault>) {
                    return std::unexpected(invalid("dns faults have no stream layer"));
                } else {
                    return injector(f);
                }
            },
            fault.kind);
        if (!built) return std::unexpected(built.error());
        chain.injectors_.push_back(std::move(*built));
    }
    return chain;
}

std::unique_ptr<Bidirectional> FaultChain::wrap(StreamContext& ctx,
                                                std::unique_ptr<Bidirectional> base) const {
    std::unique_ptr<Bidirectional> stream = std::move(base);
    for (auto it = injectors_.rbegin(); it != injectors_.rend(); ++it) {
        stream = (*it)->on_stream(ctx, std::move(stream));
    }
    return stream;
}

std::expected<FaultRuntime, EngineError> FaultRuntime::create(
    std::span<const model::FaultSpec> specs, bool udp) {
    if (auto ok = validate(specs); !ok) return std::unexpected(ok.error());
    if (auto ok = check_support(specs, udp); !ok) return std::unexpected(ok.error());
    auto set = build(specs);
    if (!set) return std::unexpected(set.error());
    return FaultRuntime(std::make_shared<rt::Swappable<ActiveFaults>>(std::move(*set)), udp);
}

std::expected<std::shared_ptr<const ActiveFaults>, EngineError> FaultRuntime::prepare_specs(
    std::span<const model::FaultSpec> specs) const {
    if (auto ok = check_support(specs, udp_); !ok) return std::unexpected(ok.error());
    if (auto ok = validate(specs); !ok) return std::unexpected(ok.error());
    return build(specs);
}

void FaultRuntime::install(std::shared_ptr<const ActiveFaults> set) const {
    // Exchange before cancel: a connection woken by the old token must find the new set.
    std::shared_ptr<const ActiveFaults> old = active_->exchange(std::move(set));
    if (old) old->token.cancel();
}

}  // namespace ostrel::engine
