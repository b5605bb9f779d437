#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "ostrel-binding/error.hpp"
#include "ostrel-engine/engine.hpp"
#include "ostrel-model/run.hpp"

namespace ostrel::binding {

// The lifecycle of one engine. Stopped is final, whether shutdown completed or start failed.
struct Created {
    engine::FaultEngine engine;
};
struct Starting {};
struct Running {
    std::string endpoints;
};
struct Stopped {
    std::optional<std::string> summary;
};
using State = std::variant<Created, Starting, Running, Stopped>;

// What every handle of one engine shares.
class Inner {
  public:
    // Holds the state locked for a short read or swap; never kept across an await.
    class StateGuard {
      public:
        State& operator*() { return state_; }
        State* operator->() { return &state_; }

      private:
        friend class Inner;
        StateGuard(std::mutex& mutex, State& state) : lock_(mutex), state_(state) {}

        std::unique_lock<std::mutex> lock_;
        State& state_;
    };

    Inner(model::Run run, size_t event_capacity, engine::FaultEngine engine)
        : run(std::move(run)), event_capacity(event_capacity), state_(Created{std::move(engine)}) {}

    StateGuard state() { return StateGuard(state_mutex_, state_); }

    const model::Run run;
    const size_t event_capacity;

  private:
    std::mutex state_mutex_;
    State state_;
};

// The engine a host program talks to: text in, text out, errors as `Error`. Copies are cheap
// and all refer to the same engine, which lives as long as any copy does.
class Engine {
  public:
    static constexpr size_t kDefaultEventCapacity = 1024;

    // Reads, checks and validates the run document; opens no socket and resolves no name.
    static std::expected<Engine, Error> create(std::string_view config_json,
                                               std::optional<int64_t> event_capacity);

    bool alive() const;
    std::expected<std::string, Error> endpoints() const;
    // The summary kept by a completed shutdown.
    std::optional<std::string> summary() const;

  private:
    explicit Engine(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}

    std::shared_ptr<Inner> inner_;
};

}  // namespace ostrel::binding
