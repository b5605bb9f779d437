#include "ostrel-binding/error.hpp"

namespace ostrel::binding {

Error Error::from_engine(const engine::EngineError& error) {
    using E = engine::EngineError;
    bool phase_state = error.is<E::UnknownPhase>() || error.is<E::PhaseImmutable>() ||
                       error.is<E::PhaseNotRunning>();
    return {error.display(), phase_state ? ErrorKind::PhaseState : ErrorKind::Runtime};
}

}  // namespace ostrel::binding
