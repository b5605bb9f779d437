#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <system_error>
#include <variant>

#include "ostrel-engine/error.hpp"
#include "ostrel-engine/faults/stream.hpp"
#include "ostrel-engine/metrics.hpp"
#include "ostrel-engine/rt/asio.hpp"
#include "ostrel-model/fault.hpp"

namespace ostrel::engine {

// xoshiro256**: a fast 64-bit generator with 256 bits of state.
class Xoshiro256 {
  public:
    // The state is expanded from `seed` with splitmix64, so any seed (zero too) is usable.
    explicit Xoshiro256(uint64_t seed) noexcept;

    uint64_t next() noexcept;
    // Uniform on [0, 1), from the top 53 bits of one draw.
    double unit_closed_open() noexcept;
    // Uniform on (0, 1], never zero.
    double unit_open_closed() noexcept;
    // Uniform on [0, 1], both ends reachable.
    double unit_closed() noexcept;

  private:
    uint64_t s_[4];
};

// The calling thread's generator, seeded from the operating system's random source the first
// time the thread asks for it. Takes no lock.
Xoshiro256& thread_rng() noexcept;

// The longest delay handed out. Pareto draws with a small shape can exceed what a clock can
// represent, or be infinite; they are clamped here so that `now + delay` never overflows.
inline constexpr std::chrono::nanoseconds kMaxDelay{INT64_MAX / 2};

// Seconds as whole nanoseconds, rounded to the nearest (ties to even), zero for anything below
// half a nanosecond (or not a number), clamped to kMaxDelay.
std::chrono::nanoseconds duration_from_secs(double secs) noexcept;

// Random delays of one distribution. Parameters are in milliseconds; draws come from the
// calling thread's generator, so a sampler is an immutable value usable from any thread.
class DelaySampler {
  public:
    struct Normal {
        double mean_ms;
        double stddev_ms;
    };
    struct Pareto {
        double scale_ms;
        double exponent;  // -1 / shape
    };
    struct ParetoNormal {
        double scale_ms;
        double exponent;
        double mean_ms;
        double stddev_ms;
    };
    struct Uniform {
        double min_ms;
        double max_ms;
    };
    using Kind = std::variant<Normal, Pareto, ParetoNormal, Uniform>;

    static std::expected<DelaySampler, EngineError> create(
        const model::DelayDistribution& distribution);

    std::chrono::nanoseconds sample() const noexcept;

    const Kind& kind() const noexcept { return kind_; }

  private:
    explicit DelaySampler(Kind kind) : kind_(kind) {}

    Kind kind_;
};

// A delay or pause in progress on one side of a layer. The deadline is kept until the wait
// reaches it, so an operation that was aborted and is retried on the same layer waits for the
// same instant instead of drawing a new delay. The timer is created on the first wait.
class PendingDelay {
  public:
    bool pending() const noexcept { return deadline_.has_value(); }
    void start(std::chrono::nanoseconds delay);
    void start_until(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }
    // Waits for the deadline, bound to `side`'s signal. On success the delay is over and no
    // longer pending; operation_aborted leaves it pending.
    asio::awaitable<std::error_code> wait(StreamContext& ctx, Side side);

  private:
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    std::optional<asio::steady_timer> timer_;
};

}  // namespace ostrel::engine
