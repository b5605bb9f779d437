#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel-model/fault.hpp"
#include "ostrel-model/run.hpp"

namespace ostrel::model {

// The three documents the system reads. An error is the reader's text, which always ends with
// " at line L column C".
std::expected<Run, std::string> read_run(std::string_view text);
std::expected<std::vector<FaultSpec>, std::string> read_fault_list(std::string_view text);
std::expected<std::vector<ProxyFaults>, std::string> read_proxy_faults(std::string_view text);

}  // namespace ostrel::model
