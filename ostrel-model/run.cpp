#include "ostrel-model/run.hpp"

#include "ostrel-model/json_writer.hpp"

#include <utility>

namespace ostrel::model {

// --- HumanDuration -------------------------------------------------------------------------

// A phase cannot last zero time; the refusal reads like the parser's own "expected number".
std::expected<HumanDuration, std::string> HumanDuration::parse(std::string text) {
    auto value = parse_duration(text);
    if (!value) return std::unexpected(std::move(value.error()));
    if (value->is_zero()) return std::unexpected(std::string("expected number at 0"));
    return HumanDuration(std::move(text), *value);
}

// --- end HumanDuration ---------------------------------------------------------------------

}  // namespace ostrel::model

namespace ostrel::model {

std::string write_faults(const std::vector<FaultSpec>& faults) {
    JsonWriter out;
    out.begin_array();
    for (const auto& fault : faults) write_json(out, fault);
    out.end_array();
    return out.take();
}

std::string write_proxy_faults(const std::vector<ProxyFaults>& entries) {
    JsonWriter out;
    out.begin_array();
    for (const auto& entry : entries) {
        out.begin_object().key("proxy").string(entry.proxy).key("faults").begin_array();
        for (const auto& fault : entry.faults) write_json(out, fault);
        out.end_array().end_object();
    }
    out.end_array();
    return out.take();
}

}  // namespace ostrel::model

namespace ostrel::model {

std::string to_json(const RunProgress& progress) {
    JsonWriter out;
    out.begin_object();
    out.key("run_name").string(progress.run_name);
    out.key("phase_name").string(progress.phase_name);
    out.key("phase_index").uint(progress.phase_index);
    out.key("phase_count").uint(progress.phase_count);
    out.key("phase_duration_ms");
    if (progress.phase_duration_ms) {
        out.uint(*progress.phase_duration_ms);
    } else {
        out.null();
    }
    out.key("phase_started_at").string(progress.phase_started_at.to_rfc3339());
    out.key("proxies").raw(write_proxy_faults(progress.proxies));
    out.end_object();
    return out.take();
}

}  // namespace ostrel::model
