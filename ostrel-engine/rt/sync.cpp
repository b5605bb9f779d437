#include "ostrel-engine/rt/sync.hpp"

#include <mutex>
#include <tuple>

#include "ostrel-engine/rt/waiters.hpp"

namespace ostrel::engine::rt {

// `locked` stays true while the lock passes from a releasing guard to the next waiter, so a
// try_lock cannot slip in ahead of the queue.
struct AsyncMutex::State {
    std::mutex mutex;
    bool locked = false;
    detail::WaiterList<Guard> waiters{mutex};
};

AsyncMutex::AsyncMutex() : state_(std::make_shared<State>()) {}

asio::awaitable<AsyncMutex::Guard> AsyncMutex::lock() {
    auto state = state_;
    std::shared_ptr<detail::WaiterList<Guard>> waiters(state, &state->waiters);
    auto ready = [state]() -> std::optional<std::tuple<Guard>> {
        if (state->locked) return std::nullopt;
        state->locked = true;
        return std::tuple<Guard>(Guard(state));
    };
    auto wait = detail::async_wait(std::move(waiters), std::move(ready), asio::use_awaitable);
    Guard guard = co_await std::move(wait);
    co_return guard;
}

std::optional<AsyncMutex::Guard> AsyncMutex::try_lock() {
    std::lock_guard lock(state_->mutex);
    if (state_->locked) return std::nullopt;
    state_->locked = true;
    return Guard(state_);
}

AsyncMutex::Guard::Guard(Guard&& other) noexcept : state_(std::move(other.state_)) {}

AsyncMutex::Guard& AsyncMutex::Guard::operator=(Guard&& other) noexcept {
    if (this != &other) {
        unlock();
        state_ = std::move(other.state_);
    }
    return *this;
}

AsyncMutex::Guard::~Guard() {
    unlock();
}

void AsyncMutex::Guard::unlock() {
    if (!state_) return;
    std::shared_ptr<State> state = std::move(state_);
    std::shared_ptr<detail::Waiter<Guard>> next;
    {
        std::lock_guard lock(state->mutex);
        next = state->waiters.pop();
        if (!next) state->locked = false;
    }
    if (next) next->complete({}, Guard(state));
}

struct Semaphore::Impl {
    mutable std::mutex mutex;
    size_t available = 0;
    bool closed = false;
};

Semaphore::Semaphore(size_t permits) : impl_(std::make_unique<Impl>()) {
    impl_->available = permits;
}

Semaphore::~Semaphore() = default;

std::shared_ptr<Semaphore> Semaphore::create(size_t permits) {
    return std::shared_ptr<Semaphore>(new Semaphore(permits));
}

std::optional<Semaphore::Permit> Semaphore::try_acquire() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->closed || impl_->available == 0) return std::nullopt;
    --impl_->available;
    return Permit(shared_from_this());
}

void Semaphore::close() {
    std::lock_guard lock(impl_->mutex);
    impl_->closed = true;
}

size_t Semaphore::available() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->available;
}

Semaphore::Permit::Permit(Permit&& other) noexcept : semaphore_(std::move(other.semaphore_)) {}

Semaphore::Permit& Semaphore::Permit::operator=(Permit&& other) noexcept {
    if (this != &other) {
        release();
        semaphore_ = std::move(other.semaphore_);
    }
    return *this;
}

Semaphore::Permit::~Permit() {
    release();
}

void Semaphore::Permit::release() {
    if (!semaphore_) return;
    std::shared_ptr<Semaphore> semaphore = std::move(semaphore_);
    std::lock_guard lock(semaphore->impl_->mutex);
    ++semaphore->impl_->available;
}

}  // namespace ostrel::engine::rt
