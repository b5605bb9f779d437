#include "ostrel-engine/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <string>
#include <vector>

namespace ostrel::engine {
namespace {

using E = EngineError;

model::Uuid phase_id() {
    return model::Uuid::parse("6a1f0c3e-2b7d-4e9a-8c51-0d3f7b2e9a64").value_or(model::Uuid{});
}

model::ValidationError indefinite_phase() {
    return model::ValidationError("phases[0].duration",
                                  "an indefinite phase makes later phases unreachable.",
                                  "Give this phase a duration or make it the final phase.");
}

IoError custom(std::string text) {
    return IoError{{}, std::move(text)};
}

TEST(EngineErrorDisplay, EveryAlternative) {
    struct Case {
        EngineError error;
        std::string text;
    };
    const std::vector<Case> cases = {
        {E::UnknownProxy{"db"}, R"(proxy "db" is not configured)"},
        {E::UnknownProxy{"a\"b\\c\td\n"}, R"(proxy "a\"b\\c\td\n" is not configured)"},
        {E::Io{IoError::from_errno(ECONNREFUSED)}, "I/O error: Connection refused (os error 111)"},
        {E::Io{custom("the host resolved to no addresses")},
         "I/O error: the host resolved to no addresses"},
        {E::InvalidListenAddress{"localhost", "invalid socket address syntax"},
         "invalid listen address 'localhost': invalid socket address syntax"},
        {E::InvalidUpstreamAddress{"nowhere:5432",
                                   custom("failed to lookup address information: Name or "
                                          "service not known")},
         "could not resolve upstream 'nowhere:5432': failed to lookup address information: Name "
         "or service not known. Use a host and port, such as database:5432"},
        {E::InvalidConfiguration{indefinite_phase()},
         "invalid configuration: phases[0].duration: an indefinite phase makes later phases "
         "unreachable. Give this phase a duration or make it the final phase."},
        {E::ProxyTask{"tcp proxy database crashed"},
         "proxy task failed: tcp proxy database crashed"},
        {E::InvalidFaultConfig{"bandwidth rate must be positive"},
         "invalid fault configuration: bandwidth rate must be positive"},
        {E::ControlAlreadyActive{}, "a run or adaptive phase is already controlling this engine"},
        {E::UnknownPhase{phase_id()}, "phase 6a1f0c3e-2b7d-4e9a-8c51-0d3f7b2e9a64 does not exist"},
        {E::PhaseImmutable{phase_id(), "stopped"},
         "phase 6a1f0c3e-2b7d-4e9a-8c51-0d3f7b2e9a64 is stopped and can no longer be changed"},
        {E::PhaseNotRunning{phase_id()},
         "phase 6a1f0c3e-2b7d-4e9a-8c51-0d3f7b2e9a64 is not running"},
        {E::MissedPhaseTransitions{3},
         "missed 3 phase transitions because the transition consumer fell behind"},
        {E::MissedPhaseTransitions{18446744073709551615ull},
         "missed 18446744073709551615 phase transitions because the transition consumer fell "
         "behind"},
        {E::ObservationRecorderStopped{}, "transport observation recorder stopped unexpectedly"},
        {E::ShutdownErrors{
             {E::ProxyTask{"udp proxy dns was cancelled"}, E::ObservationRecorderStopped{}}},
         R"(one or more tasks failed during shutdown: [ProxyTask("udp proxy dns was cancelled"), )"
         R"(ObservationRecorderStopped])"},
        {E::ShutdownErrors{{E::Io{IoError::from_errno(EPIPE)}}},
         "one or more tasks failed during shutdown: "
         R"([Io(Os { code: 32, kind: BrokenPipe, message: "Broken pipe" })])"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.error.display(), c.text);
    }
}

TEST(EngineErrorDebug, Forms) {
    struct Case {
        EngineError error;
        std::string debug;
    };
    const std::vector<Case> cases = {
        {E::UnknownProxy{"db"}, R"(UnknownProxy("db"))"},
        {E::Io{IoError::from_errno(ECONNREFUSED)},
         R"(Io(Os { code: 111, kind: ConnectionRefused, message: "Connection refused" }))"},
        {E::Io{custom("the host resolved to no addresses")},
         R"(Io(Custom { kind: Other, error: "the host resolved to no addresses" }))"},
        {E::InvalidListenAddress{"localhost", "invalid socket address syntax"},
         R"(InvalidListenAddress { input: "localhost", source: AddrParseError(Socket) })"},
        {E::InvalidUpstreamAddress{"db:5432", IoError::from_errno(ETIMEDOUT)},
         R"(InvalidUpstreamAddress { input: "db:5432", source: Os { code: 110, kind: TimedOut, )"
         R"(message: "Connection timed out" } })"},
        {E::InvalidConfiguration{indefinite_phase()},
         R"(InvalidConfiguration(ValidationError { path: "phases[0].duration", )"
         R"(message: "an indefinite phase makes later phases unreachable.", )"
         R"(hint: "Give this phase a duration or make it the final phase." }))"},
        {E::ProxyTask{R"(task "x" crashed)"}, R"(ProxyTask("task \"x\" crashed"))"},
        {E::InvalidFaultConfig{"bad"}, R"(InvalidFaultConfig("bad"))"},
        {E::ControlAlreadyActive{}, "ControlAlreadyActive"},
        {E::UnknownPhase{phase_id()}, "UnknownPhase(6a1f0c3e-2b7d-4e9a-8c51-0d3f7b2e9a64)"},
        {E::PhaseImmutable{phase_id(), "stopped"},
         R"(PhaseImmutable { id: 6a1f0c3e-2b7d-4e9a-8c51-0d3f7b2e9a64, state: "stopped" })"},
        {E::PhaseNotRunning{phase_id()}, "PhaseNotRunning(6a1f0c3e-2b7d-4e9a-8c51-0d3f7b2e9a64)"},
        {E::MissedPhaseTransitions{3}, "MissedPhaseTransitions(3)"},
        {E::ObservationRecorderStopped{}, "ObservationRecorderStopped"},
        {E::ShutdownErrors{{E::ShutdownErrors{{E::ProxyTask{"a"}, E::ObservationRecorderStopped{}}},
                            E::ControlAlreadyActive{}}},
         R"(ShutdownErrors([ShutdownErrors([ProxyTask("a"), ObservationRecorderStopped]), )"
         R"(ControlAlreadyActive]))"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.debug);
        EXPECT_EQ(c.error.debug(), c.debug);
    }
}

TEST(IoErrorTest, OsErrorKindsFollowTheErrno) {
    struct Case {
        int err;
        std::string debug;
    };
    const std::vector<Case> cases = {
        {ECONNRESET,
         R"(Os { code: 104, kind: ConnectionReset, message: "Connection reset by peer" })"},
        {EPIPE, R"(Os { code: 32, kind: BrokenPipe, message: "Broken pipe" })"},
        {EADDRINUSE, R"(Os { code: 98, kind: AddrInUse, message: "Address already in use" })"},
        {EADDRNOTAVAIL,
         R"(Os { code: 99, kind: AddrNotAvailable, message: "Cannot assign requested address" })"},
        {ENETUNREACH,
         R"(Os { code: 101, kind: NetworkUnreachable, message: "Network is unreachable" })"},
        {ECONNABORTED, R"(Os { code: 103, kind: ConnectionAborted, )"
                       R"(message: "Software caused connection abort" })"},
        {EDOM,
         R"(Os { code: 33, kind: Uncategorized, message: "Numerical argument out of domain" })"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        EXPECT_EQ(IoError::from_errno(c.err).debug(), c.debug);
    }
}

TEST(IoErrorTest, TextReplacesTheCodesMessage) {
    const IoError with_code{std::make_error_code(std::errc::timed_out), "resolver gave up"};
    EXPECT_EQ(with_code.display(), "resolver gave up");
    EXPECT_EQ(with_code.debug(), R"(Custom { kind: TimedOut, error: "resolver gave up" })");
    EXPECT_EQ(IoError::from_errno(ETIMEDOUT).display(), "Connection timed out (os error 110)");

    // Codes outside the OS categories show their own message and no os error number.
    const IoError foreign{std::make_error_code(std::future_errc::broken_promise), {}};
    EXPECT_EQ(foreign.display(), "Broken promise");
    EXPECT_EQ(foreign.debug(), R"(Custom { kind: Uncategorized, error: "Broken promise" })");
}

TEST(EngineErrorCause, OnlyWrappingAlternativesHaveOne) {
    EXPECT_EQ(E(E::Io{IoError::from_errno(ECONNRESET)}).cause(),
              "Connection reset by peer (os error 104)");
    EXPECT_EQ(E(E::InvalidUpstreamAddress{"db:1", custom("no such host")}).cause(), "no such host");
    EXPECT_EQ(E(E::InvalidListenAddress{"x", "invalid socket address syntax"}).cause(),
              "invalid socket address syntax");
    EXPECT_EQ(E(E::InvalidConfiguration{indefinite_phase()}).cause(), indefinite_phase().display());

    const std::vector<EngineError> without = {
        E::UnknownProxy{"db"},           E::ProxyTask{"t"},
        E::InvalidFaultConfig{"f"},      E::ControlAlreadyActive{},
        E::UnknownPhase{phase_id()},     E::PhaseImmutable{phase_id(), "stopped"},
        E::PhaseNotRunning{phase_id()},  E::MissedPhaseTransitions{1},
        E::ObservationRecorderStopped{}, E::ShutdownErrors{{E::Io{IoError::from_errno(EPIPE)}}},
    };
    for (const auto& error : without) {
        SCOPED_TRACE(error.debug());
        EXPECT_EQ(error.cause(), std::nullopt);
    }
}

TEST(EngineErrorValue, CopiesKeepTheAlternative) {
    EngineError original = E::ShutdownErrors{{E::ProxyTask{"a"}}};
    EngineError copy = original;  // a non-const lvalue must pick the copy constructor
    EXPECT_TRUE(copy.is<E::ShutdownErrors>());
    EXPECT_EQ(copy.debug(), original.debug());
}

}  // namespace
}  // namespace ostrel::engine
