#include "ostrel-model/uuid.hpp"

#include <random>

namespace ostrel::model {

namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 32 hex digits, with hyphens exactly at the 8-4-4-4-12 boundaries when `hyphenated`.
std::optional<Uuid> parse_digits(std::string_view text, bool hyphenated) {
    Uuid uuid;
    size_t digit = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (hyphenated && (i == 8 || i == 13 || i == 18 || i == 23)) {
            if (text[i] != '-') return std::nullopt;
            continue;
        }
        int value = hex_value(text[i]);
        if (value < 0 || digit >= 32) return std::nullopt;
        uuid.bytes[digit / 2] |= static_cast<uint8_t>(digit % 2 == 0 ? value << 4 : value);
        ++digit;
    }
    if (digit != 32) return std::nullopt;
    return uuid;
}

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

}  // namespace

Uuid Uuid::new_v4() {
    thread_local std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(),
                           device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    Uuid uuid;
    for (size_t i = 0; i < uuid.bytes.size(); i += 8) {
        uint64_t word = generator();
        for (size_t j = 0; j < 8; ++j) uuid.bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
    }
    uuid.bytes[6] = static_cast<uint8_t>((uuid.bytes[6] & 0x0F) | 0x40);  // version 4
    uuid.bytes[8] = static_cast<uint8_t>((uuid.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return uuid;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    switch (text.size()) {
        case 32:
            return parse_digits(text, false);
        case 36:
            return parse_digits(text, true);
        case 38:
            if (text.front() != '{' || text.back() != '}') return std::nullopt;
            return parse_digits(text.substr(1, 36), true);
        case 45:
            if (!equals_ignoring_case(text.substr(0, 9), "urn:uuid:")) return std::nullopt;
            return parse_digits(text.substr(9), true);
        default:
            return std::nullopt;
    }
}

std::string Uuid::to_string() const {
    std::string out;
    out.reserve(36);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += kHexDigits[bytes[i] >> 4];
        out += kHexDigits[bytes[i] & 0x0F];
    }
    return out;
}

}  // namespace ostrel::model
