// The duration parser on arbitrary text: results are normalised, the refusals are the parser's
// own texts, pieces add up, and a duration written back as seconds and nanoseconds reads back
// to itself.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ostrel-model/duration.hpp"
#include "ostrel-model/run.hpp"
#include "tests/fuzz/fuzz_check.hpp"

namespace ostrel::model {
namespace {

constexpr std::string_view kPrecision =
    "number is too large or cannot be represented without a lack of precision (values below "
    "1ns are not supported)";

// "expected number at N" and "invalid character at N" name an offset within the text.
bool offset_error(std::string_view error, std::string_view prefix, size_t text_size) {
    if (!error.starts_with(prefix)) return false;
    const std::string_view digits = error.substr(prefix.size());
    if (digits.empty() || digits.size() > 6) return false;
    size_t offset = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        offset = offset * 10 + static_cast<size_t>(c - '0');
    }
    return offset <= text_size;
}

bool known_error(std::string_view error, size_t text_size) {
    return error == "value was empty" || error == kPrecision ||
           offset_error(error, "expected number at ", text_size) ||
           offset_error(error, "invalid character at ", text_size) ||
           (error.starts_with("time unit needed, for example ") && error.ends_with("ms")) ||
           (error.starts_with("unknown time unit \"") &&
            error.ends_with("\", supported units: ns, us/\u00B5s, ms, sec, min, hours, days, "
                            "weeks, months, years (and few variations)"));
}

std::optional<Duration> doubled(Duration d) {
    uint64_t nanos = 2 * uint64_t{d.nanos};
    uint64_t carry = nanos / 1'000'000'000;
    if (d.secs > (UINT64_MAX - carry) / 2) return std::nullopt;
    return Duration{2 * d.secs + carry, static_cast<uint32_t>(nanos % 1'000'000'000)};
}

}  // namespace
}  // namespace ostrel::model

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ostrel::model;
    const std::string text(ostrel::fuzz::as_text(data, size));

    auto parsed = parse_duration(text);
    auto human = HumanDuration::parse(text);
    if (!parsed) {
        FUZZ_CHECK(known_error(parsed.error(), text.size()));
        FUZZ_CHECK(!human.has_value() && human.error() == parsed.error());
        return 0;
    }

    const Duration d = *parsed;
    FUZZ_CHECK(d.nanos < 1'000'000'000);
    const unsigned __int128 exact =
        static_cast<unsigned __int128>(d.secs) * 1'000'000'000 + d.nanos;
    const int64_t saturated = exact > INT64_MAX ? INT64_MAX : static_cast<int64_t>(exact);
    FUZZ_CHECK(d.to_chrono().count() == saturated);
    if (d.is_zero()) {
        FUZZ_CHECK(!human.has_value() && human.error() == "expected number at 0");
    } else {
        FUZZ_CHECK(human.has_value() && human->text() == text && human->as_std() == d);
    }

    const std::string canonical = std::to_string(d.secs) + "s " + std::to_string(d.nanos) + "ns";
    auto reread = parse_duration(canonical);
    FUZZ_CHECK(reread.has_value() && *reread == d);

    // "0" alone is a special case, not a piece; any other accepted text is a list of pieces.
    if (text != "0") {
        auto twice = parse_duration(text + " " + text);
        if (auto expected = doubled(d)) {
            FUZZ_CHECK(twice.has_value() && *twice == *expected);
        } else {
            FUZZ_CHECK(!twice.has_value() && twice.error() == kPrecision);
        }
    }
    return 0;
}
