#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel::model {

struct Uuid {
    std::array<uint8_t, 16> bytes{};

    // A random version-4 UUID.
    static Uuid new_v4();
    // Accepts 32 hex digits, the hyphenated 8-4-4-4-12 form, the hyphenated form in braces, and
    // the hyphenated form after "urn:uuid:" (prefix in any case); hex digits in either case.
    static std::optional<Uuid> parse(std::string_view text);

    // 36-character lower-case hyphenated text.
    std::string to_string() const;

    // Byte order, which is also the order of the lower-case text.
    auto operator<=>(const Uuid&) const = default;
};

}  // namespace ostrel::model
