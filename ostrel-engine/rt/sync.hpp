#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine::rt {

// A mutex that may be held across co_await. Waiters are served in arrival order; a waiter whose
// coroutine is cancelled leaves the queue without taking the lock (lock() then throws
// system_error(operation_aborted)), and a lock handed to a waiter cancelled before it resumed
// goes on to the next one.
class AsyncMutex {
  public:
    class Guard;

    AsyncMutex();
    asio::awaitable<Guard> lock();
    std::optional<Guard> try_lock();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

class AsyncMutex::Guard {
  public:
    Guard() = default;
    Guard(Guard&&) noexcept;
    Guard& operator=(Guard&&) noexcept;
    ~Guard();  // unlocks and hands the lock to the next waiter
    void unlock();
    bool owns_lock() const { return state_ != nullptr; }

  private:
    friend class AsyncMutex;
    explicit Guard(std::shared_ptr<AsyncMutex::State> state) : state_(std::move(state)) {}
    std::shared_ptr<AsyncMutex::State> state_;
};

// A counting semaphore whose permits are only ever tried, never waited for. Shared by
// reference counting: a permit keeps the semaphore alive.
class Semaphore : public std::enable_shared_from_this<Semaphore> {
  public:
    class Permit;

    static std::shared_ptr<Semaphore> create(size_t permits);
    ~Semaphore();

    // None when no permit is free or the semaphore is closed.
    std::optional<Permit> try_acquire();
    // Refuses every later try_acquire; held permits stay valid.
    void close();
    size_t available() const;

  private:
    explicit Semaphore(size_t permits);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class Semaphore::Permit {
  public:
    Permit() = default;
    Permit(Permit&&) noexcept;
    Permit& operator=(Permit&&) noexcept;
    ~Permit();  // gives the permit back
    void release();

  private:
    friend class Semaphore;
    explicit Permit(std::shared_ptr<Semaphore> semaphore) : semaphore_(std::move(semaphore)) {}
    std::shared_ptr<Semaphore> semaphore_;
};

}  // namespace ostrel::engine::rt
