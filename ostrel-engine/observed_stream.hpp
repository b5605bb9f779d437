#pragma once

#include <memory>
#include <span>
#include <system_error>

#include "ostrel-engine/faults/stream.hpp"
#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine {

// The base of a connection's fault stack: the accepted client socket, counting what is read
// from it (towards the upstream) and written to it (towards the client).
//
// I/O tries the socket first without blocking and only then waits for readiness, with the wait
// bound to the side's signal. A wait ended by the signal has consumed nothing, so an aborted
// read or write can be retried without losing or duplicating a byte.
class ObservedStream final : public Bidirectional {
  public:
    ObservedStream(asio::ip::tcp::socket socket, std::shared_ptr<StreamContext> ctx);
    ~ObservedStream() override;

    // End of stream reads as zero bytes.
    asio::awaitable<IoResult> read(std::span<std::byte> buffer) override;
    asio::awaitable<IoResult> write(std::span<const std::byte> data) override;
    asio::awaitable<std::error_code> flush() override;
    asio::awaitable<std::error_code> shutdown() override;
    // Linger on with a timeout of zero: closing the socket then sends a reset.
    std::error_code reset() override;

    asio::ip::tcp::socket& socket() noexcept { return socket_; }
    const asio::ip::tcp::socket& socket() const noexcept { return socket_; }

  protected:
    Peeled peel_self(std::unique_ptr<Bidirectional> self) override {
        return {std::move(self), true};
    }

  private:
    asio::ip::tcp::socket socket_;
    std::shared_ptr<StreamContext> ctx_;
};

}  // namespace ostrel::engine
