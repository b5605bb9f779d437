#pragma once

#include <cassert>
#include <deque>
#include <mutex>
#include <tuple>
#include <vector>

#include "ostrel-engine/rt/waiters.hpp"

namespace ostrel::engine::rt {

// A sender that finds the queue full waits for a slot. A slot freed by the receiver is
// reserved for the first waiting sender (counted in `reserved`) and handed to it as a
// SendSlot; the sender then stores its value through the slot. Until then the value stays with
// the sender, so a sender cancelled at any point keeps its value, and dropping an unused slot
// hands it to the next waiting sender. While senders wait, the queue counts as full for
// everyone else, which keeps waiting senders in arrival order.
template <typename T>
struct QueueSender<T>::State : std::enable_shared_from_this<State> {
    class SendSlot {
      public:
        SendSlot() = default;
        explicit SendSlot(std::shared_ptr<State> state) : state_(std::move(state)) {}
        SendSlot(SendSlot&& other) noexcept : state_(std::move(other.state_)) {}
        SendSlot& operator=(SendSlot&& other) noexcept {
            if (this != &other) {
                release();
                state_ = std::move(other.state_);
            }
            return *this;
        }
        ~SendSlot() { release(); }

        // False, dropping the value, when there is no slot: the receiver is gone.
        bool commit(T value) {
            if (!state_) return false;
            std::shared_ptr<State> state = std::move(state_);
            return state->commit(std::move(value));
        }

      private:
        void release() {
            if (std::shared_ptr<State> state = std::move(state_)) state->release_slot();
        }
        std::shared_ptr<State> state_;
    };

    explicit State(size_t capacity) : capacity(capacity) {}

    bool has_room() const { return items.size() + reserved < capacity; }

    TrySend try_push(T& value) {
        std::vector<std::shared_ptr<detail::Waiter<>>> woken;
        {
            std::lock_guard lock(mutex);
            if (!receiver_alive) return TrySend::Closed;
            if (!send_waiters.empty() || !has_room()) return TrySend::Full;
            items.push_back(std::move(value));
            woken = receive_waiters.take_all();
        }
        detail::wake_all(std::move(woken));
        return TrySend::Sent;
    }

    bool commit(T value) {
        std::vector<std::shared_ptr<detail::Waiter<>>> woken;
        {
            std::lock_guard lock(mutex);
            --reserved;
            if (!receiver_alive) return false;
            items.push_back(std::move(value));
            woken = receive_waiters.take_all();
        }
        detail::wake_all(std::move(woken));
        return true;
    }

    void release_slot() {
        std::shared_ptr<detail::Waiter<SendSlot>> next;
        {
            std::lock_guard lock(mutex);
            --reserved;
            next = reserve_for_waiter();
        }
        if (next) next->complete({}, SendSlot(this->shared_from_this()));
    }

    // Under the lock: unlinks the first waiting sender and reserves a slot for it, if there is
    // room and a receiver to fill it for.
    std::shared_ptr<detail::Waiter<SendSlot>> reserve_for_waiter() {
        if (!receiver_alive || !has_room()) return nullptr;
        auto next = send_waiters.pop();
        if (next) ++reserved;
        return next;
    }

    enum class Poll { Ready, Pending, Finished };

    Poll poll_receive(std::optional<T>& out) {
        std::shared_ptr<detail::Waiter<SendSlot>> next;
        {
            std::lock_guard lock(mutex);
            if (items.empty()) {
                return senders == 0 || !receiver_alive ? Poll::Finished : Poll::Pending;
            }
            out.emplace(std::move(items.front()));
            items.pop_front();
            next = reserve_for_waiter();
        }
        if (next) next->complete({}, SendSlot(this->shared_from_this()));
        return Poll::Ready;
    }

    void add_sender() {
        std::lock_guard lock(mutex);
        ++senders;
    }

    void drop_sender() {
        std::vector<std::shared_ptr<detail::Waiter<>>> woken;
        {
            std::lock_guard lock(mutex);
            if (--senders == 0) woken = receive_waiters.take_all();
        }
        detail::wake_all(std::move(woken));
    }

    void drop_receiver() {
        std::deque<T> dropped;
        std::vector<std::shared_ptr<detail::Waiter<SendSlot>>> refused;
        std::vector<std::shared_ptr<detail::Waiter<>>> woken;
        {
            std::lock_guard lock(mutex);
            receiver_alive = false;
            dropped.swap(items);
            refused = send_waiters.take_all();
            woken = receive_waiters.take_all();
        }
        for (auto& sender : refused) sender->complete({}, SendSlot());
        detail::wake_all(std::move(woken));
    }

    std::mutex mutex;
    const size_t capacity;
    std::deque<T> items;
    size_t reserved = 0;
    size_t senders = 1;
    bool receiver_alive = true;
    detail::WaiterList<SendSlot> send_waiters{mutex};
    detail::WaiterList<> receive_waiters{mutex};
};

template <typename T>
std::pair<QueueSender<T>, QueueReceiver<T>> make_queue(size_t capacity) {
    assert(capacity > 0 && "a queue needs room for at least one value");
    auto state = std::make_shared<typename QueueSender<T>::State>(capacity);
    QueueSender<T> sender;
    sender.state_ = state;
    QueueReceiver<T> receiver;
    receiver.state_ = std::move(state);
    return {std::move(sender), std::move(receiver)};
}

template <typename T>
QueueSender<T>::QueueSender(const QueueSender& other) : state_(other.state_) {
    if (state_) state_->add_sender();
}

template <typename T>
QueueSender<T>::QueueSender(QueueSender&& other) noexcept : state_(std::move(other.state_)) {}

template <typename T>
QueueSender<T>& QueueSender<T>::operator=(const QueueSender& other) {
    if (this != &other) *this = QueueSender(other);
    return *this;
}

template <typename T>
QueueSender<T>& QueueSender<T>::operator=(QueueSender&& other) noexcept {
    if (this != &other) {
        if (state_) state_->drop_sender();
        state_ = std::move(other.state_);
    }
    return *this;
}

template <typename T>
QueueSender<T>::~QueueSender() {
    if (state_) state_->drop_sender();
}

template <typename T>
asio::awaitable<bool> QueueSender<T>::send(T value) {
    std::shared_ptr<State> state = state_;
    assert(state && "send on an empty QueueSender");
    switch (state->try_push(value)) {
        case TrySend::Sent:
            co_return true;
        case TrySend::Closed:
            co_return false;
        case TrySend::Full:
            break;
    }
    using SendSlot = typename State::SendSlot;
    std::shared_ptr<detail::WaiterList<SendSlot>> waiters(state, &state->send_waiters);
    auto ready = [state]() -> std::optional<std::tuple<SendSlot>> {
        if (!state->receiver_alive) return std::tuple<SendSlot>();
        if (!state->send_waiters.empty() || !state->has_room()) return std::nullopt;
        ++state->reserved;
        return std::tuple<SendSlot>(SendSlot(state));
    };
    auto wait = detail::async_wait(std::move(waiters), std::move(ready), asio::use_awaitable);
    SendSlot slot = co_await std::move(wait);
    co_return slot.commit(std::move(value));
}

template <typename T>
TrySend QueueSender<T>::try_send(T value) {
    assert(state_ && "try_send on an empty QueueSender");
    return state_->try_push(value);
}

template <typename T>
bool QueueSender<T>::is_closed() const {
    std::lock_guard lock(state_->mutex);
    return !state_->receiver_alive;
}

template <typename T>
QueueReceiver<T>::QueueReceiver(QueueReceiver&& other) noexcept : state_(std::move(other.state_)) {}

template <typename T>
QueueReceiver<T>& QueueReceiver<T>::operator=(QueueReceiver&& other) noexcept {
    if (this != &other) {
        if (state_) state_->drop_receiver();
        state_ = std::move(other.state_);
    }
    return *this;
}

template <typename T>
QueueReceiver<T>::~QueueReceiver() {
    if (state_) state_->drop_receiver();
}

template <typename T>
asio::awaitable<std::optional<T>> QueueReceiver<T>::receive() {
    using State = typename QueueSender<T>::State;
    std::shared_ptr<State> state = state_;
    assert(state && "receive on an empty QueueReceiver");
    std::shared_ptr<detail::WaiterList<>> waiters(state, &state->receive_waiters);
    for (;;) {
        std::optional<T> value;
        if (state->poll_receive(value) != State::Poll::Pending) co_return value;
        // Only a wake-up travels to the waiting receiver; the value is taken here, after
        // resumption, so a receive cancelled at any point leaves the queue untouched.
        auto ready = [state]() -> std::optional<std::tuple<>> {
            if (!state->items.empty() || state->senders == 0 || !state->receiver_alive) {
                return std::tuple<>();
            }
            return std::nullopt;
        };
        auto wait = detail::async_wait(waiters, std::move(ready), asio::use_awaitable);
        co_await std::move(wait);
    }
}

template <typename T>
std::optional<T> QueueReceiver<T>::try_receive() {
    assert(state_ && "try_receive on an empty QueueReceiver");
    std::optional<T> value;
    state_->poll_receive(value);
    return value;
}

}  // namespace ostrel::engine::rt
