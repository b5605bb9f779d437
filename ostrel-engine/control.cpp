#include "ostrel-engine/control.hpp"

#include <utility>

#include "ostrel-engine/engine.hpp"
#include "ostrel-model/text.hpp"

namespace ostrel::engine {

namespace {

EngineError unknown_proxy(std::string_view name) {
    return EngineError(EngineError::UnknownProxy{std::string(name)});
}

}  // namespace

ControlSession::ControlSession(rt::Semaphore::Permit permit, RuntimeMap runtimes, Snapshot previous,
                               rt::Executor executor)
    : permit_(std::move(permit)),
      runtimes_(std::move(runtimes)),
      previous_(std::move(previous)),
      executor_(std::move(executor)) {}

// A moved-from optional stays engaged; exchanging leaves the source with nothing to restore.
ControlSession::ControlSession(ControlSession&& other) noexcept
    : permit_(std::move(other.permit_)),
      runtimes_(std::move(other.runtimes_)),
      previous_(std::exchange(other.previous_, std::nullopt)),
      executor_(std::move(other.executor_)) {}

ControlSession& ControlSession::operator=(ControlSession&& other) noexcept {
    if (this != &other) {
        end();
        permit_ = std::move(other.permit_);
        runtimes_ = std::move(other.runtimes_);
        previous_ = std::exchange(other.previous_, std::nullopt);
        executor_ = std::move(other.executor_);
    }
    return *this;
}

ControlSession::~ControlSession() {
    end();
}

void ControlSession::end() {
    restore_previous();
    permit_.release();
}

std::expected<void, EngineError> ControlSession::replace_faults(
    const std::vector<model::ProxyFaults>& list) {
    std::map<std::string_view, const std::vector<model::FaultSpec>*> named;
    for (const auto& entry : list) {
        if (!runtimes_.contains(entry.proxy)) return std::unexpected(unknown_proxy(entry.proxy));
        if (!named.emplace(entry.proxy, &entry.faults).second) {
            return std::unexpected(EngineError(EngineError::InvalidFaultConfig{
                "proxy " + model::quoted(entry.proxy) + " is configured more than once"}));
        }
    }
    // Everything is prepared before anything is installed, so a bad list changes nothing.
    const std::vector<model::FaultSpec> none;
    std::vector<std::pair<const FaultRuntime*, std::shared_ptr<const ActiveFaults>>> prepared;
    prepared.reserve(runtimes_.size());
    for (const auto& [name, runtime] : runtimes_) {
        auto found = named.find(name);
        const auto& specs = found == named.end() ? none : *found->second;
        auto set = runtime.prepare_specs(specs);
        if (!set) return std::unexpected(std::move(set.error()));
        prepared.emplace_back(&runtime, std::move(*set));
    }
    for (auto& [runtime, set] : prepared) runtime->install(std::move(set));
    return {};
}

void ControlSession::restore_previous() {
    std::optional<Snapshot> snapshot = std::exchange(previous_, std::nullopt);
    if (!snapshot) return;
    // Every proxy gets a new set, changed or not, so open connections rebuild their layers.
    for (const auto& [name, specs] : *snapshot) {
        auto runtime = runtimes_.find(name);
        if (runtime == runtimes_.end()) continue;
        auto set = runtime->second.prepare_specs(specs);
        if (set) runtime->second.install(std::move(*set));
    }
}

std::expected<ControlSession, EngineError> RunningEngine::begin_control() const {
    std::optional<rt::Semaphore::Permit> permit;
    if (control_) permit = control_->try_acquire();
    if (!permit) return std::unexpected(EngineError(EngineError::ControlAlreadyActive{}));
    ControlSession::Snapshot previous;
    for (const auto& [name, runtime] : runtimes_) {
        previous.emplace(name, runtime.current()->specs);
    }
    return ControlSession(std::move(*permit), runtimes_, std::move(previous), executor_);
}

std::vector<model::ProxyFaults> RunningEngine::active_faults() const {
    std::vector<model::ProxyFaults> out;
    out.reserve(runtimes_.size());
    for (const auto& [name, runtime] : runtimes_) {
        out.push_back(model::ProxyFaults{name, runtime.current()->specs});
    }
    return out;
}

std::expected<void, EngineError> RunningEngine::set_faults(
    std::string_view proxy, std::vector<model::FaultSpec> faults) const {
    {
        // Only a check: a session that begins after it does not stop this install.
        std::optional<rt::Semaphore::Permit> permit;
        if (control_) permit = control_->try_acquire();
        if (!permit) return std::unexpected(EngineError(EngineError::ControlAlreadyActive{}));
    }
    auto runtime = runtimes_.find(proxy);
    if (runtime == runtimes_.end()) return std::unexpected(unknown_proxy(proxy));
    auto set = runtime->second.prepare_specs(faults);
    if (!set) return std::unexpected(std::move(set.error()));
    runtime->second.install(std::move(*set));
    return {};
}

}  // namespace ostrel::engine
