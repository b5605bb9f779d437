#include "ostrel-engine/proxy/udp.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "ostrel-engine/faults/delay.hpp"
#include "ostrel-engine/proxy/address.hpp"
#include "ostrel-engine/proxy/backoff.hpp"
#include "ostrel-engine/proxy/dns.hpp"
#include "ostrel-engine/proxy/failure.hpp"

namespace ostrel::engine {

namespace {

using asio::ip::udp;
using model::UdpExchangeOutcome;

// The proxy's listening socket. The socket object is touched only on the receive task's
// strand: the task receives there, and replies that must wait for room are handed over to it.
// A reply that leaves at once goes out from any thread through the descriptor itself.
class Listener {
  public:
    explicit Listener(udp::socket socket) : socket_(std::move(socket)) {}

    // From any thread: sends `data` to `to` without waiting. would_block when the send buffer is
    // full (send() then waits for room); operation_aborted once the proxy is closing.
    size_t send_now(std::span<const std::byte> data, const udp::endpoint& to, std::error_code& ec) {
        // Shared with other senders; close_for_replies and close take it exclusively, so the
        // descriptor stays open, and is not yet reused, while a datagram leaves through it.
        std::shared_lock lock(descriptor_);
        if (closing_) {
            ec = asio::error::operation_aborted;
            return 0;
        }
        for (;;) {
            const ssize_t sent = ::sendto(socket_.native_handle(), data.data(), data.size(),
                                          MSG_DONTWAIT, to.data(), to.size());
            if (sent >= 0) {
                ec.clear();
                return static_cast<size_t>(sent);
            }
            if (errno == EINTR) continue;
            ec = std::error_code(errno, std::system_category());
            return 0;
        }
    }

    udp::socket& socket() { return socket_; }
    const rt::Executor& strand() const { return strand_; }
    void set_strand(rt::Executor strand) { strand_ = std::move(strand); }

    // On the strand. Completes on the handler's executor with (error, bytes sent); a reply
    // refused or cut short because the proxy is closing ends with operation_aborted.
    template <typename Handler>
    void send(std::span<const std::byte> data, const udp::endpoint& to, Handler handler) {
        std::error_code ec = asio::error::operation_aborted;
        size_t sent = 0;
        if (!closing_) {
            ec.clear();
            // The socket is non-blocking: the datagram leaves now, or waits for room.
            sent = socket_.send_to(asio::buffer(data.data(), data.size()), to, 0, ec);
            if (ec == asio::error::would_block) {
                // The caller's own cancellation cannot reach an operation of this strand;
                // close_for_replies ends the wait instead.
                socket_.async_send_to(
                    asio::buffer(data.data(), data.size()), to,
                    asio::bind_cancellation_slot(asio::cancellation_slot(), std::move(handler)));
                return;
            }
        }
        auto executor = asio::get_associated_executor(handler, strand_);
        asio::post(executor, [handler = std::move(handler), ec, sent]() mutable {
            std::move(handler)(ec, sent);
        });
    }

    // No reply leaves any more; one waiting for room in the send buffer ends now.
    void close_for_replies() {
        std::unique_lock lock(descriptor_);
        closing_ = true;
        std::error_code ignored;
        socket_.cancel(ignored);
    }

    void close() {
        std::unique_lock lock(descriptor_);
        closing_ = true;
        std::error_code ignored;
        socket_.close(ignored);
    }

  private:
    udp::socket socket_;
    rt::Executor strand_;
    std::shared_mutex descriptor_;
    bool closing_ = false;
};

// Sends `data` to `to` from the listening socket. `data` must stay alive until completion.
template <typename Token>
auto async_reply(const std::shared_ptr<Listener>& listener, std::span<const std::byte> data,
                 const udp::endpoint& to, Token&& token) {
    return asio::async_initiate<Token, void(std::error_code, size_t)>(
        [](auto handler, std::shared_ptr<Listener> listener, std::span<const std::byte> data,
           udp::endpoint to) {
            rt::Executor strand = listener->strand();
            asio::post(strand, [listener = std::move(listener), data, to,
                                handler = std::move(handler)]() mutable {
                listener->send(data, to, std::move(handler));
            });
        },
        token, listener, data, to);
}

struct Exchange;

// The response time limits of one proxy's exchanges, kept by a single timer. Every limit is
// equally long, so the waiting exchanges form a queue in the order they started waiting and
// only the earliest deadline needs a timer.
class ResponseLimits : public std::enable_shared_from_this<ResponseLimits> {
  public:
    explicit ResponseLimits(const rt::Executor& executor) : timer_(executor) {}

    // From the exchange's strand: its limit starts now. When it passes first, the exchange
    // learns it on its strand (`timed_out`, and its wait for the upstream ends).
    void add(Exchange& x);
    // From the exchange's strand, and again when it ends: the limit no longer matters.
    void remove(Exchange& x);

  private:
    void arm();
    void expire();

    std::mutex mutex_;
    Exchange* head_ = nullptr;
    Exchange* tail_ = nullptr;
    asio::steady_timer timer_;
    bool armed_ = false;
};

struct ProxyState {
    std::string name;
    std::string upstream;
    FaultRuntime runtime;
    rt::CancellationToken token;
    ObservationRecorder recorder;
    std::shared_ptr<Listener> listener;
    std::shared_ptr<ResponseLimits> limits;
};

struct Ending {
    UdpExchangeOutcome outcome = UdpExchangeOutcome::Completed;
    std::optional<model::TransportFailure> failure;
};

// One exchange, owned by its task and touched only on its strand. Its state lives here rather
// than in coroutine frames, so that an exchange waiting for its upstream holds little more than
// this object and one small frame.
struct Exchange : std::enable_shared_from_this<Exchange> {
    Exchange(const rt::Executor& strand_executor, std::shared_ptr<const ProxyState> proxy_state,
             const udp::endpoint& client_endpoint, std::vector<std::byte> request_bytes)
        : strand(strand_executor),
          proxy(std::move(proxy_state)),
          client(client_endpoint),
          request(std::move(request_bytes)),
          timer(strand),
          upstream(strand) {}

    ~Exchange() { proxy->limits->remove(*this); }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // The engine is shutting down: end whatever the exchange waits for. Every wait checks
    // `stopping` before it starts, since cancelling reaches only operations already waiting.
    void stop() {
        if (stopping) return;
        stopping = true;
        timer.cancel();
        std::error_code ignored;
        upstream.cancel(ignored);
        if (resolver) resolver->cancel();
    }

    void end(UdpExchangeOutcome outcome) { ending = Ending{outcome, std::nullopt}; }
    void fail(const IoError& error) {
        ending =
            Ending{UdpExchangeOutcome::TransferFailed, transfer_failure(proxy->upstream, error)};
    }

    const rt::Executor strand;
    const std::shared_ptr<const ProxyState> proxy;
    const udp::endpoint client;
    std::vector<std::byte> request;  // released once sent
    std::vector<std::byte> response;
    std::shared_ptr<TransportMetrics> metrics;
    ObservationGuard guard;

    // Set once the outcome is known; an error instead ends the proxy (and leaves the record to
    // the dropped guard).
    std::optional<Ending> ending;
    std::optional<EngineError> error;

    asio::steady_timer timer;
    udp::socket upstream;
    std::optional<udp::resolver> resolver;
    bool stopping = false;
    bool timed_out = false;

    // The place in the proxy's queue of response limits, under that queue's lock.
    Exchange* limit_prev = nullptr;
    Exchange* limit_next = nullptr;
    bool limit_queued = false;
    asio::steady_timer::time_point limit_deadline;
};

void ResponseLimits::add(Exchange& x) {
    std::lock_guard lock(mutex_);
    x.limit_deadline = asio::steady_timer::clock_type::now() + kUdpResponseLimit;
    x.limit_prev = tail_;
    x.limit_next = nullptr;
    x.limit_queued = true;
    (tail_ ? tail_->limit_next : head_) = &x;
    tail_ = &x;
    arm();
}

void ResponseLimits::remove(Exchange& x) {
    std::lock_guard lock(mutex_);
    if (!x.limit_queued) return;
    (x.limit_prev ? x.limit_prev->limit_next : head_) = x.limit_next;
    (x.limit_next ? x.limit_next->limit_prev : tail_) = x.limit_prev;
    x.limit_prev = x.limit_next = nullptr;
    x.limit_queued = false;
    // An armed timer may now fire early, for a deadline already gone; it then re-arms.
}

// Under the lock.
void ResponseLimits::arm() {
    if (armed_ || head_ == nullptr) return;
    armed_ = true;
    timer_.expires_at(head_->limit_deadline);
    timer_.async_wait([weak = weak_from_this()](std::error_code) {
        if (auto self = weak.lock()) self->expire();
    });
}

void ResponseLimits::expire() {
    std::vector<std::shared_ptr<Exchange>> due;
    {
        std::lock_guard lock(mutex_);
        armed_ = false;
        const auto now = asio::steady_timer::clock_type::now();
        while (head_ != nullptr && head_->limit_deadline <= now) {
            Exchange& x = *head_;
            head_ = x.limit_next;
            (head_ ? head_->limit_prev : tail_) = nullptr;
            x.limit_prev = x.limit_next = nullptr;
            x.limit_queued = false;
            // An exchange already being destroyed is past its wait.
            if (auto alive = x.weak_from_this().lock()) due.push_back(std::move(alive));
        }
        arm();
    }
    for (auto& alive : due) {
        rt::Executor strand = alive->strand;
        asio::post(strand, [alive = std::move(alive)] {
            alive->timed_out = true;
            std::error_code ignored;
            alive->upstream.cancel(ignored);
        });
    }
}

// What comes after the request leg.
enum class Next { End, AwaitResponse, Reply };

bool acts(model::TrafficFlow flow, Side side) {
    if (flow == model::TrafficFlow::Both) return true;
    return (flow == model::TrafficFlow::ToUpstream) == (side == Side::ToUpstream);
}

std::chrono::nanoseconds millis(uint64_t ms) {
    constexpr uint64_t kMaxMillis = static_cast<uint64_t>(kMaxDelay.count()) / 1'000'000;
    if (ms >= kMaxMillis) return kMaxDelay;
    return std::chrono::milliseconds(static_cast<int64_t>(ms));
}

// Waits for `delay`; false when the engine shut down first.
asio::awaitable<bool> sleep_or_cancel(Exchange& x, std::chrono::nanoseconds delay) {
    if (x.stopping) co_return false;
    x.timer.expires_after(delay);
    auto [ec] = co_await x.timer.async_wait(rt::use_tuple);
    (void)ec;
    co_return !x.stopping;
}

// The faults of the proxy's current set for one datagram going `side`, in list order. True
// when the datagram passes; otherwise the exchange has ended (dropped or cancelled) or `error`
// is set. A blackhole drops the datagram only after the delays listed before it.
asio::awaitable<bool> apply_datagram_faults(Exchange& x, Side side) {
    // Held for the walk: a set installed meanwhile counts from the next step on.
    const std::shared_ptr<const ActiveFaults> set = x.proxy->runtime.current();
    TransportMetrics& metrics = *x.metrics;
    for (const model::FaultSpec& fault : set->specs) {
        std::chrono::nanoseconds delay{0};
        if (const auto* latency = std::get_if<model::LatencyFault>(&fault.kind)) {
            if (!acts(latency->flow, side)) continue;
            auto sampler = DelaySampler::create(latency->distribution);
            if (!sampler) {
                x.error = sampler.error();
                co_return false;
            }
            delay = sampler->sample();
            metrics.mark_impacted();
            metrics.latency_applied(to_micros(delay));
        } else if (const auto* jitter = std::get_if<model::JitterFault>(&fault.kind)) {
            if (!acts(jitter->flow, side)) continue;
            // p = 1 always applies (every draw is below 1), p = 0 never.
            if (!(thread_rng().unit_closed_open() < jitter->probability)) continue;
            const double ms = jitter->min_delay_ms + (jitter->max_delay_ms - jitter->min_delay_ms) *
                                                         thread_rng().unit_closed_open();
            delay = duration_from_secs(ms / 1000);
            metrics.mark_impacted();
            metrics.jitter_applied(to_micros(delay));
        } else if (const auto* blackhole = std::get_if<model::BlackholeFault>(&fault.kind)) {
            if (!acts(blackhole->flow, side)) continue;
            metrics.mark_impacted();
            metrics.blackhole(side);
            x.end(UdpExchangeOutcome::FaultDropped);
            co_return false;
        } else {
            continue;
        }
        const bool slept = co_await sleep_or_cancel(x, delay);
        if (!slept) {
            x.end(UdpExchangeOutcome::Cancelled);
            co_return false;
        }
    }
    co_return true;
}

std::optional<model::DnsFault> first_dns_fault(const ActiveFaults& set) {
    for (const model::FaultSpec& fault : set.specs) {
        if (const auto* dns = std::get_if<model::DnsFault>(&fault.kind)) return *dns;
    }
    return std::nullopt;
}

// The dns fault that answers a query at once, if the current set has one: no delay of its own,
// a case that answers, and no fault that could delay or drop the query or its answer.
const model::DnsFault* immediate_dns_fault(const ActiveFaults& set) {
    const model::DnsFault* dns = nullptr;
    for (const model::FaultSpec& fault : set.specs) {
        if (std::holds_alternative<model::LatencyFault>(fault.kind) ||
            std::holds_alternative<model::JitterFault>(fault.kind) ||
            std::holds_alternative<model::BlackholeFault>(fault.kind)) {
            return nullptr;
        }
        if (dns == nullptr) dns = std::get_if<model::DnsFault>(&fault.kind);
    }
    if (dns == nullptr || dns->delay_ms || dns->dns_case == model::DnsCase::Delay ||
        dns->dns_case == model::DnsCase::Timeout) {
        return nullptr;
    }
    return dns;
}

// The upstream text is resolved anew for every exchange; a literal address needs no lookup.
asio::awaitable<std::expected<udp::endpoint, IoError>> resolve_upstream(Exchange& x) {
    const std::string& upstream = x.proxy->upstream;
    if (auto literal = parse_socket_address(upstream)) {
        co_return udp::endpoint(literal->address(), literal->port());
    }
    auto host_port = split_host_port(upstream);
    if (!host_port) {
        co_return std::unexpected(
            IoError{std::make_error_code(std::errc::invalid_argument), "invalid socket address"});
    }
    // Asio's resolver runs getaddrinfo on a thread of its own, off the runtime's workers.
    x.resolver.emplace(x.strand);
    auto [ec, results] =
        co_await x.resolver->async_resolve(host_port->host, host_port->port, rt::use_tuple);
    x.resolver.reset();
    if (ec) co_return std::unexpected(IoError{ec, {}});
    if (results.empty()) {
        co_return std::unexpected(IoError{std::make_error_code(std::errc::address_not_available),
                                          "the host resolved to no addresses"});
    }
    co_return results.begin()->endpoint();
}

// Opens the exchange's own socket, connected to the first resolved address, and sends the
// request as one datagram.
asio::awaitable<std::expected<void, IoError>> send_request(Exchange& x) {
    auto target = co_await resolve_upstream(x);
    if (!target) co_return std::unexpected(target.error());
    if (x.stopping) co_return std::unexpected(IoError{asio::error::operation_aborted, {}});
    const bool v4 = target->address().is_v4();
    const asio::ip::address any = v4 ? asio::ip::address(asio::ip::address_v4::any())
                                     : asio::ip::address(asio::ip::address_v6::any());
    std::error_code ec;
    x.upstream.open(v4 ? udp::v4() : udp::v6(), ec);
    if (!ec) x.upstream.bind(udp::endpoint(any, 0), ec);
    if (!ec) x.upstream.connect(*target, ec);
    if (ec) co_return std::unexpected(IoError{ec, {}});
    // A fresh socket nearly always has room: only a full send buffer waits for readiness.
    std::error_code send_ec;
    for (;;) {
        const ssize_t sent =
            ::send(x.upstream.native_handle(), x.request.data(), x.request.size(), MSG_DONTWAIT);
        if (sent >= 0) break;
        if (errno == EINTR) continue;
        send_ec = std::error_code(errno, std::system_category());
        break;
    }
    if (send_ec == asio::error::would_block) {
        auto [waited_ec, sent] = co_await x.upstream.async_send(
            asio::buffer(x.request.data(), x.request.size()), rt::use_tuple);
        (void)sent;
        send_ec = waited_ec;
    }
    if (send_ec) co_return std::unexpected(IoError{send_ec, {}});
    co_return std::expected<void, IoError>{};
}

// Request faults, the DNS step, and the request to the upstream. Failures of the exchange's own
// legs end it as "transfer-failed"; only errors that concern the whole proxy set `error`.
asio::awaitable<Next> request_leg(Exchange& x) {
    if (!co_await apply_datagram_faults(x, Side::ToUpstream)) co_return Next::End;

    // The set is read again: it may have changed during the request's delays.
    const std::optional<model::DnsFault> dns = first_dns_fault(*x.proxy->runtime.current());
    if (dns) {
        x.metrics->mark_impacted();
        x.metrics->dns_intervention();
        if (dns->delay_ms) {
            const bool slept = co_await sleep_or_cancel(x, millis(*dns->delay_ms));
            if (!slept) {
                x.end(UdpExchangeOutcome::Cancelled);
                co_return Next::End;
            }
        }
        if (dns->dns_case == model::DnsCase::Timeout) {
            x.end(UdpExchangeOutcome::FaultDropped);
            co_return Next::End;
        }
        // A datagram that is no answerable query goes to the upstream unchanged.
        if (auto answer = dns_fault_answer(dns->dns_case, x.request)) {
            x.response = std::move(*answer);
            co_return Next::Reply;
        }
    }

    auto sent = co_await send_request(x);
    if (sent) x.metrics->add_bytes_to_upstream(x.request.size());
    std::vector<std::byte>().swap(x.request);
    if (x.stopping) {
        x.end(UdpExchangeOutcome::Cancelled);
    } else if (!sent) {
        x.fail(sent.error());
    }
    co_return x.ending ? Next::End : Next::AwaitResponse;
}

// Above the largest UDP payload over IPv4 or IPv6 (65,527 bytes).
constexpr size_t kScratchSize = 65536;

// After the wait for the upstream socket ended: takes the datagram that arrived into a buffer
// of exactly its size. True once the wait is over, with `response` set or the exchange ended;
// false when the socket had nothing after all.
bool take_response(Exchange& x, std::error_code ec) {
    if (x.stopping) {
        x.end(UdpExchangeOutcome::Cancelled);
        return true;
    }
    if (ec == asio::error::operation_aborted) {
        if (!x.timed_out) return false;
        x.fail(
            IoError{std::make_error_code(std::errc::timed_out), "UDP upstream response timed out"});
        return true;
    }
    if (ec) {
        x.fail(IoError{ec, {}});
        return true;
    }
    // The datagram lands in the thread's scratch buffer, larger than any UDP payload, and is
    // kept at its own size. A pending error (such as the refusal from a port nobody listens
    // on) is reported here as well.
    thread_local const std::unique_ptr<std::byte[]> scratch =
        std::make_unique<std::byte[]>(kScratchSize);
    const ssize_t size =
        ::recv(x.upstream.native_handle(), scratch.get(), kScratchSize, MSG_DONTWAIT);
    if (size < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return false;
        x.fail(IoError::from_errno(err));
        return true;
    }
    x.response.assign(scratch.get(), scratch.get() + size);
    return true;
}

// Response faults, then the response (or a DNS answer) to the client from the listening socket.
asio::awaitable<void> response_leg(Exchange& x) {
    if (!co_await apply_datagram_faults(x, Side::ToClient)) co_return;
    if (x.stopping) {
        x.end(UdpExchangeOutcome::Cancelled);
        co_return;
    }
    std::error_code ec;
    size_t sent = x.proxy->listener->send_now(x.response, x.client, ec);
    if (ec == asio::error::would_block) {
        auto [waited_ec, waited_sent] =
            co_await async_reply(x.proxy->listener, x.response, x.client, rt::use_tuple);
        ec = waited_ec;
        sent = waited_sent;
    }
    if (!ec) x.metrics->add_bytes_to_client(sent);
    // Only a closing proxy aborts a reply.
    if (x.stopping || ec == asio::error::operation_aborted) {
        x.end(UdpExchangeOutcome::Cancelled);
    } else if (ec) {
        x.fail(IoError{ec, {}});
    } else {
        x.end(UdpExchangeOutcome::Completed);
    }
}

asio::awaitable<bool> announce(Exchange& x) {
    x.metrics =
        std::make_shared<TransportMetrics>(model::TransportProtocol::Udp, x.proxy->recorder.live());
    // Arguments are settled into named values before they are awaited on: g++ 12 mishandles
    // temporaries with destructors inside a co_await expression.
    const model::Uuid id = model::Uuid::new_v4();
    std::string name = x.proxy->name;
    std::string peer = endpoint_text(x.client);
    std::string upstream = x.proxy->upstream;
    std::shared_ptr<TransportMetrics> metrics = x.metrics;
    auto guard = co_await x.proxy->recorder.open(id, std::move(name), std::move(peer),
                                                 std::move(upstream), std::move(metrics));
    if (!guard) {
        x.error = guard.error();
        co_return false;
    }
    x.guard = std::move(*guard);
    co_return true;
}

asio::awaitable<void> finish(Exchange& x) {
    Ending ending = std::move(*x.ending);
    co_await std::move(x.guard).finish_udp(ending.outcome, std::move(ending.failure));
}

// One datagram from a client, from announcement to record. While the exchange waits for its
// upstream only this coroutine's small frame is alive; the steps keep their state in `x`.
asio::awaitable<RunningUdpProxy::Result> exchange(std::shared_ptr<Exchange> ex) {
    Exchange& x = *ex;
    if (!co_await announce(x)) co_return std::unexpected(*x.error);

    // The callback runs under the token's lock: it only posts, and locks nothing of ours.
    auto on_shutdown = [weak = std::weak_ptr<Exchange>(ex), strand = x.strand] {
        asio::post(strand, [weak] {
            if (auto alive = weak.lock()) alive->stop();
        });
    };
    auto watch = x.proxy->token.on_cancel(std::move(on_shutdown));

    Next next = co_await request_leg(x);
    if (next == Next::AwaitResponse) {
        x.timed_out = false;
        x.proxy->limits->add(x);
        for (;;) {
            std::error_code ec = asio::error::operation_aborted;
            if (!x.stopping && !x.timed_out) {
                auto [waited] =
                    co_await x.upstream.async_wait(udp::socket::wait_read, rt::use_tuple);
                ec = waited;
            }
            if (take_response(x, ec)) break;
        }
        x.proxy->limits->remove(x);
        next = x.ending ? Next::End : Next::Reply;
    }
    if (next == Next::Reply) co_await response_leg(x);
    // An error leaves the record to the dropped guard.
    if (x.error) co_return std::unexpected(*x.error);
    std::error_code ignored;
    x.upstream.close(ignored);
    co_await finish(x);
    co_return RunningUdpProxy::Result{};
}

// The receive task and the exchanges it started.
class ReceiveLoop : public std::enable_shared_from_this<ReceiveLoop> {
  public:
    ReceiveLoop(std::shared_ptr<const ProxyState> proxy, rt::Executor executor)
        : proxy_(std::move(proxy)), executor_(std::move(executor)) {}

    asio::awaitable<RunningUdpProxy::Result> run() {
        strand_ = co_await asio::this_coro::executor;
        Listener& listener = *proxy_->listener;
        listener.set_strand(strand_);
        wake_.emplace(strand_);
        pause_.emplace(strand_);
        auto self = shared_from_this();
        auto on_shutdown = [weak = weak_from_this(), strand = strand_] {
            asio::post(strand, [weak] {
                if (auto loop = weak.lock()) loop->interrupt();
            });
        };
        auto watch = proxy_->token.on_cancel(std::move(on_shutdown));

        // One buffer for every datagram of the proxy; each request is copied out of it once,
        // at its own size.
        auto buffer = std::make_unique<std::byte[]>(kMaxDatagram);
        Backoff backoff;
        size_t burst = 0;
        while (!proxy_->token.is_cancelled() && !failure_) {
            udp::endpoint client;
            // Datagrams already queued are taken without a wake-up each; every kBurst of them
            // the loop yields through the reactor, so the strand's other work (finished
            // exchanges, shutdown) gets its turn.
            std::error_code ec = asio::error::would_block;
            size_t n = 0;
            if (burst < kBurst) {
                ++burst;
                n = listener.socket().receive_from(asio::buffer(buffer.get(), kMaxDatagram), client,
                                                   0, ec);
            }
            if (ec == asio::error::would_block) {
                burst = 0;
                auto [waited_ec, waited_n] = co_await listener.socket().async_receive_from(
                    asio::buffer(buffer.get(), kMaxDatagram), client,
                    asio::bind_cancellation_slot(receive_signal_.slot(), rt::use_tuple));
                ec = waited_ec;
                n = waited_n;
            }
            if (ec == asio::error::operation_aborted) continue;
            if (is_resource_error(ec)) {
                // The socket is sound; the kernel is short of memory. Pause, bound to shutdown
                // and to failed exchanges, while finished exchanges are still reaped.
                if (proxy_->token.is_cancelled() || failure_) break;
                pause_->expires_after(backoff.next());
                co_await pause_->async_wait(
                    asio::bind_cancellation_slot(receive_signal_.slot(), rt::use_tuple));
                continue;
            }
            if (ec) {
                failure_ = EngineError(EngineError::Io{IoError{ec, {}}});
                break;
            }
            backoff.reset();
            const std::span<const std::byte> request(buffer.get(), n);
            const std::shared_ptr<const ActiveFaults> set = proxy_->runtime.current();
            if (const model::DnsFault* dns = immediate_dns_fault(*set)) {
                // A query answered at once needs no task: it is answered from here.
                if (auto answer = dns_fault_answer(dns->dns_case, request)) {
                    co_await answer_now(client, std::move(*answer));
                    continue;
                }
            }
            start(client, std::vector<std::byte>(request.begin(), request.end()));
        }
        buffer.reset();
        listener.close_for_replies();
        // Drain: every exchange watches the token and ends on its own; an error ends it at once.
        // From here on every exchange that ends wakes the loop.
        while (!failure_) {
            {
                std::lock_guard lock(exchanges_mutex_);
                draining_ = true;
                if (exchanges_.empty()) break;
            }
            wake_->expires_at(asio::steady_timer::time_point::max());
            co_await wake_->async_wait(rt::use_tuple);
        }
        RunningUdpProxy::Result result;
        if (failure_) {
            result = std::unexpected(*failure_);
            std::lock_guard lock(exchanges_mutex_);
            for (auto& [key, ex] : exchanges_) {
                asio::post(ex->strand, [ex] { ex->stop(); });
            }
        }
        listener.close();
        co_return result;
    }

  private:
    static constexpr size_t kBurst = 16;

    // An exchange answered by a dns fault with neither a delay of its own nor any fault that
    // could delay or drop either datagram: the same steps and the same record as an exchange
    // task, run on the loop's strand. Only a reply waiting for room in the send buffer waits.
    asio::awaitable<void> answer_now(const udp::endpoint& client, std::vector<std::byte> answer) {
        auto metrics = std::make_shared<TransportMetrics>(model::TransportProtocol::Udp,
                                                          proxy_->recorder.live());
        const model::Uuid id = model::Uuid::new_v4();
        std::string name = proxy_->name;
        std::string peer = endpoint_text(client);
        std::string upstream = proxy_->upstream;
        std::shared_ptr<TransportMetrics> announced = metrics;
        auto guard = co_await proxy_->recorder.open(id, std::move(name), std::move(peer),
                                                    std::move(upstream), std::move(announced));
        if (!guard) {
            failure_ = guard.error();
            co_return;
        }
        metrics->mark_impacted();
        metrics->dns_intervention();
        Ending ending;
        if (proxy_->token.is_cancelled()) {
            ending.outcome = UdpExchangeOutcome::Cancelled;
        } else {
            Listener& listener = *proxy_->listener;
            std::error_code ec;
            size_t sent = listener.send_now(answer, client, ec);
            if (ec == asio::error::would_block) {
                // Shutdown ends this wait through the receive signal.
                auto [waited_ec, waited_sent] = co_await listener.socket().async_send_to(
                    asio::buffer(answer.data(), answer.size()), client,
                    asio::bind_cancellation_slot(receive_signal_.slot(), rt::use_tuple));
                ec = waited_ec;
                sent = waited_sent;
            }
            if (!ec) metrics->add_bytes_to_client(sent);
            if (proxy_->token.is_cancelled() || ec == asio::error::operation_aborted) {
                ending.outcome = UdpExchangeOutcome::Cancelled;
            } else if (ec) {
                ending = Ending{UdpExchangeOutcome::TransferFailed,
                                transfer_failure(proxy_->upstream, IoError{ec, {}})};
            }
        }
        co_await std::move(*guard).finish_udp(ending.outcome, std::move(ending.failure));
    }

    void interrupt() {
        receive_signal_.emit(asio::cancellation_type::terminal);
        if (wake_) wake_->cancel();
    }

    void start(const udp::endpoint& client, std::vector<std::byte> request) {
        auto key = next_key_++;
        rt::Executor strand = asio::make_strand(executor_);
        auto ex = std::make_shared<Exchange>(strand, proxy_, client, std::move(request));
        {
            std::lock_guard lock(exchanges_mutex_);
            exchanges_.emplace(key, ex);
        }
        auto done = [self = shared_from_this(), key](std::exception_ptr crash,
                                                     RunningUdpProxy::Result result) {
            self->finished(key, crash, std::move(result));
        };
        asio::co_spawn(strand, exchange(ex), std::move(done));
    }

    // On the exchange's strand. Only what concerns the loop goes over to its strand: a failure,
    // or an end while the loop drains; a plain success needs no hand-over.
    void finished(uint64_t key, std::exception_ptr crash, RunningUdpProxy::Result result) {
        std::shared_ptr<Exchange> ended;
        bool wake = false;
        {
            std::lock_guard lock(exchanges_mutex_);
            auto it = exchanges_.find(key);
            if (it != exchanges_.end()) {
                ended = std::move(it->second);
                exchanges_.erase(it);
            }
            wake = draining_ || crash || !result;
        }
        ended.reset();
        if (!wake) return;
        asio::post(strand_, [self = shared_from_this(), crash, result = std::move(result)] {
            self->settle(crash, result);
        });
    }

    // On the loop's strand, after an exchange ended.
    void settle(std::exception_ptr crash, const RunningUdpProxy::Result& result) {
        if (!failure_) {
            if (crash) {
                const rt::TaskFailure crashed{rt::TaskFailure::Kind::Crashed,
                                              "udp exchange of " + proxy_->name,
                                              rt::detail::describe_exception(crash)};
                failure_ = EngineError(EngineError::ProxyTask{crashed.text()});
            } else if (!result) {
                failure_ = result.error();
            }
            if (failure_) interrupt();
        }
        if (wake_) wake_->cancel();
    }

    std::shared_ptr<const ProxyState> proxy_;
    rt::Executor executor_;
    rt::Executor strand_;
    std::optional<asio::steady_timer> wake_;
    std::optional<asio::steady_timer> pause_;
    asio::cancellation_signal receive_signal_;
    // Exchanges end on their own strands; the map is theirs and the loop's, under the mutex.
    std::mutex exchanges_mutex_;
    std::unordered_map<uint64_t, std::shared_ptr<Exchange>> exchanges_;
    bool draining_ = false;
    uint64_t next_key_ = 0;
    std::optional<EngineError> failure_;
};

}  // namespace

model::TransportFailure transfer_failure(std::string_view upstream, const IoError& error) {
    const std::error_code code = rt::os_error(error.code);
    auto category = model::FailureCategory::Other;
    if (code == std::errc::host_unreachable || code == std::errc::network_unreachable) {
        category = model::FailureCategory::NetworkUnreachable;
    } else if (code == std::errc::timed_out) {
        category = model::FailureCategory::TimedOut;
    }
    return model::TransportFailure{
        .stage = model::FailureStage::Exchange,
        .category = category,
        .message = "UDP exchange " + std::string(upstream) + ": " + error.display(),
    };
}

std::expected<RunningUdpProxy, IoError> RunningUdpProxy::bind(
    const udp::endpoint& listen, std::string name, std::string upstream, FaultRuntime runtime,
    rt::CancellationToken token, ObservationRecorder recorder, const rt::Executor& executor) {
    udp::socket socket(executor);
    std::error_code ec;
    socket.open(listen.protocol(), ec);
    if (!ec) socket.bind(listen, ec);
    if (!ec) socket.non_blocking(true, ec);
    udp::endpoint local;
    if (!ec) local = socket.local_endpoint(ec);
    if (ec) return std::unexpected(IoError{ec, {}});

    auto listener = std::make_shared<Listener>(std::move(socket));
    auto proxy = std::make_shared<const ProxyState>(ProxyState{
        std::move(name), std::move(upstream), std::move(runtime), std::move(token),
        std::move(recorder), std::move(listener), std::make_shared<ResponseLimits>(executor)});
    auto loop = std::make_shared<ReceiveLoop>(proxy, executor);
    auto task = rt::Task<Result>::spawn(
        executor,
        [](std::shared_ptr<ReceiveLoop> loop) -> asio::awaitable<Result> {
            co_return co_await loop->run();
        }(loop),
        "receive " + proxy->name);
    return RunningUdpProxy(local, std::move(task));
}

asio::awaitable<RunningUdpProxy::Result> RunningUdpProxy::join() && {
    return join_proxy_task(task_);
}

}  // namespace ostrel::engine
