#include "ostrel-model/validation.hpp"

#include <cmath>
#include <set>
#include <type_traits>
#include <variant>

#include "ostrel-model/text.hpp"

namespace ostrel::model {

namespace {

using Result = std::expected<void, ValidationError>;

std::unexpected<ValidationError> fail(std::string path, std::string message, std::string hint) {
    return std::unexpected(ValidationError(std::move(path), std::move(message), std::move(hint)));
}

bool is_blank(std::string_view text) {
    return trim_unicode_whitespace(text).empty();
}

std::string indexed(std::string_view base, size_t index) {
    return std::string(base) + "[" + std::to_string(index) + "]";
}

// A delay in milliseconds.
Result check_non_negative(std::string path, double value) {
    if (std::isfinite(value) && value >= 0) return {};
    return fail(
        std::move(path),
        "delay must be a finite non-negative number; received " + format_number(value) + ".",
        "Use milliseconds such as 100 or 250.5.");
}

Result check_positive(std::string path, double value) {
    if (std::isfinite(value) && value > 0) return {};
    return fail(
        std::move(path),
        "value must be a finite number greater than zero; received " + format_number(value) + ".",
        "Choose a positive value appropriate for the distribution.");
}

Result check_probability(std::string path, double value) {
    if (std::isfinite(value) && value >= 0 && value <= 1) return {};
    return fail(std::move(path),
                "probability must be between 0 and 1; received " + format_number(value) + ".",
                "Use a decimal such as 0.75 for a 75% probability.");
}

Result validate_distribution(const DelayDistribution& distribution, const std::string& path) {
    return std::visit(
        [&](const auto& kind) -> Result {
            using Kind = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<Kind, DelayDistribution::Normal>) {
                if (auto r = check_non_negative(path + ".mean_ms", kind.mean_ms); !r) return r;
                return check_positive(path + ".stddev_ms", kind.stddev_ms);
            } else if constexpr (std::is_same_v<Kind, DelayDistribution::Pareto>) {
                if (auto r = check_positive(path + ".shape", kind.shape); !r) return r;
                return check_positive(path + ".scale_ms", kind.scale_ms);
            } else if constexpr (std::is_same_v<Kind, DelayDistribution::ParetoNormal>) {
                if (auto r = check_positive(path + ".pareto_shape", kind.pareto_shape); !r) {
                    return r;
                }
                if (auto r = check_positive(path + ".pareto_scale_ms", kind.pareto_scale_ms); !r) {
                    return r;
                }
                if (auto r = check_non_negative(path + ".normal_mean_ms", kind.normal_mean_ms);
                    !r) {
                    return r;
                }
                return check_positive(path + ".normal_stddev_ms", kind.normal_stddev_ms);
            } else {
                static_assert(std::is_same_v<Kind, DelayDistribution::Uniform>);
                return validate_range(path, kind.min_ms, kind.max_ms);
            }
        },
        distribution.kind);
}

Result validate_fault(const FaultSpec& fault, const std::string& path) {
    return std::visit(
        [&](const auto& kind) -> Result {
            using Kind = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<Kind, FaultSpec::Latency>) {
                return validate_distribution(kind.distribution, path + ".distribution");
            } else if constexpr (std::is_same_v<Kind, FaultSpec::Jitter>) {
                if (auto r = validate_range(path, kind.min_delay_ms, kind.max_delay_ms); !r) {
                    return r;
                }
                return check_probability(path + ".probability", kind.probability);
            } else if constexpr (std::is_same_v<Kind, FaultSpec::Bandwidth>) {
                if (kind.bytes_per_second != 0) return {};
                return fail(path + ".bytes_per_second", "bandwidth must be greater than zero.",
                            "Use the number of bytes allowed per second.");
            } else if constexpr (std::is_same_v<Kind, FaultSpec::ConnectionReset>) {
                return check_probability(path + ".probability", kind.probability);
            } else {
                static_assert(std::is_same_v<Kind, FaultSpec::Blackhole> ||
                              std::is_same_v<Kind, FaultSpec::Dns>);
                return {};
            }
        },
        fault.kind);
}

}  // namespace

std::string ValidationError::display() const {
    return path_ + ": " + message_ + " " + hint_;
}

std::string ValidationError::debug() const {
    return "ValidationError { path: " + quoted(path_) + ", message: " + quoted(message_) +
           ", hint: " + quoted(hint_) + " }";
}

std::expected<void, ValidationError> validate_range(std::string_view path, double min_ms,
                                                    double max_ms) {
    std::string base(path);
    if (auto r = check_non_negative(base + ".min_delay_ms", min_ms); !r) return r;
    if (auto r = check_non_negative(base + ".max_delay_ms", max_ms); !r) return r;
    if (max_ms < min_ms) {
        return fail(std::move(base),
                    "minimum delay " + format_number(min_ms) + "ms is greater than maximum delay " +
                        format_number(max_ms) + "ms.",
                    "Make min_delay_ms less than or equal to max_delay_ms.");
    }
    return {};
}

std::expected<void, ValidationError> validate_faults_at(std::span<const FaultSpec> faults,
                                                        std::string_view base_path) {
    for (size_t k = 0; k < faults.size(); ++k) {
        if (auto r = validate_fault(faults[k], indexed(base_path, k)); !r) return r;
    }
    return {};
}

std::expected<void, ValidationError> Run::validate() const {
    if (proxies.empty()) {
        return fail("proxies", "at least one proxy is required.",
                    "Add a proxy with a listen address and an upstream address.");
    }
    // Names compare exactly as written: " db" and "db" are different proxies.
    std::set<std::string_view> seen;
    for (size_t i = 0; i < proxies.size(); ++i) {
        const Proxy& proxy = proxies[i];
        std::string path = indexed("proxies", i);
        if (is_blank(proxy.name)) {
            return fail(path + ".name", "the proxy name is empty.",
                        "Use a short stable name such as database or redis.");
        }
        if (!seen.insert(proxy.name).second) {
            return fail(path + ".name", "proxy name " + quoted(proxy.name) + " is duplicated.",
                        "Give every proxy a unique name.");
        }
        if (is_blank(proxy.listen)) {
            return fail(path + ".listen", "the listen address is empty.",
                        "Use an address such as 127.0.0.1:8080.");
        }
        if (is_blank(proxy.upstream)) {
            return fail(path + ".upstream", "the upstream address is empty.",
                        "Use a host and port such as database:5432.");
        }
    }
    if (phases.empty()) {
        return fail("phases", "a run needs at least one phase.",
                    "Add a phase describing how long a network condition should last.");
    }
    const std::set<std::string_view>& declared = seen;
    for (size_t i = 0; i < phases.size(); ++i) {
        const Phase& phase = phases[i];
        std::string phase_path = indexed("phases", i);
        std::set<std::string_view> in_phase;
        for (size_t j = 0; j < phase.proxies.size(); ++j) {
            const ProxyFaults& entry = phase.proxies[j];
            std::string entry_path = indexed(phase_path + ".proxies", j);
            if (!declared.contains(entry.proxy)) {
                return fail(entry_path + ".proxy",
                            "proxy " + quoted(entry.proxy) + " is not defined.",
                            "Use the name of a proxy declared in the run.");
            }
            if (!in_phase.insert(entry.proxy).second) {
                return fail(
                    entry_path + ".proxy",
                    "proxy " + quoted(entry.proxy) + " is configured more than once in this phase.",
                    "Combine its faults into one proxy entry.");
            }
            if (auto r = validate_faults_at(entry.faults, entry_path + ".faults"); !r) return r;
        }
        if (!phase.duration && i + 1 < phases.size()) {
            return fail(phase_path + ".duration",
                        "an indefinite phase makes later phases unreachable.",
                        "Give this phase a duration or make it the final phase.");
        }
    }
    return {};
}

}  // namespace ostrel::model
