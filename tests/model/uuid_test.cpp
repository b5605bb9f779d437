#include "ostrel-model/uuid.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace ostrel::model {
namespace {

constexpr std::string_view kCanonical = "67e55044-10b1-426f-9247-bb680e5fe0c8";

TEST(Uuid, ParsesEveryAcceptedForm) {
    const std::string accepted[] = {
        "67e55044-10b1-426f-9247-bb680e5fe0c8",
        "67E55044-10B1-426F-9247-BB680E5FE0C8",
        "67e55044-10B1-426f-9247-Bb680e5fE0c8",
        "67e5504410b1426f9247bb680e5fe0c8",
        "67E5504410B1426F9247BB680E5FE0C8",
        "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
        "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
        "URN:UUID:67E55044-10B1-426F-9247-BB680E5FE0C8",
        "Urn:Uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
    };
    for (const auto& text : accepted) {
        auto parsed = Uuid::parse(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(parsed->to_string(), kCanonical) << text;
    }
}

TEST(Uuid, RefusesEverythingElse) {
    const std::string refused[] = {
        "",
        "67e55044-10b1-426f-9247-bb680e5fe0c",    // one digit short
        "67e55044-10b1-426f-9247-bb680e5fe0c88",  // one digit long
        "67e5504410b1426f9247bb680e5fe0c",
        "67e5504410b1426f9247bb680e5fe0c8a",
        "67e5504-410b1-426f-9247-bb680e5fe0c8",  // hyphens misplaced
        "67e55044-10b1-426f-9247bb680e5fe0c8-",
        "67e55044-10b1-426f-9247-bb680e5fe0c-",
        "67e55044+10b1-426f-9247-bb680e5fe0c8",
        "g7e55044-10b1-426f-9247-bb680e5fe0c8",
        "67e55044-10b1-426f-9247-bb680e5fe0cg",
        "+7e55044-10b1-426f-9247-bb680e5fe0c8",
        "67e55044 10b1 426f 9247 bb680e5fe0c8",
        " 67e55044-10b1-426f-9247-bb680e5fe0c8",
        "67e55044-10b1-426f-9247-bb680e5fe0c8 ",
        "{67e5504410b1426f9247bb680e5fe0c8}",
        "{67e55044-10b1-426f-9247-bb680e5fe0c8",
        "67e55044-10b1-426f-9247-bb680e5fe0c8}",
        "(67e55044-10b1-426f-9247-bb680e5fe0c8)",
        "[67e55044-10b1-426f-9247-bb680e5fe0c8]",
        "urn:uuid:67e5504410b1426f9247bb680e5fe0c8",
        "urn:uuid:{67e55044-10b1-426f-9247-bb680e5fe0c8}",
        "urn:uid:67e55044-10b1-426f-9247-bb680e5fe0c8",
        "urn-uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
        "uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
        "not a uuid",
    };
    for (const auto& text : refused) {
        EXPECT_FALSE(Uuid::parse(text).has_value()) << text;
    }
}

TEST(Uuid, ToStringIsLowerCaseHyphenatedByteOrder) {
    Uuid uuid;
    for (size_t i = 0; i < uuid.bytes.size(); ++i) uuid.bytes[i] = static_cast<uint8_t>(i * 17);
    EXPECT_EQ(uuid.to_string(), "00112233-4455-6677-8899-aabbccddeeff");
    EXPECT_EQ(Uuid{}.to_string(), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(Uuid::parse(uuid.to_string()), uuid);
}

TEST(Uuid, OrderMatchesTextOrder) {
    auto a = *Uuid::parse("0fffffff-ffff-ffff-ffff-ffffffffffff");
    auto b = *Uuid::parse("10000000-0000-0000-0000-000000000000");
    auto c = *Uuid::parse("10000000-0000-0000-0000-000000000001");
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
}

TEST(Uuid, NewV4IsRandomVersion4WithRfcVariant) {
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        Uuid uuid = Uuid::new_v4();
        EXPECT_EQ(uuid.bytes[6] >> 4, 4);
        EXPECT_EQ(uuid.bytes[8] >> 6, 2);
        std::string text = uuid.to_string();
        EXPECT_EQ(text[14], '4');
        EXPECT_EQ(Uuid::parse(text), uuid);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 2000u);
}

}  // namespace
}  // namespace ostrel::model
