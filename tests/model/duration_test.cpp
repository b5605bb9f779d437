#include "ostrel-model/duration.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>

#include "ostrel-model/run.hpp"

namespace ostrel::model {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
const std::string kPrecision =
    "number is too large or cannot be represented without a lack of precision (values below "
    "1ns are not supported)";

std::string unknown_unit(std::string shown) {
    return "unknown time unit " + shown +
           ", supported units: ns, us/\u00b5s, ms, sec, min, hours, days, weeks, months, years "
           "(and few variations)";
}

std::string describe(const std::expected<Duration, std::string>& result) {
    if (!result) return "error: " + result.error();
    return std::to_string(result->secs) + "s " + std::to_string(result->nanos) + "ns";
}

struct ValueCase {
    std::string text;
    Duration expected;
};

TEST(ParseDuration, EverySpellingOfEveryUnit) {
    const ValueCase cases[] = {
        {"17ns", {0, 17}},
        {"17nsec", {0, 17}},
        {"17nanos", {0, 17}},
        {"78us", {0, 78'000}},
        {"163\u00b5s", {0, 163'000}},
        {"3usec", {0, 3'000}},
        {"6ms", {0, 6'000'000}},
        {"31msec", {0, 31'000'000}},
        {"31millis", {0, 31'000'000}},
        {"3000s", {3000, 0}},
        {"300sec", {300, 0}},
        {"300secs", {300, 0}},
        {"1second", {1, 0}},
        {"50seconds", {50, 0}},
        {"100m", {6000, 0}},
        {"12min", {720, 0}},
        {"12mins", {720, 0}},
        {"1minute", {60, 0}},
        {"7minutes", {420, 0}},
        {"2h", {7200, 0}},
        {"7hr", {25'200, 0}},
        {"7hrs", {25'200, 0}},
        {"1hour", {3600, 0}},
        {"24hours", {86'400, 0}},
        {"365d", {31'536'000, 0}},
        {"1day", {86'400, 0}},
        {"2days", {172'800, 0}},
        {"52w", {31'449'600, 0}},
        {"1wk", {604'800, 0}},
        {"2wks", {1'209'600, 0}},
        {"1week", {604'800, 0}},
        {"7weeks", {4'233'600, 0}},
        {"12M", {31'560'192, 0}},
        {"1month", {2'630'016, 0}},
        {"3months", {7'890'048, 0}},
        {"17y", {536'479'200, 0}},
        {"1yr", {31'557'600, 0}},
        {"2yrs", {63'115'200, 0}},
        {"1year", {31'557'600, 0}},
        {"7years", {220'903'200, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(parse_duration(c.text)), describe(c.expected)) << c.text;
    }
}

TEST(ParseDuration, PiecesWhiteSpaceAndFractions) {
    const ValueCase cases[] = {
        {"0", {0, 0}},
        {"0s", {0, 0}},
        {"0ms 0h", {0, 0}},
        {"1m30s", {90, 0}},
        {"1m 30s", {90, 0}},
        {"90 s", {90, 0}},
        {"  90s  ", {90, 0}},
        {"\u00a01m\u300030s\u2028", {90, 0}},
        {"20 min 17 nsec ", {1200, 17}},
        {"2h 15m", {8100, 0}},
        {"1h1h", {7200, 0}},
        {"1 0s", {10, 0}},  // white space inside a number is skipped
        {"250ms", {0, 250'000'000}},
        {"1.5h", {5400, 0}},
        {"0.5s", {0, 500'000'000}},
        {"4.2s", {4, 200'000'000}},
        {"1.5 s", {1, 500'000'000}},
        {"1. 5s", {1, 500'000'000}},
        {"1.0ns", {0, 1}},
        {"2.000ns", {0, 2}},
        {"0.001us", {0, 1}},
        {"0.000001ms", {0, 1}},
        {"0.000000001s", {0, 1}},
        {"1.0000001h", {3600, 360'000}},
        {"0.1y", {3'155'760, 0}},
        {"0.00000000001y", {0, 315'576}},
        {"1.25m", {75, 0}},
        {"999999999ns 1ns", {1, 0}},
        {"0.999999999s 0.000000001s", {1, 0}},
        {"1.999999999s1.000000002s", {3, 1}},
        {"500000 years", {15'778'800'000'000, 0}},
        {"100000000000000000us", {100'000'000'000, 0}},
        {"18446744073709551615s", {kU64Max, 0}},
        {"18446744073709551614s 999999999ns 1ns", {kU64Max, 0}},
        {"18446744073709551615s 999999999ns", {kU64Max, 999'999'999}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(parse_duration(c.text)), describe(c.expected)) << c.text;
    }
}

TEST(ParseDuration, ErrorsAndOffsets) {
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
        {"", "value was empty"},
        {"   ", "value was empty"},
        {"\u00a0\t", "value was empty"},
        {"x", "expected number at 0"},
        {"  x", "expected number at 0"},
        {"-1s", "expected number at 0"},
        {".5s", "expected number at 0"},
        {"s", "expected number at 0"},
        {"1s x", "expected number at 3"},
        {"1s  x", "expected number at 3"},
        {"1s\u00a0x", "expected number at 4"},
        {"1m 30s 2", "time unit needed, for example 2sec or 2ms"},
        {"1,5s", "invalid character at 1"},
        {"1 ,5s", "invalid character at 2"},
        {"1s,", "invalid character at 2"},
        {"1m+30s", "invalid character at 2"},
        {"10ms!", "invalid character at 4"},
        {"1.5.2s", "invalid character at 3"},
        {"1.s", "invalid character at 1"},
        {"1.", "invalid character at 1"},
        {"1.5-s", "invalid character at 3"},
        {"1\xffs", "invalid character at 1"},
        {"30", "time unit needed, for example 30sec or 30ms"},
        {"30 ", "time unit needed, for example 30sec or 30ms"},
        {"1.5", "time unit needed, for example 1.5sec or 1.5ms"},
        {"1.50", "time unit needed, for example 1.50sec or 1.50ms"},
        {"00", "time unit needed, for example 0sec or 0ms"},
        {"1m 30", "time unit needed, for example 30sec or 30ms"},
        {"1x", unknown_unit(R"("x")")},
        {"5 mn", unknown_unit(R"("mn")")},
        {"1S", unknown_unit(R"("S")")},
        {"1Ms", unknown_unit(R"("Ms")")},
        {"1\u00b5", unknown_unit("\"\u00b5\"")},
        {"1m 2secs 3hours4lightyears", unknown_unit(R"("lightyears")")},
        {"1.5ns", kPrecision},
        {"0.5ns", kPrecision},
        {"0.0001us", kPrecision},
        {"0.0000000001s", kPrecision},
        {"0." + std::string(45, '0') + "1h", kPrecision},
        {"18446744073709551616s", kPrecision},
        {"99999999999999999999ns", kPrecision},
        {"18446744073709551615m", kPrecision},
        {"18446744073709551615s 1s", kPrecision},
        {"18446744073709551615s 999999999ns 1ns", kPrecision},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(parse_duration(c.text)), "error: " + c.error)
            << testing::PrintToString(c.text);
    }
}

TEST(Duration, ToChronoSaturates) {
    using std::chrono::nanoseconds;
    EXPECT_EQ(Duration({1, 5}).to_chrono(), nanoseconds(1'000'000'005));
    EXPECT_EQ(Duration({9'223'372'036, 854'775'806}).to_chrono(),
              nanoseconds::max() - nanoseconds(1));
    EXPECT_EQ(Duration({9'223'372'036, 854'775'807}).to_chrono(), nanoseconds::max());
    EXPECT_EQ(Duration({9'223'372'036, 854'775'808}).to_chrono(), nanoseconds::max());
    EXPECT_EQ(Duration({9'223'372'037, 0}).to_chrono(), nanoseconds::max());
    EXPECT_EQ(Duration({kU64Max, 999'999'999}).to_chrono(), nanoseconds::max());
}

TEST(Duration, FromNanosSplitsAndOrders) {
    EXPECT_EQ(Duration::from_nanos(1'500'000'000), Duration({1, 500'000'000}));
    EXPECT_EQ(Duration::from_nanos(999'999'999), Duration({0, 999'999'999}));
    EXPECT_EQ(Duration::from_nanos(kU64Max), Duration({18'446'744'073, 709'551'615}));
    EXPECT_LT(Duration({0, 999'999'999}), Duration({1, 0}));
    EXPECT_LT(Duration({1, 0}), Duration({1, 1}));
    EXPECT_TRUE(Duration{}.is_zero());
    EXPECT_FALSE(Duration({0, 1}).is_zero());
}

TEST(HumanDuration, KeepsTextAndRefusesZero) {
    auto parsed = HumanDuration::parse("1m 30s");
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    EXPECT_EQ(parsed->text(), "1m 30s");
    EXPECT_EQ(parsed->as_std(), Duration({90, 0}));
    // Equality is by text, not by value.
    EXPECT_FALSE(*parsed == *HumanDuration::parse("90s"));

    const struct {
        std::string text;
        std::string error;
    } refused[] = {
        {"0", "expected number at 0"},
        {"0s", "expected number at 0"},
        {"0ms 0h", "expected number at 0"},
        {"0.0h", "expected number at 0"},
        {"", "value was empty"},
        {"30", "time unit needed, for example 30sec or 30ms"},
        {"1.5ns", kPrecision},
        {"1s x", "expected number at 3"},
    };
    for (const auto& c : refused) {
        auto result = HumanDuration::parse(c.text);
        ASSERT_FALSE(result.has_value()) << c.text;
        EXPECT_EQ(result.error(), c.error) << c.text;
    }
}

}  // namespace
}  // namespace ostrel::model
