// DNS fault answers for arbitrary datagrams. Whether a datagram is answerable is decided here a
// second time, from the wire format alone, and every answer is checked byte by byte against the
// request it was built from.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "ostrel-engine/proxy/dns.hpp"
#include "ostrel-model/fault.hpp"
#include "tests/fuzz/fuzz_check.hpp"

namespace ostrel::engine {
namespace {

using model::DnsCase;

constexpr size_t kHeader = 12;
constexpr size_t kRecordSize = 16;

uint8_t at(std::span<const std::byte> data, size_t i) {
    return std::to_integer<uint8_t>(data[i]);
}

// Header, QDCOUNT of one, then a name of labels ending in a zero byte or a compression pointer,
// then QTYPE and QCLASS: the offset after the question, when all of it is in the datagram.
std::optional<size_t> expected_question_end(std::span<const std::byte> request) {
    if (request.size() < kHeader || at(request, 4) != 0 || at(request, 5) != 1) return {};
    size_t p = kHeader;
    while (true) {
        if (p >= request.size()) return {};
        const uint8_t length = at(request, p);
        if (length == 0) {
            p += 1;
            break;
        }
        if ((length & 0xC0) == 0xC0) {
            p += 2;
            break;
        }
        if ((length & 0xC0) != 0) return {};
        p += 1 + length;
    }
    if (p + 4 > request.size()) return {};
    return p + 4;
}

struct Expected {
    uint8_t rcode;
    bool truncated;
    bool random_a;
};

std::optional<Expected> expected_for(DnsCase dns_case) {
    switch (dns_case) {
        case DnsCase::Truncated:
            return Expected{0, true, false};
        case DnsCase::Refused:
            return Expected{5, false, false};
        case DnsCase::ServFail:
            return Expected{2, false, false};
        case DnsCase::NxDomain:
            return Expected{3, false, false};
        case DnsCase::EmptyAnswer:
            return Expected{0, false, false};
        case DnsCase::RandomA:
            return Expected{0, false, true};
        case DnsCase::Delay:
        case DnsCase::Timeout:
            return {};
    }
    return {};
}

void check_answer(std::span<const std::byte> request, size_t end, const Expected& expected,
                  std::span<const std::byte> answer) {
    const bool a_in = at(request, end - 4) == 0 && at(request, end - 3) == 1 &&
                      at(request, end - 2) == 0 && at(request, end - 1) == 1;
    const bool with_record = expected.random_a && a_in;
    FUZZ_CHECK(answer.size() == end + (with_record ? kRecordSize : 0));
    FUZZ_CHECK(answer.size() <= request.size() + kRecordSize);

    FUZZ_CHECK(at(answer, 0) == at(request, 0) && at(answer, 1) == at(request, 1));
    const uint8_t flags = 0x80 | (at(request, 2) & 0x79) | (expected.truncated ? 0x02 : 0x00);
    FUZZ_CHECK(at(answer, 2) == flags);
    FUZZ_CHECK(at(answer, 3) == (0x80 | expected.rcode));
    FUZZ_CHECK(at(answer, 4) == 0 && at(answer, 5) == 1);
    FUZZ_CHECK(at(answer, 6) == 0 && at(answer, 7) == (with_record ? 1 : 0));
    for (size_t i = 8; i < kHeader; ++i) FUZZ_CHECK(at(answer, i) == 0);
    for (size_t i = kHeader; i < end; ++i) FUZZ_CHECK(at(answer, i) == at(request, i));

    if (with_record) {
        constexpr uint8_t kFixed[] = {0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01,
                                      0x00, 0x00, 0x00, 0x1E, 0x00, 0x04};
        for (size_t i = 0; i < sizeof kFixed; ++i) FUZZ_CHECK(at(answer, end + i) == kFixed[i]);
    }
}

}  // namespace
}  // namespace ostrel::engine

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ostrel::engine;
    using ostrel::model::DnsCase;
    const std::span<const std::byte> request = ostrel::fuzz::as_bytes(data, size);
    const std::optional<size_t> end = expected_question_end(request);

    for (DnsCase dns_case :
         {DnsCase::Delay, DnsCase::Timeout, DnsCase::Truncated, DnsCase::Refused, DnsCase::ServFail,
          DnsCase::NxDomain, DnsCase::EmptyAnswer, DnsCase::RandomA}) {
        const std::optional<DnsMessage> answer = dns_fault_answer(dns_case, request);
        const std::optional<Expected> expected = expected_for(dns_case);
        if (!expected || !end) {
            FUZZ_CHECK(!answer.has_value());
            continue;
        }
        FUZZ_CHECK(answer.has_value());
        check_answer(request, *end, *expected, *answer);
    }

    // The building blocks directly, with every RCODE and both truncation flags.
    const uint8_t rcode = size > 0 ? data[size - 1] & 0x0F : 0;
    for (bool truncated : {false, true}) {
        const std::optional<DnsMessage> answer = dns_response(request, rcode, truncated);
        FUZZ_CHECK(answer.has_value() == end.has_value());
        if (answer) check_answer(request, *end, Expected{rcode, truncated, false}, *answer);
    }
    const std::optional<DnsMessage> random_a = dns_random_a_response(request);
    FUZZ_CHECK(random_a.has_value() == end.has_value());
    if (random_a) check_answer(request, *end, Expected{0, false, true}, *random_a);
    return 0;
}
