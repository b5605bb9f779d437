#pragma once

// Answers a dns fault sends in place of the upstream: the client's own header and question
// with the flags of the case, in RFC 1035 wire format.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ostrel-model/fault.hpp"

namespace ostrel::engine {

using DnsMessage = std::vector<std::byte>;

inline constexpr uint8_t kDnsNoError = 0;
inline constexpr uint8_t kDnsServFail = 2;
inline constexpr uint8_t kDnsNxDomain = 3;
inline constexpr uint8_t kDnsRefused = 5;

// The request's header and single question with QR and RA set, the given RCODE and TC bit, and
// every count but QDCOUNT zero. None when the request holds no single, complete question.
std::optional<DnsMessage> dns_response(std::span<const std::byte> request, uint8_t rcode,
                                       bool truncated);

// A no-error answer that, for a question of type A and class IN, carries one A record with a
// random address and a TTL of 30 seconds.
std::optional<DnsMessage> dns_random_a_response(std::span<const std::byte> request);

// The answer of a dns fault case; none for "delay" and "timeout", which answer nothing, and
// for a request that cannot be answered (it is forwarded instead).
std::optional<DnsMessage> dns_fault_answer(model::DnsCase dns_case,
                                           std::span<const std::byte> request);

}  // namespace ostrel::engine
