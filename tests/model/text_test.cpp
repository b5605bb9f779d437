#include "ostrel-model/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace ostrel::model {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct NumberCase {
    double value;
    std::string expected;
};

TEST(FormatNumber, PlainDecimalWithShortestDigits) {
    const NumberCase cases[] = {
        {100, "100"},
        {250.5, "250.5"},
        {-3, "-3"},
        {0.0001, "0.0001"},
        {0.1, "0.1"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1.0 / 3, "0.3333333333333333"},
        {0.0125, "0.0125"},
        {1e21, "1000000000000000000000"},
        {1.2345678901234568e20, "123456789012345680000"},
        {1e-7, "0.0000001"},
        {-1e-7, "-0.0000001"},
        {1.5e-10, "0.00000000015"},
        {0, "0"},
        {-0.0, "-0"},
        {kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_number(c.value), c.expected) << c.expected;
    }
}

TEST(FormatNumber, ExtremesStayPlain) {
    EXPECT_EQ(format_number(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(format_number(std::numeric_limits<double>::max()),
              "17976931348623157" + std::string(292, '0'));
}

TEST(FormatJsonNumber, LayoutFollowsMagnitude) {
    const NumberCase cases[] = {
        {120, "120.0"},
        {0, "0.0"},
        {-0.0, "-0.0"},
        {-2.5, "-2.5"},
        {12.34, "12.34"},
        {12340000000, "12340000000.0"},
        {1e15, "1000000000000000.0"},
        {1234567890123456, "1234567890123456.0"},
        {1e16, "1e16"},
        {1.2345678901234568e17, "1.2345678901234568e17"},
        {1e21, "1e21"},
        {1e30, "1e30"},
        {1.234e33, "1.234e33"},
        {0.001234, "0.001234"},
        {0.0001, "0.0001"},
        {0.00001, "0.00001"},
        {0.000012, "0.000012"},
        {1e-6, "1e-6"},
        {1.5e-7, "1.5e-7"},
        {1e-7, "1e-7"},
        {-1.5e-7, "-1.5e-7"},
        {0.1 + 0.2, "0.30000000000000004"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        {kNaN, "null"},
        {kInf, "null"},
        {-kInf, "null"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_json_number(c.value), c.expected) << c.expected;
    }
}

TEST(Quoted, EscapesQuotesBackslashesAndControls) {
    const struct {
        std::string input;
        std::string expected;
    } cases[] = {
        {"", R"("")"},
        {"db", R"("db")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"C:\\data", R"("C:\\data")"},
        {"a\tb\rc\nd", R"("a\tb\rc\nd")"},
        {std::string("nul\0x", 5), R"("nul\0x")"},
        {"\x01\x1b\x1f\x7f", R"("\u{1}\u{1b}\u{1f}\u{7f}")"},
        {"\u0085", R"("\u{85}")"},
        {"caf\u00e9 \u00b5s \u20ac \U0001F600", "\"caf\u00e9 \u00b5s \u20ac \U0001F600\""},
        {"it's", R"("it's")"},
        {"bad\xff", "\"bad\uFFFD\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quoted(c.input), c.expected) << c.expected;
    }
}

TEST(UnicodeWhitespace, MatchesTheWhiteSpaceProperty) {
    for (char32_t cp : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x2005,
                        0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) {
        EXPECT_TRUE(is_unicode_whitespace(cp)) << std::hex << static_cast<uint32_t>(cp);
    }
    for (char32_t cp : {0x00, 0x08, 0x0E, 0x1F, 0x21, 0x84, 0x86, 0x9F, 0x180E, 0x200B, 0x200C,
                        0x2027, 0x202A, 0x2060, 0xFEFF, 0x3001}) {
        EXPECT_FALSE(is_unicode_whitespace(cp)) << std::hex << static_cast<uint32_t>(cp);
    }
}

TEST(TrimUnicodeWhitespace, TrimsBothEnds) {
    const struct {
        std::string input;
        std::string expected;
    } cases[] = {
        {"", ""},
        {"db", "db"},
        {"  db  ", "db"},
        {" \t\n\v\f\r", ""},
        {"\u00a0db\u3000", "db"},
        {"\u0085\u2028a b\u2029\u202f", "a b"},
        {"\u200bdb\u200b", "\u200bdb\u200b"},
        {" \u00e9 ", "\u00e9"},
        {"\xff ", "\xff"},
        {" \x80", "\x80"},
        {"\u00a0", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trim_unicode_whitespace(c.input), c.expected) << c.input;
    }
}

TEST(DecodeUtf8, AcceptsWellFormedSequences) {
    const struct {
        std::string input;
        size_t pos;
        size_t length;
        char32_t cp;
    } cases[] = {
        {"A", 0, 1, U'A'},        {"\x7f", 0, 1, 0x7F},          {"\xc2\x80", 0, 2, 0x80},
        {"\u00e9", 0, 2, 0xE9},   {"\u07ff", 0, 2, 0x7FF},       {"\u0800", 0, 3, 0x800},
        {"\u20ac", 0, 3, 0x20AC}, {"\ud7ff", 0, 3, 0xD7FF},      {"\ue000", 0, 3, 0xE000},
        {"\uffff", 0, 3, 0xFFFF}, {"\U00010000", 0, 4, 0x10000}, {"\U0010FFFF", 0, 4, 0x10FFFF},
        {"x\u00b5s", 1, 2, 0xB5},
    };
    for (const auto& c : cases) {
        char32_t cp = 0;
        EXPECT_EQ(decode_utf8(c.input, c.pos, cp), c.length) << c.input;
        EXPECT_EQ(cp, c.cp) << c.input;
    }
}

TEST(DecodeUtf8, RefusesMalformedSequences) {
    const std::string cases[] = {
        "",
        "\x80",              // lone continuation byte
        "\xc0\x80",          // overlong NUL
        "\xc1\xbf",          // overlong
        "\xe0\x80\x80",      // overlong three bytes
        "\xe0\x9f\xbf",      // overlong U+07FF
        "\xf0\x8f\xbf\xbf",  // overlong U+FFFF
        "\xed\xa0\x80",      // U+D800
        "\xed\xbf\xbf",      // U+DFFF
        "\xf4\x90\x80\x80",  // U+110000
        "\xf5\x80\x80\x80",
        "\xf8\x88\x80\x80\x80",
        "\xff",
        "\xe2\x82",      // truncated
        "\xf0\x9f\x98",  // truncated
        "\xc3(",         // continuation missing
    };
    for (const auto& input : cases) {
        char32_t cp = 0;
        EXPECT_EQ(decode_utf8(input, 0, cp), 0u) << testing::PrintToString(input);
    }
    char32_t cp = 0;
    EXPECT_EQ(decode_utf8("ab", 2, cp), 0u);
}

}  // namespace
}  // namespace ostrel::model
