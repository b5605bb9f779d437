#pragma once

#include <cassert>
#include <mutex>
#include <tuple>

#include "ostrel-engine/rt/waiters.hpp"

namespace ostrel::engine::rt {

template <typename T>
struct OneShotSender<T>::State {
    std::mutex mutex;
    std::optional<T> value;
    bool sender_done = false;  // sent, or gone without sending
    bool receiver_alive = true;
    detail::WaiterList<> waiters{mutex};

    bool ready() const { return value.has_value() || sender_done || !receiver_alive; }

    // True when the receive is over: `out` holds the value, or the sender is gone without one.
    bool take(std::optional<T>& out) {
        std::lock_guard lock(mutex);
        if (value) {
            out.swap(value);
            return true;
        }
        return sender_done || !receiver_alive;
    }

    void finish_sender(std::optional<T> sent) {
        std::vector<std::shared_ptr<detail::Waiter<>>> woken;
        {
            std::lock_guard lock(mutex);
            if (sent && receiver_alive) value = std::move(sent);
            sender_done = true;
            woken = waiters.take_all();
        }
        detail::wake_all(std::move(woken));
    }
};

template <typename T>
std::pair<OneShotSender<T>, OneShotReceiver<T>> make_oneshot() {
    auto state = std::make_shared<typename OneShotSender<T>::State>();
    OneShotSender<T> sender;
    sender.state_ = state;
    OneShotReceiver<T> receiver;
    receiver.state_ = std::move(state);
    return {std::move(sender), std::move(receiver)};
}

template <typename T>
OneShotSender<T>& OneShotSender<T>::operator=(OneShotSender&& other) noexcept {
    if (this != &other) {
        OneShotSender gone(std::move(*this));
        state_ = std::move(other.state_);
    }
    return *this;
}

template <typename T>
OneShotSender<T>::~OneShotSender() {
    if (state_) state_->finish_sender(std::nullopt);
}

template <typename T>
bool OneShotSender<T>::send(T value) {
    if (!state_) return false;
    std::shared_ptr<State> state = std::move(state_);
    {
        std::lock_guard lock(state->mutex);
        if (!state->receiver_alive) {
            state->sender_done = true;
            return false;
        }
    }
    state->finish_sender(std::move(value));
    return true;
}

template <typename T>
OneShotReceiver<T>::~OneShotReceiver() {
    if (!state_) return;
    std::optional<T> dropped;  // destroyed after the lock is released
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    dropped.swap(state_->value);
}

template <typename T>
OneShotReceiver<T>& OneShotReceiver<T>::operator=(OneShotReceiver&& other) noexcept {
    if (this != &other) {
        OneShotReceiver gone(std::move(*this));
        state_ = std::move(other.state_);
    }
    return *this;
}

template <typename T>
asio::awaitable<std::optional<T>> OneShotReceiver<T>::receive() {
    using State = typename OneShotSender<T>::State;
    std::shared_ptr<State> state = state_;
    assert(state && "receive on an empty OneShotReceiver");
    std::shared_ptr<detail::WaiterList<>> waiters(state, &state->waiters);
    for (;;) {
        std::optional<T> value;
        if (state->take(value)) co_return value;
        auto ready = [state]() -> std::optional<std::tuple<>> {
            if (state->ready()) return std::tuple<>();
            return std::nullopt;
        };
        auto wait = detail::async_wait(waiters, std::move(ready), asio::use_awaitable);
        co_await std::move(wait);
    }
}

}  // namespace ostrel::engine::rt
