#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace ostrel::engine::rt::detail {

// The executor a pending operation keeps busy until its handler has run, so that the context
// does not run out of work while the operation waits.
template <typename Handler>
using TrackedExecutor =
    std::decay_t<decltype(asio::prefer(std::declval<asio::associated_executor_t<Handler>>(),
                                       asio::execution::outstanding_work.tracked))>;

template <typename Handler>
TrackedExecutor<Handler> tracked_executor(const Handler& handler) {
    return asio::prefer(asio::get_associated_executor(handler),
                        asio::execution::outstanding_work.tracked);
}

// One pending async_wait, linked into its token's list while it waits.
struct TokenWaiter {
    TokenWaiter* prev = nullptr;
    TokenWaiter* next = nullptr;
    bool linked = false;  // guarded by the token's mutex
    std::shared_ptr<TokenState> state;
    // Posts the completion; the waiter is freed by the posted function.
    void (*complete)(TokenWaiter*, std::error_code) = nullptr;
};

struct TokenCallback {
    std::function<void()> callback;
    TokenCallback* prev = nullptr;
    TokenCallback* next = nullptr;
    bool linked = false;  // guarded by the token's mutex
};

struct TokenState {
    std::mutex mutex;
    std::atomic<bool> cancelled{false};
    TokenWaiter* waiters = nullptr;
    size_t waiter_count = 0;
    TokenCallback* callbacks = nullptr;

    // Links the waiter, or completes it at once (posted) if the token is already cancelled.
    void add_waiter(TokenWaiter* waiter);
    // The waiter's own cancellation fired: whoever unlinks the waiter first completes it, so
    // this does nothing if cancel() already took it.
    void abort_waiter(TokenWaiter* waiter);
};

// Installed in the waiter's cancellation slot. The waiter it points to stays alive until the
// posted completion has cleared the slot, and both run on the handler's executor, so the
// pointer is never stale when this is called.
struct TokenWaitCancellation {
    TokenWaiter* waiter;

    void operator()(asio::cancellation_type_t type) const {
        if (type != asio::cancellation_type::none) {
            waiter->state->abort_waiter(waiter);
        }
    }
};

template <typename Handler>
class TokenWaitOp final : public TokenWaiter {
  public:
    TokenWaitOp(Handler handler, std::shared_ptr<TokenState> token)
        : handler_(std::move(handler)),
          slot_(asio::get_associated_cancellation_slot(handler_)),
          work_(tracked_executor(handler_)) {
        state = std::move(token);
        complete = &TokenWaitOp::post_completion;
    }

    // Called before the waiter is visible to cancel(), on the handler's executor, so the slot
    // cannot fire while it is being filled.
    void install_cancellation() {
        if (slot_.is_connected()) {
            slot_.template emplace<TokenWaitCancellation>(TokenWaitCancellation{this});
        }
    }

  private:
    class Completion {
      public:
        explicit Completion(TokenWaitOp* op) : op_(op) {}

        void operator()() {
            std::unique_ptr<TokenWaitOp> op = std::move(op_);
            // The slot must not point at the waiter once it is gone.
            if (op->slot_.is_connected()) {
                op->slot_.clear();
            }
            Handler handler = std::move(op->handler_);
            auto work = std::move(op->work_);
            std::error_code result = op->result_;
            op.reset();
            std::move(handler)(result);
        }

      private:
        std::unique_ptr<TokenWaitOp> op_;
    };

    static void post_completion(TokenWaiter* waiter, std::error_code result) {
        auto* op = static_cast<TokenWaitOp*>(waiter);
        op->result_ = result;
        auto executor = op->work_;
        asio::post(executor, Completion(op));
    }

    Handler handler_;
    asio::associated_cancellation_slot_t<Handler> slot_;
    TrackedExecutor<Handler> work_;
    std::error_code result_;
};

struct InitiateTokenWait {
    std::shared_ptr<TokenState> state;

    template <typename Handler>
    void operator()(Handler&& handler) const {
        auto* op = new TokenWaitOp<std::decay_t<Handler>>(std::forward<Handler>(handler), state);
        op->install_cancellation();
        state->add_waiter(op);
    }
};

// Lives in the stalled operation's cancellation slot and owns its handler: the slot's own
// storage is the only memory the stall uses while it waits.
template <typename Handler>
class StallCancellation {
  public:
    using Slot = asio::associated_cancellation_slot_t<Handler>;

    StallCancellation(Handler handler, Slot slot)
        : handler_(std::move(handler)), slot_(slot), work_(tracked_executor(*handler_)) {}

    void operator()(asio::cancellation_type_t type) {
        if (type == asio::cancellation_type::none || !handler_) {
            return;
        }
        // The handler cannot run inline: it would clear the slot this object lives in while
        // the signal is still calling it.
        asio::post(work_, Completion{std::move(*handler_), slot_});
        handler_.reset();
    }

  private:
    struct Completion {
        Handler handler;
        Slot slot;

        void operator()() {
            slot.clear();
            std::move(handler)(std::error_code(asio::error::operation_aborted));
        }
    };

    std::optional<Handler> handler_;
    Slot slot_;
    TrackedExecutor<Handler> work_;
};

struct InitiateStall {
    template <typename Handler>
    void operator()(Handler&& handler) const {
        using H = std::decay_t<Handler>;
        auto slot = asio::get_associated_cancellation_slot(handler);
        if (!slot.is_connected()) {
            auto executor = tracked_executor(handler);
            asio::post(executor, [h = H(std::forward<Handler>(handler))]() mutable {
                std::move(h)(std::error_code(asio::error::operation_not_supported));
            });
            return;
        }
        slot.template emplace<StallCancellation<H>>(H(std::forward<Handler>(handler)), slot);
    }
};

}  // namespace ostrel::engine::rt::detail

namespace ostrel::engine::rt {

template <typename CompletionToken>
auto CancellationToken::async_wait(CompletionToken&& token) const {
    return asio::async_initiate<CompletionToken, void(std::error_code)>(
        detail::InitiateTokenWait{state_}, token);
}

template <typename CompletionToken>
auto async_stall(CompletionToken&& token) {
    return asio::async_initiate<CompletionToken, void(std::error_code)>(detail::InitiateStall{},
                                                                        token);
}

}  // namespace ostrel::engine::rt
