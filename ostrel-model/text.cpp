#include "ostrel-model/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace ostrel::model {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// The shortest digits that read back to `value` (positive and finite) and the power of ten
// that scales them: value == digits * 10^exponent.
struct ShortestDecimal {
    std::string digits;
    int exponent = 0;
};

ShortestDecimal shortest_decimal(double value) {
    char buffer[64];
    auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view text(buffer, ec == std::errc{} ? static_cast<size_t>(end - buffer) : 0);
    // The scientific form is "d[.ddd]e[+-]xx".
    size_t e = text.find('e');
    ShortestDecimal result;
    for (char c : text.substr(0, e)) {
        if (c != '.') result.digits.push_back(c);
    }
    int scientific_exponent = 0;
    std::string_view exponent_text = text.substr(e + 1);
    if (!exponent_text.empty() && exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(),
                    scientific_exponent);
    result.exponent = scientific_exponent - static_cast<int>(result.digits.size()) + 1;
    return result;
}

void append_hex_escape(std::string& out, char32_t cp) {
    char buffer[16];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, static_cast<uint32_t>(cp), 16);
    out += "\\u{";
    out.append(buffer, ec == std::errc{} ? end : buffer);
    out += '}';
}

}  // namespace

size_t decode_utf8(std::string_view text, size_t pos, char32_t& cp) {
    if (pos >= text.size()) return 0;
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(pos);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    size_t length = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        smallest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - pos < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        unsigned char continuation = byte(pos + i);
        if ((continuation & 0xC0) != 0x80) return 0;
        value = (value << 6) | (continuation & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    cp = value;
    return length;
}

bool is_unicode_whitespace(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
    char32_t cp = 0;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t length = decode_utf8(text, begin, cp);
        if (length == 0 || !is_unicode_whitespace(cp)) break;
        begin += length;
    }
    size_t end = text.size();
    while (end > begin) {
        // Step back to the lead byte of the last code point (at most three continuation bytes).
        size_t start = end - 1;
        while (start > begin && end - start < 4 &&
               (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        size_t length = decode_utf8(text, start, cp);
        if (length != end - start || !is_unicode_whitespace(cp)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    size_t pos = 0;
    while (pos < text.size()) {
        char32_t cp = 0;
        size_t length = decode_utf8(text, pos, cp);
        if (length == 0) {
            out += kReplacementCharacter;
            ++pos;
            continue;
        }
        switch (cp) {
            case U'"':
                out += "\\\"";
                break;
            case U'\\':
                out += "\\\\";
                break;
            case U'\t':
                out += "\\t";
                break;
            case U'\r':
                out += "\\r";
                break;
            case U'\n':
                out += "\\n";
                break;
            case U'\0':
                out += "\\0";
                break;
            default:
                // C0 and C1 control characters and DEL.
                if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
                    append_hex_escape(out, cp);
                } else {
                    out.append(text.substr(pos, length));
                }
        }
        pos += length;
    }
    out += '"';
    return out;
}

std::string format_number(double value) {
    if (std::isnan(value)) return "NaN";
    std::string out = std::signbit(value) ? "-" : "";
    if (std::isinf(value)) return out + "inf";
    if (value == 0) return out + "0";

    auto [digits, exponent] = shortest_decimal(std::fabs(value));
    int length = static_cast<int>(digits.size());
    if (exponent >= 0) {
        out += digits;
        out.append(static_cast<size_t>(exponent), '0');
        return out;
    }
    int integer_digits = length + exponent;
    if (integer_digits > 0) {
        out.append(digits, 0, static_cast<size_t>(integer_digits));
        out += '.';
        out.append(digits, static_cast<size_t>(integer_digits));
    } else {
        out += "0.";
        out.append(static_cast<size_t>(-integer_digits), '0');
        out += digits;
    }
    return out;
}

std::string format_json_number(double value) {
    if (!std::isfinite(value)) return "null";
    std::string out = std::signbit(value) ? "-" : "";
    if (value == 0) return out + "0.0";

    auto [digits, k] = shortest_decimal(std::fabs(value));
    int length = static_cast<int>(digits.size());
    int kk = length + k;  // 10^(kk-1) <= |value| < 10^kk
    if (k >= 0 && kk <= 16) {
        out += digits;
        out.append(static_cast<size_t>(k), '0');
        out += ".0";
    } else if (kk > 0 && kk <= 16) {
        out.append(digits, 0, static_cast<size_t>(kk));
        out += '.';
        out.append(digits, static_cast<size_t>(kk));
    } else if (kk > -5 && kk <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-kk), '0');
        out += digits;
    } else {
        out += digits[0];
        if (length > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += std::to_string(kk - 1);
    }
    return out;
}

}  // namespace ostrel::model
