#include "ostrel-engine/proxy/dns.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

namespace ostrel::engine {
namespace {

using model::DnsCase;

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::byte> wire(const Bytes& bytes) {
    std::vector<std::byte> out;
    for (uint8_t b : bytes) out.push_back(std::byte{b});
    return out;
}

Bytes plain(const std::optional<DnsMessage>& message) {
    Bytes out;
    for (std::byte b : *message) out.push_back(std::to_integer<uint8_t>(b));
    return out;
}

// example.com, type and class as given.
Bytes question(uint16_t qtype = 1, uint16_t qclass = 1) {
    return Bytes{7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0} +
           Bytes{uint8_t(qtype >> 8), uint8_t(qtype), uint8_t(qclass >> 8), uint8_t(qclass)};
}

Bytes header(uint8_t flags_hi, uint8_t flags_lo, uint16_t qdcount = 1, uint16_t ancount = 0,
             uint16_t nscount = 0, uint16_t arcount = 0) {
    return {0x12,
            0x34,
            flags_hi,
            flags_lo,
            uint8_t(qdcount >> 8),
            uint8_t(qdcount),
            uint8_t(ancount >> 8),
            uint8_t(ancount),
            uint8_t(nscount >> 8),
            uint8_t(nscount),
            uint8_t(arcount >> 8),
            uint8_t(arcount)};
}

// An EDNS OPT record, as resolvers add to the additional section.
const Bytes kOpt = {0x00, 0x00, 0x29, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

const Bytes kQuery = header(0x01, 0x00) + question();

struct FlagCase {
    DnsCase dns_case;
    uint8_t byte2;
    uint8_t byte3;
};

class AnswerFlags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(AnswerFlags, EchoHeaderAndQuestionWithTheCaseFlags) {
    const FlagCase& c = GetParam();
    auto answer = dns_fault_answer(c.dns_case, wire(kQuery));
    ASSERT_TRUE(answer);
    EXPECT_EQ(plain(answer), header(c.byte2, c.byte3) + question());
}

INSTANTIATE_TEST_SUITE_P(Cases, AnswerFlags,
                         ::testing::Values(FlagCase{DnsCase::Refused, 0x81, 0x85},
                                           FlagCase{DnsCase::Truncated, 0x83, 0x80},
                                           FlagCase{DnsCase::ServFail, 0x81, 0x82},
                                           FlagCase{DnsCase::NxDomain, 0x81, 0x83},
                                           FlagCase{DnsCase::EmptyAnswer, 0x81, 0x80}));

TEST(DnsResponse, KeepsOpcodeAndRecursionDesiredAndClearsTheRest) {
    struct Case {
        uint8_t request2, request3;
        bool truncated;
        uint8_t rcode;
        uint8_t answer2, answer3;
    };
    const Case cases[] = {
        // AA and TC of the request are cleared, RD kept.
        {0x07, 0x00, false, kDnsRefused, 0x81, 0x85},
        {0x07, 0x00, true, kDnsNoError, 0x83, 0x80},
        // OPCODE 5 (update) kept, QR already set stays set.
        {0x28, 0x00, false, kDnsServFail, 0xA8, 0x82},
        {0x80, 0x00, false, kDnsNoError, 0x80, 0x80},
        // RA, Z, AD, CD and the request's own RCODE give way to RA and the answer's RCODE.
        {0x00, 0x7F, false, kDnsNxDomain, 0x80, 0x83},
        {0x00, 0xF5, false, kDnsNoError, 0x80, 0x80},
    };
    for (const Case& c : cases) {
        auto answer =
            dns_response(wire(header(c.request2, c.request3) + question()), c.rcode, c.truncated);
        ASSERT_TRUE(answer);
        EXPECT_EQ(plain(answer), header(c.answer2, c.answer3) + question())
            << "request flags " << int(c.request2) << " " << int(c.request3);
    }
}

TEST(DnsResponse, DropsEverythingAfterTheQuestionAndZeroesTheCounts) {
    // ANCOUNT, NSCOUNT and ARCOUNT claimed by the request, an EDNS record after the question.
    auto request = header(0x01, 0x20, 1, 2, 3, 1) + question() + kOpt;
    auto answer = dns_response(wire(request), kDnsRefused, false);
    ASSERT_TRUE(answer);
    EXPECT_EQ(plain(answer), header(0x81, 0x85) + question());
}

TEST(DnsResponse, AcceptsCompressionPointersInTheName) {
    // A name that is only a pointer, right at offset 12: it ends two bytes later.
    auto pointer_only = header(0x01, 0x00) + Bytes{0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01};
    auto answer = dns_response(wire(pointer_only), kDnsNoError, false);
    ASSERT_TRUE(answer);
    EXPECT_EQ(plain(answer), (header(0x81, 0x80) + Bytes{0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01}));

    // A label followed by a pointer; trailing bytes are cut.
    auto label_then_pointer =
        header(0x01, 0x00) + Bytes{3, 'w', 'w', 'w', 0xC0, 0x10, 0x00, 0x1C, 0x00, 0x01, 0xEE};
    answer = dns_response(wire(label_then_pointer), kDnsNoError, false);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->size(), 22u);
}

TEST(DnsResponse, RefusesWhatIsNotOneCompleteQuestion) {
    const std::vector<std::pair<std::string, Bytes>> cases = {
        {"empty", {}},
        {"eleven bytes", Bytes(kQuery.begin(), kQuery.begin() + 11)},
        {"header only", header(0x01, 0x00)},
        {"no question", header(0x01, 0x00, 0) + question()},
        {"two questions", header(0x01, 0x00, 2) + question() + question()},
        {"label length 0x40", header(0x01, 0x00) + Bytes{0x40, 'a', 0, 0, 1, 0, 1}},
        {"label length 0xBF", header(0x01, 0x00) + Bytes{0xBF, 'a', 0, 0, 1, 0, 1}},
        {"label past the end", header(0x01, 0x00) + Bytes{10, 'a', 'b', 'c'}},
        {"name without its end", header(0x01, 0x00) + Bytes{3, 'a', 'b', 'c'}},
        {"type and class cut short",
         header(0x01, 0x00) + Bytes{3, 'a', 'b', 'c', 0, 0x00, 0x01, 0x00}},
        {"pointer without its type", header(0x01, 0x00) + Bytes{0xC0, 0x0C, 0x00, 0x01, 0x00}},
    };
    for (const auto& [name, request] : cases) {
        EXPECT_FALSE(dns_response(wire(request), kDnsRefused, false)) << name;
        EXPECT_FALSE(dns_random_a_response(wire(request))) << name;
        EXPECT_FALSE(dns_fault_answer(DnsCase::NxDomain, wire(request))) << name;
    }
    // The shortest complete question: a root name, type and class, nothing after it.
    EXPECT_TRUE(dns_response(wire(header(0x01, 0x00) + Bytes{0, 0, 1, 0, 1}), 0, false));
}

TEST(DnsRandomA, AppendsOneARecordWithTtlThirty) {
    auto answer = dns_random_a_response(wire(kQuery));
    ASSERT_TRUE(answer);
    Bytes bytes = plain(answer);
    const Bytes base = header(0x81, 0x80, 1, 1) + question();
    ASSERT_EQ(bytes.size(), base.size() + 16);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(base.size())), base);
    const Bytes record_head = {0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01,
                               0x00, 0x00, 0x00, 0x1E, 0x00, 0x04};
    EXPECT_EQ(Bytes(bytes.begin() + static_cast<long>(base.size()), bytes.end() - 4), record_head);

    // Addresses are random: a handful of answers carry more than one address.
    std::set<Bytes> addresses;
    for (int i = 0; i < 8; ++i) {
        Bytes again = plain(dns_random_a_response(wire(kQuery)));
        addresses.insert(Bytes(again.end() - 4, again.end()));
    }
    EXPECT_GT(addresses.size(), 1u);
}

TEST(DnsRandomA, AnswersOtherQuestionsWithoutRecords) {
    const std::pair<uint16_t, uint16_t> questions[] = {{28, 1}, {1, 3}, {255, 1}};
    for (auto [qtype, qclass] : questions) {
        auto request = header(0x01, 0x00) + question(qtype, qclass);
        auto answer = dns_random_a_response(wire(request));
        ASSERT_TRUE(answer);
        EXPECT_EQ(plain(answer), header(0x81, 0x80) + question(qtype, qclass)) << qtype;
    }
    // An EDNS record does not count as a second question, nor make it into the answer.
    auto with_opt = header(0x01, 0x00, 1, 0, 0, 1) + question() + kOpt;
    auto answer = dns_random_a_response(wire(with_opt));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->size(), kQuery.size() + 16);
    EXPECT_EQ(std::to_integer<int>((*answer)[11]), 0);
}

TEST(DnsFaultAnswer, DelayAndTimeoutAnswerNothing) {
    EXPECT_FALSE(dns_fault_answer(DnsCase::Delay, wire(kQuery)));
    EXPECT_FALSE(dns_fault_answer(DnsCase::Timeout, wire(kQuery)));
    EXPECT_EQ(dns_fault_answer(DnsCase::RandomA, wire(kQuery))->size(), kQuery.size() + 16);
}

}  // namespace
}  // namespace ostrel::engine
