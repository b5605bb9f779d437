#pragma once

#include <string>
#include <string_view>

namespace ostrel::model {

// The text in double quotes with backslash escapes for `"`, `\`, \t, \r, \n, \0 and other
// control characters as \u{hex}: how names appear inside messages.
std::string quoted(std::string_view text);
// An exact match for std::string arguments, which would otherwise find std::quoted through
// argument-dependent lookup wherever <iomanip> is visible.
inline std::string quoted(const std::string& text) {
    return quoted(std::string_view(text));
}

// Plain decimal with the shortest digits that read back to the same value and no exponent;
// whole values have no fractional part (100, 250.5, -3, 0.0001, 1000000000000000000000).
// Non-finite values are written NaN, inf and -inf.
std::string format_number(double value);

// The JSON form of a double: shortest round-trip digits, whole values keep a fractional part
// (120.0), very large or small magnitudes in exponent form (1e21, 1.5e-7). Non-finite values
// are written null.
std::string format_json_number(double value);

// Unicode white space as Rust's char::is_whitespace knows it, on a UTF-8 text.
std::string_view trim_unicode_whitespace(std::string_view text);

// Decodes one UTF-8 code point at `pos`; returns its length in bytes, or 0 when the bytes there
// are not valid UTF-8. `cp` receives the code point.
size_t decode_utf8(std::string_view text, size_t pos, char32_t& cp);

bool is_unicode_whitespace(char32_t cp);

}  // namespace ostrel::model
