#include "ostrel-binding/engine.hpp"

#include <cmath>

#include "ostrel-engine/proxy/address.hpp"
#include "ostrel-engine/rt/runtime.hpp"
#include "ostrel-model/json_reader.hpp"
#include "ostrel-model/json_writer.hpp"
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
                                            std::optional<int64_t> event_capacity,
                                            engine::rt::Executor executor) {
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
    return Engine(
        std::make_shared<Inner>(std::move(*run), capacity, std::move(engine), std::move(executor)));
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

std::expected<std::shared_ptr<engine::RunningEngine>, Error> Inner::running() {
    auto guard = state();
    if (auto* running = std::get_if<Running>(&*guard)) return running->engine;
    return std::unexpected(not_running(*guard));
}

namespace {

template <typename T>
using Async = Engine::Async<T>;

constexpr double kDefaultStatusInterval = 2.0;

std::string endpoints_json(const engine::RunningEngine& running) {
    model::JsonWriter out;
    out.begin_object().key("tcp").begin_array();
    for (const auto& endpoint : running.tcp_endpoints())
        out.string(engine::endpoint_text(endpoint));
    out.end_array().key("udp").begin_array();
    for (const auto& endpoint : running.udp_endpoints())
        out.string(engine::endpoint_text(endpoint));
    out.end_array().end_object();
    return out.take();
}

std::string status_event(const model::TransportStatus& status) {
    model::JsonWriter out;
    out.begin_object().key("type").string("status").key("status").raw(model::to_json(status));
    out.end_object();
    return out.take();
}

Async<std::string> do_start(std::shared_ptr<Inner> inner) {
    engine::FaultEngine described;
    {
        auto guard = inner->state();
        if (auto* created = std::get_if<Created>(&*guard)) {
            described = std::move(created->engine);
            *guard = Starting{};
        } else if (std::holds_alternative<Starting>(*guard)) {
            co_return std::unexpected(Error::runtime("the engine is already starting"));
        } else if (std::holds_alternative<Running>(*guard)) {
            co_return std::unexpected(Error::runtime("the engine is already running"));
        } else {
            co_return std::unexpected(Error::runtime(std::string(kStopped)));
        }
    }
    // A start abandoned half-way (its caller cancelled it) is final like a failed one, rather
    // than leaving the engine starting for ever.
    struct Abandoned {
        Inner* inner;
        bool armed = true;
        ~Abandoned() {
            if (armed) *inner->state() = Stopped{};
        }
    } abandoned{inner.get()};
    described.transport_events = std::max<size_t>(inner->event_capacity, 1);
    auto executor = inner->executor
                        ? inner->executor
                        : engine::rt::Executor(engine::rt::Runtime::process().executor());
    auto started = co_await std::move(described).start(executor);
    if (!started) {
        abandoned.armed = false;
        *inner->state() = Stopped{};
        co_return std::unexpected(Error::from_engine(started.error()));
    }
    std::shared_ptr<engine::RunningEngine> running = std::move(*started);
    std::string endpoints = endpoints_json(*running);
    {
        auto lock = co_await inner->records_mutex.lock();
        inner->records = running->take_transport_events();
    }
    {
        auto lock = co_await inner->progress_mutex.lock();
        inner->progress = running->subscribe_run_progress();
    }
    abandoned.armed = false;
    *inner->state() = Running{endpoints, std::move(running)};
    co_return endpoints;
}

Async<std::string> do_status(std::shared_ptr<Inner> inner) {
    auto running = inner->running();
    if (!running) co_return std::unexpected(running.error());
    co_return model::to_json((*running)->recorder().live()->status());
}

Async<std::string> do_snapshot(std::shared_ptr<Inner> inner) {
    auto running = inner->running();
    if (!running) co_return std::unexpected(running.error());
    auto summary = co_await (*running)->recorder().snapshot();
    if (!summary) co_return std::unexpected(Error::from_engine(summary.error()));
    co_return model::to_json(*summary);
}

Async<std::string> do_shutdown(std::shared_ptr<Inner> inner) {
    // A live schedule ends first, also when the shutdown is then refused.
    (void)co_await inner->end_schedule();
    std::shared_ptr<engine::RunningEngine> running;
    {
        auto guard = inner->state();
        if (std::holds_alternative<Created>(*guard) || std::holds_alternative<Starting>(*guard)) {
            co_return std::unexpected(Error::runtime(std::string(kNotStarted)));
        }
        if (std::holds_alternative<Stopped>(*guard)) {
            co_return std::unexpected(Error::runtime("the engine is already stopped"));
        }
        auto& state = std::get<Running>(*guard);
        // Operations working on the engine hold copies; only the state's own may be left.
        if (state.engine.use_count() > 1) {
            co_return std::unexpected(
                Error::runtime("wait for active engine operations before shutdown"));
        }
        running = std::move(state.engine);
        *guard = Stopped{};
    }
    auto summary = co_await running->shutdown();
    running.reset();
    if (!summary) co_return std::unexpected(Error::from_engine(summary.error()));
    std::string json = model::to_json(*summary);
    *inner->state() = Stopped{json};
    co_return json;
}

// Reads one record under the records lock; the caller holds the lock.
Async<std::optional<std::string>> read_record(Inner& inner) {
    if (!inner.records) {
        co_return std::unexpected(
            Error::runtime("start the engine before reading transport records"));
    }
    auto record = co_await inner.records->receive();
    if (!record) co_return std::optional<std::string>();
    co_return model::to_json(*record);
}

Async<std::optional<std::string>> do_next_record(std::shared_ptr<Inner> inner) {
    auto lock = co_await inner->records_mutex.lock();
    co_return co_await read_record(*inner);
}

Async<std::optional<std::string>> do_next_event(std::shared_ptr<Inner> inner,
                                                std::optional<double> status_interval) {
    double seconds = status_interval.value_or(kDefaultStatusInterval);
    // Also refuses intervals below a nanosecond and beyond what a duration holds (2^64 s).
    constexpr double kMaxSeconds = 18446744073709551616.0;
    if (!std::isfinite(seconds) || !(seconds > 0) || seconds * 1e9 < 1 || seconds >= kMaxSeconds) {
        co_return std::unexpected(
            Error::invalid("status_interval must be a finite number of seconds greater than zero"));
    }
    // The timer cannot reach further than a century; nobody waits that long.
    constexpr double kLongestWait = 100.0 * 365 * 24 * 3600;
    auto interval =
        std::chrono::nanoseconds(static_cast<int64_t>(std::min(seconds, kLongestWait) * 1e9));
    auto deadline = std::chrono::steady_clock::now() + interval;

    auto lock = co_await inner->records_mutex.lock();
    if (!inner->records) {
        co_return std::unexpected(
            Error::runtime("start the engine before reading transport records"));
    }
    // A record already waiting wins over an expired deadline.
    if (auto record = inner->records->try_receive()) co_return model::to_json(*record);

    auto executor = co_await asio::this_coro::executor;
    asio::steady_timer timer(executor, deadline);
    // The receive wakes before it takes anything, so the losing side of this race (also a
    // receive ended by the caller's cancellation) leaves the queue as it was.
    using namespace asio::experimental::awaitable_operators;
    auto first = co_await (inner->records->receive() || timer.async_wait(asio::use_awaitable));
    if (first.index() == 0) {
        auto& record = std::get<0>(first);
        if (!record) co_return std::optional<std::string>();
        co_return model::to_json(*record);
    }
    if (auto record = inner->records->try_receive()) co_return model::to_json(*record);
    auto guard = inner->state();
    if (auto* running = std::get_if<Running>(&*guard)) {
        co_return status_event(running->engine->recorder().live()->status());
    }
    co_return std::optional<std::string>();
}

}  // namespace

Async<std::string> Engine::start() const {
    return do_start(inner_);
}
Async<std::string> Engine::status() const {
    return do_status(inner_);
}
Async<std::string> Engine::snapshot() const {
    return do_snapshot(inner_);
}
Async<std::string> Engine::shutdown() const {
    return do_shutdown(inner_);
}
Async<std::optional<std::string>> Engine::next_record() const {
    return do_next_record(inner_);
}
Async<std::optional<std::string>> Engine::next_event(std::optional<double> status_interval) const {
    return do_next_event(inner_, status_interval);
}

}  // namespace ostrel::binding
