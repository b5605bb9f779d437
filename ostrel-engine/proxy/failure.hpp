#pragma once

#include <string_view>
#include <system_error>

#include "ostrel-engine/error.hpp"
#include "ostrel-model/transport.hpp"

namespace ostrel::engine {

// The failure category of an I/O error, from its kind.
model::FailureCategory failure_category(const std::error_code& code);

// A failure whose message is "{stage} {context}: {error}".
model::TransportFailure connection_failure(model::FailureStage stage, std::string_view context,
                                           const IoError& error);

}  // namespace ostrel::engine
