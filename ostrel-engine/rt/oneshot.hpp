#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine::rt {

// A single reply from one task to another.
template <typename T>
class OneShotSender;
template <typename T>
class OneShotReceiver;

template <typename T>
std::pair<OneShotSender<T>, OneShotReceiver<T>> make_oneshot();

template <typename T>
class OneShotSender {
  public:
    OneShotSender() = default;
    OneShotSender(OneShotSender&&) noexcept = default;
    OneShotSender& operator=(OneShotSender&&) noexcept;
    ~OneShotSender();  // a receiver still waiting gets none

    // False when the receiver is gone (it gave up waiting). Uses the sender up: a second send
    // is false.
    bool send(T value);

  private:
    friend class OneShotReceiver<T>;
    friend std::pair<OneShotSender<T>, OneShotReceiver<T>> make_oneshot<T>();
    struct State;
    std::shared_ptr<State> state_;
};

template <typename T>
class OneShotReceiver {
  public:
    OneShotReceiver() = default;
    OneShotReceiver(OneShotReceiver&&) noexcept = default;
    OneShotReceiver& operator=(OneShotReceiver&&) noexcept;
    ~OneShotReceiver();

    // The value, or none when the sender went away without sending (or the value was already
    // received). Cancellation of the awaiting coroutine leaves an arriving value in place.
    asio::awaitable<std::optional<T>> receive();

  private:
    friend std::pair<OneShotSender<T>, OneShotReceiver<T>> make_oneshot<T>();
    std::shared_ptr<typename OneShotSender<T>::State> state_;
};

}  // namespace ostrel::engine::rt

#include "ostrel-engine/rt/oneshot_impl.hpp"
