// Delays drawn from a distribution, and the waits that apply them.
#include "ostrel-engine/faults/delay.hpp"

#include <cmath>
#include <random>

namespace ostrel::engine {

namespace {

uint64_t splitmix64(uint64_t& state) noexcept {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

constexpr uint64_t rotl(uint64_t x, int k) noexcept {
    return (x << k) | (x >> (64 - k));
}

uint64_t os_seed() {
    std::random_device device;
    const uint64_t high = device();
    const uint64_t low = device();
    return (high << 32) ^ low;
}

struct ThreadRandom {
    Xoshiro256 generator{os_seed()};
    // Marsaglia's polar method yields normal variates in pairs; the second waits here.
    bool has_spare_normal = false;
    double spare_normal = 0;
};

ThreadRandom& thread_random() noexcept {
    thread_local ThreadRandom random;
    return random;
}

double standard_normal() noexcept {
    ThreadRandom& random = thread_random();
    if (random.has_spare_normal) {
        random.has_spare_normal = false;
        return random.spare_normal;
    }
    for (;;) {
        double x = 2 * random.generator.unit_closed_open() - 1;
        double y = 2 * random.generator.unit_closed_open() - 1;
        double s = x * x + y * y;
        if (s > 0 && s < 1) {
            double factor = std::sqrt(-2 * std::log(s) / s);
            random.spare_normal = y * factor;
            random.has_spare_normal = true;
            return x * factor;
        }
    }
}

// A normal draw redrawn until it is not negative. With a mean of zero or more at least every
// other draw is accepted; parameters that validation would refuse (a negative mean with no
// spread, a mean that is not a number) could otherwise loop for ever, so after this many
// refusals the closest acceptable value, zero, is returned.
constexpr int kMaxNormalDraws = 256;

double non_negative_normal(double mean_ms, double stddev_ms) noexcept {
    for (int i = 0; i < kMaxNormalDraws; ++i) {
        double v = mean_ms + stddev_ms * standard_normal();
        if (v >= 0) return v;
    }
    return 0;
}

double pareto(double scale_ms, double exponent) noexcept {
    return scale_ms * std::pow(thread_rng().unit_open_closed(), exponent);
}

EngineError invalid(const char* message) {
    return EngineError(EngineError::InvalidFaultConfig{message});
}

constexpr const char* kNonFiniteVariation =
    "variation parameter is non-finite in (log)normal distribution";

std::expected<void, EngineError> check_pareto(double scale_ms, double shape) {
    if (!(scale_ms > 0)) {
        return std::unexpected(invalid("scale is not positive in Pareto distribution"));
    }
    if (!(shape > 0)) {
        return std::unexpected(invalid("shape is not positive in Pareto distribution"));
    }
    return {};
}

}  // namespace

Xoshiro256::Xoshiro256(uint64_t seed) noexcept {
    for (uint64_t& word : s_) word = splitmix64(seed);
}

uint64_t Xoshiro256::next() noexcept {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

double Xoshiro256::unit_closed_open() noexcept {
    return double(next() >> 11) * 0x1.0p-53;
}

double Xoshiro256::unit_open_closed() noexcept {
    return double((next() >> 11) + 1) * 0x1.0p-53;
}

double Xoshiro256::unit_closed() noexcept {
    return double(next() >> 11) / double((uint64_t{1} << 53) - 1);
}

Xoshiro256& thread_rng() noexcept {
    return thread_random().generator;
}

std::chrono::nanoseconds duration_from_secs(double secs) noexcept {
    // NaN and anything not above zero give no delay.
    if (!(secs > 0)) return std::chrono::nanoseconds::zero();
    constexpr double kMaxSecs = double(kMaxDelay.count()) / 1e9;
    if (secs >= kMaxSecs) return kMaxDelay;

    // Whole seconds and their fraction are exact; the fraction scaled to nanoseconds is rounded
    // once by the multiplication, and fma recovers what that rounding dropped, so a value that
    // looks like a tie only after rounding is decided by the exact product.
    const double whole = std::floor(secs);
    const double frac = secs - whole;
    const double scaled = frac * 1e9;
    const double lost = std::fma(frac, 1e9, -scaled);
    double nanos = std::nearbyint(scaled);
    const double diff = scaled - nanos;
    if (diff == 0.5 && lost > 0) {
        nanos += 1;
    } else if (diff == -0.5 && lost < 0) {
        nanos -= 1;
    }
    const int64_t total = int64_t(whole) * 1'000'000'000 + int64_t(nanos);
    return std::min(std::chrono::nanoseconds(total), kMaxDelay);
}

std::expected<DelaySampler, EngineError> DelaySampler::create(
    const model::DelayDistribution& distribution) {
    using Result = std::expected<DelaySampler, EngineError>;
    return std::visit(
        [](const auto& d) -> Result {
            using D = std::decay_t<decltype(d)>;
            if constexpr (std::is_same_v<D, model::NormalDistribution>) {
                if (!std::isfinite(d.stddev_ms))
                    return std::unexpected(invalid(kNonFiniteVariation));
                return DelaySampler(Normal{d.mean_ms, std::fabs(d.stddev_ms)});
            } else if constexpr (std::is_same_v<D, model::ParetoDistribution>) {
                if (auto ok = check_pareto(d.scale_ms, d.shape); !ok) {
                    return std::unexpected(ok.error());
                }
                return DelaySampler(Pareto{d.scale_ms, -1 / d.shape});
            } else if constexpr (std::is_same_v<D, model::ParetoNormalDistribution>) {
                if (auto ok = check_pareto(d.pareto_scale_ms, d.pareto_shape); !ok) {
                    return std::unexpected(ok.error());
                }
                if (!std::isfinite(d.normal_stddev_ms)) {
                    return std::unexpected(invalid(kNonFiniteVariation));
                }
                return DelaySampler(ParetoNormal{d.pareto_scale_ms, -1 / d.pareto_shape,
                                                 d.normal_mean_ms, std::fabs(d.normal_stddev_ms)});
            } else {
                if (!(d.min_ms <= d.max_ms)) {
                    return std::unexpected(
                        invalid("low > high (or equal if exclusive) in uniform distribution"));
                }
                if (!std::isfinite(d.max_ms - d.min_ms)) {
                    return std::unexpected(invalid("Non-finite range in uniform distribution"));
                }
                return DelaySampler(Uniform{d.min_ms, d.max_ms});
            }
        },
        distribution.kind);
}

std::chrono::nanoseconds DelaySampler::sample() const noexcept {
    const double ms = std::visit(
        [](const auto& k) -> double {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, Normal>) {
                return non_negative_normal(k.mean_ms, k.stddev_ms);
            } else if constexpr (std::is_same_v<K, Pareto>) {
                return pareto(k.scale_ms, k.exponent);
            } else if constexpr (std::is_same_v<K, ParetoNormal>) {
                const double p = pareto(k.scale_ms, k.exponent);
                return p + non_negative_normal(k.mean_ms, k.stddev_ms);
            } else {
                // Both ends reachable; the clamp absorbs rounding past the top.
                const double v = k.min_ms + thread_rng().unit_closed() * (k.max_ms - k.min_ms);
                return std::min(v, k.max_ms);
            }
        },
        kind_);
    return duration_from_secs(ms / 1000);
}

void PendingDelay::start(std::chrono::nanoseconds delay) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    const auto room = Clock::time_point::max() - now;
    deadline_ = delay >= room ? Clock::time_point::max() : now + delay;
}

asio::awaitable<std::error_code> PendingDelay::wait(StreamContext& ctx, Side side) {
    if (!deadline_) co_return std::error_code();
    if (*deadline_ > std::chrono::steady_clock::now()) {
        if (!timer_) timer_.emplace(co_await asio::this_coro::executor);
        timer_->expires_at(*deadline_);
        auto [ec] = co_await timer_->async_wait(ctx.wait_token(side));
        if (ec) co_return ec;
    }
    deadline_.reset();
    co_return std::error_code();
}

}  // namespace ostrel::engine
