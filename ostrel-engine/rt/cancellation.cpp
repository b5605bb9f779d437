#include "ostrel-engine/rt/cancellation.hpp"

namespace ostrel::engine::rt {

namespace detail {

void TokenState::add_waiter(TokenWaiter* waiter) {
    {
        std::lock_guard lock(mutex);
        if (!cancelled.load(std::memory_order_relaxed)) {
            waiter->linked = true;
            waiter->prev = nullptr;
            waiter->next = waiters;
            if (waiters != nullptr) {
                waiters->prev = waiter;
            }
            waiters = waiter;
            ++waiter_count;
            return;
        }
    }
    waiter->complete(waiter, {});
}

void TokenState::abort_waiter(TokenWaiter* waiter) {
    {
        std::lock_guard lock(mutex);
        if (!waiter->linked) {
            return;
        }
        waiter->linked = false;
        if (waiter->prev != nullptr) {
            waiter->prev->next = waiter->next;
        } else {
            waiters = waiter->next;
        }
        if (waiter->next != nullptr) {
            waiter->next->prev = waiter->prev;
        }
        --waiter_count;
    }
    waiter->complete(waiter, asio::error::operation_aborted);
}

}  // namespace detail

CancellationToken::CancellationToken() : state_(std::make_shared<detail::TokenState>()) {}

void CancellationToken::cancel() const {
    detail::TokenWaiter* woken = nullptr;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled.load(std::memory_order_relaxed)) {
            return;
        }
        state_->cancelled.store(true, std::memory_order_release);
        woken = std::exchange(state_->waiters, nullptr);
        state_->waiter_count = 0;
        for (auto* waiter = woken; waiter != nullptr; waiter = waiter->next) {
            waiter->linked = false;
        }
        // Under the lock, so that a registration being destroyed on another thread either
        // unlinks its callback before it runs or waits until it has returned.
        for (auto* node = std::exchange(state_->callbacks, nullptr); node != nullptr;) {
            auto* next = node->next;
            node->linked = false;
            node->prev = node->next = nullptr;
            node->callback();
            node = next;
        }
    }
    // A waiter may be freed as soon as its completion is posted: read `next` first.
    while (woken != nullptr) {
        auto* next = woken->next;
        woken->complete(woken, {});
        woken = next;
    }
}

bool CancellationToken::is_cancelled() const noexcept {
    return state_->cancelled.load(std::memory_order_acquire);
}

asio::awaitable<void> CancellationToken::cancelled() const {
    return async_wait(asio::use_awaitable);
}

size_t CancellationToken::waiter_count() const {
    std::lock_guard lock(state_->mutex);
    return state_->waiter_count;
}

CancellationToken::Registration CancellationToken::on_cancel(std::function<void()> callback) const {
    auto node = std::make_unique<detail::TokenCallback>();
    node->callback = std::move(callback);
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->cancelled.load(std::memory_order_relaxed)) {
            node->linked = true;
            node->next = state_->callbacks;
            if (state_->callbacks != nullptr) {
                state_->callbacks->prev = node.get();
            }
            state_->callbacks = node.get();
            Registration registration;
            registration.state_ = state_;
            registration.node_ = node.release();
            return registration;
        }
    }
    node->callback();
    return Registration();
}

CancellationToken::Registration::Registration(Registration&& other) noexcept
    : state_(std::move(other.state_)), node_(std::exchange(other.node_, nullptr)) {}

CancellationToken::Registration& CancellationToken::Registration::operator=(
    Registration&& other) noexcept {
    if (this != &other) {
        reset();
        state_ = std::move(other.state_);
        node_ = std::exchange(other.node_, nullptr);
    }
    return *this;
}

CancellationToken::Registration::~Registration() {
    reset();
}

void CancellationToken::Registration::reset() {
    if (node_ == nullptr) {
        return;
    }
    {
        std::lock_guard lock(state_->mutex);
        if (node_->linked) {
            if (node_->prev != nullptr) {
                node_->prev->next = node_->next;
            } else {
                state_->callbacks = node_->next;
            }
            if (node_->next != nullptr) {
                node_->next->prev = node_->prev;
            }
            node_->linked = false;
        }
    }
    delete node_;
    node_ = nullptr;
    state_.reset();
}

}  // namespace ostrel::engine::rt
