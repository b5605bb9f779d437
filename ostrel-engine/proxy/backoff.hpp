#pragma once

#include <algorithm>
#include <chrono>
#include <system_error>

#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine {

// Accepting or receiving can fail for want of descriptors or memory while the socket itself is
// sound. Such a failure passes once resources return, so it pauses the proxy instead of ending
// it.
inline bool is_resource_error(const std::error_code& ec) {
    const std::error_code code = rt::os_error(ec);
    return code == std::errc::too_many_files_open ||
           code == std::errc::too_many_files_open_in_system || code == std::errc::no_buffer_space ||
           code == std::errc::not_enough_memory || code == std::errc::connection_aborted;
}

// The pauses between retries after resource errors: 10 ms, doubling up to 1 s, back to 10 ms
// after a success.
class Backoff {
  public:
    static constexpr std::chrono::milliseconds kFirst{10};
    static constexpr std::chrono::milliseconds kLongest{1000};

    // The pause to take now; the next one is twice as long, up to kLongest.
    std::chrono::milliseconds next() {
        const auto pause = pause_;
        pause_ = std::min(pause_ * 2, kLongest);
        return pause;
    }
    void reset() { pause_ = kFirst; }

  private:
    std::chrono::milliseconds pause_ = kFirst;
};

}  // namespace ostrel::engine
