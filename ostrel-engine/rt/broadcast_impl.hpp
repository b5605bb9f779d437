#pragma once

#include <cassert>
#include <deque>
#include <mutex>
#include <optional>
#include <tuple>
#include <vector>

#include "ostrel-engine/rt/waiters.hpp"

namespace ostrel::engine::rt {

// Messages carry consecutive sequence numbers; the ring holds [first, first + ring.size()).
template <typename T>
struct BroadcastSender<T>::State {
    explicit State(size_t capacity) : capacity(capacity) {}

    uint64_t end() const { return first + ring.size(); }

    size_t publish(T value) {
        std::optional<T> overwritten;  // destroyed after the lock is released
        std::vector<std::shared_ptr<detail::Waiter<>>> woken;
        size_t subscribers = 0;
        {
            std::lock_guard lock(mutex);
            subscribers = receivers;
            // Nobody could ever read it: a later subscriber starts after it.
            if (subscribers == 0) return 0;
            if (ring.size() == capacity) {
                overwritten.emplace(std::move(ring.front()));
                ring.pop_front();
                ++first;
            }
            ring.push_back(std::move(value));
            woken = waiters.take_all();
        }
        detail::wake_all(std::move(woken));
        return subscribers;
    }

    enum class Poll { Ready, Pending };

    Poll poll(uint64_t& next, std::optional<BroadcastResult<T>>& out) {
        std::lock_guard lock(mutex);
        if (next < first) {
            out.emplace(Lagged{first - next});
            next = first;
            return Poll::Ready;
        }
        if (next < end()) {
            out.emplace(std::in_place_index<0>, ring[next - first]);
            ++next;
            return Poll::Ready;
        }
        if (senders == 0) {
            out.emplace(Closed{});
            return Poll::Ready;
        }
        return Poll::Pending;
    }

    uint64_t add_receiver() {
        std::lock_guard lock(mutex);
        ++receivers;
        return end();
    }

    void drop_receiver() {
        std::deque<T> dropped;
        std::lock_guard lock(mutex);
        if (--receivers == 0) {
            // Unreadable now; keep the numbering so that nothing else changes.
            first = end();
            dropped.swap(ring);
        }
    }

    void add_sender() {
        std::lock_guard lock(mutex);
        ++senders;
    }

    void drop_sender() {
        std::vector<std::shared_ptr<detail::Waiter<>>> woken;
        {
            std::lock_guard lock(mutex);
            if (--senders == 0) woken = waiters.take_all();
        }
        detail::wake_all(std::move(woken));
    }

    std::mutex mutex;
    const size_t capacity;
    std::deque<T> ring;
    uint64_t first = 0;
    size_t senders = 1;
    size_t receivers = 0;
    detail::WaiterList<> waiters{mutex};
};

template <typename T>
BroadcastSender<T> make_broadcast(size_t capacity) {
    assert(capacity > 0 && "a broadcast ring needs room for at least one message");
    BroadcastSender<T> sender;
    sender.state_ = std::make_shared<typename BroadcastSender<T>::State>(capacity);
    return sender;
}

template <typename T>
BroadcastSender<T>::BroadcastSender(const BroadcastSender& other) : state_(other.state_) {
    if (state_) state_->add_sender();
}

template <typename T>
BroadcastSender<T>::BroadcastSender(BroadcastSender&& other) noexcept
    : state_(std::move(other.state_)) {}

template <typename T>
BroadcastSender<T>& BroadcastSender<T>::operator=(const BroadcastSender& other) {
    if (this != &other) *this = BroadcastSender(other);
    return *this;
}

template <typename T>
BroadcastSender<T>& BroadcastSender<T>::operator=(BroadcastSender&& other) noexcept {
    if (this != &other) {
        if (state_) state_->drop_sender();
        state_ = std::move(other.state_);
    }
    return *this;
}

template <typename T>
BroadcastSender<T>::~BroadcastSender() {
    if (state_) state_->drop_sender();
}

template <typename T>
size_t BroadcastSender<T>::send(T value) {
    assert(state_ && "send on an empty BroadcastSender");
    return state_->publish(std::move(value));
}

template <typename T>
BroadcastReceiver<T> BroadcastSender<T>::subscribe() const {
    assert(state_ && "subscribe on an empty BroadcastSender");
    BroadcastReceiver<T> receiver;
    receiver.next_ = state_->add_receiver();
    receiver.state_ = state_;
    return receiver;
}

template <typename T>
BroadcastReceiver<T>::BroadcastReceiver(BroadcastReceiver&& other) noexcept
    : state_(std::move(other.state_)), next_(other.next_) {}

template <typename T>
BroadcastReceiver<T>& BroadcastReceiver<T>::operator=(BroadcastReceiver&& other) noexcept {
    if (this != &other) {
        if (state_) state_->drop_receiver();
        state_ = std::move(other.state_);
        next_ = other.next_;
    }
    return *this;
}

template <typename T>
BroadcastReceiver<T>::~BroadcastReceiver() {
    if (state_) state_->drop_receiver();
}

template <typename T>
asio::awaitable<BroadcastResult<T>> BroadcastReceiver<T>::receive() {
    using State = typename BroadcastSender<T>::State;
    std::shared_ptr<State> state = state_;
    assert(state && "receive on an empty BroadcastReceiver");
    std::shared_ptr<detail::WaiterList<>> waiters(state, &state->waiters);
    for (;;) {
        std::optional<BroadcastResult<T>> result;
        if (state->poll(next_, result) == State::Poll::Ready) co_return std::move(*result);
        auto ready = [state, next = next_]() -> std::optional<std::tuple<>> {
            if (next < state->end() || state->senders == 0) return std::tuple<>();
            return std::nullopt;
        };
        auto wait = detail::async_wait(waiters, std::move(ready), asio::use_awaitable);
        co_await std::move(wait);
    }
}

}  // namespace ostrel::engine::rt
