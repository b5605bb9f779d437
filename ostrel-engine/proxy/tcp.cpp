#include "ostrel-engine/proxy/tcp.hpp"

#include <array>
#include <unordered_map>

#include "ostrel-engine/faults/dynamic_stream.hpp"
#include "ostrel-engine/observed_stream.hpp"
#include "ostrel-engine/proxy/address.hpp"
#include "ostrel-engine/proxy/backoff.hpp"
#include "ostrel-engine/proxy/failure.hpp"

namespace ostrel::engine {

namespace {

using asio::ip::tcp;
using model::TcpStreamOutcome;

constexpr size_t kRelayBufferMin = 8192;
constexpr size_t kRelayBufferMax = 256 * 1024;
constexpr int kRelayBudget = 16;
constexpr int kBacklog = 128;

// One client connection, owned by its task and touched only on its strand.
struct Connection {
    Connection(tcp::socket client_socket, const rt::Executor& strand_executor)
        : strand(strand_executor),
          client(std::move(client_socket)),
          upstream(strand),
          resolver(strand),
          connect_timer(strand) {}

    // The engine is shutting down: end whatever the connection waits for.
    void stop() {
        if (stopping) return;
        stopping = true;
        resolver.cancel();
        connect_timer.cancel();
        std::error_code ignored;
        upstream.cancel(ignored);
        if (stream) {
            stream->stop();
        } else {
            client.cancel(ignored);
        }
    }

    // A direction failed: the other one ends at once, also if it has not yet started waiting.
    void abort_relay() {
        relay_aborted = true;
        std::error_code ignored;
        upstream.cancel(ignored);
        if (stream) stream->stop();
    }

    // Whether the upstream socket may still be used; checked before each operation on it,
    // since cancelling reaches only operations already waiting.
    bool relaying() const { return !stopping && !relay_aborted; }

    rt::Executor strand;
    tcp::socket client;
    tcp::socket upstream;
    tcp::resolver resolver;
    asio::steady_timer connect_timer;
    std::unique_ptr<DynamicFaultStream> stream;
    bool stopping = false;
    bool relay_aborted = false;
    bool timed_out = false;
};

struct ProxyState {
    std::string name;
    std::string upstream;
    FaultRuntime runtime;
    rt::CancellationToken token;
    ObservationRecorder recorder;
};

// Resolves the upstream anew and tries its addresses in order; the last failure counts.
asio::awaitable<std::expected<void, IoError>> connect_upstream(Connection& conn,
                                                               const std::string& upstream) {
    std::vector<tcp::endpoint> candidates;
    if (auto literal = parse_socket_address(upstream)) {
        candidates.push_back(*literal);
    } else {
        auto host_port = split_host_port(upstream);
        if (!host_port) {
            co_return std::unexpected(IoError{std::make_error_code(std::errc::invalid_argument),
                                              "invalid socket address"});
        }
        auto [ec, results] =
            co_await conn.resolver.async_resolve(host_port->host, host_port->port, rt::use_tuple);
        if (ec) co_return std::unexpected(IoError{rt::os_error(ec), {}});
        for (const auto& entry : results) candidates.push_back(entry.endpoint());
        if (candidates.empty()) {
            co_return std::unexpected(IoError{std::make_error_code(std::errc::invalid_argument),
                                              "could not resolve to any address"});
        }
    }
    std::error_code last;
    for (const auto& endpoint : candidates) {
        if (conn.stopping || conn.timed_out) break;
        std::error_code ignored;
        conn.upstream.close(ignored);
        auto [ec] = co_await conn.upstream.async_connect(endpoint, rt::use_tuple);
        if (!ec) co_return std::expected<void, IoError>{};
        last = ec;
    }
    co_return std::unexpected(IoError{rt::os_error(last), {}});
}

// A relay direction's buffer. It starts small and doubles, up to kRelayBufferMax, each time a
// read fills it, so a bulk transfer moves large chunks per system call; a short read drops it
// back to the small size, and `release` frees it while the direction waits for data, so an idle
// connection holds little or nothing.
class RelayBuffer {
  public:
    std::span<std::byte> get() {
        if (!data_) data_ = std::make_unique_for_overwrite<std::byte[]>(size_);
        return {data_.get(), size_};
    }

    // After the `n` bytes of the last read were passed on.
    void used(size_t n) {
        if (n == size_ && size_ < kRelayBufferMax) {
            size_ *= 2;
            data_.reset();
        } else if (n < kRelayBufferMin && size_ > kRelayBufferMin) {
            release();
        }
    }

    void release() {
        data_.reset();
        size_ = kRelayBufferMin;
    }

  private:
    size_t size_ = kRelayBufferMin;
    std::unique_ptr<std::byte[]> data_;
};

bool would_block(const std::error_code& ec) {
    return ec == asio::error::would_block || ec == asio::error::try_again;
}

// Operations that complete without waiting do not suspend the coroutine. A direction whose
// reads keep filling its buffer goes to the back of its strand's queue every kRelayBudget
// rounds, so that the other direction and the connections sharing the thread get their turn; a
// read that drained its source is about to wait anyway.
bool turn_is_over(int& rounds, bool filled) {
    rounds = filled ? rounds + 1 : 0;
    if (rounds < kRelayBudget) return false;
    rounds = 0;
    return true;
}

// Writes everything to the upstream socket: the non-blocking attempt first, a wait for room
// only when the socket is full.
asio::awaitable<std::error_code> write_upstream(Connection& conn, std::span<const std::byte> data) {
    size_t written = 0;
    while (written < data.size()) {
        if (!conn.relaying()) co_return asio::error::operation_aborted;
        std::error_code ec;
        const size_t count = conn.upstream.write_some(
            asio::buffer(data.data() + written, data.size() - written), ec);
        if (would_block(ec)) {
            auto [wait_ec] =
                co_await conn.upstream.async_wait(tcp::socket::wait_write, rt::use_tuple);
            if (wait_ec) co_return wait_ec;
            continue;
        }
        if (ec) co_return ec;
        if (count == 0) co_return make_error_code(StreamErrc::write_zero);
        written += count;
    }
    co_return std::error_code();
}

// Copies one direction until end of stream, then half-closes the destination.
asio::awaitable<std::error_code> client_to_upstream(Connection& conn) {
    RelayBuffer buffer;
    int rounds = 0;
    for (;;) {
        const std::span<std::byte> space = buffer.get();
        auto n = co_await conn.stream->read(space);
        if (!n) co_return n.error();
        if (*n == 0) {
            if (!conn.relaying()) co_return asio::error::operation_aborted;
            std::error_code ec;
            conn.upstream.shutdown(tcp::socket::shutdown_send, ec);
            co_return ec;
        }
        if (auto ec = co_await write_upstream(conn, space.first(*n))) co_return ec;
        buffer.used(*n);
        if (turn_is_over(rounds, *n == space.size())) {
            co_await asio::post(conn.strand, asio::use_awaitable);
        }
    }
}

asio::awaitable<std::error_code> upstream_to_client(Connection& conn) {
    RelayBuffer buffer;
    int rounds = 0;
    for (;;) {
        if (!conn.relaying()) co_return asio::error::operation_aborted;
        const std::span<std::byte> space = buffer.get();
        std::error_code ec;
        const size_t n = conn.upstream.read_some(asio::buffer(space.data(), space.size()), ec);
        if (would_block(ec)) {
            buffer.release();
            auto [wait_ec] =
                co_await conn.upstream.async_wait(tcp::socket::wait_read, rt::use_tuple);
            if (wait_ec) co_return wait_ec;
            continue;
        }
        if (ec == asio::error::eof) {
            if (auto flushed = co_await conn.stream->flush()) co_return flushed;
            co_return co_await conn.stream->shutdown();
        }
        if (ec) co_return ec;
        size_t written = 0;
        while (written < n) {
            auto count = co_await conn.stream->write(space.subspan(written, n - written));
            if (!count) co_return count.error();
            if (*count == 0) co_return make_error_code(StreamErrc::write_zero);
            written += *count;
        }
        buffer.used(n);
        if (turn_is_over(rounds, n == space.size())) {
            co_await asio::post(conn.strand, asio::use_awaitable);
        }
    }
}

// Both directions at once; the first error ends both.
asio::awaitable<std::error_code> relay(Connection& conn) {
    std::error_code first;
    // The upstream socket is read and written with the non-blocking attempt first.
    conn.upstream.non_blocking(true, first);
    if (first) co_return first;
    auto direction = [&](asio::awaitable<std::error_code> copy) -> asio::awaitable<void> {
        auto ec = co_await std::move(copy);
        if (ec && !first) {
            first = ec;
            conn.abort_relay();
        }
    };
    using namespace asio::experimental::awaitable_operators;
    co_await (direction(client_to_upstream(conn)) && direction(upstream_to_client(conn)));
    co_return first;
}

IoError relay_error(const std::error_code& ec) {
    return IoError{rt::os_error(ec), {}};
}

// Serves one client from announcement to close.
asio::awaitable<RunningTcpProxy::Result> forward(std::shared_ptr<Connection> conn,
                                                 std::shared_ptr<const ProxyState> proxy) {
    auto id = model::Uuid::new_v4();
    auto metrics =
        std::make_shared<TransportMetrics>(model::TransportProtocol::Tcp, proxy->recorder.live());
    std::error_code ec;
    auto peer = conn->client.remote_endpoint(ec);
    std::string peer_text = ec ? std::string("unknown") : endpoint_text(peer);

    auto guard =
        co_await proxy->recorder.open(id, proxy->name, peer_text, proxy->upstream, metrics);
    if (!guard) co_return std::unexpected(guard.error());

    // The token stops the connection wherever it waits; the registration ends with the task.
    // The callback runs under the token's lock: it only posts, and locks nothing of ours.
    auto watch = proxy->token.on_cancel([weak = std::weak_ptr(conn), strand = conn->strand] {
        asio::post(strand, [weak] {
            if (auto alive = weak.lock()) alive->stop();
        });
    });

    conn->connect_timer.expires_after(kUpstreamConnectLimit);
    conn->connect_timer.async_wait([weak = std::weak_ptr(conn)](std::error_code timer_ec) {
        auto alive = weak.lock();
        if (timer_ec || !alive) return;
        alive->timed_out = true;
        alive->resolver.cancel();
        std::error_code ignored;
        alive->upstream.cancel(ignored);
    });
    auto connected = co_await connect_upstream(*conn, proxy->upstream);
    conn->connect_timer.cancel();

    // Outcomes are settled into named values before they are awaited on: g++ 12 mishandles
    // temporaries with destructors inside a co_await expression.
    TcpStreamOutcome outcome = TcpStreamOutcome::Completed;
    std::optional<model::TransportFailure> failure;
    if (conn->stopping) {
        outcome = TcpStreamOutcome::Cancelled;
    } else if (!connected || conn->timed_out) {
        IoError error = conn->timed_out
                            ? IoError{std::make_error_code(std::errc::timed_out),
                                      "connection attempt exceeded " +
                                          std::to_string(kUpstreamConnectLimit.count()) + "s"}
                            : connected.error();
        outcome = TcpStreamOutcome::UpstreamConnectFailed;
        failure = connection_failure(model::FailureStage::Connect, proxy->upstream, error);
    } else {
        auto ctx = std::make_shared<StreamContext>(metrics);
        auto base = std::make_unique<ObservedStream>(std::move(conn->client), ctx);
        conn->stream = std::make_unique<DynamicFaultStream>(proxy->runtime, std::move(base), ctx,
                                                            conn->strand);
        std::error_code relayed = co_await relay(*conn);
        if (conn->stopping) {
            outcome = TcpStreamOutcome::Cancelled;
        } else if (!relayed) {
            outcome = TcpStreamOutcome::Completed;
        } else if (metrics->fault_record().connection_resets != 0) {
            outcome = TcpStreamOutcome::FaultReset;
        } else {
            outcome = TcpStreamOutcome::TransferFailed;
            failure = connection_failure(model::FailureStage::Transfer, proxy->upstream,
                                         relay_error(relayed));
        }
    }
    co_await std::move(*guard).finish_tcp(outcome, std::move(failure));
    // Closing the client socket of a connection armed by a reset fault sends the reset.
    conn->stream.reset();
    conn->upstream.close(ec);
    co_return RunningTcpProxy::Result{};
}

// The accept task and the connections it started.
class AcceptLoop : public std::enable_shared_from_this<AcceptLoop> {
  public:
    AcceptLoop(tcp::acceptor acceptor, std::shared_ptr<const ProxyState> proxy)
        : acceptor_(std::move(acceptor)), proxy_(std::move(proxy)) {}

    asio::awaitable<RunningTcpProxy::Result> run() {
        strand_ = co_await asio::this_coro::executor;
        wake_.emplace(strand_);
        pause_.emplace(strand_);
        auto self = shared_from_this();
        auto watch = proxy_->token.on_cancel([weak = weak_from_this(), strand = strand_] {
            asio::post(strand, [weak] {
                if (auto loop = weak.lock()) loop->interrupt();
            });
        });

        RunningTcpProxy::Result result;
        Backoff backoff;
        while (!proxy_->token.is_cancelled() && !failure_) {
            auto [ec, socket] = co_await acceptor_.async_accept(
                asio::make_strand(acceptor_.get_executor()),
                asio::bind_cancellation_slot(accept_signal_.slot(), rt::use_tuple));
            if (ec == asio::error::operation_aborted) continue;
            if (is_resource_error(ec)) {
                // The listener is sound; wait for descriptors or memory to come back. The pause
                // ends at once on shutdown or a failed connection, and connections that finish
                // meanwhile are still reaped on this strand.
                if (proxy_->token.is_cancelled() || failure_) break;
                pause_->expires_after(backoff.next());
                co_await pause_->async_wait(
                    asio::bind_cancellation_slot(accept_signal_.slot(), rt::use_tuple));
                continue;
            }
            if (ec) {
                failure_ = EngineError(EngineError::Io{IoError{rt::os_error(ec), {}}});
                break;
            }
            backoff.reset();
            start(std::move(socket));
        }
        // Drain: wait for the connections one by one as they finish; an error ends it at once.
        while (!failure_ && !connections_.empty()) {
            wake_->expires_at(asio::steady_timer::time_point::max());
            co_await wake_->async_wait(rt::use_tuple);
        }
        if (failure_) {
            result = std::unexpected(*failure_);
            for (auto& [key, conn] : connections_) {
                asio::post(conn->strand, [conn] { conn->stop(); });
            }
        }
        std::error_code ignored;
        acceptor_.close(ignored);
        co_return result;
    }

  private:
    void interrupt() {
        accept_signal_.emit(asio::cancellation_type::terminal);
        if (wake_) wake_->cancel();
    }

    void start(tcp::socket socket) {
        auto key = next_key_++;
        auto conn_strand = socket.get_executor();
        auto conn = std::make_shared<Connection>(std::move(socket), conn_strand);
        connections_.emplace(key, conn);
        asio::co_spawn(conn_strand, forward(conn, proxy_),
                       [self = shared_from_this(), key](std::exception_ptr crash,
                                                        RunningTcpProxy::Result result) {
                           asio::post(self->strand_,
                                      [self, key, crash, result = std::move(result)] {
                                          self->finished(key, crash, result);
                                      });
                       });
    }

    void finished(uint64_t key, std::exception_ptr crash, const RunningTcpProxy::Result& result) {
        connections_.erase(key);
        if (!failure_) {
            if (crash) {
                failure_ = EngineError(EngineError::ProxyTask{rt::TaskFailure{
                    rt::TaskFailure::Kind::Crashed, "tcp connection of " + proxy_->name,
                    rt::detail::describe_exception(crash)}
                                                                  .text()});
            } else if (!result) {
                failure_ = result.error();
            }
            if (failure_) interrupt();
        }
        if (wake_) wake_->cancel();
    }

    tcp::acceptor acceptor_;
    std::shared_ptr<const ProxyState> proxy_;
    rt::Executor strand_;
    std::optional<asio::steady_timer> wake_;
    std::optional<asio::steady_timer> pause_;
    asio::cancellation_signal accept_signal_;
    std::unordered_map<uint64_t, std::shared_ptr<Connection>> connections_;
    uint64_t next_key_ = 0;
    std::optional<EngineError> failure_;
};

}  // namespace

std::expected<RunningTcpProxy, IoError> RunningTcpProxy::bind(
    const tcp::endpoint& listen, std::string name, std::string upstream, FaultRuntime runtime,
    rt::CancellationToken token, ObservationRecorder recorder, const rt::Executor& executor) {
    tcp::acceptor acceptor(executor);
    std::error_code ec;
    acceptor.open(listen.protocol(), ec);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(listen, ec);
    if (!ec) acceptor.listen(kBacklog, ec);
    if (!ec) acceptor.non_blocking(true, ec);
    tcp::endpoint local;
    if (!ec) local = acceptor.local_endpoint(ec);
    if (ec) return std::unexpected(IoError{rt::os_error(ec), {}});

    auto proxy = std::make_shared<const ProxyState>(ProxyState{std::move(name), std::move(upstream),
                                                               std::move(runtime), std::move(token),
                                                               std::move(recorder)});
    auto loop = std::make_shared<AcceptLoop>(std::move(acceptor), proxy);
    auto task = rt::Task<Result>::spawn(
        executor,
        [](std::shared_ptr<AcceptLoop> loop) -> asio::awaitable<Result> {
            co_return co_await loop->run();
        }(loop),
        "accept " + proxy->name);
    return RunningTcpProxy(local, std::move(task));
}

asio::awaitable<RunningTcpProxy::Result> RunningTcpProxy::join() && {
    return join_proxy_task(task_);
}

}  // namespace ostrel::engine
