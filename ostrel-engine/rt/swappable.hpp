#pragma once

#include <memory>
#include <mutex>

namespace ostrel::engine::rt {

// The current value of something that is replaced as a whole: readers take a shared reference,
// a writer exchanges the pointer, and readers that loaded the old value keep it alive until
// they let go.
//
// A short mutex guards the pointer rather than std::atomic<std::shared_ptr>: libstdc++ 12
// implements that with an internal lock whose release in load() is relaxed, a data race with
// a concurrent exchange (ThreadSanitizer reports it). It is no more lock-free than this.
template <typename T>
class Swappable {
  public:
    explicit Swappable(std::shared_ptr<const T> initial) : current_(std::move(initial)) {}

    std::shared_ptr<const T> load() const {
        std::lock_guard lock(mutex_);
        return current_;
    }
    // Returns the value it replaced. When exchange returns, every later load sees `next`.
    // The replaced value is released by the caller, outside the lock.
    std::shared_ptr<const T> exchange(std::shared_ptr<const T> next) {
        std::lock_guard lock(mutex_);
        current_.swap(next);
        return next;
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const T> current_;
};

}  // namespace ostrel::engine::rt
