#include "ostrel-model/timestamp.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>

namespace ostrel::model {
namespace {

constexpr int64_t kSecond = 1'000'000'000;

TEST(Timestamp, Rfc3339FractionUsesFewestExactDigits) {
    const int64_t base = 1'740'824'130 * kSecond;  // 2025-03-01T10:15:30Z
    const struct {
        int64_t offset_nanos;
        std::string expected;
    } cases[] = {
        {0, "2025-03-01T10:15:30Z"},
        {250'000'000, "2025-03-01T10:15:30.250Z"},
        {100'000'000, "2025-03-01T10:15:30.100Z"},
        {1'000'000, "2025-03-01T10:15:30.001Z"},
        {250'000, "2025-03-01T10:15:30.000250Z"},
        {250'001'000, "2025-03-01T10:15:30.250001Z"},
        {1'000, "2025-03-01T10:15:30.000001Z"},
        {250, "2025-03-01T10:15:30.000000250Z"},
        {1, "2025-03-01T10:15:30.000000001Z"},
        {123'456'789, "2025-03-01T10:15:30.123456789Z"},
        {999'999'999, "2025-03-01T10:15:30.999999999Z"},
        {kSecond, "2025-03-01T10:15:31Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Timestamp{base + c.offset_nanos}.to_rfc3339(), c.expected);
    }
}

TEST(Timestamp, Rfc3339CalendarIncludingLeapYearsAndNegativeInstants) {
    const struct {
        int64_t unix_nanos;
        std::string expected;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {1'709'208'000 * kSecond, "2024-02-29T12:00:00Z"},
        {1'735'689'599 * kSecond, "2024-12-31T23:59:59Z"},
        {951'868'799 * kSecond, "2000-02-29T23:59:59Z"},
        {4'107'542'400 * kSecond - kSecond, "2100-02-28T23:59:59Z"},
        {4'107'542'400 * kSecond, "2100-03-01T00:00:00Z"},
        {-1, "1969-12-31T23:59:59.999999999Z"},
        {-1'000'000, "1969-12-31T23:59:59.999Z"},
        {-kSecond, "1969-12-31T23:59:59Z"},
        {-kSecond - 500'000, "1969-12-31T23:59:58.999500Z"},
        {-14'182'940 * kSecond, "1969-07-20T20:17:40Z"},
        {-2'203'891'200 * kSecond - kSecond, "1900-02-28T23:59:59Z"},
        {-2'203'891'200 * kSecond, "1900-03-01T00:00:00Z"},
        {std::numeric_limits<int64_t>::min(), "1677-09-21T00:12:43.145224192Z"},
        {std::numeric_limits<int64_t>::max(), "2262-04-11T23:47:16.854775807Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Timestamp{c.unix_nanos}.to_rfc3339(), c.expected);
    }
}

TEST(Timestamp, NowReadsTheSystemClock) {
    using namespace std::chrono;
    auto read = [] {
        return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    };
    int64_t before = read();
    Timestamp now = Timestamp::now();
    int64_t after = read();
    EXPECT_LE(before, now.unix_nanos);
    EXPECT_LE(now.unix_nanos, after);
}

}  // namespace
}  // namespace ostrel::model
