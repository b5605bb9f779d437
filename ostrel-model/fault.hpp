#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace ostrel::model {

// Which way a fault acts: to-upstream on what the client sends, to-client on what comes back.
enum class TrafficFlow { ToUpstream, ToClient, Both };

enum class DnsCase { Delay, Timeout, Truncated, Refused, ServFail, NxDomain, EmptyAnswer, RandomA };

std::string_view tag(TrafficFlow flow);
std::string_view tag(DnsCase dns_case);
// Capitalised names used by the diagnostic rendering (`ToClient`, `NxDomain`).
std::string_view debug_name(TrafficFlow flow);
std::string_view debug_name(DnsCase dns_case);

// Latency distributions; every parameter is in milliseconds except the Pareto shapes.
struct NormalDistribution {
    double mean_ms = 0;
    double stddev_ms = 0;
    bool operator==(const NormalDistribution&) const = default;
};
struct ParetoDistribution {
    double shape = 0;
    double scale_ms = 0;
    bool operator==(const ParetoDistribution&) const = default;
};
struct ParetoNormalDistribution {
    double pareto_shape = 0;
    double pareto_scale_ms = 0;
    double normal_mean_ms = 0;
    double normal_stddev_ms = 0;
    bool operator==(const ParetoNormalDistribution&) const = default;
};
struct UniformDistribution {
    double min_ms = 0;
    double max_ms = 0;
    bool operator==(const UniformDistribution&) const = default;
};

struct DelayDistribution {
    using Normal = NormalDistribution;
    using Pareto = ParetoDistribution;
    using ParetoNormal = ParetoNormalDistribution;
    using Uniform = UniformDistribution;

    std::variant<Normal, Pareto, ParetoNormal, Uniform> kind;

    bool operator==(const DelayDistribution&) const = default;
};

struct LatencyFault {
    TrafficFlow flow = TrafficFlow::Both;
    DelayDistribution distribution;
    bool operator==(const LatencyFault&) const = default;
};
struct JitterFault {
    TrafficFlow flow = TrafficFlow::Both;
    double min_delay_ms = 0;
    double max_delay_ms = 0;
    double probability = 0;
    bool operator==(const JitterFault&) const = default;
};
struct BandwidthFault {
    TrafficFlow flow = TrafficFlow::Both;
    uint64_t bytes_per_second = 0;
    bool operator==(const BandwidthFault&) const = default;
};
struct BlackholeFault {
    TrafficFlow flow = TrafficFlow::Both;
    bool operator==(const BlackholeFault&) const = default;
};
struct ConnectionResetFault {
    TrafficFlow flow = TrafficFlow::Both;
    double probability = 0;
    bool operator==(const ConnectionResetFault&) const = default;
};
struct DnsFault {
    DnsCase dns_case = DnsCase::Delay;  // "case" in JSON
    std::optional<uint64_t> delay_ms;
    bool operator==(const DnsFault&) const = default;
};

// One fault of a fault list, a tagged variant ("type" in JSON).
struct FaultSpec {
    using Latency = LatencyFault;
    using Jitter = JitterFault;
    using Bandwidth = BandwidthFault;
    using Blackhole = BlackholeFault;
    using ConnectionReset = ConnectionResetFault;
    using Dns = DnsFault;

    std::variant<Latency, Jitter, Bandwidth, Blackhole, ConnectionReset, Dns> kind;

    bool operator==(const FaultSpec&) const = default;
};

std::string_view tag(const FaultSpec& fault);
std::string_view tag(const DelayDistribution& distribution);

// Diagnostic rendering, as in `Bandwidth { bytes_per_second: 1000, flow: Both }`: the kind,
// then every field but `flow` in declared order, then `flow`.
std::string debug(const FaultSpec& fault);
std::string debug(const DelayDistribution& distribution);

class JsonWriter;
// {"type":..., fields in declared order}; "delay_ms" is null when absent.
void write_json(JsonWriter& out, const FaultSpec& fault);
void write_json(JsonWriter& out, const DelayDistribution& distribution);

}  // namespace ostrel::model
