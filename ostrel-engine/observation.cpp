#include "ostrel-engine/observation.hpp"

#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace ostrel::engine {

namespace observation {

namespace {

model::TcpStreamOutcome as_tcp(const Outcome& outcome) {
    if (const auto* tcp = std::get_if<model::TcpStreamOutcome>(&outcome)) return *tcp;
    switch (std::get<model::UdpExchangeOutcome>(outcome)) {
        case model::UdpExchangeOutcome::Active:
            return model::TcpStreamOutcome::Active;
        case model::UdpExchangeOutcome::Completed:
            return model::TcpStreamOutcome::Completed;
        case model::UdpExchangeOutcome::TransferFailed:
            return model::TcpStreamOutcome::TransferFailed;
        case model::UdpExchangeOutcome::Cancelled:
            return model::TcpStreamOutcome::Cancelled;
        case model::UdpExchangeOutcome::FaultDropped:
            return model::TcpStreamOutcome::FaultReset;
    }
    std::unreachable();
}

model::UdpExchangeOutcome as_udp(const Outcome& outcome) {
    if (const auto* udp = std::get_if<model::UdpExchangeOutcome>(&outcome)) return *udp;
    switch (std::get<model::TcpStreamOutcome>(outcome)) {
        case model::TcpStreamOutcome::Active:
            return model::UdpExchangeOutcome::Active;
        case model::TcpStreamOutcome::Completed:
            return model::UdpExchangeOutcome::Completed;
        case model::TcpStreamOutcome::UpstreamConnectFailed:
        case model::TcpStreamOutcome::TransferFailed:
            return model::UdpExchangeOutcome::TransferFailed;
        case model::TcpStreamOutcome::Cancelled:
            return model::UdpExchangeOutcome::Cancelled;
        case model::TcpStreamOutcome::FaultReset:
            return model::UdpExchangeOutcome::FaultDropped;
    }
    std::unreachable();
}

Outcome cancelled(model::TransportProtocol protocol) {
    if (protocol == model::TransportProtocol::Tcp) return model::TcpStreamOutcome::Cancelled;
    return model::UdpExchangeOutcome::Cancelled;
}

Outcome active(model::TransportProtocol protocol) {
    if (protocol == model::TransportProtocol::Tcp) return model::TcpStreamOutcome::Active;
    return model::UdpExchangeOutcome::Active;
}

// Version-4 ids are random, so two words of their bytes spread well enough.
struct UuidHash {
    size_t operator()(const model::Uuid& id) const noexcept {
        uint64_t high = 0;
        uint64_t low = 0;
        std::memcpy(&high, id.bytes.data(), sizeof high);
        std::memcpy(&low, id.bytes.data() + sizeof high, sizeof low);
        return static_cast<size_t>(high ^ (low * 0x9e3779b97f4a7c15ULL));
    }
};

using EntryTable = std::unordered_map<model::Uuid, Entry, UuidHash>;

model::TransportSummary summarize(const EntryTable& entries, const LiveMetrics& live) {
    model::TransportSummary summary;
    for (const auto& [id, entry] : entries) {
        auto record =
            transport_record(id, entry, std::nullopt, active(entry.protocol), std::nullopt);
        if (auto* tcp = std::get_if<model::TcpStreamRecord>(&record.value)) {
            summary.tcp_streams.push_back(std::move(*tcp));
        } else {
            summary.udp_exchanges.push_back(
                std::get<model::UdpExchangeRecord>(std::move(record.value)));
        }
    }
    model::sort_tcp_records(summary.tcp_streams);
    model::sort_udp_records(summary.udp_exchanges);
    // After the lists, so the counts include at least everything the lists show.
    summary.status = live.status();
    return summary;
}

void count_completed(LiveMetrics& live, const Entry& entry, const model::TransportRecord& record,
                     const std::optional<model::TransportFailure>& failure) {
    const bool impacted = entry.metrics->impacted();
    if (const auto* tcp = record.tcp()) {
        live.tcp.total_bytes_to_upstream.fetch_add(tcp->bytes_to_upstream);
        live.tcp.total_bytes_to_client.fetch_add(tcp->bytes_to_client);
        live.tcp.completed.fetch_add(1);
        live.tcp.active.fetch_sub(1);
        if (impacted) live.tcp.active_impacted.fetch_sub(1);
        if (failure) live.tcp.failed.fetch_add(1);
    } else {
        const auto* udp = record.udp();
        live.udp.total_request_bytes.fetch_add(udp->request_bytes);
        live.udp.total_response_bytes.fetch_add(udp->response_bytes);
        live.udp.completed.fetch_add(1);
        live.udp.active.fetch_sub(1);
        if (impacted) live.udp.active_impacted.fetch_sub(1);
        if (failure) live.udp.failed.fetch_add(1);
    }
    if (failure) {
        live.last_failure.exchange(
            std::make_shared<const std::optional<model::TransportFailure>>(*failure));
    }
}

asio::awaitable<void> collect(rt::QueueReceiver<Message> receiver,
                              std::optional<rt::QueueSender<model::TransportRecord>> record_sender,
                              std::shared_ptr<LiveMetrics> live) {
    // Locals rather than parameters: parameters live until the frame is destroyed, and the
    // ending below must close both queues at a point of its choosing.
    auto messages = std::move(receiver);
    auto records = std::move(record_sender);
    EntryTable entries;
    std::optional<rt::OneShotSender<model::TransportSummary>> stop_reply;
    std::optional<model::TransportSummary> final_summary;

    while (auto message = co_await messages.receive()) {
        if (auto* open = std::get_if<Open>(&*message)) {
            entries.insert_or_assign(open->id, std::move(open->entry));
        } else if (auto* finish = std::get_if<Finish>(&*message)) {
            auto node = entries.extract(finish->id);
            if (node.empty()) continue;
            const Entry& entry = node.mapped();
            auto record = transport_record(finish->id, entry, finish->closed_at, finish->outcome,
                                           finish->failure);
            count_completed(*live, entry, record, finish->failure);
            if (records) {
                switch (records->try_send(std::move(record))) {
                    case rt::TrySend::Sent:
                        break;
                    case rt::TrySend::Full:
                        live->dropped_records.fetch_add(1);
                        break;
                    case rt::TrySend::Closed:
                        records.reset();
                        break;
                }
            }
        } else if (auto* snapshot = std::get_if<Snapshot>(&*message)) {
            snapshot->reply.send(summarize(entries, *live));
        } else {
            final_summary = summarize(entries, *live);
            stop_reply = std::move(std::get<Stop>(*message).reply);
            break;
        }
    }

    // Close the observation queue before answering a stop: once `stop` returns, every later
    // open, snapshot and stop must find the recorder gone. Dropping the record sender ends the
    // record reader's stream after what is already queued.
    { auto closing = std::move(messages); }
    entries.clear();
    records.reset();
    if (stop_reply) stop_reply->send(std::move(*final_summary));
}

}  // namespace

model::TransportRecord transport_record(const model::Uuid& id, const Entry& entry,
                                        std::optional<model::Timestamp> closed_at, Outcome outcome,
                                        std::optional<model::TransportFailure> failure) {
    const TransportMetrics& metrics = *entry.metrics;
    if (entry.protocol == model::TransportProtocol::Tcp) {
        model::TcpStreamRecord record;
        record.stream_id = id;
        record.proxy = entry.proxy;
        record.peer = entry.peer;
        record.upstream = entry.upstream;
        record.opened_at = entry.opened_at;
        record.closed_at = closed_at;
        record.bytes_to_upstream = metrics.bytes_to_upstream();
        record.bytes_to_client = metrics.bytes_to_client();
        record.faults = metrics.fault_record();
        record.outcome = as_tcp(outcome);
        record.failure = std::move(failure);
        return record;
    }
    model::UdpExchangeRecord record;
    record.exchange_id = id;
    record.proxy = entry.proxy;
    record.peer = entry.peer;
    record.upstream = entry.upstream;
    record.started_at = entry.opened_at;
    record.completed_at = closed_at;
    record.request_bytes = metrics.bytes_to_upstream();
    record.response_bytes = metrics.bytes_to_client();
    record.faults = metrics.fault_record();
    record.outcome = as_udp(outcome);
    record.failure = std::move(failure);
    return record;
}

}  // namespace observation

ObservationGuard::ObservationGuard(ObservationGuard&& other) noexcept
    : sender_(std::move(other.sender_)),
      id_(other.id_),
      protocol_(other.protocol_),
      armed_(std::exchange(other.armed_, false)) {}

ObservationGuard& ObservationGuard::operator=(ObservationGuard&& other) noexcept {
    if (this != &other) {
        abandon();
        sender_ = std::move(other.sender_);
        id_ = other.id_;
        protocol_ = other.protocol_;
        armed_ = std::exchange(other.armed_, false);
    }
    return *this;
}

ObservationGuard::~ObservationGuard() {
    abandon();
}

void ObservationGuard::abandon() noexcept {
    if (!std::exchange(armed_, false) || !sender_.valid()) return;
    try {
        // Never waits: a full or closed queue loses the message and the entry stays open.
        sender_.try_send(observation::Finish{id_, model::Timestamp::now(),
                                             observation::cancelled(protocol_), std::nullopt});
    } catch (...) {
    }
}

asio::awaitable<void> ObservationGuard::finish_tcp(
    model::TcpStreamOutcome outcome, std::optional<model::TransportFailure> failure) && {
    return finish(std::move(*this), outcome, std::move(failure));
}

asio::awaitable<void> ObservationGuard::finish_udp(
    model::UdpExchangeOutcome outcome, std::optional<model::TransportFailure> failure) && {
    return finish(std::move(*this), outcome, std::move(failure));
}

asio::awaitable<void> ObservationGuard::finish(ObservationGuard guard, observation::Outcome outcome,
                                               std::optional<model::TransportFailure> failure) {
    if (!guard.armed_ || !guard.sender_.valid()) co_return;
    // Built as a named value: g++ 12 mishandles temporaries inside a co_await expression.
    observation::Message message =
        observation::Finish{guard.id_, model::Timestamp::now(), outcome, std::move(failure)};
    co_await guard.sender_.send(std::move(message));
    guard.armed_ = false;
}

std::pair<ObservationRecorder, rt::Task<void>> ObservationRecorder::start(
    std::optional<rt::QueueSender<model::TransportRecord>> records, rt::Executor executor) {
    auto [sender, receiver] = rt::make_queue<observation::Message>(observation::kQueueCapacity);
    auto live = std::make_shared<LiveMetrics>();
    auto task = rt::Task<void>::spawn(
        executor, observation::collect(std::move(receiver), std::move(records), live),
        "observation collector");
    return {ObservationRecorder(std::move(sender), std::move(live)), std::move(task)};
}

asio::awaitable<std::expected<ObservationGuard, EngineError>> ObservationRecorder::open(
    model::Uuid id, std::string proxy, std::string peer, std::string upstream,
    std::shared_ptr<TransportMetrics> metrics) const {
    const auto protocol = metrics->protocol();
    return announce(
        sender_, live_, id,
        observation::Entry{protocol, std::move(proxy), std::move(peer), std::move(upstream),
                           model::Timestamp{}, std::move(metrics)});
}

asio::awaitable<std::expected<ObservationGuard, EngineError>> ObservationRecorder::announce(
    rt::QueueSender<observation::Message> sender, std::shared_ptr<LiveMetrics> live, model::Uuid id,
    observation::Entry entry) {
    // Counted before anything can fail or wait, and kept when the collector is gone.
    if (entry.protocol == model::TransportProtocol::Tcp) {
        live->tcp.active.fetch_add(1);
        live->tcp.opened.fetch_add(1);
    } else {
        live->udp.active.fetch_add(1);
        live->udp.started.fetch_add(1);
    }
    entry.opened_at = model::Timestamp::now();
    const auto protocol = entry.protocol;
    observation::Message message = observation::Open{id, std::move(entry)};
    if (!co_await sender.send(std::move(message))) {
        co_return std::unexpected(EngineError::ObservationRecorderStopped{});
    }
    co_return ObservationGuard(std::move(sender), id, protocol);
}

asio::awaitable<std::expected<model::TransportSummary, EngineError>> ObservationRecorder::snapshot()
    const {
    return request(sender_, false);
}

asio::awaitable<std::expected<model::TransportSummary, EngineError>> ObservationRecorder::stop()
    const {
    return request(sender_, true);
}

asio::awaitable<std::expected<model::TransportSummary, EngineError>> ObservationRecorder::request(
    rt::QueueSender<observation::Message> sender, bool stop) {
    auto [reply, response] = rt::make_oneshot<model::TransportSummary>();
    observation::Message message =
        stop ? observation::Message{observation::Stop{std::move(reply)}}
             : observation::Message{observation::Snapshot{std::move(reply)}};
    if (!co_await sender.send(std::move(message))) {
        co_return std::unexpected(EngineError::ObservationRecorderStopped{});
    }
    // Nothing to hold on to while waiting for the answer.
    sender = {};
    auto summary = co_await response.receive();
    if (!summary) co_return std::unexpected(EngineError::ObservationRecorderStopped{});
    co_return std::move(*summary);
}

}  // namespace ostrel::engine
