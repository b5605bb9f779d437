#include "ostrel-model/config.hpp"

namespace ostrel::model {

std::string_view tag(TransportProtocol protocol) {
    return protocol == TransportProtocol::Tcp ? "tcp" : "udp";
}

}  // namespace ostrel::model
