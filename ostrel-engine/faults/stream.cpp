#include "ostrel-engine/faults/stream.hpp"

#include <string>

namespace ostrel::engine {

asio::awaitable<IoResult> Bidirectional::write_vectored(
    std::span<const std::span<const std::byte>> slices) {
    for (std::span<const std::byte> slice : slices) {
        if (!slice.empty()) co_return co_await write(slice);
    }
    co_return co_await write({});
}

namespace {

class StreamCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "ostrel.stream"; }

    std::string message(int value) const override {
        switch (static_cast<StreamErrc>(value)) {
            case StreamErrc::fault_reset:
                return "connection reset by fault injection";
            case StreamErrc::write_zero:
                return "write zero byte into writer";
        }
        return "unknown stream error";
    }

    // A fired reset fault reads as an ordinary connection reset to whoever classifies errors.
    std::error_condition default_error_condition(int value) const noexcept override {
        if (static_cast<StreamErrc>(value) == StreamErrc::fault_reset) {
            return std::make_error_condition(std::errc::connection_reset);
        }
        return std::error_condition(value, *this);
    }
};

}  // namespace

const std::error_category& stream_category() {
    static const StreamCategory category;
    return category;
}

std::error_code make_error_code(StreamErrc e) {
    return std::error_code(static_cast<int>(e), stream_category());
}

}  // namespace ostrel::engine
