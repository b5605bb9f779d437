#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <system_error>

#include "ostrel-engine/metrics.hpp"
#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine {

using IoResult = std::expected<size_t, std::error_code>;

// What the layers of one connection share: its counters, and one cancellation signal per side.
// Every wait inside the stack (socket readiness, a delay, a pause, a blackhole) is bound to the
// signal of its side, so that a fault change or the end of the connection can end it. Signals
// are emitted only on the connection's strand.
struct StreamContext {
    explicit StreamContext(std::shared_ptr<TransportMetrics> metrics)
        : metrics(std::move(metrics)) {}

    asio::cancellation_signal& signal(Side side) {
        return side == Side::ToUpstream ? read_signal : write_signal;
    }
    // Completion token for a wait on `side`: error codes instead of exceptions, ended by that
    // side's signal.
    auto wait_token(Side side) {
        return asio::bind_cancellation_slot(signal(side).slot(), rt::use_tuple);
    }

    std::shared_ptr<TransportMetrics> metrics;
    asio::cancellation_signal read_signal;   // reads: client towards upstream
    asio::cancellation_signal write_signal;  // writes: upstream towards client
};

// A byte stream in both directions, the interface of every member of a connection's fault
// stack. Reads travel from the client towards the upstream, writes towards the client.
// Operations that end because their side's signal fired return operation_aborted having
// consumed or sent nothing.
class Bidirectional {
  public:
    virtual ~Bidirectional() = default;

    virtual asio::awaitable<IoResult> read(std::span<std::byte> buffer) = 0;
    virtual asio::awaitable<IoResult> write(std::span<const std::byte> data) = 0;
    // No member writes vectored: the first non-empty slice is written with one write.
    asio::awaitable<IoResult> write_vectored(std::span<const std::span<const std::byte>> slices);
    virtual asio::awaitable<std::error_code> flush() = 0;
    // Half-closes the direction towards the client.
    virtual asio::awaitable<std::error_code> shutdown() = 0;
    // Arms the socket so that closing it aborts the connection with a reset.
    virtual std::error_code reset() = 0;

    // What peeling a stream gives: the stream a layer wrapped, or the base stream itself.
    struct Peeled {
        std::unique_ptr<Bidirectional> stream;
        bool base = false;
    };
    // Consumes `self`: a layer drops its own state (pending delays and pauses) and returns
    // what it wrapped; a base returns itself.
    static Peeled peel(std::unique_ptr<Bidirectional> self) {
        auto* raw = self.get();
        return raw->peel_self(std::move(self));
    }

  protected:
    virtual Peeled peel_self(std::unique_ptr<Bidirectional> self) = 0;
};

// Errors of the engine's own streams.
enum class StreamErrc {
    // A connection-reset fault fired; equivalent to std::errc::connection_reset.
    fault_reset = 1,
    // A write accepted no byte at all.
    write_zero,
};
const std::error_category& stream_category();
std::error_code make_error_code(StreamErrc e);

}  // namespace ostrel::engine

template <>
struct std::is_error_code_enum<ostrel::engine::StreamErrc> : std::true_type {};
