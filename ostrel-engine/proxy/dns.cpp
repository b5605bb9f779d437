#include "ostrel-engine/proxy/dns.hpp"

#include <algorithm>

#include "ostrel-engine/faults/delay.hpp"

namespace ostrel::engine {

namespace {

constexpr size_t kHeaderSize = 12;

uint8_t byte_at(std::span<const std::byte> data, size_t offset) {
    return std::to_integer<uint8_t>(data[offset]);
}

uint16_t u16_at(std::span<const std::byte> data, size_t offset) {
    return static_cast<uint16_t>(byte_at(data, offset) << 8 | byte_at(data, offset + 1));
}

// Where the single question ends (header included), if the request has one. Only the name's
// shape is walked: a compression pointer ends it, since nothing follows a pointer in a name.
std::optional<size_t> question_end(std::span<const std::byte> request) {
    const size_t n = request.size();
    if (n < kHeaderSize || u16_at(request, 4) != 1) return std::nullopt;
    size_t p = kHeaderSize;
    size_t name_end = 0;
    for (;;) {
        if (p >= n) return std::nullopt;
        const uint8_t length = byte_at(request, p);
        if (length == 0) {
            name_end = p + 1;
            break;
        }
        if (length >= 0xC0) {
            name_end = p + 2;
            break;
        }
        if (length >= 0x40) return std::nullopt;
        p += 1 + length;
        if (p > n) return std::nullopt;
    }
    const size_t end = name_end + 4;
    if (end > n) return std::nullopt;
    return end;
}

DnsMessage answer(std::span<const std::byte> request, size_t end, uint8_t rcode, bool truncated) {
    DnsMessage out(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(end));
    // QR set; OPCODE and RD kept; AA cleared; TC only for a truncated answer.
    out[2] = std::byte{
        static_cast<uint8_t>(0x80 | (byte_at(request, 2) & 0x79) | (truncated ? 0x02 : 0x00))};
    // RA set; Z, AD and CD cleared.
    out[3] = std::byte{static_cast<uint8_t>(0x80 | (rcode & 0x0F))};
    std::fill(out.begin() + 6, out.begin() + kHeaderSize, std::byte{0});
    return out;
}

}  // namespace

std::optional<DnsMessage> dns_response(std::span<const std::byte> request, uint8_t rcode,
                                       bool truncated) {
    auto end = question_end(request);
    if (!end) return std::nullopt;
    return answer(request, *end, rcode, truncated);
}

std::optional<DnsMessage> dns_random_a_response(std::span<const std::byte> request) {
    auto end = question_end(request);
    if (!end) return std::nullopt;
    DnsMessage out = answer(request, *end, kDnsNoError, false);
    const bool a_in = u16_at(request, *end - 4) == 1 && u16_at(request, *end - 2) == 1;
    if (!a_in) return out;
    out[7] = std::byte{1};  // ANCOUNT
    static constexpr uint8_t kRecord[] = {
        0xC0, 0x0C,              // NAME: the question's name at offset 12
        0x00, 0x01,              // TYPE A
        0x00, 0x01,              // CLASS IN
        0x00, 0x00, 0x00, 0x1E,  // TTL 30 seconds
        0x00, 0x04,              // RDLENGTH
    };
    for (uint8_t b : kRecord) out.push_back(std::byte{b});
    auto& rng = thread_rng();
    for (int i = 0; i < 4; ++i) out.push_back(std::byte{static_cast<uint8_t>(rng.next() >> 56)});
    return out;
}

std::optional<DnsMessage> dns_fault_answer(model::DnsCase dns_case,
                                           std::span<const std::byte> request) {
    using model::DnsCase;
    switch (dns_case) {
        case DnsCase::Delay:
        case DnsCase::Timeout:
            return std::nullopt;
        case DnsCase::Truncated:
            return dns_response(request, kDnsNoError, true);
        case DnsCase::Refused:
            return dns_response(request, kDnsRefused, false);
        case DnsCase::ServFail:
            return dns_response(request, kDnsServFail, false);
        case DnsCase::NxDomain:
            return dns_response(request, kDnsNxDomain, false);
        case DnsCase::EmptyAnswer:
            return dns_response(request, kDnsNoError, false);
        case DnsCase::RandomA:
            return dns_random_a_response(request);
    }
    return std::nullopt;
}

}  // namespace ostrel::engine
