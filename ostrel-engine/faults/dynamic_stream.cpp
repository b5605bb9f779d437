#include "ostrel-engine/faults/dynamic_stream.hpp"

#include <chrono>
#include <type_traits>

namespace ostrel::engine {

namespace {

// How long a direction waiting to re-layer waits before it signals the other direction again.
// The first signal normally ends the other side's wait at once; a second one is needed only
// when the other side's completion was already queued and it went on into a fresh wait.
constexpr auto kReemitPeriod = std::chrono::milliseconds(5);

size_t index(Side side) {
    return side == Side::ToUpstream ? 0 : 1;
}

Side opposite(Side side) {
    return side == Side::ToUpstream ? Side::ToClient : Side::ToUpstream;
}

bool is_aborted(const IoResult& result) {
    return !result && result.error() == asio::error::operation_aborted;
}
bool is_aborted(const std::error_code& ec) {
    return ec == asio::error::operation_aborted;
}

template <typename Result>
Result failure(std::error_code ec) {
    if constexpr (std::is_same_v<Result, IoResult>) {
        return std::unexpected(ec);
    } else {
        return ec;
    }
}

// Carries the awaiting coroutine's cancellation into the stack, whose waits listen only to
// their side's signal.
struct ForwardCancellation {
    asio::cancellation_signal* signal;
    void operator()(asio::cancellation_type_t type) const { signal->emit(type); }
};

bool cancelled(const asio::cancellation_state& caller) {
    return caller.cancelled() != asio::cancellation_type::none;
}

}  // namespace

DynamicFaultStream::DynamicFaultStream(FaultRuntime runtime, std::unique_ptr<Bidirectional> base,
                                       std::shared_ptr<StreamContext> ctx, rt::Executor strand)
    : runtime_(std::move(runtime)),
      ctx_(std::move(ctx)),
      strand_(std::move(strand)),
      active_(runtime_.current()) {
    stack_ = active_->chain.wrap(*ctx_, std::move(base));
    watch();
}

DynamicFaultStream::~DynamicFaultStream() {
    registration_.reset();
    stack_.reset();
    // The context may outlive the stack, and a wake-up may still be queued for it: the signals
    // must not keep handlers of waits on objects that are gone.
    ctx_->read_signal.slot().clear();
    ctx_->write_signal.slot().clear();
}

asio::awaitable<IoResult> DynamicFaultStream::read(std::span<std::byte> buffer) {
    return run<IoResult>(Side::ToUpstream, [this, buffer] { return stack_->read(buffer); });
}

asio::awaitable<IoResult> DynamicFaultStream::write(std::span<const std::byte> data) {
    return run<IoResult>(Side::ToClient, [this, data] { return stack_->write(data); });
}

asio::awaitable<std::error_code> DynamicFaultStream::flush() {
    return run<std::error_code>(Side::ToClient, [this] { return stack_->flush(); });
}

asio::awaitable<std::error_code> DynamicFaultStream::shutdown() {
    return run<std::error_code>(Side::ToClient, [this] { return stack_->shutdown(); });
}

std::error_code DynamicFaultStream::reset() {
    return stack_->reset();
}

void DynamicFaultStream::stop() {
    stopped_ = true;
    ctx_->read_signal.emit(asio::cancellation_type::terminal);
    ctx_->write_signal.emit(asio::cancellation_type::terminal);
    if (awaiting_leave_ && leave_timer_) leave_timer_->cancel();
}

template <typename Result, typename Op>
asio::awaitable<Result> DynamicFaultStream::run(Side side, Op op) {
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    for (;;) {
        if (stopped_ || cancelled(caller)) {
            co_return failure<Result>(asio::error::operation_aborted);
        }
        // The idle check: one atomic load while the set stays the same.
        if (active_->token.is_cancelled()) {
            if (auto ec = co_await relayer(side, caller)) co_return failure<Result>(ec);
        }

        struct InStack {
            DynamicFaultStream* self;
            Side side;
            asio::cancellation_slot slot;
            ~InStack() {
                if (slot.is_connected()) slot.clear();
                self->left(side);
            }
        } in_stack{this, side, caller.slot()};
        in_stack_[index(side)] = true;
        if (in_stack.slot.is_connected()) {
            in_stack.slot.template emplace<ForwardCancellation>(&ctx_->signal(side));
        }
        Result result = co_await op();

        // Any other abort came from a fault change, possibly one already handled: retry,
        // after re-layering if the set really changed. Layers keep their pending deadlines, so
        // a retry on the same stack neither redraws a delay nor restarts a pause.
        if (!is_aborted(result) || stopped_ || cancelled(caller)) co_return result;
    }
}

asio::awaitable<std::error_code> DynamicFaultStream::relayer(
    Side side, const asio::cancellation_state& caller) {
    const Side other = opposite(side);
    while (active_->token.is_cancelled()) {
        std::shared_ptr<const ActiveFaults> current = runtime_.current();
        // Installed again as it was: nothing to rebuild.
        if (current == active_) break;
        if (!in_stack_[index(other)]) {
            rebuild(std::move(current));
            continue;
        }
        // The other direction is inside the stack, in layers about to be dropped: end its wait
        // and let it leave first. It comes back through its own refresh and finds the new stack.
        ctx_->signal(other).emit(asio::cancellation_type::terminal);
        if (!leave_timer_) leave_timer_.emplace(strand_);
        leave_timer_->expires_after(kReemitPeriod);
        awaiting_leave_ = true;
        co_await leave_timer_->async_wait(rt::use_tuple);
        awaiting_leave_ = false;
        if (stopped_ || cancelled(caller)) {
            co_return make_error_code(asio::error::operation_aborted);
        }
    }
    co_return std::error_code();
}

void DynamicFaultStream::rebuild(std::shared_ptr<const ActiveFaults> next) {
    registration_.reset();
    std::unique_ptr<Bidirectional> stream = std::move(stack_);
    for (;;) {
        Bidirectional::Peeled peeled = Bidirectional::peel(std::move(stream));
        stream = std::move(peeled.stream);
        if (peeled.base) break;
    }
    // Neither direction is inside the stack now; handlers of finished waits on the dropped
    // layers' timers must never be called.
    ctx_->read_signal.slot().clear();
    ctx_->write_signal.slot().clear();
    stack_ = next->chain.wrap(*ctx_, std::move(stream));
    active_ = std::move(next);
    watch();
}

void DynamicFaultStream::watch() {
    // The callback runs on the cancelling thread under the token's lock: it only posts the
    // wake-up to the connection's strand. A wake-up that arrives after the connection ended
    // finds no context and does nothing.
    registration_ =
        active_->token.on_cancel([ctx = std::weak_ptr<StreamContext>(ctx_), strand = strand_] {
            asio::post(strand, [ctx] {
                if (auto alive = ctx.lock()) {
                    alive->read_signal.emit(asio::cancellation_type::terminal);
                    alive->write_signal.emit(asio::cancellation_type::terminal);
                }
            });
        });
}

void DynamicFaultStream::left(Side side) {
    in_stack_[index(side)] = false;
    if (awaiting_leave_ && leave_timer_) leave_timer_->cancel();
}

}  // namespace ostrel::engine
