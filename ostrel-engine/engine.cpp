#include "ostrel-engine/engine.hpp"

#include "ostrel-engine/proxy/address.hpp"

namespace ostrel::engine {

namespace {

// A proxy whose faults, listen address and upstream have been checked, ready to bind.
struct PreparedProxy {
    std::string name;
    model::TransportProtocol protocol;
    asio::ip::tcp::endpoint listen;
    std::string upstream;
    FaultRuntime runtime;
};

// Only the check counts: the proxies resolve the upstream again for every connection.
asio::awaitable<std::expected<void, EngineError>> check_upstream(const rt::Executor& executor,
                                                                 const std::string& upstream) {
    auto refuse = [&](IoError error) {
        return std::unexpected(
            EngineError(EngineError::InvalidUpstreamAddress{upstream, std::move(error)}));
    };
    if (parse_socket_address(upstream)) co_return std::expected<void, EngineError>{};
    auto host_port = split_host_port(upstream);
    if (!host_port) {
        co_return refuse(
            IoError{std::make_error_code(std::errc::invalid_argument), "invalid socket address"});
    }
    // Asio's resolver runs getaddrinfo on a thread of its own, off the runtime's workers.
    asio::ip::tcp::resolver resolver(executor);
    auto [ec, results] =
        co_await resolver.async_resolve(host_port->host, host_port->port, rt::use_tuple);
    if (ec) co_return refuse(IoError{rt::os_error(ec), {}});
    if (results.empty()) {
        co_return refuse(IoError{std::make_error_code(std::errc::address_not_available),
                                 "the host resolved to no addresses"});
    }
    co_return std::expected<void, EngineError>{};
}

}  // namespace

FaultEngine FaultEngine::from_run(const model::Run& run) {
    // The first phase's faults are active from the start; a later entry for the same proxy wins.
    std::map<std::string, const std::vector<model::FaultSpec>*, std::less<>> first_phase;
    if (!run.phases.empty()) {
        for (const auto& entry : run.phases.front().proxies) {
            first_phase[entry.proxy] = &entry.faults;
        }
    }
    FaultEngine engine;
    engine.proxies.reserve(run.proxies.size());
    for (const auto& proxy : run.proxies) {
        auto found = first_phase.find(proxy.name);
        engine.proxies.push_back(EngineProxy{
            .name = proxy.name,
            .listen = proxy.listen,
            .upstream = proxy.upstream,
            .faults = found == first_phase.end() ? std::vector<model::FaultSpec>{} : *found->second,
            .protocol = proxy.protocol,
        });
    }
    return engine;
}

std::expected<void, model::ValidationError> validate_engine_proxies(
    const std::vector<EngineProxy>& proxies) {
    model::Run run;
    run.schema_version = 1;
    run.name = "engine";
    model::Phase initial;
    initial.name = "initial";
    for (const auto& proxy : proxies) {
        run.proxies.push_back(
            model::Proxy{proxy.name, proxy.protocol, proxy.listen, proxy.upstream});
        initial.proxies.push_back(model::ProxyFaults{proxy.name, proxy.faults});
    }
    run.phases.push_back(std::move(initial));
    return run.validate();
}

asio::awaitable<std::expected<std::shared_ptr<RunningEngine>, EngineError>> FaultEngine::start(
    rt::Executor executor) && {
    using Result = std::expected<std::shared_ptr<RunningEngine>, EngineError>;
    if (auto valid = validate_engine_proxies(proxies); !valid) {
        co_return std::unexpected(EngineError(EngineError::InvalidConfiguration{valid.error()}));
    }

    // Nothing opens a socket until every proxy has been checked.
    std::map<std::string, FaultRuntime, std::less<>> runtimes;
    std::vector<PreparedProxy> prepared;
    for (const auto& proxy : proxies) {
        auto runtime =
            FaultRuntime::create(proxy.faults, proxy.protocol == model::TransportProtocol::Udp);
        if (!runtime) co_return std::unexpected(runtime.error());
        runtimes.insert_or_assign(proxy.name, *runtime);
        auto listen = parse_socket_address(proxy.listen);
        if (!listen) {
            co_return std::unexpected(EngineError(EngineError::InvalidListenAddress{
                proxy.listen, std::string(kInvalidSocketAddress)}));
        }
        if (auto checked = co_await check_upstream(executor, proxy.upstream); !checked) {
            co_return std::unexpected(checked.error());
        }
        prepared.push_back(
            PreparedProxy{proxy.name, proxy.protocol, *listen, proxy.upstream, *runtime});
    }

    std::shared_ptr<RunningEngine> engine(new RunningEngine());
    engine->executor_ = executor;
    engine->runtimes_ = std::move(runtimes);
    std::optional<rt::QueueSender<model::TransportRecord>> records;
    if (transport_events) {
        auto [sender, receiver] = rt::make_queue<model::TransportRecord>(*transport_events);
        records = std::move(sender);
        engine->transport_events_ = std::move(receiver);
    }
    auto [recorder, collector] = ObservationRecorder::start(std::move(records), executor);
    engine->recorder_ = std::move(recorder);
    engine->collector_ = std::move(collector);
    engine->progress_ = rt::make_broadcast<model::RunProgress>(kProgressCapacity);

    for (auto& proxy : prepared) {
        std::optional<IoError> bind_error;
        if (proxy.protocol == model::TransportProtocol::Udp) {
            auto bound = RunningUdpProxy::bind(
                asio::ip::udp::endpoint(proxy.listen.address(), proxy.listen.port()), proxy.name,
                proxy.upstream, proxy.runtime, engine->shutdown_token_, *engine->recorder_,
                executor);
            if (bound) {
                engine->udp_endpoints_.push_back(bound->local_address());
                engine->udp_proxies_.push_back(std::move(*bound));
            } else {
                bind_error = bound.error();
            }
        } else {
            auto bound =
                RunningTcpProxy::bind(proxy.listen, proxy.name, proxy.upstream, proxy.runtime,
                                      engine->shutdown_token_, *engine->recorder_, executor);
            if (bound) {
                engine->tcp_endpoints_.push_back(bound->local_address());
                engine->tcp_proxies_.push_back(std::move(*bound));
            } else {
                bind_error = bound.error();
            }
        }
        if (bind_error) {
            // Stop what already runs so that its ports are free again when start returns.
            engine->shutdown_token_.cancel();
            for (auto& started : engine->tcp_proxies_) (void)co_await std::move(started).join();
            engine->tcp_proxies_.clear();
            for (auto& started : engine->udp_proxies_) (void)co_await std::move(started).join();
            engine->udp_proxies_.clear();
            (void)co_await engine->recorder_->stop();
            if (engine->collector_) (void)co_await engine->collector_->join();
            engine->collector_.reset();
            co_return std::unexpected(EngineError(EngineError::Io{std::move(*bind_error)}));
        }
    }
    engine->control_ = rt::Semaphore::create(1);
    co_return Result(std::move(engine));
}

RunningEngine::~RunningEngine() {
    shutdown_token_.cancel();
}

asio::awaitable<std::expected<model::TransportSummary, EngineError>> RunningEngine::shutdown() {
    shutdown_token_.cancel();
    std::vector<EngineError> errors;
    for (auto& proxy : tcp_proxies_) {
        auto joined = co_await std::move(proxy).join();
        if (!joined) errors.push_back(joined.error());
    }
    tcp_proxies_.clear();
    for (auto& proxy : udp_proxies_) {
        auto joined = co_await std::move(proxy).join();
        if (!joined) errors.push_back(joined.error());
    }
    udp_proxies_.clear();
    if (!errors.empty()) {
        co_return std::unexpected(EngineError(EngineError::ShutdownErrors{std::move(errors)}));
    }
    auto summary = co_await recorder_->stop();
    if (!summary) co_return std::unexpected(summary.error());
    if (collector_) {
        auto collected = co_await collector_->join();
        collector_.reset();
        if (!collected) {
            co_return std::unexpected(
                EngineError(EngineError::ProxyTask{collected.error().text()}));
        }
    }
    co_return std::move(*summary);
}

}  // namespace ostrel::engine
