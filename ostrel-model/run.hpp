#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "ostrel-model/config.hpp"
#include "ostrel-model/duration.hpp"
#include "ostrel-model/fault.hpp"
#include "ostrel-model/timestamp.hpp"

namespace ostrel::model {

class ValidationError;

// A duration as the document wrote it. Only texts that parse to a non-zero duration make one,
// so `as_std` cannot fail.
class HumanDuration {
  public:
    // The error is the duration parser's message ("expected number at 0" for zero).
    static std::expected<HumanDuration, std::string> parse(std::string text);

    const std::string& text() const { return text_; }
    Duration as_std() const { return value_; }

    bool operator==(const HumanDuration& other) const { return text_ == other.text_; }

  private:
    HumanDuration(std::string text, Duration value) : text_(std::move(text)), value_(value) {}

    std::string text_;
    Duration value_;
};

struct ProxyFaults {
    std::string proxy;
    std::vector<FaultSpec> faults;

    bool operator==(const ProxyFaults&) const = default;
};

struct Phase {
    std::string name;
    std::optional<HumanDuration> duration;  // none: lasts until the run is stopped
    std::vector<ProxyFaults> proxies;

    bool operator==(const Phase&) const = default;
};

struct Run {
    uint32_t schema_version = 0;
    std::string name;
    std::vector<Proxy> proxies;
    std::vector<Phase> phases;

    // The first problem of the run, if any (defined with the other checks in validation.cpp).
    std::expected<void, ValidationError> validate() const;

    bool operator==(const Run&) const = default;
};

// Compact JSON of a list of proxy-fault entries: [{"proxy":..,"faults":[..]},..].
std::string write_proxy_faults(const std::vector<ProxyFaults>& entries);
// The same for one fault list (the "faults" array alone).
std::string write_faults(const std::vector<FaultSpec>& faults);

}  // namespace ostrel::model

namespace ostrel::model {

// One started phase of a timed run.
struct RunProgress {
    std::string run_name;
    std::string phase_name;
    uint32_t phase_index = 0;  // position in the run document, from 1
    uint32_t phase_count = 0;
    std::optional<uint64_t> phase_duration_ms;  // none for an indefinite phase
    Timestamp phase_started_at;
    std::vector<ProxyFaults> proxies;

    bool operator==(const RunProgress&) const = default;
};

std::string to_json(const RunProgress& progress);

}  // namespace ostrel::model
