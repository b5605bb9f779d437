#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine::rt {

// A bounded multi-producer queue with one receiver. Senders are counted: when the last one is
// gone the receiver gets what is still queued, then none. When the receiver is gone, sends
// fail. Storage grows with use; the capacity is a limit, not a reservation.
template <typename T>
class QueueSender;
template <typename T>
class QueueReceiver;

template <typename T>
std::pair<QueueSender<T>, QueueReceiver<T>> make_queue(size_t capacity);

enum class TrySend { Sent, Full, Closed };

template <typename T>
class QueueSender {
  public:
    QueueSender() = default;
    QueueSender(const QueueSender&);
    QueueSender(QueueSender&&) noexcept;
    QueueSender& operator=(const QueueSender&);
    QueueSender& operator=(QueueSender&&) noexcept;
    ~QueueSender();

    // Waits while the queue is full (senders are served in arrival order); false, with the
    // value dropped, when the receiver is gone. Cancellation of the awaiting coroutine
    // withdraws the value.
    asio::awaitable<bool> send(T value);
    // Never waits.
    TrySend try_send(T value);
    // Whether the receiver is gone.
    bool is_closed() const;
    bool valid() const { return state_ != nullptr; }

  private:
    friend class QueueReceiver<T>;
    friend std::pair<QueueSender<T>, QueueReceiver<T>> make_queue<T>(size_t);
    struct State;
    std::shared_ptr<State> state_;
};

template <typename T>
class QueueReceiver {
  public:
    QueueReceiver() = default;
    QueueReceiver(QueueReceiver&&) noexcept;
    QueueReceiver& operator=(QueueReceiver&&) noexcept;
    ~QueueReceiver();  // closes the queue for senders

    // The next value; none once every sender is gone and the queue is empty. Cancellation
    // of the awaiting coroutine takes nothing out of the queue.
    asio::awaitable<std::optional<T>> receive();
    // Never waits: a value if one is queued.
    std::optional<T> try_receive();
    bool valid() const { return state_ != nullptr; }

  private:
    friend std::pair<QueueSender<T>, QueueReceiver<T>> make_queue<T>(size_t);
    std::shared_ptr<typename QueueSender<T>::State> state_;
};

}  // namespace ostrel::engine::rt

#include "ostrel-engine/rt/queue_impl.hpp"
