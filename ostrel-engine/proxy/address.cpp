#include "ostrel-engine/proxy/address.hpp"

#include <arpa/inet.h>

#include <charconv>

namespace ostrel::engine {

namespace {

std::optional<unsigned short> parse_port(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 65535) {
        return std::nullopt;
    }
    return static_cast<unsigned short>(value);
}

}  // namespace

std::optional<asio::ip::address> parse_ip(std::string_view text) {
    std::string copy(text);
    if (copy.find('%') != std::string::npos) return std::nullopt;
    in_addr v4{};
    if (inet_pton(AF_INET, copy.c_str(), &v4) == 1) {
        return asio::ip::address_v4(ntohl(v4.s_addr));
    }
    asio::ip::address_v6::bytes_type v6{};
    if (inet_pton(AF_INET6, copy.c_str(), v6.data()) == 1) {
        return asio::ip::address_v6(v6);
    }
    return std::nullopt;
}

std::optional<asio::ip::tcp::endpoint> parse_socket_address(std::string_view text) {
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto host = text.substr(0, colon);
    auto port = parse_port(text.substr(colon + 1));
    if (!port) return std::nullopt;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        auto address = parse_ip(host.substr(1, host.size() - 2));
        if (!address || !address->is_v6()) return std::nullopt;
        return asio::ip::tcp::endpoint(*address, *port);
    }
    auto address = parse_ip(host);
    if (!address || !address->is_v4()) return std::nullopt;
    return asio::ip::tcp::endpoint(*address, *port);
}

std::string endpoint_text(const asio::ip::address& address, unsigned short port) {
    if (address.is_v6()) {
        return "[" + address.to_v6().to_string() + "]:" + std::to_string(port);
    }
    return address.to_string() + ":" + std::to_string(port);
}

std::optional<HostPort> split_host_port(std::string_view text) {
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto port = text.substr(colon + 1);
    if (!parse_port(port)) return std::nullopt;
    auto host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return HostPort{std::string(host), std::string(port)};
}

}  // namespace ostrel::engine
