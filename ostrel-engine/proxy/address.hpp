#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine {

// A literal socket address: an IPv4 address and port (127.0.0.1:8080) or an IPv6 address in
// square brackets and a port ([::1]:8080). Host names are not addresses.
std::optional<asio::ip::address> parse_ip(std::string_view text);
std::optional<asio::ip::tcp::endpoint> parse_socket_address(std::string_view text);

// The parse error's text for anything else.
inline constexpr std::string_view kInvalidSocketAddress = "invalid socket address syntax";

// "a.b.c.d:port", or "[v6]:port".
std::string endpoint_text(const asio::ip::address& address, unsigned short port);
template <typename Endpoint>
std::string endpoint_text(const Endpoint& endpoint) {
    return endpoint_text(endpoint.address(), endpoint.port());
}

// Splits "host:port" at the last colon (brackets around an IPv6 host are removed); none when
// there is no port or it is not a 16-bit number.
struct HostPort {
    std::string host;
    std::string port;
};
std::optional<HostPort> split_host_port(std::string_view text);

}  // namespace ostrel::engine
