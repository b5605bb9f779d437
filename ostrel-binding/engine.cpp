#include "ostrel-binding/engine.hpp"

#include "ostrel-model/json_reader.hpp"
#include "ostrel-model/validation.hpp"

namespace ostrel::binding {

namespace {

constexpr uint32_t kSchemaVersion = 1;

constexpr std::string_view kNotStarted = "the engine has not been started";
constexpr std::string_view kStopped = "the engine has been stopped";

// Why an operation that needs a running engine cannot run in `state`.
Error not_running(const State& state) {
    return Error::runtime(
        std::string(std::holds_alternative<Stopped>(state) ? kStopped : kNotStarted));
}

}  // namespace

std::expected<Engine, Error> Engine::create(std::string_view config_json,
                                            std::optional<int64_t> event_capacity) {
    // The capacity is checked first so that it is reported even for a broken document.
    if (event_capacity && *event_capacity < 1) {
        return std::unexpected(Error::invalid("event_capacity must be at least 1"));
    }
    auto run = model::read_run(config_json);
    if (!run) {
        return std::unexpected(Error::invalid(std::move(run.error())));
    }
    if (run->schema_version != kSchemaVersion) {
        return std::unexpected(Error::invalid("schema version mismatch: expected " +
                                              std::to_string(kSchemaVersion) + ", got " +
                                              std::to_string(run->schema_version)));
    }
    if (auto valid = run->validate(); !valid) {
        return std::unexpected(Error::invalid(valid.error().display()));
    }
    auto engine = engine::FaultEngine::from_run(*run);
    size_t capacity = event_capacity ? static_cast<size_t>(*event_capacity) : kDefaultEventCapacity;
    return Engine(std::make_shared<Inner>(std::move(*run), capacity, std::move(engine)));
}

bool Engine::alive() const {
    auto state = inner_->state();
    return std::holds_alternative<Running>(*state);
}

std::expected<std::string, Error> Engine::endpoints() const {
    auto state = inner_->state();
    if (const auto* running = std::get_if<Running>(&*state)) {
        return running->endpoints;
    }
    return std::unexpected(not_running(*state));
}

std::optional<std::string> Engine::summary() const {
    auto state = inner_->state();
    if (const auto* stopped = std::get_if<Stopped>(&*state)) {
        return stopped->summary;
    }
    return std::nullopt;
}

}  // namespace ostrel::binding
