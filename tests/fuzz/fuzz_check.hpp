#pragma once

// What the fuzz harnesses share: a check that survives NDEBUG and names the broken property,
// and a view of libFuzzer's input as text or bytes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

// libFuzzer saves the input that made the process abort, so a failed property is a crash.
#define FUZZ_CHECK(condition)                                                               \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__, \
                         #condition);                                                       \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

namespace ostrel::fuzz {

inline std::string_view as_text(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

inline std::span<const std::byte> as_bytes(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const std::byte*>(data), size};
}

}  // namespace ostrel::fuzz
