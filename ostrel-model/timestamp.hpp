#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace ostrel::model {

// A UTC instant with nanosecond resolution.
struct Timestamp {
    int64_t unix_nanos = 0;

    static Timestamp now();

    // RFC 3339 ending in "Z": no fraction when the sub-second part is zero, otherwise the fewest
    // of 3, 6 or 9 digits that are exact (2025-03-01T10:15:30.250Z).
    std::string to_rfc3339() const;

    auto operator<=>(const Timestamp&) const = default;
};

}  // namespace ostrel::model
