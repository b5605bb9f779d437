#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace ostrel::model {

// A span of time as whole seconds and nanoseconds, wide enough for every duration text
// ("500000 years" does not fit a signed 64-bit nanosecond count).
struct Duration {
    uint64_t secs = 0;
    uint32_t nanos = 0;  // always below 1'000'000'000

    bool is_zero() const { return secs == 0 && nanos == 0; }
    // Saturates at the largest count std::chrono::nanoseconds holds.
    std::chrono::nanoseconds to_chrono() const;
    static Duration from_nanos(uint64_t nanos);

    auto operator<=>(const Duration&) const = default;
};

// Parses the human-readable duration syntax ("1m 30s", "1.5h", "250ms"). The error is the
// parser's message; byte offsets in it are within `text`. Zero is a valid result here;
// callers that need a positive duration refuse it themselves.
std::expected<Duration, std::string> parse_duration(std::string_view text);

}  // namespace ostrel::model
