#include "ostrel-engine/error.hpp"

#include "ostrel-engine/rt/asio.hpp"

#include <cerrno>
#include <string_view>

#include "ostrel-model/text.hpp"

namespace ostrel::engine {

namespace {

template <typename... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

// A default error_code is in the system category with value 0; it carries no OS error.
bool is_os_error(const std::error_code& code) {
    return code && (code.category() == std::system_category() ||
                    code.category() == std::generic_category() ||
                    code.category() == asio::error::get_system_category());
}

// Kind names as Rust's std::io::ErrorKind spells them, the usual vocabulary for I/O diagnostics.
std::string_view kind_name(int err) {
    switch (err) {
        case ENOENT:
            return "NotFound";
        case EPERM:
        case EACCES:
            return "PermissionDenied";
        case ECONNREFUSED:
            return "ConnectionRefused";
        case ECONNRESET:
            return "ConnectionReset";
        case ECONNABORTED:
            return "ConnectionAborted";
        case EHOSTUNREACH:
            return "HostUnreachable";
        case ENETUNREACH:
            return "NetworkUnreachable";
        case ENETDOWN:
            return "NetworkDown";
        case ENOTCONN:
            return "NotConnected";
        case EADDRINUSE:
            return "AddrInUse";
        case EADDRNOTAVAIL:
            return "AddrNotAvailable";
        case EPIPE:
            return "BrokenPipe";
        case EEXIST:
            return "AlreadyExists";
        case EWOULDBLOCK:
            return "WouldBlock";
        case EINVAL:
            return "InvalidInput";
        case ETIMEDOUT:
            return "TimedOut";
        case EINTR:
            return "Interrupted";
        case ENOMEM:
            return "OutOfMemory";
        case ENOSYS:
            return "Unsupported";
        default:
            return "Uncategorized";
    }
}

// Rust's AddrParseError debug names its kind; the display texts identify it.
std::string addr_parse_error_debug(std::string_view text) {
    struct Kind {
        std::string_view text;
        std::string_view name;
    };
    static constexpr Kind kKinds[] = {
        {"invalid IP address syntax", "Ip"},
        {"invalid IPv4 address syntax", "Ipv4"},
        {"invalid IPv6 address syntax", "Ipv6"},
        {"invalid socket address syntax", "Socket"},
        {"invalid IPv4 socket address syntax", "SocketV4"},
        {"invalid IPv6 socket address syntax", "SocketV6"},
    };
    for (const auto& kind : kKinds) {
        if (kind.text == text) return "AddrParseError(" + std::string(kind.name) + ")";
    }
    return "AddrParseError(" + model::quoted(text) + ")";
}

std::string debug_list(const std::vector<EngineError>& errors) {
    std::string out = "[";
    for (size_t i = 0; i < errors.size(); ++i) {
        if (i > 0) out += ", ";
        out += errors[i].debug();
    }
    return out + "]";
}

}  // namespace

IoError IoError::from_errno(int err) {
    return IoError{std::error_code(err, std::system_category()), {}};
}

std::string IoError::display() const {
    if (!text.empty()) return text;
    if (is_os_error(code)) {
        return code.message() + " (os error " + std::to_string(code.value()) + ")";
    }
    return code.message();
}

std::string IoError::debug() const {
    if (text.empty() && is_os_error(code)) {
        return "Os { code: " + std::to_string(code.value()) +
               ", kind: " + std::string(kind_name(code.value())) +
               ", message: " + model::quoted(code.message()) + " }";
    }
    std::string_view kind = "Other";
    if (is_os_error(code)) {
        kind = kind_name(code.value());
    } else if (code) {
        kind = "Uncategorized";
    }
    return "Custom { kind: " + std::string(kind) + ", error: " + model::quoted(display()) + " }";
}

std::string EngineError::display() const {
    return std::visit(
        Overloaded{
            [](const UnknownProxy& e) {
                return "proxy " + model::quoted(e.name) + " is not configured";
            },
            [](const Io& e) { return "I/O error: " + e.error.display(); },
            [](const InvalidListenAddress& e) {
                return "invalid listen address '" + e.input + "': " + e.source;
            },
            [](const InvalidUpstreamAddress& e) {
                return "could not resolve upstream '" + e.input + "': " + e.source.display() +
                       ". Use a host and port, such as database:5432";
            },
            [](const InvalidConfiguration& e) {
                return "invalid configuration: " + e.error.display();
            },
            [](const ProxyTask& e) { return "proxy task failed: " + e.text; },
            [](const InvalidFaultConfig& e) { return "invalid fault configuration: " + e.message; },
            [](const ControlAlreadyActive&) {
                return std::string("a run or adaptive phase is already controlling this engine");
            },
            [](const UnknownPhase& e) { return "phase " + e.id.to_string() + " does not exist"; },
            [](const PhaseImmutable& e) {
                return "phase " + e.id.to_string() + " is " + e.state +
                       " and can no longer be changed";
            },
            [](const PhaseNotRunning& e) {
                return "phase " + e.id.to_string() + " is not running";
            },
            [](const MissedPhaseTransitions& e) {
                return "missed " + std::to_string(e.count) +
                       " phase transitions because the transition consumer fell behind";
            },
            [](const ObservationRecorderStopped&) {
                return std::string("transport observation recorder stopped unexpectedly");
            },
            [](const ShutdownErrors& e) {
                return "one or more tasks failed during shutdown: " + debug_list(e.errors);
            },
        },
        kind_);
}

std::string EngineError::debug() const {
    return std::visit(
        Overloaded{
            [](const UnknownProxy& e) { return "UnknownProxy(" + model::quoted(e.name) + ")"; },
            [](const Io& e) { return "Io(" + e.error.debug() + ")"; },
            [](const InvalidListenAddress& e) {
                return "InvalidListenAddress { input: " + model::quoted(e.input) +
                       ", source: " + addr_parse_error_debug(e.source) + " }";
            },
            [](const InvalidUpstreamAddress& e) {
                return "InvalidUpstreamAddress { input: " + model::quoted(e.input) +
                       ", source: " + e.source.debug() + " }";
            },
            [](const InvalidConfiguration& e) {
                return "InvalidConfiguration(" + e.error.debug() + ")";
            },
            [](const ProxyTask& e) { return "ProxyTask(" + model::quoted(e.text) + ")"; },
            [](const InvalidFaultConfig& e) {
                return "InvalidFaultConfig(" + model::quoted(e.message) + ")";
            },
            [](const ControlAlreadyActive&) { return std::string("ControlAlreadyActive"); },
            [](const UnknownPhase& e) { return "UnknownPhase(" + e.id.to_string() + ")"; },
            [](const PhaseImmutable& e) {
                return "PhaseImmutable { id: " + e.id.to_string() +
                       ", state: " + model::quoted(e.state) + " }";
            },
            [](const PhaseNotRunning& e) { return "PhaseNotRunning(" + e.id.to_string() + ")"; },
            [](const MissedPhaseTransitions& e) {
                return "MissedPhaseTransitions(" + std::to_string(e.count) + ")";
            },
            [](const ObservationRecorderStopped&) {
                return std::string("ObservationRecorderStopped");
            },
            [](const ShutdownErrors& e) { return "ShutdownErrors(" + debug_list(e.errors) + ")"; },
        },
        kind_);
}

std::optional<std::string> EngineError::cause() const {
    if (const auto* e = std::get_if<Io>(&kind_)) return e->error.display();
    if (const auto* e = std::get_if<InvalidListenAddress>(&kind_)) return e->source;
    if (const auto* e = std::get_if<InvalidUpstreamAddress>(&kind_)) return e->source.display();
    if (const auto* e = std::get_if<InvalidConfiguration>(&kind_)) return e->error.display();
    return std::nullopt;
}

}  // namespace ostrel::engine
