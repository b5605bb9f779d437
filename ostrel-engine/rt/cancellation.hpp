#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <system_error>

#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine::rt {

namespace detail {
struct TokenState;
struct TokenCallback;
}  // namespace detail

// A one-way signal shared by copies: once cancelled, always cancelled. Waiters are woken on
// cancel; a wait on a cancelled token completes at once.
class CancellationToken {
  public:
    class Registration;

    CancellationToken();

    // Wakes every waiter and runs every registered callback, once. Later calls do nothing.
    void cancel() const;
    bool is_cancelled() const noexcept;

    // Completes with no error once the token is cancelled (at once, posted, if it already is).
    // If the operation's own cancellation slot fires first, it completes with
    // operation_aborted and leaves nothing behind, so the wait can lose a race under `||`.
    // Completions are posted to the handler's associated executor, never run inline.
    // Signature: void(std::error_code).
    template <typename CompletionToken>
    auto async_wait(CompletionToken&& token) const;

    // `co_await token.cancelled()`: returns once cancelled; throws operation_aborted if the
    // awaiting coroutine's cancellation fires first. The awaitable holds its own reference to
    // the token's state, so it may outlive this object.
    asio::awaitable<void> cancelled() const;

    // Runs `callback` once when the token is cancelled, on the cancelling thread, or right
    // away on this thread if it already is. The callback runs under the token's lock: it must
    // be short, must not throw, and must not touch this token or any of its registrations.
    // Destroying the registration first unregisters it; once the destructor returns the
    // callback neither runs nor is running.
    [[nodiscard]] Registration on_cancel(std::function<void()> callback) const;

    // How many async_wait operations are pending on the token (for tests and diagnostics).
    size_t waiter_count() const;

    // Copies of one token compare equal.
    bool operator==(const CancellationToken& other) const noexcept {
        return state_ == other.state_;
    }

  private:
    std::shared_ptr<detail::TokenState> state_;
};

class CancellationToken::Registration {
  public:
    Registration() = default;
    Registration(Registration&&) noexcept;
    Registration& operator=(Registration&&) noexcept;
    ~Registration();

    // Unregisters now (the destructor does the same).
    void reset();

  private:
    friend class CancellationToken;
    std::shared_ptr<detail::TokenState> state_;
    detail::TokenCallback* node_ = nullptr;
};

// An operation that never completes by itself: only its cancellation slot ends it, with
// operation_aborted. Used for a stall that must not poll and must not hold a timer: the
// handler is kept inside the slot itself, so nothing else is allocated while it waits.
// Signature: void(std::error_code). The caller must bind a cancellation slot; without one
// nothing could ever end the wait, so it completes at once with operation_not_supported.
template <typename CompletionToken>
auto async_stall(CompletionToken&& token);

}  // namespace ostrel::engine::rt

#include "ostrel-engine/rt/cancellation_impl.hpp"
