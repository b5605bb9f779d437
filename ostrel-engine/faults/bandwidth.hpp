#pragma once

// Bandwidth: traffic on the sides the fault acts on moves in chunks of at most 1024 bytes, each
// followed by a pause as long as the chunk takes at the configured rate, so the first chunk
// goes out at once and the sustained rate never exceeds the cap.

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include "ostrel-engine/faults/delay.hpp"
#include "ostrel-engine/faults/layer.hpp"
#include "ostrel-engine/faults/runtime.hpp"

namespace ostrel::engine {

class BandwidthStream final : public FaultLayer {
  public:
    static constexpr size_t kChunkBytes = 1024;

    // `bytes_per_second` is greater than zero.
    BandwidthStream(std::unique_ptr<Bidirectional> inner, StreamContext& ctx,
                    uint64_t bytes_per_second, model::TrafficFlow flow);

    asio::awaitable<IoResult> read(std::span<std::byte> buffer) override;
    asio::awaitable<IoResult> write(std::span<const std::byte> data) override;

  private:
    asio::awaitable<IoResult> paced_read(std::span<std::byte> buffer);
    asio::awaitable<IoResult> paced_write(std::span<const std::byte> data);
    using Clock = std::chrono::steady_clock;
    void passed(IoResult result, PendingDelay& pause, Clock::time_point& due);

    uint64_t bytes_per_second_;
    PendingDelay read_pause_;
    PendingDelay write_pause_;
    // When each side's last pause ended, or was due to end: the next pause runs from there.
    Clock::time_point read_due_{};
    Clock::time_point write_due_{};
};

class BandwidthInjector final : public FaultInjector {
  public:
    BandwidthInjector(uint64_t bytes_per_second, model::TrafficFlow flow)
        : bytes_per_second_(bytes_per_second), flow_(flow) {}

    std::unique_ptr<Bidirectional> on_stream(StreamContext& ctx,
                                             std::unique_ptr<Bidirectional> stream) const override;

  private:
    uint64_t bytes_per_second_;
    model::TrafficFlow flow_;
};

}  // namespace ostrel::engine
