#include "ostrel-engine/proxy/failure.hpp"

#include <cerrno>

#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine {

model::FailureCategory failure_category(const std::error_code& error) {
    using model::FailureCategory;
    const std::error_code code = rt::os_error(error);
    // Resolver failures are lookups that found nothing.
    if (code.category() == asio::error::get_netdb_category() ||
        code.category() == asio::error::get_addrinfo_category()) {
        return FailureCategory::DnsFailed;
    }
    if (code == std::errc::no_such_file_or_directory) return FailureCategory::DnsFailed;
    if (code == std::errc::connection_refused) return FailureCategory::ConnectionRefused;
    if (code == std::errc::timed_out) return FailureCategory::TimedOut;
    if (code == std::errc::host_unreachable || code == std::errc::network_unreachable) {
        return FailureCategory::NetworkUnreachable;
    }
    if (code == std::errc::connection_reset) return FailureCategory::ConnectionReset;
    if (code == std::errc::broken_pipe) return FailureCategory::BrokenPipe;
    return FailureCategory::Other;
}

model::TransportFailure connection_failure(model::FailureStage stage, std::string_view context,
                                           const IoError& error) {
    return model::TransportFailure{
        .stage = stage,
        .category = failure_category(error.code),
        .message =
            std::string(model::tag(stage)) + " " + std::string(context) + ": " + error.display(),
    };
}

}  // namespace ostrel::engine
