#include "ostrel-engine/faults/delay.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::engine {
namespace {

using namespace std::chrono_literals;
using model::DelayDistribution;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

DelaySampler make(DelayDistribution distribution) {
    auto sampler = DelaySampler::create(distribution);
    EXPECT_TRUE(sampler.has_value()) << sampler.error().display();
    return *sampler;
}

double ms(std::chrono::nanoseconds d) {
    return double(d.count()) / 1e6;
}

struct ConstructionCase {
    const char* name;
    DelayDistribution distribution;
    const char* message;  // nullptr: accepted
};

TEST(DelaySamplerTest, ConstructionChecksEachKindInOrder) {
    constexpr const char* kVariation =
        "variation parameter is non-finite in (log)normal distribution";
    constexpr const char* kScale = "scale is not positive in Pareto distribution";
    constexpr const char* kShape = "shape is not positive in Pareto distribution";
    constexpr const char* kLowHigh = "low > high (or equal if exclusive) in uniform distribution";
    constexpr const char* kRange = "Non-finite range in uniform distribution";
    const ConstructionCase cases[] = {
        {"normal", {model::NormalDistribution{20, 5}}, nullptr},
        {"normal negative deviation", {model::NormalDistribution{20, -5}}, nullptr},
        {"normal mean unchecked", {model::NormalDistribution{kNaN, 5}}, nullptr},
        {"normal infinite deviation", {model::NormalDistribution{0, kInf}}, kVariation},
        {"normal NaN deviation", {model::NormalDistribution{0, kNaN}}, kVariation},
        {"pareto", {model::ParetoDistribution{2, 10}}, nullptr},
        {"pareto shape 0", {model::ParetoDistribution{0, 10}}, kShape},
        {"pareto negative shape", {model::ParetoDistribution{-1, 10}}, kShape},
        {"pareto NaN shape", {model::ParetoDistribution{kNaN, 10}}, kShape},
        {"pareto scale 0", {model::ParetoDistribution{2, 0}}, kScale},
        {"pareto scale before shape", {model::ParetoDistribution{0, 0}}, kScale},
        {"pareto NaN scale", {model::ParetoDistribution{0, kNaN}}, kScale},
        {"pareto-normal", {model::ParetoNormalDistribution{2, 10, 5, 1}}, nullptr},
        {"pareto-normal scale first", {model::ParetoNormalDistribution{0, 0, 0, kInf}}, kScale},
        {"pareto-normal shape", {model::ParetoNormalDistribution{0, 10, 0, kInf}}, kShape},
        {"pareto-normal deviation", {model::ParetoNormalDistribution{2, 10, 0, kInf}}, kVariation},
        {"uniform", {model::UniformDistribution{10, 20}}, nullptr},
        {"uniform equal", {model::UniformDistribution{5, 5}}, nullptr},
        {"uniform reversed", {model::UniformDistribution{5, 4}}, kLowHigh},
        {"uniform NaN", {model::UniformDistribution{kNaN, 4}}, kLowHigh},
        {"uniform infinite", {model::UniformDistribution{0, kInf}}, kRange},
        {"uniform overflowing width", {model::UniformDistribution{-1e308, 1e308}}, kRange},
    };
    for (const ConstructionCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto sampler = DelaySampler::create(c.distribution);
        if (c.message == nullptr) {
            EXPECT_TRUE(sampler.has_value());
            continue;
        }
        ASSERT_FALSE(sampler.has_value());
        ASSERT_TRUE(sampler.error().is<EngineError::InvalidFaultConfig>());
        EXPECT_EQ(sampler.error().display(),
                  std::string("invalid fault configuration: ") + c.message);
    }
}

TEST(DelaySamplerTest, UniformWithEqualBoundsIsExact) {
    const DelaySampler at25 = make({model::UniformDistribution{25, 25}});
    const DelaySampler at0 = make({model::UniformDistribution{0, 0}});
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(at25.sample(), 25ms);
        ASSERT_EQ(at0.sample(), 0ns);
    }
}

TEST(DelaySamplerTest, UniformStaysWithinAndCoversItsRange) {
    const DelaySampler sampler = make({model::UniformDistribution{10, 20}});
    auto lowest = std::chrono::nanoseconds::max();
    auto highest = std::chrono::nanoseconds::min();
    for (int i = 0; i < 20000; ++i) {
        const auto d = sampler.sample();
        lowest = std::min(lowest, d);
        highest = std::max(highest, d);
    }
    EXPECT_GE(lowest, 10ms);
    EXPECT_LE(highest, 20ms);
    EXPECT_LT(lowest, 10100us);
    EXPECT_GT(highest, 19900us);
}

TEST(DelaySamplerTest, NormalIsNeverNegativeAndHalfNormalAtMeanZero) {
    const DelaySampler sampler = make({model::NormalDistribution{0, 5}});
    constexpr int kDraws = 40000;
    double total = 0;
    for (int i = 0; i < kDraws; ++i) {
        const auto d = sampler.sample();
        ASSERT_GE(d, 0ns);
        total += ms(d);
    }
    // Redrawing negatives leaves the half-normal: mean = 5 * sqrt(2 / pi) ~ 3.99 ms.
    EXPECT_NEAR(total / kDraws, 5 * std::sqrt(2 / M_PI), 0.15);
}

TEST(DelaySamplerTest, NormalWithUnreachableValuesStillReturns) {
    // Validation refuses these; the sampler must still not spin for ever.
    for (auto d : {model::NormalDistribution{-10, 0}, model::NormalDistribution{kNaN, 1}}) {
        EXPECT_EQ(make({d}).sample(), 0ns);
    }
}

TEST(DelaySamplerTest, ParetoNeverBelowItsScale) {
    const DelaySampler sampler = make({model::ParetoDistribution{2, 10}});
    std::vector<double> draws;
    for (int i = 0; i < 20001; ++i) {
        const auto d = sampler.sample();
        ASSERT_GE(d, 10ms);
        draws.push_back(ms(d));
    }
    // Median of Pareto(shape 2, scale 10) is 10 * 2^(1/2).
    std::nth_element(draws.begin(), draws.begin() + 10000, draws.end());
    EXPECT_NEAR(draws[10000], 10 * std::sqrt(2.0), 0.5);
}

TEST(DelaySamplerTest, ParetoNormalAddsANonNegativeNormalPart) {
    const DelaySampler sampler = make({model::ParetoNormalDistribution{3, 10, 0, 5}});
    constexpr int kDraws = 40000;
    double total = 0;
    for (int i = 0; i < kDraws; ++i) {
        const auto d = sampler.sample();
        ASSERT_GE(d, 10ms);
        total += ms(d);
    }
    // Pareto mean 10 * 3 / 2 = 15, plus the half-normal mean ~3.99.
    EXPECT_NEAR(total / kDraws, 15 + 5 * std::sqrt(2 / M_PI), 0.5);
}

TEST(DelaySamplerTest, DrawsBecomeNanosecondsRoundedToNearest) {
    EXPECT_EQ(make({model::UniformDistribution{0.0004, 0.0004}}).sample(), 400ns);
    EXPECT_EQ(make({model::UniformDistribution{0.0000001, 0.0000001}}).sample(), 0ns);
    EXPECT_EQ(make({model::UniformDistribution{1500, 1500}}).sample(), 1500ms);
}

TEST(DelaySamplerTest, SecondsConvertWithTiesToEven) {
    // 1/1024 s and 3/1024 s are exactly half-way between two nanosecond counts.
    const double tie_low = 1.0 / 1024;   // 976562.5 ns
    const double tie_high = 3.0 / 1024;  // 2929687.5 ns
    struct Case {
        double secs;
        int64_t nanos;
    } cases[] = {
        {0, 0},
        {-1, 0},
        {kNaN, 0},
        {4.9e-10, 0},
        {5.1e-10, 1},
        {1.5, 1'500'000'000},
        {tie_low, 976562},
        {tie_high, 2929688},
        {std::nextafter(tie_low, 1.0), 976563},
        {std::nextafter(tie_low, 0.0), 976562},
        {std::nextafter(tie_high, 0.0), 2929687},
        {12345.999999999, 12'345'999'999'999},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.secs);
        EXPECT_EQ(duration_from_secs(c.secs).count(), c.nanos);
    }
}

TEST(DelaySamplerTest, HugeDelaysClampWithoutOverflow) {
    EXPECT_EQ(duration_from_secs(kInf), kMaxDelay);
    EXPECT_EQ(duration_from_secs(1e300), kMaxDelay);
    // A tiny shape sends u^(-1/shape) to infinity for every u below one.
    const DelaySampler sampler = make({model::ParetoDistribution{1e-300, 10}});
    asio::io_context io;
    asio::steady_timer timer(io);
    for (int i = 0; i < 100; ++i) {
        const auto d = sampler.sample();
        ASSERT_GE(d, 10ms);
        ASSERT_LE(d, kMaxDelay);
        timer.expires_after(d);
        ASSERT_GT(timer.expiry(), std::chrono::steady_clock::now());
    }
    EXPECT_EQ(sampler.sample(), kMaxDelay);
    EXPECT_EQ(to_micros(kMaxDelay), uint64_t(kMaxDelay.count()) / 1000);
}

TEST(DelaySamplerTest, EveryThreadHasItsOwnSeed) {
    const DelaySampler sampler = make({model::UniformDistribution{0, 1e6}});
    auto draws = [&] {
        std::vector<int64_t> out;
        for (int i = 0; i < 4; ++i) out.push_back(sampler.sample().count());
        return out;
    };
    std::vector<int64_t> first, second;
    std::thread a([&] { first = draws(); });
    std::thread b([&] { second = draws(); });
    a.join();
    b.join();
    EXPECT_NE(first, second);
}

TEST(Xoshiro256Test, UnitVariatesStayInTheirIntervals) {
    Xoshiro256 generator(0);
    for (int i = 0; i < 100000; ++i) {
        const double w = generator.unit_closed_open();
        const double u = generator.unit_open_closed();
        const double c = generator.unit_closed();
        ASSERT_TRUE(w >= 0 && w < 1);
        ASSERT_TRUE(u > 0 && u <= 1);
        ASSERT_TRUE(c >= 0 && c <= 1);
    }
    // The same seed gives the same sequence; different seeds do not.
    Xoshiro256 a(42), b(42), c(43);
    EXPECT_EQ(a.next(), b.next());
    EXPECT_NE(a.next(), c.next());
}

}  // namespace
}  // namespace ostrel::engine
