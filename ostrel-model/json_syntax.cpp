#include "ostrel-model/json_syntax.hpp"

#include <locale.h>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>

#include "ostrel-model/text.hpp"

namespace ostrel::model::json {

namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kExpectedValue = "expected value";

std::string one_of(std::span<const std::string_view> names) {
    std::string out;
    if (names.size() == 1) return "`" + std::string(names[0]) + "`";
    if (names.size() == 2) {
        return "`" + std::string(names[0]) + "` or `" + std::string(names[1]) + "`";
    }
    out = "one of ";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        out += "`" + std::string(names[i]) + "`";
    }
    return out;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void push_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decimal text to double in the C locale whatever the process locale is; the host
// interpreter may have changed LC_NUMERIC.
double to_double(std::string_view token) {
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
    std::string copy(token);
    return strtod_l(copy.c_str(), nullptr, c_locale);
}

}  // namespace

void fail(std::string message) {
    throw JsonError{std::move(message), std::nullopt};
}

std::string float_text(double value) {
    std::string text = format_number(value);
    if (std::isfinite(value) && text.find('.') == std::string::npos) text += ".0";
    return text;
}

Content::Content() = default;

std::string unexpected(const Content& value) {
    switch (value.type) {
        case Content::Type::Null:
            return "null";
        case Content::Type::Bool:
            return value.boolean ? "boolean `true`" : "boolean `false`";
        case Content::Type::U64:
            return "integer `" + std::to_string(value.u64) + "`";
        case Content::Type::I64:
            return "integer `" + std::to_string(value.i64) + "`";
        case Content::Type::F64:
            return "floating point `" + float_text(value.f64) + "`";
        case Content::Type::String:
            return "string " + quoted(value.string);
        case Content::Type::Seq:
            return "sequence";
        case Content::Type::Map:
            return "map";
    }
    return "value";
}

std::string number_unexpected(const Cursor::Number& number) {
    switch (number.kind) {
        case Cursor::Number::Kind::U64:
            return "integer `" + std::to_string(number.u64) + "`";
        case Cursor::Number::Kind::I64:
            return "integer `" + std::to_string(number.i64) + "`";
        case Cursor::Number::Kind::F64:
            return "floating point `" + float_text(number.f64) + "`";
    }
    return "number";
}

void invalid_type(std::string_view unexpected, std::string_view expected) {
    fail("invalid type: " + std::string(unexpected) + ", expected " + std::string(expected));
}

void invalid_value(std::string_view unexpected, std::string_view expected) {
    fail("invalid value: " + std::string(unexpected) + ", expected " + std::string(expected));
}

void invalid_length(size_t length, std::string_view expected) {
    fail("invalid length " + std::to_string(length) + ", expected " + std::string(expected));
}

void missing_field(std::string_view field) {
    fail("missing field `" + std::string(field) + "`");
}

void duplicate_field(std::string_view field) {
    fail("duplicate field `" + std::string(field) + "`");
}

void unknown_field(std::string_view field, std::span<const std::string_view> expected) {
    fail("unknown field `" + std::string(field) + "`, expected " + one_of(expected));
}

void unknown_variant(std::string_view variant, std::span<const std::string_view> expected) {
    fail("unknown variant `" + std::string(variant) + "`, expected " + one_of(expected));
}

std::optional<char> Cursor::parse_whitespace() {
    while (index_ < text_.size()) {
        char c = text_[index_];
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
        ++index_;
    }
    return std::nullopt;
}

std::string Cursor::position_suffix(size_t at) const {
    size_t line = 1;
    size_t column = 0;
    for (size_t i = 0; i < at && i < text_.size(); ++i) {
        if (text_[i] == '\n') {
            ++line;
            column = 0;
        } else {
            ++column;
        }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

void Cursor::enter_nested() {
    if (--remaining_depth_ == 0) throw peek_error("recursion limit exceeded");
}

std::string Cursor::parse_str() {
    std::string out;
    while (true) {
        if (index_ >= text_.size()) throw error(std::string(kEofString));
        auto byte = static_cast<unsigned char>(text_[index_]);
        if (byte == '"') {
            ++index_;
            return out;
        }
        if (byte < 0x20) {
            ++index_;
            throw error("control character (\\u0000-\\u001F) found while parsing a string");
        }
        if (byte >= 0x80) {
            char32_t cp;
            size_t length = decode_utf8(text_, index_, cp);
            if (length == 0) throw error("invalid unicode code point");
            out.append(text_.substr(index_, length));
            index_ += length;
            continue;
        }
        if (byte != '\\') {
            out.push_back(static_cast<char>(byte));
            ++index_;
            continue;
        }
        ++index_;
        if (index_ >= text_.size()) throw error(std::string(kEofString));
        char escape = text_[index_++];
        switch (escape) {
            case '"':
                out.push_back('"');
                break;
            case '\\':
                out.push_back('\\');
                break;
            case '/':
                out.push_back('/');
                break;
            case 'b':
                out.push_back('\b');
                break;
            case 'f':
                out.push_back('\f');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'u': {
                auto hex4 = [&]() -> char32_t {
                    if (index_ + 4 > text_.size()) {
                        index_ = text_.size();
                        throw error(std::string(kEofString));
                    }
                    char32_t n = 0;
                    for (int i = 0; i < 4; ++i) {
                        int v = hex_value(text_[index_++]);
                        if (v < 0) throw error("invalid escape");
                        n = (n << 4) | static_cast<char32_t>(v);
                    }
                    return n;
                };
                char32_t n = hex4();
                if (n >= 0xDC00 && n <= 0xDFFF) {
                    throw error("lone leading surrogate in hex escape");
                }
                if (n >= 0xD800 && n <= 0xDBFF) {
                    // A leading surrogate must be followed by an escaped trailing one.
                    for (char expected : {'\\', 'u'}) {
                        if (index_ >= text_.size()) throw error(std::string(kEofString));
                        if (text_[index_++] != expected) {
                            throw error("unexpected end of hex escape");
                        }
                    }
                    char32_t n2 = hex4();
                    if (n2 < 0xDC00 || n2 > 0xDFFF) {
                        throw error("lone leading surrogate in hex escape");
                    }
                    n = (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000;
                }
                push_utf8(out, n);
                break;
            }
            default:
                throw error("invalid escape");
        }
    }
}

void Cursor::parse_ident(std::string_view rest) {
    for (char expected : rest) {
        if (index_ >= text_.size()) throw error(std::string(kEofValue));
        if (text_[index_++] != expected) throw error("expected ident");
    }
}

Cursor::Number Cursor::parse_integer(bool positive) {
    size_t start = positive ? index_ : index_ - 1;
    if (index_ >= text_.size()) throw error(std::string(kEofValue));
    char first = text_[index_++];
    uint64_t significand = 0;
    bool is_float = false;
    if (first == '0') {
        if (is_digit(peek_or_null())) throw peek_error(std::string(kInvalidNumber));
    } else if (first >= '1' && first <= '9') {
        significand = static_cast<uint64_t>(first - '0');
        while (is_digit(peek_or_null())) {
            auto digit = static_cast<uint64_t>(peek_or_null() - '0');
            if (significand > (UINT64_MAX - digit) / 10) {
                // Too long for an integer: the rest is read as a floating-point number.
                is_float = true;
                while (is_digit(peek_or_null())) eat_char();
                break;
            }
            significand = significand * 10 + digit;
            eat_char();
        }
    } else {
        throw error(std::string(kInvalidNumber));
    }
    if (peek_or_null() == '.') {
        is_float = true;
        eat_char();
        if (!is_digit(peek_or_null())) {
            throw peek_error(std::string(at_end() ? kEofValue : kInvalidNumber));
        }
        while (is_digit(peek_or_null())) eat_char();
    }
    if (peek_or_null() == 'e' || peek_or_null() == 'E') {
        is_float = true;
        eat_char();
        if (peek_or_null() == '+' || peek_or_null() == '-') eat_char();
        if (index_ >= text_.size()) throw error(std::string(kEofValue));
        if (!is_digit(text_[index_++])) throw error(std::string(kInvalidNumber));
        while (is_digit(peek_or_null())) eat_char();
    }
    Number number;
    if (!is_float) {
        if (positive) {
            number.kind = Number::Kind::U64;
            number.u64 = significand;
            return number;
        }
        // "-0" and magnitudes beyond the signed range are floating point.
        if (significand != 0 && significand <= uint64_t{1} << 63) {
            number.kind = Number::Kind::I64;
            number.i64 =
                significand == uint64_t{1} << 63 ? INT64_MIN : -static_cast<int64_t>(significand);
            return number;
        }
        number.kind = Number::Kind::F64;
        number.f64 = -static_cast<double>(significand);
        return number;
    }
    double value = to_double(text_.substr(start, index_ - start));
    if (std::isinf(value)) throw error("number out of range");
    number.kind = Number::Kind::F64;
    number.f64 = value;
    return number;
}

Content Cursor::parse_content() {
    auto peek = parse_whitespace();
    if (!peek) throw peek_error(std::string(kEofValue));
    Content value;
    try {
        switch (*peek) {
            case 'n':
                eat_char();
                parse_ident("ull");
                value.type = Content::Type::Null;
                break;
            case 't':
                eat_char();
                parse_ident("rue");
                value.type = Content::Type::Bool;
                value.boolean = true;
                break;
            case 'f':
                eat_char();
                parse_ident("alse");
                value.type = Content::Type::Bool;
                break;
            case '"':
                eat_char();
                value.type = Content::Type::String;
                value.string = parse_str();
                break;
            case '[': {
                enter_nested();
                eat_char();
                value.type = Content::Type::Seq;
                std::optional<JsonError> failure;
                try {
                    bool first = true;
                    while (next_element(first)) value.seq.push_back(parse_content());
                } catch (JsonError& e) {
                    failure = std::move(e);
                }
                leave_nested();
                try {
                    end_seq();
                } catch (JsonError& e) {
                    if (!failure) failure = std::move(e);
                }
                if (failure) throw *failure;
                break;
            }
            case '{': {
                enter_nested();
                eat_char();
                value.type = Content::Type::Map;
                std::optional<JsonError> failure;
                try {
                    bool first = true;
                    while (next_key(first)) {
                        eat_char();
                        std::string key = parse_str();
                        parse_object_colon();
                        value.map.emplace_back(std::move(key), parse_content());
                    }
                } catch (JsonError& e) {
                    failure = std::move(e);
                }
                leave_nested();
                try {
                    end_map();
                } catch (JsonError& e) {
                    if (!failure) failure = std::move(e);
                }
                if (failure) throw *failure;
                break;
            }
            default:
                if (*peek == '-' || is_digit(*peek)) {
                    bool positive = *peek != '-';
                    if (!positive) eat_char();
                    Number number = parse_integer(positive);
                    switch (number.kind) {
                        case Number::Kind::U64:
                            value.type = Content::Type::U64;
                            value.u64 = number.u64;
                            break;
                        case Number::Kind::I64:
                            value.type = Content::Type::I64;
                            value.i64 = number.i64;
                            break;
                        case Number::Kind::F64:
                            value.type = Content::Type::F64;
                            value.f64 = number.f64;
                            break;
                    }
                } else {
                    throw peek_error(std::string(kExpectedValue));
                }
        }
    } catch (JsonError& e) {
        fix_position(e);
        throw;
    }
    return value;
}

JsonError Cursor::peek_invalid_type(std::string_view expected) {
    std::string what;
    auto peek = parse_whitespace();
    char c = peek.value_or('\0');
    if (c == 'n') {
        eat_char();
        parse_ident("ull");
        what = "null";
    } else if (c == 't') {
        eat_char();
        parse_ident("rue");
        what = "boolean `true`";
    } else if (c == 'f') {
        eat_char();
        parse_ident("alse");
        what = "boolean `false`";
    } else if (c == '-' || is_digit(c)) {
        if (c == '-') eat_char();
        what = number_unexpected(parse_integer(c != '-'));
    } else if (c == '"') {
        eat_char();
        what = "string " + quoted(parse_str());
    } else if (c == '[') {
        what = "sequence";
    } else if (c == '{') {
        what = "map";
    } else {
        return peek_error(std::string(kExpectedValue));
    }
    JsonError e{"invalid type: " + what + ", expected " + std::string(expected), std::nullopt};
    fix_position(e);
    return e;
}

void Cursor::end_seq() {
    auto peek = parse_whitespace();
    if (!peek) throw peek_error(std::string(kEofList));
    if (*peek == ']') {
        eat_char();
        return;
    }
    if (*peek == ',') {
        eat_char();
        auto next = parse_whitespace();
        throw peek_error(next == ']' ? "trailing comma" : "trailing characters");
    }
    throw peek_error("trailing characters");
}

void Cursor::end_map() {
    auto peek = parse_whitespace();
    if (!peek) throw peek_error(std::string(kEofObject));
    if (*peek == '}') {
        eat_char();
        return;
    }
    throw peek_error(*peek == ',' ? "trailing comma" : "trailing characters");
}

void Cursor::parse_object_colon() {
    auto peek = parse_whitespace();
    if (!peek) throw peek_error(std::string(kEofObject));
    if (*peek != ':') throw peek_error("expected `:`");
    eat_char();
}

void Cursor::end() {
    if (parse_whitespace()) throw peek_error("trailing characters");
}

bool Cursor::next_element(bool& first) {
    auto peek = parse_whitespace();
    if (!peek) throw peek_error(std::string(kEofList));
    if (*peek == ']') return false;
    if (!first) {
        if (*peek != ',') throw peek_error("expected `,` or `]`");
        eat_char();
        peek = parse_whitespace();
        if (!peek) throw peek_error(std::string(kEofValue));
        if (*peek == ']') throw peek_error("trailing comma");
    }
    first = false;
    return true;
}

bool Cursor::next_key(bool& first) {
    auto peek = parse_whitespace();
    if (!peek) throw peek_error(std::string(kEofObject));
    if (*peek == '}') return false;
    if (!first) {
        if (*peek != ',') throw peek_error("expected `,` or `}`");
        eat_char();
        peek = parse_whitespace();
        if (!peek) throw peek_error(std::string(kEofValue));
        if (*peek == '}') throw peek_error("trailing comma");
    }
    first = false;
    if (*peek != '"') throw peek_error("key must be a string");
    return true;
}

}  // namespace ostrel::model::json
