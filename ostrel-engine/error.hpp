#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "ostrel-model/uuid.hpp"
#include "ostrel-model/validation.hpp"

namespace ostrel::engine {

// An operating-system or resolver error. `text`, when set, replaces the code's own message
// (errors the engine makes itself, such as "the host resolved to no addresses").
struct IoError {
    std::error_code code;
    std::string text;

    static IoError from_errno(int err);

    std::string display() const;
    std::string debug() const;

    bool operator==(const IoError&) const = default;
};

// The error type of the whole engine. Display texts reach callers unchanged.
class EngineError {
  public:
    struct UnknownProxy {
        std::string name;
    };
    struct Io {
        IoError error;
    };
    struct InvalidListenAddress {
        std::string input;
        std::string source;  // the address parse error's text
    };
    struct InvalidUpstreamAddress {
        std::string input;
        IoError source;
    };
    struct InvalidConfiguration {
        model::ValidationError error;
    };
    struct ProxyTask {
        std::string text;
    };
    struct InvalidFaultConfig {
        std::string message;
    };
    struct ControlAlreadyActive {};
    struct UnknownPhase {
        model::Uuid id;
    };
    struct PhaseImmutable {
        model::Uuid id;
        std::string state;
    };
    struct PhaseNotRunning {
        model::Uuid id;
    };
    struct MissedPhaseTransitions {
        uint64_t count = 0;
    };
    struct ObservationRecorderStopped {};
    struct ShutdownErrors {
        std::vector<EngineError> errors;
    };

    using Kind = std::variant<UnknownProxy, Io, InvalidListenAddress, InvalidUpstreamAddress,
                              InvalidConfiguration, ProxyTask, InvalidFaultConfig,
                              ControlAlreadyActive, UnknownPhase, PhaseImmutable, PhaseNotRunning,
                              MissedPhaseTransitions, ObservationRecorderStopped, ShutdownErrors>;

    template <typename T>
    requires std::is_constructible_v<Kind, T&&> EngineError(T&& kind)
        : kind_(std::forward<T>(kind)) {}

    const Kind& kind() const { return kind_; }
    template <typename T>
    bool is() const {
        return std::holds_alternative<T>(kind_);
    }

    // The text callers see.
    std::string display() const;
    // The diagnostic form used inside ShutdownErrors: ProxyTask("..."), ControlAlreadyActive.
    std::string debug() const;
    // The underlying cause's display text, if the alternative has one.
    std::optional<std::string> cause() const;

  private:
    Kind kind_;
};

}  // namespace ostrel::engine
