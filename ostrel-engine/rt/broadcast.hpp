#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <variant>

#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine::rt {

// A bounded ring of messages for any number of subscribers. Sending never waits: when the ring
// is full the oldest message is overwritten, and a subscriber that had not read it learns how
// many it lost. A subscriber sees only messages sent after it subscribed.
template <typename T>
class BroadcastSender;
template <typename T>
class BroadcastReceiver;

template <typename T>
BroadcastSender<T> make_broadcast(size_t capacity);

struct Lagged {
    uint64_t missed = 0;
};
struct Closed {};

template <typename T>
using BroadcastResult = std::variant<T, Lagged, Closed>;

template <typename T>
class BroadcastSender {
  public:
    BroadcastSender() = default;
    BroadcastSender(const BroadcastSender&);
    BroadcastSender(BroadcastSender&&) noexcept;
    BroadcastSender& operator=(const BroadcastSender&);
    BroadcastSender& operator=(BroadcastSender&&) noexcept;
    ~BroadcastSender();  // the last sender gone closes the channel

    // Returns how many subscribers there were.
    size_t send(T value);
    BroadcastReceiver<T> subscribe() const;

  private:
    friend class BroadcastReceiver<T>;
    friend BroadcastSender<T> make_broadcast<T>(size_t);
    struct State;
    std::shared_ptr<State> state_;
};

template <typename T>
class BroadcastReceiver {
  public:
    BroadcastReceiver() = default;
    BroadcastReceiver(BroadcastReceiver&&) noexcept;
    BroadcastReceiver& operator=(BroadcastReceiver&&) noexcept;
    ~BroadcastReceiver();

    // The next message (a copy), Lagged{n} once after n messages were overwritten unread (the
    // receiver then continues at the oldest message still held), or Closed once every sender
    // is gone and nothing is left to read.
    asio::awaitable<BroadcastResult<T>> receive();

  private:
    friend class BroadcastSender<T>;
    std::shared_ptr<typename BroadcastSender<T>::State> state_;
    uint64_t next_ = 0;  // sequence number of the next message to read
};

}  // namespace ostrel::engine::rt

#include "ostrel-engine/rt/broadcast_impl.hpp"
