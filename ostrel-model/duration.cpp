#include "ostrel-model/duration.hpp"

#include <array>
#include <limits>
#include <optional>
#include <utility>

#include "ostrel-model/text.hpp"

namespace ostrel::model {

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kNanosPerSecond = 1'000'000'000;
constexpr uint64_t kSecond = kNanosPerSecond;

constexpr std::string_view kPrecisionError =
    "number is too large or cannot be represented without a lack of precision (values below "
    "1ns are not supported)";

struct UnitSpelling {
    std::string_view name;
    uint64_t nanos;
};

constexpr std::array kUnits = {
    UnitSpelling{"ns", 1},
    UnitSpelling{"nsec", 1},
    UnitSpelling{"nanos", 1},
    UnitSpelling{"us", 1'000},
    UnitSpelling{"\u00B5s", 1'000},
    UnitSpelling{"usec", 1'000},
    UnitSpelling{"ms", 1'000'000},
    UnitSpelling{"msec", 1'000'000},
    UnitSpelling{"millis", 1'000'000},
    UnitSpelling{"s", kSecond},
    UnitSpelling{"sec", kSecond},
    UnitSpelling{"secs", kSecond},
    UnitSpelling{"second", kSecond},
    UnitSpelling{"seconds", kSecond},
    UnitSpelling{"m", 60 * kSecond},
    UnitSpelling{"min", 60 * kSecond},
    UnitSpelling{"mins", 60 * kSecond},
    UnitSpelling{"minute", 60 * kSecond},
    UnitSpelling{"minutes", 60 * kSecond},
    UnitSpelling{"h", 3'600 * kSecond},
    UnitSpelling{"hr", 3'600 * kSecond},
    UnitSpelling{"hrs", 3'600 * kSecond},
    UnitSpelling{"hour", 3'600 * kSecond},
    UnitSpelling{"hours", 3'600 * kSecond},
    UnitSpelling{"d", 86'400 * kSecond},
    UnitSpelling{"day", 86'400 * kSecond},
    UnitSpelling{"days", 86'400 * kSecond},
    UnitSpelling{"w", 604'800 * kSecond},
    UnitSpelling{"wk", 604'800 * kSecond},
    UnitSpelling{"wks", 604'800 * kSecond},
    UnitSpelling{"week", 604'800 * kSecond},
    UnitSpelling{"weeks", 604'800 * kSecond},
    UnitSpelling{"M", 2'630'016 * kSecond},
    UnitSpelling{"month", 2'630'016 * kSecond},
    UnitSpelling{"months", 2'630'016 * kSecond},
    UnitSpelling{"y", 31'557'600 * kSecond},
    UnitSpelling{"yr", 31'557'600 * kSecond},
    UnitSpelling{"yrs", 31'557'600 * kSecond},
    UnitSpelling{"year", 31'557'600 * kSecond},
    UnitSpelling{"years", 31'557'600 * kSecond},
};

std::optional<uint64_t> unit_nanos(std::string_view unit) {
    for (const auto& spelling : kUnits) {
        if (spelling.name == unit) return spelling.nanos;
    }
    return std::nullopt;
}

u128 gcd(u128 a, u128 b) {
    while (b != 0) a = std::exchange(b, a % b);
    return a;
}

bool is_digit(char32_t c) {
    return c >= U'0' && c <= U'9';
}
bool is_unit_char(char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || c == U'\u00B5';
}

// A number as written: the integer part, and the fraction digits when a '.' was seen.
struct Number {
    static Number starting_with(uint64_t digit) {
        Number number;
        number.integer = digit;
        return number;
    }

    uint64_t integer = 0;
    bool has_fraction = false;
    std::string fraction;

    std::string text() const {
        std::string out = std::to_string(integer);
        if (has_fraction) out += "." + fraction;
        return out;
    }
};

// Walks the text one code point at a time, with the same offsets as the well-known
// humantime scanner: an error offset is where the offending character (or the search for a
// number) starts, and the white space that ends a unit is consumed with it.
class Parser {
  public:
    explicit Parser(std::string_view src) : src_(src) {}

    std::expected<Duration, std::string> parse() {
        auto first = parse_first_char();
        if (!first) return std::unexpected(std::move(first.error()));
        if (!*first) return std::unexpected(std::string("value was empty"));
        Number number = Number::starting_with(**first);
        for (;;) {
            size_t off = pos_;
            char32_t c = 0;
            while (next(c)) {
                if (is_digit(c)) {
                    if (!push_digit(number.integer, c)) return precision_error();
                } else if (is_unicode_whitespace(c)) {
                } else if (is_unit_char(c)) {
                    break;
                } else if (c == U'.') {
                    if (auto fraction = parse_fraction(number, off); !fraction) {
                        return std::unexpected(std::move(fraction.error()));
                    }
                    break;
                } else {
                    return invalid_character(off);
                }
                off = pos_;
            }

            size_t start = off;
            off = pos_;
            bool next_piece_started = false;
            while (next(c)) {
                if (is_digit(c)) {
                    if (auto added = add_piece(number, start, off); !added) {
                        return std::unexpected(std::move(added.error()));
                    }
                    number = Number::starting_with(c - U'0');
                    next_piece_started = true;
                    break;
                }
                if (is_unicode_whitespace(c)) break;
                if (!is_unit_char(c)) return invalid_character(off);
                off = pos_;
            }
            if (next_piece_started) continue;

            if (auto added = add_piece(number, start, off); !added) {
                return std::unexpected(std::move(added.error()));
            }
            auto following = parse_first_char();
            if (!following) return std::unexpected(std::move(following.error()));
            if (!*following) return out_;
            number = Number::starting_with(**following);
        }
    }

  private:
    // Bytes that are not UTF-8 count as one character each that fits nowhere.
    bool next(char32_t& c) {
        if (pos_ >= src_.size()) return false;
        size_t length = decode_utf8(src_, pos_, c);
        if (length == 0) {
            c = 0xFFFFFFFF;
            length = 1;
        }
        pos_ += length;
        return true;
    }

    static bool push_digit(uint64_t& value, char32_t digit) {
        uint64_t d = digit - U'0';
        if (value > (std::numeric_limits<uint64_t>::max() - d) / 10) return false;
        value = value * 10 + d;
        return true;
    }

    static std::unexpected<std::string> precision_error() {
        return std::unexpected(std::string(kPrecisionError));
    }
    static std::unexpected<std::string> invalid_character(size_t off) {
        return std::unexpected("invalid character at " + std::to_string(off));
    }

    // Skips white space up to the first digit of the next number; none at the end of text.
    std::expected<std::optional<uint64_t>, std::string> parse_first_char() {
        size_t off = pos_;
        char32_t c = 0;
        while (next(c)) {
            if (is_digit(c)) return static_cast<uint64_t>(c - U'0');
            if (!is_unicode_whitespace(c)) {
                return std::unexpected("expected number at " + std::to_string(off));
            }
        }
        return std::nullopt;
    }

    // Reads the digits after '.'; `off` follows the scan so that the unit starts where the
    // fraction ended.
    std::expected<void, std::string> parse_fraction(Number& number, size_t& off) {
        number.has_fraction = true;
        char32_t c = 0;
        while (next(c)) {
            if (is_digit(c)) {
                number.fraction.push_back(static_cast<char>(c));
            } else if (is_unicode_whitespace(c)) {
            } else if (is_unit_char(c)) {
                break;
            } else {
                return invalid_character(off);
            }
            off = pos_;
        }
        if (number.fraction.empty()) return invalid_character(off);
        return {};
    }

    std::expected<void, std::string> add_piece(const Number& number, size_t start, size_t end) {
        std::string_view unit = src_.substr(start, end - start);
        auto nanos_per_unit = unit_nanos(unit);
        if (!nanos_per_unit) {
            if (unit.empty()) {
                std::string value = number.text();
                return std::unexpected("time unit needed, for example " + value + "sec or " +
                                       value + "ms");
            }
            return std::unexpected("unknown time unit " + quoted(unit) +
                                   ", supported units: ns, us/\u00B5s, ms, sec, min, hours, "
                                   "days, weeks, months, years (and few variations)");
        }

        u128 unit_ns = *nanos_per_unit;
        // Below 2^64 * 2^55, far from the top of 128 bits.
        u128 total = static_cast<u128>(number.integer) * unit_ns;

        std::string_view fraction = number.fraction;
        while (!fraction.empty() && fraction.back() == '0') fraction.remove_suffix(1);
        if (!fraction.empty()) {
            // fraction * unit / 10^k is whole only if 10^k / gcd(unit, 10^k) divides the
            // fraction; unit < 10^17 and the fraction ends in a non-zero digit, which keeps
            // every whole case far below 38 digits.
            if (fraction.size() > 38) return precision_error();
            u128 numerator = 0;
            u128 scale = 1;
            for (char digit : fraction) {
                numerator = numerator * 10 + static_cast<u128>(digit - '0');
                scale *= 10;
            }
            u128 common = gcd(unit_ns, scale);
            u128 divisor = scale / common;
            if (numerator % divisor != 0) return precision_error();
            // numerator / divisor < common <= unit_ns, so the product stays below 2^110.
            total += (numerator / divisor) * (unit_ns / common);
        }

        u128 secs = total / kNanosPerSecond + out_.secs;
        uint64_t nanos = static_cast<uint64_t>(total % kNanosPerSecond) + out_.nanos;
        if (nanos >= kNanosPerSecond) {
            nanos -= kNanosPerSecond;
            secs += 1;
        }
        if (secs > std::numeric_limits<uint64_t>::max()) return precision_error();
        out_.secs = static_cast<uint64_t>(secs);
        out_.nanos = static_cast<uint32_t>(nanos);
        return {};
    }

    std::string_view src_;
    size_t pos_ = 0;
    Duration out_;
};

}  // namespace

std::chrono::nanoseconds Duration::to_chrono() const {
    using Rep = std::chrono::nanoseconds::rep;
    constexpr auto kMax = std::chrono::nanoseconds::max();
    constexpr uint64_t kMaxSecs = static_cast<uint64_t>(kMax.count()) / kNanosPerSecond;
    if (secs > kMaxSecs) return kMax;
    uint64_t whole = secs * kNanosPerSecond;
    if (whole > static_cast<uint64_t>(kMax.count()) - nanos) return kMax;
    return std::chrono::nanoseconds(static_cast<Rep>(whole + nanos));
}

Duration Duration::from_nanos(uint64_t nanos) {
    return Duration{.secs = nanos / kNanosPerSecond,
                    .nanos = static_cast<uint32_t>(nanos % kNanosPerSecond)};
}

std::expected<Duration, std::string> parse_duration(std::string_view text) {
    if (text == "0") return Duration{};
    return Parser(text).parse();
}

}  // namespace ostrel::model
