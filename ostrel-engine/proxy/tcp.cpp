#include "ostrel-engine/proxy/tcp.hpp"

#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
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
constexpr int kBacklog = 128;

// One client connection, owned by its task and touched only on its strand.
struct Connection {
    Connection(tcp::socket client_socket, const tcp::endpoint& client_peer,
               const rt::Executor& strand_executor)
        : strand(strand_executor),
          peer(client_peer),
          client(std::move(client_socket)),
          upstream(strand),
          resolver(strand) {}

    // The engine is shutting down: end whatever the connection waits for.
    void stop() {
        if (stopping) return;
        stopping = true;
        resolver.cancel();
        std::error_code ignored;
        upstream.cancel(ignored);
        if (stream) {
            stream->stop();
        } else {
            client.cancel(ignored);
        }
    }

    // The attempt to reach the upstream took too long.
    void time_out() {
        timed_out = true;
        resolver.cancel();
        std::error_code ignored;
        upstream.cancel(ignored);
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
    tcp::endpoint peer;  // the client's address, as accept reported it
    tcp::socket client;
    tcp::socket upstream;
    tcp::resolver resolver;
    std::unique_ptr<DynamicFaultStream> stream;
    bool stopping = false;
    bool relay_aborted = false;
    bool timed_out = false;
    // Set on the strand; read elsewhere only to skip connections that are done connecting.
    std::atomic<bool> connecting{false};
};

// The limit on reaching the upstream, kept for all connections of a proxy with one timer instead
// of one each: every limit has the same length, so they run out in the order they were set.
// Entries hold connections weakly; one that ended is dropped when it reaches the front.
class ConnectLimits : public std::enable_shared_from_this<ConnectLimits> {
  public:
    explicit ConnectLimits(const rt::Executor& executor) : timer_(executor) {}

    // From the connection's strand, as its attempt begins.
    void watch(const std::shared_ptr<Connection>& conn) {
        const auto deadline = std::chrono::steady_clock::now() + kUpstreamConnectLimit;
        std::lock_guard lock(mutex_);
        while (!entries_.empty() && entries_.front().conn.expired()) entries_.pop_front();
        entries_.push_back(Entry{deadline, conn});
        if (!armed_) arm(deadline);
    }

  private:
    struct Entry {
        std::chrono::steady_clock::time_point deadline;
        std::weak_ptr<Connection> conn;
    };

    void arm(std::chrono::steady_clock::time_point deadline) {
        armed_ = true;
        timer_.expires_at(deadline);
        timer_.async_wait([weak = weak_from_this()](std::error_code) {
            if (auto self = weak.lock()) self->expire();
        });
    }

    void expire() {
        std::vector<std::shared_ptr<Connection>> late;
        {
            std::lock_guard lock(mutex_);
            armed_ = false;
            const auto now = std::chrono::steady_clock::now();
            while (!entries_.empty() &&
                   (entries_.front().deadline <= now || entries_.front().conn.expired())) {
                auto conn = entries_.front().conn.lock();
                if (conn && conn->connecting.load()) late.push_back(std::move(conn));
                entries_.pop_front();
            }
            if (!entries_.empty()) arm(entries_.front().deadline);
        }
        // The strand decides: the attempt may have ended meanwhile.
        for (auto& conn : late) {
            asio::post(conn->strand, [conn] {
                if (conn->connecting.load() && !conn->stopping) conn->time_out();
            });
        }
    }

    std::mutex mutex_;  // guards what follows, the timer included
    asio::steady_timer timer_;
    std::deque<Entry> entries_;
    bool armed_ = false;
};

struct ProxyState {
    std::string name;
    std::string upstream;
    FaultRuntime runtime;
    rt::CancellationToken token;
    ObservationRecorder recorder;
};

// Connects a non-blocking socket, as the relay's writes want it. The outcome is read from
// SO_ERROR once the socket turns writable.
asio::awaitable<std::error_code> connect_to(tcp::socket& socket, const tcp::endpoint& endpoint) {
    std::error_code ec;
    socket.open(endpoint.protocol(), ec);
    if (!ec) socket.non_blocking(true, ec);
    if (ec) co_return ec;
    if (::connect(socket.native_handle(), endpoint.data(), endpoint.size()) == 0) co_return ec;
    if (errno != EINPROGRESS && errno != EINTR)
        co_return std::error_code(errno, std::system_category());
    auto [wait_ec] = co_await socket.async_wait(tcp::socket::wait_write, rt::use_tuple);
    if (wait_ec) co_return wait_ec;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        co_return std::error_code(errno, std::system_category());
    }
    co_return std::error_code(error, std::system_category());
}

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
        last = co_await connect_to(conn.upstream, endpoint);
        if (!last) co_return std::expected<void, IoError>{};
    }
    co_return std::unexpected(IoError{rt::os_error(last), {}});
}

// A relay direction's buffer. It starts small and doubles, up to kRelayBufferMax, each time a
// read fills it, so a bulk transfer moves large chunks per system call; a short read drops it
// back to the small size, so a direction waiting for data holds no more than that.
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
            data_.reset();
            size_ = kRelayBufferMin;
        }
    }

  private:
    size_t size_ = kRelayBufferMin;
    std::unique_ptr<std::byte[]> data_;
};

bool would_block(const std::error_code& ec) {
    return ec == asio::error::would_block || ec == asio::error::try_again;
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
    }
}

asio::awaitable<std::error_code> upstream_to_client(Connection& conn) {
    RelayBuffer buffer;
    for (;;) {
        if (!conn.relaying()) co_return asio::error::operation_aborted;
        const std::span<std::byte> space = buffer.get();
        auto [ec, n] = co_await conn.upstream.async_read_some(
            asio::buffer(space.data(), space.size()), rt::use_tuple);
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
    }
}

// Both directions at once; the first error ends both.
asio::awaitable<std::error_code> relay(Connection& conn) {
    std::error_code first;
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
                                                 std::shared_ptr<const ProxyState> proxy,
                                                 std::shared_ptr<ConnectLimits> limits) {
    auto id = model::Uuid::new_v4();
    auto metrics =
        std::make_shared<TransportMetrics>(model::TransportProtocol::Tcp, proxy->recorder.live());
    auto guard = co_await proxy->recorder.open(id, proxy->name, endpoint_text(conn->peer),
                                               proxy->upstream, metrics);
    if (!guard) co_return std::unexpected(guard.error());

    // The token stops the connection wherever it waits; the registration ends with the task.
    // The callback runs under the token's lock: it only posts, and locks nothing of ours.
    auto watch = proxy->token.on_cancel([weak = std::weak_ptr(conn), strand = conn->strand] {
        asio::post(strand, [weak] {
            if (auto alive = weak.lock()) alive->stop();
        });
    });

    conn->connecting = true;
    limits->watch(conn);
    auto connected = co_await connect_upstream(*conn, proxy->upstream);
    conn->connecting = false;

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
    std::error_code ignored;
    conn->upstream.close(ignored);
    co_return RunningTcpProxy::Result{};
}

// The accept task and the connections it started. The connection table is shared with the
// connections' strands behind a mutex, so a connection that ends needs no hand-over to the
// loop's strand unless it failed or the loop is draining.
class AcceptLoop : public std::enable_shared_from_this<AcceptLoop> {
  public:
    AcceptLoop(tcp::acceptor acceptor, std::shared_ptr<const ProxyState> proxy)
        : acceptor_(std::move(acceptor)), proxy_(std::move(proxy)) {}

    asio::awaitable<RunningTcpProxy::Result> run() {
        strand_ = co_await asio::this_coro::executor;
        wake_.emplace(strand_);
        pause_.emplace(strand_);
        limits_ = std::make_shared<ConnectLimits>(strand_);
        auto self = shared_from_this();
        auto watch = proxy_->token.on_cancel([weak = weak_from_this(), strand = strand_] {
            asio::post(strand, [weak] {
                if (auto loop = weak.lock()) loop->interrupt();
            });
        });

        Backoff backoff;
        while (!proxy_->token.is_cancelled() && !failed()) {
            tcp::endpoint peer;
            auto [ec, socket] = co_await acceptor_.async_accept(
                asio::make_strand(acceptor_.get_executor()), peer,
                asio::bind_cancellation_slot(accept_signal_.slot(), rt::use_tuple));
            if (ec == asio::error::operation_aborted) continue;
            if (is_resource_error(ec)) {
                // The listener is sound; wait for descriptors or memory to come back. The pause
                // ends at once on shutdown or a failed connection.
                if (proxy_->token.is_cancelled() || failed()) break;
                pause_->expires_after(backoff.next());
                co_await pause_->async_wait(
                    asio::bind_cancellation_slot(accept_signal_.slot(), rt::use_tuple));
                continue;
            }
            if (ec) {
                fail(EngineError(EngineError::Io{IoError{rt::os_error(ec), {}}}));
                break;
            }
            backoff.reset();
            start(std::move(socket), peer);
        }
        std::error_code ignored;
        acceptor_.close(ignored);

        // Drain: wait for the connections to finish; an error ends the wait at once.
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                draining_ = true;
                if (failure_ || connections_.empty()) break;
            }
            wake_->expires_at(asio::steady_timer::time_point::max());
            co_await wake_->async_wait(rt::use_tuple);
        }
        RunningTcpProxy::Result result;
        std::lock_guard lock(mutex_);
        if (failure_) {
            result = std::unexpected(*failure_);
            for (auto& [key, conn] : connections_) {
                asio::post(conn->strand, [conn] { conn->stop(); });
            }
        }
        co_return result;
    }

  private:
    // On the loop's strand.
    void interrupt() {
        accept_signal_.emit(asio::cancellation_type::terminal);
        if (wake_) wake_->cancel();
    }

    bool failed() {
        std::lock_guard lock(mutex_);
        return failure_.has_value();
    }

    // From any strand: the first failure ends the proxy.
    void fail(EngineError error) {
        {
            std::lock_guard lock(mutex_);
            if (failure_) return;
            failure_ = std::move(error);
        }
        asio::post(strand_, [self = shared_from_this()] { self->interrupt(); });
    }

    void start(tcp::socket socket, const tcp::endpoint& peer) {
        auto conn_strand = socket.get_executor();
        // Not make_shared: the connect limits hold connections weakly for up to the limit's
        // length, and a weak reference must not keep the whole connection's memory.
        std::shared_ptr<Connection> conn(new Connection(std::move(socket), peer, conn_strand));
        uint64_t key = 0;
        {
            std::lock_guard lock(mutex_);
            key = next_key_++;
            connections_.emplace(key, conn);
        }
        asio::co_spawn(conn_strand, forward(conn, proxy_, limits_),
                       [self = shared_from_this(), key](std::exception_ptr crash,
                                                        RunningTcpProxy::Result result) {
                           self->finished(key, crash, result);
                       });
    }

    // On the connection's strand. Only a failure, or an end while the loop drains, concerns
    // the loop's strand; a plain end needs no hand-over.
    void finished(uint64_t key, std::exception_ptr crash, const RunningTcpProxy::Result& result) {
        bool draining = false;
        {
            std::lock_guard lock(mutex_);
            connections_.erase(key);
            draining = draining_;
        }
        if (crash) {
            fail(EngineError(EngineError::ProxyTask{
                rt::TaskFailure{rt::TaskFailure::Kind::Crashed, "tcp connection of " + proxy_->name,
                                rt::detail::describe_exception(crash)}
                    .text()}));
        } else if (!result) {
            fail(result.error());
        }
        if (draining) {
            asio::post(strand_, [self = shared_from_this()] {
                if (self->wake_) self->wake_->cancel();
            });
        }
    }

    tcp::acceptor acceptor_;
    std::shared_ptr<const ProxyState> proxy_;
    rt::Executor strand_;
    std::optional<asio::steady_timer> wake_;
    std::optional<asio::steady_timer> pause_;
    std::shared_ptr<ConnectLimits> limits_;
    asio::cancellation_signal accept_signal_;

    std::mutex mutex_;  // guards what follows
    std::unordered_map<uint64_t, std::shared_ptr<Connection>> connections_;
    uint64_t next_key_ = 0;
    bool draining_ = false;
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
