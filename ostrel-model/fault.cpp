#include "ostrel-model/fault.hpp"

#include <charconv>
#include <cmath>

#include "ostrel-model/json_writer.hpp"
#include "ostrel-model/text.hpp"

namespace ostrel::model {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};

// Floating-point fields in the diagnostic rendering: plain decimal with a decimal point
// (`20.0`) for moderate magnitudes, shortest exponent form (`1e16`, `1.5e-7`) otherwise.
std::string debug_double(double value) {
    double magnitude = std::fabs(value);
    if (!std::isfinite(value) || magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
        std::string text = format_number(value);
        if (std::isfinite(value) && text.find('.') == std::string::npos) text += ".0";
        return text;
    }
    char buf[40];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, end);
    auto e = sci.find('e');
    std::string text(sci.substr(0, e));
    int exponent = 0;
    std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                    exponent);
    return text + "e" + std::to_string(exponent);
}

}  // namespace

std::string_view tag(TrafficFlow flow) {
    switch (flow) {
        case TrafficFlow::ToUpstream:
            return "to-upstream";
        case TrafficFlow::ToClient:
            return "to-client";
        case TrafficFlow::Both:
            return "both";
    }
    return "both";
}

std::string_view debug_name(TrafficFlow flow) {
    switch (flow) {
        case TrafficFlow::ToUpstream:
            return "ToUpstream";
        case TrafficFlow::ToClient:
            return "ToClient";
        case TrafficFlow::Both:
            return "Both";
    }
    return "Both";
}

std::string_view tag(DnsCase dns_case) {
    switch (dns_case) {
        case DnsCase::Delay:
            return "delay";
        case DnsCase::Timeout:
            return "timeout";
        case DnsCase::Truncated:
            return "truncated";
        case DnsCase::Refused:
            return "refused";
        case DnsCase::ServFail:
            return "serv-fail";
        case DnsCase::NxDomain:
            return "nx-domain";
        case DnsCase::EmptyAnswer:
            return "empty-answer";
        case DnsCase::RandomA:
            return "random-a";
    }
    return "delay";
}

std::string_view debug_name(DnsCase dns_case) {
    switch (dns_case) {
        case DnsCase::Delay:
            return "Delay";
        case DnsCase::Timeout:
            return "Timeout";
        case DnsCase::Truncated:
            return "Truncated";
        case DnsCase::Refused:
            return "Refused";
        case DnsCase::ServFail:
            return "ServFail";
        case DnsCase::NxDomain:
            return "NxDomain";
        case DnsCase::EmptyAnswer:
            return "EmptyAnswer";
        case DnsCase::RandomA:
            return "RandomA";
    }
    return "Delay";
}

std::string_view tag(const FaultSpec& fault) {
    return std::visit(Overloaded{
                          [](const FaultSpec::Latency&) { return "latency"; },
                          [](const FaultSpec::Jitter&) { return "jitter"; },
                          [](const FaultSpec::Bandwidth&) { return "bandwidth"; },
                          [](const FaultSpec::Blackhole&) { return "blackhole"; },
                          [](const FaultSpec::ConnectionReset&) { return "connection-reset"; },
                          [](const FaultSpec::Dns&) { return "dns"; },
                      },
                      fault.kind);
}

std::string_view tag(const DelayDistribution& distribution) {
    return std::visit(Overloaded{
                          [](const DelayDistribution::Normal&) { return "normal"; },
                          [](const DelayDistribution::Pareto&) { return "pareto"; },
                          [](const DelayDistribution::ParetoNormal&) { return "pareto-normal"; },
                          [](const DelayDistribution::Uniform&) { return "uniform"; },
                      },
                      distribution.kind);
}

std::string debug(const DelayDistribution& distribution) {
    return std::visit(
        Overloaded{
            [](const DelayDistribution::Normal& d) {
                return "Normal { mean_ms: " + debug_double(d.mean_ms) +
                       ", stddev_ms: " + debug_double(d.stddev_ms) + " }";
            },
            [](const DelayDistribution::Pareto& d) {
                return "Pareto { shape: " + debug_double(d.shape) +
                       ", scale_ms: " + debug_double(d.scale_ms) + " }";
            },
            [](const DelayDistribution::ParetoNormal& d) {
                return "ParetoNormal { pareto_shape: " + debug_double(d.pareto_shape) +
                       ", pareto_scale_ms: " + debug_double(d.pareto_scale_ms) +
                       ", normal_mean_ms: " + debug_double(d.normal_mean_ms) +
                       ", normal_stddev_ms: " + debug_double(d.normal_stddev_ms) + " }";
            },
            [](const DelayDistribution::Uniform& d) {
                return "Uniform { min_ms: " + debug_double(d.min_ms) +
                       ", max_ms: " + debug_double(d.max_ms) + " }";
            },
        },
        distribution.kind);
}

std::string debug(const FaultSpec& fault) {
    auto flow = [](TrafficFlow f) { return "flow: " + std::string(debug_name(f)) + " }"; };
    return std::visit(
        Overloaded{
            [&](const FaultSpec::Latency& f) {
                return "Latency { distribution: " + debug(f.distribution) + ", " + flow(f.flow);
            },
            [&](const FaultSpec::Jitter& f) {
                return "Jitter { min_delay_ms: " + debug_double(f.min_delay_ms) +
                       ", max_delay_ms: " + debug_double(f.max_delay_ms) +
                       ", probability: " + debug_double(f.probability) + ", " + flow(f.flow);
            },
            [&](const FaultSpec::Bandwidth& f) {
                return "Bandwidth { bytes_per_second: " + std::to_string(f.bytes_per_second) +
                       ", " + flow(f.flow);
            },
            [&](const FaultSpec::Blackhole& f) { return "Blackhole { " + flow(f.flow); },
            [&](const FaultSpec::ConnectionReset& f) {
                return "ConnectionReset { probability: " + debug_double(f.probability) + ", " +
                       flow(f.flow);
            },
            [](const FaultSpec::Dns& f) {
                std::string delay =
                    f.delay_ms ? "Some(" + std::to_string(*f.delay_ms) + ")" : "None";
                return "Dns { case: " + std::string(debug_name(f.dns_case)) +
                       ", delay_ms: " + delay + " }";
            },
        },
        fault.kind);
}

void write_json(JsonWriter& out, const DelayDistribution& distribution) {
    out.begin_object().key("type").string(tag(distribution));
    std::visit(Overloaded{
                   [&](const DelayDistribution::Normal& d) {
                       out.key("mean_ms").number(d.mean_ms).key("stddev_ms").number(d.stddev_ms);
                   },
                   [&](const DelayDistribution::Pareto& d) {
                       out.key("shape").number(d.shape).key("scale_ms").number(d.scale_ms);
                   },
                   [&](const DelayDistribution::ParetoNormal& d) {
                       out.key("pareto_shape").number(d.pareto_shape);
                       out.key("pareto_scale_ms").number(d.pareto_scale_ms);
                       out.key("normal_mean_ms").number(d.normal_mean_ms);
                       out.key("normal_stddev_ms").number(d.normal_stddev_ms);
                   },
                   [&](const DelayDistribution::Uniform& d) {
                       out.key("min_ms").number(d.min_ms).key("max_ms").number(d.max_ms);
                   },
               },
               distribution.kind);
    out.end_object();
}

void write_json(JsonWriter& out, const FaultSpec& fault) {
    out.begin_object().key("type").string(tag(fault));
    std::visit(Overloaded{
                   [&](const FaultSpec::Latency& f) {
                       out.key("flow").string(tag(f.flow)).key("distribution");
                       write_json(out, f.distribution);
                   },
                   [&](const FaultSpec::Jitter& f) {
                       out.key("flow").string(tag(f.flow));
                       out.key("min_delay_ms").number(f.min_delay_ms);
                       out.key("max_delay_ms").number(f.max_delay_ms);
                       out.key("probability").number(f.probability);
                   },
                   [&](const FaultSpec::Bandwidth& f) {
                       out.key("flow").string(tag(f.flow));
                       out.key("bytes_per_second").uint(f.bytes_per_second);
                   },
                   [&](const FaultSpec::Blackhole& f) { out.key("flow").string(tag(f.flow)); },
                   [&](const FaultSpec::ConnectionReset& f) {
                       out.key("flow").string(tag(f.flow));
                       out.key("probability").number(f.probability);
                   },
                   [&](const FaultSpec::Dns& f) {
                       out.key("case").string(tag(f.dns_case)).key("delay_ms");
                       if (f.delay_ms)
                           out.uint(*f.delay_ms);
                       else
                           out.null();
                   },
               },
               fault.kind);
    out.end_object();
}

}  // namespace ostrel::model
