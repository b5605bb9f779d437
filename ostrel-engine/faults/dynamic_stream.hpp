#pragma once

#include <memory>
#include <optional>
#include <span>
#include <system_error>

#include "ostrel-engine/faults/runtime.hpp"
#include "ostrel-engine/faults/stream.hpp"
#include "ostrel-engine/rt/asio.hpp"
#include "ostrel-engine/rt/cancellation.hpp"

namespace ostrel::engine {

// A connection's fault stack that follows its proxy's fault set. The stack is built from the
// set current at construction; when a new set is installed, the old set's token wakes the
// connection (both side signals are emitted on its strand) and the next operation on either
// side peels the stack down to the base stream and builds it again from the new set.
//
// Every member function, and the destructor, must run on the connection's strand. The two
// directions of a relay may each have one operation in flight at the same time (reads on one,
// writes, flushes and shutdowns on the other).
class DynamicFaultStream {
  public:
    DynamicFaultStream(FaultRuntime runtime, std::unique_ptr<Bidirectional> base,
                       std::shared_ptr<StreamContext> ctx, rt::Executor strand);
    ~DynamicFaultStream();

    DynamicFaultStream(const DynamicFaultStream&) = delete;
    DynamicFaultStream& operator=(const DynamicFaultStream&) = delete;

    // Operations end with operation_aborted once the stream is stopped, or when the awaiting
    // coroutine's own cancellation fires (a race lost under `||`, an aborted task). An abort
    // that comes from a fault change is absorbed: the operation is retried on the new stack.
    asio::awaitable<IoResult> read(std::span<std::byte> buffer);
    asio::awaitable<IoResult> write(std::span<const std::byte> data);
    asio::awaitable<std::error_code> flush();
    asio::awaitable<std::error_code> shutdown();
    std::error_code reset();

    // Ends every operation in flight, and every later one, with operation_aborted.
    void stop();
    bool stopped() const { return stopped_; }

    // The set the current stack was built from.
    const std::shared_ptr<const ActiveFaults>& active() const { return active_; }
    const std::shared_ptr<StreamContext>& context() const { return ctx_; }

  private:
    static constexpr size_t kSides = 2;

    template <typename Result, typename Op>
    asio::awaitable<Result> run(Side side, Op op);
    // Re-layers after the set changed; waits while the other direction is inside the stack.
    asio::awaitable<std::error_code> relayer(Side side, const asio::cancellation_state& caller);
    void rebuild(std::shared_ptr<const ActiveFaults> next);
    void watch();
    void left(Side side);

    FaultRuntime runtime_;
    std::shared_ptr<StreamContext> ctx_;
    rt::Executor strand_;
    std::shared_ptr<const ActiveFaults> active_;
    std::unique_ptr<Bidirectional> stack_;
    rt::CancellationToken::Registration registration_;
    bool in_stack_[kSides] = {false, false};
    bool stopped_ = false;
    // Woken when a direction leaves the stack while the other waits to re-layer.
    std::optional<asio::steady_timer> leave_timer_;
    bool awaiting_leave_ = false;
};

}  // namespace ostrel::engine
