#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "ostrel-engine/error.hpp"
#include "ostrel-engine/metrics.hpp"
#include "ostrel-engine/rt/asio.hpp"
#include "ostrel-engine/rt/oneshot.hpp"
#include "ostrel-engine/rt/queue.hpp"
#include "ostrel-engine/rt/task.hpp"
#include "ostrel-model/config.hpp"
#include "ostrel-model/timestamp.hpp"
#include "ostrel-model/transport.hpp"
#include "ostrel-model/uuid.hpp"

namespace ostrel::engine {

namespace observation {

// How a transport ended; the alternative names its protocol.
using Outcome = std::variant<model::TcpStreamOutcome, model::UdpExchangeOutcome>;

// What the collector keeps per open transport.
struct Entry {
    model::TransportProtocol protocol = model::TransportProtocol::Tcp;
    std::string proxy;
    std::string peer;
    std::string upstream;
    model::Timestamp opened_at;
    std::shared_ptr<TransportMetrics> metrics;
};

struct Open {
    model::Uuid id;
    Entry entry;
};

struct Finish {
    model::Uuid id;
    model::Timestamp closed_at;
    Outcome outcome;
    std::optional<model::TransportFailure> failure;
};

struct Snapshot {
    rt::OneShotSender<model::TransportSummary> reply;
};

struct Stop {
    rt::OneShotSender<model::TransportSummary> reply;
};

using Message = std::variant<Open, Finish, Snapshot, Stop>;

inline constexpr size_t kQueueCapacity = 1024;

// A TCP entry makes a stream record, a UDP entry an exchange record, whatever the outcome's
// protocol; an outcome of the other protocol is carried over to its nearest counterpart.
model::TransportRecord transport_record(const model::Uuid& id, const Entry& entry,
                                        std::optional<model::Timestamp> closed_at, Outcome outcome,
                                        std::optional<model::TransportFailure> failure);

}  // namespace observation

// Held by a proxy task for the life of one transport. Finishing consumes it; dropping it while
// still armed reports the transport as cancelled, if the observation queue has room.
class ObservationGuard {
  public:
    // Disarmed, reporting nothing; a place to move a real guard into.
    ObservationGuard() = default;
    ObservationGuard(ObservationGuard&& other) noexcept;
    ObservationGuard& operator=(ObservationGuard&& other) noexcept;
    ObservationGuard(const ObservationGuard&) = delete;
    ObservationGuard& operator=(const ObservationGuard&) = delete;
    ~ObservationGuard();

    const model::Uuid& id() const { return id_; }
    model::TransportProtocol protocol() const { return protocol_; }
    bool armed() const { return armed_; }

    // Report the end with the current time as closing time, waiting while the observation
    // queue is full. A stopped recorder loses the message silently.
    asio::awaitable<void> finish_tcp(model::TcpStreamOutcome outcome,
                                     std::optional<model::TransportFailure> failure) &&;
    asio::awaitable<void> finish_udp(model::UdpExchangeOutcome outcome,
                                     std::optional<model::TransportFailure> failure) &&;

  private:
    friend class ObservationRecorder;
    ObservationGuard(rt::QueueSender<observation::Message> sender, model::Uuid id,
                     model::TransportProtocol protocol)
        : sender_(std::move(sender)), id_(id), protocol_(protocol), armed_(true) {}

    // The guard travels into the coroutine still armed and is disarmed only once the message
    // is queued (or the recorder is gone): a task aborted while waiting for room still leaves
    // its "cancelled" report behind, if there is room by then.
    static asio::awaitable<void> finish(ObservationGuard guard, observation::Outcome outcome,
                                        std::optional<model::TransportFailure> failure);
    void abandon() noexcept;

    rt::QueueSender<observation::Message> sender_;
    model::Uuid id_;
    model::TransportProtocol protocol_ = model::TransportProtocol::Tcp;
    bool armed_ = false;
};

// The engine's handle on its observation collector: cheap to copy; every copy sends to the same
// collector and shares the same live counters.
class ObservationRecorder {
  public:
    // Spawns the collector on `executor`. Finished records are offered to `records` without
    // waiting; when that queue's reader is gone, records are no longer offered.
    static std::pair<ObservationRecorder, rt::Task<void>> start(
        std::optional<rt::QueueSender<model::TransportRecord>> records, rt::Executor executor);

    // Announces a transport; counts it as active at once, even when the collector turns out to
    // be gone. Waits while the observation queue is full.
    asio::awaitable<std::expected<ObservationGuard, EngineError>> open(
        model::Uuid id, std::string proxy, std::string peer, std::string upstream,
        std::shared_ptr<TransportMetrics> metrics) const;
    // The status with the transports open at this moment.
    asio::awaitable<std::expected<model::TransportSummary, EngineError>> snapshot() const;
    // The final summary; the collector has ended once this returns.
    asio::awaitable<std::expected<model::TransportSummary, EngineError>> stop() const;

    const std::shared_ptr<LiveMetrics>& live() const { return live_; }

  private:
    ObservationRecorder(rt::QueueSender<observation::Message> sender,
                        std::shared_ptr<LiveMetrics> live)
        : sender_(std::move(sender)), live_(std::move(live)) {}

    // The coroutines own copies of the sending end, so a handle may go away while they wait.
    static asio::awaitable<std::expected<ObservationGuard, EngineError>> announce(
        rt::QueueSender<observation::Message> sender, std::shared_ptr<LiveMetrics> live,
        model::Uuid id, observation::Entry entry);
    static asio::awaitable<std::expected<model::TransportSummary, EngineError>> request(
        rt::QueueSender<observation::Message> sender, bool stop);

    rt::QueueSender<observation::Message> sender_;
    std::shared_ptr<LiveMetrics> live_;
};

}  // namespace ostrel::engine
