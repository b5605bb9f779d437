#pragma once

#include <string>
#include <string_view>

namespace ostrel::model {

enum class TransportProtocol { Tcp, Udp };

std::string_view tag(TransportProtocol protocol);

struct Proxy {
    std::string name;
    TransportProtocol protocol = TransportProtocol::Tcp;
    std::string listen;
    std::string upstream;

    bool operator==(const Proxy&) const = default;
};

}  // namespace ostrel::model
